// Replacing one release 1.6 tune file by its long-named ".sid" copy.
#include "sid/sid_convert.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "fsutil/filesystem.h"
#include "fsutil/fsutil.h"
#include "fsutil/journal.h"

namespace {

constexpr char kNewExtension[] = ".sid";

}  // namespace

ConvertResult TuneBatch::convert_open_file(int fd, const char* path) {
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
  bool started = start_copy(fd, {head, size}, head_is_all, path, new_path, copies_[count_]);
  if ((!started || copies_[count_].outcome != CopyResult::Copied) && count_ > 0) {
    // The copies in hand take room that their old files give back once they
    // are named (a full disk): with them finished, the copy is tried again,
    // as it would have been made after them.
    finish();
    if (lseek(fd, static_cast<off_t>(size), SEEK_SET) < 0) return ConvertResult::Failed;
    started = start_copy(fd, {head, size}, head_is_all, path, new_path, copies_[0]);
  }
  PendingCopy& copy = copies_[count_];
  if (started) {
    ++count_;
    return ConvertResult::Pending;
  }
  // No unnamed file can be made here: the copy is made under its name at
  // once, after the tunes before it.
  finish();
  if (copy_under_name(fd, {head, size}, head_is_all, copy) != CopyResult::Copied) return ConvertResult::Failed;
  fs.remove(path);
  fs.tune_replaced(path);
  return ConvertResult::Converted;
}

ConvertResult TuneBatch::convert(const char* path, bool known_regular) {
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
    failed(path);
    return ConvertResult::Failed;
  }
  ConvertResult result = convert_open_file(fd, path);
  close(fd);
  if (result == ConvertResult::Failed) failed(path);
  // Without an undo record there is nothing to gain by waiting.
  if (result == ConvertResult::Pending && (g_change_journal == nullptr || count_ == copies_.size())) finish();
  return result;
}

void TuneBatch::failed(const char* path) {
  finish();
  if (on_failed_) on_failed_(path);
}

void TuneBatch::finish() {
  if (count_ == 0) return;
  const std::span<PendingCopy> copies(copies_.data(), count_);
  count_ = 0;
  announce_copies(copies);
  for (PendingCopy& copy : copies) {
    // Only a complete copy replaces the tune.
    if (finish_copy(copy) == CopyResult::Copied) {
      g_file_system->remove(copy.src.c_str());
      g_file_system->tune_replaced(copy.src.c_str());
    } else if (on_failed_) {
      on_failed_(copy.src.c_str());
    }
  }
}

bool is_tune_path(std::string_view path) {
  // ASCII case only, whatever the locale.
  const auto same_lowered = [](char c, char mark) { return (c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c) == mark; };
  constexpr std::string_view kMark = ".dat";
  return std::search(path.begin(), path.end(), kMark.begin(), kMark.end(), same_lowered) != path.end();
}

bool has_tune_magic(std::string_view head) { return head.starts_with("PSID"); }

ConvertResult convert_sid_file(const char* path, bool known_regular) {
  bool failed = false;
  TuneBatch batch([&failed](const char*) { failed = true; });
  const ConvertResult result = batch.convert(path, known_regular);
  batch.finish();
  if (result != ConvertResult::Pending) return result;
  return failed ? ConvertResult::Failed : ConvertResult::Converted;
}
