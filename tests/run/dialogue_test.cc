// The dialogue through the real program: banner, questions, preflight
// warnings, and the summary of a conversion with nothing to do.
#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "support/collection.h"

namespace {

using test::CollectionTest;
using test::kBanner;
using test::kFirstQuestion;
using test::kSuccess;
using test::with_time_masked;

const std::string kDeclined = std::string(kBanner) + kFirstQuestion + "\n\n";
const char kQuestion[] = "Do you wish to continue? > ";

const char kMainDirectoryWarning[] =
    "TUVO (when unzipped) creates a main directory named C64MUSIC.  This directory\n"
    "was not found one level higher from the current location of where the TUVO_2\n"
    "program was executed.  More than likely, you are executing the program from the\n"
    "wrong path.  However, the name of this directory can be changed to whatever\n"
    "name you desire without harming this or the UPDATE program.  If you have\n"
    "renamed the main directory, then it is recommended that you continue.  If you\n"
    "have not renamed the main dir, it is recommended that you re-read the\n"
    "instructions at the start of this program.\n";

const char kMarkerWarning[] =
    "\nPelkora directory not detected!\n"
    "Perhaps you did not follow the directions stated at the start of this program?\n"
    "The TUVO_2 program must be run under the root directory of of TUVO.  Errors\n"
    "will likely occur if you continue.\n";

const char kReleaseWarning[] =
    "\nIt appears that you do not have TUVO 1.6.  In order to gaurentee successful\n"
    " updates in the future, it is highly recommended that you quit this program\n"
    " and update your collection.  Only then should you proceed with TUVO_2.\n";

const char kDocumentWarning[] =
    "\nThe \"/documnts/qm_sids.txt\" file was not found.  TUVO_2 requires TUVO version\n"
    "1.6 in order gaurentee successful updates in the future.  If you are confident\n"
    "that you have TUVO 1.6 AND you have (for whatever reason) removed the\n"
    "aforementioned text file, then it is recommended that you proceed.  If this is\n"
    "not the case, it is recommended that you exit now and update your collection\n"
    "before continuing.\n";

const std::string kEmptyConversion = "\nConversion time = T seconds\n" + std::string(kSuccess);
// What a run prints for the documents directory, the document and the marker
// directory of the prepared collection.
const std::string kMoveDocuments = test::mv_line("./documnts", "DOCUMENTS");
const std::string kMoveMarker = test::mv_line("./PELKORA", "Pelkora_") + test::mv_line("./Pelkora_", "Pelkora");
const std::string kDocumentWritten = "./DOCUMENTS/qm_sids.txt\n";

class DialogueTest : public CollectionTest {
 protected:
  // Moves the collection to a main directory of another name.
  void rename_main_directory() {
    const std::string other = tmp_.path() + "/mysids";
    ASSERT_EQ(std::rename(root_.c_str(), other.c_str()), 0);
    root_ = other;
  }
};

TEST_F(DialogueTest, AnythingButYAtTheFirstQuestionEndsTheRun) {
  for (const char* input : {"n\n", "N\n", "x\n", "", "   \n\n"}) {
    const auto before = tree();
    const auto run = this->run(input);
    EXPECT_EQ(run.out, kDeclined) << "input: " << input;
    EXPECT_EQ(run.status, 0) << "input: " << input;
    EXPECT_EQ(tree(), before) << "input: " << input;
  }
}

TEST_F(DialogueTest, EachDeclinedWarningEndsTheRunUntouched) {
  const std::string head = std::string(kBanner) + kFirstQuestion + "\n\n";
  {
    SCOPED_TRACE("main directory not found");
    rename_main_directory();
    const auto run = this->run("y\nn\n");
    EXPECT_EQ(run.out, head + kMainDirectoryWarning + kQuestion + "\n\n");
    EXPECT_EQ(run.status, 0);
  }
  {
    SCOPED_TRACE("marker directory not found");
    rename_main_directory();
    ASSERT_EQ(rmdir(at("PELKORA").c_str()), 0);
    const auto run = this->run("y\ny\nn\n");
    EXPECT_EQ(run.out, head + kMainDirectoryWarning + kQuestion + "\n\n" + kMarkerWarning + kQuestion);
    EXPECT_EQ(run.status, 0);
  }
  {
    SCOPED_TRACE("document not found");
    test::make_dirs(at("PELKORA"));
    ASSERT_EQ(std::remove(at("documnts/qm_sids.txt").c_str()), 0);
    const auto run = this->run("y\ny\nn\n");
    EXPECT_EQ(run.out, head + kMainDirectoryWarning + kQuestion + "\n\n" + kDocumentWarning + kQuestion);
    EXPECT_EQ(run.status, 0);
  }
  {
    SCOPED_TRACE("release 1.6 not on line 5");
    test::write_file(at("documnts/qm_sids.txt"), "a\nb\nc\nrelease 1.6\nrelease 1.5\n");
    const auto run = this->run("y\nY\nN\n");
    EXPECT_EQ(run.out, head + kMainDirectoryWarning + kQuestion + "\n\n" + kReleaseWarning + kQuestion);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(test::read_file(at("documnts/qm_sids.txt")), "a\nb\nc\nrelease 1.6\nrelease 1.5\n");
  }
}

TEST_F(DialogueTest, ReleaseCheckLooksForOneDotSixAnywhereOnLineFive) {
  struct Case {
    const char* document;
    bool passes;
  } cases[] = {
      {"1\n2\n3\n4\n                  release 1.6\n6\n", true},
      {"1\n2\n3\n4\nrelease 11.6\n", true},  // containment, not a version match
      {"1\n2\n3\n4\n1.61", true},
      {"1\r\n2\r\n3\r\n4\r\nrelease 1.6\r\n", true},
      {"1\n2\n3\nrelease 1.6\n5\n", false},  // on line 4 only
      {"1\n2\n3\n4\n", false},               // line 5 reads as empty
      {"", false},
  };
  for (const Case& c : cases) {
    test::write_file(at("documnts/qm_sids.txt"), c.document);
    const auto run = this->run("y\nn\n");
    const std::string want = std::string(kBanner) + kFirstQuestion + "\n\n" +
                             (c.passes ? "" : std::string(kReleaseWarning) + kQuestion);
    if (c.passes) {
      EXPECT_NE(run.out.find("Conversion time"), std::string::npos) << c.document;
    } else {
      EXPECT_EQ(run.out, want) << c.document;
    }
  }
}

TEST_F(DialogueTest, ARunThatAsksFourQuestions) {
  rename_main_directory();
  ASSERT_EQ(rmdir(at("PELKORA").c_str()), 0);
  ASSERT_EQ(std::remove(at("documnts/qm_sids.txt").c_str()), 0);
  const auto run = this->run("y\ny\ny\ny\n");
  EXPECT_EQ(with_time_masked(run.out),
            std::string(kBanner) + kFirstQuestion + "\n\n" + kMainDirectoryWarning + kQuestion +
                "\n\n" + kMarkerWarning + kQuestion + kDocumentWarning + kQuestion + kMoveDocuments +
                kEmptyConversion);
  EXPECT_EQ(run.status, 0);
  EXPECT_FALSE(test::exists(at("tuvo_2.err")));
}

TEST_F(DialogueTest, EndOfInputAfterTheFirstQuestionConsents) {
  rename_main_directory();
  ASSERT_EQ(rmdir(at("PELKORA").c_str()), 0);
  test::write_file(at("documnts/qm_sids.txt"), "release 1.5\n");
  const auto run = this->run("y\n");
  EXPECT_EQ(with_time_masked(run.out),
            std::string(kBanner) + kFirstQuestion + "\n\n" + kMainDirectoryWarning + kQuestion +
                "\n\n" + kMarkerWarning + kQuestion + kReleaseWarning + kQuestion + kMoveDocuments +
                kDocumentWritten + kEmptyConversion);
  EXPECT_EQ(run.status, 0);
}

TEST_F(DialogueTest, OneAnswerPerLine) {
  // "yes" answers y to the first question; the rest of its line is dropped,
  // so the next question waits for the next line, whose n declines.
  rename_main_directory();
  ASSERT_EQ(rmdir(at("PELKORA").c_str()), 0);
  for (const char* input : {"yes\nn\n", "y s\nno\ny\n", "  Yup \t\n\nnope\n"}) {
    const auto before = tree();
    const auto run = this->run(input);
    EXPECT_EQ(run.out, std::string(kBanner) + kFirstQuestion + "\n\n" + kMainDirectoryWarning + kQuestion + "\n\n")
        << input;
    EXPECT_EQ(run.status, 0) << input;
    EXPECT_EQ(tree(), before) << input;
  }
}

TEST_F(DialogueTest, ConsentInAPreparedCollectionRunsToSuccess) {
  const auto run = this->run("Y\n");
  EXPECT_EQ(with_time_masked(run.out), std::string(kBanner) + kFirstQuestion + "\n\n" + kMoveDocuments +
                                           kMoveMarker + kDocumentWritten + kEmptyConversion);
  EXPECT_EQ(run.status, 0);
  EXPECT_FALSE(test::exists(at("tuvo_2.err")));
}

}  // namespace
