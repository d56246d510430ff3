// The exclusive copy: how every converted tune is written. A new file never
// overwrites an existing one, which is how duplicate tune names are found,
// and it appears under its name only once it is complete.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "fsutil/filesystem.h"
#include "fsutil/fsutil.h"
#include "fsutil/journal.h"

namespace {

// New files are private to the owner until the user decides otherwise.
constexpr mode_t kNewFileMode = 0600;

// A failure that is not a read or write count: the target could not be
// closed cleanly, so its contents cannot be trusted.
constexpr int kCloseFailed = -1;

bool is_separator(char c) { return c == '/' || c == '\\'; }

// Copies |path| into |target| when it fits; false otherwise.
bool set_target(char (&target)[kTargetPathBufferSize], std::string_view path) {
  if (path.size() >= sizeof target) {
    g_file_system->explain("its new path would be longer than 511 bytes");
    return false;
  }
  std::memcpy(target, path.data(), path.size());
  target[path.size()] = '\0';
  return true;
}

// The directory part of |path| ("." when it has none) into |dir|; false
// when it does not fit.
bool directory_of(const char* path, char (&dir)[kPathBufferSize]) {
  const char* slash = std::strrchr(path, '/');
  if (slash == nullptr) {
    std::strcpy(dir, ".");
    return true;
  }
  const std::size_t len = slash == path ? 1 : static_cast<std::size_t>(slash - path);  // "/name" keeps "/"
  if (len >= sizeof dir) return false;
  std::memcpy(dir, path, len);
  dir[len] = '\0';
  return true;
}

// What the journal is told of the new file |target|; |change| holds the
// rest. False when the journal cannot record it.
bool journal_will_name(TuneChange& change, const char* target) {
  if (g_change_journal == nullptr) return true;
  change.to = target;
  if (g_change_journal->will_name_tune(change)) return true;
  g_file_system->explain("the undo record cannot be written");
  return false;
}

// Names the unnamed file |tmp| |target|, the journal told first; a name
// that turns out taken is taken back from the journal.
bool name_recorded(FileSystem& fs, int tmp, TuneChange& change, const char* target) {
  if (!journal_will_name(change, target)) return false;
  if (fs.name_unnamed(tmp, target)) return true;
  const int error = errno;
  if (g_change_journal != nullptr) g_change_journal->name_refused(change);
  errno = error;
  return false;
}

// Creates |target| under its name, the journal told first, as above.
int create_recorded(FileSystem& fs, TuneChange& change, const char* target) {
  if (!journal_will_name(change, target)) return -1;
  const int fd = fs.create_exclusive(target, kNewFileMode);
  if (fd >= 0 || g_change_journal == nullptr) return fd;
  const int error = errno;
  g_change_journal->name_refused(change);
  errno = error;
  return -1;
}

// True when |target|, which is taken, holds this very tune already, copied
// by an earlier run that was stopped before it deleted the old file.
bool done_before(TuneChange& change, const char* target) {
  if (g_change_journal == nullptr) return false;
  change.to = target;
  return g_change_journal->finished_before(change);
}

// The copy through the unnamed file |tmp|: written whole first, then named
// |dst| or, when that is taken, the alternate path.
CopyResult copy_through_unnamed(FileSystem& fs, int tmp, int src_fd, std::span<const char> head,
                                bool head_is_all, const char* src, const char* dst, TuneChange& change) {
  char target[kTargetPathBufferSize];
  const bool fits = set_target(target, dst);
  const int copied = fs.copy_into(tmp, src_fd, head, head_is_all);
  if (copied != 0) {
    // As with a named copy that stops early, the path it was meant for is
    // shown; nothing was ever named, so nothing is left behind.
    fs.close_new(tmp);
    if (fits) fs.written(target);
    return static_cast<CopyResult>(copied);
  }
  if (g_change_journal != nullptr) {
    // The new file's own number tells it from any other with these bytes.
    struct stat st;
    if (fstat(tmp, &st) == 0) change.inode = st.st_ino;
  }
  bool named = fits && name_recorded(fs, tmp, change, target);
  if (!named && fits && done_before(change, target)) {
    fs.close_new(tmp);
    fs.written(target);
    return CopyResult::Copied;
  }
  if (!named) {
    named = set_target(target, join_dir_and_name(src, dst)) && name_recorded(fs, tmp, change, target);
  }
  if (!named) {
    fs.close_new(tmp);
    return CopyResult::TargetExists;
  }
  fs.written(target);
  if (!fs.close_new(tmp)) {
    fs.remove(target);
    return static_cast<CopyResult>(kCloseFailed);
  }
  return CopyResult::Copied;
}

// The copy where no unnamed file can be made: created exclusively under its
// name and removed again should the copy stop early.
CopyResult copy_through_named(FileSystem& fs, int src_fd, std::span<const char> head, bool head_is_all,
                              const char* src, const char* dst, TuneChange& change) {
  char target[kTargetPathBufferSize];
  const bool fits = set_target(target, dst);
  int out = fits ? create_recorded(fs, change, target) : -1;
  if (out < 0 && fits && errno == EEXIST && done_before(change, target)) {
    fs.written(target);
    return CopyResult::Copied;
  }
  if (out < 0) {
    if (!set_target(target, join_dir_and_name(src, dst))) return CopyResult::TargetExists;
    out = create_recorded(fs, change, target);
    if (out < 0) return CopyResult::TargetExists;
  }
  int result = fs.copy_into(out, src_fd, head, head_is_all);
  fs.written(target);
  if (!fs.close_new(out) && result == 0) result = kCloseFailed;
  // A copy that stopped early must not leave a truncated file under the new
  // name: the caller keeps the original instead.
  if (result != 0) fs.remove(target);
  return static_cast<CopyResult>(result);
}

}  // namespace

bool read_to_end(int fd, std::string& text) {
  char block[kCopyBlockSize];
  for (;;) {
    const ssize_t got = read(fd, block, sizeof block);
    if (got == 0) return true;
    if (got < 0) return false;
    text.append(block, static_cast<std::size_t>(got));
  }
}

std::string join_dir_and_name(std::string_view src, std::string_view dst) {
  const std::size_t last = src.find_last_of("\\/");
  const std::string_view name = last == std::string_view::npos ? src : src.substr(last + 1);
  std::string joined(dst);
  if (dst.empty() || !is_separator(dst.back())) {
    joined += last == std::string_view::npos ? '/' : src[last];
  }
  joined += name;
  return joined;
}

CopyResult copy_open_file_exclusive(int src_fd, std::span<const char> head, bool head_is_all,
                                    const char* src, const char* dst) {
  FileSystem& fs = *g_file_system;
  // What the undo record keeps of the tune: known before any name appears.
  TuneChange change;
  change.from = src;
  if (g_change_journal != nullptr) {
    struct stat st;
    if (fstat(src_fd, &st) != 0) return CopyResult::SourceMissing;
    change.mode = st.st_mode & 07777;
    change.mtime = st.st_mtim;
    if (head_is_all) {
      change.size = head.size();
      change.checksum = content_checksum({head.data(), head.size()});
    } else if (!checksum_of_file(src_fd, change.size, change.checksum)) {
      return static_cast<CopyResult>(kCloseFailed);
    }
  }
  char dir[kPathBufferSize];
  const int tmp = directory_of(dst, dir) ? fs.begin_unnamed(dir, kNewFileMode) : -1;
  if (tmp >= 0) return copy_through_unnamed(fs, tmp, src_fd, head, head_is_all, src, dst, change);
  return copy_through_named(fs, src_fd, head, head_is_all, src, dst, change);
}

CopyResult copy_file_exclusive(const char* src, const char* dst) {
  const int in = g_file_system->open_file(src);
  if (in < 0) return CopyResult::SourceMissing;
  const CopyResult result = copy_open_file_exclusive(in, {}, false, src, dst);
  close(in);
  return result;
}
