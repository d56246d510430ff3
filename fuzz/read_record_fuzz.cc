// Fuzzes the reading of a whole undo record: no record crashes it, and
// every entry it takes can be loaded again with the limits the decoder
// promises.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_check.h"
#include "record/read.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const int fd = memfd_create("record", MFD_CLOEXEC);
  if (fd < 0) return 0;
  if (size > 0 && write(fd, data, size) != static_cast<ssize_t>(size)) {
    close(fd);
    return 0;
  }
  RecordEntries entries;
  std::string bad_line;
  RecordHealth health;
  if (!entries.read_lines(fd, bad_line, health)) {
    check(bad_line.size() <= kMaxRecordLineLength, "a refused line is never held beyond the longest entry");
    return 0;
  }
  check(entries.entry_count() <= size, "no more entries than bytes");
  Entry entry;
  for (std::size_t i = 0; i < entries.entry_count(); ++i) {
    check(entries.load(i, entry), "an entry read once loads again");
    for_each_path(entry, [](const std::string& path) {
      check(!path.empty() && path.find('\0') == std::string::npos, "a loaded path is a path");
    });
  }
  return 0;
}
