// What the end-to-end tests compare: the preview's plan against the run
// that follows it, and a collection's state before and after.
#ifndef TUVO_TESTS_SUPPORT_CHECKS_H_
#define TUVO_TESTS_SUPPORT_CHECKS_H_

#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "support/collection.h"

namespace test {

// The lines of |text|; what follows a question on its line (the run's
// output goes on after "> ") counts as a line of its own.
std::vector<std::string> lines_of(const std::string& text);

// The steps of a JSON plan, one per line.
std::vector<nlohmann::json> steps_of(const std::string& out);

// The exact bytes of the path (or log line) |key| of a plan's |step|: its
// text, or where that is not the bytes, what |key|_hex holds.
std::string bytes_of(const nlohmann::json& step, const std::string& key);

// Previews the collection at |root|, then converts it, and checks that the
// plan is what the run did: the same moves in the same order, the same
// tunes converted to the same names (with their own bytes), the same log
// lines and error count, and that the preview changed nothing.
void expect_plan_is_what_the_run_does(const std::string& root, const RunOptions& options = {});

// Every path below |dir|; for a file its mode, modification time and bytes,
// for a directory its mode (directory times are not kept), for a link its
// target.
std::map<std::string, std::string> tree_state(const std::string& dir);

// The first differences of two states, for a failure message.
std::string differences(const std::map<std::string, std::string>& want, const std::map<std::string, std::string>& got);

}  // namespace test

#endif  // TUVO_TESTS_SUPPORT_CHECKS_H_
