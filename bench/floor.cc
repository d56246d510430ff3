// The floor of the benchmark: only the file-system work that converting a
// collection cannot avoid. It lists every directory, reads every tune (a
// PSID file whose path holds ".dat"), creates its new file exclusively,
// writes it and removes the old file. New names are the old ones plus
// ".sid": deriving names costs no I/O.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

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
    const int out = open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (out >= 0) {
      if (write(out, g_buffer, static_cast<std::size_t>(n)) == n) ++g_converted;
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

int main() {
  std::string path = ".";
  walk(path);
  std::printf("%ld\n", g_converted);
  return 0;
}
