// What makes a file of the collection a tune, and where its title is.
#ifndef TUVO_RULES_TUNE_H_
#define TUVO_RULES_TUNE_H_

#include <cstddef>
#include <string_view>

// The title field of a PSID header is 32 bytes, NUL-padded and not
// necessarily NUL-terminated.
inline constexpr std::size_t kTitleFieldSize = 32;

// Offset of the title field in a PSID header.
inline constexpr std::size_t kTitleFieldOffset = 22;

// A converted tune's new file is named "<its long name>.sid".
inline constexpr std::string_view kNewTuneExtension = ".sid";

// True when |path| holds ".dat" in any case: release 1.6 tunes are named so.
// The whole path counts: x.data, and any file below a directory whose name
// holds ".dat", are candidates too.
bool is_tune_path(std::string_view path);

// True when |head|, the first bytes of a file, begins with the tune magic
// "PSID".
bool has_tune_magic(std::string_view head);

// A tune: a regular file at a candidate |path| whose first bytes |head|
// carry the magic.
inline bool is_tune(std::string_view path, std::string_view head) {
  return is_tune_path(path) && has_tune_magic(head);
}

#endif  // TUVO_RULES_TUNE_H_
