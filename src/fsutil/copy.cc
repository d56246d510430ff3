// The exclusive copy: how every converted tune is written. A new file never
// overwrites an existing one, which is how duplicate tune names are found,
// and it appears under its name only once it is complete.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "fsutil/fsutil.h"

namespace {

// New files are private to the owner until the user decides otherwise.
constexpr mode_t kNewFileMode = 0600;

// A failure that is not a read or write count: the target could not be
// closed cleanly, so its contents cannot be trusted.
constexpr int kCloseFailed = -1;

bool is_separator(char c) { return c == '/' || c == '\\'; }

// Copies |path| into |target| when it fits; false otherwise.
bool set_target(char (&target)[kTargetPathBufferSize], std::string_view path) {
  if (path.size() >= sizeof target) return false;
  std::memcpy(target, path.data(), path.size());
  target[path.size()] = '\0';
  return true;
}

int create_exclusive(const char* path) {
  return open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kNewFileMode);
}

// Writes all of |data|; false when a write fails or falls short.
bool write_block(int fd, const char* data, std::size_t size) {
  if (size == 0) return true;
  const ssize_t written = write(fd, data, size);
  return written == static_cast<ssize_t>(size);
}

// Writes |head| and then the rest of |src_fd| to |out|. Returns the result of
// the last read: 0 at the end of the source, negative after a failed read,
// the positive count of the last read when its write failed or fell short.
int copy_bytes(int src_fd, std::span<const char> head, bool head_is_all, int out) {
  // The head counts as one read, and a head that ended the file counts as
  // the read that found its end.
  ssize_t last = static_cast<ssize_t>(head.size());
  bool ok = write_block(out, head.data(), head.size());
  if (ok && head_is_all) last = 0;
  char block[kCopyBlockSize];
  while (ok && !head_is_all) {
    last = read(src_fd, block, sizeof block);
    if (last <= 0) break;
    ok = write_block(out, block, static_cast<std::size_t>(last));
  }
  return static_cast<int>(last);
}

// An unnamed new file in the directory of |path|, or -1 where none can be
// made there.
int open_unnamed(const char* path) {
  char dir[kPathBufferSize] = ".";
  if (const char* slash = std::strrchr(path, '/'); slash != nullptr) {
    const std::size_t len = std::max<std::size_t>(static_cast<std::size_t>(slash - path), 1);
    if (len >= sizeof dir) return -1;
    std::memcpy(dir, path, len);  // "/name" keeps its "/"
    dir[len] = '\0';
  }
  return open_unnamed_file(dir, kNewFileMode);
}

bool link_unnamed(int fd, const char* path) { return name_unnamed_file(fd, path); }

// The copy through the unnamed file |tmp| (closed here): written whole
// first, then named |dst| or, when that is taken, the alternate path.
CopyResult copy_through_unnamed(int tmp, int src_fd, std::span<const char> head, bool head_is_all,
                                const char* src, const char* dst) {
  char target[kTargetPathBufferSize];
  const bool fits = set_target(target, dst);
  const int copied = copy_bytes(src_fd, head, head_is_all, tmp);
  if (copied != 0) {
    // As with a named copy that stops early, the path it was meant for is
    // shown; nothing was ever named, so nothing is left behind.
    close(tmp);
    if (fits) std::cout << target << '\n';
    return static_cast<CopyResult>(copied);
  }
  bool named = fits && link_unnamed(tmp, target);
  if (!named) {
    named = set_target(target, join_dir_and_name(src, dst)) && link_unnamed(tmp, target);
  }
  if (!named) {
    close(tmp);
    return CopyResult::TargetExists;
  }
  std::cout << target << '\n';
  if (close(tmp) != 0) {
    unlink(target);
    return static_cast<CopyResult>(kCloseFailed);
  }
  return CopyResult::Copied;
}

// The copy where no unnamed file can be made: created exclusively under its
// name and removed again should the copy stop early.
CopyResult copy_through_named(int src_fd, std::span<const char> head, bool head_is_all, const char* src,
                              const char* dst) {
  char target[kTargetPathBufferSize];
  int out = set_target(target, dst) ? create_exclusive(target) : -1;
  if (out < 0) {
    if (!set_target(target, join_dir_and_name(src, dst))) return CopyResult::TargetExists;
    out = create_exclusive(target);
    if (out < 0) return CopyResult::TargetExists;
  }
  int result = copy_bytes(src_fd, head, head_is_all, out);
  std::cout << target << '\n';
  if (close(out) != 0 && result == 0) result = kCloseFailed;
  // A copy that stopped early must not leave a truncated file under the new
  // name: the caller keeps the original instead.
  if (result != 0) unlink(target);
  return static_cast<CopyResult>(result);
}

}  // namespace

bool g_copy_without_unnamed_files = false;

namespace {

// How an unnamed file gets its name: directly where the process may (it
// needs CAP_DAC_READ_SEARCH, which root has), else through /proc. The first
// attempt tells which; the answer is kept.
enum class LinkWay { Unknown, EmptyPath, Proc };
LinkWay g_link_way = LinkWay::Unknown;

bool link_through_proc(int fd, const char* path) {
  char self[32];
  std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
  return linkat(AT_FDCWD, self, AT_FDCWD, path, AT_SYMLINK_FOLLOW) == 0;
}

}  // namespace

int open_unnamed_file(const char* dir, mode_t mode) {
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

bool name_unnamed_file(int fd, const char* path) {
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
  const int tmp = open_unnamed(dst);
  if (tmp >= 0) return copy_through_unnamed(tmp, src_fd, head, head_is_all, src, dst);
  return copy_through_named(src_fd, head, head_is_all, src, dst);
}

CopyResult copy_file_exclusive(const char* src, const char* dst) {
  const int in = open(src, O_RDONLY | O_CLOEXEC);
  if (in < 0) return CopyResult::SourceMissing;
  const CopyResult result = copy_open_file_exclusive(in, {}, false, src, dst);
  close(in);
  return result;
}
