// File-system helpers: separator conversion, directory test, case-insensitive
// path resolution and the exclusive copy that writes every new file. Each
// works on the file system, or the context, that it is handed.
#ifndef TUVO_FSUTIL_FSUTIL_H_
#define TUVO_FSUTIL_FSUTIL_H_

#include <sys/stat.h>

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "fsutil/context.h"
#include "fsutil/filesystem.h"
#include "fsutil/journal.h"

// Every path the tool builds lives in a buffer of this size: at most 1023
// bytes and the terminating NUL. Paths are relative ("./" or "../" first).
inline constexpr std::size_t kPathBufferSize = 1024;

// The exclusive copy keeps the path it creates in a buffer of this size; a
// destination (or alternate destination) of 512 bytes or more is refused.
inline constexpr std::size_t kTargetPathBufferSize = 512;

// Files are copied in blocks of this many bytes. A tune holds at most the
// C64's 64 KiB of memory and a header, so one block takes a whole tune: one
// read and one write per file, which is most of the conversion's cost.
inline constexpr std::size_t kCopyBlockSize = 64 * 1024 + 1024;

// Rewrites the separators of the NUL-terminated |path| in place. With '\\' as
// |sep| every '/' becomes '\\'; with any other value every '\\' becomes '/'.
// Returns |path|.
char* convert_separators(char* path, char sep);

// True when |path| can be opened as a directory for listing (a symbolic link
// to a directory counts); false for files, missing paths and directories that
// cannot be listed.
bool is_directory(FileSystem& fs, const char* path);

// True when |path| is a regular file or a symbolic link to one. FIFOs,
// sockets and devices are never opened as files: a FIFO would block the run.
bool is_regular_file(FileSystem& fs, const char* path);

// Finds |path| whatever the case of its components and rewrites it in place
// with the names as stored on disk.
// REQUIRES: |path| is NUL-terminated and starts with "./" or "../" (written
// with |sep|).
// First removes one trailing |sep| and upper-cases the whole path (ASCII). On
// success returns |path|, now holding the names as stored on disk (never
// longer than before). Returns nullptr when a component does not exist or a
// directory on the way cannot be listed; |path| then holds the upper-cased
// path. When a directory holds names that differ only in case, the one listed
// first is taken.
char* resolve_path_nocase(FileSystem& fs, char* path, char sep);

// True when |path|, read from a file the program did not write in this
// run (the undo record), names a place in the collection that is reached
// without leaving it: spelled "./" and then names, none of them empty, "."
// or "..", and with no symbolic link among the directories on the way
// (resolved beneath the current directory, the collection's root, by the
// kernel where it can). The last name may be anything, a link included:
// what is done there is done to it, not through it. A directory on the way
// that does not exist counts as inside, as nothing can be reached through
// it. Reads the disk; changes nothing.
bool lies_inside_collection(std::string_view path);

// The directory part of |path|: what comes before its last '/' ("." when
// it has none, "/" for "/name"), and its last name after it.
std::string_view directory_part(std::string_view path);
std::string_view last_name(std::string_view path);

// A directory move's target, which mv is given relative to the collection's
// root without "./" ("GAMES_"), as a path like every other ("./GAMES_"). A
// path that starts with "./", "../" or "/" already stays as it is.
std::string path_from_root(std::string_view target);

// Where the program |program| is found on PATH, as a shell would find it:
// the first executable regular file of that name in PATH's directories
// (an empty entry meaning the current directory; /bin:/usr/bin when PATH
// is not set). Nothing when there is none. The run starts mv from there,
// and the preview tells from it whether the run could.
std::optional<std::string> find_on_path(std::string_view program);

// Appends the rest of the open file |fd| to |text|, up to its end. False
// when a read fails. Does not close |fd|.
bool read_to_end(int fd, std::string& text);

// The whole of the open file |fd| (closed here) into |text|, and its status
// into |st| where given; false when it is anything but a regular file or
// cannot be read, or |fd| is -1.
bool read_regular_file(int fd, std::string& text, struct stat* st = nullptr);

// The alternate destination: |dst| taken as a directory, followed by the
// final component of |src| (the text after its last '/'), with a '/' between
// unless |dst| ends in one. Paths handed to it hold names as read from the
// disk, so a '\\' is a letter of a name, not a separator.
std::string join_dir_and_name(std::string_view src, std::string_view dst);

// Copies |src| byte for byte to a new file |dst| (0600 less the umask, a
// fresh modification time), which must not exist yet: an existing file is
// never overwritten, which is how duplicate tune names are found. When |dst|
// cannot be created, the copy goes to join_dir_and_name(src, dst) instead (so
// a directory |dst| receives the file under its own name).
// The new file appears under its name only once it is complete: it is
// written as an unnamed file in |dst|'s directory and then linked to its
// name. Where the file system has no unnamed files, it is created
// exclusively under its name and removed again if the copy stops early; a
// process killed in between may then leave a part of it.
// Tells ctx.report the path it created; a copy that stops early tells the
// path it was meant for. The journal is told of the new name first.
// Returns Copied on success. On SourceMissing or TargetExists nothing was
// created; a path that does not fit kTargetPathBufferSize counts as
// TargetExists. After a failed read, write or close nothing stays under the
// new name.
CopyResult copy_file_exclusive(const Context& ctx, const char* src, const char* dst);

// The same for a source that the caller has already opened read-only as
// |src_fd| and from which it has already read |head| (the file's first bytes,
// from offset 0, with the read position just after them). |head_is_all|
// says that the read of |head| already met the end of the file (a short read
// of a regular file), so nothing is left to read. |src| is only used for the
// alternate name. Does not close |src_fd|.
CopyResult copy_open_file_exclusive(const Context& ctx, int src_fd, std::span<const char> head, bool head_is_all,
                                    const char* src, const char* dst);

// The same copy in steps, so that several copies can be told to the
// journal with one write before any of them is named. start_copy writes the
// copy whole into an unnamed file; announce_copies tells the journal of a
// batch of them; finish_copy names each, in turn, as copy_open_file_exclusive
// does, and prints what it printed; complete_copy closes it.
struct PendingCopy {
  std::string src, dst;     // the source's path and the destination asked for
  std::string target;       // the name finish_copy gave it
  TuneChange change;        // what the journal is told of it
  std::string link;         // the source was a symbolic link to this; empty if not
  int tmp = -1;             // the new file, written whole; -1 when none
  CopyResult outcome = CopyResult::Copied;  // a failure met while writing it
  bool show_target = false;  // that failure still prints the destination
  bool announced = false;    // the journal was told of it
  bool after_same_name = false;  // an earlier copy of its batch asked for the same name
};

// Begins the copy of |src_fd| (as for copy_open_file_exclusive) into
// |copy|: nothing is named or printed yet, and a failure met is kept for
// finish_copy to report. |may_be_link| says that |src| may be a symbolic
// link (its listing did not show a plain file): the journal is then told
// what the link was. Returns false when no unnamed file can be made in
// |dst|'s directory; the copy must then be made at once, with
// copy_under_name, from the same |src_fd| and |head| (nothing more was read).
bool start_copy(const Context& ctx, int src_fd, std::span<const char> head, bool head_is_all, const char* src,
                const char* dst, PendingCopy& copy, bool may_be_link = true);
// Tells the journal, with one write, of every copy in |copies| that is
// ready to be named. Must precede finish_copy of any of them.
void announce_copies(const Context& ctx, std::span<PendingCopy* const> copies);
// Names |copy| (or its alternate) and prints the path. Returns Copied with
// the new file still open (complete_copy closes it), or the failure
// copy_open_file_exclusive would return, the new file closed.
CopyResult finish_copy(const Context& ctx, PendingCopy& copy);
// Closes the new file of a copy that finish_copy named; a close that fails
// (its data cannot be trusted) removes it again. It only closes and
// removes, so it may run on a thread of its own.
CopyResult complete_copy(const Context& ctx, PendingCopy& copy);
// Where start_copy returned false: the copy created under its name, as
// copy_open_file_exclusive does where there are no unnamed files.
CopyResult copy_under_name(const Context& ctx, int src_fd, std::span<const char> head, bool head_is_all,
                           PendingCopy& copy);

#endif  // TUVO_FSUTIL_FSUTIL_H_
