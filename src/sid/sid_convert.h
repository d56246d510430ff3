// Turning one PSID tune file into its long-named ".sid" file: the long name
// derived from the tune's title, the fallback name, and the file replacement.
#ifndef TUVO_SID_SID_CONVERT_H_
#define TUVO_SID_SID_CONVERT_H_

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// A new base name holds at most this many bytes; with ".sid" a file name is
// at most 31 characters, which every target system of the collection accepts.
inline constexpr std::size_t kMaxLongNameLength = 27;

// The title field of a PSID header is 32 bytes, NUL-padded and not
// necessarily NUL-terminated.
inline constexpr std::size_t kTitleFieldSize = 32;

// Offset of the title field in a PSID header.
inline constexpr std::size_t kTitleFieldOffset = 22;

// Turns a tune's |title| (the bytes of the title field up to its first NUL,
// at most kTitleFieldSize of them) into the base name of its new file: 1 to
// kMaxLongNameLength bytes of A-Z a-z 0-9 '_' '-'. Returns std::nullopt when
// no acceptable name can be made, and the fallback name must be used.
// Classification is ASCII only, whatever the locale: bytes above 127 are
// neither letters nor digits nor white space.
std::optional<std::string> derive_long_name(std::string_view title);

// For a Latin-1 letter with a two-letter ASCII spelling (196-198, 214, 216,
// 220, 228-230, 246, 248, 252) appends those two letters to |out| and returns
// true; for any other byte appends nothing and returns false.
bool transliterate_latin1(std::string& out, unsigned char byte);

// The name used when no long name can be made: |old_file_name| cut at its
// first '.', with its first byte upper-cased and the rest lower-cased (ASCII).
std::string fallback_name(std::string_view old_file_name);

// True when |path| holds ".dat" in any case: release 1.6 tunes are named so.
// The whole path counts: x.data, and any file below a directory whose name
// holds ".dat", are candidates too.
bool is_tune_path(std::string_view path);

// True when |head|, the first bytes of a file, begins with the tune magic
// "PSID".
bool has_tune_magic(std::string_view head);

// Result of convert_sid_file.
enum class ConvertResult : int {
  Converted = 0,  // new file written, old file deleted
  NotSid = 1,     // not a tune; the file is left unchanged
  Failed = -1,    // a tune that could not be written under its new name
};

// Converts the file at |path| (relative, with '/' separators, as built by the
// walk). Only a regular file (or a link to one) whose lower-cased path
// contains ".dat" and whose first four bytes are "PSID" is a tune; anything
// else, including FIFOs, sockets and devices, is NotSid and never opened.
// A tune is copied with copy_file_exclusive to "<its directory>/<name>.sid",
// where name comes from derive_long_name of its title, or fallback_name of its
// old file name; the copy prints the new path. Only when the copy is complete
// is the old file deleted (Converted).
// Returns Failed, leaving the old file in place, when the new name exists
// already, the copy fails, the path holds no '/', the new path does not fit
// a path buffer, or the tune cannot be opened or read.
// |known_regular| says that the caller has already seen a regular file there
// (from its directory listing), which saves a look-up.
ConvertResult convert_sid_file(const char* path, bool known_regular = false);

#endif  // TUVO_SID_SID_CONVERT_H_
