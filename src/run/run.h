// The conversion run: dialogue, preflight checks, the conversion phases in
// their fixed order, the error log and the summary.
#ifndef TUVO_RUN_RUN_H_
#define TUVO_RUN_RUN_H_

#include <fstream>
#include <ostream>
#include <string_view>

#include "fsutil/fsutil.h"
#include "run/read_line.h"

// The log of tunes that could not be converted, "tuvo_2.err" in the current
// directory while a conversion runs.
extern std::ofstream g_error_log;
// Lines written to the error log so far.
extern int g_error_count;

inline constexpr char kErrorLogName[] = "tuvo_2.err";

// The one failure the walk reports for a tune left under its old name.
inline constexpr char kDuplicateFileMessage[] = "Duplicate File?";
// A directory of the collection that could not be listed, so that the tunes
// in it (if any) were not converted.
inline constexpr char kUnreadableDirectoryMessage[] = "Unreadable Directory?";

// The program: banner, questions and checks, then the directory moves, the
// tune conversion and the document rewrite, then the elapsed time and the
// summary. Returns 0 in every case.
int run_conversion();

// Writes "<message> : <path>\n" to |log|, flushed so that the line survives
// an interrupted run, and adds one to |counter|. When |log| cannot take the
// line (it never opened, or the disk is full), the line goes to standard
// error instead. Returns |log|.
std::ostream& log_error(std::ostream& log, std::string_view message, std::string_view path,
                        int& counter);

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
// old directory exists (whatever its case on disk). Results are not checked.
void rename_directories();

// The rename table: pairs of (old path, new path) with '\\' between
// components, ended by a null entry. Rows after the "VARIOUS_" row are
// relative to the VARIOUS directory.
extern const char* const kDirectoryRenames[];

// Walks the directory named by |path| (modified in place and restored),
// depth first in listing order, and converts every file that is not a
// directory with convert_sid_file. Each failed tune, and each directory that
// cannot be listed, gets a line in g_error_log and is counted in
// g_error_count. A directory already on the current path (a cycle of
// symbolic links) is not entered again; entries whose path does not fit the
// buffer are never converted, and the tunes among them are logged.
void walk_tree(char (&path)[kPathBufferSize]);

// Replaces line 5 of the collection's document (DOCUMENTS/QM_SIDS.TXT, any
// case) with the release 2.0 line through the temporary file "xtempx.txt",
// using |path| and |line| as scratch. The document is left as it was when it
// cannot be read whole or the temporary file cannot be written; once it has
// been replaced, the temporary file is removed. Should the rewritten copy not
// be put back, "xtempx.txt" is kept and a line on standard output says so.
void rewrite_release_line(char (&path)[kPathBufferSize], char (&line)[kLineBufferSize]);

#endif  // TUVO_RUN_RUN_H_
