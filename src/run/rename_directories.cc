// Moving the collection's directories to their long names.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "run/run.h"

namespace {

// Rows after the one that moves into this name are relative to VARIOUS.
constexpr char kVariousIntermediate[] = "VARIOUS_";

}  // namespace

void rename_directories() {
  char source[kPathBufferSize];
  char target[kPathBufferSize];
  char command[kPathBufferSize];
  bool in_various = false;

  for (const char* const* row = kDirectoryRenames; row[0] != nullptr; row += 2) {
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
    // skipped. A name found this way matches a table name in all but case,
    // so it holds no byte the shell would read specially.
    if (resolve_path_nocase(source, '/') == nullptr) continue;
    // A command cut short must never run; table rows are far shorter.
    const int length = std::snprintf(command, sizeof command, "mv -v %s %s", source, target);
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof command) continue;
    // The child writes to the same terminal or pipe: what we printed must be
    // out first.
    std::cout.flush();
    std::fflush(stdout);
    // mv reports its own failures on the terminal; nothing is counted.
    const int status = std::system(command);
    static_cast<void>(status);
  }
}
