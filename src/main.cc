// Entry of tuvo_2: reads the command line, then converts the collection in
// the current directory.
#include <iostream>
#include <string>

#include "options/options.h"
#include "preview/preview.h"
#include "run/run.h"
#include "undo/undo.h"

int main(int argc, char** argv) {
  open_standard_streams();
  Options options;
  std::string error;
  if (!parse_options(argc, argv, options, error)) {
    std::cerr << "tuvo_2: " << error << '\n' << kUsageText;
    return kExitUsage;
  }
  if (options.help) {
    std::cout << kHelpText;
    return 0;
  }
  if (options.version) {
    std::cout << version_text();
    return 0;
  }
  if (options.undo) return run_undo(options.preview);
  if (options.preview) return run_preview(options.json ? PlanFormat::Json : PlanFormat::Text);
  return run_conversion();
}
