// The preview through the real program: it changes nothing, and its plan is
// what the run that follows does.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/checks.h"
#include "support/collection.h"

namespace {

using nlohmann::json;
using test::exists;
using test::read_file;
using test::write_file;
using test::write_tune;
using test::lines_of;
using test::steps_of;

const char kAnswers[] = "y\ny\ny\ny\ny\n";

class PreviewTest : public test::CollectionTest {
 protected:
  test::RunResult preview(const test::RunOptions& base = {}) const {
    test::RunOptions options = base;
    options.args = {"--preview", "--json"};
    return run("", options);
  }

  void expect_plan_is_what_the_run_does(const test::RunOptions& options = {}) const {
    test::expect_plan_is_what_the_run_does(root_, options);
  }
};

TEST_F(PreviewTest, GeneratedCollectionsWithDuplicates) {
  for (unsigned seed : {1u, 2u}) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::filesystem::remove_all(root_);
    test::make_collection(root_, 400, seed, /*duplicates_percent=*/20);
    expect_plan_is_what_the_run_does();
    SCOPED_TRACE("the same collection, converted already");
    expect_plan_is_what_the_run_does();
  }
}

// After a run stopped while it named a batch, the next run finishes the
// tunes it left in hand from the record; the preview foresees that.
TEST_F(PreviewTest, TunesAStoppedRunLeftInHandAreFinished) {
  test::make_collection(root_, 300, 3, /*duplicates_percent=*/20);
  run(kAnswers);
  const auto in_hand = test::leave_last_batch_in_hand(root_);
  ASSERT_GT(in_hand.size(), 1u);
  const std::string plan = preview().out;
  for (const auto& [from, to] : in_hand) {
    EXPECT_NE(plan.find(json({{"action", "convert"}, {"from", from}, {"to", to}}).dump()), std::string::npos) << from;
  }
  expect_plan_is_what_the_run_does();
}

TEST_F(PreviewTest, FixturesForEachHardCase) {
  struct Case {
    const char* name;
    std::function<void()> lay_out;
  } cases[] = {
      {"names taken by files and directories, and the alternate destination",
       [&] {
         write_tune(at("games/a-f/TAKEN.DAT"), "Taken");
         write_file(at("games/a-f/Taken.sid"), "the user's own file");
         write_tune(at("games/a-f/INDIR.DAT"), "Into Dir");
         test::make_dirs(at("games/a-f/Into_Dir.sid"));  // receives INDIR.DAT
         write_tune(at("games/a-f/FULL.DAT"), "Full Dir");
         write_file(at("games/a-f/Full_Dir.sid/FULL.DAT"), "taken inside too");
         write_tune(at("games/a-f/SAME1.DAT"), "Same");
         write_tune(at("games/a-f/SAME2.DAT"), "Same");
         test::make_dirs(at("DOCUMENTS"));  // documnts cannot move
       }},
      {"missing old directories",
       [&] {
         write_tune(at("PELKORA/PEL.DAT"), "Pel");
         write_tune(at("possgett/ROCK.DAT"), "Rock");
       }},
      {"tunes beyond the path buffers",
       [&] {
         std::string deep = ".";
         for (char c : {'a', 'b', 'c', 'd'}) deep += "/" + std::string(250, c);
         write_tune(at(deep + "/" + std::string(30, 'T') + ".DAT"), "Far Away");
         write_tune(at(deep + "/" + std::string(20, 'e') + "/DEEPER.DAT"), "Further");
         const std::string mid = "./" + std::string(250, 'm') + "/" + std::string(250, 'n') + "/o";
         write_tune(at(mid + "/MIDDLE.DAT"), "Middle");
       }},
      {"link cycles, and a directory reached by two paths",
       [&] {
         write_tune(at("elsewhere/LINKED.DAT"), "Linked");
         ASSERT_EQ(symlink("elsewhere", at("link").c_str()), 0);
         write_tune(at("loops/LOOPED.DAT"), "Looped");
         ASSERT_EQ(symlink("..", at("loops/up").c_str()), 0);
         ASSERT_EQ(symlink(".", at("loops/here").c_str()), 0);
       }},
      {"names that are UTF-8 and names that are not",
       [&] {
         write_tune(at("mystuff/\xc3\xa9.DAT"), "Utf Eight");
         write_tune(at("mystuff/\xe9.DAT"), "Latin One");
         write_tune(at("mystuff/\xe9\xe9.DAT"), "Latin One");  // refused, with its bytes in the log
       }},
      {"a document that cannot be rewritten",
       [&] { write_file(at("documnts/xtempx.txt"), "the user's notes"); }},
      {"names that read as paths, and links out of the collection",
       [&] {
         const std::string beside = tmp_.path() + "/";
         write_tune(beside + "backup/GAMES/A-F/KEEP.DAT", "Backup Tune");
         write_tune(beside + "elsewhere/OTHER.DAT", "Other Tune");
         write_file(beside + "elsewhere/docs/QM_SIDS.TXT", test::kReleaseDocument);
         test::make_dirs(at("mystuff/..\\.."));
         write_tune(at("mystuff/..\\..\\elsewhere\\OTHER.DAT"), "Crafted");
         write_tune(at("mystuff/TUNE\\ONE.DAT"), "Tune One");
         write_tune(at("X\\Y/IN.DAT"), "In XY");
         ASSERT_EQ(symlink("../../elsewhere", at("mystuff/out").c_str()), 0);
         ASSERT_EQ(symlink("../backup/GAMES", at("games").c_str()), 0);
         ASSERT_EQ(symlink("../elsewhere/docs", at("DOCUMENTS").c_str()), 0);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(root_);
    write_file(at("documnts/qm_sids.txt"), test::kReleaseDocument);
    test::make_dirs(at("PELKORA"));
    c.lay_out();
    expect_plan_is_what_the_run_does();
  }
}

// Two tunes that link to each other's directory: the one the walk reaches
// second is a link to a tune converted (and so removed) before it.
TEST_F(PreviewTest, ALinkToATuneConvertedBeforeIt) {
  write_tune(at("one/FOO.DAT"), "Foo");
  write_tune(at("two/BAR.DAT"), "Bar");
  ASSERT_EQ(symlink("../two/BAR.DAT", at("one/LINKBAR.DAT").c_str()), 0);
  ASSERT_EQ(symlink("../one/FOO.DAT", at("two/LINKFOO.DAT").c_str()), 0);
  std::vector<std::string> notes;
  for (const json& step : steps_of(preview().out)) {
    if (step["action"] == "note") notes.push_back(step["reason"]);
  }
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_TRUE(notes[0].starts_with("./two/LINKFOO.DAT is a link whose target ./one/FOO.DAT the run converted") ||
              notes[0].starts_with("./one/LINKBAR.DAT is a link whose target ./two/BAR.DAT the run converted"))
      << notes[0];
  expect_plan_is_what_the_run_does();
}

// A tune copied into the directory that carries its new name stands in
// that directory's listing where the disk puts it; the preview says so for
// each directory the walk lists after such a copy. Eight pairs, so that the
// walk meets a tune before its directory in at least one of them.
TEST_F(PreviewTest, SaysWhereTheDiskOrdersTunesTheRunCopiedIntoADirectory) {
  std::set<std::string> pairs;
  for (char i = '1'; i <= '8'; ++i) {
    const std::string dir = std::string("alt") + i;
    write_tune(at(dir + "/TUNE.DAT"), std::string("Deep ") + i);
    test::make_dirs(at(dir + "/Deep_" + i + ".sid"));
    pairs.insert("./" + dir + "/Deep_" + i + ".sid");
  }
  int noted = 0;
  for (const json& step : steps_of(preview().out)) {
    if (step["action"] != "note") continue;
    ++noted;
    EXPECT_TRUE(pairs.count(step.value("directory", ""))) << step;
    EXPECT_NE(step["reason"].get<std::string>().find("cannot be foreseen"), std::string::npos);
  }
  EXPECT_GT(noted, 0);
  expect_plan_is_what_the_run_does();
}

TEST_F(PreviewTest, UnreadableTunesAndDirectories) {
  test::RunOptions as_nobody;
  if (!lay_out_unreadable(as_nobody)) GTEST_SKIP() << "setpriv is missing; cannot run as another user";
  expect_plan_is_what_the_run_does(as_nobody);
  chmod(at("locked").c_str(), 0755);
}

TEST_F(PreviewTest, ChangesNothingAtAll) {
  // Where it may, on a file system that notes every read in the access
  // times.
  test::make_dirs(root_);
  test::ScopedTmpfs strict(root_, "size=64m", MS_STRICTATIME);
  if (!strict.mounted()) GTEST_LOG_(INFO) << "cannot mount a tmpfs here: access times are checked as mounted";
  test::make_collection(root_, 200, 5, 20);
  test::make_dirs(at("PELKORA"));
  write_file(at("documnts/xtempx.txt"), "the user's notes");
  const std::string before = test::snapshot(root_, /*with_access_times=*/true);
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--preview"}, std::vector<std::string>{"--preview", "--json"}}) {
    test::RunOptions options;
    options.args = args;
    const auto run = this->run("", options);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(test::snapshot(root_, true), before) << args.back();
  }
  EXPECT_FALSE(exists(at("tuvo_2.err")));
  // The undo's preview too, the record's access time included.
  ASSERT_EQ(run(kAnswers).status, 0);
  const std::string converted = test::snapshot(root_, true);
  test::RunOptions undo;
  undo.args = {"--undo", "--preview"};
  EXPECT_EQ(run("", undo).status, 0);
  EXPECT_EQ(test::snapshot(root_, true), converted);
}

TEST_F(PreviewTest, TellsWhatTheRunWouldAskAboutAndWhatIsNotPortable) {
  ASSERT_EQ(rmdir(at("PELKORA").c_str()), 0);
  write_file(at("documnts/qm_sids.txt"), "1\n2\n3\n4\nrelease 1.5\n");
  write_tune(at("games/a-f/LOWER.DAT"), "Night Harbour");
  write_tune(at("games/a-f/UPPER.DAT"), "NIGHT HARBOUR");
  write_tune(at("games/a-f/DIRNAME.DAT"), "Sub Dir");
  test::make_dirs(at("games/a-f/SUB_DIR.sid"));
  // é in UTF-8 and é in Latin-1 (not UTF-8): two names, two paths.
  write_tune(at("mystuff/\xc3\xa9.DAT"), "Utf Eight");
  write_tune(at("mystuff/\xe9.DAT"), "Latin One");
  test::RunOptions text;
  text.args = {"--preview"};
  const auto shown = run("", text);
  EXPECT_EQ(shown.status, 0);
  EXPECT_TRUE(shown.out.starts_with("Preview: what tuvo_2 would do in this collection. Nothing is changed.\n"));
  EXPECT_TRUE(shown.out.ends_with("Nothing was changed.\n"));
  const auto json_run = preview();
  std::vector<std::string> notes;
  for (const json& step : steps_of(json_run.out)) {
    if (step["action"] == "note") notes.push_back(step["reason"]);
  }
  ASSERT_EQ(notes.size(), 4u) << json_run.out;
  EXPECT_NE(notes[0].find("PELKORA"), std::string::npos);
  EXPECT_NE(notes[1].find("release 1.6"), std::string::npos);
  const std::string cases = notes[2] + notes[3];
  // The two names in the order the directory lists their tunes.
  EXPECT_TRUE(cases.find("./GAMES/A-F/Night_Harbour.sid and ./GAMES/A-F/NIGHT_HARBOUR.sid differ only in case") !=
                  std::string::npos ||
              cases.find("./GAMES/A-F/NIGHT_HARBOUR.sid and ./GAMES/A-F/Night_Harbour.sid differ only in case") !=
                  std::string::npos)
      << cases;
  EXPECT_NE(cases.find("./GAMES/A-F/Sub_Dir.sid differs only in case from the directory ./GAMES/A-F/SUB_DIR.sid"),
            std::string::npos)
      << cases;
  // A path that is UTF-8 is its text; one that is not shows U+FFFD for
  // each byte that is not and carries its bytes in hex.
  std::map<std::string, json> converts;
  for (const json& step : steps_of(json_run.out)) {
    if (step["action"] == "convert") converts[step["to"]] = step;
  }
  EXPECT_EQ(converts["./mystuff/Utf_Eight.sid"], json::parse(R"({"action":"convert","from":"./mystuff/\u00e9.DAT","to":"./mystuff/Utf_Eight.sid"})"));
  const json& latin = converts["./mystuff/Latin_One.sid"];
  EXPECT_EQ(latin["from"], "./mystuff/\xef\xbf\xbd.DAT");
  EXPECT_EQ(test::bytes_of(latin, "from"), "./mystuff/\xe9.DAT");
  EXPECT_FALSE(latin.contains("to_hex"));
}

TEST_F(PreviewTest, WaitsForNoRunButSaysWhenOneHoldsTheCollection) {
  const int held = open(root_.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_EQ(flock(held, LOCK_EX), 0);
  const auto run = preview();
  close(held);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "tuvo_2: a run is converting this collection; preview it when it has finished\n");
}

}  // namespace
