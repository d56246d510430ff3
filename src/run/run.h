// The conversion run: dialogue, preflight checks, the conversion phases in
// their fixed order, the error log and the summary.
#ifndef TUVO_RUN_RUN_H_
#define TUVO_RUN_RUN_H_

#include <fstream>
#include <string>
#include <string_view>

#include "fsutil/context.h"
#include "fsutil/fsutil.h"
#include "report/report.h"
#include "run/read_line.h"
#include "stop/stop.h"

// The program: banner, questions and checks, then the directory moves, the
// tune conversion and the document rewrite, then the elapsed time and the
// summary. Returns 0 once the conversion has run or the user declined, and
// 1 when another run holds the collection (one line on standard error says
// so). A run asked to stop by a signal ends between two tunes: see
// finish_stopped_run.
int run_conversion();

// What the checks before a conversion found, each of which the run warns
// about and asks whether to go on.
struct Preflight {
  bool main_directory_missing = false;  // no "../c64music" in any case
  bool marker_missing = false;          // no "./PELKORA"
  bool document_missing = false;        // no "./documnts/qm_sids.txt"
  bool not_release_1_6 = false;         // its line 5 does not hold "1.6"
};

// Runs the checks through |fs|; reads, changes nothing.
Preflight check_collection(FileSystem& fs);

// The exclusive lock's shared counterpart, taken and dropped at once: true
// when a run holds the collection now.
bool collection_is_busy();

// Makes file descriptors 0, 1 and 2 valid: any that is closed is opened on
// /dev/null, so that no file the program opens later takes its place (and
// receives what is printed).
void open_standard_streams();

enum class LockResult {
  Locked,       // this process holds the collection until it ends
  Busy,         // another run holds it
  Unavailable,  // the file system cannot lock it; the run goes on unlocked
};

// Takes the exclusive advisory lock on the current directory (the
// collection's root), without waiting.
LockResult lock_collection();

enum class AnswerForm {
  Strict,  // reads one more character after the answer, then prints "\n\n"
  Plain,   // reads the answer only
};

// Prints |question|, reads one non-blank character from standard input and
// returns it upper-cased (ASCII); returns '\0' at end of input.
char ask_continue(std::string_view question, AnswerForm form);

// Opens |file| on |name| for writing with truncation; a file it creates gets
// permissions 0664 less the umask. Returns whether it is open; a name that is
// a symbolic link or anything but a regular file is not opened.
bool open_text_output(std::ofstream& file, const char* name);

// Moves each directory of the release 1.6 layout present below the current
// directory to its long name, one "mv -v" per row of kDirectoryRenames whose
// old directory exists (whatever its case on disk); mv is started directly,
// without a shell. A row whose new name is taken already is not moved (mv
// would move the directory inside it), nor one found through a link that
// leads out of the collection, and neither these nor a mv that cannot
// start or fails goes unnoticed: each gets an "Unmoved Directory?" line in
// g_error_log and is counted. Returns early when a stop was requested.
void rename_directories(const Context& ctx);

// The rename table: pairs of (old path, new path) with '\\' between
// components, ended by a null entry. Rows after the "VARIOUS_" row are
// relative to the VARIOUS directory.
extern const char* const kDirectoryRenames[];

// Walks the directory named by |path| (modified in place and restored),
// depth first in listing order, and converts every file that is not a
// directory as convert_sid_file does. Each failed tune, and each directory
// that cannot be listed, is reported. Names are joined with '/' byte for byte: a '\\' in a name
// is a letter of it. A link to a directory is followed only where it stays
// in the collection, and a directory already on the current path (a cycle
// of symbolic links) is not entered again; entries whose path does not fit
// the buffer are never converted, and the tunes among them are logged.
void walk_tree(const Context& ctx, char (&path)[kPathBufferSize]);

// The name of the temporary file that stands beside the document while it
// is replaced.
inline constexpr char kDocumentTempName[] = "xtempx.txt";

// Writes |text| whole to the new file |temp| in the directory |dir|, created
// exclusively with permissions |mode| less the umask, through |fs|. Written
// unnamed first where the file system allows, so that the name holds the
// whole text from its first moment. A regular file
// already at |temp| that holds exactly |text| (left by a run that was
// killed) is replaced; anything else there makes it fail. False when it
// could not be written; nothing of ours then stays at |temp|.
bool write_new_file(FileSystem& fs, const char* dir, const char* temp, std::string_view text, mode_t mode);

// Replaces line 5 of the collection's document (DOCUMENTS/QM_SIDS.TXT, any
// case) with the release 2.0 line, using |path| as scratch. The rewritten
// text is written whole under the temporary name "xtempx.txt" beside the
// document (created exclusively, 0600 less the umask) and renamed over the
// document, so that the document is never missing or partly written; its
// path is then printed. A missing document is skipped. A document that is
// not a regular file or cannot be read, or a rewrite that cannot be written
// (a directory that is not writable, a full disk, a temporary name taken by
// a file this program did not write), or a documents directory that is a
// link out of the collection, leaves the document as it was, reported as
// unconverted.
void rewrite_release_line(const Context& ctx, char (&path)[kPathBufferSize]);

#endif  // TUVO_RUN_RUN_H_
