// The disk side of the file-system interface: every operation acts.
#include "fsutil/filesystem.h"

#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "fsutil/fsutil.h"
#include "rules/ascii.h"

extern char** environ;

namespace {

// Levels looked at above a directory before it is taken to lie outside the
// collection: more than a path of PATH_MAX (4096) bytes can hold.
constexpr int kMaxDirectoryDepth = 2048;

// Flags of every open for reading: a FIFO put where a file was expected
// must not block the run, nor a terminal become its controlling one.
constexpr int kReadFlags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

EntryKind kind_of_mode(mode_t mode) {
  if (S_ISDIR(mode)) return EntryKind::Directory;
  return S_ISREG(mode) ? EntryKind::RegularFile : EntryKind::Other;
}

// Opens with O_NOATIME where |keep_times| asks for it and the process may.
int open_keeping_times(int dir_fd, const char* path, int flags, bool keep_times) {
  if (keep_times) {
    const int fd = openat(dir_fd, path, flags | O_NOATIME);
    if (fd >= 0 || errno != EPERM) return fd;
  }
  return openat(dir_fd, path, flags);
}

class RealListing : public DirectoryListing {
 public:
  RealListing(DIR* dir, bool keep_times) : dir_(dir), keep_times_(keep_times) {}
  ~RealListing() override { closedir(dir_); }

  const char* next() override {
    entry_ = readdir(dir_);
    return entry_ == nullptr ? nullptr : entry_->d_name;
  }

  EntryKind kind() override {
    // The listing's own type saves a look-up for plain files and
    // directories.
    if (entry_->d_type == DT_DIR) return EntryKind::Directory;
    if (entry_->d_type == DT_REG) return EntryKind::RegularFile;
    struct stat st;
    if (fstatat(dirfd(dir_), entry_->d_name, &st, 0) != 0) return EntryKind::Other;
    return kind_of_mode(st.st_mode);
  }

  bool plain_file() override { return entry_->d_type == DT_REG; }
  bool plain_directory() override { return entry_->d_type == DT_DIR; }

  bool id(FileId& id) override {
    struct stat st;
    if (fstat(dirfd(dir_), &st) != 0) return false;
    id = {st.st_dev, st.st_ino};
    return true;
  }

  std::unique_ptr<DirectoryListing> open_subdirectory(const char* name) override {
    return open_listing(dirfd(dir_), name, keep_times_);
  }

  int open_file(const char* name) override { return open_keeping_times(dirfd(dir_), name, kReadFlags, keep_times_); }

  static std::unique_ptr<DirectoryListing> open_listing(int dir_fd, const char* path, bool keep_times) {
    const int fd = open_keeping_times(dir_fd, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC, keep_times);
    if (fd < 0) return nullptr;
    DIR* dir = fdopendir(fd);
    if (dir == nullptr) {
      const int error = errno;
      close(fd);
      errno = error;
      return nullptr;
    }
    return std::make_unique<RealListing>(dir, keep_times);
  }

 private:
  DIR* dir_;
  const dirent* entry_ = nullptr;
  bool keep_times_;
};

// Writes all of |data|; false when a write fails or falls short.
bool write_block(int fd, const char* data, std::size_t size) {
  if (size == 0) return true;
  const ssize_t written = write(fd, data, size);
  return written == static_cast<ssize_t>(size);
}

// How an unnamed file gets its name: directly where the process may (it
// needs CAP_DAC_READ_SEARCH, which root has), else through /proc. The first
// attempt tells which; the answer is kept.
enum class LinkWay { Unknown, EmptyPath, Proc };
LinkWay g_link_way = LinkWay::Unknown;

// True when the directory of |path| lists a name that equals its last name
// but for the case of ASCII letters; true also when the directory cannot be
// listed, as the answer that changes nothing.
bool listed_in_any_case(const char* path) {
  const std::string dir(directory_part(path));
  const std::string_view name = last_name(path);
  DIR* listing = opendir(dir.c_str());
  if (listing == nullptr) return true;
  bool found = false;
  while (const dirent* entry = readdir(listing)) {
    if (equal_ignoring_ascii_case(entry->d_name, name)) {
      found = true;
      break;
    }
  }
  closedir(listing);
  return found;
}

// errno values of a link() refused because the file system has no hard
// links at all.
bool no_hard_links(int error) { return error == EPERM || error == EOPNOTSUPP || error == ENOSYS; }

bool link_through_proc(int fd, const char* path) {
  char self[32];
  std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
  return linkat(AT_FDCWD, self, AT_FDCWD, path, AT_SYMLINK_FOLLOW) == 0;
}

}  // namespace

bool g_copy_without_unnamed_files = false;

std::unique_ptr<DirectoryListing> RealFileSystem::list(const char* path) {
  return RealListing::open_listing(AT_FDCWD, path, keep_access_times_);
}

EntryKind RealFileSystem::kind(const char* path) {
  struct stat st;
  if (stat(path, &st) != 0) return EntryKind::Other;
  return kind_of_mode(st.st_mode);
}

bool RealFileSystem::exists(const char* path) {
  struct stat st;
  return lstat(path, &st) == 0;
}

bool RealFileSystem::taken(const char* path) {
  // A look-up that finds nothing is believed; one that finds something is
  // confirmed by the listing, which a name left in a cache is not in.
  struct stat st;
  return lstat(path, &st) == 0 && listed_in_any_case(path);
}

std::optional<bool> RealFileSystem::ignores_case(const char* dir) {
  std::vector<std::string> names;
  {
    const std::unique_ptr<DirectoryListing> listing = list(dir);
    if (listing == nullptr) return std::nullopt;
    while (const char* name = listing->next()) names.emplace_back(name);
  }
  for (const std::string& name : names) {
    // Every other letter changed, "dEmOs" for "demos": a spelling no one
    // uses, so the name it may leave in a cache is never asked for again.
    std::string other = name;
    bool change = true, changed = false;
    for (char& c : other) {
      if (!is_ascii_letter(c)) continue;
      if (change) c = c == ascii_upper(c) ? ascii_lower(c) : ascii_upper(c);
      changed = changed || change;
      change = !change;
    }
    if (!changed || std::find(names.begin(), names.end(), other) != names.end()) continue;
    struct stat st;
    return lstat((std::string(dir) + "/" + other).c_str(), &st) == 0;
  }
  return std::nullopt;
}

bool RealFileSystem::read_link(const char* path, std::string& target) {
  char text[PATH_MAX];
  const ssize_t got = readlink(path, text, sizeof text);
  if (got < 0 || static_cast<std::size_t>(got) >= sizeof text) return false;
  target.assign(text, static_cast<std::size_t>(got));
  return true;
}

bool RealFileSystem::inside_root(const char* path) {
  struct stat root, st;
  if (stat(".", &root) != 0) return false;
  int fd = open(path, O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return true;
  // Up through "..", which is where the directory really is, whatever
  // links led to it: the root is met on the way, or "/" is reached.
  bool inside = false;
  for (int level = 0; level < kMaxDirectoryDepth && fstat(fd, &st) == 0; ++level) {
    if (st.st_dev == root.st_dev && st.st_ino == root.st_ino) {
      inside = true;
      break;
    }
    const int up = openat(fd, "..", O_PATH | O_DIRECTORY | O_CLOEXEC);
    struct stat above;
    if (up < 0 || fstat(up, &above) != 0 || (above.st_dev == st.st_dev && above.st_ino == st.st_ino)) {
      if (up >= 0) close(up);
      break;
    }
    close(fd);
    fd = up;
  }
  close(fd);
  return inside;
}

int RealFileSystem::open_file(const char* path, bool follow_links) {
  return open_keeping_times(AT_FDCWD, path, kReadFlags | (follow_links ? 0 : O_NOFOLLOW), keep_access_times_);
}

std::size_t RealFileSystem::first_read_size() { return kCopyBlockSize; }

int RealFileSystem::begin_unnamed(const char* dir, mode_t mode) {
  if (g_copy_without_unnamed_files) {
    errno = EOPNOTSUPP;
    return -1;
  }
  // Without /proc, a process without the capability could not name it.
  static const bool can_name = access("/proc/self/fd", X_OK) == 0 || geteuid() == 0;
  if (!can_name) {
    errno = EOPNOTSUPP;
    return -1;
  }
  return open(dir, O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
}

int RealFileSystem::create_exclusive(const char* path, mode_t mode) {
  return open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
}

CopyResult RealFileSystem::copy_into(int out, int src_fd, std::span<const char> head, bool head_is_all) {
  if (!write_block(out, head.data(), head.size())) return CopyResult::WriteFailed;
  if (head_is_all) return CopyResult::Copied;
  char block[kCopyBlockSize];
  for (;;) {
    const ssize_t got = read(src_fd, block, sizeof block);
    if (got == 0) return CopyResult::Copied;
    if (got < 0) return CopyResult::ReadFailed;
    if (!write_block(out, block, static_cast<std::size_t>(got))) return CopyResult::WriteFailed;
  }
}

bool RealFileSystem::write_text(int out, std::string_view text) {
  while (!text.empty()) {
    const ssize_t wrote = write(out, text.data(), text.size());
    if (wrote <= 0) return false;
    text.remove_prefix(static_cast<std::size_t>(wrote));
  }
  return true;
}

bool RealFileSystem::name_unnamed(int fd, const char* path) {
  if (g_link_way != LinkWay::Proc) {
    if (linkat(fd, "", AT_FDCWD, path, AT_EMPTY_PATH) == 0) {
      g_link_way = LinkWay::EmptyPath;
      return true;
    }
    // Refused for want of the capability, which the first attempt learns.
    if (g_link_way == LinkWay::EmptyPath || (errno != ENOENT && errno != EPERM)) return false;
    g_link_way = LinkWay::Proc;
  }
  return link_through_proc(fd, path);
}

bool RealFileSystem::close_new(int fd) { return close(fd) == 0; }

RealFileSystem::~RealFileSystem() {
  for (const auto& [device, fd] : synced_) close(fd);
}

bool RealFileSystem::sync_file(int fd) { return fdatasync(fd) == 0; }

bool RealFileSystem::sync_file_systems(std::span<const int> fds) {
  std::vector<dev_t> done;
  for (const int fd : fds) {
    struct stat st;
    if (fstat(fd, &st) != 0) return false;
    if (std::find(done.begin(), done.end(), st.st_dev) != done.end()) continue;
    if (syncfs(fd) != 0) return false;
    done.push_back(st.st_dev);
    const auto known = [&st](const std::pair<dev_t, int>& s) { return s.first == st.st_dev; };
    if (std::find_if(synced_.begin(), synced_.end(), known) == synced_.end()) {
      const int kept = fcntl(fd, F_DUPFD_CLOEXEC, 0);
      if (kept >= 0) synced_.emplace_back(st.st_dev, kept);
    }
  }
  return true;
}

bool RealFileSystem::sync_all() {
  bool ok = true;
  const int here = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (here < 0 || syncfs(here) != 0) ok = false;
  if (here >= 0) close(here);
  for (const auto& [device, fd] : synced_) {
    if (syncfs(fd) != 0) ok = false;
  }
  return ok;
}

bool RealFileSystem::remove(const char* path) { return unlink(path) == 0; }

bool RealFileSystem::rename_over(const char* from, const char* to) { return rename(from, to) == 0; }

bool RealFileSystem::rename_no_replace(const char* from, const char* to) {
  if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  // A file system that cannot refuse by itself: a file is linked, which
  // refuses, then unlinked. Without hard links, as for a directory, the
  // name is looked up (as the disk compares names) and then renamed.
  struct stat st;
  if (lstat(from, &st) != 0) return false;
  if (!S_ISDIR(st.st_mode)) {
    if (link(from, to) == 0) return unlink(from) == 0;
    if (!no_hard_links(errno)) return false;
  }
  if (taken(to)) {
    errno = EEXIST;
    return false;
  }
  return rename(from, to) == 0;
}

bool RealFileSystem::set_mode_and_time(const char* path, mode_t mode, const timespec& mtime) {
  // A disk without permissions refuses a mode that its owner asks for
  // (vfat does; exFAT and NTFS through FUSE accept it and keep nothing).
  if (chmod(path, mode) != 0) {
    struct stat st;
    const int error = errno;
    const bool owner = lstat(path, &st) == 0 && (geteuid() == 0 || geteuid() == st.st_uid);
    if (!(error == EPERM && owner)) {
      errno = error;
      return false;
    }
  }
  // The access time is set to now: only the modification time is kept.
  const timespec times[2] = {{0, UTIME_NOW}, mtime};
  return utimensat(AT_FDCWD, path, times, AT_SYMLINK_NOFOLLOW) == 0;
}

bool RealFileSystem::make_link(const char* target, const char* path, const timespec& mtime) {
  if (symlink(target, path) != 0) return false;
  // The link's own time: the file it points to is not touched.
  const timespec times[2] = {{0, UTIME_NOW}, mtime};
  return utimensat(AT_FDCWD, path, times, AT_SYMLINK_NOFOLLOW) == 0;
}

MoveResult RealFileSystem::move_directory(char* source, char* target, int& signal) {
  // The child writes to the same terminal or pipe: what we printed must be
  // out first.
  std::cout.flush();
  std::fflush(stdout);
  const std::optional<std::string> program = find_on_path("mv");
  if (!program) return MoveResult::Failed;
  char mv[] = "mv";
  char verbose[] = "-v";
  char* argv[] = {mv, verbose, source, target, nullptr};
  pid_t pid;
  // Started directly: no shell reads the names.
  if (posix_spawn(&pid, program->c_str(), nullptr, nullptr, argv, environ) != 0) return MoveResult::Failed;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return MoveResult::Failed;
  }
  // Ctrl-C reaches mv too, and mv dies of a closed output pipe as the run
  // would: whether it moved or not, the run stops.
  if (WIFSIGNALED(status)) {
    signal = WTERMSIG(status);
    return MoveResult::Interrupted;
  }
  if (WEXITSTATUS(status) == 0) return MoveResult::Moved;
  // mv also fails when it moved but could not print the move (an output
  // that is full): what is on disk decides. The target was free before.
  struct stat st;
  const bool source_gone = lstat(source, &st) != 0 && errno == ENOENT;
  return source_gone && lstat(target, &st) == 0 && S_ISDIR(st.st_mode) ? MoveResult::Moved : MoveResult::Failed;
}

