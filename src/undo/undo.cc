// tuvo_2 --undo: the record read back, and every change reversed, newest
// first, through the disk (or the preview's file system, for --undo
// --preview).
#include "undo/undo.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <iostream>
#include <span>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "fsutil/filesystem.h"
#include "fsutil/journal.h"
#include "preview/plan.h"
#include "preview/preview_filesystem.h"
#include "record/read.h"
#include "record/record.h"
#include "record/record_format.h"
#include "rules/line_five.h"
#include "run/run.h"
#include "undo/restore.h"

namespace {

constexpr char kUndoQuestion[] = "Do you wish to continue? (Y/N) > ";
// What the undo cannot know of a run that was killed, or of a record that
// lost its end: the two look the same.
constexpr char kNeverEnded[] =
    " A run it recorded never came to its end, so what that run changed after its last entry, if anything,"
    " would not be known.";

// The path an entry left is reported by: a tune's new name, else the first.
const std::string& shown_path(const Entry& e) {
  if (const auto* t = std::get_if<TuneEntry>(&e.change)) return t->to;
  if (const auto* m = std::get_if<MoveEntry>(&e.change)) return m->from;
  if (const auto* d = std::get_if<DocumentEntry>(&e.change)) return d->path;
  return std::get<TemporaryEntry>(e.change).path;
}

enum class Outcome { Restored, NothingToDo, Left };

struct Result {
  Outcome outcome;
  std::string why;  // for Left
};

Result left_because(std::string_view what, int error) {
  return {Outcome::Left, std::string(what) + ": " + std::strerror(error)};
}

Result taken_again_or(const std::string& old_name, std::string_view what) {
  if (errno == EEXIST) return {Outcome::Left, "its old name " + old_name + " is taken again"};
  return left_because(what, errno);
}

Result restore_tune(FileSystem& fs, const TuneEntry& t) {
  const Decision d = decide_tune(t, file_state(fs, t.to), file_state(fs, t.from));
  switch (d.step) {
    case Step::SetModeAndTime:
      if (!fs.set_mode_and_time(t.from.c_str(), static_cast<mode_t>(t.mode), t.mtime)) {
        return left_because("its mode and time cannot be set", errno);
      }
      return {Outcome::Restored, {}};
    case Step::RemoveCopy:
      if (!fs.remove(t.to.c_str())) return {Outcome::Left, "its old name " + t.from + " is taken again"};
      return {Outcome::Restored, {}};
    case Step::LinkAgain:
      // The link is made again, with its own time, and the copy goes.
      if (!fs.make_link(t.link.c_str(), t.from.c_str(), t.mtime)) {
        return taken_again_or(t.from, "its link cannot be made again");
      }
      if (!fs.remove(t.to.c_str())) {
        const int error = errno;
        fs.remove(t.from.c_str());
        return left_because("it cannot be removed", error);
      }
      return {Outcome::Restored, {}};
    case Step::RenameBack:
      // Renamed first: a tune that cannot go back keeps its mode and time,
      // so that what is left is left untouched.
      if (!fs.rename_no_replace(t.to.c_str(), t.from.c_str())) return taken_again_or(t.from, "it cannot be renamed");
      if (!fs.set_mode_and_time(t.from.c_str(), static_cast<mode_t>(t.mode), t.mtime)) {
        const int error = errno;
        fs.rename_no_replace(t.from.c_str(), t.to.c_str());
        return left_because("its mode and time cannot be set", error);
      }
      return {Outcome::Restored, {}};
    case Step::Leave:
      return {Outcome::Left, d.why};
    default:
      return {Outcome::NothingToDo, {}};
  }
}

Result restore_move(FileSystem& fs, const MoveEntry& m, bool moved_back) {
  const bool now_is_directory = fs.kind(m.to.c_str()) == EntryKind::Directory && fs.exists(m.to.c_str());
  const Decision d = decide_move(m, moved_back, now_is_directory, fs.exists(m.from.c_str()));
  if (d.step == Step::Leave) return {Outcome::Left, d.why};
  if (d.step != Step::MoveBack) return {Outcome::NothingToDo, {}};
  if (!fs.rename_no_replace(m.to.c_str(), m.from.c_str())) return taken_again_or(m.from, "it cannot be renamed");
  return {Outcome::Restored, {}};
}

// The document's text before the run, from |now| (the rewrite) and the
// entry; false when the entry cannot give it.
bool original_text(const DocumentEntry& d, const std::string& now, std::string& text) {
  if (d.whole) {
    text = d.kept;
    return true;
  }
  // Line 5 of the rewrite, the release line, and its ending give way to
  // line 5 as it was, with its own.
  std::size_t start = 0, length = 0;
  if (!find_line_five(now, start, length)) return false;
  text = now.substr(0, start) + d.kept + now.substr(start + length);
  return true;
}

Result restore_document(FileSystem& fs, const DocumentEntry& d) {
  const Decision decision = decide_document(d, file_state(fs, d.path));
  if (decision.step == Step::Leave) return {Outcome::Left, decision.why};
  if (decision.step != Step::WriteOriginal) return {Outcome::NothingToDo, {}};
  std::string rewritten;
  if (!read_regular_file(fs.open_file(d.path.c_str(), /*follow_links=*/false), rewritten)) {
    return left_because("it cannot be read", errno);
  }
  std::string text;
  if (!original_text(d, rewritten, text) || content_checksum(text) != d.xxh3) {
    return {Outcome::Left, "its record does not give back the original"};
  }
  const std::string dir(directory_part(d.path));
  const std::string temp = dir + "/" + kDocumentTempName;
  const mode_t mode = static_cast<mode_t>(d.mode);
  if (!write_new_file(fs, dir.c_str(), temp.c_str(), text, mode & 0777)) {
    return {Outcome::Left, "its restored text cannot be written to " + temp};
  }
  if (!fs.set_mode_and_time(temp.c_str(), mode, d.mtime) || !fs.rename_over(temp.c_str(), d.path.c_str())) {
    const int error = errno;
    fs.remove(temp.c_str());
    return left_because("its restored text cannot be put in place", error);
  }
  return {Outcome::Restored, {}};
}

// A temporary file a run left: removed when it is still what the run wrote.
Result remove_temporary(FileSystem& fs, const TemporaryEntry& t) {
  if (decide_temporary(t, file_state(fs, t.path)).step == Step::RemoveTemporary) fs.remove(t.path.c_str());
  return {Outcome::NothingToDo, {}};
}

// True when every path of |e| lies in the collection: a record may name
// any path, and the undo acts on none outside.
bool inside_collection(Entry& e) {
  bool inside = true;
  for_each_path(e, [&](const std::string& path) { inside = inside && lies_inside_collection(path); });
  return inside;
}

Result restore(FileSystem& fs, Entry& e) {
  if (!inside_collection(e)) {
    return {Outcome::Left, "it lies outside the collection (its path leaves it, or passes through a symbolic link)"};
  }
  if (const auto* m = std::get_if<MoveEntry>(&e.change)) return restore_move(fs, *m, e.moved_back);
  if (const auto* t = std::get_if<TuneEntry>(&e.change)) return restore_tune(fs, *t);
  if (const auto* d = std::get_if<DocumentEntry>(&e.change)) return restore_document(fs, *d);
  return remove_temporary(fs, std::get<TemporaryEntry>(e.change));
}

// Once everything is back: the log of the runs undone goes (if it is a
// plain file), then the record. In this order, an undo killed between the
// two leaves the record, and the next undo finishes; the other way round it
// would leave the log with nothing to remove it.
void remove_record_and_log(FileSystem& disk) {
  std::string link;
  if (!disk.read_link(kErrorLogName, link) && disk.kind(kErrorLogName) == EntryKind::RegularFile) {
    disk.remove(kErrorLogName);
  }
  disk.remove(kUndoRecordName);
}

// True once every change of the undo is on the disk, so that its last
// line never says more than a power cut would leave; otherwise it says so.
bool synced(FileSystem& disk) {
  if (disk.sync_all()) return true;
  std::cout << "\nThe disk did not confirm that every change reached it: " << std::strerror(errno)
            << ". Undo again to see what stands.\n";
  return false;
}

// Replaces the record by one that holds |left| only, as one run, closed
// when every run it held was.
bool keep_only(FileSystem& disk, const RecordEntries& entries, std::span<const std::size_t> left, bool closed) {
  std::vector<Entry> kept(left.size());
  for (std::size_t i = 0; i < left.size(); ++i) {
    if (!entries.load(left[i], kept[i])) return false;
  }
  const std::string text = encode_record(kept, closed);
  const std::string temp = std::string(kUndoRecordName) + ".new";
  disk.remove(temp.c_str());
  return write_new_file(disk, ".", temp.c_str(), text, 0600) && disk.rename_over(temp.c_str(), kUndoRecordName);
}

// The printer of a preview whose steps the undo prints itself.
class SilentPrinter : public PlanPrinter {
 public:
  void note(std::string_view, std::string_view) override {}
  void move(std::string_view, std::string_view) override {}
  void skip_move(std::string_view, std::string_view, std::string_view) override {}
  void convert(std::string_view, std::string_view) override {}
  void refuse(std::string_view, std::string_view, std::string_view) override {}
  void document(std::string_view, std::string_view, std::string_view) override {}
  void document_stays(std::string_view, std::string_view, std::string_view) override {}
  void summary(const PlanCounts&) override {}
};

}  // namespace

int run_undo(bool preview) {
  if (const int fd = open_record(); fd >= 0) {
    close(fd);
  } else {
    std::cerr << "tuvo_2: there is no " << kUndoRecordName << " here, so there is nothing to undo\n";
    return kExitNoRecord;
  }
  if (preview ? collection_is_busy() : lock_collection() == LockResult::Busy) {
    std::cerr << "tuvo_2: a run is converting this collection; undo it when it has finished\n";
    return 1;
  }
  // Read again now that the collection is held: a run that ended between
  // the first read and the lock may have added to it.
  const int fd = open_record();
  if (fd < 0) {
    std::cerr << "tuvo_2: there is no " << kUndoRecordName << " here, so there is nothing to undo\n";
    return kExitNoRecord;
  }
  RecordEntries entries;
  std::string bad_line;
  RecordHealth health;
  if (!entries.read_lines(fd, bad_line, health)) {
    // A line of junk may be of any length; its start tells which it is.
    constexpr std::size_t kShownLineLength = 200;
    if (bad_line.size() > kShownLineLength) bad_line = bad_line.substr(0, kShownLineLength) + "...";
    std::cerr << "tuvo_2: " << kUndoRecordName << " holds a line that cannot be read, so nothing was undone: "
              << bad_line << '\n';
    return 1;
  }

  RealFileSystem disk;
  entries.follow_moves_undone(disk);

  const int moves = entries.how_many<MoveEntry>(), tunes = entries.how_many<TuneEntry>();
  const int documents = entries.how_many<DocumentEntry>();
  std::cout << kUndoRecordName << " records " << moves << " directory moves, " << tunes << " converted tunes and "
            << documents << " rewrites of the document's line 5.\n";
  if (!health.damage.empty()) {
    std::cout << "It is damaged: " << health.damage << ". Undoing restores what the files show can be restored"
              << " safely, and keeps the record as it is.\n"
              << (preview ? "\n" : "");
  } else if (!health.all_closed) {
    std::cout << "A run it records never came to its end (it was killed, or the power failed), or the record"
              << " lost its end: undoing " << (preview ? "would give" : "gives")
              << " back everything it holds.\n"
              << (preview ? "\n" : "");
  } else {
    std::cout << (preview ? "Undoing them would give back the collection as it was:\n\n"
                          : "Undoing them gives back the collection as it was.\n");
  }
  if (!preview && ask_continue(kUndoQuestion, AnswerForm::Strict) != 'Y') return 0;

  SilentPrinter silent;
  PreviewFileSystem preview_fs(silent);
  FileSystem& fs = preview ? static_cast<FileSystem&>(preview_fs) : disk;

  const char* done = preview ? "would restore " : "restored ";
  int restored = 0;
  std::vector<std::size_t> left;  // the entries left, newest first while it grows
  // A directory's steps back (GAMES to GAMES_ to games) are one unit: a
  // step is never taken when the one after it in the run was left, as what
  // stands under its name then is not the collection's directory.
  std::vector<std::string> not_back;  // where directories left behind should have come back
  // Set when the record could not note a directory moved back: the entries
  // older than it name paths the record could no longer follow, so they
  // wait for an undo with room on the disk.
  bool record_full = false;
  Entry e;
  for (std::size_t i = entries.entry_count(); i-- > 0;) {
    if (!entries.load(i, e)) {
      // Only another program writing to the record, which is held, could
      // change a line that was read whole a moment ago.
      std::cout << (preview ? "would leave " : "left ") << "an entry of " << kUndoRecordName
                << ": its line can no longer be read\n";
      left.push_back(i);
      continue;
    }
    const auto* move = std::get_if<MoveEntry>(&e.change);
    const bool waits = move != nullptr && std::find(not_back.begin(), not_back.end(), move->to) != not_back.end();
    Result r = record_full ? Result{Outcome::Left, "the record cannot take another line; undo again once the disk has room"}
               : waits     ? Result{Outcome::Left, "its directory has not come back to " + move->to + " yet"}
                           : restore(fs, e);
    // A directory moved back is noted at once, as the entries after it name
    // paths in it; one the record cannot note goes forward again.
    if (!preview && move != nullptr && r.outcome == Outcome::Restored && !append_moved_back(disk, e.line)) {
      disk.rename_no_replace(move->from.c_str(), move->to.c_str());
      r = {Outcome::Left, "the record cannot take another line; undo again once the disk has room"};
      record_full = true;
    }
    if (move != nullptr && r.outcome == Outcome::Left) not_back.push_back(move->from);
    if (r.outcome == Outcome::Restored) {
      ++restored;
      if (const auto* m = std::get_if<MoveEntry>(&e.change)) {
        std::cout << done << "directory " << m->from << " (from " << m->to << ")\n";
        // The entries after it that were left name paths in it.
        entries.rebase(i + 1, entries.entry_count(), m->to, m->from);
      } else if (const auto* t = std::get_if<TuneEntry>(&e.change)) {
        std::cout << done << t->from << '\n';
      } else if (const auto* d = std::get_if<DocumentEntry>(&e.change)) {
        std::cout << done << "line 5 of " << d->path << '\n';
      }
    }
    if (r.outcome == Outcome::Left) {
      std::cout << (preview ? "would leave " : "left ") << shown_path(e) << ": " << r.why << '\n';
      left.push_back(i);
    }
  }
  if (preview) {
    std::cout << "\nWould restore " << restored << " items and leave " << left.size() << ". Nothing was changed.\n";
    return left.empty() && health.damage.empty() ? 0 : 1;
  }
  if (!health.damage.empty()) {
    // Only the files can say what the lost lines held: the record stays as
    // it is, for whoever looks into it.
    if (!synced(disk)) return 1;
    std::cout << "\nRestored " << restored << " items; " << left.size() << " were left as they are. "
              << kUndoRecordName << " is damaged (" << health.damage
              << "), so it was kept as it is: what the lost lines held cannot be restored.\n";
    return 1;
  }
  if (left.empty() && !health.all_closed) {
    remove_record_and_log(disk);
    if (!synced(disk)) return 1;
    std::cout << "\nRestored " << restored << " items: everything " << kUndoRecordName
              << " held is back, and it was removed." << kNeverEnded << '\n';
    return 0;
  }
  if (left.empty()) {
    remove_record_and_log(disk);
    if (!synced(disk)) return 1;
    std::cout << "\nRestored " << restored << " items: the collection is as it was. " << kUndoRecordName
              << " was removed.\n";
    return 0;
  }
  const std::vector<std::size_t> oldest_first(left.rbegin(), left.rend());
  // Where nothing was restored, the record already holds what is left.
  const bool kept = restored == 0 || keep_only(disk, entries, oldest_first, health.all_closed);
  if (!synced(disk)) return 1;
  std::cout << "\nRestored " << restored << " items; " << left.size() << " were left as they are"
            << (kept ? ", and " + std::string(kUndoRecordName) + " keeps them."
                     : ". " + std::string(kUndoRecordName) + " could not be rewritten and still holds every entry.")
            << (health.all_closed ? "" : kNeverEnded) << '\n';
  return 1;
}
