// Writing the undo record as the run goes, and finding in it the tunes an
// earlier run left in hand.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <memory>
#include <nlohmann/json.hpp>
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
  char text[17];
  std::snprintf(text, sizeof text, "%016" PRIx64, value);
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

  bool will_name_tune(const TuneChange& c) override {
    char numbers[160];
    std::snprintf(numbers, sizeof numbers,
                  ",\"mode\":%u,\"mtime\":[%lld,%ld],\"size\":%" PRIu64 ",\"xxh3\":\"%s\",\"inode\":%llu}}\n",
                  static_cast<unsigned>(c.mode), static_cast<long long>(c.mtime.tv_sec), c.mtime.tv_nsec, c.size,
                  hex64(c.checksum).c_str(), static_cast<unsigned long long>(c.inode));
    return append("{\"tune\":{\"from\":" + record_string(c.from) + ",\"to\":" + record_string(c.to) + numbers);
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
  bool append(const std::string& line);

  int fd_ = -1;
  bool failed_ = false;
  std::vector<InHand> in_hand_;
};

bool UndoRecord::open_record() {
  if (fd_ >= 0) return true;
  if (failed_) return false;
  // A link or anything but a plain file under the record's name is not
  // written through: a link could point out of the collection.
  fd_ = open(kUndoRecordName, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
  struct stat st;
  if (fd_ < 0 || fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    failed_ = true;
    return false;
  }
  if (st.st_size == 0 && !append(kHeader)) return false;
  return append("{\"run\":{\"started\":" + std::to_string(static_cast<long long>(std::time(nullptr))) + "}}\n");
}

bool UndoRecord::append(const std::string& line) {
  if (fd_ < 0 && !open_record()) return false;
  // One write per entry: it reaches the file before the change is made.
  std::string_view rest = line;
  while (!rest.empty()) {
    const ssize_t wrote = write(fd_, rest.data(), rest.size());
    if (wrote <= 0) {
      if (wrote < 0 && errno == EINTR) continue;
      return false;
    }
    rest.remove_prefix(static_cast<std::size_t>(wrote));
  }
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

// The last tune each run of |record| announced and did not take back.
std::vector<InHand> tunes_in_hand(const std::string& record) {
  std::vector<InHand> found;
  std::string last_tune;
  const auto keep = [&] {
    if (last_tune.empty()) return;
    const nlohmann::json entry = nlohmann::json::parse(last_tune, nullptr, false);
    last_tune.clear();
    if (entry.is_discarded() || !entry.contains("tune")) return;
    const nlohmann::json& t = entry["tune"];
    InHand h;
    if (!t.contains("from") || !t.contains("to") || !record_bytes(t["from"].get<std::string>(), h.from) ||
        !record_bytes(t["to"].get<std::string>(), h.to) || !parse_hex64(t.value("xxh3", ""), h.checksum)) {
      return;
    }
    h.size = t.value("size", std::uint64_t{0});
    h.inode = static_cast<ino_t>(t.value("inode", std::uint64_t{0}));
    found.push_back(h);
  };
  std::size_t pos = 0;
  while (pos < record.size()) {
    std::size_t end = record.find('\n', pos);
    if (end == std::string::npos) end = record.size();
    const std::string_view line(record.data() + pos, end - pos);
    // Only a few lines are read as JSON: the scan looks at how lines begin.
    if (line.starts_with("{\"tune\":")) {
      last_tune = line;
    } else if (line.starts_with("{\"cancel\":")) {
      last_tune.clear();
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
