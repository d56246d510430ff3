// Reading lines into the fixed line buffer.
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "run/read_line.h"
#include "support/collection.h"

namespace {

struct Read {
  std::string line;
  bool eof;
  bool fail;
};

TEST(ReadLine, StoresOneLineAndSetsStreamStates) {
  const std::string a1023(1023, 'a');
  struct Case {
    const char* name;
    std::string input;
    std::vector<Read> reads;
  } cases[] = {
      {"newline ends a line", "one\ntwo\n", {{"one", false, false}, {"two", false, false}, {"", true, true}}},
      {"carriage return removed", "one\r\ntwo\r\n", {{"one", false, false}, {"two", false, false}}},
      {"only one carriage return removed", "a\r\r\n", {{"a\r", false, false}}},
      {"lone carriage return", "\r\n", {{"", false, false}}},
      {"last line without newline", "one\nlast", {{"one", false, false}, {"last", true, false}, {"", true, true}}},
      {"empty input", "", {{"", true, true}, {"", true, true}}},
      {"1023 bytes fit", a1023 + "\nnext\n", {{a1023, false, false}, {"next", false, false}}},
      {"1023 bytes at the end", a1023, {{a1023, true, false}}},
      // The rest of a long line stays unread and the stream stays failed.
      {"1024 bytes fail", a1023 + "b\nnext\n", {{a1023, false, true}, {"", false, true}}},
  };
  for (const Case& c : cases) {
    std::istringstream in(c.input);
    char line[kLineBufferSize];
    for (std::size_t i = 0; i < c.reads.size(); ++i) {
      std::memset(line, 'x', sizeof line);
      read_line(in, line);
      EXPECT_EQ(line, c.reads[i].line) << c.name << ", read " << i;
      EXPECT_EQ(in.eof(), c.reads[i].eof) << c.name << ", read " << i;
      EXPECT_EQ(in.fail(), c.reads[i].fail) << c.name << ", read " << i;
    }
  }
}

TEST(ReadLine, StreamThatNeverOpenedGivesEmptyLines) {
  std::ifstream in("/nonexistent/tuvo_test/file.txt");
  char line[kLineBufferSize] = "stale";
  read_line(in, line);
  EXPECT_STREQ(line, "");
  EXPECT_TRUE(in.fail());
}

}  // namespace
