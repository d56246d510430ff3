// The command line: which options tuvo_2 takes, and the texts that describe
// them (usage, help, version).
#ifndef TUVO_OPTIONS_OPTIONS_H_
#define TUVO_OPTIONS_OPTIONS_H_

#include <string>

// What the command line asks for. With no arguments, all are false and the
// program runs the interactive conversion exactly as it always has.
struct Options {
  bool help = false;     // -h, --help: print kHelpText, change nothing
  bool version = false;  // --version: print the version line, change nothing
  bool preview = false;  // --preview: print what a run would do, change nothing
  bool json = false;     // --json, with --preview: the plan as JSON Lines
  bool undo = false;     // --undo: restore the collection from tuvo_2.undo
};

// Exit status of a command line that cannot be understood.
inline constexpr int kExitUsage = 2;

// Reads |argv| (|argc| entries, the program's name first) with getopt_long.
// On success fills |options| and returns true. Returns false for an option
// it does not know, a missing or unexpected option value, --json without
// --preview or with --undo, or any argument that is not an option; |error| then holds a one-line message without
// the program's name or a newline, for example "unknown option '--frob'".
bool parse_options(int argc, char** argv, Options& options, std::string& error);

// One line naming the program and its version, ending in a newline.
std::string version_text();

// The synopsis and a pointer to --help, printed after a usage error.
extern const char kUsageText[];

// What --help prints: what the tool does, where to run it, the options, the
// files it writes and the exit statuses; at most one screen.
extern const char kHelpText[];

#endif  // TUVO_OPTIONS_OPTIONS_H_
