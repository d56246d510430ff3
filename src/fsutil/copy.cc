// The exclusive copy: how every converted tune and the rewritten document are
// written. Creating with O_EXCL is what refuses to overwrite an existing file.
#include <fcntl.h>
#include <unistd.h>

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

}  // namespace

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
  char target[kTargetPathBufferSize];
  int out = set_target(target, dst) ? create_exclusive(target) : -1;
  if (out < 0) {
    if (!set_target(target, join_dir_and_name(src, dst))) return CopyResult::TargetExists;
    out = create_exclusive(target);
    if (out < 0) return CopyResult::TargetExists;
  }

  // |last| follows the result of the last read: the head counts as one, and
  // a head that ended the file counts as the read that found its end.
  ssize_t last = static_cast<ssize_t>(head.size());
  bool ok = write_block(out, head.data(), head.size());
  if (ok && head_is_all) last = 0;
  char block[kCopyBlockSize];
  while (ok && !head_is_all) {
    last = read(src_fd, block, sizeof block);
    if (last <= 0) break;
    ok = write_block(out, block, static_cast<std::size_t>(last));
  }

  std::cout << target << '\n';

  int result = static_cast<int>(last);
  if (close(out) != 0 && result == 0) result = kCloseFailed;
  // A copy that stopped early must not leave a truncated file under the new
  // name: the caller keeps the original instead.
  if (result != 0) unlink(target);
  return static_cast<CopyResult>(result);
}

CopyResult copy_file_exclusive(const char* src, const char* dst) {
  const int in = open(src, O_RDONLY | O_CLOEXEC);
  if (in < 0) return CopyResult::SourceMissing;
  const CopyResult result = copy_open_file_exclusive(in, {}, false, src, dst);
  close(in);
  return result;
}
