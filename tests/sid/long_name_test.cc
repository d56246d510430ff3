// The naming rule: titles to base names, the transliteration table and the
// fallback name.
#include <map>
#include <random>
#include <string>

#include "sid/sid_convert.h"
#include "support/collection.h"

namespace {

constexpr const char* kNone = nullptr;

TEST(DeriveLongName, Examples) {
  const std::string letters27(27, 'x');
  const std::string ampersands = "A" + std::string(26, '&');
  struct Case {
    std::string title;
    const char* want;  // kNone: the fallback name is used
  } cases[] = {
      {"Night Harbour", "Night_Harbour"},
      {"The Last Lamp", "Last_Lamp"},
      {"THE END", "END"},
      {"tHe end", "end"},
      {"The ", kNone},            // nothing left after the article
      {"The", "The"},             // three bytes: no article
      {"The-Band", "The-Band"},
      {"The\tEnd", "The_End"},    // the article needs exactly a space
      {"THE THE END", "THE_END"}, // only one article goes
      {"Rock'n'Roll Tune", "Rock_n_Roll_Tune"},
      {"Don't Stop, It's Late", "Dont_Stop_Its_Late"},
      {"I'm HERE", "Im_HERE"},
      {"Rock'", "Rock"},          // the break is taken back at the end
      {"'Tis Over", "Tis_Over"},
      {"Salt & Pepper", "Salt_and_Pepper"},
      {"Salt&Pepper", "Salt_and_Pepper"},
      {"A&&B", "A_and_and_B"},
      {"A-&B", "A_and_B"},        // "&" takes back a dash too
      {"Down - Under", "Down-Under"},
      {"A _-_ B", "A-B"},
      {"A--B", "A-B"},
      {"A-", "A"},
      {"Mix+", "Mix_plus"},
      {"Mix+ ", "Mix_plus"},
      {"Mix++", "Mix_plus"},
      {"Mix+\t\r", "Mix_plus"},
      {"C+ Tune", "C_Tune"},      // only a last "+" counts
      {"Sea Song 2   ", "Sea_Song_2"},
      {"Dream TIME: 3:20", "Dream"},
      {"Rock' TIME: 1:00", "Rock"},  // the cut title ends right after the apostrophe
      {"Dream time: 3:20", "Dream_time_3_20"},  // the suffix is upper-case only
      {" TIME: 3:20", kNone},
      {"...Ending...", "Ending"},
      {"4 Mat", "4_Mat"},
      {"A\x01" "B", "A_B"},
      {"\xC4rger", "Aerger"},
      {"\xDC" "ber Blau", "Ueber_Blau"},
      {"Fjord \xD8l", "Fjord_Oel"},
      {"\xE5\xE6\xF6\xF8\xFC", "aaaeoeoeue"},
      {"Stra\xDF" "e", "Stra_e"},
      {"\xC9lan", kNone},         // a high first byte decides alone
      {"\xDF" "abc", kNone},
      {"\xFF" "abc", kNone},
      {"\xC3" "abc", "abc"},      // 195 is skipped like punctuation
      {"x \xFFy", "x_y"},
      {"x\xC0y", "x_y"},
      {"...\xC4rger", "rger"},    // only byte 0 is transliterated when leading
      {"####", kNone},
      {"", kNone},
      {letters27, letters27.c_str()},
      {letters27 + "x", kNone},
      {"The " + letters27, letters27.c_str()},  // the limit applies after the article
      {std::string(22, 'a') + " & B", kNone},   // 28 bytes once expanded
      {std::string(21, 'a') + " & B", "aaaaaaaaaaaaaaaaaaaaa_and_B"},
      {ampersands, kNone},        // 105 bytes at the check
      {std::string(22, 'a') + "+", "aaaaaaaaaaaaaaaaaaaaaa_plus"},
      {std::string(23, 'a') + "+", kNone},
      {std::string("Hello\0World", 11), "Hello"},  // the title ends at NUL
  };
  for (const Case& c : cases) {
    const std::optional<std::string> got = derive_long_name(c.title);
    if (c.want == kNone) {
      EXPECT_FALSE(got.has_value()) << "title: " << c.title << " gave " << got.value_or("");
    } else {
      EXPECT_EQ(got.value_or("<none>"), c.want) << "title: " << c.title;
    }
  }
}

TEST(DeriveLongName, ReadsAtMostTheThirtyTwoBytesOfTheTitleField) {
  // A full field without NUL: 32 bytes, over the limit even when more follow.
  EXPECT_FALSE(derive_long_name(std::string(40, 'a')).has_value());
  EXPECT_EQ(derive_long_name(std::string("Short") + std::string(27, '\0') + "tail"), "Short");
}

bool is_name_byte(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '-';
}
bool is_sep(char c) { return c == '_' || c == '-'; }

TEST(DeriveLongName, AnyTitleGivesNoneOrAPortableName) {
  const char* pieces[] = {"The ", " TIME:", "&", "'", "-", "+", " ", "t", "M", "s"};
  std::mt19937 rng(1997);
  for (int round = 0; round < 200000; ++round) {
    std::string title;
    const int parts = static_cast<int>(rng() % 12);
    for (int p = 0; p < parts; ++p) {
      switch (rng() % 4) {
        case 0:
          title += pieces[rng() % std::size(pieces)];
          break;
        case 1:
          title += static_cast<char>(196 + rng() % 57);  // Latin-1 letters and neighbours
          break;
        default:
          title += static_cast<char>(1 + rng() % 255);  // every byte but NUL
      }
    }
    title.resize(std::min<std::size_t>(title.size(), kTitleFieldSize));
    const auto name = derive_long_name(title);
    if (!name) continue;
    SCOPED_TRACE("title: " + title + " name: " + *name);
    ASSERT_GE(name->size(), 1u);
    ASSERT_LE(name->size(), kMaxLongNameLength);
    ASSERT_FALSE(is_sep(name->front()));
    ASSERT_FALSE(is_sep(name->back()));
    for (std::size_t i = 0; i < name->size(); ++i) {
      ASSERT_TRUE(is_name_byte((*name)[i]));
      if (i > 0) {
        ASSERT_FALSE(is_sep((*name)[i]) && is_sep((*name)[i - 1]));
      }
    }
  }
}

TEST(TransliterateLatin1, OnlyTheTwelveLettersHaveASpelling) {
  const std::map<int, std::string> table = {
      {196, "Ae"}, {197, "Aa"}, {198, "Ae"}, {214, "Oe"}, {216, "Oe"}, {220, "Ue"},
      {228, "ae"}, {229, "aa"}, {230, "ae"}, {246, "oe"}, {248, "oe"}, {252, "ue"}};
  for (int byte = 0; byte < 256; ++byte) {
    std::string out = "x";
    const bool ok = transliterate_latin1(out, static_cast<unsigned char>(byte));
    const auto it = table.find(byte);
    EXPECT_EQ(ok, it != table.end()) << byte;
    EXPECT_EQ(out, it != table.end() ? "x" + it->second : "x") << byte;
  }
}

TEST(FallbackName, CapitalisesTheOldBaseName) {
  struct Case {
    const char* old_name;
    const char* want;
  } cases[] = {
      {"NIGHTHAR.DAT", "Nighthar"}, {"X-RAY.DAT", "X-ray"}, {"12AB.DAT", "12ab"},
      {"nighthar.dat", "Nighthar"}, {"A.B.DAT", "A"},       {"NOEXT", "Noext"},
      {".DAT", ""},                 {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(fallback_name(c.old_name), c.want) << c.old_name;
}

}  // namespace
