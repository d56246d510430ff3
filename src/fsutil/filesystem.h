// The file-system operations the conversion uses, behind one small
// interface, so that the same walk, table and naming either act on the disk
// (RealFileSystem) or only tell what they would do (the preview's).
#ifndef TUVO_FSUTIL_FILESYSTEM_H_
#define TUVO_FSUTIL_FILESYSTEM_H_

#include <sys/types.h>
#include <time.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

enum class EntryKind {
  Directory,    // a directory, or a link to one
  RegularFile,  // a regular file, or a link to one
  Other,        // FIFOs, sockets, devices, broken links, vanished entries
};

// Result of copy_file_exclusive. Any value other than Copied is a failure.
// A failed read is negative and every other failure positive, as callers
// that only compare with 0 expect.
enum class CopyResult : int {
  Copied = 0,         // whole source copied up to its end
  SourceMissing = 1,  // source cannot be opened for reading; nothing created
  TargetExists = 2,   // neither destination nor alternate could be created
  WriteFailed = 3,    // a write failed or fell short (a full disk); nothing stays
  CloseFailed = 4,    // the new file could not be closed cleanly; nothing stays
  ReadFailed = -1,    // a read of the source failed; nothing stays
};

// Where a directory lives on disk, which stays the same when it is renamed.
struct FileId {
  dev_t device = 0;
  ino_t inode = 0;
  bool operator==(const FileId&) const = default;
};

// The result of moving a directory with "mv -v".
enum class MoveResult {
  Moved,        // the directory stands under its new name, its old name gone
  Failed,       // mv could not start, or failed
  Interrupted,  // mv was ended by a signal; the run must stop
};

// One open directory listing, in the directory's own order.
class DirectoryListing {
 public:
  virtual ~DirectoryListing() = default;
  // The next entry's name ("." and ".." included), or nullptr at the end.
  virtual const char* next() = 0;
  // What the entry last returned by next() is, following links.
  virtual EntryKind kind() = 0;
  // True when that entry is known, without a look-up, to be a regular file
  // and not a link: what it is cannot change with other names of the
  // directory.
  virtual bool plain_file() { return false; }
  // True when that entry is known, without a look-up, to be a directory
  // and not a link to one.
  virtual bool plain_directory() { return false; }
  // The listed directory itself; false when it cannot be told.
  virtual bool id(FileId& id) = 0;
  // The subdirectory |name| of this directory, or nullptr (errno set).
  virtual std::unique_ptr<DirectoryListing> open_subdirectory(const char* name) = 0;
  // The file |name| of this directory opened for reading (non-blocking, so
  // that a FIFO never blocks), or -1 (errno set).
  virtual int open_file(const char* name) = 0;
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // Reading. |path| is relative, "/" between components.
  // Opens the directory |path| for listing, or nullptr (errno set).
  virtual std::unique_ptr<DirectoryListing> list(const char* path) = 0;
  // What |path| is, following links; Other when it does not exist.
  virtual EntryKind kind(const char* path) = 0;
  // True when anything, even a broken link, stands at |path|.
  virtual bool exists(const char* path) = 0;
  // True when |path|'s directory lists an entry that the disk takes for
  // |path|. Unlike exists(), a cache cannot answer it: a FUSE file system
  // that ignores case may leave the kernel a name in another case that
  // still points to a directory for a second after it was renamed.
  virtual bool taken(const char* path) { return exists(path); }
  // True when |path| is a symbolic link; its target is then in |target|.
  virtual bool read_link(const char* path, std::string& target) = 0;
  // True when the directory |path|, its links followed, lies in the
  // collection: the current directory or below it. A link may lead out of
  // the collection, where the run must change nothing. A |path| that cannot
  // be opened counts as inside: nothing can be done through it, and what
  // the caller tries next fails and is reported.
  virtual bool inside_root(const char* path) = 0;
  // |path| opened for reading (non-blocking; with |follow_links| false a
  // link is refused), or -1 (errno set). The caller reads and closes it.
  virtual int open_file(const char* path, bool follow_links = true) = 0;
  // How many bytes a tune's first read asks for: the whole tune where it is
  // copied, its header where the copy is only told.
  virtual std::size_t first_read_size() = 0;

  // Writing new files. A new file is begun unnamed in a directory, given
  // its content, then named; where no unnamed file can be begun (errno
  // EOPNOTSUPP, among others) it is created under its name instead.
  virtual int begin_unnamed(const char* dir, mode_t mode) = 0;
  virtual int create_exclusive(const char* path, mode_t mode) = 0;
  // Writes |head| and then the rest of |src_fd| to |out|. Returns Copied
  // once the end of |src_fd| was read and written, ReadFailed when a read
  // failed, WriteFailed when a write failed or fell short.
  virtual CopyResult copy_into(int out, int src_fd, std::span<const char> head, bool head_is_all) = 0;
  virtual bool write_text(int out, std::string_view text) = 0;
  // Names the unnamed file |fd| |path|; fails (EEXIST) when anything stands
  // there, and never replaces it.
  virtual bool name_unnamed(int fd, const char* path) = 0;
  // Closes a new file; false when its data cannot be trusted.
  virtual bool close_new(int fd) = 0;
  // Durability: a power cut keeps the changes of names in the order they
  // were made, but a file's bytes only once they were synced. False (errno
  // set) when the disk reports that they may not have reached it.
  // What was written to |fd| reaches the disk.
  virtual bool sync_file(int fd) = 0;
  // What was written to the files |fds|, and every change of names made so
  // far on their file systems, reaches the disk: one sync per file system.
  virtual bool sync_file_systems(std::span<const int> fds) = 0;
  // Every change made so far, on the current directory's file system and
  // on each one synced above, reaches the disk.
  virtual bool sync_all() = 0;
  virtual bool remove(const char* path) = 0;
  // Renames |from| over |to| in one step.
  virtual bool rename_over(const char* from, const char* to) = 0;
  // Renames the file or directory |from| to |to| in the same directory;
  // fails (EEXIST) when anything stands at |to|. Where the disk can refuse
  // by itself it never replaces anything. Where it has neither such a
  // rename nor hard links (exFAT, FAT, many network shares), |to| is looked
  // up first and then renamed: the collection's lock keeps this program's
  // runs out of that gap, not a program that ignores the lock.
  virtual bool rename_no_replace(const char* from, const char* to) = 0;
  // Gives |path| the permissions |mode| and the modification time |mtime|,
  // as far as the disk keeps them: one that keeps no permissions (FAT,
  // exFAT, NTFS without them) refusing a change of mode is no failure, and
  // one with coarse times keeps what it can.
  virtual bool set_mode_and_time(const char* path, mode_t mode, const timespec& mtime) = 0;
  // Makes |path| a symbolic link to |target| with the modification time
  // |mtime|; fails (EEXIST) when anything stands at |path|.
  virtual bool make_link(const char* target, const char* path, const timespec& mtime) = 0;
  // Runs "mv -v |source| |target|", which prints the move. On Interrupted,
  // |signal| is the signal that ended mv.
  virtual MoveResult move_directory(char* source, char* target, int& signal) = 0;

};

// The disk itself: every operation acts.
class RealFileSystem : public FileSystem {
 public:
  RealFileSystem() = default;
  RealFileSystem(const RealFileSystem&) = delete;
  RealFileSystem& operator=(const RealFileSystem&) = delete;
  ~RealFileSystem() override;
  std::unique_ptr<DirectoryListing> list(const char* path) override;
  EntryKind kind(const char* path) override;
  bool exists(const char* path) override;
  bool taken(const char* path) override;
  bool read_link(const char* path, std::string& target) override;
  bool inside_root(const char* path) override;
  int open_file(const char* path, bool follow_links) override;
  std::size_t first_read_size() override;
  int begin_unnamed(const char* dir, mode_t mode) override;
  int create_exclusive(const char* path, mode_t mode) override;
  CopyResult copy_into(int out, int src_fd, std::span<const char> head, bool head_is_all) override;
  bool write_text(int out, std::string_view text) override;
  bool name_unnamed(int fd, const char* path) override;
  bool close_new(int fd) override;
  bool sync_file(int fd) override;
  bool sync_file_systems(std::span<const int> fds) override;
  bool sync_all() override;
  bool remove(const char* path) override;
  bool rename_over(const char* from, const char* to) override;
  bool rename_no_replace(const char* from, const char* to) override;
  bool set_mode_and_time(const char* path, mode_t mode, const timespec& mtime) override;
  bool make_link(const char* target, const char* path, const timespec& mtime) override;
  MoveResult move_directory(char* source, char* target, int& signal) override;

  // Opens files and directories without touching their access times, where
  // the process may (the preview reads, and must leave every time as it is).
  void set_keep_access_times(bool keep) { keep_access_times_ = keep; }

  // Whether the file system of the directory |dir| takes two names that
  // differ only in the case of ASCII letters for one: a name |dir| lists is
  // looked up in another case, which it does not list. Nothing when |dir|
  // lists no name with a letter to try. Reads only.
  std::optional<bool> ignores_case(const char* dir);

 private:
  bool keep_access_times_ = false;
  // One open file on each file system synced so far besides the current
  // directory's, so that sync_all reaches them too.
  std::vector<std::pair<dev_t, int>> synced_;
};

// Test switch: when set, new files are written under their names directly,
// as on file systems without unnamed files (FAT, NFS), which the tests
// cannot mount.
extern bool g_copy_without_unnamed_files;

#endif  // TUVO_FSUTIL_FILESYSTEM_H_
