// The undo record, "tuvo_2.undo" in the collection's root. Every plain run
// that changes the collection keeps it: what it moved, converted and
// rewrote, each entry on the disk before the change it describes becomes
// visible, so that a run killed at any moment, or cut off by a power
// failure, leaves a record from which everything it changed can be
// restored. Tunes are announced in batches, their entries with one write
// before any of them is named. A later run appends to it, so one undo
// reverses every run.
//
// The record is JSON Lines, one entry per line, for people to read; each
// kind of line is described in record/record_format.h, which writes and
// reads them, and record/read.h reads a whole record back. A tune entry
// after its batch's entries is another name for one of them (its first was
// taken). An undo adds a moved-back line as it moves each directory back,
// so that an undo stopped among the directories can be finished. A last
// line without its newline was cut short by a kill before its change was
// made, and counts for nothing. The record is input like any other file: a
// line that is not exactly an entry makes the undo refuse the record, and
// an entry whose paths lead out of the collection is left.
#ifndef TUVO_RECORD_RECORD_H_
#define TUVO_RECORD_RECORD_H_

#include <cstdint>
#include <memory>

#include "fsutil/filesystem.h"
#include "fsutil/journal.h"

inline constexpr char kUndoRecordName[] = "tuvo_2.undo";

// The journal of a plain run: it keeps the record on |disk|. The file is
// opened (created 0600 less the umask, or appended to) at the first change;
// should it not open or take an entry, the change is not made and the run
// reports it. Reads the record already there for the tunes that runs
// stopped with in hand, which this run then finishes.
std::unique_ptr<ChangeJournal> start_undo_record(FileSystem& disk);

// The preview's journal: it records nothing, and foresees what a run would
// do with the tunes that runs stopped with in hand, from the record and
// what |fs| (the preview's) shows of their files.
std::unique_ptr<ChangeJournal> foresee_from_record(FileSystem& fs);

// Adds to the record on |disk| that an undo moved back the directory of
// the move whose line starts at byte |line|: whole and on the disk, or not
// at all. False when the record cannot take it (a full disk).
bool append_moved_back(FileSystem& disk, std::uint64_t line);

#endif  // TUVO_RECORD_RECORD_H_
