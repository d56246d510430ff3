// Rewriting the release line of the collection's document.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "run/run.h"

namespace {

constexpr char kDocumentPath[] = ".\\DOCUMENTS\\QM_SIDS.TXT";
constexpr char kTempName[] = "xtempx.txt";
// The document names its release on line 5.
constexpr int kReleaseLineNumber = 5;
constexpr std::string_view kReleaseText = "                                   release 2.0";

// The new document's permissions, before the umask, as for every new file.
constexpr mode_t kDocumentMode = 0600;

// The ending of the document's first line, which new lines take.
std::string_view newline_of(std::string_view document) {
  const std::size_t end = document.find('\n');
  if (end != std::string_view::npos && end > 0 && document[end - 1] == '\r') return "\r\n";
  return "\n";
}

void log_unconverted(const char* path) {
  log_error(g_error_log, kUnconvertedDocumentMessage, path, g_error_count);
}

// The whole of the regular file |path|; false when it is anything else or
// cannot be read. O_NONBLOCK: a FIFO put there must not block the run.
bool read_regular_file(const char* path, std::string& text) {
  const int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  char block[kCopyBlockSize];
  while (ok) {
    const ssize_t got = read(fd, block, sizeof block);
    if (got <= 0) {
      ok = got == 0;
      break;
    }
    text.append(block, static_cast<std::size_t>(got));
  }
  close(fd);
  return ok;
}

bool write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t wrote = write(fd, text.data(), text.size());
    if (wrote <= 0) return false;
    text.remove_prefix(static_cast<std::size_t>(wrote));
  }
  return true;
}

// True when |path| is a regular file holding exactly |text|: the temporary
// file of an earlier run of ours that was killed before it could rename it.
// Removing it loses nothing, since |text| is about to be written again.
bool is_own_leftover(const char* path, std::string_view text) {
  struct stat st;
  if (lstat(path, &st) != 0 || !S_ISREG(st.st_mode) || static_cast<std::size_t>(st.st_size) != text.size()) {
    return false;
  }
  std::string held;
  return read_regular_file(path, held) && held == text;
}

// Writes |text| to the new file |temp| (which must not exist) completely.
// Written as an unnamed file first where the file system allows, so that
// the name holds the whole text from its first moment. False when it could
// not be written; nothing of ours then stays under |temp|.
bool write_new_file(const char* dir, const char* temp, std::string_view text) {
  if (const int fd = open_unnamed_file(dir, kDocumentMode); fd >= 0) {
    bool ok = write_all(fd, text);
    if (ok) {
      ok = name_unnamed_file(fd, temp);
      if (!ok && errno == EEXIST && is_own_leftover(temp, text) && unlink(temp) == 0) {
        ok = name_unnamed_file(fd, temp);
      }
    }
    if (close(fd) != 0 && ok) {
      unlink(temp);
      ok = false;
    }
    return ok;
  }
  int fd = open(temp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kDocumentMode);
  if (fd < 0 && errno == EEXIST && is_own_leftover(temp, text) && unlink(temp) == 0) {
    fd = open(temp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kDocumentMode);
  }
  if (fd < 0) return false;
  bool ok = write_all(fd, text);
  if (close(fd) != 0) ok = false;
  if (!ok) unlink(temp);
  return ok;
}

}  // namespace

std::string replace_release_line(std::string_view document) {
  const std::string_view newline = newline_of(document);
  std::string out;
  out.reserve(document.size() + kReleaseText.size() + 2 * kReleaseLineNumber);
  std::size_t pos = 0;
  for (int line = 1; line < kReleaseLineNumber; ++line) {
    const std::size_t end = document.find('\n', pos);
    if (end == std::string_view::npos) {
      // Fewer than five lines: the last one is ended, and the missing ones
      // up to line 4 are empty.
      // One newline for each of lines |line| to 5, whether |line| is a
      // last line without its newline or missing altogether.
      out.append(document.substr(pos));
      for (int ended = line; ended <= kReleaseLineNumber; ++ended) out += newline;
      out.insert(out.size() - newline.size(), kReleaseText);
      return out;
    }
    out.append(document.substr(pos, end + 1 - pos));
    pos = end + 1;
  }
  std::size_t end = document.find('\n', pos);
  std::string_view ending;
  if (end != std::string_view::npos) {
    ending = end > pos && document[end - 1] == '\r' ? "\r\n" : "\n";
    ++end;
  } else {
    // A last line without a newline stays without one; a document that ends
    // right after line 4 gains line 5, ended like the others.
    ending = pos < document.size() ? "" : newline;
    end = document.size();
  }
  out.append(kReleaseText);
  out.append(ending);
  out.append(document.substr(end));
  return out;
}

void rewrite_release_line(char (&path)[kPathBufferSize]) {
  std::snprintf(path, sizeof path, "%s", kDocumentPath);
  convert_separators(path, '/');
  if (resolve_path_nocase(path, '/') == nullptr) return;

  std::string text;
  if (!read_regular_file(path, text)) {
    log_unconverted(path);
    return;
  }
  const std::string rewritten = replace_release_line(text);

  // The temporary file stands beside the document, so that renaming it over
  // the document replaces it in one step.
  char dir[kPathBufferSize];
  char temp[kPathBufferSize];
  const std::size_t dir_len = static_cast<std::size_t>(std::strrchr(path, '/') - path);
  std::memcpy(dir, path, dir_len);
  dir[dir_len] = '\0';
  if (std::snprintf(temp, sizeof temp, "%s/%s", dir, kTempName) >= static_cast<int>(sizeof temp) ||
      !write_new_file(dir, temp, rewritten)) {
    log_unconverted(path);
    return;
  }
  if (rename(temp, path) != 0) {
    unlink(temp);
    log_unconverted(path);
    return;
  }
  std::cout << path << '\n';
}
