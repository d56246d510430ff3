// What the conversion's phases work through, handed to each of them: the
// file system they read and change, the journal told of each change just
// before it is made, and the reporter of what is printed and logged. A
// driver makes one (the run's acts on the disk and keeps the undo record;
// the preview's and the undo's preview only tell), and nothing reaches
// these through anything else.
#ifndef TUVO_FSUTIL_CONTEXT_H_
#define TUVO_FSUTIL_CONTEXT_H_

#include "fsutil/filesystem.h"
#include "fsutil/journal.h"
#include "report/report.h"

struct Context {
  FileSystem& fs;
  ChangeJournal& journal;
  Reporter& report;
};

#endif  // TUVO_FSUTIL_CONTEXT_H_
