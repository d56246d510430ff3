// The changes a conversion makes to the collection, told to a journal just
// before each becomes visible, so that a record can undo them; and the
// checksum that tells later whether a file is still the one written.
#ifndef TUVO_FSUTIL_JOURNAL_H_
#define TUVO_FSUTIL_JOURNAL_H_

#include <sys/types.h>
#include <time.h>

#include <cstdint>
#include <span>
#include <string_view>

// A 64-bit XXH3 checksum of |bytes|.
std::uint64_t content_checksum(std::string_view bytes);
// The size and checksum of the whole of the open file |fd|, read from
// offset 0 with pread (its read position is left as it is). False when it
// cannot be read.
bool checksum_of_file(int fd, std::uint64_t& size, std::uint64_t& checksum);

// A tune's new file, about to be given its name.
struct TuneChange {
  const char* from = nullptr;  // the old file, which is deleted next
  const char* to = nullptr;    // the new file's name
  mode_t mode = 0;             // the old file's permissions
  timespec mtime{};            // and modification time
  std::uint64_t size = 0;      // of the bytes, the same in both files
  std::uint64_t checksum = 0;
  ino_t inode = 0;             // the new file's, where known before naming; 0 if not
  dev_t device = 0;            // and the file system it is on, known with it
  // The new file, open and complete, when it is named after the journal
  // is told: its bytes reach the disk with the entry. -1 when none.
  int fd = -1;
  // The old file was a symbolic link to this target (its mode and mtime
  // are then the link's own); nullptr when it was a file.
  const char* link = nullptr;
};

// The document, about to be replaced by its rewrite.
struct DocumentChange {
  const char* path = nullptr;
  std::string_view original;
  std::string_view rewritten;
  mode_t mode = 0;  // the original's permissions
  timespec mtime{};  // and modification time
};

class ChangeJournal {
 public:
  virtual ~ChangeJournal() = default;
  // Each is called just before the change becomes visible, and returns once
  // the entry is on the disk, so that a power cut never leaves a change
  // that the record does not hold; false when it cannot be recorded, and
  // the change must then not be made.
  virtual bool will_move(const char* source, const char* target) = 0;
  // Tunes whose copies are complete and about to be named, in this order;
  // none of them is named before this returns. One call, one write, and
  // one sync that takes their bytes (TuneChange::fd) to the disk as well.
  virtual bool will_name_tunes(std::span<const TuneChange> batch) = 0;
  // One more tune of the batch in hand, under another name (its first
  // name was taken).
  virtual bool will_name_tune(const TuneChange& change) = 0;
  // The name announced for |change| could not be given after all (it is
  // taken). Like the others, it is on the disk when this returns.
  virtual void name_refused(const TuneChange& change) = 0;
  // A temporary file holding |text| is about to appear at |path|.
  virtual bool will_name_temporary(const char* path, std::string_view text) = 0;
  // The temporary file is complete on the disk when this is called.
  virtual bool will_replace_document(const DocumentChange& change) = 0;
  // False for a journal that keeps no record (the preview's): copies are
  // then not held back in batches, and what only a record needs of the old
  // file (its mode, time and checksum) is not worked out.
  virtual bool keeps_record() const { return true; }
  // The run has made its last change, whether it ended or was stopped
  // between two tunes: what was told is the whole run.
  virtual void run_finished() {}
  // True when |change|, whose new name is taken, was made already by an
  // earlier run that was stopped before it could delete the old file: the
  // file at change.to is that run's complete copy of these very bytes.
  virtual bool finished_before(const TuneChange& change) = 0;
};

// The journal of a conversion that keeps no record: every change may go
// ahead, and none was made before.
class NullJournal : public ChangeJournal {
 public:
  bool will_move(const char*, const char*) override { return true; }
  bool will_name_tunes(std::span<const TuneChange>) override { return true; }
  bool will_name_tune(const TuneChange&) override { return true; }
  void name_refused(const TuneChange&) override {}
  bool will_name_temporary(const char*, std::string_view) override { return true; }
  bool will_replace_document(const DocumentChange&) override { return true; }
  bool keeps_record() const override { return false; }
  bool finished_before(const TuneChange&) override { return false; }
};

#endif  // TUVO_FSUTIL_JOURNAL_H_
