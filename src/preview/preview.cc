// The preview's driver: the run's own phases against a file system that
// only tells.
#include "preview/preview.h"

#include <cstring>
#include <iostream>

#include "fsutil/context.h"
#include "preview/plan.h"
#include "preview/preview_filesystem.h"
#include "record/record.h"
#include "run/run.h"

namespace {

// The warnings of a plain run, as notes: the run would ask about each.
void note_preflight(const Preflight& found, PlanPrinter& printer) {
  if (found.main_directory_missing) {
    printer.note("the directory above is not named c64music: the run would warn that it may not be "
                 "in the collection's main directory, and ask whether to go on");
  }
  if (found.marker_missing) {
    printer.note("there is no PELKORA directory here: the run would warn that it may not be in the "
                 "collection's main directory, and ask whether to go on");
  }
  if (found.not_release_1_6) {
    printer.note("line 5 of documnts/qm_sids.txt does not name release 1.6: the run would warn, and "
                 "ask whether to go on");
  } else if (found.document_missing) {
    printer.note("documnts/qm_sids.txt was not found: the run would warn, and ask whether to go on");
  }
}

}  // namespace

int run_preview(PlanFormat format) {
  if (collection_is_busy()) {
    std::cerr << "tuvo_2: a run is converting this collection; preview it when it has finished\n";
    return 1;
  }
  const std::unique_ptr<PlanPrinter> printer = make_plan_printer(format);
  PreviewFileSystem preview(*printer);
  // Tunes a stopped run left in hand are finished by the next run, from the
  // record: the preview foresees it.
  const std::unique_ptr<ChangeJournal> record = foresee_from_record(preview);
  const Context ctx{preview, *record, preview};

  note_preflight(check_collection(preview), *printer);
  // The run's phases, in the run's order; nothing is logged to a file.
  char path[kPathBufferSize];
  rename_directories(ctx);
  std::strcpy(path, ".");
  walk_tree(ctx, path);
  rewrite_release_line(ctx, path);

  PlanCounts counts = preview.counts();
  counts.other_files = preview.files_listed() - counts.converted - counts.refused;
  printer->summary(counts);
  return 0;
}
