// The command line: what is accepted, what is refused, and that neither
// --help, --version nor a refused command line touches the collection.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "options/options.h"
#include "support/collection.h"

namespace {

bool parse(std::vector<std::string> args, Options& options, std::string& error) {
  args.insert(args.begin(), "tuvo_2");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  return parse_options(static_cast<int>(args.size()), argv.data(), options, error);
}

TEST(ParseOptions, AcceptsWhatItKnowsAndNamesWhatItRefuses) {
  struct Case {
    std::vector<std::string> args;
    const char* error;  // nullptr when accepted
    bool help, version;
  } cases[] = {
      {{}, nullptr, false, false},  // the plain run
      {{"--help"}, nullptr, true, false},
      {{"-h"}, nullptr, true, false},
      {{"--version"}, nullptr, false, true},
      {{"--vers"}, nullptr, false, true},  // an unambiguous prefix, as getopt_long allows
      {{"--preview", "--json"}, nullptr, false, false},
      {{"--undo", "--preview"}, nullptr, false, false},
      {{"--json"}, "option '--json' goes with '--preview' alone", false, false},
      {{"--undo", "--preview", "--json"}, "option '--json' goes with '--preview' alone", false, false},
      {{"--frob"}, "unknown option '--frob'", false, false},
      {{"-x"}, "unknown option '-x'", false, false},
      {{"-hx"}, "unknown option '-x'", false, false},  // in a group of short options
      {{"--help=yes"}, "option '--help' takes no value", false, false},
      {{"c64music"}, "unexpected argument 'c64music'", false, false},
      {{"--", "--help"}, "unexpected argument '--help'", false, false},
      {{"-"}, "unexpected argument '-'", false, false},
  };
  for (const Case& c : cases) {
    const std::string name = c.args.empty() ? "(none)" : c.args[0];
    Options options;
    std::string error;
    const bool ok = parse(c.args, options, error);
    EXPECT_EQ(ok, c.error == nullptr) << name;
    if (c.error != nullptr) {
      EXPECT_EQ(error, c.error) << name;
    } else {
      EXPECT_EQ(options.help, c.help) << name;
      EXPECT_EQ(options.version, c.version) << name;
    }
  }
}

class CommandLineTest : public test::CollectionTest {};

TEST_F(CommandLineTest, InformationAndErrorsChangeNothing) {
  test::write_tune(at("games/a-f/NIGHTHAR.DAT"), "Night Harbour");
  const std::string usage = kUsageText;
  struct Case {
    std::vector<std::string> args;
    std::string out, err;
    int status;
  } cases[] = {
      {{"--help"}, kHelpText, "", 0},
      {{"-h"}, kHelpText, "", 0},
      {{"--version"}, version_text(), "", 0},
      {{"--convert-everything"}, "", "tuvo_2: unknown option '--convert-everything'\n" + usage, 2},
      {{"."}, "", "tuvo_2: unexpected argument '.'\n" + usage, 2},
  };
  const std::string before = test::snapshot(root_);
  for (const Case& c : cases) {
    test::RunOptions options;
    options.args = c.args;
    // Answers are there, should the program wrongly start the dialogue.
    const auto run = this->run("y\ny\ny\n", options);
    EXPECT_EQ(run.out, c.out) << c.args[0];
    EXPECT_EQ(run.err, c.err) << c.args[0];
    EXPECT_EQ(run.status, c.status) << c.args[0];
    EXPECT_EQ(test::snapshot(root_), before) << c.args[0];
  }
}

TEST(HelpText, FitsOneScreen) {
  const std::string help = kHelpText;
  EXPECT_LE(std::count(help.begin(), help.end(), '\n'), 24);
  std::size_t start = 0;
  for (std::size_t end; (end = help.find('\n', start)) != std::string::npos; start = end + 1) {
    EXPECT_LE(end - start, 80u) << help.substr(start, end - start);
  }
}

TEST(Install, PutsTheProgramAndItsManualPageUnderThePrefix) {
  test::TempDir prefix;
  const std::string command = std::string("'") + CMAKE_COMMAND + "' --install '" + TUVO_BUILD_DIR + "' --prefix '" +
                              prefix.path() + "' >/dev/null";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  EXPECT_EQ(test::list_tree(prefix.path()),
            (std::vector<std::string>{"bin/", "bin/tuvo_2", "share/", "share/man/", "share/man/man1/",
                                      "share/man/man1/tuvo_2.1"}));
  EXPECT_EQ(access((prefix.path() + "/bin/tuvo_2").c_str(), X_OK), 0);
  EXPECT_EQ(test::read_file(prefix.path() + "/share/man/man1/tuvo_2.1"), test::read_file(TUVO_MAN_PAGE));
  // The installed program is the one built.
  EXPECT_EQ(test::read_file(prefix.path() + "/bin/tuvo_2"), test::read_file(TUVO_2_BINARY));
}

TEST(ManualPage, RendersWithoutWarnings) {
  if (std::system("command -v groff >/dev/null 2>&1") != 0) GTEST_SKIP() << "groff is missing; the page is not rendered";
  test::TempDir out;
  const std::string command = std::string("groff -man -Tutf8 -ww -z '") + TUVO_MAN_PAGE + "' 2>'" + out.path() + "/warnings'";
  ASSERT_EQ(std::system(command.c_str()), 0);
  EXPECT_EQ(test::read_file(out.path() + "/warnings"), "");
  // The sections a reader looks for, in the usual order.
  const std::string page = test::read_file(TUVO_MAN_PAGE);
  std::size_t at = 0;
  for (const char* section : {"NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "FILES", "EXIT STATUS", "EXAMPLES", "SEE ALSO"}) {
    const std::size_t found = page.find(std::string(".SH ") + section + "\n", at);
    EXPECT_NE(found, std::string::npos) << section;
    if (found != std::string::npos) at = found;
  }
}

}  // namespace
