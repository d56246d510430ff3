// Reading a whole file.
#include <sys/stat.h>
#include <unistd.h>

#include "fsutil/fsutil.h"

bool read_to_end(int fd, std::string& text) {
  char block[kCopyBlockSize];
  for (;;) {
    const ssize_t got = read(fd, block, sizeof block);
    if (got == 0) return true;
    if (got < 0) return false;
    text.append(block, static_cast<std::size_t>(got));
  }
}

bool read_regular_file(int fd, std::string& text, struct stat* st) {
  if (fd < 0) return false;
  struct stat own;
  if (st == nullptr) st = &own;
  const bool ok = fstat(fd, st) == 0 && S_ISREG(st->st_mode) && read_to_end(fd, text);
  close(fd);
  return ok;
}
