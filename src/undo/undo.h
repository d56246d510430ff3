// The undo record and tuvo_2 --undo. Every plain run that changes the
// collection keeps "tuvo_2.undo" in its root: what it moved, converted and
// rewrote, each entry written (no fsync) before the change it describes
// becomes visible, so that a run killed at any moment leaves a record from
// which everything it changed can be restored. Tunes are announced in
// batches, their entries with one write before any of them is named. A
// later run appends to it, so one undo reverses every run.
//
// The record is JSON Lines, one entry per line, for people to read; each
// kind of line is described in undo/record_format.h, which writes and reads
// them. A tune entry after its batch's entries is another name for one of
// them (its first was taken). An undo adds a moved-back line as it moves
// each directory back, so that an undo stopped among the directories can be
// finished. A last line without its newline was cut short by a kill before
// its change was made, and counts for nothing. The record is input like any
// other file: a line that is not exactly an entry makes the undo refuse the
// record, and an entry whose paths lead out of the collection is left.
#ifndef TUVO_UNDO_UNDO_H_
#define TUVO_UNDO_UNDO_H_

#include <cstddef>
#include <string>

inline constexpr char kUndoRecordName[] = "tuvo_2.undo";

// Makes the run in progress keep the record: g_change_journal points at it
// from now on. The file is opened (created 0600 less the umask, or appended
// to) at the first change; should it not open or take an entry, the change
// is not made and the run logs it. Reads the record already there for the
// tunes that runs stopped with in hand, which this run then finishes.
void start_undo_record();

// Makes the preview foresee what a run would do with the tunes that runs
// stopped with in hand: g_change_journal points at a journal that records
// nothing and reads the record through g_file_system (the preview's).
void foresee_from_record();

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

// True when an undo of |record| was stopped just after moving a directory
// back and before it could say so: the newest move of the record, not said
// to be moved back, has its directory back under its old name. |line| is
// then where that move's line starts. A run that starts on such a record
// says so in it first, while the disk still shows it; later the run's own
// moves would hide it. Reads the disk through g_file_system.
bool newest_move_moved_back(const std::string& record, std::size_t& line);

// The exit status when there is no record to undo.
inline constexpr int kExitNoRecord = 2;

#endif  // TUVO_UNDO_UNDO_H_
