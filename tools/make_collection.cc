// make_collection: writes a release 1.6 collection for demonstrations, tests
// and benchmarks, the same for the same seed.
//
//   make_collection DIR [--tunes=N] [--seed=S] [--duplicates=P]
//
// DIR becomes the collection's main directory. It holds every old directory
// of the rename table in its release 1.6 spelling, the document with
// "release 1.6" on line 5, N tunes (default 1000, at most 100000) as 8.3
// upper-case ".DAT" PSID files of 1 to 20 KB spread over the directories, and
// a few files that are not tunes (RSID files, text files, a PSID file whose
// path holds no ".dat"). About P percent of the tunes (default 3) take a title
// that their directory already has.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "run/run.h"

namespace {

constexpr int kDefaultTunes = 1000;
constexpr int kMaxTunes = 100000;
constexpr std::size_t kMinTuneSize = 1024;
constexpr std::size_t kMaxTuneSize = 20 * 1024;
constexpr std::size_t kHeaderSize = 0x7c;  // a version 2 PSID header
constexpr std::size_t kTextFieldSize = 32;

const char* const kWords[] = {
    "Night",  "Harbour", "Lamp",   "Sea",    "Song",   "Wave",   "Dream",  "Rock",   "Roll",
    "Salt",   "Pepper",  "Down",   "Under",  "Mix",    "Ending", "Fjord",  "Blue",   "Red",
    "Storm",  "Cavern",  "Runner", "Quest",  "Tower",  "Shadow", "Pixel",  "Sprite", "Raster",
    "Comet",  "Garden",  "Frost",  "Ember",  "Signal", "Echo",   "Drift",  "Orbit",  "Puzzle",
    "Lagoon", "Meadow",  "Cobalt", "Velvet", "Zephyr", "Nomad",  "Glacier", "Tango", "Waltz",
    "Boogie", "Reel",    "Jig",    "March",  "Theme",  "Intro",  "Outro",  "Level",  "Boss",
    "Arcade", "Galaxy",  "Forest", "Desert", "Canyon", "River",  "Castle", "Dungeon", "Ghost",
};
const char* const kLatin1Words[] = {
    "\xC4rger", "\xDC" "ber", "\xD8l", "Stra\xDF" "e", "\xC9lan", "K\xF6nig", "M\xFC" "hle",
    "Bl\xE5", "\xC6" "ble", "Sm\xF8r", "Caf\xE9", "\xE5r",
};
const char* const kFirstNames[] = {"Tove", "Ebbe", "Lasse", "Mirja", "Jorn", "Vilde", "Arvo", "Henna"};
const char* const kSurnames[] = {"Possgett", "Brannvik", "Halvorsen", "Skarnvik", "Tamsen", "Orvik"};

struct Options {
  std::string dir;
  int tunes = kDefaultTunes;
  unsigned seed = 1;
  int duplicates = 3;  // percent
};

[[noreturn]] void usage(const char* why) {
  std::cerr << "make_collection: " << why << "\n"
            << "usage: make_collection DIR [--tunes=N] [--seed=S] [--duplicates=PERCENT]   (N from 0 to "
            << kMaxTunes << ")\n";
  std::exit(2);
}

Options parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg.starts_with("--tunes=")) {
      o.tunes = std::atoi(argv[i] + 8);
      if (o.tunes < 0 || o.tunes > kMaxTunes) usage("bad number of tunes");
    } else if (arg.starts_with("--duplicates=")) {
      o.duplicates = std::atoi(argv[i] + 13);
      if (o.duplicates < 0 || o.duplicates > 100) usage("bad percentage of duplicates");
    } else if (arg.starts_with("--seed=")) {
      o.seed = static_cast<unsigned>(std::strtoul(argv[i] + 7, nullptr, 10));
    } else if (arg.starts_with("-") || !o.dir.empty()) {
      usage("unknown argument");
    } else {
      o.dir = arg;
    }
  }
  if (o.dir.empty()) usage("no directory given");
  return o;
}

void make_dirs(const std::string& path) {
  for (std::size_t pos = 1; pos <= path.size(); ++pos) {
    if (pos == path.size() || path[pos] == '/') {
      const std::string part = path.substr(0, pos);
      if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
        std::perror(part.c_str());
        std::exit(1);
      }
    }
  }
}

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) {
    std::perror(path.c_str());
    std::exit(1);
  }
}

std::string last_component(const std::string& path) { return path.substr(path.rfind('\\') + 1); }
std::string parent_of(const std::string& path) {
  const auto sep = path.rfind('\\');
  return sep == std::string::npos ? "" : path.substr(0, sep);
}

// The release 1.6 paths of the table's directories, relative to the root,
// in table order: each parent before its children. Of two old spellings of
// one directory only the first is made.
std::vector<std::string> old_directories() {
  std::vector<std::string> dirs;
  std::map<std::string, std::string> root_scope, various_scope;  // new name -> 1.6 path
  bool in_various = false;
  const char* previous_new = "";
  for (const char* const* row = kDirectoryRenames; row[0] != nullptr; row += 2) {
    const std::string old_name = row[0], new_name = row[1];
    std::map<std::string, std::string>& scope = in_various ? various_scope : root_scope;
    const std::string prefix = in_various ? root_scope.at("VARIOUS") + "/" : "";
    if (!in_various && old_name == "VARIOUS_") in_various = true;
    if (old_name == previous_new) {
      // The second row of a case-only rename: the same directory.
      scope[new_name] = scope.at(old_name);
    } else if (!scope.count(new_name)) {
      const std::string parent = parent_of(old_name);
      const std::string path = (parent.empty() ? "" : scope.at(parent) + "/") + last_component(old_name);
      scope[new_name] = path;
      dirs.push_back(prefix + path);
    }
    previous_new = row[1];
  }
  return dirs;
}

std::string document() {
  return "Quormel SID Collection\n"
         "======================\n"
         "\n"
         "Tunes for the SID sound chip of the Commodore 64, in PSID files.\n"
         "                                   release 1.6\n"
         "\n"
         "Directories: DEMOS, DOCUMNTS, GAMES, VARIOUS and one directory per composer\n"
         "or group. Every file has an MS-DOS 8.3 name.\n"
         "\n"
         "This sample collection was generated for trying out the conversion tool.\n";
}

class Generator {
 public:
  explicit Generator(unsigned seed) : rng_(seed) {}

  std::size_t pick(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_); }
  bool chance(double p) { return std::bernoulli_distribution(p)(rng_); }
  const char* word() { return kWords[pick(std::size(kWords))]; }

  // A title that exercises one of the naming rules.
  std::string title() {
    const std::size_t kind = pick(100);
    std::string t;
    if (kind < 40) {
      t = word();
      for (std::size_t i = pick(3); i > 0; --i) t += std::string(" ") + word();
    } else if (kind < 48) {
      t = std::string(chance(0.5) ? "The " : "THE ") + word() + " " + word();
    } else if (kind < 54) {
      const char* forms[] = {"Don't Stop", "Rock'n'Roll", "It's Late", "'Tis Over", "Jimmy's Theme"};
      t = std::string(forms[pick(std::size(forms))]) + " " + word();
    } else if (kind < 60) {
      t = std::string(word()) + (chance(0.5) ? " & " : "&") + word();
    } else if (kind < 65) {
      t = std::string(word()) + (chance(0.5) ? " - " : "-") + word();
    } else if (kind < 69) {
      t = std::string(word()) + (chance(0.5) ? "+" : "++ ");
    } else if (kind < 75) {
      t = std::string(word()) + " TIME: " + std::to_string(1 + pick(9)) + ":" + std::to_string(10 + pick(50));
    } else if (kind < 81) {
      t = std::string(chance(0.5) ? kLatin1Words[pick(std::size(kLatin1Words))] : word()) + " " +
          kLatin1Words[pick(std::size(kLatin1Words))];
    } else if (kind < 85) {
      while (t.size() < 28) t += std::string(word()) + " ";  // too long for a name
      t.pop_back();
    } else if (kind < 88) {
      const char* none[] = {"####", "...", "***!!!", "", "(c)"};
      t = none[pick(std::size(none))];
    } else {
      t = std::string(word()) + " " + std::to_string(1 + pick(99));
    }
    if (t.size() > kTextFieldSize) t.resize(kTextFieldSize);
    return t;
  }

  std::string psid(const char* magic, const std::string& title) {
    std::string bytes(kHeaderSize, '\0');
    bytes.replace(0, 4, magic);
    bytes[5] = 2;                                 // version
    bytes[7] = static_cast<char>(kHeaderSize);    // data offset
    bytes[0x0b] = 0x10;                           // init $1000
    bytes[0x0d] = 0x10;                           // play $1003
    bytes[0x0c] = 0x03;
    bytes[0x0f] = static_cast<char>(1 + pick(8));  // songs
    bytes[0x11] = 1;                              // start song
    bytes.replace(0x16, title.size(), title);
    const std::string author = std::string(kFirstNames[pick(std::size(kFirstNames))]) + " " +
                               kSurnames[pick(std::size(kSurnames))];
    bytes.replace(0x36, author.size(), author);
    const std::string released = std::to_string(1984 + pick(14)) + " Quormel";
    bytes.replace(0x56, released.size(), released);
    const std::size_t size = kMinTuneSize + pick(kMaxTuneSize - kMinTuneSize + 1);
    bytes += '\0';  // load address $1000, little endian
    bytes += '\x10';
    while (bytes.size() < size) bytes += static_cast<char>(rng_());
    return bytes;
  }

 private:
  std::mt19937 rng_;
};

// An 8.3 base name from |title|, unique (in any case) in |taken|.
std::string short_name(const std::string& title, std::set<std::string>& taken) {
  std::string base;
  for (char c : title) {
    if (std::isalnum(static_cast<unsigned char>(c)) && static_cast<unsigned char>(c) < 128 && base.size() < 8) {
      base += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
  }
  if (base.empty()) base = "TUNE";
  std::string name = base;
  for (int k = 1; taken.count(name); ++k) {
    const std::string n = std::to_string(k);
    name = base.substr(0, std::min(base.size(), 8 - n.size())) + n;
  }
  taken.insert(name);
  return name;
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = parse(argc, argv);
  Generator gen(options.seed);

  make_dirs(options.dir);
  const std::vector<std::string> dirs = old_directories();
  for (const std::string& d : dirs) make_dirs(options.dir + "/" + d);
  write_file(options.dir + "/documnts/qm_sids.txt", document());

  // Tunes go everywhere but the documents directory and the directories that
  // only hold other directories.
  std::vector<std::string> tune_dirs;
  for (const std::string& d : dirs) {
    if (d != "documnts" && d != "games" && d != "various") tune_dirs.push_back(d);
  }
  std::map<std::string, std::set<std::string>> taken;           // dir -> 8.3 names
  std::map<std::string, std::vector<std::string>> titles_in;    // dir -> titles

  for (int i = 0; i < options.tunes; ++i) {
    const std::string& dir = tune_dirs[gen.pick(tune_dirs.size())];
    std::vector<std::string>& titles = titles_in[dir];
    // Now and then a title that the directory already has.
    const bool duplicate = !titles.empty() && gen.chance(options.duplicates / 100.0);
    const std::string title = duplicate ? titles[gen.pick(titles.size())] : gen.title();
    titles.push_back(title);
    const std::string name = short_name(title, taken[dir]);
    write_file(options.dir + "/" + dir + "/" + name + ".DAT", gen.psid("PSID", title));
  }

  // Files that are not tunes.
  const int others = 3 + options.tunes / 200;
  for (int i = 0; i < others; ++i) {
    const std::string& dir = tune_dirs[gen.pick(tune_dirs.size())];
    const std::string title = gen.title();
    const std::string name = short_name(title, taken[dir]);
    switch (i % 3) {
      case 0:  // a real-time tune in the other format
        write_file(options.dir + "/" + dir + "/" + name + ".DAT", gen.psid("RSID", title));
        break;
      case 1:  // notes
        write_file(options.dir + "/" + dir + "/" + name + (gen.chance(0.5) ? ".TXT" : ".DAT"),
                   "Notes on " + title + "\n");
        break;
      case 2:  // a tune, but not named like one
        write_file(options.dir + "/" + dir + "/" + name + ".PSD", gen.psid("PSID", title));
        break;
    }
  }

  std::cout << "wrote " << options.tunes << " tunes and " << others << " other files in " << dirs.size()
            << " directories to " << options.dir << "\n";
  return 0;
}
