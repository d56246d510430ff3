// The walk over the whole collection that hands every file to the tune
// conversion and logs what could not be converted.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "run/run.h"
#include "sid/sid_convert.h"

namespace {

struct DirectoryId {
  dev_t device;
  ino_t inode;
  bool operator==(const DirectoryId&) const = default;
};

// Directories on the current path of the walk. Symbolic links are followed,
// so a link back to a directory already open would otherwise be walked
// without end.
using OpenDirectories = std::vector<DirectoryId>;

enum class EntryKind { Directory, RegularFile, Other };

// What |name| in |dir| is, following symbolic links. The listing's own type
// saves a look-up for plain files and directories.
EntryKind entry_kind(DIR* dir, const dirent* entry) {
  if (entry->d_type == DT_DIR) return EntryKind::Directory;
  if (entry->d_type == DT_REG) return EntryKind::RegularFile;
  struct stat st;
  if (fstatat(dirfd(dir), entry->d_name, &st, 0) != 0) return EntryKind::Other;
  if (S_ISDIR(st.st_mode)) return EntryKind::Directory;
  return S_ISREG(st.st_mode) ? EntryKind::RegularFile : EntryKind::Other;
}

bool is_dot_or_dot_dot(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// Enters |dir| unless it is already on the current path. On success adds it
// to |open_dirs|; the caller pops it when done.
bool enter(DIR* dir, OpenDirectories& open_dirs) {
  struct stat st;
  if (fstat(dirfd(dir), &st) != 0) return false;
  const DirectoryId id{st.st_dev, st.st_ino};
  if (std::find(open_dirs.begin(), open_dirs.end(), id) != open_dirs.end()) return false;
  open_dirs.push_back(id);
  return true;
}

void log_failure(const char* message, std::string_view path) {
  log_error(g_error_log, message, path, g_error_count);
}

// Opens the directory |name| of |dir| for listing; nullptr when it cannot be.
DIR* open_subdirectory(DIR* dir, const char* name) {
  const int fd = openat(dirfd(dir), name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  DIR* sub = fdopendir(fd);
  if (sub == nullptr) close(fd);
  return sub;
}

// True when the regular file |name| of |dir|, whose path is |path|, may be a
// tune: a candidate path whose first bytes are the tune magic, or one that
// cannot be read to tell.
bool may_be_tune(DIR* dir, const char* name, std::string_view path) {
  if (!is_tune_path(path)) return false;
  const int fd = openat(dirfd(dir), name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return errno != ENOENT;
  char head[4];
  const ssize_t got = read(fd, head, sizeof head);
  close(fd);
  return got < 0 || has_tune_magic({head, static_cast<std::size_t>(got)});
}

// Nothing at or below a path too long for the path buffer can be converted,
// but every tune there is logged, so that the user learns of it. |path| is
// the full path of |entry| of |dir|, kept in a string of its own.
void log_tunes_beyond_buffer(DIR* dir, const dirent* entry, std::string& path,
                             OpenDirectories& open_dirs) {
  switch (entry_kind(dir, entry)) {
    case EntryKind::Directory: {
      DIR* sub = open_subdirectory(dir, entry->d_name);
      if (sub == nullptr) {
        log_failure(kUnreadableDirectoryMessage, path);
        return;
      }
      if (enter(sub, open_dirs)) {
        while (const dirent* child = readdir(sub)) {
          if (is_dot_or_dot_dot(child->d_name)) continue;
          const std::size_t len = path.size();
          path += '/';
          path += child->d_name;
          log_tunes_beyond_buffer(sub, child, path, open_dirs);
          path.resize(len);
        }
        open_dirs.pop_back();
      }
      closedir(sub);
      break;
    }
    case EntryKind::RegularFile:
      if (may_be_tune(dir, entry->d_name, path)) log_failure(kDuplicateFileMessage, path);
      break;
    case EntryKind::Other:
      break;
  }
}

void walk_directory(char (&path)[kPathBufferSize], OpenDirectories& open_dirs) {
  DIR* dir = opendir(path);
  if (dir == nullptr) {
    // One that vanished has nothing to convert; one that cannot be listed
    // may hold tunes.
    if (errno != ENOENT && errno != ENOTDIR) log_failure(kUnreadableDirectoryMessage, path);
    return;
  }
  if (!enter(dir, open_dirs)) {
    closedir(dir);
    return;
  }

  const std::size_t len = std::strlen(path);
  while (const dirent* entry = readdir(dir)) {
    // A stop waits for the tune in hand, and no other is started.
    if (stop_requested()) break;
    if (is_dot_or_dot_dot(entry->d_name)) continue;
    const std::size_t name_len = std::strlen(entry->d_name);
    if (len + 1 + name_len >= sizeof path) {
      std::string long_path = std::string(path, len) + '/' + entry->d_name;
      log_tunes_beyond_buffer(dir, entry, long_path, open_dirs);
      continue;
    }
    // Names are joined with '\\' and turned into '/', as every path is.
    path[len] = '\\';
    std::memcpy(path + len + 1, entry->d_name, name_len + 1);
    convert_separators(path + len, '/');
    switch (entry_kind(dir, entry)) {
      case EntryKind::Directory:
        walk_directory(path, open_dirs);
        break;
      case EntryKind::RegularFile:
        if (convert_sid_file(path, /*known_regular=*/true) == ConvertResult::Failed) {
          log_failure(kDuplicateFileMessage, path);
        }
        break;
      case EntryKind::Other:  // FIFOs, sockets, devices, broken links
        break;
    }
    path[len] = '\0';
  }
  closedir(dir);
  open_dirs.pop_back();
}

}  // namespace

void walk_tree(char (&path)[kPathBufferSize]) {
  if (!is_directory(path)) return;
  OpenDirectories open_dirs;
  walk_directory(path, open_dirs);
}
