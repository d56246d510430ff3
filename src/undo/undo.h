// tuvo_2 --undo: the collection put back as the undo record
// (record/record.h) says it was.
#ifndef TUVO_UNDO_UNDO_H_
#define TUVO_UNDO_UNDO_H_

// tuvo_2 --undo, in the collection root: takes the collection's lock, reads
// the record, says what it holds and asks "Do you wish to continue? (Y/N) > ".
// Then restores in reverse order, printing one line per restored item: each
// tune back to its old name with its old mode and modification time, each
// directory to its old name (through the same intermediate names), the
// document's line 5 byte for byte. It never overwrites and never touches a
// file that changed since the run: such an item is reported, counted and
// kept in the record, which is removed only when everything was restored
// (tuvo_2.err, the run's log, goes with it). An undo that was interrupted
// finishes when run again. With |preview| it prints what it would do,
// asks nothing and changes nothing.
// Returns 0 when everything was restored (or the user declined), 1 when
// something was left or a run holds the collection, 2 when there is no
// record.
int run_undo(bool preview);

// The exit status when there is no record to undo.
inline constexpr int kExitNoRecord = 2;

#endif  // TUVO_UNDO_UNDO_H_
