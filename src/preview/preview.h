// The preview: what a conversion of the collection in the current directory
// would do, told by the conversion's own code running against a file system
// that changes nothing.
#ifndef TUVO_PREVIEW_PREVIEW_H_
#define TUVO_PREVIEW_PREVIEW_H_

// How the plan is printed.
enum class PlanFormat {
  Text,  // one line per step, for people
  Json,  // JSON Lines, one object per step, for scripts
};

// Prints, on standard output and in the order a run would carry them out:
// the warnings the run would show (as notes), every directory move (as
// "mv -v" prints it) and every move that would be skipped or fail, every
// tune and its new path, every tune that would be refused and why, what
// would happen to the document, portability notes, and a summary with the
// counts the run would report. Asks nothing.
// Creates, renames, deletes and writes nothing, not even tuvo_2.err, and
// opens files and directories so that their access times stay where the
// process may.
// Returns 0; 1 when a run holds the collection (one line on standard error
// says so, and nothing else is printed).
// The plan agrees with a run that follows on the same file system when
// nothing else changes the tree in between: the moves, the tunes converted
// and their names, the tunes refused, the log's lines and the error count.
// It cannot foresee failures of the disk itself (a full disk, a read
// error), nor a file system that ignores case.
int run_preview(PlanFormat format);

#endif  // TUVO_PREVIEW_PREVIEW_H_
