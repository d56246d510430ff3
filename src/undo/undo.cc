// tuvo_2 --undo: the record read back, and every change reversed, newest
// first, through g_file_system (the preview's, for --undo --preview).
#include "undo/undo.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "fsutil/filesystem.h"
#include "fsutil/journal.h"
#include "preview/plan.h"
#include "preview/preview_filesystem.h"
#include "run/run.h"
#include "undo/record_format.h"

namespace {

using nlohmann::json;

constexpr char kUndoQuestion[] = "Do you wish to continue? (Y/N) > ";

enum class Kind { Move, Tune, Temporary, Document };

// One entry of the record, its paths as they are now.
struct Entry {
  Kind kind;
  json data;  // the entry's own object, paths in the record's form
  std::string a, b;  // move: from, to; tune: from, to; temporary, document: path
  std::size_t line = 0;  // where its line starts in the record
  bool moved_back = false;  // a move an interrupted undo did already
};

// A line an undo adds to the record as it moves each directory back, so
// that, should it be stopped, the next undo knows which it moved: the
// place of the move's line in the record.
constexpr char kMovedBackKey[] = "moved_back";

enum class Outcome { Restored, NothingToDo, Left };

struct Result {
  Outcome outcome;
  std::string why;  // for Left
};

// |path| with "./" in front, as the moves' targets are written without.
std::string from_root(const std::string& path) {
  if (path.starts_with("./") || path.starts_with("../") || path.starts_with("/")) return path;
  return "./" + path;
}

// The entries of |record|, oldest first; false when a line cannot be read.
bool read_entries(const std::string& record, std::vector<Entry>& entries, std::vector<std::size_t>& moved_back,
                  std::string& bad_line) {
  std::size_t pos = 0;
  while (pos < record.size()) {
    const std::size_t start = pos;
    const std::size_t end = record.find('\n', pos);
    // A last line without its newline is an entry whose writing a kill
    // cut short: the change it was to announce was never made.
    if (end == std::string::npos) break;
    const std::string line = record.substr(pos, end - pos);
    pos = end + 1;
    if (line.empty()) continue;
    const json j = json::parse(line, nullptr, false);
    if (j.is_discarded() || !j.is_object() || j.size() != 1) {
      bad_line = line;
      return false;
    }
    const std::string key = j.begin().key();
    const json& d = j.begin().value();
    Entry e{Kind::Move, d, {}, {}, start, false};
    const auto bytes = [&](const char* field, std::string& out) {
      return d.contains(field) && d[field].is_string() && record_bytes(d[field].get<std::string>(), out);
    };
    if (key == kMovedBackKey) {
      if (!d.is_number_unsigned()) {
        bad_line = line;
        return false;
      }
      moved_back.push_back(d.get<std::size_t>());
      continue;
    }
    // The header and each run's start say nothing to undo.
    if (key != "move" && key != "tune" && key != "temporary" && key != "document" && key != "cancel") continue;
    // Numbers where numbers belong, so that reading them cannot fail later.
    bool ok = d.is_object();
    for (const char* field : {"mode", "size", "inode", "new_size"}) {
      ok = ok && (!d.contains(field) || d[field].is_number_unsigned());
    }
    if (ok && d.contains("mtime")) {
      const json& t = d["mtime"];
      ok = t.is_array() && t.size() == 2 && t[0].is_number_integer() && t[1].is_number_integer();
    }
    if (!ok) {
      bad_line = line;
      return false;
    }
    if (key == "move") {
      e.kind = Kind::Move;
      ok = bytes("from", e.a) && bytes("to", e.b);
      e.b = from_root(e.b);
    } else if (key == "tune") {
      e.kind = Kind::Tune;
      ok = bytes("from", e.a) && bytes("to", e.b);
    } else if (key == "temporary") {
      e.kind = Kind::Temporary;
      ok = bytes("path", e.a);
    } else if (key == "document") {
      e.kind = Kind::Document;
      ok = bytes("path", e.a);
    } else if (key == "cancel") {
      // The tune announced last was not named after all.
      std::string to;
      if (!bytes("to", to)) ok = false;
      for (auto it = entries.rbegin(); ok && it != entries.rend(); ++it) {
        if (it->kind == Kind::Tune && it->b == to) {
          entries.erase(std::next(it).base());
          break;
        }
      }
      continue;
    }
    if (!ok) {
      bad_line = line;
      return false;
    }
    entries.push_back(std::move(e));
  }
  return true;
}

struct FileState {
  bool exists = false;
  bool regular = false;
  std::uint64_t size = 0, checksum = 0;
  ino_t inode = 0;
};

FileState file_state(const std::string& path) {
  FileState s;
  s.exists = g_file_system->exists(path.c_str());
  if (!s.exists) return s;
  const int fd = g_file_system->open_file(path.c_str(), /*follow_links=*/false);
  if (fd < 0) return s;
  struct stat st;
  s.regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && checksum_of_file(fd, s.size, s.checksum);
  s.inode = st.st_ino;
  close(fd);
  return s;
}

std::uint64_t number(const json& d, const char* field) { return d.value(field, std::uint64_t{0}); }

bool checksum_field(const json& d, const char* field, std::uint64_t& value) {
  return d.contains(field) && d[field].is_string() && parse_hex64(d[field].get<std::string>(), value);
}

bool same(const FileState& s, const json& d, const char* size_field, const char* sum_field) {
  std::uint64_t sum = 0;
  return s.regular && checksum_field(d, sum_field, sum) && s.size == number(d, size_field) && s.checksum == sum;
}

timespec mtime_of(const json& d) {
  timespec t{};
  if (d.contains("mtime") && d["mtime"].is_array() && d["mtime"].size() == 2) {
    t.tv_sec = d["mtime"][0].get<long long>();
    t.tv_nsec = d["mtime"][1].get<long>();
  }
  return t;
}

Result restore_tune(const Entry& e) {
  FileSystem& fs = *g_file_system;
  const json& d = e.data;
  const FileState now = file_state(e.b);
  const std::uint64_t inode = number(d, "inode");
  const bool ours = same(now, d, "size", "xxh3") && (inode == 0 || now.inode == inode);
  const FileState old = file_state(e.a);
  const bool old_is_it = same(old, d, "size", "xxh3");
  if (!ours) {
    if (old_is_it) return {Outcome::NothingToDo, {}};  // never converted, or restored already
    if (now.exists) return {Outcome::Left, "it changed since the run"};
    return {Outcome::Left, "it is missing"};
  }
  if (old.exists) {
    // A run stopped between writing the copy and deleting the old file:
    // the old file is whole, and the copy goes.
    if (old_is_it && fs.remove(e.b.c_str())) return {Outcome::Restored, {}};
    return {Outcome::Left, "its old name " + e.a + " is taken again"};
  }
  if (!fs.set_mode_and_time(e.b.c_str(), static_cast<mode_t>(number(d, "mode")), mtime_of(d))) {
    return {Outcome::Left, std::string("its mode and time cannot be set: ") + std::strerror(errno)};
  }
  if (!fs.rename_no_replace(e.b.c_str(), e.a.c_str())) {
    if (errno == EEXIST) return {Outcome::Left, "its old name " + e.a + " is taken again"};
    return {Outcome::Left, std::string("it cannot be renamed: ") + std::strerror(errno)};
  }
  return {Outcome::Restored, {}};
}

Result restore_move(const Entry& e) {
  FileSystem& fs = *g_file_system;
  if (e.moved_back) return {Outcome::NothingToDo, {}};
  const bool now_there = fs.kind(e.b.c_str()) == EntryKind::Directory && fs.exists(e.b.c_str());
  const bool old_there = fs.exists(e.a.c_str());
  if (!now_there && old_there) return {Outcome::NothingToDo, {}};  // never moved, or moved back already
  if (!now_there) return {Outcome::Left, "it is missing"};
  if (old_there) return {Outcome::Left, "its old name " + e.a + " is taken again"};
  if (!fs.rename_no_replace(e.b.c_str(), e.a.c_str())) {
    if (errno == EEXIST) return {Outcome::Left, "its old name " + e.a + " is taken again"};
    return {Outcome::Left, std::string("it cannot be renamed: ") + std::strerror(errno)};
  }
  return {Outcome::Restored, {}};
}

// The document's text before the run, from |now| (the rewrite) and the
// entry; false when the entry cannot give it.
bool original_text(const json& d, const std::string& now, std::string& text) {
  std::string kept;
  if (d.contains("original")) return record_bytes(d["original"].get<std::string>(), text);
  if (!d.contains("line5") || !record_bytes(d["line5"].get<std::string>(), kept)) return false;
  // Line 5 of the rewrite, the release line, and its ending give way to
  // line 5 as it was, with its own.
  std::size_t start = 0, length = 0;
  if (!find_line_five(now, start, length)) return false;
  text = now.substr(0, start) + kept + now.substr(start + length);
  return true;
}

Result restore_document(const Entry& e) {
  FileSystem& fs = *g_file_system;
  const json& d = e.data;
  const FileState now = file_state(e.a);
  if (same(now, d, "size", "xxh3")) return {Outcome::NothingToDo, {}};
  if (!same(now, d, "new_size", "new_xxh3")) {
    return {Outcome::Left, now.exists ? "it changed since the run" : "it is missing"};
  }
  std::string rewritten;
  const int fd = fs.open_file(e.a.c_str(), false);
  if (fd < 0) return {Outcome::Left, std::string("it cannot be read: ") + std::strerror(errno)};
  const bool read_whole = read_to_end(fd, rewritten);
  close(fd);
  if (!read_whole) return {Outcome::Left, std::string("it cannot be read: ") + std::strerror(errno)};
  std::string text;
  std::uint64_t sum = 0;
  if (!original_text(d, rewritten, text) || !checksum_field(d, "xxh3", sum) || content_checksum(text) != sum) {
    return {Outcome::Left, "its record does not give back the original"};
  }
  const std::size_t slash = e.a.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : e.a.substr(0, slash);
  const std::string temp = dir + "/" + kDocumentTempName;
  const mode_t mode = static_cast<mode_t>(number(d, "mode"));
  if (!write_new_file(dir.c_str(), temp.c_str(), text, mode & 0777)) {
    return {Outcome::Left, "its restored text cannot be written to " + temp};
  }
  if (!fs.set_mode_and_time(temp.c_str(), mode, mtime_of(d)) || !fs.replace(temp.c_str(), e.a.c_str())) {
    fs.remove(temp.c_str());
    return {Outcome::Left, std::string("its restored text cannot be put in place: ") + std::strerror(errno)};
  }
  return {Outcome::Restored, {}};
}

// A temporary file a run left: removed when it is still what the run wrote.
Result remove_temporary(const Entry& e) {
  const FileState now = file_state(e.a);
  if (same(now, e.data, "size", "xxh3")) g_file_system->remove(e.a.c_str());
  return {Outcome::NothingToDo, {}};
}

// Entries left behind keep up with the directories moved back after them.
void rebase(std::span<Entry> left, const std::string& now, const std::string& old) {
  const auto move = [&](std::string& path, json& d, const char* field) {
    if (path == now || path.starts_with(now + "/")) {
      path = old + path.substr(now.size());
      d[field] = json::parse(record_string(path));
    }
  };
  for (Entry& e : left) {
    switch (e.kind) {
      case Kind::Move:
      case Kind::Tune:
        move(e.a, e.data, "from");
        move(e.b, e.data, "to");
        break;
      case Kind::Temporary:
      case Kind::Document:
        move(e.a, e.data, "path");
        break;
    }
  }
}

// An undo stopped while it moved directories back leaves the entries newer
// than those moves naming paths in directories that have gone back since:
// they are made to name where those directories are now, in the order the
// moves were undone (|moved_back|, from the record). The newest move not
// said to be moved back may have been moved just before the stop; it was
// if its directory is back under its old name.
void follow_moves_undone(std::vector<Entry>& entries, const std::vector<std::size_t>& moved_back) {
  const auto undone = [&](std::size_t i) {
    entries[i].moved_back = true;
    rebase(std::span<Entry>(entries).subspan(i + 1), entries[i].b, entries[i].a);
  };
  for (const std::size_t line : moved_back) {
    for (std::size_t i = 0; i < entries.size(); ++i) {
      if (entries[i].line == line && entries[i].kind == Kind::Move && !entries[i].moved_back) undone(i);
    }
  }
  for (std::size_t i = entries.size(); i-- > 0;) {
    const Entry& e = entries[i];
    if (e.kind != Kind::Move || e.moved_back) continue;
    if (g_file_system->kind(e.b.c_str()) != EntryKind::Directory && g_file_system->exists(e.a.c_str())) undone(i);
    return;
  }
}

// Adds the moved-back line of the move |e| to the record; a record that
// cannot take it only makes a stopped undo less sure of where it was.
void say_moved_back(const Entry& e) {
  const int fd = open(kUndoRecordName, O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return;
  const std::string line = "{\"" + std::string(kMovedBackKey) + "\":" + std::to_string(e.line) + "}\n";
  [[maybe_unused]] const ssize_t wrote = write(fd, line.data(), line.size());
  close(fd);
}

const char* key_of(Kind kind) {
  switch (kind) {
    case Kind::Move:
      return "move";
    case Kind::Tune:
      return "tune";
    case Kind::Temporary:
      return "temporary";
    case Kind::Document:
      return "document";
  }
  return "";
}

// Replaces the record by one that holds |left| only.
bool keep_only(const std::vector<Entry>& left) {
  std::string text = "{\"tuvo_2_undo\":1}\n";
  for (const Entry& e : left) text += json{{key_of(e.kind), e.data}}.dump() + "\n";
  const std::string temp = std::string(kUndoRecordName) + ".new";
  g_file_system->remove(temp.c_str());
  return write_new_file(".", temp.c_str(), text, 0600) && g_file_system->replace(temp.c_str(), kUndoRecordName);
}

// The printer of a preview whose steps the undo prints itself.
class SilentPrinter : public PlanPrinter {
 public:
  void note(std::string_view) override {}
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
  std::vector<Entry> entries;
  std::vector<std::size_t> moved_back;
  std::string bad_line;
  if (!read_entries(record, entries, moved_back, bad_line)) {
    std::cerr << "tuvo_2: " << kUndoRecordName << " holds a line that cannot be read, so nothing was undone: "
              << bad_line << '\n';
    return 1;
  }

  follow_moves_undone(entries, moved_back);

  int moves = 0, tunes = 0, documents = 0;
  for (const Entry& e : entries) {
    moves += e.kind == Kind::Move;
    tunes += e.kind == Kind::Tune;
    documents += e.kind == Kind::Document;
  }
  std::cout << kUndoRecordName << " records " << moves << " directory moves, " << tunes << " converted tunes and "
            << documents << " rewrites of the document's line 5.\n"
            << (preview ? "Undoing them would give back the collection as it was:\n\n"
                        : "Undoing them gives back the collection as it was.\n");
  if (!preview && ask_continue(kUndoQuestion, AnswerForm::Strict) != 'Y') return 0;

  SilentPrinter silent;
  PreviewFileSystem preview_fs(silent);
  FileSystem* const disk = g_file_system;
  if (preview) g_file_system = &preview_fs;

  const char* done = preview ? "would restore " : "restored ";
  int restored = 0;
  std::vector<Entry> left;  // newest first while it grows
  for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
    const Entry& e = *it;
    Result r{Outcome::NothingToDo, {}};
    switch (e.kind) {
      case Kind::Tune:
        r = restore_tune(e);
        if (r.outcome == Outcome::Restored) std::cout << done << e.a << '\n';
        break;
      case Kind::Move:
        r = restore_move(e);
        if (r.outcome == Outcome::Restored) {
          std::cout << done << "directory " << e.a << " (from " << e.b << ")\n";
          if (!preview) say_moved_back(e);
          rebase(left, e.b, e.a);
        }
        break;
      case Kind::Document:
        r = restore_document(e);
        if (r.outcome == Outcome::Restored) std::cout << done << "line 5 of " << e.a << '\n';
        break;
      case Kind::Temporary:
        r = remove_temporary(e);
        break;
    }
    if (r.outcome == Outcome::Restored) ++restored;
    if (r.outcome == Outcome::Left) {
      std::cout << (preview ? "would leave " : "left ") << (e.kind == Kind::Tune ? e.b : e.a) << ": " << r.why << '\n';
      left.push_back(e);
    }
  }
  g_file_system = disk;

  if (preview) {
    std::cout << "\nWould restore " << restored << " items and leave " << left.size() << ". Nothing was changed.\n";
    return left.empty() ? 0 : 1;
  }
  if (left.empty()) {
    unlink(kUndoRecordName);
    // The log of the runs undone goes too, if it is a plain file.
    struct stat st;
    if (lstat(kErrorLogName, &st) == 0 && S_ISREG(st.st_mode)) unlink(kErrorLogName);
    std::cout << "\nRestored " << restored << " items: the collection is as it was. " << kUndoRecordName
              << " was removed.\n";
    return 0;
  }
  std::vector<Entry> oldest_first(left.rbegin(), left.rend());
  const bool kept = keep_only(oldest_first);
  std::cout << "\nRestored " << restored << " items; " << left.size() << " were left as they are"
            << (kept ? ", and " + std::string(kUndoRecordName) + " keeps them.\n"
                     : ". " + std::string(kUndoRecordName) + " could not be rewritten and still holds every entry.\n");
  return 1;
}
