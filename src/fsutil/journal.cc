// The checksum of files the record keeps.
#include "fsutil/journal.h"

#include <unistd.h>
#include <xxhash.h>
#if defined(__x86_64__)
// The same checksum, computed with the widest vector unit the processor has.
#include <xxh_x86dispatch.h>
#endif

#include "fsutil/fsutil.h"

std::uint64_t content_checksum(std::string_view bytes) { return XXH3_64bits(bytes.data(), bytes.size()); }

bool checksum_of_file(int fd, std::uint64_t& size, std::uint64_t& checksum) {
  XXH3_state_t* state = XXH3_createState();
  if (state == nullptr) return false;
  XXH3_64bits_reset(state);
  char block[kCopyBlockSize];
  off_t offset = 0;
  bool ok = true;
  for (;;) {
    const ssize_t got = pread(fd, block, sizeof block, offset);
    if (got <= 0) {
      ok = got == 0;
      break;
    }
    XXH3_64bits_update(state, block, static_cast<std::size_t>(got));
    offset += got;
  }
  size = static_cast<std::uint64_t>(offset);
  checksum = XXH3_64bits_digest(state);
  XXH3_freeState(state);
  return ok;
}
