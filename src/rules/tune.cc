// What makes a file a tune.
#include "rules/tune.h"

#include <algorithm>

#include "rules/ascii.h"

bool is_tune_path(std::string_view path) {
  // ASCII case only, whatever the locale.
  const auto same_lowered = [](char c, char mark) { return ascii_lower(c) == mark; };
  constexpr std::string_view kMark = ".dat";
  return std::search(path.begin(), path.end(), kMark.begin(), kMark.end(), same_lowered) != path.end();
}

bool has_tune_magic(std::string_view head) { return head.starts_with("PSID"); }
