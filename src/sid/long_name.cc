// The naming rule of the new collection: a tune's title becomes its file name.
#include <algorithm>
#include <cstring>

#include "rules/ascii.h"
#include "sid/sid_convert.h"

namespace {

// Classification is ASCII only, never the user's locale: the same title must
// give the same file name on every machine, and Latin-1 bytes are handled by
// the transliteration table alone.
bool is_alnum(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}
bool is_space(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

bool is_separator(char c) { return c == '_' || c == '-'; }

// Bytes above this value may be Latin-1 letters with an ASCII spelling.
constexpr unsigned char kLastPlainByte = 195;

struct Transliteration {
  unsigned char byte;
  char spelling[3];
};

constexpr Transliteration kLatin1Letters[] = {
    {196, "Ae"}, {197, "Aa"}, {198, "Ae"}, {214, "Oe"}, {216, "Oe"}, {220, "Ue"},
    {228, "ae"}, {229, "aa"}, {230, "ae"}, {246, "oe"}, {248, "oe"}, {252, "ue"},
};

// Appends a word break unless a separator is already last.
void append_break(std::string& out) {
  if (out.empty() || !is_separator(out.back())) out += '_';
}

}  // namespace

bool transliterate_latin1(std::string& out, unsigned char byte) {
  for (const Transliteration& t : kLatin1Letters) {
    if (t.byte == byte) {
      out += t.spelling;
      return true;
    }
  }
  return false;
}

std::optional<std::string> derive_long_name(std::string_view title_in) {
  // The title as a NUL-terminated array: bytes past its end read as NUL.
  char title[kTitleFieldSize + 1] = {};
  title_in = title_in.substr(0, std::min(title_in.find('\0'), kTitleFieldSize));
  std::memcpy(title, title_in.data(), title_in.size());

  // A leading article "The " (any case, then exactly one space) is dropped.
  char* t = title;
  if (ascii_upper(t[0]) == 'T' && ascii_upper(t[1]) == 'H' && ascii_upper(t[2]) == 'E' && t[3] == ' ') {
    t += 4;
  }
  // A playing time written after the title is no part of the name.
  if (char* time = std::strstr(t, " TIME:")) *time = '\0';
  const std::size_t len = std::strlen(t);

  if (len > kMaxLongNameLength) return std::nullopt;

  const auto byte = [t](std::size_t i) { return static_cast<unsigned char>(t[i]); };
  std::string out;
  std::size_t i = 0;
  if (byte(0) > kLastPlainByte) {
    // A title starting with a high byte is judged by that byte alone.
    if (!transliterate_latin1(out, byte(0))) return std::nullopt;
    i = 1;
  } else {
    while (i < len && !is_alnum(byte(i))) ++i;
    if (i == len) return std::nullopt;
    out += t[i++];
  }

  for (; i < len; ++i) {
    const unsigned char c = byte(i);
    if (is_alnum(c)) {
      out += static_cast<char>(c);
    } else if (c == '&') {
      if (is_separator(out.back())) out.pop_back();
      out += "_and_";
    } else if (c == '\'') {
      // Contractions ('m, 's, 't) join up; any other apostrophe breaks words.
      const char next = ascii_upper(t[i + 1]);
      if (next != 'M' && next != 'S' && next != 'T') append_break(out);
    } else if (c == '-') {
      if (is_separator(out.back())) {
        out.back() = '-';
      } else {
        out += '-';
      }
    } else if (c <= kLastPlainByte || !transliterate_latin1(out, c)) {
      append_break(out);
    }
  }

  if (is_separator(out.back())) out.pop_back();

  std::size_t last = len;
  while (last > 0 && is_space(byte(last - 1))) --last;
  if (last > 0 && t[last - 1] == '+') out += "_plus";

  if (out.size() > kMaxLongNameLength) return std::nullopt;
  return out;
}

std::string fallback_name(std::string_view old_file_name) {
  std::string name(old_file_name.substr(0, old_file_name.find('.')));
  for (std::size_t i = 0; i < name.size(); ++i) name[i] = i == 0 ? ascii_upper(name[i]) : ascii_lower(name[i]);
  return name;
}
