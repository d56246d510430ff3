// Moving the collection's directories to their long names.
#include <cstdio>
#include <cstring>
#include <string>

#include "fsutil/filesystem.h"
#include "fsutil/journal.h"
#include "run/run.h"

namespace {

// Rows after the one that moves into this name are relative to VARIOUS.
constexpr char kVariousIntermediate[] = "VARIOUS_";

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
    // A directory found through a link that leads out of the collection
    // (its parent, GAMES say, a link to a folder elsewhere) is not the
    // collection's to move.
    const std::string parent(source, static_cast<std::size_t>(std::strrchr(source, '/') - source));
    if (!g_file_system->inside_root(parent.c_str())) {
      g_file_system->explain("it lies outside the collection, through a link");
      log_error(g_error_log, kUnmovedDirectoryMessage, source, g_error_count);
      continue;
    }
    // mv would move the directory into one that stands under the new name
    // (documnts into DOCUMENTS/documnts), or over a file.
    if (g_file_system->taken(target)) {
      g_file_system->explain(std::string("its new name ") + target + " is taken");
      log_error(g_error_log, kUnmovedDirectoryMessage, source, g_error_count);
      continue;
    }
    // The undo record learns of the move before it happens.
    if (g_change_journal != nullptr && !g_change_journal->will_move(source, target)) {
      g_file_system->explain("the undo record cannot be written");
      log_error(g_error_log, kUnmovedDirectoryMessage, source, g_error_count);
      continue;
    }
    int signal = 0;
    switch (g_file_system->move_directory(source, target, signal)) {
      case MoveResult::Moved:
        break;
      case MoveResult::Failed:
        log_error(g_error_log, kUnmovedDirectoryMessage, source, g_error_count);
        break;
      case MoveResult::Interrupted:
        request_stop(signal);
        return;
    }
  }
}
