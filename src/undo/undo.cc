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

struct FileState {
  bool exists = false;
  bool regular = false;
  std::uint64_t size = 0, checksum = 0;
  ino_t inode = 0;
  mode_t mode = 0;
  timespec mtime{};
  std::string link;  // the target of a symbolic link
};

FileState file_state(FileSystem& fs, const std::string& path) {
  FileState s;
  s.exists = fs.exists(path.c_str());
  if (!s.exists || fs.read_link(path.c_str(), s.link)) return s;
  const int fd = fs.open_file(path.c_str(), /*follow_links=*/false);
  if (fd < 0) return s;
  struct stat st;
  s.regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && checksum_of_file(fd, s.size, s.checksum);
  s.inode = st.st_ino;
  s.mode = st.st_mode & 07777;
  s.mtime = st.st_mtim;
  close(fd);
  return s;
}

bool same(const FileState& s, std::uint64_t size, std::uint64_t checksum) {
  return s.regular && s.size == size && s.checksum == checksum;
}

Result restore_tune(FileSystem& fs, const TuneEntry& t) {
  // The bytes decide whether the file is the one the run wrote, not the
  // inode: a collection copied or restored from a backup, and a tune a
  // later step of the same run put back and converted again, hold the same
  // bytes under new inodes. A file holding other bytes is never touched.
  const FileState now = file_state(fs, t.to);
  const bool ours = same(now, t.size, t.xxh3);
  const FileState old = file_state(fs, t.from);
  // A tune that was a link is back when the link is.
  const bool old_is_it = t.link.empty() ? same(old, t.size, t.xxh3) : old.link == t.link;
  if (!ours) {
    // Never converted, or restored already; an undo stopped between the
    // rename and the mode and time leaves those to be set.
    if (old_is_it && t.link.empty() && (old.mode != t.mode || old.mtime.tv_sec != t.mtime.tv_sec ||
                                        old.mtime.tv_nsec != t.mtime.tv_nsec)) {
      if (!fs.set_mode_and_time(t.from.c_str(), static_cast<mode_t>(t.mode), t.mtime)) {
        return {Outcome::Left, std::string("its mode and time cannot be set: ") + std::strerror(errno)};
      }
      return {Outcome::Restored, {}};
    }
    if (old_is_it) return {Outcome::NothingToDo, {}};
    if (now.exists) return {Outcome::Left, "it changed since the run"};
    return {Outcome::Left, "it is missing"};
  }
  if (old.exists) {
    // A run stopped between writing the copy and deleting the old file:
    // the old file is whole, and the copy goes.
    if (old_is_it && fs.remove(t.to.c_str())) return {Outcome::Restored, {}};
    return {Outcome::Left, "its old name " + t.from + " is taken again"};
  }
  if (!t.link.empty()) {
    // The link is made again, with its own time, and the copy goes.
    if (!fs.make_link(t.link.c_str(), t.from.c_str(), t.mtime)) {
      if (errno == EEXIST) return {Outcome::Left, "its old name " + t.from + " is taken again"};
      return {Outcome::Left, std::string("its link cannot be made again: ") + std::strerror(errno)};
    }
    if (!fs.remove(t.to.c_str())) {
      const int error = errno;
      fs.remove(t.from.c_str());
      return {Outcome::Left, std::string("it cannot be removed: ") + std::strerror(error)};
    }
    return {Outcome::Restored, {}};
  }
  // Renamed first: a tune that cannot go back keeps its mode and time, so
  // that what is left is left untouched.
  if (!fs.rename_no_replace(t.to.c_str(), t.from.c_str())) {
    if (errno == EEXIST) return {Outcome::Left, "its old name " + t.from + " is taken again"};
    return {Outcome::Left, std::string("it cannot be renamed: ") + std::strerror(errno)};
  }
  if (!fs.set_mode_and_time(t.from.c_str(), static_cast<mode_t>(t.mode), t.mtime)) {
    const int error = errno;
    fs.rename_no_replace(t.from.c_str(), t.to.c_str());
    return {Outcome::Left, std::string("its mode and time cannot be set: ") + std::strerror(error)};
  }
  return {Outcome::Restored, {}};
}

Result restore_move(FileSystem& fs, const MoveEntry& m, bool moved_back) {
  if (moved_back) return {Outcome::NothingToDo, {}};
  const bool now_there = fs.kind(m.to.c_str()) == EntryKind::Directory && fs.exists(m.to.c_str());
  const bool old_there = fs.exists(m.from.c_str());
  if (!now_there && old_there) return {Outcome::NothingToDo, {}};  // never moved, or moved back already
  if (!now_there) return {Outcome::Left, "it is missing"};
  if (old_there) return {Outcome::Left, "its old name " + m.from + " is taken again"};
  if (!fs.rename_no_replace(m.to.c_str(), m.from.c_str())) {
    if (errno == EEXIST) return {Outcome::Left, "its old name " + m.from + " is taken again"};
    return {Outcome::Left, std::string("it cannot be renamed: ") + std::strerror(errno)};
  }
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
  const FileState now = file_state(fs, d.path);
  if (same(now, d.size, d.xxh3)) return {Outcome::NothingToDo, {}};
  if (!same(now, d.new_size, d.new_xxh3)) {
    return {Outcome::Left, now.exists ? "it changed since the run" : "it is missing"};
  }
  std::string rewritten;
  const int fd = fs.open_file(d.path.c_str(), false);
  if (fd < 0) return {Outcome::Left, std::string("it cannot be read: ") + std::strerror(errno)};
  const bool read_whole = read_to_end(fd, rewritten);
  close(fd);
  if (!read_whole) return {Outcome::Left, std::string("it cannot be read: ") + std::strerror(errno)};
  std::string text;
  if (!original_text(d, rewritten, text) || content_checksum(text) != d.xxh3) {
    return {Outcome::Left, "its record does not give back the original"};
  }
  const std::size_t slash = d.path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : d.path.substr(0, slash);
  const std::string temp = dir + "/" + kDocumentTempName;
  const mode_t mode = static_cast<mode_t>(d.mode);
  if (!write_new_file(fs, dir.c_str(), temp.c_str(), text, mode & 0777)) {
    return {Outcome::Left, "its restored text cannot be written to " + temp};
  }
  if (!fs.set_mode_and_time(temp.c_str(), mode, d.mtime) || !fs.rename_over(temp.c_str(), d.path.c_str())) {
    fs.remove(temp.c_str());
    return {Outcome::Left, std::string("its restored text cannot be put in place: ") + std::strerror(errno)};
  }
  return {Outcome::Restored, {}};
}

// A temporary file a run left: removed when it is still what the run wrote.
Result remove_temporary(FileSystem& fs, const TemporaryEntry& t) {
  const FileState now = file_state(fs, t.path);
  if (same(now, t.size, t.xxh3)) fs.remove(t.path.c_str());
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
void remove_record_and_log() {
  struct stat st;
  if (lstat(kErrorLogName, &st) == 0 && S_ISREG(st.st_mode)) unlink(kErrorLogName);
  unlink(kUndoRecordName);
}

// True once every change of the undo is on the disk, so that its last
// line never says more than a power cut would leave; otherwise it says so.
bool synced(FileSystem& disk) {
  if (disk.sync_all()) return true;
  std::cout << "\nThe disk did not confirm that every change reached it: " << std::strerror(errno)
            << ". Undo again to see what stands.\n";
  return false;
}

// Adds the moved-back line of the entry |e| to the record. False when the
// record cannot take it whole (a full disk); what got in is cut off again.
bool say_moved_back(FileSystem& disk, const Entry& e) {
  const int fd = open(kUndoRecordName, O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  std::string line;
  encode_entry(MovedBackEntry{e.line}, line);
  struct stat st;
  bool ok = fstat(fd, &st) == 0;
  // The line reaches the disk before the next step back, so that a power
  // cut leaves at most the newest move back unnoted, as a kill does.
  if (ok && (write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size()) ||
             !disk.sync_file(fd))) {
    // A torn line would also be read past, as a kill's is; cut it if we can.
    ok = false;
    if (ftruncate(fd, st.st_size) != 0) errno = ENOSPC;
  }
  close(fd);
  return ok;
}

// Replaces the record by one that holds |left| only, as one run, closed
// when every run it held was.
bool keep_only(FileSystem& disk, const std::vector<Entry>& left, bool closed) {
  std::string text;
  encode_entry(RecordHeader{}, text);
  encode_entry(RunEntry{static_cast<std::int64_t>(std::time(nullptr))}, text);
  std::uint64_t number = 0;
  for (const Entry& e : left) std::visit([&](const auto& c) { encode_entry(c, text, ++number); }, e.change);
  if (closed) encode_entry(EndEntry{number}, text);
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
  std::string record;
  if (!read_record(record)) {
    std::cerr << "tuvo_2: there is no " << kUndoRecordName << " here, so there is nothing to undo\n";
    return kExitNoRecord;
  }
  if (preview ? collection_is_busy() : lock_collection() == LockResult::Busy) {
    std::cerr << "tuvo_2: a run is converting this collection; undo it when it has finished\n";
    return 1;
  }
  // Read again now that the collection is held: a run that ended between
  // the first read and the lock may have added to it.
  record.clear();
  if (!read_record(record)) {
    std::cerr << "tuvo_2: there is no " << kUndoRecordName << " here, so there is nothing to undo\n";
    return kExitNoRecord;
  }
  std::vector<Entry> entries;
  std::vector<MovedBack> moved_back;
  std::string bad_line;
  RecordHealth health;
  if (!read_entries(record, entries, moved_back, bad_line, health)) {
    // A line of junk may be of any length; its start tells which it is.
    constexpr std::size_t kShownLineLength = 200;
    if (bad_line.size() > kShownLineLength) bad_line = bad_line.substr(0, kShownLineLength) + "...";
    std::cerr << "tuvo_2: " << kUndoRecordName << " holds a line that cannot be read, so nothing was undone: "
              << bad_line << '\n';
    return 1;
  }

  RealFileSystem disk;
  follow_moves_undone(disk, entries, moved_back);

  int moves = 0, tunes = 0, documents = 0;
  for (const Entry& e : entries) {
    moves += std::holds_alternative<MoveEntry>(e.change);
    tunes += std::holds_alternative<TuneEntry>(e.change);
    documents += std::holds_alternative<DocumentEntry>(e.change);
  }
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
  std::vector<Entry> left;  // newest first while it grows
  // A directory's steps back (GAMES to GAMES_ to games) are one unit: a
  // step is never taken when the one after it in the run was left, as what
  // stands under its name then is not the collection's directory.
  std::vector<std::string> not_back;  // where directories left behind should have come back
  // Set when the record could not note a directory moved back: the entries
  // older than it name paths the record could no longer follow, so they
  // wait for an undo with room on the disk.
  bool record_full = false;
  for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
    Entry& e = *it;
    const auto* move = std::get_if<MoveEntry>(&e.change);
    const bool waits = move != nullptr && std::find(not_back.begin(), not_back.end(), move->to) != not_back.end();
    Result r = record_full ? Result{Outcome::Left, "the record cannot take another line; undo again once the disk has room"}
               : waits     ? Result{Outcome::Left, "its directory has not come back to " + move->to + " yet"}
                           : restore(fs, e);
    // A directory moved back is noted at once, as the entries after it name
    // paths in it; one the record cannot note goes forward again.
    if (!preview && move != nullptr && r.outcome == Outcome::Restored && !say_moved_back(disk, e)) {
      disk.rename_no_replace(move->from.c_str(), move->to.c_str());
      r = {Outcome::Left, "the record cannot take another line; undo again once the disk has room"};
      record_full = true;
    }
    if (move != nullptr && r.outcome == Outcome::Left) not_back.push_back(move->from);
    if (r.outcome == Outcome::Restored) {
      ++restored;
      if (const auto* m = std::get_if<MoveEntry>(&e.change)) {
        std::cout << done << "directory " << m->from << " (from " << m->to << ")\n";
        rebase(left, m->to, m->from);
      } else if (const auto* t = std::get_if<TuneEntry>(&e.change)) {
        std::cout << done << t->from << '\n';
      } else if (const auto* d = std::get_if<DocumentEntry>(&e.change)) {
        std::cout << done << "line 5 of " << d->path << '\n';
      }
    }
    if (r.outcome == Outcome::Left) {
      std::cout << (preview ? "would leave " : "left ") << shown_path(e) << ": " << r.why << '\n';
      left.push_back(e);
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
    remove_record_and_log();
    if (!synced(disk)) return 1;
    std::cout << "\nRestored " << restored << " items: everything " << kUndoRecordName
              << " held is back, and it was removed." << kNeverEnded << '\n';
    return 0;
  }
  if (left.empty()) {
    remove_record_and_log();
    if (!synced(disk)) return 1;
    std::cout << "\nRestored " << restored << " items: the collection is as it was. " << kUndoRecordName
              << " was removed.\n";
    return 0;
  }
  std::vector<Entry> oldest_first(left.rbegin(), left.rend());
  // Where nothing was restored, the record already holds what is left.
  const bool kept = restored == 0 || keep_only(disk, oldest_first, health.all_closed);
  if (!synced(disk)) return 1;
  std::cout << "\nRestored " << restored << " items; " << left.size() << " were left as they are"
            << (kept ? ", and " + std::string(kUndoRecordName) + " keeps them."
                     : ". " + std::string(kUndoRecordName) + " could not be rewritten and still holds every entry.")
            << (health.all_closed ? "" : kNeverEnded) << '\n';
  return 1;
}
