// Fuzzes the naming rule: whatever the title bytes, the result is none or a
// portable base name, and the fallback name never grows.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_check.h"
#include "sid/sid_convert.h"

namespace {

bool is_separator(char c) { return c == '_' || c == '-'; }
bool is_name_byte(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || is_separator(c);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const std::string_view title = bytes.substr(0, kTitleFieldSize);
  if (const auto name = derive_long_name(title)) {
    check(!name->empty() && name->size() <= kMaxLongNameLength, "length from 1 to 27");
    check(!is_separator(name->front()) && !is_separator(name->back()), "no separator at either end");
    for (std::size_t i = 0; i < name->size(); ++i) {
      check(is_name_byte((*name)[i]), "only A-Z a-z 0-9 _ -");
      check(i == 0 || !(is_separator((*name)[i]) && is_separator((*name)[i - 1])), "no two separators together");
    }
  }
  check(fallback_name(bytes).size() <= bytes.size(), "fallback no longer than the old name");
  return 0;
}
