// What the end-to-end tests compare.
#include "support/checks.h"

#include <sys/stat.h>

#include <filesystem>
#include <set>
#include <sstream>

namespace test {

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    const std::size_t asked = line.rfind("? > ");
    lines.push_back(asked == std::string::npos ? line : line.substr(asked + 4));
  }
  return lines;
}

namespace {

// Where |path|, named as it is after the planned |moves| (pairs of from,
// to as mv gets them), is before them.
std::string before_moves(std::string path, const std::vector<std::pair<std::string, std::string>>& moves) {
  for (auto it = moves.rbegin(); it != moves.rend(); ++it) {
    const std::string to = "./" + it->second;
    if (path.starts_with(to + "/")) path = it->first + path.substr(to.size());
  }
  return path;
}

}  // namespace

std::string bytes_of(const nlohmann::json& step, const std::string& key) {
  const auto hex = step.find(key + "_hex");
  if (hex == step.end()) return step.value(key, "");
  std::string bytes;
  const std::string digits = *hex;
  for (std::size_t i = 0; i + 1 < digits.size(); i += 2) {
    bytes += static_cast<char>(std::stoi(digits.substr(i, 2), nullptr, 16));
  }
  return bytes;
}

std::vector<nlohmann::json> steps_of(const std::string& out) {
  std::vector<nlohmann::json> steps;
  for (const std::string& line : lines_of(out)) steps.push_back(nlohmann::json::parse(line));
  return steps;
}

void expect_plan_is_what_the_run_does(const std::string& root, const RunOptions& options) {
  const auto at = [&root](const std::string& relative) { return root + "/" + relative; };
  RunOptions preview = options;
  preview.args = {"--preview", "--json"};
  const std::string before = snapshot(root);
  const RunResult plan_run = run_tuvo(root, "", preview);
  ASSERT_EQ(plan_run.status, 0) << plan_run.err;
  EXPECT_EQ(plan_run.err, "");
  EXPECT_EQ(snapshot(root), before) << "the preview changed the collection";
  const std::vector<nlohmann::json> plan = steps_of(plan_run.out);
  ASSERT_FALSE(plan.empty());
  ASSERT_EQ(plan.back()["action"], "summary");

  std::vector<std::string> moves;
  std::vector<std::pair<std::string, std::string>> move_pairs;
  std::map<std::string, std::string> converts;  // from -> to
  std::multiset<std::string> log;
  std::map<std::string, std::string> tune_bytes;  // from -> bytes, read now
  std::string document;
  for (const nlohmann::json& step : plan) {
    const std::string action = step["action"];
    if (action == "move") {
      moves.push_back(mv_line(bytes_of(step, "from"), bytes_of(step, "to")));
      move_pairs.emplace_back(bytes_of(step, "from"), bytes_of(step, "to"));
    }
    if (action == "convert") {
      const std::string from = bytes_of(step, "from");
      converts[from] = bytes_of(step, "to");
      // A tune the run copied into a directory before the walk listed it
      // holds the bytes of the tune it was copied from.
      std::string copied_from;
      for (const auto& [earlier, to] : converts) {
        if (to == from) copied_from = earlier;
      }
      tune_bytes[from] = copied_from.empty() ? read_file(at(before_moves(from, move_pairs))) : tune_bytes[copied_from];
    }
    if (step.contains("log")) log.insert(bytes_of(step, "log"));
    if (action == "document") document = bytes_of(step, "from");
  }

  const RunResult done = run_tuvo(root, "y\ny\ny\ny\ny\n", options);
  ASSERT_EQ(done.status, 0) << done.err;
  std::vector<std::string> moved;
  std::set<std::string> written;
  for (const std::string& line : lines_of(done.out)) {
    if (line.starts_with("renamed '")) moved.push_back(line + "\n");
    if (line.starts_with("./") && line != document) written.insert(line);
  }
  EXPECT_EQ(moves, moved);
  std::set<std::string> planned_names;
  for (const auto& [from, to] : converts) {
    planned_names.insert(to);
    EXPECT_FALSE(exists(at(from))) << from << " was not converted";
    if (converts.count(to) != 0) continue;  // converted again, from the directory it was copied into
    EXPECT_TRUE(read_file(at(to)) == tune_bytes[from]) << from << " -> " << to << " does not hold its bytes";
  }
  EXPECT_EQ(planned_names, written);
  const std::string log_text = exists(at("tuvo_2.err")) ? read_file(at("tuvo_2.err")) : done.err;
  const std::vector<std::string> logged = lines_of(log_text);
  EXPECT_EQ(log, std::multiset<std::string>(logged.begin(), logged.end()));
  const nlohmann::json& summary = plan.back();
  EXPECT_EQ(summary["errors"], logged.size());
  EXPECT_EQ(summary["moves"], moves.size());
  EXPECT_EQ(summary["converted"], converts.size());
  if (logged.empty()) {
    EXPECT_TRUE(done.out.ends_with(kSuccess));
  } else {
    EXPECT_NE(done.out.find("\n" + std::to_string(logged.size()) + " errors detected."), std::string::npos);
  }
}

std::map<std::string, std::string> tree_state(const std::string& dir) {
  namespace fs = std::filesystem;
  std::map<std::string, std::string> state;
  for (auto it = fs::recursive_directory_iterator(dir); it != fs::recursive_directory_iterator(); ++it) {
    const std::string path = fs::relative(it->path(), dir).string();
    struct stat st;
    if (lstat(it->path().c_str(), &st) != 0) continue;
    std::ostringstream s;
    s << std::oct << (st.st_mode & 07777) << std::dec;
    if (S_ISREG(st.st_mode)) {
      s << " file " << st.st_mtim.tv_sec << '.' << st.st_mtim.tv_nsec << ' ' << std::hash<std::string>{}(read_file(it->path().string()));
    } else if (S_ISDIR(st.st_mode)) {
      s << " dir";
    } else if (S_ISLNK(st.st_mode)) {
      s << " link " << fs::read_symlink(it->path()).string();
    }
    state[path] = s.str();
  }
  return state;
}

std::string differences(const std::map<std::string, std::string>& want, const std::map<std::string, std::string>& got) {
  std::string out;
  int shown = 0;
  for (const auto& [path, s] : want) {
    const auto it = got.find(path);
    if (it == got.end() || it->second != s) {
      out += "  " + path + ": " + s + " -> " + (it == got.end() ? "(missing)" : it->second) + "\n";
      if (++shown == 10) return out;
    }
  }
  for (const auto& [path, s] : got) {
    if (!want.count(path)) {
      out += "  " + path + ": (new) " + s + "\n";
      if (++shown == 10) return out;
    }
  }
  return out;
}

}  // namespace test
