// Moving the collection's directories to their long names.
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "run/run.h"

extern char** environ;

namespace {

// Rows after the one that moves into this name are relative to VARIOUS.
constexpr char kVariousIntermediate[] = "VARIOUS_";

enum class MoveResult { Moved, Failed, Interrupted };

// Runs "mv -v |source| |target|" as a process of its own, with no shell in
// between, and waits for it. mv prints the move, or its own message.
MoveResult run_mv(char* source, char* target) {
  // The child writes to the same terminal or pipe: what we printed must be
  // out first.
  std::cout.flush();
  std::fflush(stdout);
  char mv[] = "mv";
  char verbose[] = "-v";
  char* argv[] = {mv, verbose, source, target, nullptr};
  pid_t pid;
  if (posix_spawnp(&pid, mv, nullptr, nullptr, argv, environ) != 0) return MoveResult::Failed;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return MoveResult::Failed;
  }
  // Ctrl-C reaches mv too, and mv dies of a closed output pipe as the run
  // would: whether it moved or not, the run stops here.
  if (WIFSIGNALED(status)) {
    request_stop(WTERMSIG(status));
    return MoveResult::Interrupted;
  }
  return WEXITSTATUS(status) == 0 ? MoveResult::Moved : MoveResult::Failed;
}

bool exists(const char* path) {
  struct stat st;
  return lstat(path, &st) == 0;
}

}  // namespace

void rename_directories() {
  char source[kPathBufferSize];
  char target[kPathBufferSize];
  bool in_various = false;

  for (const char* const* row = kDirectoryRenames; row[0] != nullptr; row += 2) {
    if (stop_requested()) return;
    const char* old_path = row[0];
    const char* new_path = row[1];
    if (in_various) {
      std::snprintf(source, sizeof source, ".\\VARIOUS\\%s", old_path);
      std::snprintf(target, sizeof target, "VARIOUS\\%s", new_path);
    } else {
      std::snprintf(source, sizeof source, ".\\%s", old_path);
      std::snprintf(target, sizeof target, "%s", new_path);
      // Takes effect from the next row: VARIOUS itself moves at the root.
      if (std::strstr(source, kVariousIntermediate) != nullptr) in_various = true;
    }
    convert_separators(source, '/');
    convert_separators(target, '/');

    // A directory that is not there (absent, or converted already) is
    // skipped.
    if (resolve_path_nocase(source, '/') == nullptr) continue;
    // mv would move the directory into one that stands under the new name
    // (documnts into DOCUMENTS/documnts), or over a file.
    if (exists(target)) {
      log_error(g_error_log, kUnmovedDirectoryMessage, source, g_error_count);
      continue;
    }
    switch (run_mv(source, target)) {
      case MoveResult::Moved:
        break;
      case MoveResult::Failed:
        log_error(g_error_log, kUnmovedDirectoryMessage, source, g_error_count);
        break;
      case MoveResult::Interrupted:
        return;
    }
  }
}
