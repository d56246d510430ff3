// Converting one file: which files are tunes, the new name, and what is left
// behind on success and on failure.
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "fsutil/fsutil.h"
#include "sid/sid_convert.h"
#include "support/collection.h"
#include "support/context.h"

namespace {

using test::exists;
using test::psid_file;
using test::read_file;
using test::write_file;

class ConvertTest : public test::InTempDirTest {
 protected:
  ConvertResult convert(const std::string& path) {
    ConvertResult result{};
    printed_ = test::captured_stdout([&] { result = convert_sid_file(on_disk_.ctx, path.c_str()); });
    return result;
  }
  test::DiskContext on_disk_;
  std::string printed_;
};

TEST_F(ConvertTest, ATuneBecomesItsTitleDotSid) {
  const std::string tune = psid_file("Night Harbour", 5000);
  write_file("GAMES/A-F/NIGHTHAR.DAT", tune);
  EXPECT_EQ(convert("./GAMES/A-F/NIGHTHAR.DAT"), ConvertResult::Converted);
  EXPECT_EQ(printed_, "./GAMES/A-F/Night_Harbour.sid\n");
  EXPECT_EQ(read_file("GAMES/A-F/Night_Harbour.sid"), tune);
  EXPECT_EQ(test::mode_of("GAMES/A-F/Night_Harbour.sid"), 0600u);
  EXPECT_FALSE(exists("GAMES/A-F/NIGHTHAR.DAT"));
}

TEST_F(ConvertTest, TunesOfAnySizeAreCopiedWhole) {
  // Around the size of the first read, which also serves the header check.
  for (std::size_t size : {kCopyBlockSize - 1, kCopyBlockSize, kCopyBlockSize + 1, 2 * kCopyBlockSize + 5}) {
    const std::string tune = psid_file("Sized", size - 0x7c);
    ASSERT_EQ(tune.size(), size);
    write_file("d/SIZED.DAT", tune);
    EXPECT_EQ(convert("./d/SIZED.DAT"), ConvertResult::Converted) << size;
    EXPECT_EQ(read_file("d/Sized.sid"), tune) << size;
    ASSERT_EQ(std::remove("d/Sized.sid"), 0);
  }
}

TEST_F(ConvertTest, WhichFilesAreTunesAndWhatTheyAreCalled) {
  struct Case {
    const char* path;
    std::string bytes;
    ConvertResult want;
    const char* new_name;  // for Converted
  } cases[] = {
      {"./d/TUNE.DAT", "PSIX" + psid_file("Tune").substr(4), ConvertResult::NotSid, nullptr},
      {"./d/NOTES.TXT", psid_file("Notes"), ConvertResult::NotSid, nullptr},
      {"./d/x.data", psid_file("In Data"), ConvertResult::Converted, "In_Data.sid"},
      {"./d.dat/notes.txt", psid_file("Below"), ConvertResult::Converted, "Below.sid"},
      {"./d/lower.dat", psid_file("Lower Case"), ConvertResult::Converted, "Lower_Case.sid"},
      {"./d/ABC.DAT", psid_file("####"), ConvertResult::Converted, "Abc.sid"},  // fallback
      {"./d/.DAT", psid_file(""), ConvertResult::Converted, ".sid"},            // empty fallback
      {"./d/SHORT.DAT", "PSI", ConvertResult::NotSid, nullptr},
      {"./d/EMPTY.DAT", "", ConvertResult::NotSid, nullptr},
      {"./d/MAGIC.DAT", "PSID", ConvertResult::Converted, "Magic.sid"},  // no title at all
      // Cut inside the title field: the missing bytes read as NUL.
      {"./d/CUT.DAT", psid_file("Cut Short").substr(0, 22 + 5), ConvertResult::Converted, "Cut_S.sid"},
  };
  for (const Case& c : cases) {
    write_file(c.path, c.bytes);
    const std::string dir = std::string(c.path).substr(0, std::string(c.path).rfind('/') + 1);
    EXPECT_EQ(convert(c.path), c.want) << c.path;
    if (c.want == ConvertResult::Converted) {
      EXPECT_EQ(printed_, dir + c.new_name + "\n") << c.path;
      EXPECT_EQ(read_file(dir + c.new_name), c.bytes) << c.path;
      EXPECT_FALSE(exists(c.path)) << c.path;
    } else {
      EXPECT_EQ(printed_, "") << c.path;
      EXPECT_EQ(read_file(c.path), c.bytes) << c.path;
    }
  }
}

TEST_F(ConvertTest, AnExistingNameIsRefusedAndTheOldFileStays) {
  write_file("d/FIRST.DAT", psid_file("Same Title"));
  write_file("d/SECOND.DAT", psid_file("Same Title", 100));
  EXPECT_EQ(convert("./d/FIRST.DAT"), ConvertResult::Converted);
  EXPECT_EQ(convert("./d/SECOND.DAT"), ConvertResult::Failed);
  EXPECT_EQ(printed_, "");
  EXPECT_EQ(read_file("d/Same_Title.sid"), psid_file("Same Title"));
  EXPECT_EQ(read_file("d/SECOND.DAT"), psid_file("Same Title", 100));
}

TEST_F(ConvertTest, ANewNameThatIsADirectoryReceivesTheTune) {
  write_file("d/TUNE.DAT", psid_file("Taken"));
  test::make_dirs("d/Taken.sid");
  EXPECT_EQ(convert("./d/TUNE.DAT"), ConvertResult::Converted);
  EXPECT_EQ(printed_, "./d/Taken.sid/TUNE.DAT\n");
  EXPECT_EQ(read_file("d/Taken.sid/TUNE.DAT"), psid_file("Taken"));
}

TEST_F(ConvertTest, APathWithoutSlashFails) {
  write_file("TUNE.DAT", psid_file("Tune"));
  EXPECT_EQ(convert("TUNE.DAT"), ConvertResult::Failed);
  EXPECT_TRUE(exists("TUNE.DAT"));
}

TEST_F(ConvertTest, SpecialFilesAreNeverOpened) {
  // A FIFO opened for reading would wait for a writer for ever.
  alarm(10);
  ASSERT_EQ(mkfifo("FIFO.DAT", 0644), 0);
  EXPECT_EQ(convert("./FIFO.DAT"), ConvertResult::NotSid);

  const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strcpy(addr.sun_path, "SOCKET.DAT");
  ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  EXPECT_EQ(convert("./SOCKET.DAT"), ConvertResult::NotSid);
  close(sock);

  ASSERT_EQ(symlink("FIFO.DAT", "LINK.DAT"), 0);
  EXPECT_EQ(convert("./LINK.DAT"), ConvertResult::NotSid);

  if (mknod("NULL.DAT", S_IFCHR | 0666, makedev(1, 3)) == 0) {
    EXPECT_EQ(convert("./NULL.DAT"), ConvertResult::NotSid);
  } else {
    GTEST_LOG_(INFO) << "cannot make a device node here; that case is not checked";
  }
  alarm(0);
  EXPECT_EQ(printed_, "");
}

TEST_F(ConvertTest, ALinkToATuneIsConvertedAndTheTargetKept) {
  write_file("real/TUNE.DAT", psid_file("Linked"));
  test::make_dirs("d");
  ASSERT_EQ(symlink("../real/TUNE.DAT", "d/LINK.DAT"), 0);
  EXPECT_EQ(convert("./d/LINK.DAT"), ConvertResult::Converted);
  EXPECT_EQ(read_file("d/Linked.sid"), psid_file("Linked"));
  EXPECT_FALSE(exists("d/LINK.DAT"));
  EXPECT_TRUE(exists("real/TUNE.DAT"));
}

TEST_F(ConvertTest, ANewPathTooLongForTheCopyFailsWithNothingCreated) {
  const std::string dir = "./" + std::string(250, 'd') + "/" + std::string(250, 'e');
  write_file(dir + "/TUNE.DAT", psid_file("A Rather Long Title Here"));
  EXPECT_EQ(convert(dir + "/TUNE.DAT"), ConvertResult::Failed);
  EXPECT_EQ(test::list_tree(dir), std::vector<std::string>{"TUNE.DAT"});
}

TEST_F(ConvertTest, AFailedCopyKeepsTheOldFileAndLeavesNoNewOne) {
  const std::string tune = psid_file("Too Big", 3 * 4096);
  write_file("d/BIG.DAT", tune);
  const int result = test::in_child_with_file_size_limit(
      5000, [this] { return static_cast<int>(convert_sid_file(on_disk_.ctx, "./d/BIG.DAT")); });
  EXPECT_EQ(result, static_cast<int>(ConvertResult::Failed));
  EXPECT_EQ(read_file("d/BIG.DAT"), tune);
  EXPECT_FALSE(exists("d/Too_Big.sid"));
}

}  // namespace
