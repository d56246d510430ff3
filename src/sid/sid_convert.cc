// Replacing one release 1.6 tune file by its long-named ".sid" copy.
#include "sid/sid_convert.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "fsutil/filesystem.h"
#include "fsutil/fsutil.h"

namespace {

constexpr char kNewExtension[] = ".sid";

// Runs |fd|'s conversion once the file is known to be an open regular file.
ConvertResult convert_open_file(int fd, const char* path) {
  FileSystem& fs = *g_file_system;
  // One read serves the header check and the first block of the copy.
  char head[kCopyBlockSize];
  const std::size_t wanted = std::min(sizeof head, fs.first_read_size());
  const ssize_t got = read(fd, head, wanted);
  if (got < 0) {
    fs.explain(std::string("it cannot be read: ") + std::strerror(errno));
    return ConvertResult::Failed;
  }
  const std::size_t size = static_cast<std::size_t>(got);
  if (!has_tune_magic({head, size})) return ConvertResult::NotSid;

  // A header cut inside the title field reads as NUL-padded.
  char title[kTitleFieldSize] = {};
  if (size > kTitleFieldOffset) {
    std::memcpy(title, head + kTitleFieldOffset, std::min(kTitleFieldSize, size - kTitleFieldOffset));
  }

  const std::string_view old_path(path);
  const std::size_t slash = old_path.rfind('/');
  if (slash == std::string_view::npos) {
    fs.explain("its path has no directory part");
    return ConvertResult::Failed;
  }

  std::string name = derive_long_name(std::string_view(title, sizeof title))
                         .value_or(fallback_name(old_path.substr(slash + 1)));
  name += kNewExtension;

  char new_path[kPathBufferSize];
  const std::size_t dir_len = slash + 1;
  if (dir_len + name.size() >= sizeof new_path) {
    fs.explain("its new path would be longer than 1023 bytes");
    return ConvertResult::Failed;
  }
  std::memcpy(new_path, path, dir_len);
  std::memcpy(new_path + dir_len, name.c_str(), name.size() + 1);

  // A regular file that gave less than it was asked for has no more to give.
  const bool head_is_all = size < wanted;
  const CopyResult copied = copy_open_file_exclusive(fd, {head, size}, head_is_all, path, new_path);
  if (copied != CopyResult::Copied) return ConvertResult::Failed;
  // Only a complete copy replaces the tune.
  fs.remove(path);
  fs.tune_replaced(path);
  return ConvertResult::Converted;
}

}  // namespace

bool is_tune_path(std::string_view path) {
  // ASCII case only, whatever the locale.
  const auto same_lowered = [](char c, char mark) { return (c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c) == mark; };
  constexpr std::string_view kMark = ".dat";
  return std::search(path.begin(), path.end(), kMark.begin(), kMark.end(), same_lowered) != path.end();
}

bool has_tune_magic(std::string_view head) { return head.starts_with("PSID"); }

ConvertResult convert_sid_file(const char* path, bool known_regular) {
  if (!is_tune_path(path)) return ConvertResult::NotSid;

  // FIFOs, sockets and devices are never opened: opening one can block the
  // run or disturb the device.
  if (!known_regular && g_file_system->kind(path) != EntryKind::RegularFile) return ConvertResult::NotSid;

  // Opened non-blocking: should the file have been swapped for a FIFO since
  // it was looked at, the open still returns at once.
  const int fd = g_file_system->open_file(path);
  if (fd < 0) {
    // A file that vanished is nothing to convert; one that exists but cannot
    // be read may be a tune, and the user must hear of it.
    if (errno == ENOENT) return ConvertResult::NotSid;
    g_file_system->explain(std::string("it cannot be opened: ") + std::strerror(errno));
    return ConvertResult::Failed;
  }
  const ConvertResult result = convert_open_file(fd, path);
  close(fd);
  return result;
}
