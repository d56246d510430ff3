// Reading the undo record back.
#include "record/read.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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

namespace {

// A checksum of a tune's new name: two names that differ have different
// ones nearly always, and a match is confirmed by the names themselves.
std::uint32_t hash_of(std::string_view text) { return static_cast<std::uint32_t>(content_checksum(text)); }

// Entries of the record that tell of a change, as Change alternatives.
bool to_change(RecordEntry& decoded, Change& change) {
  if (auto* move = std::get_if<MoveEntry>(&decoded)) {
    // Written as mv was given it; one that starts with "../" or "/" is
    // refused as lying outside.
    move->to = path_from_root(move->to);
    change = std::move(*move);
  } else if (auto* tune = std::get_if<TuneEntry>(&decoded)) {
    change = std::move(*tune);
  } else if (auto* temporary = std::get_if<TemporaryEntry>(&decoded)) {
    change = std::move(*temporary);
  } else if (auto* document = std::get_if<DocumentEntry>(&decoded)) {
    change = std::move(*document);
  } else {
    return false;
  }
  return true;
}

// The record's bytes read in blocks of this size.
constexpr std::size_t kReadBlockSize = 1 << 16;
// What a line that cannot be read shows of itself.
constexpr std::size_t kShownLineLength = 200;

}  // namespace

RecordEntries::~RecordEntries() {
  if (fd_ >= 0) close(fd_);
}

bool RecordEntries::read_lines(int fd, std::string& bad_line, RecordHealth& health) {
  fd_ = fd;
  bool first = true;
  RecordEntry decoded;
  std::uint64_t number = 0;
  RunCheck runs(health);
  std::string line;
  std::uint64_t line_start = 0, offset = 0;
  bool too_long = false;
  char block[kReadBlockSize];
  // A last line without its newline is an entry whose writing a kill cut
  // short: the change it was to announce was never made.
  for (ssize_t got; (got = pread(fd_, block, sizeof block, static_cast<off_t>(offset))) != 0;) {
    if (got < 0) {
      if (errno == EINTR) continue;
      bad_line = std::string("(the record cannot be read: ") + std::strerror(errno) + ")";
      return false;
    }
    std::string_view rest(block, static_cast<std::size_t>(got));
    offset += static_cast<std::uint64_t>(got);
    while (!rest.empty()) {
      const std::size_t newline = rest.find('\n');
      const std::string_view part = rest.substr(0, newline);
      // A line longer than any entry is refused without being held whole.
      if (line.size() + part.size() > kMaxRecordLineLength) {
        too_long = true;
        if (line.size() <= kShownLineLength) line.append(part.substr(0, kShownLineLength + 1 - line.size()));
      } else if (!too_long) {
        line.append(part);
      }
      if (newline == std::string_view::npos) break;
      rest.remove_prefix(newline + 1);
      const std::uint64_t start = line_start;
      line_start = offset - rest.size();
      if (line.empty() && !too_long) continue;
      // The first line says what the file is.
      if (too_long || !decode_entry(line, decoded, number) || (first && !std::holds_alternative<RecordHeader>(decoded))) {
        bad_line = std::move(line);
        return false;
      }
      first = false;
      runs.line(decoded, number);
      if (const auto* back = std::get_if<MovedBackEntry>(&decoded)) {
        moved_back_.push_back({back->line, start});
      } else if (const auto* c = std::get_if<CancelEntry>(&decoded)) {
        cancel(c->to);
      } else {
        Change change;
        if (to_change(decoded, change)) {
          Ref ref{start, static_cast<std::uint32_t>(line.size()), 0, static_cast<std::uint8_t>(change.index()), false};
          if (const auto* tune = std::get_if<TuneEntry>(&change)) ref.to_hash = hash_of(tune->to);
          refs_.push_back(ref);
        }
        // The header, each run's start and end, and the batch lines say
        // nothing to undo.
      }
      line.clear();
    }
  }
  runs.end_of_run();
  return true;
}

void RecordEntries::cancel(const std::string& to) {
  // The tune announced under that name was not named after all: the
  // newest one, which is nearly always among the last few.
  const std::uint32_t hash = hash_of(to);
  const std::uint8_t tune_kind = static_cast<std::uint8_t>(Change(TuneEntry{}).index());
  for (auto it = refs_.rbegin(); it != refs_.rend(); ++it) {
    if (it->kind != tune_kind || it->to_hash != hash) continue;
    RecordEntry entry;
    if (decode_again(*it, entry) && std::get<TuneEntry>(entry).to == to) {
      refs_.erase(std::next(it).base());
      return;
    }
  }
}

bool RecordEntries::decode_again(const Ref& ref, RecordEntry& entry) const {
  std::string line(ref.length, '\0');
  std::size_t done = 0;
  while (done < line.size()) {
    const ssize_t got = pread(fd_, line.data() + done, line.size() - done, static_cast<off_t>(ref.line + done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    done += static_cast<std::size_t>(got);
  }
  return decode_entry(line, entry);
}

bool RecordEntries::load(std::size_t i, Entry& entry) const {
  const Ref& ref = refs_[i];
  RecordEntry decoded;
  if (!decode_again(ref, decoded) || !to_change(decoded, entry.change) || entry.change.index() != ref.kind) return false;
  entry.line = ref.line;
  entry.moved_back = ref.moved_back;
  for (const Rebase& r : rebases_) {
    if (i < r.first || i >= r.last) continue;
    for_each_path(entry, [&](std::string& path) { rebase_path(path, r.now, r.old); });
  }
  return true;
}

void RecordEntries::rebase(std::size_t first, std::size_t last, const std::string& now, const std::string& old) {
  if (first < last) rebases_.push_back({first, last, now, old});
}

void RecordEntries::follow_moves_undone(FileSystem& fs) {
  // The entries before |at| in the record: those an undo stopped there saw.
  const auto written_before = [&](std::size_t at) {
    std::size_t end = 0;
    while (end < refs_.size() && refs_[end].line < at) ++end;
    return end;
  };
  const std::uint8_t move_kind = static_cast<std::uint8_t>(Change(MoveEntry{}).index());
  const auto undone = [&](std::size_t i, std::size_t end, const MoveEntry& m) {
    refs_[i].moved_back = true;
    rebase(i + 1, end, m.to, m.from);
  };
  Entry e;
  for (const MovedBack& back : moved_back_) {
    const std::size_t end = written_before(back.at);
    for (std::size_t i = 0; i < end; ++i) {
      if (refs_[i].line == back.move_line && refs_[i].kind == move_kind && !refs_[i].moved_back && load(i, e)) {
        undone(i, end, std::get<MoveEntry>(e.change));
      }
    }
  }
  // A run after the stopped undo noted this move itself, when it started
  // (see newest_move_moved_back_unsaid), and its own moves are then the
  // newest.
  const std::size_t end = refs_.size();
  for (std::size_t i = end; i-- > 0;) {
    if (refs_[i].kind != move_kind || refs_[i].moved_back) continue;
    if (!load(i, e)) return;
    const MoveEntry& m = std::get<MoveEntry>(e.change);
    if (fs.kind(m.to.c_str()) != EntryKind::Directory && fs.exists(m.from.c_str())) undone(i, end, m);
    return;
  }
}

bool RecordEntries::newest_move_moved_back_unsaid(std::size_t& line) const {
  const std::uint8_t move_kind = static_cast<std::uint8_t>(Change(MoveEntry{}).index());
  const auto noted = [&](const Ref& r) {
    return std::any_of(moved_back_.begin(), moved_back_.end(), [&](const MovedBack& b) { return b.move_line == r.line; });
  };
  // The newest move no line says is back: follow_moves_undone marked it if
  // its directory is back all the same.
  for (std::size_t i = refs_.size(); i-- > 0;) {
    if (refs_[i].kind != move_kind || noted(refs_[i])) continue;
    if (refs_[i].moved_back) line = refs_[i].line;
    return refs_[i].moved_back;
  }
  return false;
}

void rebase_path(std::string& path, const std::string& now, const std::string& old) {
  if (path == now || path.starts_with(now + "/")) path = old + path.substr(now.size());
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

