// Separator conversion, directory test and case-insensitive resolution, on
// real directories.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "fsutil/fsutil.h"
#include "support/collection.h"

namespace {

using test::make_dirs;
using test::write_file;

class PathTest : public test::InTempDirTest {
 protected:
  PathTest() {
    make_dirs("C64Music");
    EXPECT_EQ(chdir("C64Music"), 0);
  }

  // resolve_path_nocase on a copy of |path|; the buffer is left in |after|.
  const char* resolve(const char* path, std::string& after) {
    std::strcpy(buffer_, path);
    const char* result = resolve_path_nocase(disk_, buffer_, '/');
    after = buffer_;
    return result;
  }

  RealFileSystem disk_;
  char buffer_[kPathBufferSize];
};

TEST_F(PathTest, ResolvesToNamesAsStoredOnDisk) {
  write_file("DOCUMNTS/QM_SIDS.TXT", "x");
  write_file("Games/a-F/Tune.Dat", "x");
  make_dirs("Sub/Inner");
  struct Case {
    const char* path;
    const char* want;  // nullptr: not found
    const char* after; // the buffer afterwards
  } cases[] = {
      {"../c64music/", "../C64Music", "../C64Music"},  // trailing separator goes
      {"./documnts/qm_sids.txt", "./DOCUMNTS/QM_SIDS.TXT", "./DOCUMNTS/QM_SIDS.TXT"},
      {"./GAMES/A-F/TUNE.DAT", "./Games/a-F/Tune.Dat", "./Games/a-F/Tune.Dat"},
      {"./documnts/missing.txt", nullptr, "./DOCUMNTS/MISSING.TXT"},  // last one missing
      {"./nowhere/qm_sids.txt", nullptr, "./NOWHERE/QM_SIDS.TXT"},
      {"./sub/./inner/../inner", "./Sub/./Inner/../Inner", "./Sub/./Inner/../Inner"},
      {"./games/a-f/tune.dat/", "./Games/a-F/Tune.Dat", "./Games/a-F/Tune.Dat"},
      {"./documnts/qm_sids.txt/x", nullptr, "./DOCUMNTS/QM_SIDS.TXT/X"},  // a file is no directory
      {".", nullptr, "."},    // no separator: nothing to resolve
      {"./", nullptr, "."},
      {"./sub//inner", nullptr, "./SUB//INNER"},  // an empty name matches nothing
  };
  for (const Case& c : cases) {
    std::string after;
    const char* got = resolve(c.path, after);
    if (c.want == nullptr) {
      EXPECT_EQ(got, nullptr) << c.path;
    } else {
      EXPECT_EQ(got, buffer_) << c.path;
      EXPECT_STREQ(got, c.want) << c.path;
    }
    EXPECT_EQ(after, c.after) << c.path;
  }
}

TEST_F(PathTest, TakesTheFirstListedOfNamesDifferingOnlyInCase) {
  make_dirs("Dup/abc");
  make_dirs("Dup/ABC");
  std::string first;
  DIR* dir = opendir("Dup");
  ASSERT_NE(dir, nullptr);
  while (const dirent* e = readdir(dir)) {
    if (e->d_name[0] != '.') {
      first = e->d_name;
      break;
    }
  }
  closedir(dir);
  std::string after;
  EXPECT_STREQ(resolve("./dup/Abc", after), ("./Dup/" + first).c_str());
}

TEST_F(PathTest, FollowsSymbolicLinksToDirectories) {
  write_file("Real/TUNE.DAT", "x");
  ASSERT_EQ(symlink("Real", "Link"), 0);
  ASSERT_EQ(symlink("nowhere", "Broken"), 0);
  std::string after;
  EXPECT_STREQ(resolve("./link/tune.dat", after), "./Link/TUNE.DAT");
  EXPECT_TRUE(is_directory(disk_, "Link"));
  EXPECT_TRUE(is_directory(disk_, "Real"));
  EXPECT_TRUE(is_directory(disk_, "."));
  EXPECT_FALSE(is_directory(disk_, "Real/TUNE.DAT"));
  EXPECT_FALSE(is_directory(disk_, "Broken"));
  EXPECT_FALSE(is_directory(disk_, "missing"));
}

TEST(ConvertSeparators, RewritesEverySeparatorInPlace) {
  struct Case {
    const char* path;
    char sep;
    const char* want;
  } cases[] = {
      {".\\GAMES\\A-F\\X.DAT", '/', "./GAMES/A-F/X.DAT"},
      {"./GAMES/A-F/X.DAT", '\\', ".\\GAMES\\A-F\\X.DAT"},
      {"mixed/and\\mixed", '/', "mixed/and/mixed"},
      {"mixed/and\\mixed", 'x', "mixed/and/mixed"},  // any other value means '/'
      {"", '/', ""},
  };
  for (const Case& c : cases) {
    char buffer[kPathBufferSize];
    std::strcpy(buffer, c.path);
    EXPECT_EQ(convert_separators(buffer, c.sep), buffer);
    EXPECT_STREQ(buffer, c.want) << c.path;
  }
}

TEST(PathParts, DirectoryPartLastNameAndTheFormOfAMovesTarget) {
  struct Case {
    const char* path;
    const char* directory;
    const char* name;
    const char* from_root;
  } cases[] = {
      {"./GAMES/A-F/TUNE.DAT", "./GAMES/A-F", "TUNE.DAT", "./GAMES/A-F/TUNE.DAT"},
      {"GAMES_", ".", "GAMES_", "./GAMES_"},
      {"VARIOUS/Jusk_", "VARIOUS", "Jusk_", "./VARIOUS/Jusk_"},
      {"/etc", "/", "etc", "/etc"},
      {"../outside", "..", "outside", "../outside"},
      {"./dir/", "./dir", "", "./dir/"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(directory_part(c.path), c.directory) << c.path;
    EXPECT_EQ(last_name(c.path), c.name) << c.path;
    EXPECT_EQ(path_from_root(c.path), c.from_root) << c.path;
  }
}

}  // namespace
