// The undo record's lines: how each entry is written and read back.
#include "record/record_format.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <limits>
#include <nlohmann/json.hpp>

#include "fsutil/fsutil.h"
#include "record/record.h"
#include "sid/sid_convert.h"

namespace {

using nlohmann::json;

// Largest permission bits a mode holds (set-id, sticky, rwx for all).
constexpr std::uint64_t kMaxMode = 07777;
constexpr long kNanosecondsPerSecond = 1'000'000'000;

// ---- Writing ----

// |bytes| as a JSON string whose letters are the bytes' Latin-1 letters.
void append_string(std::string& out, std::string_view bytes) {
  // Nearly every name needs no escaping and is written as it is; the JSON
  // library writes the others.
  const bool plain = std::all_of(bytes.begin(), bytes.end(), [](char c) {
    const auto b = static_cast<unsigned char>(c);
    return b >= 0x20 && b < 0x7f && c != '"' && c != '\\';
  });
  if (plain) {
    out += '"';
    out += bytes;
    out += '"';
    return;
  }
  std::string utf8;
  utf8.reserve(bytes.size() * 2);
  for (char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x80) {
      utf8 += c;
    } else {
      utf8 += static_cast<char>(0xc0 | (b >> 6));
      utf8 += static_cast<char>(0x80 | (b & 0x3f));
    }
  }
  out += json(utf8).dump();
}

template <typename Number>
void append_number(std::string& out, Number value) {
  char text[24];
  out.append(text, std::to_chars(text, text + sizeof text, value).ptr);
}

void append_hex(std::string& out, std::uint64_t value) {
  constexpr char kDigits[] = "0123456789abcdef";
  char text[18] = {'"'};
  for (int i = 16; i >= 1; --i, value >>= 4) text[i] = kDigits[value & 0xf];
  text[17] = '"';
  out.append(text, sizeof text);
}

void append_mtime(std::string& out, const timespec& t) {
  out += '[';
  append_number(out, static_cast<long long>(t.tv_sec));
  out += ',';
  append_number(out, static_cast<long long>(t.tv_nsec));
  out += ']';
}

struct Encoder {
  std::string& out;

  void operator()(const RecordHeader& e) {
    out += "{\"tuvo_2_undo\":";
    append_number(out, e.version);
    out += "}\n";
  }
  void operator()(const RunEntry& e) {
    out += "{\"run\":{\"started\":";
    append_number(out, e.started);
    out += "}}\n";
  }
  void operator()(const MoveEntry& e) {
    out += "{\"move\":{\"from\":";
    append_string(out, e.from);
    out += ",\"to\":";
    append_string(out, e.to);
    out += "}}\n";
  }
  void operator()(const BatchEntry& e) {
    out += "{\"batch\":";
    append_number(out, e.count);
    out += "}\n";
  }
  void operator()(const TuneEntry& e) {
    encode_tune(e.from, e.to, e.mode, e.mtime, e.size, e.xxh3, e.inode, e.link, out);
  }
  void operator()(const CancelEntry& e) {
    out += "{\"cancel\":{\"to\":";
    append_string(out, e.to);
    out += "}}\n";
  }
  void operator()(const TemporaryEntry& e) {
    out += "{\"temporary\":{\"path\":";
    append_string(out, e.path);
    out += ",\"size\":";
    append_number(out, e.size);
    out += ",\"xxh3\":";
    append_hex(out, e.xxh3);
    out += "}}\n";
  }
  void operator()(const DocumentEntry& e) {
    out += "{\"document\":{\"path\":";
    append_string(out, e.path);
    out += e.whole ? ",\"original\":" : ",\"line5\":";
    append_string(out, e.kept);
    out += ",\"mode\":";
    append_number(out, e.mode);
    out += ",\"mtime\":";
    append_mtime(out, e.mtime);
    out += ",\"size\":";
    append_number(out, e.size);
    out += ",\"xxh3\":";
    append_hex(out, e.xxh3);
    out += ",\"new_size\":";
    append_number(out, e.new_size);
    out += ",\"new_xxh3\":";
    append_hex(out, e.new_xxh3);
    out += "}}\n";
  }
  void operator()(const MovedBackEntry& e) {
    out += "{\"moved_back\":";
    append_number(out, e.line);
    out += "}\n";
  }
  void operator()(const EndEntry& e) {
    out += "{\"end\":";
    append_number(out, e.entries);
    out += "}\n";
  }
};

// Opens a line, numbered when |number| is not 0; the kind follows.
void open_line(std::string& out, std::uint64_t number) {
  out += '{';
  if (number == 0) return;
  out += "\"n\":";
  append_number(out, number);
  out += ',';
}

// ---- Reading ----

// The bytes of a string read from the record (each letter's value); false
// when a letter is beyond Latin-1.
bool latin1_bytes(const std::string& utf8, std::string& bytes) {
  bytes.clear();
  bytes.reserve(utf8.size());
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

// The fields of one entry, each taken once; done() tells whether every
// field of the object was taken, so that no unknown one slips through.
class Fields {
 public:
  explicit Fields(const json& object) : object_(object) {}

  bool text(const char* key, std::string& out) {
    const json* v = take(key);
    return v != nullptr && v->is_string() && latin1_bytes(v->get_ref<const std::string&>(), out);
  }
  bool path(const char* key, std::string& out) {
    return text(key, out) && !out.empty() && out.size() <= kMaxRecordedPathLength &&
           out.find('\0') == std::string::npos;
  }
  bool link_target(const char* key, std::string& out) {
    return text(key, out) && !out.empty() && out.size() <= kMaxLinkTargetLength && out.find('\0') == std::string::npos;
  }
  bool unsigned_number(const char* key, std::uint64_t& out) {
    const json* v = take(key);
    if (v == nullptr || !v->is_number_unsigned()) return false;
    out = v->get<std::uint64_t>();
    return true;
  }
  bool signed_number(const char* key, std::int64_t& out) { return integer(take(key), out); }
  bool mode(const char* key, std::uint32_t& out) {
    std::uint64_t value = 0;
    if (!unsigned_number(key, value) || value > kMaxMode) return false;
    out = static_cast<std::uint32_t>(value);
    return true;
  }
  bool mtime(const char* key, timespec& out) {
    const json* v = take(key);
    std::int64_t sec = 0, nsec = 0;
    if (v == nullptr || !v->is_array() || v->size() != 2 || !integer(&(*v)[0], sec) || !integer(&(*v)[1], nsec) ||
        nsec < 0 || nsec >= kNanosecondsPerSecond) {
      return false;
    }
    out.tv_sec = static_cast<time_t>(sec);
    out.tv_nsec = static_cast<long>(nsec);
    return true;
  }
  bool checksum(const char* key, std::uint64_t& out) {
    const json* v = take(key);
    if (v == nullptr || !v->is_string()) return false;
    const std::string& s = v->get_ref<const std::string&>();
    if (s.size() != 16 || !std::all_of(s.begin(), s.end(), [](char c) {
          return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
        })) {
      return false;
    }
    return std::from_chars(s.data(), s.data() + s.size(), out, 16).ec == std::errc{};
  }
  bool has(const char* key) const { return object_.contains(key); }
  bool done() const { return taken_ == object_.size(); }

 private:
  const json* take(const char* key) {
    const auto it = object_.find(key);
    if (it == object_.end()) return nullptr;
    ++taken_;
    return &*it;
  }
  static bool integer(const json* v, std::int64_t& out) {
    if (v == nullptr) return false;
    if (v->is_number_unsigned()) {
      const std::uint64_t u = v->get<std::uint64_t>();
      if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return false;
      out = static_cast<std::int64_t>(u);
      return true;
    }
    if (!v->is_number_integer()) return false;
    out = v->get<std::int64_t>();
    return true;
  }

  const json& object_;
  std::size_t taken_ = 0;
};

// No entry nests deeper: the line's object, the entry's object, its mtime.
constexpr int kMaxEntryDepth = 3;

// True when |line| nests no deeper than an entry does, looked at before it
// is parsed: a line of a million brackets is junk, and would cost the
// parser time and memory to find so.
bool nests_like_an_entry(std::string_view line) {
  int depth = 0;
  bool in_string = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (in_string) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == '"') {
      in_string = true;
    } else if (c == '{' || c == '[') {
      if (++depth > kMaxEntryDepth) return false;
    } else if (c == '}' || c == ']') {
      --depth;
    }
  }
  return true;
}

bool decode_value(const std::string& kind, const json& value, RecordEntry& entry) {
  if (kind == "tuvo_2_undo") {
    if (!value.is_number_unsigned() || value.get<std::uint64_t>() < 1 ||
        value.get<std::uint64_t>() > kRecordVersion) {
      return false;
    }
    entry = RecordHeader{value.get<std::uint64_t>()};
    return true;
  }
  if (kind == "batch" || kind == "moved_back" || kind == "end") {
    if (!value.is_number_unsigned()) return false;
    const std::uint64_t n = value.get<std::uint64_t>();
    if (kind == "moved_back") {
      entry = MovedBackEntry{n};
      return true;
    }
    if (kind == "end") {
      entry = EndEntry{n};
      return true;
    }
    if (n < 1 || n > kTuneBatchSize) return false;
    entry = BatchEntry{n};
    return true;
  }
  if (!value.is_object()) return false;
  Fields f(value);
  if (kind == "run") {
    RunEntry e;
    if (!f.signed_number("started", e.started) || !f.done()) return false;
    entry = e;
    return true;
  }
  if (kind == "move") {
    MoveEntry e;
    if (!f.path("from", e.from) || !f.path("to", e.to) || !f.done()) return false;
    entry = std::move(e);
    return true;
  }
  if (kind == "tune") {
    TuneEntry e;
    if (!f.path("from", e.from) || !f.path("to", e.to) || !f.mode("mode", e.mode) || !f.mtime("mtime", e.mtime) ||
        !f.unsigned_number("size", e.size) || !f.checksum("xxh3", e.xxh3) || !f.unsigned_number("inode", e.inode) ||
        (f.has("link") && !f.link_target("link", e.link)) || !f.done()) {
      return false;
    }
    entry = std::move(e);
    return true;
  }
  if (kind == "cancel") {
    CancelEntry e;
    if (!f.path("to", e.to) || !f.done()) return false;
    entry = std::move(e);
    return true;
  }
  if (kind == "temporary") {
    TemporaryEntry e;
    if (!f.path("path", e.path) || !f.unsigned_number("size", e.size) || !f.checksum("xxh3", e.xxh3) || !f.done()) {
      return false;
    }
    entry = std::move(e);
    return true;
  }
  if (kind == "document") {
    DocumentEntry e;
    e.whole = f.has("original");
    if (!f.path("path", e.path) || !f.text(e.whole ? "original" : "line5", e.kept) || !f.mode("mode", e.mode) ||
        !f.mtime("mtime", e.mtime) || !f.unsigned_number("size", e.size) || !f.checksum("xxh3", e.xxh3) ||
        !f.unsigned_number("new_size", e.new_size) || !f.checksum("new_xxh3", e.new_xxh3) || !f.done()) {
      return false;
    }
    entry = std::move(e);
    return true;
  }
  return false;  // a kind this program never writes
}

}  // namespace

void encode_entry(const RecordEntry& entry, std::string& out, std::uint64_t number) {
  if (number == 0 || !is_numbered(entry)) {
    std::visit(Encoder{out}, entry);
    return;
  }
  if (const auto* t = std::get_if<TuneEntry>(&entry)) {
    encode_tune(t->from, t->to, t->mode, t->mtime, t->size, t->xxh3, t->inode, t->link, out, number);
    return;
  }
  // The entry's own line, its opening brace replaced by the numbered one.
  const std::size_t start = out.size();
  std::visit(Encoder{out}, entry);
  std::string opening;
  open_line(opening, number);
  out.replace(start, 1, opening);
}

void encode_tune(std::string_view from, std::string_view to, std::uint32_t mode, const timespec& mtime,
                 std::uint64_t size, std::uint64_t xxh3, std::uint64_t inode, std::string_view link,
                 std::string& out, std::uint64_t number) {
  open_line(out, number);
  out += "\"tune\":{\"from\":";
  append_string(out, from);
  out += ",\"to\":";
  append_string(out, to);
  out += ",\"mode\":";
  append_number(out, mode);
  out += ",\"mtime\":";
  append_mtime(out, mtime);
  out += ",\"size\":";
  append_number(out, size);
  out += ",\"xxh3\":";
  append_hex(out, xxh3);
  out += ",\"inode\":";
  append_number(out, inode);
  if (!link.empty()) {
    out += ",\"link\":";
    append_string(out, link);
  }
  out += "}}\n";
}

bool decode_entry(std::string_view line, RecordEntry& entry, std::uint64_t& number) {
  number = 0;
  if (line.size() > kMaxRecordLineLength || !nests_like_an_entry(line)) return false;
  const json j = json::parse(line.begin(), line.end(), nullptr, /*allow_exceptions=*/false);
  if (j.is_discarded() || !j.is_object() || j.size() < 1 || j.size() > 2) return false;
  auto kind = j.begin();
  if (j.size() == 2) {
    // A number, then the kind; the number only on the kinds that carry one.
    const auto n = j.find("n");
    if (n == j.end() || !n->is_number_unsigned() || n->get<std::uint64_t>() == 0) return false;
    number = n->get<std::uint64_t>();
    if (kind.key() == "n") ++kind;
  }
  if (!decode_value(kind.key(), kind.value(), entry)) return false;
  return number == 0 || is_numbered(entry);
}

int open_record() {
  // Its access time is left as it is where the process may (the owner
  // may): --undo --preview changes nothing.
  constexpr int kFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  int fd = open(kUndoRecordName, kFlags | O_NOATIME);
  if (fd < 0 && errno == EPERM) fd = open(kUndoRecordName, kFlags);
  struct stat st;
  if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
    close(fd);
    return -1;
  }
  return fd;
}

bool read_record(std::string& text) { return read_regular_file(open_record(), text); }
