// The release line of the collection's document: the rewrite rule on its
// own, and the rewrite at the end of a run through the real program.
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "run/run.h"
#include "support/collection.h"

namespace {

using test::exists;
using test::read_file;
using test::write_file;

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

class DocumentTest : public test::CollectionTest {
 protected:
  std::string document() const { return at("DOCUMENTS/qm_sids.txt"); }
  // Runs with consent to every question (line 5 may not name release 1.6).
  test::RunResult run_all() const { return run("y\ny\ny\ny\n"); }
  std::string log() const { return exists(at("tuvo_2.err")) ? read_file(at("tuvo_2.err")) : ""; }
};

TEST_F(DocumentTest, TheRewriteReplacesTheDocumentWhole) {
  const std::string before = "1\r\n2\r\n3\r\n4\r\nrelease 1.6\r\n" + std::string(3000, 'z') + "\r\nend";
  write_file(at("documnts/qm_sids.txt"), before);
  chmod(at("documnts/qm_sids.txt").c_str(), 0644);
  const auto run = run_all();
  EXPECT_NE(run.out.find("\n./DOCUMENTS/qm_sids.txt\n"), std::string::npos);
  const std::string after = replace_release_line(before);
  EXPECT_EQ(read_file(document()), after);
  EXPECT_EQ(test::mode_of(document()), 0600u);
  EXPECT_EQ(test::list_tree(at("DOCUMENTS")), std::vector<std::string>{"qm_sids.txt"});
  EXPECT_EQ(log(), "");
  // A second run finds line 5 rewritten already and leaves every byte.
  run_all();
  EXPECT_EQ(read_file(document()), after);
}

TEST_F(DocumentTest, ADocumentThatCannotBeRewrittenStaysAndIsCounted) {
  const std::string logged = "Unconverted Document? : ./DOCUMENTS/qm_sids.txt\n";
  {
    SCOPED_TRACE("the temporary name is taken by the user's own file");
    write_file(at("documnts/xtempx.txt"), "the user's notes");
    const auto run = run_all();
    EXPECT_EQ(read_file(document()), test::kReleaseDocument);
    EXPECT_EQ(read_file(at("DOCUMENTS/xtempx.txt")), "the user's notes");
    EXPECT_EQ(log(), logged);
    EXPECT_NE(run.out.find("\n1 errors detected.  Check the tuvo_2.err file for details.\n"), std::string::npos);
  }
  {
    SCOPED_TRACE("the temporary name is a link out of the collection");
    ASSERT_EQ(unlink(at("DOCUMENTS/xtempx.txt").c_str()), 0);
    write_file(tmp_.path() + "/outside.txt", "keep");
    ASSERT_EQ(symlink("../../outside.txt", at("DOCUMENTS/xtempx.txt").c_str()), 0);
    run_all();
    EXPECT_EQ(read_file(document()), test::kReleaseDocument);
    EXPECT_EQ(read_file(tmp_.path() + "/outside.txt"), "keep");
    EXPECT_EQ(log(), logged);
    ASSERT_EQ(unlink(at("DOCUMENTS/xtempx.txt").c_str()), 0);
  }
  {
    SCOPED_TRACE("the temporary file a killed run left, which holds the rewrite already");
    write_file(at("DOCUMENTS/xtempx.txt"), replace_release_line(test::kReleaseDocument));
    run_all();
    EXPECT_EQ(read_file(document()), replace_release_line(test::kReleaseDocument));
    EXPECT_FALSE(exists(at("DOCUMENTS/xtempx.txt")));
    EXPECT_EQ(log(), "");
    write_file(document(), test::kReleaseDocument);
  }
  {
    SCOPED_TRACE("not a regular file");
    ASSERT_EQ(unlink(document().c_str()), 0);
    test::make_dirs(document());
    run_all();
    EXPECT_EQ(test::list_tree(at("DOCUMENTS")), std::vector<std::string>{"qm_sids.txt/"});
    EXPECT_EQ(log(), logged);
    ASSERT_EQ(rmdir(document().c_str()), 0);
    ASSERT_EQ(mkfifo(document().c_str(), 0644), 0);
    run_all();
    EXPECT_EQ(log(), logged);
  }
}

TEST_F(DocumentTest, AFullDiskLeavesTheDocumentAsItWas) {
  // The documents directory is a file system of one page, which holds the
  // document but not a second copy of it.
  test::make_dirs(at("DOCUMENTS"));
  ASSERT_EQ(std::remove(at("documnts/qm_sids.txt").c_str()), 0);
  ASSERT_EQ(rmdir(at("documnts").c_str()), 0);
  test::ScopedTmpfs small(at("DOCUMENTS"), "size=4k");
  if (!small.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
  std::string text = "1\n2\n3\n4\nrelease 1.6\n";
  while (text.size() < 4000) text += std::string(75, 'x') + "\n";
  write_file(document(), text);

  const auto run = run_all();
  EXPECT_EQ(read_file(document()), text);
  EXPECT_EQ(test::list_tree(at("DOCUMENTS")), std::vector<std::string>{"qm_sids.txt"});
  EXPECT_EQ(log(), "Unconverted Document? : ./DOCUMENTS/qm_sids.txt\n");
  EXPECT_EQ(run.out.find("./DOCUMENTS/qm_sids.txt\n"), std::string::npos);
}

TEST_F(DocumentTest, ADirectoryThatIsNotWritableLeavesTheDocument) {
  if (access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "setpriv is missing; cannot run as another user";
  // The collection belongs to nobody, who runs the program, but the
  // documents directory (already under its new name) belongs to root.
  ASSERT_EQ(std::rename(at("documnts").c_str(), at("DOCUMENTS").c_str()), 0);
  ASSERT_EQ(chmod(tmp_.path().c_str(), 0755), 0);
  ASSERT_EQ(std::system(("chown -R 65534:65534 '" + root_ + "' && chown -R 0:0 '" + root_ + "/DOCUMENTS'").c_str()), 0);
  ASSERT_EQ(chmod(document().c_str(), 0644), 0);
  test::RunOptions as_nobody;
  as_nobody.unprivileged = true;
  const auto run = this->run("y\ny\n", as_nobody);
  EXPECT_EQ(read_file(document()), test::kReleaseDocument);
  EXPECT_EQ(log(), "Unconverted Document? : ./DOCUMENTS/qm_sids.txt\n");
  EXPECT_EQ(test::list_tree(at("DOCUMENTS")), std::vector<std::string>{"qm_sids.txt"});
}

TEST_F(DocumentTest, AMissingDocumentIsNoError) {
  ASSERT_EQ(std::remove(at("documnts/qm_sids.txt").c_str()), 0);
  const auto run = run_all();
  EXPECT_NE(run.out.find(test::kSuccess), std::string::npos);
  EXPECT_EQ(log(), "");
}

}  // namespace
