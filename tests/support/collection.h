// Test support: temporary collection trees, tune files, and running the real
// program in a directory with given standard input.
#ifndef TUVO_TESTS_SUPPORT_COLLECTION_H_
#define TUVO_TESTS_SUPPORT_COLLECTION_H_

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace test {

// A fresh directory under $TMPDIR (or /tmp), removed with all it holds.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Writes |contents| to |path|, creating missing parent directories.
void write_file(const std::string& path, std::string_view contents);
// The whole file; fails the test when it cannot be read.
std::string read_file(const std::string& path);
bool exists(const std::string& path);
// mkdir -p.
void make_dirs(const std::string& path);

// The bytes of a PSID file: a version 2 header whose 32-byte name field holds
// |title| (cut or NUL-padded), then |data_size| bytes of tune data.
std::string psid_file(std::string_view title, std::size_t data_size = 64);
void write_tune(const std::string& path, std::string_view title);

// The paths below |dir|, relative, sorted; directories end in '/', symbolic
// links in '@'.
std::vector<std::string> list_tree(const std::string& dir);

// Writes a generated release 1.6 collection into |dir| (see
// tools/make_collection.cc).
void make_collection(const std::string& dir, int tunes, unsigned seed, int duplicates_percent = 3);

// Makes the converted collection |root| as a run stopped while it named its
// last batch leaves it: the tunes of that batch under both names (their old
// files back with their own modes and times), the last one under its old
// name only, and the record without the line that ends the run. Returns the
// batch's tunes, old name and new.
std::vector<std::pair<std::string, std::string>> leave_last_batch_in_hand(const std::string& root);

// Every regular file below |dir| (links not followed): relative path ->
// contents.
std::map<std::string, std::string> files_under(const std::string& dir);

// True when |bytes| at |path| is what the program takes for a tune: "PSID"
// first and ".dat" (any case) in the path.
bool is_tune(const std::string& path, const std::string& bytes);

struct RunOptions {
  // Run as the unprivileged user nobody (through setpriv).
  bool unprivileged = false;
  // The file-creation mask of the run.
  mode_t umask = 022;
  // Send |signal| to the program once this many lines of any kind have come
  // out on standard output; 0 sends nothing.
  int signal_after_lines = 0;
  int signal = SIGKILL;
  // Close the reading end of standard output once this many lines have come
  // out, as "tuvo_2 | head -N" does; 0 reads to the end.
  int close_output_after_lines = 0;
  // Start the program with standard output closed.
  bool stdout_closed = false;
  // Start the program with standard output on /dev/full, where every write
  // fails (ENOSPC).
  bool stdout_full = false;
  // The PATH of the program, when not empty.
  std::string path;
  // Arguments after the program's name.
  std::vector<std::string> args;
  // A run still going after this long is killed, and the test fails.
  int timeout_seconds = 120;
};

struct RunResult {
  std::string out;  // standard output, as read from a pipe
  std::string err;  // standard error
  int status = -1;  // exit status, or -1 when it did not exit normally
  int signal = 0;   // the signal that ended it, if one did
};

// Runs the program under test in |dir| with |input| on standard input.
// The input is written whole before any output is read, and a program that
// exits without reading it is no fault of the test's.
RunResult run_tuvo(const std::string& dir, std::string_view input, const RunOptions& options = {});

// What the program prints before its first question.
extern const char kBanner[];
extern const char kFirstQuestion[];
extern const char kSuccess[];
// |out| with the number of "Conversion time = N seconds" replaced by T, as
// a run may take a second or not.
std::string with_time_masked(std::string out);
// The "mv -v" line of one move.
std::string mv_line(std::string_view from, std::string_view to);

// A fresh release 1.6 collection: <tmp>/c64music holding documnts/qm_sids.txt
// (line 5 names release 1.6) and the marker directory PELKORA.
class CollectionTest : public ::testing::Test {
 protected:
  CollectionTest();
  // The absolute path of |relative| inside the collection.
  std::string at(std::string_view relative) const;
  RunResult run(std::string_view input, const RunOptions& options = {}) const {
    return run_tuvo(root_, input, options);
  }
  std::vector<std::string> tree() const { return list_tree(root_); }
  // Lays out tunes that the user nobody cannot read: one tune in
  // games/a-f (beside a readable one) and the directory locked, with the
  // collection given to nobody (as root every file could be read). Returns
  // the options that run the program as nobody; false when setpriv is
  // missing.
  bool lay_out_unreadable(RunOptions& as_nobody);

  TempDir tmp_;
  std::string root_;
};

extern const char kReleaseDocument[];

// Runs each test inside a fresh directory (the current directory for the
// test's duration), as the tool runs inside its collection.
class InTempDirTest : public ::testing::Test {
 protected:
  InTempDirTest();
  ~InTempDirTest() override;

  TempDir tmp_;

 private:
  std::string old_cwd_;
};

// Standard output written by |action|.
std::string captured_stdout(const std::function<void()>& action);

// Runs |action| in a child process whose files may grow to |max_file_size|
// bytes at most (a write past it fails with EFBIG), and returns the value the
// action returned, or -1000 when the child did not exit normally.
int in_child_with_file_size_limit(std::size_t max_file_size, const std::function<int()>& action);

// A tmpfs mounted at |where| for the life of the object (the tests run as
// root; where mounting is refused, mounted() is false and the test skips).
class ScopedTmpfs {
 public:
  // |flags| are mount flags (MS_STRICTATIME, say).
  ScopedTmpfs(const std::string& where, const std::string& options, unsigned long flags = 0);
  ~ScopedTmpfs();
  ScopedTmpfs(const ScopedTmpfs&) = delete;
  ScopedTmpfs& operator=(const ScopedTmpfs&) = delete;
  bool mounted() const { return mounted_; }
  // Shrinks the file system to what it holds now and |spare| bytes more.
  bool leave_free(std::size_t spare);

 private:
  std::string where_;
  bool mounted_ = false;
};

// Every entry below |dir|, and |dir| itself, with its mode, size, times
// (modification and change, and access when asked) and a hash of its
// contents, for telling whether anything at all changed.
std::string snapshot(const std::string& dir, bool with_access_times = false);

// The permission bits of |path|.
unsigned mode_of(const std::string& path);

}  // namespace test

#endif  // TUVO_TESTS_SUPPORT_COLLECTION_H_
