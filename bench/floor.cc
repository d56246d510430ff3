// The floor of the benchmark: only the work that converting a collection
// cannot avoid. First one "mv -v" per row of the rename table whose old
// directory exists, each started directly and waited for, as the design
// asks; then the tunes: it lists every directory, reads every tune (a PSID
// file whose path holds ".dat"), creates its new file exclusively, writes it
// and removes the old file. New names are the old ones plus ".sid":
// deriving names costs no I/O.
//
//   floor [--unnamed] [--sync]
//
// --unnamed writes each new file as an unnamed file and names it once
// complete, as the program does, so that the cost of that step can be told
// on its own. --sync ends with one sync(), which takes everything to the
// disk: the least that a run that survives a power cut must pay.
#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "fsutil/fsutil.h"
#include "run/run.h"

extern char** environ;

namespace {

bool g_unnamed = false;
RealFileSystem g_disk;

void move_directories() {
  char source[kPathBufferSize];
  char target[kPathBufferSize];
  bool in_various = false;
  for (const char* const* row = kDirectoryRenames; row[0] != nullptr; row += 2) {
    if (in_various) {
      std::snprintf(source, sizeof source, ".\\VARIOUS\\%s", row[0]);
      std::snprintf(target, sizeof target, "VARIOUS\\%s", row[1]);
    } else {
      std::snprintf(source, sizeof source, ".\\%s", row[0]);
      std::snprintf(target, sizeof target, "%s", row[1]);
      if (std::strstr(source, "VARIOUS_") != nullptr) in_various = true;
    }
    convert_separators(source, '/');
    convert_separators(target, '/');
    if (resolve_path_nocase(g_disk, source, '/') == nullptr) continue;
    std::fflush(stdout);
    char mv[] = "mv", verbose[] = "-v";
    char* argv[] = {mv, verbose, source, target, nullptr};
    pid_t pid;
    int status;
    if (posix_spawnp(&pid, mv, nullptr, nullptr, argv, environ) == 0) waitpid(pid, &status, 0);
  }
}

int create_new(const std::string& path) {
  if (!g_unnamed) return open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  return g_disk.begin_unnamed(path.substr(0, path.rfind('/')).c_str(), 0600);
}

bool name_new(int fd, const std::string& path) { return !g_unnamed || g_disk.name_unnamed(fd, path.c_str()); }

// Tunes are at most 20 KB: one read takes a whole file.
char g_buffer[1 << 16];
long g_converted = 0;

bool has_dat(const std::string& path) {
  for (std::size_t i = 0; i + 4 <= path.size(); ++i) {
    if (path[i] == '.' && (path[i + 1] | 0x20) == 'd' && (path[i + 2] | 0x20) == 'a' &&
        (path[i + 3] | 0x20) == 't') {
      return true;
    }
  }
  return false;
}

void convert(const std::string& path) {
  const int in = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return;
  const ssize_t n = read(in, g_buffer, sizeof g_buffer);
  if (n >= 4 && std::memcmp(g_buffer, "PSID", 4) == 0) {
    const std::string target = path + ".sid";
    const int out = create_new(target);
    if (out >= 0) {
      if (write(out, g_buffer, static_cast<std::size_t>(n)) == n && name_new(out, target)) ++g_converted;
      close(out);
      unlink(path.c_str());
    }
  }
  close(in);
}

void walk(std::string& path) {
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return;
  const std::size_t len = path.size();
  while (const dirent* e = readdir(dir)) {
    if (e->d_name[0] == '.' && (e->d_name[1] == '\0' || (e->d_name[1] == '.' && e->d_name[2] == '\0'))) continue;
    path += '/';
    path += e->d_name;
    if (e->d_type == DT_DIR) {
      walk(path);
    } else if (e->d_type == DT_REG && has_dat(path)) {
      convert(path);
    }
    path.resize(len);
  }
  closedir(dir);
}

}  // namespace

int main(int argc, char** argv) {
  bool sync_at_end = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--unnamed") == 0) g_unnamed = true;
    if (std::strcmp(argv[i], "--sync") == 0) sync_at_end = true;
  }
  move_directories();
  std::string path = ".";
  walk(path);
  if (sync_at_end) sync();
  std::printf("%ld\n", g_converted);
  return 0;
}
