// What the undo does with each entry of the record, decided from what the
// disk shows now and nothing else. The decisions are pure, so that each
// can be read, and tested, as a table; the undo applies them through the
// file system.
#ifndef TUVO_UNDO_RESTORE_H_
#define TUVO_UNDO_RESTORE_H_

#include <string>

#include "record/read.h"

enum class Step {
  Nothing,         // back already, or never changed
  SetModeAndTime,  // the tune is back under its old name, its mode and time not yet
  RemoveCopy,      // the old file is whole beside the copy: the copy goes
  LinkAgain,       // the link the tune was is made again, and the copy goes
  RenameBack,      // the copy goes back to the old name, with the old mode and time
  MoveBack,        // the directory goes back to its old name
  WriteOriginal,   // the document gets its original text back
  RemoveTemporary,  // the temporary file the run left goes
  Leave,           // left as it is, for a reason
};

struct Decision {
  Step step = Step::Nothing;
  std::string why;  // for Leave
};

// A tune, from what stands under its new name (|now|) and its old one.
Decision decide_tune(const TuneEntry& t, const FileState& now, const FileState& old);

// A directory move, from whether a directory stands under the new name and
// anything under the old one; |moved_back| when an undo said it did it.
Decision decide_move(const MoveEntry& m, bool moved_back, bool now_is_directory, bool old_exists);

// The document, from what stands under its name.
Decision decide_document(const DocumentEntry& d, const FileState& now);

// A temporary file the run announced, from what stands under its name.
Decision decide_temporary(const TemporaryEntry& t, const FileState& now);

#endif  // TUVO_UNDO_RESTORE_H_
