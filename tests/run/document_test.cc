// The release line of the collection's document: the rewrite at the end of
// a run, through the real program.
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "rules/line_five.h"
#include "support/collection.h"

namespace {

using test::exists;
using test::read_file;
using test::write_file;

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
