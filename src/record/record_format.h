// The undo record's lines as typed entries: one encoder and one decoder,
// side by side. The record is input like any other file the program reads:
// a line is taken only when it is exactly an entry this program writes.
#ifndef TUVO_UNDO_RECORD_FORMAT_H_
#define TUVO_UNDO_RECORD_FORMAT_H_

#include <time.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

// The version on the first line of a record this program starts. Version 1
// records, from before entries were numbered and runs closed, are read too;
// later runs append numbered entries to them.
inline constexpr std::uint64_t kRecordVersion = 2;

// The longest line the decoder takes. A tune's line is a few KB at most (two
// paths of at most 1023 bytes, each byte at most six letters of JSON); the
// document's line holds line 5, or a document of fewer than five lines,
// whole, which no collection's document comes near.
inline constexpr std::size_t kMaxRecordLineLength = std::size_t{64} << 20;

// No path the program acts on is longer (its path buffers hold 1023 bytes).
inline constexpr std::size_t kMaxRecordedPathLength = 1023;
// No link target is longer (PATH_MAX, 4096, less its NUL).
inline constexpr std::size_t kMaxLinkTargetLength = 4095;

// {"tuvo_2_undo":2}: the first line of the file (1 in older records).
struct RecordHeader {
  std::uint64_t version = kRecordVersion;
};
// {"run":{"started":S}}: each run, S seconds since 1970.
struct RunEntry {
  std::int64_t started = 0;
};
// {"move":{"from":"./games","to":"GAMES_"}}: a directory moved by mv, its
// target written as mv was given it.
struct MoveEntry {
  std::string from, to;
};
// {"batch":N}: the N tune entries that follow were written together.
struct BatchEntry {
  std::uint64_t count = 0;
};
// {"tune":{"from":P,"to":P,"mode":M,"mtime":[S,NS],"size":N,"xxh3":H,"inode":I}}:
// the old file's mode and time; the size and checksum of the bytes, the
// same in both files; the new file's inode, 0 where it was not known. A
// tune that was a symbolic link also has "link":T, the link's target (its
// mode and time are then the link's own).
struct TuneEntry {
  std::string from, to;
  std::uint32_t mode = 0;
  timespec mtime{};
  std::uint64_t size = 0, xxh3 = 0, inode = 0;
  std::string link;  // empty when the tune was a file
};
// {"cancel":{"to":P}}: the name announced as P was taken after all.
struct CancelEntry {
  std::string to;
};
// {"temporary":{"path":P,"size":N,"xxh3":H}}: the document's rewrite about
// to appear under a temporary name.
struct TemporaryEntry {
  std::string path;
  std::uint64_t size = 0, xxh3 = 0;
};
// {"document":{"path":P,"line5":T,"mode":M,"mtime":[S,NS],"size":N,"xxh3":H,
// "new_size":N,"new_xxh3":H}}: the document about to be replaced. |kept| is
// its line 5 with its ending, or ("original" instead of "line5") the whole
// of a document of fewer than five lines.
struct DocumentEntry {
  std::string path;
  bool whole = false;  // |kept| is the whole original
  std::string kept;
  std::uint32_t mode = 0;
  timespec mtime{};
  std::uint64_t size = 0, xxh3 = 0, new_size = 0, new_xxh3 = 0;
};
// {"moved_back":L}: an undo moved back the directory of the move whose line
// starts at byte L of the record.
struct MovedBackEntry {
  std::uint64_t line = 0;
};
// {"end":N}: the run that wrote the N numbered lines before it ended
// normally, every change it made told. A run killed, or cut off by a power
// failure, has none.
struct EndEntry {
  std::uint64_t entries = 0;
};

using RecordEntry = std::variant<RecordHeader, RunEntry, MoveEntry, BatchEntry, TuneEntry, CancelEntry,
                                 TemporaryEntry, DocumentEntry, MovedBackEntry, EndEntry>;

// Within a run, each line that tells of a change (a move, a batch, a tune, a
// cancel, the temporary file, the document) carries its number, 1, 2, 3 and
// so on, as "n" before its kind: {"n":7,"tune":{...}}. A gap or a repeat
// then shows that the record was damaged, and the run's end line how many
// there were.
inline bool is_numbered(const RecordEntry& entry) {
  return std::holds_alternative<MoveEntry>(entry) || std::holds_alternative<BatchEntry>(entry) ||
         std::holds_alternative<TuneEntry>(entry) || std::holds_alternative<CancelEntry>(entry) ||
         std::holds_alternative<TemporaryEntry>(entry) || std::holds_alternative<DocumentEntry>(entry);
}

// Appends |entry| to |out| as one line, with its newline, numbered |number|
// when that is not 0. Paths and texts are written byte for byte, each byte
// as the Latin-1 letter of its value, so that any name reads back exactly;
// checksums as 16 hex digits.
void encode_entry(const RecordEntry& entry, std::string& out, std::uint64_t number = 0);
// The same for a tune, without building a TuneEntry: the run writes one
// per tune. An empty |link| is left out.
void encode_tune(std::string_view from, std::string_view to, std::uint32_t mode, const timespec& mtime,
                 std::uint64_t size, std::uint64_t xxh3, std::uint64_t inode, std::string_view link,
                 std::string& out, std::uint64_t number = 0);

// Decodes the one line |line| (without its newline) into |entry|. True only
// when the line is exactly one entry of the kinds above: a JSON object with
// one key naming the kind, and in it every field of that kind, each of its
// type and range (paths of 1 to kMaxRecordedPathLength bytes without NUL,
// a mode of at most 07777, nanoseconds below 10^9, checksums of 16 lower-case
// hex digits, a batch of 1 to kTuneBatchSize tunes, as the run writes), and no other field.
// False for anything else: junk, an unknown kind, a field missing, unknown
// or of the wrong type, a line longer than kMaxRecordLineLength. Never
// throws, whatever |line| holds. A line numbered as above, of a kind that
// is numbered, gives its number in |number|; any other, 0.
bool decode_entry(std::string_view line, RecordEntry& entry, std::uint64_t& number);
inline bool decode_entry(std::string_view line, RecordEntry& entry) {
  std::uint64_t number = 0;
  return decode_entry(line, entry, number);
}

// The record opened for reading, or -1 when there is none, or anything but
// a plain file stands under its name.
int open_record();
// The whole record in |text|; false when there is none (as above).
bool read_record(std::string& text);

#endif  // TUVO_UNDO_RECORD_FORMAT_H_
