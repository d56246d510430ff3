// Writing the undo record as the run goes, and finding in it the tunes an
// earlier run left in hand.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <nlohmann/json.hpp>
#include <span>
#include <string>
#include <vector>

#include "fsutil/fsutil.h"
#include "fsutil/journal.h"
#include "run/run.h"
#include "undo/record_format.h"
#include "undo/undo.h"

std::string record_string(std::string_view bytes) {
  std::string utf8;
  utf8.reserve(bytes.size());
  for (char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x80) {
      utf8 += c;
    } else {
      utf8 += static_cast<char>(0xc0 | (b >> 6));
      utf8 += static_cast<char>(0x80 | (b & 0x3f));
    }
  }
  return nlohmann::json(utf8).dump();
}

bool record_bytes(const std::string& utf8, std::string& bytes) {
  bytes.clear();
  for (std::size_t i = 0; i < utf8.size(); ++i) {
    const auto b = static_cast<unsigned char>(utf8[i]);
    if (b < 0x80) {
      bytes += static_cast<char>(b);
    } else if ((b == 0xc2 || b == 0xc3) && i + 1 < utf8.size()) {
      bytes += static_cast<char>(((b & 0x03) << 6) | (static_cast<unsigned char>(utf8[++i]) & 0x3f));
    } else {
      return false;
    }
  }
  return true;
}

std::string hex64(std::uint64_t value) {
  constexpr char kDigits[] = "0123456789abcdef";
  std::string text(16, '0');
  for (int i = 15; i >= 0; --i, value >>= 4) text[static_cast<std::size_t>(i)] = kDigits[value & 0xf];
  return text;
}

bool parse_hex64(const std::string& text, std::uint64_t& value) {
  if (text.size() != 16) return false;
  char* end = nullptr;
  value = std::strtoull(text.c_str(), &end, 16);
  return end == text.c_str() + text.size();
}

namespace {

// The record's first line, which says what the file is.
constexpr char kHeader[] = "{\"tuvo_2_undo\":1}\n";

void append_record_string(std::string& out, std::string_view bytes) {
  // Nearly every name needs no escaping and is written as it is; the JSON
  // library writes the others.
  const bool plain = std::all_of(bytes.begin(), bytes.end(), [](char c) {
    const auto b = static_cast<unsigned char>(c);
    return b >= 0x20 && b < 0x7f && c != '"' && c != '\\';
  });
  if (!plain) {
    out += record_string(bytes);
    return;
  }
  out += '"';
  out += bytes;
  out += '"';
}

void append_number(std::string& out, std::uint64_t value) {
  char text[24];
  out.append(text, std::to_chars(text, text + sizeof text, value).ptr);
}

void append_signed(std::string& out, long long value) {
  char text[24];
  out.append(text, std::to_chars(text, text + sizeof text, value).ptr);
}

// A tune's entry, one line.
void append_tune(std::string& out, const TuneChange& c) {
  out += "{\"tune\":{\"from\":";
  append_record_string(out, c.from);
  out += ",\"to\":";
  append_record_string(out, c.to);
  out += ",\"mode\":";
  append_number(out, c.mode);
  out += ",\"mtime\":[";
  append_signed(out, c.mtime.tv_sec);
  out += ',';
  append_signed(out, c.mtime.tv_nsec);
  out += "],\"size\":";
  append_number(out, c.size);
  out += ",\"xxh3\":\"";
  out += hex64(c.checksum);
  out += "\",\"inode\":";
  append_number(out, c.inode);
  out += "}}\n";
}

// A tune an earlier run announced last: the one it had in hand if it was
// stopped before deleting the old file.
struct InHand {
  std::string from, to;
  std::uint64_t size = 0, checksum = 0;
  ino_t inode = 0;
  bool used = false;
};

class UndoRecord : public ChangeJournal {
 public:
  explicit UndoRecord(std::vector<InHand> in_hand) : in_hand_(std::move(in_hand)) {}

  bool will_move(const char* source, const char* target) override {
    return append("{\"move\":{\"from\":" + record_string(source) + ",\"to\":" + record_string(target) + "}}\n");
  }

  bool will_name_tunes(std::span<const TuneChange> batch) override {
    // The batch's line says how many entries were written with it: the
    // tunes a stopped run had in hand are among them.
    line_.assign("{\"batch\":");
    append_number(line_, batch.size());
    line_ += "}\n";
    for (const TuneChange& c : batch) append_tune(line_, c);
    return append(line_);
  }

  bool will_name_tune(const TuneChange& c) override {
    line_.clear();
    append_tune(line_, c);
    return append(line_);
  }

  void name_refused(const TuneChange& c) override {
    append("{\"cancel\":{\"to\":" + record_string(c.to) + "}}\n");
  }

  bool will_name_temporary(const char* path, std::string_view text) override {
    return append("{\"temporary\":{\"path\":" + record_string(path) + ",\"size\":" + std::to_string(text.size()) +
                  ",\"xxh3\":\"" + hex64(content_checksum(text)) + "\"}}\n");
  }

  bool will_replace_document(const DocumentChange& c) override;

  bool finished_before(const TuneChange& c) override;

 private:
  bool open_record();
  // Cuts the record of |size| bytes back to its last whole line.
  bool drop_torn_entry(off_t size);
  bool append(const std::string& line);

  std::string line_;  // the entries of one write, its memory kept
  int fd_ = -1;
  off_t size_ = 0;  // the record's length after the last whole entry
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
  if (fd_ < 0 || fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode) || !drop_torn_entry(st.st_size)) {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    failed_ = true;
    return false;
  }
  if (size_ == 0 && !append(kHeader)) return false;
  return append("{\"run\":{\"started\":" + std::to_string(static_cast<long long>(std::time(nullptr))) + "}}\n");
}

bool UndoRecord::drop_torn_entry(off_t size) {
  // A run killed while writing an entry leaves it without its newline; the
  // change it announced was never made, so the torn line goes.
  off_t end = size;
  char block[512];
  while (end > 0) {
    const off_t from = end > static_cast<off_t>(sizeof block) ? end - static_cast<off_t>(sizeof block) : 0;
    const ssize_t got = pread(fd_, block, static_cast<std::size_t>(end - from), from);
    if (got != end - from) return false;
    const char* newline = static_cast<const char*>(memrchr(block, '\n', static_cast<std::size_t>(got)));
    if (newline != nullptr) {
      end = from + (newline - block) + 1;
      break;
    }
    end = from;
  }
  if (end != size && ftruncate(fd_, end) != 0) return false;
  size_ = end;
  return true;
}

bool UndoRecord::append(const std::string& line) {
  if (failed_ || (fd_ < 0 && !open_record())) return false;
  // One write per entry, or per batch: it reaches the file before the
  // change is made.
  std::string_view rest = line;
  while (!rest.empty()) {
    const ssize_t wrote = write(fd_, rest.data(), rest.size());
    if (wrote <= 0) {
      if (wrote < 0 && errno == EINTR) continue;
      // What did get in (a full disk) is taken out again, so that no torn
      // line is left for the next entry to follow.
      const int error = errno;
      if (ftruncate(fd_, size_) != 0) failed_ = true;
      errno = error;
      return false;
    }
    rest.remove_prefix(static_cast<std::size_t>(wrote));
  }
  size_ += static_cast<off_t>(line.size());
  return true;
}

bool UndoRecord::will_replace_document(const DocumentChange& c) {
  std::size_t start = 0, length = 0;
  std::string text;
  // A document with a line 5 keeps it, with its ending; a shorter one,
  // padded by the rewrite, is kept whole.
  if (find_line_five(c.original, start, length)) {
    text = ",\"line5\":" + record_string(c.original.substr(start, length));
  } else {
    text = ",\"original\":" + record_string(c.original);
  }
  char numbers[200];
  std::snprintf(numbers, sizeof numbers,
                ",\"mode\":%u,\"mtime\":[%lld,%ld],\"size\":%zu,\"xxh3\":\"%s\",\"new_size\":%zu,\"new_xxh3\":\"%s\"}}\n",
                static_cast<unsigned>(c.mode), static_cast<long long>(c.mtime.tv_sec), c.mtime.tv_nsec,
                c.original.size(), hex64(content_checksum(c.original)).c_str(), c.rewritten.size(),
                hex64(content_checksum(c.rewritten)).c_str());
  return append("{\"document\":{\"path\":" + record_string(c.path) + text + numbers);
}

bool UndoRecord::finished_before(const TuneChange& c) {
  for (InHand& h : in_hand_) {
    if (h.used || h.from != c.from || h.to != c.to || h.size != c.size || h.checksum != c.checksum) continue;
    // The file under the new name must be that run's very copy.
    const int fd = open(c.to, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st;
    std::uint64_t size = 0, checksum = 0;
    const bool same = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && (h.inode == 0 || st.st_ino == h.inode) &&
                      checksum_of_file(fd, size, checksum) && size == h.size && checksum == h.checksum;
    close(fd);
    if (same) h.used = true;
    return same;
  }
  return false;
}

// Drops from |tunes| the latest one whose new name the cancel |line|
// takes back.
void take_back(std::vector<std::string_view>& tunes, std::string_view line) {
  const nlohmann::json cancel = nlohmann::json::parse(line, nullptr, false);
  if (cancel.is_discarded() || !cancel.contains("cancel") || !cancel["cancel"].is_object() ||
      !cancel["cancel"].contains("to")) {
    return;
  }
  const nlohmann::json& to = cancel["cancel"]["to"];
  for (auto it = tunes.rbegin(); it != tunes.rend(); ++it) {
    const nlohmann::json tune = nlohmann::json::parse(*it, nullptr, false);
    if (!tune.is_discarded() && tune.contains("tune") && tune["tune"].is_object() && tune["tune"].contains("to") &&
        tune["tune"]["to"] == to) {
      tunes.erase(std::next(it).base());
      return;
    }
  }
}

// The tunes each run of |record| had in hand when it ended: those of its
// last batch, and any named on their own after it, less those taken back.
// Before a run's first batch line each tune stands alone, as in records of
// releases that wrote no batch lines.
std::vector<InHand> tunes_in_hand(const std::string& record) {
  std::vector<InHand> found;
  std::vector<std::string_view> tunes;  // the run's last batch, as lines
  bool batched = false;
  const auto keep = [&] {
    for (const std::string_view line : tunes) {
      const nlohmann::json entry = nlohmann::json::parse(line, nullptr, false);
      if (entry.is_discarded() || !entry.contains("tune")) continue;
      const nlohmann::json& t = entry["tune"];
      InHand h;
      if (!t.is_object() || !t.contains("from") || !t.contains("to") || !t["from"].is_string() ||
          !t["to"].is_string() || !record_bytes(t["from"].get<std::string>(), h.from) ||
          !record_bytes(t["to"].get<std::string>(), h.to) || !t.contains("xxh3") || !t["xxh3"].is_string() ||
          !parse_hex64(t["xxh3"].get<std::string>(), h.checksum)) {
        continue;
      }
      if (t.contains("size") && t["size"].is_number_unsigned()) h.size = t["size"].get<std::uint64_t>();
      if (t.contains("inode") && t["inode"].is_number_unsigned()) h.inode = static_cast<ino_t>(t["inode"].get<std::uint64_t>());
      found.push_back(h);
    }
    tunes.clear();
    batched = false;
  };
  std::size_t pos = 0;
  while (pos < record.size()) {
    std::size_t end = record.find('\n', pos);
    if (end == std::string::npos) end = record.size();
    const std::string_view line(record.data() + pos, end - pos);
    // Only a few lines are read as JSON: the scan looks at how lines begin.
    if (line.starts_with("{\"batch\":")) {
      tunes.clear();
      batched = true;
    } else if (line.starts_with("{\"tune\":")) {
      if (!batched) tunes.clear();
      tunes.push_back(line);
    } else if (line.starts_with("{\"cancel\":")) {
      take_back(tunes, line);
    } else if (line.starts_with("{\"run\":")) {
      keep();
    }
    pos = end + 1;
  }
  keep();
  return found;
}

}  // namespace

bool read_record(std::string& text) {
  const int fd = open(kUndoRecordName, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  const bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && read_to_end(fd, text);
  close(fd);
  return ok;
}

void start_undo_record() {
  std::string record;
  read_record(record);
  static std::unique_ptr<UndoRecord> record_of_run;
  record_of_run = std::make_unique<UndoRecord>(tunes_in_hand(record));
  g_change_journal = record_of_run.get();
}
