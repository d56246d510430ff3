// The built-in directory rename table: its form, so the data cannot drift.
#include <cctype>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "run/run.h"
#include "support/collection.h"

namespace {

struct Row {
  std::string old_path;
  std::string new_path;
  int number;  // from 1, in table order
};

std::vector<Row> table_rows() {
  std::vector<Row> rows;
  const char* const* entry = kDirectoryRenames;
  for (int n = 1; entry[0] != nullptr; entry += 2, ++n) {
    EXPECT_NE(entry[1], nullptr) << "row " << n << " has no new path";
    if (entry[1] == nullptr) break;
    rows.push_back({entry[0], entry[1], n});
  }
  return rows;
}

std::string upper(std::string s) {
  for (char& c : s) c = (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c;
  return s;
}
std::string last_component(const std::string& path) { return path.substr(path.rfind('\\') + 1); }
std::string parent_of(const std::string& path) {
  const auto sep = path.rfind('\\');
  return sep == std::string::npos ? "" : path.substr(0, sep);
}
// The name a case-only rename passes through on its way.
std::string intermediate_of(const std::string& path) {
  std::string last = last_component(path);
  if (last.size() < 8) {
    last += '_';
  } else {
    last[7] = '_';
  }
  const std::string parent = parent_of(path);
  return parent.empty() ? last : parent + "\\" + last;
}

// The table read as moves: a two-move rename takes two rows, a one-move
// rename one.
struct Move {
  Row first;
  bool two_rows;
  std::string final_path() const { return first.new_path; }
};

TEST(DirectoryRenames, HasItsRowsInTheirForm) {
  const std::vector<Row> rows = table_rows();
  ASSERT_EQ(rows.size(), 286u);

  std::vector<Move> moves;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const Row& r = rows[i];
    SCOPED_TRACE("row " + std::to_string(r.number) + ": " + r.old_path + " -> " + r.new_path);
    for (const std::string* p : {&r.old_path, &r.new_path}) {
      for (char c : *p) {
        EXPECT_TRUE(std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '\\');
      }
      EXPECT_NE(p->front(), '-');
      EXPECT_NE(p->front(), '\\');
    }
    EXPECT_LE(last_component(r.new_path).size(), 20u);

    const bool case_only = i + 1 < rows.size() && rows[i + 1].old_path == r.new_path &&
                           upper(rows[i + 1].new_path) == upper(r.old_path);
    if (case_only) {
      const Row& second = rows[i + 1];
      EXPECT_EQ(r.new_path, intermediate_of(second.new_path));
      EXPECT_NE(upper(r.new_path), upper(r.old_path));
      EXPECT_EQ(parent_of(r.old_path), parent_of(second.new_path));
      moves.push_back({{r.old_path, second.new_path, r.number}, true});
      ++i;
    } else {
      EXPECT_NE(upper(r.old_path), upper(r.new_path)) << "a one-row move must change more than case";
      EXPECT_EQ(parent_of(r.old_path), parent_of(r.new_path));
      moves.push_back({r, false});
    }
  }

  int two_row = 0, one_row = 0, subdirectory_rows = 0;
  for (const Move& m : moves) {
    (m.two_rows ? two_row : one_row) += 1;
    if (!parent_of(m.first.old_path).empty()) subdirectory_rows += m.two_rows ? 2 : 1;
  }
  EXPECT_EQ(one_row, 82);
  EXPECT_EQ(two_row, 102);
  EXPECT_EQ(subdirectory_rows, 42);
}

TEST(DirectoryRenames, RunsRootThenVariousThenInsideVarious) {
  const std::vector<Row> rows = table_rows();
  ASSERT_EQ(rows.size(), 286u);
  EXPECT_EQ(rows[107].old_path, "various");
  EXPECT_EQ(rows[107].new_path, "VARIOUS_");
  EXPECT_EQ(rows[108].old_path, "VARIOUS_");
  EXPECT_EQ(rows[108].new_path, "VARIOUS");
  for (const Row& r : rows) {
    if (r.number < 108) {
      EXPECT_EQ(r.old_path.find("VARIOUS"), std::string::npos) << r.number;
    }
  }

  // The category directories, exactly.
  const std::vector<std::pair<std::string, std::string>> categories = {
      {"demos", "DEMOS_"},           {"DEMOS_", "DEMOS"},
      {"DEMOS\\unknown", "DEMOS\\UNKNOWN_"}, {"DEMOS\\UNKNOWN_", "DEMOS\\UNKNOWN"},
      {"documnts", "DOCUMENTS"},     {"games", "GAMES_"},
      {"GAMES_", "GAMES"},           {"GAMES\\a-f", "GAMES\\A-F_"},
      {"GAMES\\A-F_", "GAMES\\A-F"}, {"GAMES\\g-l", "GAMES\\G-L_"},
      {"GAMES\\G-L_", "GAMES\\G-L"}, {"GAMES\\m-r", "GAMES\\M-R_"},
      {"GAMES\\M-R_", "GAMES\\M-R"}, {"GAMES\\s-z", "GAMES\\S-Z_"},
      {"GAMES\\S-Z_", "GAMES\\S-Z"},
  };
  for (const auto& [old_path, new_path] : categories) {
    int found = 0;
    for (const Row& r : rows) found += r.number < 108 && r.old_path == old_path && r.new_path == new_path;
    EXPECT_EQ(found, 1) << old_path << " -> " << new_path;
  }

  // Each subdirectory follows its parent's rows in its own part of the
  // table, and its parent is named by its new name.
  std::set<std::string> root_done, various_done;
  std::map<std::string, std::vector<std::string>> spellings;  // new name -> old names
  for (const Row& r : rows) {
    std::set<std::string>& done = r.number <= 109 ? root_done : various_done;
    const std::string parent = parent_of(r.old_path);
    if (!parent.empty()) {
      EXPECT_TRUE(done.count(parent)) << "row " << r.number << " comes before its parent " << parent;
    } else if (r.number < 108 && upper(r.new_path) != upper(r.old_path + "_")) {
      spellings[r.new_path].push_back(r.old_path);
    }
    done.insert(r.new_path);
  }

  // PELKORA, the marker directory, is one of the root rows.
  int marker = 0;
  for (const Row& r : rows) marker += r.number < 108 && upper(r.old_path) == "PELKORA";
  EXPECT_EQ(marker, 1);

  // One directory has two old spellings, of 9 and 8 characters.
  int pairs = 0;
  for (const auto& [new_name, olds] : spellings) {
    if (olds.size() < 2) continue;
    ++pairs;
    ASSERT_EQ(olds.size(), 2u) << new_name;
    EXPECT_EQ(olds[0].size(), 9u) << new_name;
    EXPECT_EQ(olds[1].size(), 8u) << new_name;
  }
  EXPECT_EQ(pairs, 1);
}

}  // namespace
