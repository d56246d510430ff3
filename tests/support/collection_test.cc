// Tests of the test support itself, where a fault would make other tests
// fail at random.
#include "support/collection.h"

#include <string>

namespace {

// A program that exits before it reads its input (here on a usage error,
// as an undo does on a record it refuses) must not end the test binary with
// SIGPIPE. More input than a pipe holds makes the write meet the closed
// pipe every time, not only when the program happens to be quick.
TEST(RunTuvoTest, InputForAProgramThatExitsEarlyIsNoFault) {
  test::TempDir dir;
  const std::string input(1 << 20, 'y');
  test::RunOptions options;
  options.args = {"--no-such-option"};
  const test::RunResult result = test::run_tuvo(dir.path(), input, options);
  EXPECT_EQ(result.status, 2);
  EXPECT_NE(result.err.find("Usage:"), std::string::npos) << result.err;
}

}  // namespace
