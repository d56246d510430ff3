// The exclusive copy and its alternate destination, on real files.
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "fsutil/fsutil.h"
#include "support/collection.h"
#include "support/context.h"

namespace {

using test::captured_stdout;
using test::exists;
using test::read_file;
using test::write_file;

// Every case runs twice: through an unnamed file that is named once complete,
// and created under its name, as on file systems without unnamed files.
class CopyTest : public test::InTempDirTest, public ::testing::WithParamInterface<bool> {
 protected:
  CopyTest() { g_copy_without_unnamed_files = GetParam(); }
  ~CopyTest() override { g_copy_without_unnamed_files = false; }
  CopyResult copy(const std::string& src, const std::string& dst) {
    CopyResult result{};
    printed_ = captured_stdout([&] { result = copy_file_exclusive(on_disk_.ctx, src.c_str(), dst.c_str()); });
    return result;
  }
  test::DiskContext on_disk_;
  std::string printed_;
};

TEST_P(CopyTest, CopiesEveryByteToANewPrivateFile) {
  struct Case {
    const char* name;
    std::size_t size;
  } cases[] = {{"empty", 0},
                  {"one byte", 1},
                  {"one block", kCopyBlockSize},
                  {"blocks and a tail", 3 * kCopyBlockSize + 17}};
  for (const Case& c : cases) {
    std::string bytes;
    for (std::size_t i = 0; i < c.size; ++i) bytes += static_cast<char>(i * 31 % 251);
    write_file("src.bin", bytes);
    const std::string dst = std::string("dst-") + std::to_string(c.size) + ".bin";
    EXPECT_EQ(copy("src.bin", dst), CopyResult::Copied) << c.name;
    EXPECT_EQ(printed_, dst + "\n") << c.name;
    EXPECT_EQ(read_file(dst), bytes) << c.name;
    EXPECT_EQ(test::mode_of(dst), 0600u) << c.name;  // the tests run with umask 022 or less
  }
}

TEST_P(CopyTest, TheFileCreationMaskApplies) {
  write_file("src.bin", "abc");
  const mode_t old = umask(0277);
  EXPECT_EQ(copy("src.bin", "dst.bin"), CopyResult::Copied);
  umask(old);
  EXPECT_EQ(test::mode_of("dst.bin"), 0400u);
}

TEST_P(CopyTest, NeverOverwritesAndCreatesNothingWithoutASource) {
  write_file("src.bin", "new");
  write_file("taken.bin", "old");
  EXPECT_EQ(copy("src.bin", "taken.bin"), CopyResult::TargetExists);
  EXPECT_EQ(printed_, "");
  EXPECT_EQ(read_file("taken.bin"), "old");
  EXPECT_EQ(read_file("src.bin"), "new");

  EXPECT_EQ(copy("missing.bin", "taken.bin"), CopyResult::SourceMissing);
  EXPECT_EQ(copy("missing.bin", "fresh.bin"), CopyResult::SourceMissing);
  EXPECT_EQ(printed_, "");
  EXPECT_EQ(read_file("taken.bin"), "old");
  EXPECT_FALSE(exists("fresh.bin"));
}

TEST_P(CopyTest, ADirectoryDestinationReceivesTheFileUnderItsOwnName) {
  write_file("dir/TUNE.DAT", "tune");
  test::make_dirs("Target.sid");
  EXPECT_EQ(copy("dir/TUNE.DAT", "Target.sid"), CopyResult::Copied);
  EXPECT_EQ(printed_, "Target.sid/TUNE.DAT\n");
  EXPECT_EQ(read_file("Target.sid/TUNE.DAT"), "tune");
  // Taken there as well: the alternate is refused too.
  EXPECT_EQ(copy("dir/TUNE.DAT", "Target.sid"), CopyResult::TargetExists);
}

TEST_P(CopyTest, PathsTooLongForTheTargetBufferAreRefusedCleanly) {
  // Real directories, so that only the length decides.
  const std::string dir = std::string(200, 'd') + "/" + std::string(200, 'e');
  test::make_dirs(dir);
  write_file("src.bin", "abc");
  const std::string fits = dir + "/" + std::string(kTargetPathBufferSize - 1 - dir.size() - 1, 'f');
  ASSERT_EQ(fits.size(), kTargetPathBufferSize - 1);
  EXPECT_EQ(copy("src.bin", fits), CopyResult::Copied);
  EXPECT_EQ(printed_, fits + "\n");

  const std::string too_long = dir + "/" + std::string(kTargetPathBufferSize - dir.size() - 1, 'g');
  ASSERT_EQ(too_long.size(), kTargetPathBufferSize);
  EXPECT_EQ(copy("src.bin", too_long), CopyResult::TargetExists);
  EXPECT_FALSE(exists(too_long));

  // The destination fits but is a directory, and the alternate inside it
  // would not fit.
  const std::string sub = dir + "/" + std::string(kTargetPathBufferSize - dir.size() - 6, 'h');
  test::make_dirs(sub);
  EXPECT_EQ(copy("src.bin", sub), CopyResult::TargetExists);
  EXPECT_EQ(printed_, "");
  EXPECT_EQ(test::list_tree(sub).size(), 0u);
}

TEST_P(CopyTest, AFailedReadLeavesNoPartialTarget) {
  test::make_dirs("a-directory");  // opens for reading, but reading fails
  EXPECT_EQ(copy("a-directory", "dst.bin"), CopyResult::ReadFailed);
  EXPECT_EQ(printed_, "dst.bin\n");  // the path it was meant for
  EXPECT_FALSE(exists("dst.bin"));
}

TEST_P(CopyTest, AFailedWriteLeavesNoPartialTarget) {
  struct Case {
    std::size_t size;
    std::size_t limit;  // files may not grow past it: a write falls short
  } cases[] = {
      {3 * 4096, 5000},
      // The last read gets one or two bytes, whose failed write was once
      // reported as SourceMissing or TargetExists ("nothing was created").
      {kCopyBlockSize + 1, kCopyBlockSize},
      {kCopyBlockSize + 2, kCopyBlockSize},
  };
  for (const Case& c : cases) {
    const std::string bytes(c.size, 'x');
    write_file("src.bin", bytes);
    const int result = test::in_child_with_file_size_limit(
        c.limit, [this] { return static_cast<int>(copy_file_exclusive(on_disk_.ctx, "src.bin", "dst.bin")); });
    EXPECT_EQ(result, static_cast<int>(CopyResult::WriteFailed)) << c.size;
    EXPECT_EQ(test::list_tree("."), std::vector<std::string>{"src.bin"}) << c.size;
    EXPECT_EQ(read_file("src.bin"), bytes);
  }
}

INSTANTIATE_TEST_SUITE_P(BothWays, CopyTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "NamedAtOnce" : "NamedWhenComplete"; });

TEST(JoinDirAndName, PutsTheSourceNameInsideTheDestination) {
  struct Case {
    const char* src;
    const char* dst;
    const char* want;
  } cases[] = {
      {"NAME.DAT", "dir/", "dir/NAME.DAT"},  // no separator in the source
      {"NAME.DAT", "dir", "dir/NAME.DAT"},
      {"./a/b/NAME.DAT", "x", "x/NAME.DAT"},
      // A '\\' is a letter of a name read from the disk, not a separator.
      {".\\a\\NAME.DAT", "x", "x/.\\a\\NAME.DAT"},
      {"a\\b/N", "x", "x/N"},
      {"a/b\\N", "x", "x/b\\N"},
      {"a/b", "x\\", "x\\/b"},
      {"a/", "x", "x/"},  // empty final component
  };
  for (const Case& c : cases) {
    EXPECT_EQ(join_dir_and_name(c.src, c.dst), c.want) << c.src << " + " << c.dst;
  }
}

}  // namespace
