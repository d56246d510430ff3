// Reading the undo record back.
#include "record/read.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <utility>

#include "fsutil/filesystem.h"
#include "fsutil/fsutil.h"
#include "fsutil/journal.h"

namespace {

// Follows the numbering of the runs in a record, line by line.
class RunCheck {
 public:
  explicit RunCheck(RecordHealth& health) : health_(health) {}

  void line(const RecordEntry& e, std::uint64_t number) {
    if (std::holds_alternative<RunEntry>(e)) {
      end_of_run();
      state_ = State::Open;
      next_ = 1;
      batch_left_ = 0;
      numbered_ = Numbering::Unknown;
    } else if (const auto* end = std::get_if<EndEntry>(&e)) {
      if (state_ != State::Open) return damaged("an end line that closes no run");
      if (batch_left_ > 0) damaged("a batch shorter than announced");
      if (end->entries != next_ - 1) {
        damaged("a run ended after " + std::to_string(end->entries) + " entries, but " +
                std::to_string(next_ - 1) + " are here");
      }
      state_ = State::Closed;
    } else if (is_numbered(e)) {
      changed(e, number);
    }
  }

  // At the end of the record.
  void end_of_run() {
    if (state_ == State::Open || state_ == State::Legacy) health_.all_closed = false;
  }

 private:
  enum class State { NoRun, Open, Closed, Legacy };
  enum class Numbering { Unknown, Numbered, Unnumbered };

  void changed(const RecordEntry& e, std::uint64_t number) {
    if (number == 0) {
      // Lines without numbers come from a release that wrote none, or from
      // an undo of such a release that kept what it left; they never close.
      if (state_ != State::Open) {
        state_ = State::Legacy;
        return;
      }
      if (numbered_ == Numbering::Numbered) return damaged("an entry without its number among numbered ones");
      numbered_ = Numbering::Unnumbered;
      return;
    }
    if (state_ != State::Open) return damaged("a numbered entry outside a run");
    if (numbered_ == Numbering::Unnumbered) return damaged("a numbered entry among unnumbered ones");
    numbered_ = Numbering::Numbered;
    if (number < next_) return damaged("entry " + std::to_string(number) + " of a run appears twice");
    if (number > next_) {
      return damaged("entries " + std::to_string(next_) + " to " + std::to_string(number - 1) +
                     " of a run are missing");
    }
    ++next_;
    if (const auto* batch = std::get_if<BatchEntry>(&e)) {
      if (batch_left_ > 0) damaged("a batch shorter than announced");
      batch_left_ = batch->count;
    } else if (std::holds_alternative<TuneEntry>(e) && batch_left_ > 0) {
      --batch_left_;
    } else if (batch_left_ > 0) {
      damaged("a batch shorter than announced");
      batch_left_ = 0;
    }
  }

  void damaged(std::string what) {
    if (health_.damage.empty()) health_.damage = std::move(what);
  }

  RecordHealth& health_;
  State state_ = State::NoRun;
  Numbering numbered_ = Numbering::Unknown;
  std::uint64_t next_ = 1;      // the number the run's next line must carry
  std::uint64_t batch_left_ = 0;  // tunes the last batch line still announces
};

}  // namespace

// The entries of |record|, oldest first, and what was found of its health;
// false, with the line in |bad_line|, when a line is not exactly an entry
// this program writes.
bool read_entries(const std::string& record, std::vector<Entry>& entries, std::vector<MovedBack>& moved_back,
                  std::string& bad_line, RecordHealth& health) {
  bool first = true;
  RecordEntry decoded;
  std::uint64_t number = 0;
  RunCheck runs(health);
  // A last line without its newline is an entry whose writing a kill cut
  // short: the change it was to announce was never made.
  for (std::size_t pos = 0, end; (end = record.find('\n', pos)) != std::string::npos; pos = end + 1) {
    const std::string_view line = std::string_view(record).substr(pos, end - pos);
    if (line.empty()) continue;
    // The first line says what the file is.
    if (!decode_entry(line, decoded, number) || (first && !std::holds_alternative<RecordHeader>(decoded))) {
      bad_line = line;
      return false;
    }
    first = false;
    runs.line(decoded, number);
    if (const auto* back = std::get_if<MovedBackEntry>(&decoded)) {
      moved_back.push_back({back->line, pos});
    } else if (const auto* cancel = std::get_if<CancelEntry>(&decoded)) {
      cancel_tune(entries, cancel->to);
    } else if (auto* move = std::get_if<MoveEntry>(&decoded)) {
      // Written as mv was given it; one that starts with "../" or "/" is
      // refused as lying outside.
      move->to = path_from_root(move->to);
      entries.push_back({std::move(*move), pos, false});
    } else if (auto* tune = std::get_if<TuneEntry>(&decoded)) {
      entries.push_back({std::move(*tune), pos, false});
    } else if (auto* temporary = std::get_if<TemporaryEntry>(&decoded)) {
      entries.push_back({std::move(*temporary), pos, false});
    } else if (auto* document = std::get_if<DocumentEntry>(&decoded)) {
      entries.push_back({std::move(*document), pos, false});
    }
    // The header, each run's start and end, and the batch lines say nothing
    // to undo.
  }
  runs.end_of_run();
  return true;
}

void cancel_tune(std::vector<Entry>& entries, const std::string& to) {
  for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
    const auto* tune = std::get_if<TuneEntry>(&it->change);
    if (tune != nullptr && tune->to == to) {
      entries.erase(std::next(it).base());
      return;
    }
  }
}

std::string encode_record(std::span<const Entry> entries, bool closed) {
  std::string text;
  encode_entry(RecordHeader{}, text);
  encode_entry(RunEntry{static_cast<std::int64_t>(std::time(nullptr))}, text);
  std::uint64_t number = 0;
  for (const Entry& e : entries) std::visit([&](const auto& c) { encode_entry(c, text, ++number); }, e.change);
  if (closed) encode_entry(EndEntry{number}, text);
  return text;
}

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

// Entries left behind keep up with the directories moved back after them.
void rebase(std::span<Entry> left, const std::string& now, const std::string& old) {
  for (Entry& e : left) {
    for_each_path(e, [&](std::string& path) {
      if (path == now || path.starts_with(now + "/")) path = old + path.substr(now.size());
    });
  }
}

// An undo stopped while it moved directories back leaves the entries newer
// than those moves naming paths in directories that have gone back since:
// they are made to name where those directories are now, in the order the
// moves were undone (|moved_back|, from the record). Only entries written
// before the stopped undo are concerned: a run after it wrote its entries
// with the directories where that undo left them. The newest move not said
// to be moved back may have been moved just before the stop; it was if its
// directory is back under its old name.
void follow_moves_undone(FileSystem& fs, std::vector<Entry>& entries, const std::vector<MovedBack>& moved_back) {
  // The entries before |at| in the record: those an undo stopped there saw.
  const auto written_before = [&](std::size_t at) {
    std::size_t end = 0;
    while (end < entries.size() && entries[end].line < at) ++end;
    return end;
  };
  const auto undone = [&](std::size_t i, std::size_t end) {
    entries[i].moved_back = true;
    const MoveEntry& m = std::get<MoveEntry>(entries[i].change);
    if (end > i + 1) rebase(std::span<Entry>(entries).subspan(i + 1, end - i - 1), m.to, m.from);
  };
  for (const MovedBack& back : moved_back) {
    const std::size_t end = written_before(back.at);
    for (std::size_t i = 0; i < end; ++i) {
      if (entries[i].line == back.move_line && std::holds_alternative<MoveEntry>(entries[i].change) &&
          !entries[i].moved_back) {
        undone(i, end);
      }
    }
  }
  // A run after the stopped undo noted this move itself, when it started
  // (see newest_move_moved_back), and its own moves are then the newest.
  const std::size_t end = entries.size();
  for (std::size_t i = end; i-- > 0;) {
    const auto* m = std::get_if<MoveEntry>(&entries[i].change);
    if (m == nullptr || entries[i].moved_back) continue;
    if (fs.kind(m->to.c_str()) != EntryKind::Directory && fs.exists(m->from.c_str())) {
      undone(i, end);
    }
    return;
  }
}

bool newest_move_moved_back(FileSystem& fs, const std::string& record, std::size_t& line) {
  std::vector<Entry> entries;
  std::vector<MovedBack> moved_back;
  std::string bad_line;
  RecordHealth health;
  if (!read_entries(record, entries, moved_back, bad_line, health)) return false;
  follow_moves_undone(fs, entries, moved_back);
  const auto noted = [&](const Entry& e) {
    return std::any_of(moved_back.begin(), moved_back.end(), [&](const MovedBack& b) { return b.move_line == e.line; });
  };
  // The newest move no line says is back: follow_moves_undone marked it if
  // its directory is back all the same.
  for (std::size_t i = entries.size(); i-- > 0;) {
    if (!std::holds_alternative<MoveEntry>(entries[i].change) || noted(entries[i])) continue;
    if (entries[i].moved_back) line = entries[i].line;
    return entries[i].moved_back;
  }
  return false;
}
