// The undo record read back: its entries, oldest first, with their paths
// as they are now, and what the reading found of the record's health. The
// undo restores from it; a run starting on a record reads it to learn what
// a stopped undo left unsaid.
#ifndef TUVO_RECORD_READ_H_
#define TUVO_RECORD_READ_H_

#include <sys/types.h>
#include <time.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "fsutil/filesystem.h"
#include "record/record_format.h"

// What a record entry asks the undo to reverse.
using Change = std::variant<MoveEntry, TuneEntry, TemporaryEntry, DocumentEntry>;

// One entry of the record, its paths as they are now.
struct Entry {
  Change change;
  std::size_t line = 0;     // where its line starts in the record
  bool moved_back = false;  // a move an interrupted undo did already
};

// What stands at a path, as far as the record can tell a file it wrote:
// its bytes (size and checksum), or the target of a link.
struct FileState {
  bool exists = false;
  bool regular = false;  // a regular file whose bytes were read whole
  std::uint64_t size = 0, checksum = 0;
  ino_t inode = 0;
  mode_t mode = 0;
  timespec mtime{};
  std::string link;  // the target of a symbolic link
};

// What stands at |path|, read through |fs| without following a link.
FileState file_state(FileSystem& fs, const std::string& path);

// True when |state| is a regular file of these very bytes: still the file
// the record describes. The bytes decide, not the inode: a collection
// copied or restored from a backup holds the same bytes under new inodes.
inline bool holds(const FileState& state, std::uint64_t size, std::uint64_t checksum) {
  return state.regular && state.size == size && state.checksum == checksum;
}

// A cancel line: the newest tune of |entries| announced under |to| was not
// named after all, and goes.
void cancel_tune(std::vector<Entry>& entries, const std::string& to);

// Keeps up |path|, which lay in or was the directory |now|, with that
// directory's move back to |old|.
void rebase_path(std::string& path, const std::string& now, const std::string& old);

// A record that holds |entries| only, as one run, closed when |closed|.
std::string encode_record(std::span<const Entry> entries, bool closed);

// Calls |f| on every path of |e|, which it may change.
template <typename F>
void for_each_path(Entry& e, F f) {
  std::visit(
      [&](auto& c) {
        using T = std::decay_t<decltype(c)>;
        if constexpr (std::is_same_v<T, MoveEntry> || std::is_same_v<T, TuneEntry>) {
          f(c.from);
          f(c.to);
        } else {
          f(c.path);
        }
      },
      e.change);
}

// A moved-back line of an undo that was stopped: the move it names, and
// where the line itself stands in the record, after every entry it
// concerns.
struct MovedBack {
  std::size_t move_line;
  std::size_t at;
};

// What reading the record found beyond its entries.
struct RecordHealth {
  // The first sign that lines were lost, repeated or spliced (a gap or a
  // repeat in a run's numbers, a batch shorter than announced, a run that
  // ended with another count); empty when there is none.
  std::string damage;
  // False when a run never came to its end line: it was killed, or the
  // power failed, or the record lost its end; or it was written by a
  // release that did not close its runs.
  bool all_closed = true;
};

// The entries of a record, oldest first, kept by where their lines are and
// decoded again when one is needed, so that an undo of 100,000 tunes keeps
// a few MB rather than the record and every path in it. An entry's paths
// follow the directories moved back since the record was written.
class RecordEntries {
 public:
  RecordEntries() = default;
  RecordEntries(const RecordEntries&) = delete;
  RecordEntries& operator=(const RecordEntries&) = delete;
  ~RecordEntries();

  // Reads the record open as |fd|, which it keeps and closes, line by line:
  // false, with the line (its first bytes) in |bad_line|, when a line is not
  // exactly an entry this program writes. |health| tells what was found
  // beyond the entries.
  bool read_lines(int fd, std::string& bad_line, RecordHealth& health);

  std::size_t entry_count() const { return refs_.size(); }
  // How many entries are of the kind T (MoveEntry, TuneEntry, ...).
  template <typename T>
  int how_many() const {
    int n = 0;
    for (const Ref& r : refs_) n += r.kind == Change(T{}).index();
    return n;
  }

  // Entry |i|, decoded again, its paths where the directories moved back
  // so far put them. False when its line can no longer be read as it was.
  bool load(std::size_t i, Entry& entry) const;

  // From now on the paths of the entries |first| to |last| (not included)
  // that lie in the directory |now|, or are it, lie in |old| instead.
  void rebase(std::size_t first, std::size_t last, const std::string& now, const std::string& old);

  // An undo stopped while it moved directories back leaves the entries
  // newer than those moves naming paths in directories that have gone back
  // since: they are made to name where those directories are now, in the
  // order the moves were undone (the record's moved-back lines). Only
  // entries written before the stopped undo are concerned: a run after it
  // wrote its entries with the directories where that undo left them. The
  // newest move not said to be moved back may have been moved just before
  // the stop; it was if its directory is back under its old name, which
  // is read through |fs|.
  void follow_moves_undone(FileSystem& fs);

  // True when an undo was stopped just after moving a directory back and
  // before it could say so (see follow_moves_undone): |line| is then where
  // that move's line starts. A run that starts on such a record says so in
  // it first, while the disk still shows it; later the run's own moves
  // would hide it. Call after follow_moves_undone.
  bool newest_move_moved_back_unsaid(std::size_t& line) const;

 private:
  struct Ref {
    std::uint64_t line = 0;     // where its line starts
    std::uint32_t length = 0;   // its bytes, without the newline
    std::uint32_t to_hash = 0;  // a tune's new name, for the cancel that takes it back
    std::uint8_t kind = 0;      // its Change alternative
    bool moved_back = false;    // a move an interrupted undo did already
  };
  struct Rebase {
    std::size_t first, last;
    std::string now, old;
  };
  bool decode_again(const Ref& ref, RecordEntry& entry) const;
  void cancel(const std::string& to);

  int fd_ = -1;
  std::vector<Ref> refs_;
  std::vector<Rebase> rebases_;
  std::vector<MovedBack> moved_back_;
};

#endif  // TUVO_RECORD_READ_H_
