// The release line of the collection's document, rewritten at the end of a
// run through the real program.
#include <unistd.h>

#include <string>

#include "support/collection.h"

namespace {

using test::exists;
using test::read_file;
using test::write_file;

const std::string kRelease2 = std::string(35, ' ') + "release 2.0\n";

class DocumentTest : public test::CollectionTest {
 protected:
  std::string document() const { return at("DOCUMENTS/qm_sids.txt"); }
  // Runs with consent to every question (line 5 may not name release 1.6).
  test::RunResult run_all() const { return run("y\ny\ny\ny\n"); }
};

TEST_F(DocumentTest, LineFiveBecomesTheRelease2Line) {
  struct Case {
    const char* name;
    std::string before;
    std::string after;
  } cases[] = {
      {"ten lines", "1\n2\n3\n4\nrelease 1.6\n6\n7\n8\n9\n10\n",
       "1\n2\n3\n4\n" + kRelease2 + "6\n7\n8\n9\n10\n\n"},  // gains an empty last line
      {"CR LF line ends", "1\r\n2\r\n3\r\n4\r\nrelease 1.6\r\n6\r\n", "1\n2\n3\n4\n" + kRelease2 + "6\n\n"},
      {"no newline at the end", "1\n2\n3\n4\nrelease 1.6\n6", "1\n2\n3\n4\n" + kRelease2 + "6\n"},
      {"five lines", "1\n2\n3\n4\nrelease 1.6\n", "1\n2\n3\n4\n" + kRelease2 + "\n"},
      {"two lines", "1\n2\n", "1\n2\n\n\n" + kRelease2},
      {"empty", "", "\n\n\n\n" + kRelease2},
  };
  for (const Case& c : cases) {
    write_file(at("documnts/qm_sids.txt"), c.before);
    chmod(at("documnts/qm_sids.txt").c_str(), 0644);
    const auto run = run_all();
    EXPECT_NE(run.out.find("\n./DOCUMENTS/qm_sids.txt\n"), std::string::npos) << c.name;
    EXPECT_EQ(read_file(document()), c.after) << c.name;
    EXPECT_EQ(test::mode_of(document()), 0600u) << c.name;
    EXPECT_FALSE(exists(at("xtempx.txt"))) << c.name;
    // Back to the release 1.6 name for the next case.
    ASSERT_EQ(std::rename(at("DOCUMENTS").c_str(), at("documnts").c_str()), 0);
  }
}

TEST_F(DocumentTest, ADocumentThatCannotBeReadWholeStaysAsItWas) {
  const std::string long_line = "1\n2\n3\n4\nrelease 1.6\n6\n" + std::string(1500, 'x') + "\n8\n";
  write_file(at("documnts/qm_sids.txt"), long_line);
  const auto run = run_all();
  EXPECT_EQ(read_file(document()), long_line);
  EXPECT_EQ(run.out.find("./DOCUMENTS/qm_sids.txt"), std::string::npos);
  EXPECT_FALSE(exists(at("xtempx.txt")));

  // A directory where the document should be: it opens, but reads fail.
  ASSERT_EQ(std::remove(document().c_str()), 0);
  test::make_dirs(document());
  run_all();
  EXPECT_EQ(test::list_tree(at("DOCUMENTS")), std::vector<std::string>{"qm_sids.txt/"});
  EXPECT_FALSE(exists(at("xtempx.txt")));
}

TEST_F(DocumentTest, NoTemporaryFileNoChange) {
  test::make_dirs(at("xtempx.txt"));  // the temporary file cannot be created
  run_all();
  EXPECT_EQ(read_file(document()), test::kReleaseDocument);
  EXPECT_EQ(test::list_tree(at("xtempx.txt")), std::vector<std::string>{});
}

TEST_F(DocumentTest, ARewriteThatCannotBePutBackKeepsTheTemporaryFile) {
  // The documents directory is a file system of one page, which holds the
  // document but not its rewritten copy (line 5 grows, one line is added).
  test::make_dirs(at("DOCUMENTS"));
  ASSERT_EQ(std::remove(at("documnts/qm_sids.txt").c_str()), 0);
  ASSERT_EQ(rmdir(at("documnts").c_str()), 0);
  test::ScopedTmpfs small(at("DOCUMENTS"), "size=4k");
  if (!small.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
  std::string rest;
  while (rest.size() < 4096 - 20) rest += std::string(75, 'x') + "\n";
  rest.resize(4096 - 20 - 1);
  rest += '\n';
  const std::string text = "1\n2\n3\n4\nrelease 1.6\n" + rest;
  ASSERT_EQ(text.size(), 4096u);
  write_file(document(), text);

  const auto run = run_all();
  EXPECT_TRUE(read_file(at("xtempx.txt")) == "1\n2\n3\n4\n" + kRelease2 + rest + "\n");
  EXPECT_FALSE(exists(document()));
  EXPECT_NE(run.out.find("\n./DOCUMENTS/qm_sids.txt\n\nThe document could not be written back to "
                         "./DOCUMENTS/qm_sids.txt; its text is kept in xtempx.txt\n"),
            std::string::npos)
      << run.out.substr(run.out.size() - 200);
}

}  // namespace
