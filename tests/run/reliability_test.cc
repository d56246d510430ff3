// Nothing lost: generated collections, full disks, a killed run and hostile
// trees, all through the real program.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "rules/line_five.h"
#include "sid/sid_convert.h"
#include "support/collection.h"

namespace {

using test::exists;
using test::files_under;
using test::is_tune;
using test::psid_file;
using test::read_file;
using test::write_file;
using test::write_tune;

using Files = std::map<std::string, std::string>;

bool is_bookkeeping(const std::string& path) {
  return path.ends_with("qm_sids.txt") || path == "tuvo_2.err" || path == "xtempx.txt" || path == "tuvo_2.undo";
}

std::multiset<std::string> contents(const Files& files) {
  std::multiset<std::string> all;
  for (const auto& [path, bytes] : files) {
    if (!is_bookkeeping(path)) all.insert(bytes);
  }
  return all;
}

std::string basename_of(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// The paths in the log's complete lines, relative to the collection, by
// message.
std::map<std::string, std::set<std::string>> logged(const std::string& log) {
  std::map<std::string, std::set<std::string>> paths;
  std::istringstream in(log.substr(0, log.rfind('\n') + 1));
  for (std::string line; std::getline(in, line);) {
    const std::size_t sep = line.find(" : ./");
    EXPECT_NE(sep, std::string::npos) << line;
    if (sep != std::string::npos) paths[line.substr(0, sep)].insert(line.substr(sep + 5));
  }
  return paths;
}

constexpr char kLinesOnStderr[] = " errors detected.  They are listed above on standard error.\n";

// The number of errors the summary reports, 0 for the success message.
int reported_errors(const std::string& out) {
  if (out.ends_with(test::kSuccess)) return 0;
  std::size_t end = out.rfind(" errors detected.  Check the tuvo_2.err file for details.\n");
  if (end == std::string::npos) end = out.rfind(kLinesOnStderr);
  if (end == std::string::npos) return -1;
  const std::size_t start = out.rfind('\n', end) + 1;
  return std::stoi(out.substr(start, end - start));
}

bool is_portable_name(const std::string& name) {
  if (!name.ends_with(".sid") || name.size() > 31) return false;
  return std::all_of(name.begin(), name.end() - 4, [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-';
  });
}

class ReliabilityTest : public test::CollectionTest {
 protected:
  // What every run must leave: every file's bytes exactly once, the files
  // that are not tunes under their own names, and a log (counted by the
  // summary) naming exactly the tunes left under their old names.
  void expect_nothing_lost(const Files& before, const test::RunResult& run) {
    const Files after = files_under(root_);
    EXPECT_TRUE(contents(after) == contents(before)) << "the files' contents differ";

    std::multiset<std::pair<std::string, std::string>> others_before, others_after;
    std::set<std::string> left_as_tunes;
    for (const auto& [path, bytes] : before) {
      if (!is_tune(path, bytes) && !is_bookkeeping(path)) others_before.insert({basename_of(path), bytes});
    }
    for (const auto& [path, bytes] : after) {
      if (is_tune(path, bytes)) left_as_tunes.insert(path);
      if (!is_tune(path, bytes) && !is_bookkeeping(path) && !path.ends_with(".sid")) {
        others_after.insert({basename_of(path), bytes});
      }
    }
    EXPECT_TRUE(others_after == others_before) << "files that are not tunes changed";

    // The lines are where the summary says: in the log, or, once the log
    // could not take one, all of them on standard error.
    const bool on_stderr = run.out.find(kLinesOnStderr) != std::string::npos;
    std::string log = run.err;
    if (!on_stderr) {
      EXPECT_EQ(run.err, "");
      log = exists(at("tuvo_2.err")) ? read_file(at("tuvo_2.err")) : "";
    }
    const auto paths = logged(log);
    const std::set<std::string> duplicates =
        paths.count("Duplicate File?") ? paths.at("Duplicate File?") : std::set<std::string>{};
    EXPECT_EQ(duplicates, left_as_tunes);
    EXPECT_EQ(reported_errors(test::with_time_masked(run.out)), std::count(log.begin(), log.end(), '\n'));
    EXPECT_EQ(run.status, 0);
  }
};

TEST_F(ReliabilityTest, GeneratedCollectionsKeepEveryTune) {
  for (unsigned seed : {1u, 2u, 3u}) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::filesystem::remove_all(root_);
    test::make_collection(root_, 300, seed, /*duplicates_percent=*/30);
    const Files before = files_under(root_);
    const auto run = this->run("y\n");
    expect_nothing_lost(before, run);
    for (const auto& [path, bytes] : files_under(root_)) {
      if (path.ends_with(".sid")) {
        EXPECT_TRUE(is_portable_name(basename_of(path))) << path;
      }
    }
    EXPECT_FALSE(exists(at("xtempx.txt")));
  }
}

class FullDiskTest : public ReliabilityTest {
 protected:
  // A generated collection on a small file system.
  void lay_out(test::ScopedTmpfs& disk, const std::string& document) {
    if (!disk.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here (needs root); full disks not tested";
    test::make_collection(root_, 300, 7, 10);
    write_file(at("documnts/qm_sids.txt"), document);
  }
};

constexpr std::size_t kPage = 4096;

TEST_F(FullDiskTest, DuringTheTunes) {
  test::make_dirs(root_);
  test::ScopedTmpfs disk(root_, "size=64m");
  lay_out(disk, test::kReleaseDocument);
  if (IsSkipped()) return;
  // Room for tunes of up to two pages, until the log takes it: then no tune
  // can be copied, and the log cannot take all their lines.
  ASSERT_TRUE(disk.leave_free(2 * kPage));
  const Files before = files_under(root_);
  const auto run = this->run("y\n");
  expect_nothing_lost(before, run);
  EXPECT_GT(reported_errors(test::with_time_masked(run.out)), 10);
  // The log could not take every line, so the summary points at standard
  // error, not at a file that lacks them.
  EXPECT_NE(run.out.find(kLinesOnStderr), std::string::npos) << run.out.substr(run.out.size() - 300);
  EXPECT_GT(test::list_tree(root_).size(), 0u);
  // The undo record took what it could, in whole lines only.
  std::istringstream record(read_file(at("tuvo_2.undo")));
  for (std::string line; std::getline(record, line);) {
    EXPECT_TRUE(line.starts_with("{") && line.ends_with("}") && !record.eof()) << line;
  }
}

TEST_F(FullDiskTest, DuringTheDocument) {
  test::make_dirs(root_);
  test::ScopedTmpfs disk(root_, "size=64m");
  std::string document = test::kReleaseDocument;
  while (document.size() < 32 * kPage) document += std::string(79, '-') + "\n";
  lay_out(disk, document);
  if (IsSkipped()) return;
  // Every tune fits, but the rewritten document does not.
  ASSERT_TRUE(disk.leave_free(8 * kPage));
  const Files before = files_under(root_);
  const auto run = this->run("y\n");
  expect_nothing_lost(before, run);
  EXPECT_EQ(read_file(at("DOCUMENTS/qm_sids.txt")), document);
  EXPECT_FALSE(exists(at("xtempx.txt")));
}

// Line numbers of a complete run's output: where the moves start, where the
// tunes start, and the last tune.
struct Phases {
  int first_move = 0, first_tune = 0, last_tune = 0;
};

Phases phases_of(const std::string& out) {
  Phases p;
  std::istringstream in(out);
  int n = 0;
  for (std::string line; std::getline(in, line);) {
    ++n;
    if (line.starts_with("renamed '") && p.first_move == 0) p.first_move = n;
    if (line.ends_with(".sid")) {
      if (p.first_tune == 0) p.first_tune = n;
      p.last_tune = n;
    }
  }
  return p;
}

class InterruptionTest : public ReliabilityTest {
 protected:
  // A generated collection with a large document, so that a run spends a
  // while on it too; |master_| keeps a copy to start each round from.
  void SetUp() override {
    test::make_collection(master_, 2000, 11);
    std::string document = test::kReleaseDocument;
    while (document.size() < (8u << 20)) document += std::string(99, 'd') + "\n";
    write_file(master_ + "/documnts/qm_sids.txt", document);
    before_ = files_under(master_);
  }
  void fresh_collection() {
    std::filesystem::remove_all(root_);
    std::filesystem::copy(master_, root_, std::filesystem::copy_options::recursive);
  }
  // What a stopped or killed run may leave: every tune's bytes still there,
  // and every .sid a whole tune of the collection. |exact| also asks that
  // no tune is there twice (the tune in hand was finished, old file gone).
  void expect_every_tune_whole(bool exact) {
    const Files after = files_under(root_);
    const std::multiset<std::string> was = contents(before_);
    const std::multiset<std::string> is = contents(after);
    if (exact) {
      EXPECT_TRUE(is == was) << "the files' contents differ";
    }
    for (const std::string& bytes : std::set<std::string>(was.begin(), was.end())) {
      EXPECT_GE(is.count(bytes), was.count(bytes)) << "a tune's bytes were lost";
    }

    // A .sid is a whole tune of the collection, never a part of one.
    std::size_t extra = 0;
    for (const auto& [path, bytes] : after) {
      if (path.ends_with(".sid")) {
        EXPECT_GE(was.count(bytes), 1u) << path << " is not a whole tune";
      }
    }
    for (const std::string& bytes : std::set<std::string>(is.begin(), is.end())) {
      extra += is.count(bytes) - std::min(is.count(bytes), was.count(bytes));
    }
    // A kill between naming a batch's new files and deleting their old
    // ones leaves those tunes twice (a second run finishes them).
    EXPECT_LE(extra, exact ? 0u : kTuneBatchSize);
    // The document is never missing: old, or rewritten.
    const std::string doc = exists(at("DOCUMENTS/qm_sids.txt")) ? at("DOCUMENTS/qm_sids.txt") : at("documnts/qm_sids.txt");
    const std::string text = read_file(doc);
    const std::string& original = before_.at("documnts/qm_sids.txt");
    EXPECT_TRUE(text == original || text == replace_release_line(original)) << "the document is damaged";
  }
  // A second run finishes the collection: every tune converted but the
  // ones it logs, the document rewritten, nothing of ours left behind.
  void expect_second_run_finishes() {
    const auto second = run("y\ny\n");
    EXPECT_EQ(second.status, 0);
    EXPECT_EQ(second.err, "");
    std::set<std::string> left_as_tunes;
    for (const auto& [path, bytes] : files_under(root_)) {
      if (is_tune(path, bytes)) left_as_tunes.insert(path);
    }
    const auto paths = logged(exists(at("tuvo_2.err")) ? read_file(at("tuvo_2.err")) : "");
    EXPECT_EQ(paths.count("Duplicate File?") ? paths.at("Duplicate File?") : std::set<std::string>{}, left_as_tunes);
    EXPECT_EQ(paths.size(), paths.count("Duplicate File?")) << "only duplicates may be left";
    EXPECT_EQ(read_file(at("DOCUMENTS/qm_sids.txt")), replace_release_line(before_.at("documnts/qm_sids.txt")));
    EXPECT_FALSE(exists(at("DOCUMENTS/xtempx.txt")));
  }

  test::TempDir master_dir_;
  std::string master_ = master_dir_.path() + "/c64music";
  Files before_;
};

TEST_F(InterruptionTest, KilledAtRandomMomentsNothingIsLostAndASecondRunFinishes) {
  fresh_collection();
  const Phases p = phases_of(run("y\n").out);
  ASSERT_GT(p.first_move, 0);
  ASSERT_GT(p.last_tune, p.first_tune);
  std::mt19937 random(20261210);
  const auto between = [&](int from, int to) { return std::uniform_int_distribution<int>(from, to)(random); };
  // Three kills during the moves, seven during the tunes, and two as the
  // document is rewritten, right after the last tune.
  std::vector<int> kill_after;
  for (int i = 0; i < 3; ++i) kill_after.push_back(between(p.first_move, p.first_tune - 1));
  for (int i = 0; i < 7; ++i) kill_after.push_back(between(p.first_tune, p.last_tune));
  kill_after.push_back(p.last_tune);
  kill_after.push_back(p.last_tune);
  for (int lines : kill_after) {
    SCOPED_TRACE("killed after " + std::to_string(lines) + " lines");
    fresh_collection();
    test::RunOptions kill;
    kill.signal_after_lines = lines;
    const auto killed = run("y\n", kill);
    expect_every_tune_whole(/*exact=*/false);
    expect_second_run_finishes();
  }
}

TEST_F(InterruptionTest, SignalsStopTheRunBetweenTwoTunes) {
  const Phases p = [&] {
    fresh_collection();
    return phases_of(run("y\n").out);
  }();
  struct Case {
    const char* name;
    int signal;
    int after_lines;
    bool close_output;  // as "tuvo_2 | head" does
  } cases[] = {
      {"Ctrl-C during the tunes", SIGINT, (p.first_tune + p.last_tune) / 2, false},
      {"Ctrl-C during the moves", SIGINT, p.first_move + 3, false},
      {"a polite kill", SIGTERM, p.first_tune + 10, false},
      {"a closed terminal", SIGHUP, p.first_tune + 10, false},
      {"a reader that stopped reading", SIGPIPE, p.first_tune + 5, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fresh_collection();
    test::RunOptions stop;
    if (c.close_output) {
      stop.close_output_after_lines = c.after_lines;
    } else {
      stop.signal_after_lines = c.after_lines;
      stop.signal = c.signal;
    }
    const auto stopped = run("y\n", stop);
    EXPECT_EQ(stopped.signal, c.signal);
    EXPECT_TRUE(stopped.err.starts_with("tuvo_2: stopped by SIG") && stopped.err.ends_with("conversion\n") &&
                std::count(stopped.err.begin(), stopped.err.end(), '\n') == 1)
        << stopped.err;
    EXPECT_EQ(stopped.out.find("Conversion time"), std::string::npos);
    expect_every_tune_whole(/*exact=*/true);
    expect_second_run_finishes();
  }
}

TEST_F(InterruptionTest, OneRunAtATime) {
  {
    SCOPED_TRACE("a run that finds the collection held");
    fresh_collection();
    const int held = open(root_.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    const std::string snapshot = test::snapshot(root_);
    const auto run = this->run("y\n");
    close(held);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, std::string(test::kBanner) + test::kFirstQuestion + "\n\n");
    EXPECT_EQ(run.err, "tuvo_2: another run is converting this collection; nothing was changed\n");
    EXPECT_EQ(test::snapshot(root_), snapshot);
  }
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE("two runs started together, round " + std::to_string(round));
    fresh_collection();
    test::RunResult first, second;
    std::thread a([&] { first = run("y\n"); });
    std::thread b([&] { second = run("y\ny\n"); });
    a.join();
    b.join();
    EXPECT_TRUE(first.status == 0 || first.status == 1);
    EXPECT_TRUE(second.status == 0 || second.status == 1);
    EXPECT_TRUE(first.status == 0 || second.status == 0) << "neither run converted";
    expect_every_tune_whole(/*exact=*/true);
    EXPECT_EQ(read_file(at("DOCUMENTS/qm_sids.txt")), replace_release_line(before_.at("documnts/qm_sids.txt")));
  }
}

TEST_F(ReliabilityTest, HostileTreesEndWithNothingLost) {
  const std::string dir = at("games/a-f/");
  write_tune(dir + "NORMAL.DAT", "Normal");
  // Special files, named like tunes and not; none may be opened.
  ASSERT_EQ(mkfifo((dir + "FIFO.DAT").c_str(), 0644), 0);
  ASSERT_EQ(mkfifo((dir + "fifo").c_str(), 0644), 0);
  const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::string sock_path = dir + "SOCK.DAT";
  ASSERT_LT(sock_path.size(), sizeof addr.sun_path);
  std::strcpy(addr.sun_path, sock_path.c_str());
  ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  // A device that never ends, named like a tune, directly and by a link.
  if (mknod((dir + "ZERO.DAT").c_str(), S_IFCHR | 0666, makedev(1, 5)) != 0) {
    GTEST_LOG_(INFO) << "cannot make a device node here; that case is not checked";
  }
  ASSERT_EQ(symlink("/dev/zero", (dir + "LINKZERO.DAT").c_str()), 0);
  // Cycles of links.
  write_tune(at("loops/LOOP.DAT"), "In A Loop");
  ASSERT_EQ(symlink("..", at("loops/up").c_str()), 0);
  ASSERT_EQ(symlink("../loops", at("loops/again").c_str()), 0);
  // Short files that begin like tunes.
  for (std::size_t size = 0; size <= 60; ++size) {
    std::string bytes = std::string("PSID").substr(0, std::min<std::size_t>(size, 4));
    while (bytes.size() < size) bytes += static_cast<char>('a' + bytes.size() % 26);
    write_file(at("short/S" + std::to_string(size) + ".DAT"), bytes);
  }
  // Titles holding every byte value.
  for (int first = 1; first < 256; first += 32) {
    std::string title;
    for (int b = first; b < first + 32 && b < 256; ++b) title += static_cast<char>(b);
    write_tune(at("bytes/B" + std::to_string(first) + ".DAT"), title);
    write_tune(at("bytes/C" + std::to_string(first) + ".DAT"), title.substr(title.size() / 2));
  }

  const Files before = files_under(root_);
  test::RunOptions options;
  const auto run = this->run("y\n", options);
  close(sock);
  expect_nothing_lost(before, run);
  EXPECT_TRUE(exists(at("GAMES/A-F/Normal.sid")));
  EXPECT_TRUE(exists(at("loops/In_A_Loop.sid")));
  EXPECT_TRUE(exists(at("GAMES/A-F/FIFO.DAT")));
}

TEST_F(ReliabilityTest, TheProgramsOwnFilesAreNeverSpecialFilesOrLinks) {
  write_tune(at("games/a-f/FIRST.DAT"), "Same");
  write_tune(at("games/a-f/SECOND.DAT"), "Same");  // one error to log
  const std::string on_stderr = "errors detected.  They are listed above on standard error.\n";
  {
    SCOPED_TRACE("FIFOs, which nobody writes or reads");
    ASSERT_EQ(std::remove(at("documnts/qm_sids.txt").c_str()), 0);
    for (const char* name : {"documnts/qm_sids.txt", "tuvo_2.err", "xtempx.txt"}) {
      ASSERT_EQ(mkfifo(at(name).c_str(), 0644), 0) << name;
    }
    const auto run = this->run("y\ny\n");
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(run.err.starts_with("Duplicate File? : ./GAMES/A-F/")) << run.err;
    EXPECT_TRUE(run.err.ends_with("\nUnconverted Document? : ./DOCUMENTS/qm_sids.txt\n")) << run.err;
    // The log could not be made: the summary does not send the user there.
    EXPECT_TRUE(run.out.ends_with("\n2 " + on_stderr)) << run.out;
    for (const char* name : {"DOCUMENTS/qm_sids.txt", "tuvo_2.err", "xtempx.txt"}) {
      struct stat st;
      EXPECT_TRUE(lstat(at(name).c_str(), &st) == 0 && S_ISFIFO(st.st_mode)) << name;
    }
  }
  {
    SCOPED_TRACE("links out of the collection");
    for (const char* name : {"DOCUMENTS/qm_sids.txt", "tuvo_2.err", "xtempx.txt"}) std::remove(at(name).c_str());
    write_file(at("DOCUMENTS/qm_sids.txt"), test::kReleaseDocument);
    write_file(tmp_.path() + "/outside.err", "keep");
    write_file(tmp_.path() + "/outside.txt", "keep");
    ASSERT_EQ(symlink("../outside.err", at("tuvo_2.err").c_str()), 0);
    ASSERT_EQ(symlink("../../outside.txt", at("DOCUMENTS/xtempx.txt").c_str()), 0);
    write_tune(at("GAMES/A-F/THIRD.DAT"), "Same");
    const auto run = this->run("y\ny\n");
    EXPECT_EQ(run.status, 0);
    // The log is a link: its lines, FIRST or SECOND again, THIRD and the
    // document, go to standard error.
    EXPECT_NE(run.err.find("Duplicate File? : ./GAMES/A-F/THIRD.DAT\n"), std::string::npos) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 3) << run.err;
    EXPECT_TRUE(run.out.ends_with("\n3 " + on_stderr)) << run.out;
    EXPECT_EQ(read_file(tmp_.path() + "/outside.err"), "keep");
    EXPECT_EQ(read_file(tmp_.path() + "/outside.txt"), "keep");
    EXPECT_EQ(read_file(at("DOCUMENTS/qm_sids.txt")), test::kReleaseDocument);
    EXPECT_TRUE(exists(at("tuvo_2.err")));
  }
  {
    SCOPED_TRACE("a successful run leaves what stands under the log's name");
    for (const char* name :
         {"GAMES/A-F/FIRST.DAT", "GAMES/A-F/SECOND.DAT", "GAMES/A-F/THIRD.DAT", "DOCUMENTS/xtempx.txt"}) {
      std::remove(at(name).c_str());
    }
    const auto run = this->run("y\ny\n");
    EXPECT_TRUE(run.out.ends_with(test::kSuccess)) << run.out;
    EXPECT_TRUE(exists(at("tuvo_2.err")));
  }
}

TEST_F(ReliabilityTest, UnreadableDirectoriesAndTunesAreLogged) {
  test::RunOptions as_nobody;
  if (!lay_out_unreadable(as_nobody)) GTEST_SKIP() << "setpriv is missing; cannot run as another user";
  const auto run = this->run("y\n", as_nobody);
  chmod(at("locked").c_str(), 0755);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(read_file(at("tuvo_2.err")),
            "Duplicate File? : ./GAMES/A-F/SECRET.DAT\nUnreadable Directory? : ./locked\n");
  EXPECT_NE(run.out.find("\n2 errors detected."), std::string::npos);
  EXPECT_TRUE(exists(at("GAMES/A-F/Open.sid")));
  EXPECT_TRUE(exists(at("GAMES/A-F/SECRET.DAT")));
  EXPECT_TRUE(exists(at("locked/HIDDEN.DAT")));
}

}  // namespace
