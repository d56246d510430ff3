// The undo's decisions, one per kind of entry.
#include "undo/restore.h"

namespace {

Decision leave(std::string why) { return {Step::Leave, std::move(why)}; }

bool same_time(const timespec& a, const timespec& b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; }

}  // namespace

Decision decide_tune(const TuneEntry& t, const FileState& now, const FileState& old) {
  // The bytes decide whether the file is the one the run wrote, not the
  // inode: a collection copied or restored from a backup, and a tune a
  // later step of the same run put back and converted again, hold the same
  // bytes under new inodes. A file holding other bytes is never touched.
  const bool ours = holds(now, t.size, t.xxh3);
  // A tune that was a link is back when the link is.
  const bool old_is_it = t.link.empty() ? holds(old, t.size, t.xxh3) : old.link == t.link;
  if (!ours) {
    // Never converted, or restored already; an undo stopped between the
    // rename and the mode and time leaves those to be set.
    if (old_is_it && t.link.empty() && (old.mode != t.mode || !same_time(old.mtime, t.mtime))) {
      return {Step::SetModeAndTime, {}};
    }
    if (old_is_it) return {Step::Nothing, {}};
    return leave(now.exists ? "it changed since the run" : "it is missing");
  }
  if (old.exists) {
    // A run stopped between writing the copy and deleting the old file:
    // the old file is whole, and the copy goes.
    if (old_is_it) return {Step::RemoveCopy, {}};
    return leave("its old name " + t.from + " is taken again");
  }
  return {t.link.empty() ? Step::RenameBack : Step::LinkAgain, {}};
}

Decision decide_move(const MoveEntry& m, bool moved_back, bool now_is_directory, bool old_exists) {
  if (moved_back) return {Step::Nothing, {}};
  if (!now_is_directory && old_exists) return {Step::Nothing, {}};  // never moved, or moved back already
  if (!now_is_directory) return leave("it is missing");
  if (old_exists) return leave("its old name " + m.from + " is taken again");
  return {Step::MoveBack, {}};
}

Decision decide_document(const DocumentEntry& d, const FileState& now) {
  if (holds(now, d.size, d.xxh3)) return {Step::Nothing, {}};
  if (!holds(now, d.new_size, d.new_xxh3)) return leave(now.exists ? "it changed since the run" : "it is missing");
  return {Step::WriteOriginal, {}};
}

Decision decide_temporary(const TemporaryEntry& t, const FileState& now) {
  // Anything else under its name is not the run's to remove.
  return {holds(now, t.size, t.xxh3) ? Step::RemoveTemporary : Step::Nothing, {}};
}
