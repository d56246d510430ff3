// The walk over the whole collection that hands every file to the tune
// conversion and reports what could not be converted.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fsutil/context.h"
#include "rules/ascii.h"
#include "rules/tune.h"
#include "run/run.h"
#include "sid/sid_convert.h"
#include "stop/stop.h"

namespace {

// Directories on the current path of the walk. Symbolic links are followed,
// so a link back to a directory already open would otherwise be walked
// without end.
using OpenDirectories = std::vector<FileId>;

// What the walk keeps as it goes.
struct Walk {
  explicit Walk(const Context& context)
      : ctx(context), tunes(context, [this](const char* path) { ctx.report.failed(Failure::DuplicateFile, path); }) {}
  const Context& ctx;
  OpenDirectories open_dirs;
  // Tunes are converted in walk order; those that fail are reported in turn.
  TuneBatch tunes;
};

bool is_dot_or_dot_dot(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// True when a directory named |name| may receive the copy of a tune named
// after it: a copy goes to "<directory>/<name>.sid", or into it where that
// is a directory. The disk may ignore case.
bool may_receive_copies(std::string_view name) {
  return name.size() >= kNewTuneExtension.size() &&
         equal_ignoring_ascii_case(name.substr(name.size() - kNewTuneExtension.size()), kNewTuneExtension);
}

// Enters |dir| unless it is already on the current path. On success adds it
// to |open_dirs|; the caller pops it when done.
bool enter(DirectoryListing& dir, OpenDirectories& open_dirs) {
  FileId id;
  if (!dir.id(id)) return false;
  if (std::find(open_dirs.begin(), open_dirs.end(), id) != open_dirs.end()) return false;
  open_dirs.push_back(id);
  return true;
}

// A failure the walk itself finds is reported after every tune before it.
void report(Walk& walk, Failure failure, std::string_view path, const std::string& why) {
  walk.tunes.finish();
  walk.ctx.report.explain(why);
  walk.ctx.report.failed(failure, path);
}

// True when the regular file |name| of |dir|, whose path is |path|, may be a
// tune: a candidate path whose first bytes are the tune magic, or one that
// cannot be read to tell.
bool may_be_tune(DirectoryListing& dir, const char* name, std::string_view path) {
  if (!is_tune_path(path)) return false;
  const int fd = dir.open_file(name);
  if (fd < 0) return errno != ENOENT;
  char head[4];
  const ssize_t got = read(fd, head, sizeof head);
  close(fd);
  return got < 0 || is_tune(path, {head, static_cast<std::size_t>(got)});
}

// Walks the listing |dir| of the directory |path| (restored on return),
// depth first in listing order. Entries whose path fits the path buffer
// are converted; below that length nothing can be converted, but every
// tune there is reported, so that the user learns of it.
void walk_directory(DirectoryListing& dir, std::string& path, Walk& walk) {
  FileSystem& fs = walk.ctx.fs;
  const std::size_t len = path.size();
  while (const char* name = dir.next()) {
    // A stop waits for the tunes in hand, and no other is started.
    if (stop_requested()) break;
    if (is_dot_or_dot_dot(name)) continue;
    // Tunes wait in the batch while the walk meets plain files and plain
    // directories that no waiting tune's naming can reach. A link may lead
    // to a file that a waiting tune's naming changes, and so may a
    // directory named as a new file is (a copy whose name is a directory
    // goes into it): what is there must be seen after that naming.
    if (!dir.plain_file() && !(dir.plain_directory() && !may_receive_copies(name))) walk.tunes.finish();
    // A name read from the disk is data, never a path: it is joined with
    // '/' byte for byte, so that a '\\' in it stays a letter of the name.
    path += '/';
    path += name;
    const bool fits = path.size() < kPathBufferSize;
    switch (dir.kind()) {
      case EntryKind::Directory: {
        // A link to a directory is followed only where it stays in the
        // collection; whatever lies inside is walked anyway.
        if (fits && !dir.plain_directory() && !fs.inside_root(path.c_str())) break;
        const std::unique_ptr<DirectoryListing> sub = fits ? fs.list(path.c_str()) : dir.open_subdirectory(name);
        if (sub == nullptr) {
          // One that vanished has nothing to convert; one that cannot be
          // listed may hold tunes.
          if (!fits || (errno != ENOENT && errno != ENOTDIR)) {
            report(walk, Failure::UnreadableDirectory, path, std::string("it cannot be listed: ") + std::strerror(errno));
          }
          break;
        }
        if (enter(*sub, walk.open_dirs)) {
          walk_directory(*sub, path, walk);
          walk.open_dirs.pop_back();
        }
        break;
      }
      case EntryKind::RegularFile:
        if (fits) {
          walk.tunes.convert(path.c_str(), /*known_regular=*/true, /*known_plain=*/dir.plain_file());
        } else if (may_be_tune(dir, name, path)) {
          report(walk, Failure::DuplicateFile, path, "its path is longer than 1023 bytes");
        }
        break;
      case EntryKind::Other:  // FIFOs, sockets, devices, broken links
        break;
    }
    path.resize(len);
  }
}

}  // namespace

void walk_tree(const Context& ctx, char (&path)[kPathBufferSize]) {
  const std::unique_ptr<DirectoryListing> dir = ctx.fs.list(path);
  if (dir == nullptr) return;
  Walk walk(ctx);
  if (!enter(*dir, walk.open_dirs)) return;
  std::string walked(path);
  walk_directory(*dir, walked, walk);
  walk.tunes.finish();
}
