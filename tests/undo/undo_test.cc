// tuvo_2 --undo through the real program: a conversion and its undo give
// back the collection exactly, whatever happened in between.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "fsutil/journal.h"
#include "support/checks.h"
#include "support/collection.h"
#include "record/record_format.h"

namespace {

using test::exists;
using test::read_file;
using test::write_file;

namespace fs = std::filesystem;

using test::differences;
using test::tree_state;

class UndoTest : public test::CollectionTest {
 protected:
  // A generated collection whose files carry modes and times of their own.
  void lay_out(int tunes, unsigned seed) {
    fs::remove_all(root_);
    test::make_collection(root_, tunes, seed, /*duplicates_percent=*/20);
    int n = 0;
    for (auto it = fs::recursive_directory_iterator(root_); it != fs::recursive_directory_iterator(); ++it) {
      if (!it->is_regular_file()) continue;
      const timespec times[2] = {{0, UTIME_OMIT}, {800000000 + 3600 * n, 1000 * n}};
      ASSERT_EQ(utimensat(AT_FDCWD, it->path().c_str(), times, 0), 0);
      ASSERT_EQ(chmod(it->path().c_str(), n % 3 == 0 ? 0640 : 0644), 0);
      ++n;
    }
  }
  // Converts the collection of |tunes| and |seed|, undoes it, and returns
  // the line of the undo's output where it starts moving directories back.
  int first_directory_line(int tunes, unsigned seed) {
    lay_out(tunes, seed);
    run("y\n");
    std::istringstream out(undo().out);
    int n = 0;
    for (std::string line; std::getline(out, line);) {
      ++n;
      if (line.starts_with("restored directory ")) return n;
    }
    return 0;
  }
  // Lays out and converts the collection of |tunes| and |seed|, then kills
  // an undo once it has printed |lines| lines. Returns the collection's
  // state before the conversion.
  std::map<std::string, std::string> convert_then_kill_undo(int tunes, unsigned seed, int lines) {
    lay_out(tunes, seed);
    auto before = tree_state(root_);
    run("y\n");
    test::RunOptions kill;
    kill.args = {"--undo"};
    kill.signal_after_lines = lines;
    // On a busy machine the undo may reach its end before the kill does.
    const auto killed = run("y\n", kill);
    EXPECT_TRUE(killed.signal == SIGKILL || killed.status == 0) << killed.status << ' ' << killed.signal;
    return before;
  }
  test::RunResult undo(const std::string& answer = "y\n") const {
    test::RunOptions options;
    options.args = {"--undo"};
    return run(answer, options);
  }
  void expect_undo_gives_back(const std::map<std::string, std::string>& before) {
    // An undo killed only after it removed its record had finished: the
    // collection must be whole already.
    if (!exists(at("tuvo_2.undo"))) {
      const auto after = tree_state(root_);
      EXPECT_TRUE(after == before) << differences(before, after);
      return;
    }
    const auto undone = undo();
    EXPECT_EQ(undone.status, 0) << undone.out.substr(undone.out.size() > 800 ? undone.out.size() - 800 : 0) << undone.err;
    const auto after = tree_state(root_);
    EXPECT_TRUE(after == before) << differences(before, after);
  }
};

TEST_F(UndoTest, ARunAndItsUndoGiveBackTheCollection) {
  lay_out(300, 1);
  const auto before = tree_state(root_);
  const auto converted = run("y\n");
  EXPECT_EQ(converted.status, 0);
  ASSERT_TRUE(exists(at("tuvo_2.undo")));
  EXPECT_EQ(test::mode_of(at("tuvo_2.undo")), 0600u);
  // Every line of the record is one JSON object.
  std::istringstream record(read_file(at("tuvo_2.undo")));
  for (std::string line; std::getline(record, line);) {
    EXPECT_TRUE(nlohmann::json::parse(line, nullptr, false).is_object()) << line;
  }
  // The preview of the undo changes nothing.
  const std::string snapshot = test::snapshot(root_);
  test::RunOptions preview;
  preview.args = {"--undo", "--preview"};
  const auto planned = run("", preview);
  EXPECT_EQ(planned.status, 0);
  EXPECT_TRUE(planned.out.ends_with("and leave 0. Nothing was changed.\n")) << planned.out.substr(planned.out.size() - 200);
  EXPECT_EQ(test::snapshot(root_), snapshot);
  // Declining changes nothing either.
  EXPECT_EQ(undo("n\n").status, 0);
  EXPECT_EQ(test::snapshot(root_), snapshot);

  const auto undone = undo();
  EXPECT_EQ(undone.status, 0);
  EXPECT_NE(undone.out.find("Do you wish to continue? (Y/N) > "), std::string::npos);
  EXPECT_NE(undone.out.find("the collection is as it was"), std::string::npos);
  EXPECT_NE(undone.out.find("restored line 5 of ./DOCUMENTS/qm_sids.txt\n"), std::string::npos);
  EXPECT_NE(undone.out.find("restored directory ./games (from ./GAMES_)\n"), std::string::npos);
  const auto after = tree_state(root_);
  EXPECT_TRUE(after == before) << differences(before, after);

  // Nothing is left to undo.
  const auto again = undo();
  EXPECT_EQ(again.status, 2);
  EXPECT_EQ(again.err, "tuvo_2: there is no tuvo_2.undo here, so there is nothing to undo\n");
}

TEST_F(UndoTest, KilledAtRandomMomentsTheUndoStillGivesBackTheCollection) {
  lay_out(1000, 2);
  // A large document, so that a kill can land while it is rewritten.
  std::string document = test::kReleaseDocument;
  while (document.size() < (4u << 20)) document += std::string(99, 'd') + "\n";
  write_file(at("documnts/qm_sids.txt"), document);
  const std::string master = tmp_.path() + "/master";
  ASSERT_EQ(std::system(("cp -a '" + root_ + "' '" + master + "'").c_str()), 0);
  const auto before = tree_state(root_);

  // Where the moves, the tunes and the document come in the output.
  int first_move = 0, first_tune = 0, last_tune = 0, n = 0;
  {
    std::istringstream out(run("y\n").out);
    for (std::string line; std::getline(out, line);) {
      ++n;
      if (line.starts_with("renamed '") && first_move == 0) first_move = n;
      if (line.ends_with(".sid")) {
        if (first_tune == 0) first_tune = n;
        last_tune = n;
      }
    }
  }
  ASSERT_GT(last_tune, first_tune);
  std::mt19937 random(42);
  const auto between = [&](int from, int to) { return std::uniform_int_distribution<int>(from, to)(random); };
  for (int lines : {between(first_move, first_tune - 1), between(first_tune, last_tune), between(first_tune, last_tune),
                    last_tune}) {
    SCOPED_TRACE("killed after " + std::to_string(lines) + " lines");
    fs::remove_all(root_);
    // cp -a keeps the files' modes and times.
    ASSERT_EQ(std::system(("cp -a '" + master + "' '" + root_ + "'").c_str()), 0);
    test::RunOptions kill;
    kill.signal_after_lines = lines;
    run("y\n", kill);
    expect_undo_gives_back(before);
  }
}

TEST_F(UndoTest, AnInterruptedRunARerunAndTheUndo) {
  lay_out(300, 3);
  const auto before = tree_state(root_);
  run("y\n");
  const auto batch = test::leave_last_batch_in_hand(root_);
  ASSERT_FALSE(batch.empty());
  // The rerun finishes those tunes instead of logging them.
  const auto rerun = run("y\ny\n");
  const std::string log = exists(at("tuvo_2.err")) ? read_file(at("tuvo_2.err")) : "";
  for (const auto& [from, to] : batch) {
    EXPECT_FALSE(exists(at(from))) << from;
    EXPECT_NE(rerun.out.find("\n" + to + "\n"), std::string::npos) << to;
    EXPECT_EQ(log.find(from), std::string::npos) << log;
  }
  expect_undo_gives_back(before);

  SCOPED_TRACE("a run killed part-way, then a rerun, then the undo");
  test::RunOptions kill;
  kill.signal_after_lines = 300;
  run("y\n", kill);
  run("y\ny\n");
  expect_undo_gives_back(before);
}

TEST_F(UndoTest, AnInterruptedUndoFinishesWhenRunAgain) {
  const int first_directory = first_directory_line(300, 6);
  ASSERT_GT(first_directory, 150);
  // Killed among the tunes, and among the directories, whose later moves
  // go through paths the earlier ones changed.
  for (int lines : {150, first_directory + 40}) {
    SCOPED_TRACE("killed after " + std::to_string(lines) + " lines");
    expect_undo_gives_back(convert_then_kill_undo(300, 6, lines));
  }
}

TEST_F(UndoTest, ALineAKillCutShortCountsForNothing) {
  lay_out(100, 4);
  const auto before = tree_state(root_);
  run("y\n");
  // A run killed while it wrote an entry leaves the line without its end.
  const std::string torn = R"({"batch":2}
{"tune":{"from":"./demos/GONE.DAT","to":"./demos/Go)";
  write_file(at("tuvo_2.undo"), read_file(at("tuvo_2.undo")) + torn);
  // The next run that changes something writes after the last whole line.
  test::write_tune(at("DEMOS/LATE.DAT"), "Late");
  run("y\ny\n");
  EXPECT_TRUE(exists(at("DEMOS/Late.sid")));
  const std::string record = read_file(at("tuvo_2.undo"));
  EXPECT_EQ(record.find(torn), std::string::npos);
  std::istringstream lines(record);
  for (std::string line; std::getline(lines, line);) {
    EXPECT_TRUE(nlohmann::json::parse(line, nullptr, false).is_object()) << line;
  }
  // And an undo reads past such a line (the new tune goes back to where it
  // was, in the directory that goes back to its old name).
  write_file(at("tuvo_2.undo"), record + torn);
  const auto undone = undo();
  EXPECT_EQ(undone.status, 0) << undone.out.substr(undone.out.size() > 400 ? undone.out.size() - 400 : 0);
  EXPECT_EQ(read_file(at("demos/LATE.DAT")), test::psid_file("Late"));
  fs::remove(at("demos/LATE.DAT"));
  EXPECT_TRUE(tree_state(root_) == before);
}

TEST_F(UndoTest, TheDocumentComesBackByteForByte) {
  using namespace std::string_literals;
  const std::string cases[] = {
      "1\r\n2\r\n3\r\n4\r\nrelease 1.6\r\n6\r\n",
      "1\n2\n3\n4\nrelease 1.6",       // line 5 ends the file, unended
      "1\n2\n3\n4\nrelease 1.6\n6",   // no final newline
      "1\n2\n",                        // fewer than five lines
      "",
      "\0\n\xff\n3\n4\nrel 1.6\0\r\n\0"s,
  };
  for (const std::string& document : cases) {
    SCOPED_TRACE(testing::PrintToString(document));
    fs::remove_all(root_);
    write_file(at("documnts/qm_sids.txt"), document);
    test::make_dirs(at("PELKORA"));
    ASSERT_EQ(chmod(at("documnts/qm_sids.txt").c_str(), 0604), 0);
    const auto before = tree_state(root_);
    run("y\ny\n");
    ASSERT_NE(read_file(at("DOCUMENTS/qm_sids.txt")), document);
    expect_undo_gives_back(before);
  }
}

TEST_F(UndoTest, ARecordThatCannotBeReadChangesNothing) {
  lay_out(50, 7);
  run("y\n");
  const std::string record = read_file(at("tuvo_2.undo"));
  ASSERT_NE(record.find("\"line5\":\""), std::string::npos);
  // Lines added to the record, and fields of its own lines given the wrong
  // type (each of which once crashed the undo).
  std::vector<std::pair<std::string, std::string>> damaged;  // record, the line refused
  for (const std::string& bad : std::vector<std::string>{"{\"tune\":{\"from\":\"./A.DAT\",\"to\":\"./A.sid\",\"mode\":\"rw\"}}",
                                "{\"move\":{\"from\":\"./x\"}}", "not JSON", "{\"unknown\":{}}",
                                std::string(100000, 'x')}) {
    damaged.emplace_back(record + bad + "\n", bad.size() > 200 ? bad.substr(0, 200) + "..." : bad);
  }
  const std::regex line5("\"line5\":\"[^\"]*\"");
  for (const char* wrong : {"\"line5\":5", "\"line5\":null", "\"original\":[1]"}) {
    const std::string changed = std::regex_replace(record, line5, wrong);
    const std::size_t at = changed.find(wrong);
    ASSERT_NE(at, std::string::npos) << wrong;
    const std::size_t start = changed.rfind('\n', at) + 1;
    damaged.emplace_back(changed, changed.substr(start, changed.find('\n', at) - start));
  }
  for (const auto& [bad_record, bad] : damaged) {
    write_file(at("tuvo_2.undo"), bad_record);
    const std::string snapshot = test::snapshot(root_);
    for (const bool preview : {false, true}) {
      test::RunOptions options;
      options.args = preview ? std::vector<std::string>{"--undo", "--preview"} : std::vector<std::string>{"--undo"};
      const auto undone = run("y\n", options);
      EXPECT_EQ(undone.status, 1) << bad;
      EXPECT_EQ(undone.err, "tuvo_2: tuvo_2.undo holds a line that cannot be read, so nothing was undone: " + bad + "\n");
      EXPECT_EQ(test::snapshot(root_), snapshot) << bad;
    }
  }
}

// A record that lost lines at its end, as after a power failure or a cut,
// cannot be told from a run that was killed: the undo restores what it
// holds and says that a run never ended. One with a line repeated or lost
// inside is damaged: the undo says so, restores what the files allow, and
// keeps the record. Only a record whose every run ended gives "as it was".
TEST_F(UndoTest, ADamagedOrUnendedRecordIsNeverTakenForAWholeOne) {
  lay_out(60, 8);
  // A name taken before the run: the tune announced under it is taken back.
  test::write_tune(at("PELKORA/CLASH.DAT"), "Clash");
  write_file(at("PELKORA/Clash.sid"), "not this tune");
  run("y\n");
  const std::string converted = tmp_.path() + "/converted";
  ASSERT_EQ(std::system(("cp -a '" + root_ + "' '" + converted + "'").c_str()), 0);
  const std::string record = read_file(at("tuvo_2.undo"));
  std::vector<std::string> lines;  // each with its newline
  for (std::size_t pos = 0, end; (end = record.find('\n', pos)) != std::string::npos; pos = end + 1) {
    lines.push_back(record.substr(pos, end + 1 - pos));
  }
  ASSERT_TRUE(lines.back().starts_with("{\"end\":")) << lines.back();
  const auto first_with = [&](const char* kind) {
    const auto it = std::find_if(lines.begin() + 2, lines.end(), [&](const std::string& l) { return l.find(kind) != std::string::npos; });
    return static_cast<std::size_t>(it - lines.begin());
  };
  const std::size_t cancel = first_with("\"cancel\""), tune = first_with("\"tune\"") + 3;
  ASSERT_LT(cancel, lines.size());
  const auto joined = [&](std::size_t skip, std::size_t twice) {
    std::string text;
    for (std::size_t i = 0; i < lines.size(); ++i) {
      if (i != skip) text += lines[i];
      if (i == twice) text += lines[i];
    }
    return text;
  };
  const std::size_t none = lines.size();
  struct Case {
    std::string name, text, damage;  // damage: empty when the record is not damaged
  };
  std::vector<Case> cases;
  for (const double part : {0.02, 0.3, 0.6, 0.97}) {
    const std::size_t cut = static_cast<std::size_t>(part * static_cast<double>(record.size()));
    cases.push_back({"cut at " + std::to_string(cut), record.substr(0, cut), ""});
  }
  cases.push_back({"the end line lost", joined(lines.size() - 1, none), ""});
  cases.push_back({"a cancel line repeated", joined(none, cancel), "appears twice"});
  cases.push_back({"a tune line lost", joined(tune, none), "are missing"});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(root_);
    ASSERT_EQ(std::system(("cp -a '" + converted + "' '" + root_ + "'").c_str()), 0);
    write_file(at("tuvo_2.undo"), c.text);
    const auto undone = undo();
    const std::string tail = undone.out.substr(undone.out.size() > 600 ? undone.out.size() - 600 : 0);
    EXPECT_EQ(undone.out.find("as it was"), std::string::npos) << tail;
    if (c.damage.empty()) {
      // A cut among the moves may leave a directory whose next step back
      // was lost: the undo then reports it left, and keeps the record.
      EXPECT_NE(undone.out.find("A run it recorded never came to its end"), std::string::npos) << tail;
      EXPECT_EQ(exists(at("tuvo_2.undo")), undone.status == 1) << tail;
    } else {
      EXPECT_EQ(undone.status, 1) << tail;
      EXPECT_NE(undone.out.find("It is damaged: "), std::string::npos) << undone.out.substr(0, 400);
      EXPECT_NE(undone.out.find(c.damage), std::string::npos) << tail;
      EXPECT_NE(undone.out.find("tuvo_2.undo is damaged ("), std::string::npos) << tail;
      // Kept as it was, with only the undo's own notes of directories it
      // moved back after it.
      ASSERT_TRUE(exists(at("tuvo_2.undo")));
      const std::string kept = read_file(at("tuvo_2.undo"));
      EXPECT_TRUE(kept.starts_with(c.text));
      std::istringstream added(kept.substr(c.text.size()));
      for (std::string line; std::getline(added, line);) EXPECT_TRUE(line.starts_with("{\"moved_back\":")) << line;
    }
  }
}

// Records from someone else, each entry well formed and carrying the right
// sizes and checksums of the files it names, so that only its paths keep
// it from acting: a way out of the collection in each, by "..", by an
// absolute path, or through a link inside that points out.
TEST_F(UndoTest, CraftedRecordsReachNothingOutside) {
  const std::string victim = tmp_.path() + "/victim";
  const std::string thesis_bytes = "years of work";
  const std::string loot_bytes = "#!/bin/sh\necho pwned\n";
  struct Way {
    const char* name;
    std::string prefix;  // stands for the victim folder
  } const ways[] = {
      {"dot-dot", "../victim"},
      {"absolute", victim},
      {"link", "./out"},
  };
  for (const Way& way : ways) {
    const std::string& v = way.prefix;
    const auto tune = [&](std::string from, std::string to, const std::string& bytes) {
      return TuneEntry{std::move(from), std::move(to), 0755, {1, 0}, bytes.size(), content_checksum(bytes), 0, ""};
    };
    const RecordEntry crafted[] = {
        // Out: a file of the collection put back under a name outside.
        tune(v + "/pwned.sh", "./evil.sid", loot_bytes),
        // In: a file outside taken into the collection.
        tune("./stolen.txt", v + "/Documents/thesis.txt", thesis_bytes),
        // A directory moved in from outside, and one moved out.
        MoveEntry{"./loot", v + "/Documents"},
        MoveEntry{v + "/moved_out", "./lootdir"},
        // The document and its temporary file, outside.
        DocumentEntry{v + "/Documents/thesis.txt", true, "a", 0644, {1, 0}, 1, content_checksum("a"),
                      thesis_bytes.size(), content_checksum(thesis_bytes)},
        TemporaryEntry{v + "/Documents/thesis.txt", thesis_bytes.size(), content_checksum(thesis_bytes)},
    };
    for (const RecordEntry& entry : crafted) {
      std::string record;
      encode_entry(RecordHeader{}, record);
      encode_entry(entry, record);
      SCOPED_TRACE(std::string(way.name) + ": " + record);
      fs::remove_all(root_);
      fs::remove_all(victim);
      write_file(victim + "/Documents/thesis.txt", thesis_bytes);
      write_file(at("evil.sid"), loot_bytes);
      test::make_dirs(at("lootdir"));
      ASSERT_EQ(symlink("../victim", at("out").c_str()), 0);
      write_file(at("tuvo_2.undo"), record);
      const std::string outside = test::snapshot(victim);
      const std::string inside = test::snapshot(root_);

      for (const bool preview : {true, false}) {
        test::RunOptions options;
        options.args = preview ? std::vector<std::string>{"--undo", "--preview"} : std::vector<std::string>{"--undo"};
        const auto undone = run("y\n", options);
        EXPECT_EQ(undone.status, 1) << undone.out << undone.err;
        EXPECT_NE(undone.out.find(": it lies outside the collection"), std::string::npos) << undone.out;
        EXPECT_EQ(undone.out.find("the collection is as it was"), std::string::npos) << undone.out;
        EXPECT_EQ(test::snapshot(victim), outside);
      }
      // The collection is as it was, the record included (it keeps the
      // entry), but for the record's own time.
      EXPECT_EQ(read_file(at("tuvo_2.undo")), record);
      EXPECT_EQ(test::files_under(root_), (std::map<std::string, std::string>{{"evil.sid", loot_bytes}, {"tuvo_2.undo", record}}));
    }
  }
}

// An undo stopped among the directories, then another conversion: the
// stopped undo's moved-back lines concern only what was written before
// them, and the next undo gives back the collection.
// The moved-back lines an undo adds start lines of their own even after a
// line a kill cut short, so that an undo stopped among the directories
// leaves a record the next one can read.
TEST_F(UndoTest, AnUndoStoppedOnARecordWithATornLineFinishesWhenRunAgain) {
  const int first_directory = first_directory_line(100, 4);
  ASSERT_GT(first_directory, 0);
  lay_out(100, 4);
  const auto before = tree_state(root_);
  run("y\n");
  write_file(at("tuvo_2.undo"), read_file(at("tuvo_2.undo")) + R"({"n":1,"tune":{"from":"./demos/GONE.DAT","to":"./de)");
  test::RunOptions kill;
  kill.args = {"--undo"};
  kill.signal_after_lines = first_directory + 2;
  run("y\n", kill);
  expect_undo_gives_back(before);
}

TEST_F(UndoTest, AStoppedUndoThenAnotherRunThenTheUndo) {
  const int first_directory = first_directory_line(100, 12);
  ASSERT_GT(first_directory, 0);
  for (int lines : {first_directory + 3, first_directory + 60, first_directory + 150}) {
    SCOPED_TRACE("undo killed after " + std::to_string(lines) + " lines");
    const auto before = convert_then_kill_undo(100, 12, lines);
    EXPECT_EQ(run("y\ny\ny\ny\ny\n").status, 0);
    expect_undo_gives_back(before);
  }
}

// A directory's steps back are one unit: when the user has put a directory
// of their own under the intermediate name, neither step is taken, and
// theirs is not moved.
TEST_F(UndoTest, ADirectoryNotMovedBackKeepsItsNextStepBack) {
  lay_out(50, 13);
  const auto before = tree_state(root_);
  run("y\n");
  ASSERT_TRUE(exists(at("GAMES")));
  write_file(at("GAMES_/my_notes.txt"), "mine");
  const auto undone = undo();
  EXPECT_EQ(undone.status, 1);
  EXPECT_NE(undone.out.find("left ./GAMES_: its old name ./GAMES_ is taken again\n"), std::string::npos) << undone.out;
  EXPECT_NE(undone.out.find("left ./games: its directory has not come back to ./GAMES_ yet\n"), std::string::npos);
  EXPECT_EQ(read_file(at("GAMES_/my_notes.txt")), "mine");
  EXPECT_TRUE(exists(at("GAMES")));
  EXPECT_FALSE(exists(at("games")));
  // Once the user's directory is gone, the undo finishes.
  fs::remove_all(at("GAMES_"));
  expect_undo_gives_back(before);
}

// A disk that fills up during the undo: what cannot be done, or noted in
// the record, waits, and once there is room the next undo finishes exactly.
TEST_F(UndoTest, AFullDiskDuringTheUndoLeavesARecordThatStillTellsTheTruth) {
  test::make_dirs(root_);
  test::ScopedTmpfs disk(root_, "size=64m");
  if (!disk.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here (needs root); full disks not tested";
  test::make_collection(root_, 20, 14, 0);
  const auto before = tree_state(root_);
  run("y\n");
  // Empty lines, which the undo passes over, fill the record's last page:
  // then no line can be added to it on a full disk.
  std::string record = read_file(at("tuvo_2.undo"));
  record.append((4096 - record.size() % 4096) % 4096, '\n');
  write_file(at("tuvo_2.undo"), record);
  ASSERT_TRUE(disk.leave_free(0));

  const auto full = undo();
  EXPECT_EQ(full.status, 1);
  EXPECT_EQ(full.out.find("the collection is as it was"), std::string::npos) << full.out;
  EXPECT_NE(full.out.find("the record cannot take another line"), std::string::npos) << full.out;

  ASSERT_TRUE(disk.leave_free(1 << 20));
  expect_undo_gives_back(before);
}

// The run copies what a link points to and removes the link; the undo
// makes the link again, with its own time, not a file.
TEST_F(UndoTest, ATuneThatWasALinkComesBackAsALink) {
  test::write_tune(at("stash/REAL.BIN"), "Real Tune");
  test::write_tune(at("games/a-f/PLAIN.DAT"), "Plain Tune");
  ASSERT_EQ(symlink("../../stash/REAL.BIN", at("games/a-f/LINK.DAT").c_str()), 0);
  const timespec times[2] = {{0, UTIME_OMIT}, {700000000, 4321}};
  ASSERT_EQ(utimensat(AT_FDCWD, at("games/a-f/LINK.DAT").c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
  const auto before = tree_state(root_);
  run("y\n");
  ASSERT_EQ(read_file(at("GAMES/A-F/Real_Tune.sid")), test::psid_file("Real Tune"));
  ASSERT_FALSE(exists(at("GAMES/A-F/LINK.DAT")));
  expect_undo_gives_back(before);
  struct stat st;
  ASSERT_EQ(lstat(at("games/a-f/LINK.DAT").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(st.st_mtim.tv_sec, 700000000);
  EXPECT_EQ(st.st_mtim.tv_nsec, 4321);
}

// An undo killed between renaming a tune back and setting its mode and
// time leaves it under its old name with the new file's: the next undo
// sets them.
TEST_F(UndoTest, ATuneRenamedBackBeforeAKillGetsItsModeAndTime) {
  lay_out(20, 15);
  const auto before = tree_state(root_);
  run("y\n");
  std::istringstream record(read_file(at("tuvo_2.undo")));
  std::string from, to;
  for (std::string line; std::getline(record, line) && from.empty();) {
    const auto j = nlohmann::json::parse(line);
    if (j.contains("tune")) {
      from = j["tune"]["from"];
      to = j["tune"]["to"];
    }
  }
  ASSERT_FALSE(from.empty());
  ASSERT_EQ(std::rename(at(to).c_str(), at(from).c_str()), 0);
  expect_undo_gives_back(before);
}

// A tune whose new name is a directory goes into it under its old name;
// when the walk reaches that directory later it converts the copy again.
// Both steps come back, though the first one's file is a new inode by then.
TEST_F(UndoTest, ATuneConvertedTwiceComesBack) {
  // Whether the walk lists such a directory after one of its tunes is the
  // file system's choice (ext4 orders by a hash seeded per file system):
  // with eight of them, one is met after a tune all but surely.
  for (int title = 0; title < 8; ++title) {
    const std::string name = "Sea_Song_" + std::to_string(title);
    test::make_dirs(at("demos/" + name + ".sid"));
    for (int i = 0; i < 8; ++i) {
      test::write_file(at("demos/S" + std::to_string(title) + std::to_string(i) + ".DAT"),
                       test::psid_file("Sea Song " + std::to_string(title), 64 + i));
    }
  }
  const auto before = tree_state(root_);
  run("y\n");
  int twice = 0;
  for (int title = 0; title < 8; ++title) {
    const std::string name = "Sea_Song_" + std::to_string(title) + ".sid";
    twice += exists(at("DEMOS/" + name + "/" + name));
  }
  ASSERT_GT(twice, 0) << "no tune was converted twice";
  expect_undo_gives_back(before);
}

// A converted collection copied to another disk, or restored from a backup,
// holds the same bytes under other inodes: its undo is as exact.
TEST_F(UndoTest, ACopyOfTheConvertedCollectionUndoes) {
  lay_out(200, 9);
  const auto before = tree_state(root_);
  run("y\n");
  const std::string copy = tmp_.path() + "/copy";
  ASSERT_EQ(std::system(("cp -a '" + root_ + "' '" + copy + "'").c_str()), 0);
  test::RunOptions options;
  options.args = {"--undo"};
  const auto undone = test::run_tuvo(copy, "y\n", options);
  EXPECT_EQ(undone.status, 0) << undone.out.substr(undone.out.size() > 800 ? undone.out.size() - 800 : 0);
  const auto after = tree_state(copy);
  EXPECT_TRUE(after == before) << differences(before, after);
}

// A tune that cannot be renamed back (its directory made read-only after
// the run) is left as it is, mode and time included; once the directory
// can be written again, the next undo finishes.
TEST_F(UndoTest, ATuneLeftBehindIsLeftUntouched) {
  if (access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "setpriv is missing; cannot run as another user";
  lay_out(40, 11);
  for (const char* name : {"MINE1.DAT", "MINE2.DAT"}) {
    const std::string path = at(std::string("games/a-f/") + name);
    test::write_tune(path, name);
    const timespec times[2] = {{0, UTIME_OMIT}, {900000000, 12345}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  }
  ASSERT_EQ(chmod(tmp_.path().c_str(), 0755), 0);
  ASSERT_EQ(std::system(("chown -R 65534:65534 '" + root_ + "'").c_str()), 0);
  const auto before = tree_state(root_);
  test::RunOptions as_nobody;
  as_nobody.unprivileged = true;
  ASSERT_EQ(run("y\n", as_nobody).status, 0);
  ASSERT_TRUE(exists(at("GAMES/A-F")));
  const auto converted = tree_state(at("GAMES/A-F"));
  ASSERT_FALSE(converted.empty());
  ASSERT_EQ(chmod(at("GAMES/A-F").c_str(), 0555), 0);

  as_nobody.args = {"--undo"};
  const auto undone = run("y\n", as_nobody);
  EXPECT_EQ(undone.status, 1);
  EXPECT_NE(undone.out.find(": it cannot be renamed: Permission denied\n"), std::string::npos) << undone.out;
  EXPECT_EQ(undone.out.find("the collection is as it was"), std::string::npos);
  // The directory went back to its old name with everything in it as the
  // run left it.
  EXPECT_TRUE(tree_state(at("games/a-f")) == converted) << differences(converted, tree_state(at("games/a-f")));

  ASSERT_EQ(chmod(at("games/a-f").c_str(), 0755), 0);
  const auto finished = run("y\n", as_nobody);
  EXPECT_EQ(finished.status, 0) << finished.out;
  const auto after = tree_state(root_);
  EXPECT_TRUE(after == before) << differences(before, after);
}

TEST_F(UndoTest, WaitsForNoRunButSaysWhenOneHoldsTheCollection) {
  lay_out(20, 8);
  run("y\n");
  const int held = open(root_.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_EQ(flock(held, LOCK_EX), 0);
  const std::string snapshot = test::snapshot(root_);
  const auto undone = undo();
  close(held);
  EXPECT_EQ(undone.status, 1);
  EXPECT_EQ(undone.err, "tuvo_2: a run is converting this collection; undo it when it has finished\n");
  EXPECT_EQ(test::snapshot(root_), snapshot);
}

TEST_F(UndoTest, TwoCompleteRunsAreUndoneTogether) {
  lay_out(300, 4);
  const auto before = tree_state(root_);
  run("y\n");
  run("y\ny\n");
  expect_undo_gives_back(before);
}

TEST_F(UndoTest, WhatChangedSinceTheRunIsLeftReportedAndKept) {
  lay_out(300, 5);
  const auto before = tree_state(root_);
  run("y\n");
  // One converted tune is changed, and one old name is taken again.
  std::vector<std::pair<std::string, std::string>> tunes;  // from, to
  std::istringstream record(read_file(at("tuvo_2.undo")));
  for (std::string line; std::getline(record, line);) {
    const auto j = nlohmann::json::parse(line);
    if (j.contains("tune")) tunes.emplace_back(j["tune"]["from"], j["tune"]["to"]);
    if (j.contains("cancel")) tunes.pop_back();
  }
  ASSERT_GE(tunes.size(), 10u);
  const auto [changed_from, changed] = tunes[3];
  const auto [taken, taken_to] = tunes[7];
  const std::string changed_bytes = read_file(at(changed));
  write_file(at(changed), changed_bytes + "x");
  write_file(at(taken), "a new file under an old name");

  const auto undone = undo();
  EXPECT_EQ(undone.status, 1);
  EXPECT_NE(undone.out.find("left " + changed + ": it changed since the run\n"), std::string::npos) << undone.out;
  EXPECT_NE(undone.out.find("left " + taken_to + ": its old name " + taken + " is taken again\n"), std::string::npos);
  EXPECT_NE(undone.out.find("2 were left as they are, and tuvo_2.undo keeps them.\n"), std::string::npos);

  // The record keeps the two, named where they are now: their directories
  // have moved back.
  std::map<std::string, std::string> kept;  // to -> from
  std::istringstream left(read_file(at("tuvo_2.undo")));
  for (std::string line; std::getline(left, line);) {
    const auto j = nlohmann::json::parse(line);
    if (j.contains("tune")) kept[j["tune"]["to"]] = j["tune"]["from"];
    EXPECT_FALSE(j.contains("move") || j.contains("document")) << line;
  }
  ASSERT_EQ(kept.size(), 2u);
  std::string changed_now, taken_now;
  for (const auto& [to, from] : kept) {
    ASSERT_TRUE(exists(at(to))) << to;
    if (read_file(at(to)) == changed_bytes + "x") {
      changed_now = to;
    } else {
      taken_now = from;
    }
  }
  ASSERT_FALSE(changed_now.empty());
  ASSERT_FALSE(taken_now.empty());
  EXPECT_EQ(read_file(at(taken_now)), "a new file under an old name");

  // Everything else is as it was.
  auto after = tree_state(root_);
  auto want = before;
  for (const auto& [to, from] : kept) {
    after.erase(to.substr(2));
    after.erase(from.substr(2));
    want.erase(from.substr(2));
  }
  after.erase("tuvo_2.undo");
  after.erase("tuvo_2.err");
  EXPECT_TRUE(after == want) << differences(want, after);

  // Once the two are set right, the undo finishes.
  write_file(at(changed_now), changed_bytes);
  ASSERT_EQ(std::remove(at(taken_now).c_str()), 0);
  expect_undo_gives_back(before);
}

}  // namespace
