// ASCII letter case, the one case rule of the whole program. It is plain
// ASCII on purpose: collection names are compared the same way whatever
// locale the user runs in, and bytes above 127 never change.
#ifndef TUVO_RULES_ASCII_H_
#define TUVO_RULES_ASCII_H_

#include <string>
#include <string_view>

constexpr char ascii_upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }
constexpr char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
constexpr bool is_ascii_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// |text| with every ASCII letter upper-cased.
inline std::string upper_ascii(std::string_view text) {
  std::string up(text);
  for (char& c : up) c = ascii_upper(c);
  return up;
}

// True when |a| and |b| differ at most in the case of ASCII letters.
constexpr bool equal_ignoring_ascii_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (ascii_upper(a[i]) != ascii_upper(b[i])) return false;
  }
  return true;
}

#endif  // TUVO_RULES_ASCII_H_
