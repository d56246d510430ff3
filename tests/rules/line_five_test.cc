// The release line rule on its own: only line 5 changes, every other byte
// stays.
#include "rules/line_five.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const std::string kRelease2 = std::string(35, ' ') + "release 2.0";

TEST(ReplaceReleaseLine, OnlyLineFiveChanges) {
  using namespace std::string_literals;
  struct Case {
    const char* name;
    std::string before;
    std::string after;
  } cases[] = {
      {"ten lines", "1\n2\n3\n4\nrelease 1.6\n6\n7\n8\n9\n10\n", "1\n2\n3\n4\n" + kRelease2 + "\n6\n7\n8\n9\n10\n"},
      {"CR LF stays CR LF", "1\r\n2\r\n3\r\n4\r\nrelease 1.6\r\n6\r\n", "1\r\n2\r\n3\r\n4\r\n" + kRelease2 + "\r\n6\r\n"},
      // Line 5 keeps its own ending, whatever the others have.
      {"mixed endings", "1\r\n2\n3\n4\nrelease 1.6\n6\r\n", "1\r\n2\n3\n4\n" + kRelease2 + "\n6\r\n"},
      {"no newline at the end", "1\n2\n3\n4\nrelease 1.6\n6", "1\n2\n3\n4\n" + kRelease2 + "\n6"},
      {"line 5 is the last, unended", "1\n2\n3\n4\nrelease 1.6", "1\n2\n3\n4\n" + kRelease2},
      {"five lines", "1\n2\n3\n4\nrelease 1.6\n", "1\n2\n3\n4\n" + kRelease2 + "\n"},
      {"NUL bytes and high bytes", "\0\n\xff\n3\n4\nrel\0ase\n\0\xfe"s, "\0\n\xff\n3\n4\n"s + kRelease2 + "\n\0\xfe"s},
      {"a long line", "1\n2\n3\n4\n5\n" + std::string(5000, 'x') + "\n", "1\n2\n3\n4\n" + kRelease2 + "\n" + std::string(5000, 'x') + "\n"},
      {"a long line 5", "1\n2\n3\n4\n" + std::string(5000, 'y') + "\n6\n", "1\n2\n3\n4\n" + kRelease2 + "\n6\n"},
      // Fewer than five lines: empty lines up to line 4, then line 5.
      {"four lines", "1\n2\n3\n4\n", "1\n2\n3\n4\n" + kRelease2 + "\n"},
      {"two lines", "1\n2\n", "1\n2\n\n\n" + kRelease2 + "\n"},
      {"two lines, CR LF", "1\r\n2\r\n", "1\r\n2\r\n\r\n\r\n" + kRelease2 + "\r\n"},
      {"two lines, the last unended", "1\n2", "1\n2\n\n\n" + kRelease2 + "\n"},
      {"empty", "", "\n\n\n\n" + kRelease2 + "\n"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(replace_release_line(c.before), c.after) << c.name;
    // A second run changes nothing more.
    EXPECT_EQ(replace_release_line(c.after), c.after) << c.name;
  }
}

}  // namespace
