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

// The entries of |record|, oldest first, and what was found of its health;
// false, with the line in |bad_line|, when a line is not exactly an entry
// this program writes.
bool read_entries(const std::string& record, std::vector<Entry>& entries, std::vector<MovedBack>& moved_back,
                  std::string& bad_line, RecordHealth& health);

// Entries left behind keep up with the directories moved back after them.
void rebase(std::span<Entry> left, const std::string& now, const std::string& old);

// An undo stopped while it moved directories back leaves the entries newer
// than those moves naming paths in directories that have gone back since:
// they are made to name where those directories are now, in the order the
// moves were undone (|moved_back|, from the record). Only entries written
// before the stopped undo are concerned: a run after it wrote its entries
// with the directories where that undo left them. The newest move not said
// to be moved back may have been moved just before the stop; it was if its
// directory is back under its old name.
void follow_moves_undone(FileSystem& fs, std::vector<Entry>& entries, const std::vector<MovedBack>& moved_back);

// True when an undo of |record| was stopped just after moving a directory
// back and before it could say so: the newest move of the record, not said
// to be moved back, has its directory back under its old name. |line| is
// then where that move's line starts. A run that starts on such a record
// says so in it first, while the disk still shows it; later the run's own
// moves would hide it. Reads the disk through |fs|.
bool newest_move_moved_back(FileSystem& fs, const std::string& record, std::size_t& line);

#endif  // TUVO_RECORD_READ_H_
