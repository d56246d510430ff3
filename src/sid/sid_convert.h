// Turning one PSID tune file into its long-named ".sid" file: the long name
// derived from the tune's title, the fallback name, and the file replacement.
#ifndef TUVO_SID_SID_CONVERT_H_
#define TUVO_SID_SID_CONVERT_H_

#include <array>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "fsutil/context.h"
#include "fsutil/fsutil.h"
#include "rules/tune.h"

// A new base name holds at most this many bytes; with ".sid" a file name is
// at most 31 characters, which every target system of the collection accepts.
inline constexpr std::size_t kMaxLongNameLength = 27;

// Turns a tune's |title| (the bytes of the title field up to its first NUL,
// at most kTitleFieldSize of them) into the base name of its new file: 1 to
// kMaxLongNameLength bytes of A-Z a-z 0-9 '_' '-'. Returns std::nullopt when
// no acceptable name can be made, and the fallback name must be used.
// Classification is ASCII only, whatever the locale: bytes above 127 are
// neither letters nor digits nor white space.
std::optional<std::string> derive_long_name(std::string_view title);

// For a Latin-1 letter with a two-letter ASCII spelling (196-198, 214, 216,
// 220, 228-230, 246, 248, 252) appends those two letters to |out| and returns
// true; for any other byte appends nothing and returns false.
bool transliterate_latin1(std::string& out, unsigned char byte);

// The name used when no long name can be made: |old_file_name| cut at its
// first '.', with its first byte upper-cased and the rest lower-cased (ASCII).
std::string fallback_name(std::string_view old_file_name);

// Result of convert_sid_file.
enum class ConvertResult : int {
  Converted = 0,  // new file written, old file deleted
  NotSid = 1,     // not a tune; the file is left unchanged
  Failed = -1,    // a tune that could not be written under its new name
  Pending = 2,    // a tune whose copy waits in a TuneBatch, not yet named
};

// Converts the file at |path| (relative, with '/' separators, as built by the
// walk). Only a regular file (or a link to one) whose lower-cased path
// contains ".dat" and whose first four bytes are "PSID" is a tune; anything
// else, including FIFOs, sockets and devices, is NotSid and never opened.
// A tune is copied with copy_file_exclusive to "<its directory>/<name>.sid",
// where name comes from derive_long_name of its title, or fallback_name of its
// old file name; the copy prints the new path. Only when the copy is complete
// is the old file deleted (Converted).
// Returns Failed, leaving the old file in place, when the new name exists
// already, the copy fails, the path holds no '/', the new path does not fit
// a path buffer, or the tune cannot be opened or read. It works through
// |ctx|. |known_regular| says that the caller has already seen a regular
// file there (from its directory listing), which saves a look-up.
ConvertResult convert_sid_file(const Context& ctx, const char* path, bool known_regular = false);

// Copies waiting to be named at once. While a run keeps an undo record,
// every tune's entry, and its new file's bytes, must be on the disk before
// its new name appears; a batch writes the entries of this many tunes with
// one write and syncs them with one syncfs, which saves most of what the
// record and the sync cost per tune. A run killed while it names a batch
// may leave this many tunes under both names.
inline constexpr std::size_t kTuneBatchSize = 128;

// Tunes converted as convert_sid_file does, in the order they are handed
// over, with the naming of their copies put off so that the undo record
// takes their entries together. A tune's copy is written whole (unnamed)
// when it is handed over. When the batch is full, a thread of the batch's
// own announces its copies, names and prints them in order, closes them and
// deletes their old files, while the walk writes the next batch; that
// thread is done, and its failures reported, before the next batch is
// handed to it, so only the tunes of the last batch are ever in hand, and
// nothing else is printed meanwhile. finish() does all of it at once.
// Without an undo record each tune is finished as it comes. Tunes that
// cannot be converted are handed to |on_failed|, in order, each after
// every tune before it was finished.
class TuneBatch {
 public:
  using FailureHandler = std::function<void(const char* path)>;
  TuneBatch(const Context& ctx, FailureHandler on_failed);
  TuneBatch(const TuneBatch&) = delete;
  TuneBatch& operator=(const TuneBatch&) = delete;
  ~TuneBatch();

  // Converts |path| as convert_sid_file does, or starts it and returns
  // Pending; a Failed tune has been handed to the handler already.
  // |known_plain| says that the listing showed a plain file, not a link.
  ConvertResult convert(const char* path, bool known_regular = false, bool known_plain = false);
  // Names every waiting copy, deletes their old files and reports their
  // failures; everything handed over is done when it returns.
  void finish();

 private:
  // A tune whose copy waits to be named, or whose old file waits to go.
  struct Waiting {
    PendingCopy copy;
    int source = -1;  // the old file, open until its copy is done
    CopyResult result = CopyResult::Copied;
  };
  class Namer;

  ConvertResult convert_open_file(int fd, const char* path, bool may_be_link);
  void failed(const char* path);
  bool has_waiting() const { return count_ > 0 || in_flight_ > 0; }
  // Hands the waiting copies to the namer's thread (|in_background|), or
  // names them here.
  void name_waiting(bool in_background);
  // Waits for the namer, then reports the tunes it had, in order.
  void settle();
  void name_and_clean(std::span<Waiting> tunes) const;

  std::array<std::array<Waiting, kTuneBatchSize>, 2> batches_;
  std::size_t filling_ = 0;   // the batch the walk fills
  std::size_t count_ = 0;     // its tunes
  std::size_t in_flight_ = 0;  // tunes of the other batch not yet reported
  std::size_t limit_;         // tunes per batch: fewer where few files may be open
  const Context& ctx_;
  std::unique_ptr<Namer> namer_;
  FailureHandler on_failed_;
};

#endif  // TUVO_SID_SID_CONVERT_H_
