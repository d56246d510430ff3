// A collection that came from someone else: names crafted to look like
// paths, and links that lead out of it. Nothing outside the collection may
// change, and every tune inside is converted or logged.
#include <unistd.h>

#include <string>

#include "support/collection.h"

namespace {

using test::exists;
using test::read_file;
using test::write_file;
using test::write_tune;

class ConfinementTest : public test::CollectionTest {
 protected:
  std::string beside(const std::string& relative) const { return tmp_.path() + "/" + relative; }
};

TEST_F(ConfinementTest, CraftedNamesAndLinksChangeNothingOutside) {
  // The victims, beside the collection.
  write_tune(beside("backup/GAMES/A-F/KEEP.DAT"), "Backup Tune");
  write_tune(beside("elsewhere/OTHER.DAT"), "Other Tune");
  write_file(beside("elsewhere/docs/QM_SIDS.TXT"), test::kReleaseDocument);
  // Names that read as paths once '\' is taken for a separator.
  test::make_dirs(at("mystuff/..\\.."));
  write_tune(at("mystuff/..\\..\\elsewhere\\OTHER.DAT"), "Crafted");
  write_tune(at("mystuff/..\\..\\backup\\GAMES\\A-F\\KEEP.DAT"), "Crafted Too");
  write_tune(at("mystuff/TUNE\\ONE.DAT"), "Tune One");
  write_tune(at("X\\Y/IN.DAT"), "In XY");
  // Links out: a directory the walk meets, a category directory whose
  // subdirectories the table moves, and the documents directory.
  ASSERT_EQ(symlink("../../elsewhere", at("mystuff/out").c_str()), 0);
  ASSERT_EQ(symlink(beside("backup").c_str(), at("mystuff/abs").c_str()), 0);
  ASSERT_EQ(symlink("../backup/GAMES", at("games").c_str()), 0);
  ASSERT_EQ(symlink("../elsewhere/docs", at("DOCUMENTS").c_str()), 0);
  const std::string backup = test::snapshot(beside("backup"));
  const std::string elsewhere = test::snapshot(beside("elsewhere"));

  const test::RunResult run = this->run("y\ny\ny\n");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(test::snapshot(beside("backup")), backup);
  EXPECT_EQ(test::snapshot(beside("elsewhere")), elsewhere);
  // Every tune inside, whatever its name, was converted.
  EXPECT_EQ(read_file(at("mystuff/Crafted.sid")), test::psid_file("Crafted"));
  EXPECT_EQ(read_file(at("mystuff/Crafted_Too.sid")), test::psid_file("Crafted Too"));
  EXPECT_EQ(read_file(at("mystuff/Tune_One.sid")), test::psid_file("Tune One"));
  EXPECT_EQ(read_file(at("X\\Y/In_XY.sid")), test::psid_file("In XY"));
  for (const char* old : {"mystuff/..\\..\\elsewhere\\OTHER.DAT", "mystuff/TUNE\\ONE.DAT", "X\\Y/IN.DAT"}) {
    EXPECT_FALSE(exists(at(old))) << old;
  }
  // The link itself was the collection's to move; what lies behind it, and
  // the document out there, were not.
  EXPECT_TRUE(exists(at("GAMES")));
  EXPECT_EQ(read_file(at("tuvo_2.err")),
            "Unmoved Directory? : ./documnts\n"
            "Unmoved Directory? : ./GAMES/A-F\n"
            "Unconverted Document? : ./DOCUMENTS/QM_SIDS.TXT\n");
  EXPECT_NE(run.out.find("\n3 errors detected."), std::string::npos) << run.out;
}

}  // namespace
