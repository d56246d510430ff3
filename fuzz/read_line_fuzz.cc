// Fuzzes line reading: every read stores a terminated line of at most 1023
// bytes, a failed stream stays failed, and reading ends.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <sstream>
#include <string>

#include "fuzz_check.h"
#include "run/read_line.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
  // AddressSanitizer watches the buffer's bounds.
  char line[kLineBufferSize];
  // Each read that leaves the stream good consumes at least the newline.
  for (std::size_t reads = 0; reads <= size + 1; ++reads) {
    read_line(in, line);
    check(std::memchr(line, '\0', kLineBufferSize) != nullptr, "the line is terminated");
    if (in.fail()) {
      read_line(in, line);
      check(in.fail() && line[0] == '\0', "a failed stream reads empty lines");
      return 0;
    }
  }
  check(false, "reading ends");
  return 0;
}
