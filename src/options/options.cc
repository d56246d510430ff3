// Parsing the command line, and the texts that describe it.
#include "options/options.h"

#include <getopt.h>

#ifndef TUVO_VERSION
#error "TUVO_VERSION is set by the build"
#endif

namespace {

// Values getopt_long returns for options without a short form.
enum LongOnly : int { kVersionOption = 256, kPreviewOption, kJsonOption, kUndoOption };

const option kLongOptions[] = {
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, kVersionOption},
    {"preview", no_argument, nullptr, kPreviewOption},
    {"json", no_argument, nullptr, kJsonOption},
    {"undo", no_argument, nullptr, kUndoOption},
    {nullptr, 0, nullptr, 0},
};

}  // namespace

const char kUsageText[] =
    "Usage: tuvo_2 [--preview [--json] | --undo [--preview] | --help | --version]\n"
    "Run it in the main directory of a release 1.6 collection; 'tuvo_2 --help' tells more.\n";

const char kHelpText[] =
    "Usage: tuvo_2 [--preview [--json] | --undo [--preview] | --help | --version]\n"
    "\n"
    "Converts a collection of C64 SID tunes from its release 1.6 layout (8.3 names)\n"
    "to the release 2.0 layout: directories get their long names, every tune (a PSID\n"
    "file whose path holds \".dat\") is replaced by a copy named after the title in\n"
    "its header, and line 5 of DOCUMENTS/QM_SIDS.TXT names release 2.0.\n"
    "\n"
    "Run it in the collection's main directory (normally c64music); it asks before\n"
    "it starts and changes the collection in place. New files are private to you\n"
    "(mode 0600) and carry the time of the conversion.\n"
    "\n"
    "      --preview  print what a run would do, in order, and change nothing\n"
    "      --json     with --preview: the plan as JSON Lines, for scripts\n"
    "      --undo     restore the collection as it was before every run\n"
    "  -h, --help     print this help        --version  print the version\n"
    "\n"
    "Files in the main directory: tuvo_2.err lists what could not be converted;\n"
    "tuvo_2.undo records every change, for --undo. Delete it to make the\n"
    "conversion final.\n"
    "\n"
    "Exit status: 0 when the conversion ran (its summary counts the errors) or you\n"
    "declined; 1 when another run holds the collection, or an undo left something;\n"
    "2 on a usage error, or --undo without a record. See tuvo_2(1).\n";

std::string version_text() { return std::string("tuvo_2 ") + TUVO_VERSION + "\n"; }

bool parse_options(int argc, char** argv, Options& options, std::string& error) {
  options = Options{};
  // Messages are ours, one line each; getopt keeps quiet. '+' stops at the
  // first argument that is not an option instead of reordering argv.
  opterr = 0;
  optind = 0;  // restarts the scan, also for a second call
  for (;;) {
    const int c = getopt_long(argc, argv, "+:h", kLongOptions, nullptr);
    if (c == -1) break;
    switch (c) {
      case 'h':
        options.help = true;
        break;
      case kVersionOption:
        options.version = true;
        break;
      case kPreviewOption:
        options.preview = true;
        break;
      case kJsonOption:
        options.json = true;
        break;
      case kUndoOption:
        options.undo = true;
        break;
      case ':':
        error = std::string("option '") + argv[optind - 1] + "' needs a value";
        return false;
      default: {
        // A long option is named by its whole argument; a short one by
        // optopt, as it may stand in a group such as -hx.
        const std::string arg = argv[optind - 1];
        if (!arg.starts_with("--")) {
          error = std::string("unknown option '-") + static_cast<char>(optopt) + "'";
        } else if (const std::size_t eq = arg.find('='); eq != std::string::npos && optopt != 0) {
          error = "option '" + arg.substr(0, eq) + "' takes no value";
        } else {
          error = "unknown option '" + arg + "'";
        }
        return false;
      }
    }
  }
  if (optind < argc) {
    error = std::string("unexpected argument '") + argv[optind] + "'";
    return false;
  }
  if (options.json && (!options.preview || options.undo)) {
    error = "option '--json' goes with '--preview' alone";
    return false;
  }
  return true;
}
