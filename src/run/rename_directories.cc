// Moving the collection's directories to their long names.
#include <cstdio>
#include <cstring>
#include <string>

#include "fsutil/context.h"
#include "run/run.h"

namespace {

// Rows after the one that moves into this name are relative to VARIOUS.
constexpr char kVariousIntermediate[] = "VARIOUS_";

}  // namespace

void rename_directories(const Context& ctx) {
  FileSystem& fs = ctx.fs;
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
    if (resolve_path_nocase(fs, source, '/') == nullptr) continue;
    // A directory found through a link that leads out of the collection
    // (its parent, GAMES say, a link to a folder elsewhere) is not the
    // collection's to move.
    const std::string parent(directory_part(source));
    if (!fs.inside_root(parent.c_str())) {
      ctx.report.explain("it lies outside the collection, through a link");
      ctx.report.failed(Failure::UnmovedDirectory, source);
      continue;
    }
    // mv would move the directory into one that stands under the new name
    // (documnts into DOCUMENTS/documnts), or over a file.
    if (fs.taken(target)) {
      ctx.report.explain(std::string("its new name ") + target + " is taken");
      ctx.report.failed(Failure::UnmovedDirectory, source);
      continue;
    }
    // The undo record learns of the move before it happens.
    if (!ctx.journal.will_move(source, target)) {
      ctx.report.explain("the undo record cannot be written");
      ctx.report.failed(Failure::UnmovedDirectory, source);
      continue;
    }
    int signal = 0;
    switch (fs.move_directory(source, target, signal)) {
      case MoveResult::Moved:
        break;
      case MoveResult::Failed:
        ctx.report.failed(Failure::UnmovedDirectory, source);
        break;
      case MoveResult::Interrupted:
        request_stop(signal);
        return;
    }
  }
}
