// Separator conversion, directory test and case-insensitive path resolution.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "fsutil/fsutil.h"
#include "rules/ascii.h"

char* convert_separators(char* path, char sep) {
  const char from = sep == '\\' ? '/' : '\\';
  const char to = sep == '\\' ? '\\' : '/';
  for (char* p = path; *p != '\0'; ++p) {
    if (*p == from) *p = to;
  }
  return path;
}

bool is_directory(FileSystem& fs, const char* path) { return fs.list(path) != nullptr; }

bool is_regular_file(FileSystem& fs, const char* path) { return fs.kind(path) == EntryKind::RegularFile; }

char* resolve_path_nocase(FileSystem& fs, char* path, char sep) {
  std::size_t len = std::strlen(path);
  if (len > 0 && path[len - 1] == sep) path[--len] = '\0';

  std::size_t components = 0;
  for (std::size_t i = 0; i < len; ++i) {
    path[i] = ascii_upper(path[i]);
    if (path[i] == sep) ++components;
  }
  if (components == 0) return nullptr;

  const bool from_parent = path[1] == '.';
  if (path[0] != '.' || path[from_parent ? 2 : 1] != sep) return nullptr;

  // The resolved prefix never outgrows the path: each name found on disk has
  // the length of the component it matched.
  std::string resolved = from_parent ? ".." : ".";
  resolved.reserve(len);
  std::size_t pos = from_parent ? 3 : 2;

  for (std::size_t c = 0; c < components; ++c) {
    const std::unique_ptr<DirectoryListing> dir = fs.list(resolved.c_str());
    if (dir == nullptr) return nullptr;

    std::size_t end = pos;
    while (end < len && path[end] != sep) ++end;
    const std::string_view component(path + pos, end - pos);
    pos = end + 1;

    bool found = false;
    while (const char* name = dir->next()) {
      if (equal_ignoring_ascii_case(name, component)) {
        resolved += sep;
        resolved += name;
        found = true;
        break;
      }
    }
    if (!found) return nullptr;
  }

  std::memcpy(path, resolved.c_str(), resolved.size() + 1);
  return path;
}

std::string join_dir_and_name(std::string_view src, std::string_view dst) {
  // Only '/' separates: a '\\' in a name read from the disk is a letter of
  // that name.
  const std::size_t last = src.rfind('/');
  const std::string_view name = last == std::string_view::npos ? src : src.substr(last + 1);
  std::string joined(dst);
  if (dst.empty() || dst.back() != '/') joined += '/';
  joined += name;
  return joined;
}

std::optional<std::string> find_on_path(std::string_view program) {
  const char* path = std::getenv("PATH");
  // The C library's own search uses these where PATH is not set.
  std::string_view dirs = path != nullptr ? path : "/bin:/usr/bin";
  while (true) {
    const std::size_t colon = dirs.find(':');
    std::string dir(dirs.substr(0, colon));
    if (dir.empty()) dir = ".";  // an empty entry is the current directory
    const std::string candidate = dir + "/" + std::string(program);
    struct stat st;
    if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
    if (colon == std::string_view::npos) return std::nullopt;
    dirs.remove_prefix(colon + 1);
  }
}

std::string path_from_root(std::string_view target) {
  if (target.starts_with("./") || target.starts_with("../") || target.starts_with("/")) return std::string(target);
  return "./" + std::string(target);
}

std::string_view directory_part(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return ".";
  return slash == 0 ? path.substr(0, 1) : path.substr(0, slash);
}

std::string_view last_name(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}
