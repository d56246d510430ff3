// Whether a path read from a file (the undo record) stays in the collection.
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "fsutil/fsutil.h"

namespace {

// "./" and then names, none empty, "." or "..": no way up or out by
// spelling alone. An absolute path fails at once.
bool spelled_inside(std::string_view path) {
  if (!path.starts_with("./") || path.size() >= kPathBufferSize) return false;
  std::string_view rest = path.substr(2);
  while (true) {
    const std::size_t slash = rest.find('/');
    const std::string_view name = rest.substr(0, slash);
    if (name.empty() || name == "." || name == "..") return false;
    if (slash == std::string_view::npos) return true;
    rest.remove_prefix(slash + 1);
  }
}

enum class Reach { Inside, Outside, Unknown };

// The kernel resolves |dir| beneath the current directory and refuses any
// symbolic link on the way.
Reach reach_with_openat2(const std::string& dir) {
  open_how how{};
  how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  const long fd = syscall(SYS_openat2, AT_FDCWD, dir.c_str(), &how, sizeof how);
  if (fd >= 0) {
    close(static_cast<int>(fd));
    return Reach::Inside;
  }
  if (errno == ENOSYS || errno == EPERM || errno == E2BIG) return Reach::Unknown;  // no openat2, or filtered
  return errno == ELOOP || errno == EXDEV ? Reach::Outside : Reach::Inside;
}

// The same, one name at a time, for kernels without openat2 (before 5.6):
// a link among the directories on the way is refused.
Reach reach_by_components(const std::string& dir) {
  int fd = open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return Reach::Inside;  // nothing can be reached at all
  std::size_t pos = 2;  // after "./"
  Reach reach = Reach::Inside;
  while (pos < dir.size()) {
    std::size_t slash = dir.find('/', pos);
    if (slash == std::string::npos) slash = dir.size();
    const std::string name = dir.substr(pos, slash - pos);
    pos = slash + 1;
    const int next = openat(fd, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    struct stat st;
    if (next < 0 || fstat(next, &st) != 0) {
      if (next >= 0) close(next);
      break;  // missing: nothing lies beyond it to act on
    }
    close(fd);
    fd = next;
    if (S_ISLNK(st.st_mode)) {
      reach = Reach::Outside;
      break;
    }
    if (!S_ISDIR(st.st_mode)) break;
  }
  close(fd);
  return reach;
}

}  // namespace

bool lies_inside_collection(std::string_view path) {
  if (!spelled_inside(path)) return false;
  const std::string dir(directory_part(path));
  if (dir == ".") return true;
  static bool has_openat2 = true;
  if (has_openat2) {
    const Reach reach = reach_with_openat2(dir);
    if (reach != Reach::Unknown) return reach == Reach::Inside;
    has_openat2 = false;
  }
  return reach_by_components(dir) == Reach::Inside;
}
