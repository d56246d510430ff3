// Whole conversions through the real program: directory moves, the walk over
// the tunes, the error log and the summary.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "sid/sid_convert.h"
#include "support/collection.h"

namespace {

using test::exists;
using test::mv_line;
using test::psid_file;
using test::read_file;
using test::with_time_masked;
using test::write_tune;

const std::string kHead = std::string(test::kBanner) + test::kFirstQuestion + "\n\n";
const std::string kTail = "\nConversion time = T seconds\n" + std::string(test::kSuccess);

std::vector<std::string> sorted_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  std::sort(lines.begin(), lines.end());
  return lines;
}

class ConversionTest : public test::CollectionTest {
 protected:
  // A small collection with tunes in category, composer, marker and
  // VARIOUS directories, in the case it was unpacked in.
  void lay_out_small_collection() {
    write_tune(at("PELKORA/PELKOR1.DAT"), "Pelkora One");
    write_tune(at("games/a-f/NIGHTHAR.DAT"), "Night Harbour");
    write_tune(at("games/s-z/SEAWAVE.DAT"), "The Sea Wave");
    write_tune(at("possgett/ROCKNROL.DAT"), "Rock'n'Roll Tune");
    test::write_file(at("possgett/README.TXT"), "PSID but not a tune: no .dat in the path");
    write_tune(at("demos/unknown/DEMO1.DAT"), "Salt & Pepper");
    write_tune(at("various/jusk/oldies/OLD1.DAT"), "Oldie TIME: 2:00");
    write_tune(at("various/juklaern/JUK.DAT"), "####");
  }

  // Splits a run's output into what comes before the written files, the
  // written files in listing order, and the rest.
  struct Parts {
    std::string moves;
    std::string written;
    std::string rest;
  };
  static Parts split(const std::string& out, std::size_t head_size) {
    Parts parts;
    std::istringstream in(out.substr(head_size));
    std::string line;
    std::string* into = &parts.moves;
    while (std::getline(in, line)) {
      if (into == &parts.moves && line.rfind("renamed ", 0) != 0) into = &parts.written;
      if (into == &parts.written && line.rfind("./", 0) != 0) into = &parts.rest;
      *into += line + "\n";
    }
    return parts;
  }
};

const char kSmallCollectionMoves[] =
    "renamed './demos' -> 'DEMOS_'\n"
    "renamed './DEMOS_' -> 'DEMOS'\n"
    "renamed './DEMOS/unknown' -> 'DEMOS/UNKNOWN_'\n"
    "renamed './DEMOS/UNKNOWN_' -> 'DEMOS/UNKNOWN'\n"
    "renamed './documnts' -> 'DOCUMENTS'\n"
    "renamed './games' -> 'GAMES_'\n"
    "renamed './GAMES_' -> 'GAMES'\n"
    "renamed './GAMES/a-f' -> 'GAMES/A-F_'\n"
    "renamed './GAMES/A-F_' -> 'GAMES/A-F'\n"
    "renamed './GAMES/s-z' -> 'GAMES/S-Z_'\n"
    "renamed './GAMES/S-Z_' -> 'GAMES/S-Z'\n"
    "renamed './possgett' -> 'Possgett_Vilde'\n"
    "renamed './PELKORA' -> 'Pelkora_'\n"
    "renamed './Pelkora_' -> 'Pelkora'\n"
    "renamed './various' -> 'VARIOUS_'\n"
    "renamed './VARIOUS_' -> 'VARIOUS'\n"
    "renamed './VARIOUS/jusk' -> 'VARIOUS/Jusk_'\n"
    "renamed './VARIOUS/Jusk_' -> 'VARIOUS/Jusk'\n"
    "renamed './VARIOUS/Jusk/oldies' -> 'VARIOUS/Jusk/OLDIES_'\n"
    "renamed './VARIOUS/Jusk/OLDIES_' -> 'VARIOUS/Jusk/OLDIES'\n"
    "renamed './VARIOUS/juklaern' -> 'VARIOUS/Juklaernnux_Aksel'\n";

TEST_F(ConversionTest, ConvertsASmallCollection) {
  lay_out_small_collection();
  const auto run = this->run("y\n");
  EXPECT_EQ(run.status, 0);
  ASSERT_EQ(run.out.substr(0, kHead.size()), kHead);
  // The moves come first and in table order, each in its place although
  // they are printed by other processes.
  const Parts parts = split(with_time_masked(run.out), kHead.size());
  EXPECT_EQ(parts.moves, kSmallCollectionMoves);
  // The tunes in listing order, then the document.
  EXPECT_TRUE(parts.written.ends_with("\n./DOCUMENTS/qm_sids.txt\n"));
  EXPECT_EQ(sorted_lines(parts.written), (std::vector<std::string>{
                                             "./DEMOS/UNKNOWN/Salt_and_Pepper.sid",
                                             "./DOCUMENTS/qm_sids.txt",
                                             "./GAMES/A-F/Night_Harbour.sid",
                                             "./GAMES/S-Z/Sea_Wave.sid",
                                             "./Pelkora/Pelkora_One.sid",
                                             "./Possgett_Vilde/Rock_n_Roll_Tune.sid",
                                             "./VARIOUS/Juklaernnux_Aksel/Juk.sid",
                                             "./VARIOUS/Jusk/OLDIES/Oldie.sid",
                                         }));
  EXPECT_EQ(parts.rest, kTail);
  EXPECT_EQ(run.err, "");

  EXPECT_EQ(tree(), (std::vector<std::string>{
                        "DEMOS/",
                        "DEMOS/UNKNOWN/",
                        "DEMOS/UNKNOWN/Salt_and_Pepper.sid",
                        "DOCUMENTS/",
                        "DOCUMENTS/qm_sids.txt",
                        "GAMES/",
                        "GAMES/A-F/",
                        "GAMES/A-F/Night_Harbour.sid",
                        "GAMES/S-Z/",
                        "GAMES/S-Z/Sea_Wave.sid",
                        "Pelkora/",
                        "Pelkora/Pelkora_One.sid",
                        "Possgett_Vilde/",
                        "Possgett_Vilde/README.TXT",
                        "Possgett_Vilde/Rock_n_Roll_Tune.sid",
                        "VARIOUS/",
                        "VARIOUS/Juklaernnux_Aksel/",
                        "VARIOUS/Juklaernnux_Aksel/Juk.sid",
                        "VARIOUS/Jusk/",
                        "VARIOUS/Jusk/OLDIES/",
                        "VARIOUS/Jusk/OLDIES/Oldie.sid",
                        "tuvo_2.undo",
                    }));
  EXPECT_EQ(read_file(at("GAMES/A-F/Night_Harbour.sid")), psid_file("Night Harbour"));
  EXPECT_EQ(read_file(at("Possgett_Vilde/README.TXT")), "PSID but not a tune: no .dat in the path");
}

TEST_F(ConversionTest, ASecondRunConvertsNothingNew) {
  lay_out_small_collection();
  run("y\n");
  const auto before = tree();
  // The document has moved to DOCUMENTS, so its check warns now.
  const auto run = this->run("y\ny\n");
  const std::size_t head = run.out.find("Do you wish to continue? > ") + 27;
  const Parts parts = split(with_time_masked(run.out), head);
  // Each case-only rename finds its directory again and moves it there and
  // back; the other rows find nothing.
  EXPECT_EQ(parts.moves,
            "renamed './DEMOS' -> 'DEMOS_'\n"
            "renamed './DEMOS_' -> 'DEMOS'\n"
            "renamed './DEMOS/UNKNOWN' -> 'DEMOS/UNKNOWN_'\n"
            "renamed './DEMOS/UNKNOWN_' -> 'DEMOS/UNKNOWN'\n"
            "renamed './GAMES' -> 'GAMES_'\n"
            "renamed './GAMES_' -> 'GAMES'\n"
            "renamed './GAMES/A-F' -> 'GAMES/A-F_'\n"
            "renamed './GAMES/A-F_' -> 'GAMES/A-F'\n"
            "renamed './GAMES/S-Z' -> 'GAMES/S-Z_'\n"
            "renamed './GAMES/S-Z_' -> 'GAMES/S-Z'\n"
            "renamed './Pelkora' -> 'Pelkora_'\n"
            "renamed './Pelkora_' -> 'Pelkora'\n"
            "renamed './VARIOUS' -> 'VARIOUS_'\n"
            "renamed './VARIOUS_' -> 'VARIOUS'\n"
            "renamed './VARIOUS/Jusk' -> 'VARIOUS/Jusk_'\n"
            "renamed './VARIOUS/Jusk_' -> 'VARIOUS/Jusk'\n"
            "renamed './VARIOUS/Jusk/OLDIES' -> 'VARIOUS/Jusk/OLDIES_'\n"
            "renamed './VARIOUS/Jusk/OLDIES_' -> 'VARIOUS/Jusk/OLDIES'\n");
  EXPECT_EQ(parts.written, "./DOCUMENTS/qm_sids.txt\n");
  EXPECT_EQ(parts.rest, kTail);
  EXPECT_EQ(tree(), before);
}

TEST_F(ConversionTest, DuplicateTitlesInOneDirectoryLogOneError) {
  write_tune(at("games/a-f/FIRST.DAT"), "Same Title");
  test::write_file(at("games/a-f/SECOND.DAT"), psid_file("Same Title", 99));
  const auto run = this->run("y\n");
  const std::string log = read_file(at("tuvo_2.err"));
  const bool first_kept = exists(at("GAMES/A-F/FIRST.DAT"));
  const std::string left = first_kept ? "./GAMES/A-F/FIRST.DAT" : "./GAMES/A-F/SECOND.DAT";
  EXPECT_EQ(log, "Duplicate File? : " + left + "\n");
  EXPECT_NE(exists(at("GAMES/A-F/FIRST.DAT")), exists(at("GAMES/A-F/SECOND.DAT")));
  EXPECT_EQ(read_file(at("GAMES/A-F/Same_Title.sid")), first_kept ? psid_file("Same Title", 99)
                                                                   : psid_file("Same Title"));
  EXPECT_TRUE(with_time_masked(run.out).ends_with(
      "\nConversion time = T seconds\n\n1 errors detected.  Check the tuvo_2.err file for details.\n"));
  EXPECT_EQ(test::mode_of(at("tuvo_2.err")), 0644u);  // 0664 less the umask 022
}

// More tunes in one directory than three batches hold: the naming thread
// names each full batch while the walk fills the next, and what it prints,
// and what the log says of the tunes it could not name, still come tune by
// tune in the directory's order.
TEST_F(ConversionTest, AFullDirectoryIsNamedBatchByBatchInItsOrder) {
  const int tunes = 3 * static_cast<int>(kTuneBatchSize) + 7;
  // Every 40th tune has the title of the one before it.
  const auto title_of = [](int i) { return "Tune " + std::to_string(i % 40 == 1 ? i - 1 : i); };
  const auto bytes_of = [&](int i) { return psid_file(title_of(i), static_cast<std::size_t>(i)); };
  for (int i = 0; i < tunes; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "T%04d.DAT", i);
    test::write_file(at("games/a-f/") + name, bytes_of(i));
  }
  std::vector<std::string> order;  // as the disk lists them
  DIR* dir = opendir(at("games/a-f").c_str());
  ASSERT_NE(dir, nullptr);
  while (const dirent* entry = readdir(dir)) {
    if (std::string_view(entry->d_name).ends_with(".DAT")) order.push_back(entry->d_name);
  }
  closedir(dir);

  const auto run = this->run("y\n");
  EXPECT_EQ(run.status, 0) << run.err;

  std::string written, log;
  std::vector<std::string> named;
  for (const std::string& name : order) {
    const int i = std::stoi(name.substr(1, 4));
    std::string sid = title_of(i);
    std::replace(sid.begin(), sid.end(), ' ', '_');
    sid = "./GAMES/A-F/" + sid + ".sid";
    if (std::find(named.begin(), named.end(), sid) != named.end()) {
      log += "Duplicate File? : ./GAMES/A-F/" + name + "\n";
      EXPECT_EQ(read_file(at("GAMES/A-F/") + name), bytes_of(i));
      continue;
    }
    named.push_back(sid);
    written += sid + "\n";
    EXPECT_FALSE(exists(at("GAMES/A-F/") + name));
    EXPECT_EQ(read_file(at(sid.substr(2))), bytes_of(i));
  }
  // The document is rewritten after the tunes.
  EXPECT_EQ(split(run.out, kHead.size()).written, written + "./DOCUMENTS/qm_sids.txt\n");
  EXPECT_EQ(read_file(at("tuvo_2.err")), log);
}

TEST_F(ConversionTest, TheLogIsTruncatedAndCountsEveryLine) {
  test::write_file(at("tuvo_2.err"), "a stale line from an earlier run\n");
  for (const char* name : {"A.DAT", "B.DAT", "C.DAT"}) write_tune(at("games/a-f/") + name, "Same");
  const auto run = this->run("y\n");
  const std::string log = read_file(at("tuvo_2.err"));
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 2);
  EXPECT_EQ(log.find("stale"), std::string::npos);
  EXPECT_NE(run.out.find("\n2 errors detected.  Check the tuvo_2.err file for details.\n"),
            std::string::npos);
}

TEST_F(ConversionTest, RowsInsideVariousNeedVarious) {
  // A directory named like one inside VARIOUS, but at the root, stays.
  write_tune(at("jusk/JUSK1.DAT"), "Root Jusk");
  const auto run = this->run("y\n");
  EXPECT_EQ(run.out.find("jusk' ->"), std::string::npos);
  EXPECT_TRUE(exists(at("jusk/Root_Jusk.sid")));
}

TEST_F(ConversionTest, DirectoriesStoredInUpperCaseAreFound) {
  write_tune(at("GAMES/A-F/UPPER.DAT"), "Upper");
  const auto run = this->run("y\n");
  EXPECT_NE(run.out.find(mv_line("./GAMES", "GAMES_") + mv_line("./GAMES_", "GAMES") +
                         mv_line("./GAMES/A-F", "GAMES/A-F_") + mv_line("./GAMES/A-F_", "GAMES/A-F")),
            std::string::npos);
  EXPECT_TRUE(exists(at("GAMES/A-F/Upper.sid")));
}

TEST_F(ConversionTest, LinksToDirectoriesAreWalkedAndCyclesEnd) {
  write_tune(at("elsewhere/LINKED.DAT"), "Linked");
  ASSERT_EQ(symlink("elsewhere", at("link").c_str()), 0);
  write_tune(at("loops/LOOPED.DAT"), "Looped");
  ASSERT_EQ(symlink("..", at("loops/up").c_str()), 0);
  ASSERT_EQ(symlink(".", at("loops/here").c_str()), 0);
  const auto run = this->run("y\n");
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(exists(at("elsewhere/Linked.sid")));
  EXPECT_TRUE(exists(at("loops/Looped.sid")));
  EXPECT_FALSE(exists(at("tuvo_2.err")));
  EXPECT_NE(run.out.find(test::kSuccess), std::string::npos);
}

TEST_F(ConversionTest, TunesBeyondTheLongestPathAreLoggedNotLost) {
  // Four names of 250 bytes: the directory itself fits the walk's 1023-byte
  // path, but its tunes do not.
  std::string deep = ".";
  for (char c : {'a', 'b', 'c', 'd'}) deep += "/" + std::string(250, c);
  ASSERT_LT(deep.size(), 1023u);
  write_tune(at(deep + "/" + std::string(30, 'T') + ".DAT"), "Far Away");
  test::write_file(at(deep + "/" + std::string(30, 'N') + ".TXT"), "not a tune");
  write_tune(at(deep + "/" + std::string(20, 'e') + "/DEEPER.DAT"), "Further");
  // Between 512 and 1023 bytes the copy cannot name its new file.
  const std::string mid = "./" + std::string(250, 'm') + "/" + std::string(250, 'n') + "/" + std::string(20, 'o');
  write_tune(at(mid + "/MIDDLE.DAT"), "Middle");

  const auto run = this->run("y\n");
  EXPECT_EQ(run.status, 0);
  std::vector<std::string> want = {
      "Duplicate File? : " + deep + "/" + std::string(20, 'e') + "/DEEPER.DAT",
      "Duplicate File? : " + deep + "/" + std::string(30, 'T') + ".DAT",
      "Duplicate File? : " + mid + "/MIDDLE.DAT",
  };
  std::sort(want.begin(), want.end());
  EXPECT_EQ(sorted_lines(read_file(at("tuvo_2.err"))), want);
  EXPECT_NE(run.out.find("\n3 errors detected."), std::string::npos);
  EXPECT_TRUE(exists(at(deep + "/" + std::string(30, 'T') + ".DAT")));
  EXPECT_TRUE(exists(at(mid + "/MIDDLE.DAT")));
}

TEST_F(ConversionTest, AnEmptyCollectionPrintsNoConversionLines) {
  ASSERT_EQ(std::remove(at("documnts/qm_sids.txt").c_str()), 0);
  ASSERT_EQ(rmdir(at("documnts").c_str()), 0);
  ASSERT_EQ(rmdir(at("PELKORA").c_str()), 0);
  const auto run = this->run("y\ny\ny\n");
  EXPECT_TRUE(with_time_masked(run.out).ends_with("before continuing.\nDo you wish to continue? > " + kTail));
  EXPECT_EQ(tree(), std::vector<std::string>{});
}

}  // namespace

namespace {

class MoveFailureTest : public ConversionTest {
 protected:
  // A folder holding a "mv" that only fails, for PATH.
  std::string failing_mv() {
    const std::string bin = tmp_.path() + "/bin";
    test::write_file(bin + "/mv", "#!/bin/sh\necho \"mv: cannot move $3\" >&2\nexit 1\n");
    chmod((bin + "/mv").c_str(), 0755);
    return bin;
  }
};

TEST_F(MoveFailureTest, MovesThatFailAreLoggedAndCounted) {
  struct Case {
    const char* name;
    std::string path;  // PATH of the run
  } cases[] = {
      {"no mv on PATH", tmp_.path() + "/nowhere"},
      {"mv fails", failing_mv()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    write_tune(at("games/a-f/NIGHTHAR.DAT"), "Night Harbour");
    test::RunOptions options;
    options.path = c.path;
    const auto run = this->run("y\n", options);
    EXPECT_EQ(run.status, 0);
    // Every directory stays; the tunes are converted where they are.
    EXPECT_TRUE(exists(at("games/a-f/Night_Harbour.sid")));
    // The subdirectory's row finds it below the unmoved parent.
    EXPECT_EQ(read_file(at("tuvo_2.err")),
              "Unmoved Directory? : ./documnts\n"
              "Unmoved Directory? : ./games\n"
              "Unmoved Directory? : ./games/a-f\n"
              "Unmoved Directory? : ./PELKORA\n");
    EXPECT_TRUE(with_time_masked(run.out).ends_with(
        "\nConversion time = T seconds\n\n4 errors detected.  Check the tuvo_2.err file for details.\n"))
        << run.out;
    std::remove(at("games/a-f/Night_Harbour.sid").c_str());
  }
}

TEST_F(MoveFailureTest, ADirectoryIsNeverMovedIntoOneOfItsNewName) {
  write_tune(at("possgett/ROCKNROL.DAT"), "Rock'n'Roll Tune");
  test::make_dirs(at("DOCUMENTS"));         // made by hand, say
  test::write_file(at("Possgett_Vilde"), "a file under a composer's new name");
  const auto run = this->run("y\ny\n");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out.find("'./documnts' ->"), std::string::npos);
  EXPECT_TRUE(exists(at("documnts/qm_sids.txt")));
  EXPECT_EQ(test::list_tree(at("DOCUMENTS")), std::vector<std::string>{});
  EXPECT_EQ(read_file(at("Possgett_Vilde")), "a file under a composer's new name");
  EXPECT_TRUE(exists(at("possgett/Rock_n_Roll_Tune.sid")));
  EXPECT_EQ(read_file(at("tuvo_2.err")),
            "Unmoved Directory? : ./documnts\n"
            "Unmoved Directory? : ./possgett\n");
}

// mv exits 1 when it cannot print the move it made: what is on disk
// decides, and no directory that moved is logged as unmoved.
TEST_F(ConversionTest, AFullStandardOutputStillMovesAndLogsNoMove) {
  lay_out_small_collection();
  test::RunOptions options;
  options.stdout_full = true;
  const auto run = this->run("y\n", options);
  EXPECT_EQ(run.status, 0) << run.err;
  for (const char* dir : {"DEMOS/UNKNOWN", "DOCUMENTS", "GAMES/A-F", "GAMES/S-Z", "VARIOUS"}) {
    EXPECT_TRUE(test::exists(at(dir))) << dir;
  }
  EXPECT_FALSE(exists(at("tuvo_2.err"))) << read_file(at("tuvo_2.err"));
  EXPECT_TRUE(exists(at("GAMES/A-F/Night_Harbour.sid")));
}

TEST_F(ConversionTest, AClosedStandardOutputKeepsTheLogClean) {
  lay_out_small_collection();
  test::write_file(at("games/a-f/TWICE.DAT"), psid_file("Night Harbour", 10));  // one error
  test::RunOptions closed;
  closed.stdout_closed = true;
  const auto run = this->run("y\n", closed);
  EXPECT_EQ(run.status, 0);
  const std::string log = read_file(at("tuvo_2.err"));
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
  EXPECT_TRUE(log.starts_with("Duplicate File? : ./GAMES/A-F/")) << log;
  EXPECT_TRUE(exists(at("VARIOUS/Jusk/OLDIES/Oldie.sid")));
}

}  // namespace
