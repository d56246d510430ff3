// What a plain run without an undo record works through: the disk, a
// journal that keeps nothing, and the console.
#ifndef TUVO_TESTS_SUPPORT_CONTEXT_H_
#define TUVO_TESTS_SUPPORT_CONTEXT_H_

#include "fsutil/context.h"

namespace test {

struct DiskContext {
  RealFileSystem disk;
  NullJournal journal;
  ConsoleReporter console;
  Context ctx{disk, journal, console};
};

}  // namespace test

#endif  // TUVO_TESTS_SUPPORT_CONTEXT_H_
