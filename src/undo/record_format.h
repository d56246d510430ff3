// How the undo record writes and reads its entries: bytes as Latin-1
// letters in JSON strings, checksums in hex.
#ifndef TUVO_UNDO_RECORD_FORMAT_H_
#define TUVO_UNDO_RECORD_FORMAT_H_

#include <cstdint>
#include <string>
#include <string_view>

// |bytes| as JSON text: a string whose letters are the bytes' Latin-1
// letters, escaped by the JSON library.
std::string record_string(std::string_view bytes);
// The bytes of a string read from the record (each letter's value), or
// false when a letter is beyond Latin-1.
bool record_bytes(const std::string& utf8, std::string& bytes);

std::string hex64(std::uint64_t value);
bool parse_hex64(const std::string& text, std::uint64_t& value);

// The whole record in |text|; false when there is none, or anything but a
// plain file stands under its name.
bool read_record(std::string& text);

#endif  // TUVO_UNDO_RECORD_FORMAT_H_
