// The walk over the whole collection that hands every file to the tune
// conversion and logs what could not be converted.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fsutil/filesystem.h"
#include "run/run.h"
#include "sid/sid_convert.h"

namespace {

// Directories on the current path of the walk. Symbolic links are followed,
// so a link back to a directory already open would otherwise be walked
// without end.
using OpenDirectories = std::vector<FileId>;

void log_failure(const char* message, std::string_view path) {
  log_error(g_error_log, message, path, g_error_count);
}

// What the walk keeps as it goes.
struct Walk {
  OpenDirectories open_dirs;
  // Tunes are converted in walk order; those that fail are logged in turn.
  TuneBatch tunes{[](const char* path) { log_failure(kDuplicateFileMessage, path); }};
};

bool is_dot_or_dot_dot(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
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

// A failure the walk itself finds is logged after every tune before it.
void log_unlistable(Walk& walk, std::string_view path) {
  const int error = errno;
  walk.tunes.finish();
  g_file_system->explain(std::string("it cannot be listed: ") + std::strerror(error));
  log_failure(kUnreadableDirectoryMessage, path);
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
  return got < 0 || has_tune_magic({head, static_cast<std::size_t>(got)});
}

// Nothing at or below a path too long for the path buffer can be converted,
// but every tune there is logged, so that the user learns of it. |path| is
// the full path of the entry |name| just listed in |dir|, kept in a string
// of its own.
void log_tunes_beyond_buffer(DirectoryListing& dir, const char* name, std::string& path, Walk& walk) {
  switch (dir.kind()) {
    case EntryKind::Directory: {
      const std::unique_ptr<DirectoryListing> sub = dir.open_subdirectory(name);
      if (sub == nullptr) {
        log_unlistable(walk, path);
        return;
      }
      if (enter(*sub, walk.open_dirs)) {
        while (const char* child = sub->next()) {
          if (is_dot_or_dot_dot(child)) continue;
          const std::size_t len = path.size();
          path += '/';
          path += child;
          log_tunes_beyond_buffer(*sub, child, path, walk);
          path.resize(len);
        }
        walk.open_dirs.pop_back();
      }
      break;
    }
    case EntryKind::RegularFile:
      if (may_be_tune(dir, name, path)) {
        walk.tunes.finish();
        g_file_system->explain("its path is longer than 1023 bytes");
        log_failure(kDuplicateFileMessage, path);
      }
      break;
    case EntryKind::Other:
      break;
  }
}

void walk_directory(char (&path)[kPathBufferSize], Walk& walk) {
  const std::unique_ptr<DirectoryListing> dir = g_file_system->list(path);
  if (dir == nullptr) {
    // One that vanished has nothing to convert; one that cannot be listed
    // may hold tunes.
    if (errno != ENOENT && errno != ENOTDIR) log_unlistable(walk, path);
    return;
  }
  if (!enter(*dir, walk.open_dirs)) return;

  const std::size_t len = std::strlen(path);
  while (const char* name = dir->next()) {
    // A stop waits for the tunes in hand, and no other is started.
    if (stop_requested()) break;
    if (is_dot_or_dot_dot(name)) continue;
    // Tunes wait in the batch only while the walk meets plain files: a
    // link, or another directory, may lead to a file that a waiting tune's
    // naming changes, and must be seen after it.
    if (!dir->plain_file()) walk.tunes.finish();
    const std::size_t name_len = std::strlen(name);
    if (len + 1 + name_len >= sizeof path) {
      std::string long_path = std::string(path, len) + '/' + name;
      log_tunes_beyond_buffer(*dir, name, long_path, walk);
      continue;
    }
    // A name read from the disk is data, never a path: it is joined with
    // '/' byte for byte, so that a '\\' in it stays a letter of the name.
    path[len] = '/';
    std::memcpy(path + len + 1, name, name_len + 1);
    switch (dir->kind()) {
      case EntryKind::Directory:
        // A link to a directory is followed only where it stays in the
        // collection; whatever lies inside is walked anyway.
        if (dir->plain_directory() || g_file_system->inside_root(path)) walk_directory(path, walk);
        break;
      case EntryKind::RegularFile:
        walk.tunes.convert(path, /*known_regular=*/true, /*known_plain=*/dir->plain_file());
        break;
      case EntryKind::Other:  // FIFOs, sockets, devices, broken links
        break;
    }
    path[len] = '\0';
  }
  walk.open_dirs.pop_back();
}

}  // namespace

void walk_tree(char (&path)[kPathBufferSize]) {
  if (!is_directory(path)) return;
  Walk walk;
  walk_directory(path, walk);
  walk.tunes.finish();
}
