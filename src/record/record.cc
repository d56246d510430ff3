// Writing the undo record as the run goes, and finding in it the tunes an
// earlier run left in hand.
#include "record/record.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "fsutil/filesystem.h"
#include "fsutil/fsutil.h"
#include "fsutil/journal.h"
#include "record/read.h"
#include "record/record_format.h"
#include "rules/line_five.h"

namespace {

// A tune an earlier run announced last: the one it had in hand if it was
// stopped before deleting the old file.
struct InHand {
  std::string from, to;
  std::uint64_t size = 0, checksum = 0;
  ino_t inode = 0;
  bool used = false;
};

// True when |c| is one of the tunes |in_hand|, whose old file holds |size|
// bytes of |checksum|: the file under its new name is then that run's very
// copy (its inode, where known, and its bytes), and the tune is taken.
bool finished_in_hand(FileSystem& fs, std::vector<InHand>& in_hand, const TuneChange& c, std::uint64_t size,
                      std::uint64_t checksum) {
  for (InHand& h : in_hand) {
    if (h.used || h.from != c.from || h.to != c.to || h.size != size || h.checksum != checksum) continue;
    const FileState copy = file_state(fs, c.to);
    const bool same = holds(copy, h.size, h.checksum) && (h.inode == 0 || copy.inode == h.inode);
    if (same) h.used = true;
    return same;
  }
  return false;
}

// Appends |text| to the record open as |fd|, now |size| bytes long: whole,
// or, when a write fails (a full disk), not at all, so that no torn line is
// left for the next entry to follow. False when it could not; |cut| is then
// false when what got in could not be taken out again.
bool append_whole(int fd, off_t size, std::string_view text, bool& cut) {
  cut = true;
  while (!text.empty()) {
    const ssize_t wrote = write(fd, text.data(), text.size());
    if (wrote <= 0) {
      if (wrote < 0 && errno == EINTR) continue;
      const int error = errno;
      cut = ftruncate(fd, size) == 0;
      errno = error;
      return false;
    }
    text.remove_prefix(static_cast<std::size_t>(wrote));
  }
  return true;
}

// Cuts the record open as |fd|, |size| bytes long, back to its last whole
// line, whose end is then in |end|. A run killed while writing an entry
// leaves it without its newline; the change it announced was never made,
// so the torn line goes, and what is appended next starts a line of its own.
bool drop_torn_line(int fd, off_t size, off_t& end) {
  end = size;
  char block[512];
  while (end > 0) {
    const off_t from = end > static_cast<off_t>(sizeof block) ? end - static_cast<off_t>(sizeof block) : 0;
    const ssize_t got = pread(fd, block, static_cast<std::size_t>(end - from), from);
    if (got != end - from) return false;
    const char* newline = static_cast<const char*>(memrchr(block, '\n', static_cast<std::size_t>(got)));
    if (newline != nullptr) {
      end = from + (newline - block) + 1;
      break;
    }
    end = from;
  }
  return end == size || ftruncate(fd, end) == 0;
}

class UndoRecord : public ChangeJournal {
 public:
  UndoRecord(FileSystem& fs, std::vector<InHand> in_hand) : fs_(fs), in_hand_(std::move(in_hand)) {}

  bool will_move(const char* source, const char* target) override {
    line_.clear();
    encode_entry(MoveEntry{source, target}, line_, number_ + 1);
    return write_entries(line_, 1) && durable({});
  }

  bool will_name_tunes(std::span<const TuneChange> batch) override {
    // The batch's line says how many entries were written with it: the
    // tunes a stopped run had in hand are among them.
    line_.clear();
    std::uint64_t number = number_;
    encode_entry(BatchEntry{batch.size()}, line_, ++number);
    for (const TuneChange& c : batch) append_tune(c, ++number);
    return write_entries(line_, 1 + batch.size()) && durable(batch);
  }

  bool will_name_tune(const TuneChange& c) override {
    line_.clear();
    append_tune(c, number_ + 1);
    return write_entries(line_, 1) && durable({&c, 1});
  }

  void name_refused(const TuneChange& c) override {
    line_.clear();
    encode_entry(CancelEntry{c.to}, line_, number_ + 1);
    // On the disk before the next change, as every entry is: an undo that
    // missed it would take the name for this tune's.
    if (write_entries(line_, 1)) durable({});
  }

  bool will_name_temporary(const char* path, std::string_view text) override {
    line_.clear();
    encode_entry(TemporaryEntry{path, text.size(), content_checksum(text)}, line_, number_ + 1);
    return write_entries(line_, 1) && durable({});
  }

  bool will_replace_document(const DocumentChange& c) override;

  void run_finished() override {
    // A run that recorded nothing has no lines to close.
    if (fd_ < 0) return;
    line_.clear();
    encode_entry(EndEntry{number_}, line_);
    write_entries(line_, 0);
  }

  bool finished_before(const TuneChange& c) override;

 private:
  void append_tune(const TuneChange& c, std::uint64_t number) {
    encode_tune(c.from, c.to, static_cast<std::uint32_t>(c.mode), c.mtime, c.size, c.checksum, c.inode,
                c.link != nullptr ? std::string_view(c.link) : std::string_view(), line_, number);
  }
  // The record's entries so far, and the bytes of the new files of
  // |tunes|, reach the disk: one sync per file system they lie on, or of
  // the record alone when there are none.
  bool durable(std::span<const TuneChange> tunes);
  bool open_record();
  // Appends |line|, which holds |numbered| numbered lines; false when it
  // cannot be written whole, and then nothing of it stays.
  bool write_entries(const std::string& line, std::uint64_t numbered);

  std::string line_;  // the entries of one write, its memory kept
  FileSystem& fs_;
  int fd_ = -1;
  off_t size_ = 0;  // the record's length after the last whole entry
  std::uint64_t number_ = 0;  // numbered lines this run has written
  bool failed_ = false;
  std::vector<InHand> in_hand_;
};

bool UndoRecord::open_record() {
  if (fd_ >= 0) return true;
  if (failed_) return false;
  // A link or anything but a plain file under the record's name is not
  // written through: a link could point out of the collection.
  fd_ = open(kUndoRecordName, O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
  struct stat st;
  if (fd_ < 0 || fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode) || !drop_torn_line(fd_, st.st_size, size_)) {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    failed_ = true;
    return false;
  }
  std::string lines;
  if (size_ == 0) encode_entry(RecordHeader{}, lines);
  encode_entry(RunEntry{static_cast<std::int64_t>(std::time(nullptr))}, lines);
  return write_entries(lines, 0);
}

bool UndoRecord::write_entries(const std::string& line, std::uint64_t numbered) {
  if (failed_ || (fd_ < 0 && !open_record())) return false;
  // One write per entry, or per batch: it reaches the file before the
  // change is made.
  bool cut = true;
  if (!append_whole(fd_, size_, line, cut)) {
    if (!cut) failed_ = true;
    return false;
  }
  size_ += static_cast<off_t>(line.size());
  number_ += numbered;
  return true;
}

bool UndoRecord::will_replace_document(const DocumentChange& c) {
  DocumentEntry e;
  e.path = c.path;
  // A document with a line 5 keeps it, with its ending; a shorter one,
  // padded by the rewrite, is kept whole.
  std::size_t start = 0, length = 0;
  e.whole = !find_line_five(c.original, start, length);
  e.kept = e.whole ? c.original : c.original.substr(start, length);
  e.mode = static_cast<std::uint32_t>(c.mode);
  e.mtime = c.mtime;
  e.size = c.original.size();
  e.xxh3 = content_checksum(c.original);
  e.new_size = c.rewritten.size();
  e.new_xxh3 = content_checksum(c.rewritten);
  line_.clear();
  encode_entry(e, line_, number_ + 1);
  return write_entries(line_, 1) && durable({});
}

bool UndoRecord::durable(std::span<const TuneChange> tunes) {
  // The record alone: syncing its own bytes is far cheaper than syncing
  // the whole file system, which may hold other programs' writes.
  if (tunes.empty()) return fs_.sync_file(fd_);
  // One file of each file system the new files are on is enough.
  std::vector<int> fds{fd_};
  std::vector<dev_t> devices;
  for (const TuneChange& c : tunes) {
    if (c.fd < 0) continue;
    if (c.inode != 0 && std::find(devices.begin(), devices.end(), c.device) != devices.end()) continue;
    if (c.inode != 0) devices.push_back(c.device);
    fds.push_back(c.fd);
  }
  return fs_.sync_file_systems(fds);
}

bool UndoRecord::finished_before(const TuneChange& c) { return finished_in_hand(fs_, in_hand_, c, c.size, c.checksum); }

// The tunes each run of |record| had in hand when it ended: those of its
// last batch, and any named on their own after it, less those taken back.
// Before a run's first batch line each tune stands alone, as in records of
// releases that wrote no batch lines. Lines that cannot be read are passed
// over here; the undo refuses them.
std::vector<InHand> tunes_in_hand(const std::string& record) {
  std::vector<InHand> found;
  std::vector<Entry> tunes;  // the run's last batch
  bool batched = false;
  const auto keep = [&] {
    for (Entry& e : tunes) {
      TuneEntry& t = std::get<TuneEntry>(e.change);
      found.push_back({std::move(t.from), std::move(t.to), t.size, t.xxh3, t.inode});
    }
    tunes.clear();
    batched = false;
  };
  RecordEntry entry;
  for (std::size_t pos = 0, end; (end = record.find('\n', pos)) != std::string::npos; pos = end + 1) {
    if (!decode_entry(std::string_view(record).substr(pos, end - pos), entry)) continue;
    if (std::holds_alternative<BatchEntry>(entry)) {
      tunes.clear();
      batched = true;
    } else if (TuneEntry* tune = std::get_if<TuneEntry>(&entry)) {
      if (!batched) tunes.clear();
      tunes.push_back({std::move(*tune)});
    } else if (const CancelEntry* cancel = std::get_if<CancelEntry>(&entry)) {
      cancel_tune(tunes, cancel->to);
    } else if (std::holds_alternative<RunEntry>(entry)) {
      keep();
    } else if (std::holds_alternative<EndEntry>(entry)) {
      // A run that ended normally left nothing in hand.
      tunes.clear();
    }
  }
  keep();
  return found;
}

// The preview's journal: it records nothing, and foresees which tunes a
// run would finish from the record, as the run's own journal decides.
class RecordForPreview : public NullJournal {
 public:
  RecordForPreview(FileSystem& fs, std::vector<InHand> in_hand) : fs_(fs), in_hand_(std::move(in_hand)) {}

  bool finished_before(const TuneChange& c) override {
    // The old file's checksum is worked out only for a tune in hand: the
    // preview reads no more of the other tunes than their headers.
    const auto in_hand = [&c](const InHand& h) { return !h.used && h.from == c.from && h.to == c.to; };
    if (std::none_of(in_hand_.begin(), in_hand_.end(), in_hand)) return false;
    const int fd = fs_.open_file(c.from, /*follow_links=*/true);
    std::uint64_t size = 0, checksum = 0;
    const bool read = fd >= 0 && checksum_of_file(fd, size, checksum);
    if (fd >= 0) close(fd);
    return read && finished_in_hand(fs_, in_hand_, c, size, checksum);
  }

 private:
  FileSystem& fs_;
  std::vector<InHand> in_hand_;
};

}  // namespace

std::unique_ptr<ChangeJournal> foresee_from_record(FileSystem& fs) {
  std::string record;
  if (!read_record(record)) record.clear();
  return std::make_unique<RecordForPreview>(fs, tunes_in_hand(record));
}

bool append_moved_back(FileSystem& disk, std::uint64_t line) {
  const int fd = open(kUndoRecordName, O_RDWR | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  std::string text;
  encode_entry(MovedBackEntry{line}, text);
  struct stat st;
  bool cut = true;
  // The line reaches the disk before the next step back, so that a power
  // cut leaves at most the newest move back unnoted, as a kill does.
  off_t end = 0;
  bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && drop_torn_line(fd, st.st_size, end) &&
            append_whole(fd, end, text, cut) && disk.sync_file(fd);
  if (!ok && !cut) errno = ENOSPC;
  close(fd);
  return ok;
}

std::unique_ptr<ChangeJournal> start_undo_record(FileSystem& disk) {
  std::string record;
  read_record(record);
  // An undo stopped between moving a directory back and saying so: said
  // now, before this run's own moves.
  RecordEntries entries;
  std::string bad_line;
  RecordHealth health;
  std::size_t line = 0;
  if (const int fd = open_record(); fd >= 0 && entries.read_lines(fd, bad_line, health)) {
    entries.follow_moves_undone(disk);
    if (entries.newest_move_moved_back_unsaid(line)) append_moved_back(disk, line);
  }
  return std::make_unique<UndoRecord>(disk, tunes_in_hand(record));
}
