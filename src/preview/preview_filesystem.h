// The preview's file system: the disk as it is, plus an in-memory record of
// what the run would have moved, created and deleted. It writes nothing.
#ifndef TUVO_PREVIEW_PREVIEW_FILESYSTEM_H_
#define TUVO_PREVIEW_PREVIEW_FILESYSTEM_H_

#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "fsutil/filesystem.h"
#include "report/report.h"
#include "preview/plan.h"

// A name in a directory, the directory told by where it lives on disk, so
// that a directory reached by two paths (through a link) is one directory,
// and a moved one keeps its entries.
struct EntryKey {
  FileId dir;
  std::string name;
  bool operator==(const EntryKey&) const = default;
};

struct EntryKeyHash {
  std::size_t operator()(const EntryKey& key) const;
};

struct FileIdHash {
  std::size_t operator()(const FileId& id) const;
};

// Reads through to the disk (without touching access times) and answers
// every change from its record. As the phases' reporter, it shows each step
// of the plan to |printer|, with the reason for each failure.
// On a file system that ignores case (exFAT, FAT, NTFS through Windows'
// rules, most network shares) the record compares names as that disk
// does, so that a name in another case is the same name there too.
// Moves are renames within one directory, as every row of the rename table
// is. New files are not listed by the directories they are in: they are
// ".sid" files, which the walk passes over.
class PreviewFileSystem : public FileSystem, public Reporter {
 public:
  explicit PreviewFileSystem(PlanPrinter& printer);

  std::unique_ptr<DirectoryListing> list(const char* path) override;
  EntryKind kind(const char* path) override;
  bool exists(const char* path) override;
  bool read_link(const char* path, std::string& target) override;
  bool inside_root(const char* path) override;
  int open_file(const char* path, bool follow_links) override;
  std::size_t first_read_size() override;
  int begin_unnamed(const char* dir, mode_t mode) override;
  int create_exclusive(const char* path, mode_t mode) override;
  CopyResult copy_into(int out, int src_fd, std::span<const char> head, bool head_is_all) override;
  bool write_text(int out, std::string_view text) override;
  bool name_unnamed(int fd, const char* path) override;
  bool close_new(int fd) override;
  // The preview writes nothing, so nothing needs to reach the disk.
  bool sync_file(int) override { return true; }
  bool sync_file_systems(std::span<const int>) override { return true; }
  bool sync_all() override { return true; }
  bool remove(const char* path) override;
  bool rename_over(const char* from, const char* to) override;
  bool rename_no_replace(const char* from, const char* to) override;
  bool set_mode_and_time(const char* path, mode_t mode, const timespec& mtime) override;
  bool make_link(const char* target, const char* path, const timespec& mtime) override;
  MoveResult move_directory(char* source, char* target, int& signal) override;
  void written(const char* path) override;
  void tune_replaced(const char* old_path) override;
  void explain(std::string_view why) override;
  void failed(Failure failure, std::string_view path) override;

  // The counts so far.
  const PlanCounts& counts() const { return counts_; }
  // Files the walk listed that are not directories.
  void count_file() { ++files_listed_; }
  int files_listed() const { return files_listed_; }

  // The real name under which |name| of |dir| stands on disk, or nothing
  // when that name was moved away.
  std::optional<std::string> real_name(const FileId& dir, const std::string& name) const;
  // The name |real| of |dir| goes by after the moves.
  std::string name_after_moves(const FileId& dir, const std::string& real) const;
  bool is_deleted(const FileId& dir, const std::string& name) const;
  // What the entry |path| (as the run names it), which is |on_disk| on the
  // disk now, is once the run's changes so far are made: a link whose
  // target the run converted or moved leads nowhere, which a note tells.
  EntryKind kind_through_link(const std::string& path, EntryKind on_disk);
  // The new files named in |dir| so far, which a listing opened now shows.
  std::vector<std::string> created_in(const FileId& dir) const;
  // The disk path of the bytes of the new file |name| of |dir|, or nullptr.
  const std::string* created_from(const FileId& dir, const std::string& name) const;

 private:
  struct Directory {
    std::string real_path;  // where it is on disk now
    FileId id;
  };
  // The directory |path| (following links), or nothing.
  std::optional<Directory> directory(const std::string& path);
  // |path| split into its directory and its last name.
  static void split(const std::string& path, std::string& parent, std::string& name);
  // What stands at |path|: a new file, nothing, or a real entry (|real| set).
  enum class Standing { New, Nothing, Real };
  Standing standing(const std::string& path, std::string& real);
  // Records that |old_name| of |dir| goes by |new_name| from now on.
  void rename_entry(const Directory& dir, const std::string& old_name, const std::string& new_name);
  // Names a new file |path|, as the exclusive create and the link do.
  bool claim(const std::string& path);
  void note_case_collisions(const Directory& dir, const std::string& parent, const std::string& name);
  // The key of |name| in |dir|, as |dir|'s file system compares names.
  EntryKey key_of(const FileId& dir, std::string_view name) const;
  // Learns, once for each file system, whether it ignores case, from the
  // directory |real_path| on it.
  void learn_case_rule(const std::string& real_path, dev_t device);

  PlanPrinter& printer_;
  PlanCounts counts_;
  int files_listed_ = 0;
  int next_handle_ = 1 << 20;  // handles of new files, which are never real descriptors

  std::unordered_map<EntryKey, std::string, EntryKeyHash> moved_to_;    // (dir, real name) -> name now
  std::unordered_map<EntryKey, std::string, EntryKeyHash> moved_from_;  // (dir, name now) -> real name
  // New files, with the disk path of the tune whose bytes they would hold,
  // and by directory in the order they were named.
  std::unordered_map<EntryKey, std::string, EntryKeyHash> created_;
  std::unordered_map<FileId, std::vector<std::string>, FileIdHash> created_in_;
  std::unordered_set<EntryKey, EntryKeyHash> deleted_;
  std::unordered_map<std::string, Directory> directories_;  // cache by path
  std::unordered_map<dev_t, bool> ignores_case_;  // by file system, once known
  std::unordered_set<FileId, FileIdHash> noted_order_;  // directories noted for their order

  // For the case notes, of the directory last named into only (the walk
  // finishes a directory's tunes before the next): its new names and its
  // subdirectories, by upper-cased name.
  FileId upper_of_;
  bool upper_known_ = false;
  std::unordered_map<std::string, std::string> created_upper_;
  std::unordered_map<std::string, std::string> subdirectories_upper_;

  std::string last_named_;
  // The disk path of the file last opened for reading: the tune whose
  // bytes the next new file would hold.
  std::string source_;
  std::string reason_;
  std::string text_;  // the text last written, the document's rewrite
};

#endif  // TUVO_PREVIEW_PREVIEW_FILESYSTEM_H_
