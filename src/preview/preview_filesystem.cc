// The preview's file system: reads through to the disk, records changes.
#include "preview/preview_filesystem.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "fsutil/fsutil.h"
#include "rules/ascii.h"
#include "rules/line_five.h"
#include "rules/tune.h"

namespace {

// A tune's first read only needs its header: the magic and the title.
constexpr std::size_t kHeaderReadSize = kTitleFieldOffset + kTitleFieldSize;

std::string join(const std::string& dir, const std::string& name) { return dir + "/" + name; }

// Line 5 of |text|, without its line ending; empty when there is none.
std::string_view line_five(std::string_view text) {
  std::size_t start = 0, length = 0;
  if (!find_line_five(text, start, length)) return {};
  std::string_view line = text.substr(start, length);
  if (line.ends_with('\n')) line.remove_suffix(1);
  if (line.ends_with('\r')) line.remove_suffix(1);
  return line;
}

// What a real entry is, for the reasons given to the user.
const char* what_is(const std::string& real_path) {
  struct stat st;
  if (lstat(real_path.c_str(), &st) != 0) return "an entry";
  if (S_ISDIR(st.st_mode)) return "the directory";
  if (S_ISLNK(st.st_mode)) return "the link";
  return S_ISREG(st.st_mode) ? "the file" : "the special file";
}

// Reads the disk, leaving access times as they are where the process may.
RealFileSystem& disk() {
  static RealFileSystem real;
  real.set_keep_access_times(true);
  return real;
}

// A directory as the run would list it: its entries on disk (under the
// names the moves gave them, without those deleted), then the new files
// named in it before the listing was opened. Files named in it while it is
// listed are not shown: they are ".sid" files, which the walk passes over.
class PreviewListing : public DirectoryListing {
 public:
  PreviewListing(PreviewFileSystem& fs, std::unique_ptr<DirectoryListing> real, FileId id, std::string path)
      : fs_(fs), real_(std::move(real)), id_(id), path_(std::move(path)), created_(fs.created_in(id)) {}

  const char* next() override {
    while (!real_done_) {
      const char* name = real_->next();
      if (name == nullptr) {
        real_done_ = true;
        break;
      }
      const std::string real_name = name;
      if (fs_.is_deleted(id_, real_name)) continue;
      current_ = fs_.name_after_moves(id_, real_name);
      return current_.c_str();
    }
    while (next_created_ < created_.size()) {
      current_ = created_[next_created_++];
      if (fs_.created_from(id_, current_) != nullptr) return current_.c_str();
    }
    return nullptr;
  }

  bool plain_directory() override { return !real_done_ && real_->plain_directory(); }

  EntryKind kind() override {
    EntryKind kind = real_done_ ? EntryKind::RegularFile : real_->kind();
    // A link leads where the run's changes so far leave its target.
    if (!real_done_ && !real_->plain_file() && !real_->plain_directory()) {
      kind = fs_.kind_through_link(path_ + "/" + current_, kind);
    }
    if (kind != EntryKind::Directory) fs_.count_file();
    return kind;
  }

  bool id(FileId& id) override {
    id = id_;
    return true;
  }

  std::unique_ptr<DirectoryListing> open_subdirectory(const char* name) override {
    const std::optional<std::string> real = fs_.real_name(id_, name);
    std::unique_ptr<DirectoryListing> sub = real ? real_->open_subdirectory(real->c_str()) : nullptr;
    FileId sub_id;
    if (sub == nullptr || !sub->id(sub_id)) return nullptr;
    return std::make_unique<PreviewListing>(fs_, std::move(sub), sub_id, path_ + "/" + name);
  }

  int open_file(const char* name) override {
    if (const std::string* source = fs_.created_from(id_, name)) return disk().open_file(source->c_str(), true);
    const std::optional<std::string> real = fs_.real_name(id_, name);
    if (!real || fs_.is_deleted(id_, name)) {
      errno = ENOENT;
      return -1;
    }
    return real_->open_file(real->c_str());
  }

 private:
  PreviewFileSystem& fs_;
  std::unique_ptr<DirectoryListing> real_;
  FileId id_;
  std::string path_;  // the directory's path as the run names it
  std::vector<std::string> created_;
  std::size_t next_created_ = 0;
  bool real_done_ = false;
  std::string current_;
};

// |dir|/|relative| with "." and ".." taken away where a name before them
// allows, as the kernel takes them in a link's target.
std::string lexically_joined(const std::string& dir, const std::string& relative) {
  std::vector<std::string> names;
  std::string all = relative.starts_with('/') ? relative : dir + "/" + relative;
  const bool absolute = all.starts_with('/');
  std::size_t start = 0;
  while (start <= all.size()) {
    std::size_t end = all.find('/', start);
    if (end == std::string::npos) end = all.size();
    const std::string name = all.substr(start, end - start);
    start = end + 1;
    if (name.empty() || name == ".") continue;
    if (name == ".." && !names.empty() && names.back() != "..") {
      names.pop_back();
      continue;
    }
    if (name == ".." && absolute) continue;
    names.push_back(name);
  }
  std::string joined = absolute ? "" : ".";
  for (const std::string& name : names) joined += "/" + name;
  return joined.empty() ? "/" : joined;
}

}  // namespace

std::size_t EntryKeyHash::operator()(const EntryKey& key) const {
  const std::size_t h = std::hash<std::string>{}(key.name);
  return h ^ (std::hash<ino_t>{}(key.dir.inode) * 0x9e3779b97f4a7c15ULL) ^ std::hash<dev_t>{}(key.dir.device);
}

std::size_t FileIdHash::operator()(const FileId& id) const {
  return std::hash<ino_t>{}(id.inode) * 0x9e3779b97f4a7c15ULL ^ std::hash<dev_t>{}(id.device);
}

PreviewFileSystem::PreviewFileSystem(PlanPrinter& printer) : printer_(printer) {}

EntryKey PreviewFileSystem::key_of(const FileId& dir, std::string_view name) const {
  const auto rule = ignores_case_.find(dir.device);
  if (rule != ignores_case_.end() && rule->second) return {dir, upper_ascii(name)};
  return {dir, std::string(name)};
}

void PreviewFileSystem::learn_case_rule(const std::string& real_path, dev_t device) {
  if (ignores_case_.count(device) != 0) return;
  // A directory without a name to try leaves it to the next one.
  if (const std::optional<bool> ignores = disk().ignores_case(real_path.c_str())) {
    ignores_case_.emplace(device, *ignores);
  }
}

std::vector<std::string> PreviewFileSystem::created_in(const FileId& dir) const {
  const auto it = created_in_.find(dir);
  return it == created_in_.end() ? std::vector<std::string>{} : it->second;
}

const std::string* PreviewFileSystem::created_from(const FileId& dir, const std::string& name) const {
  const auto it = created_.find(key_of(dir, name));
  return it == created_.end() ? nullptr : &it->second;
}

std::optional<std::string> PreviewFileSystem::real_name(const FileId& dir, const std::string& name) const {
  if (const auto it = moved_from_.find(key_of(dir, name)); it != moved_from_.end()) return it->second;
  if (moved_to_.count(key_of(dir, name)) != 0) return std::nullopt;  // moved away
  return name;
}

std::string PreviewFileSystem::name_after_moves(const FileId& dir, const std::string& real) const {
  const auto it = moved_to_.find(key_of(dir, real));
  return it == moved_to_.end() ? real : it->second;
}

bool PreviewFileSystem::is_deleted(const FileId& dir, const std::string& name) const {
  return !deleted_.empty() && deleted_.count(key_of(dir, name)) != 0;
}

void PreviewFileSystem::split(const std::string& path, std::string& parent, std::string& name) {
  parent = directory_part(path);
  name = last_name(path);
}

std::optional<PreviewFileSystem::Directory> PreviewFileSystem::directory(const std::string& path) {
  if (const auto it = directories_.find(path); it != directories_.end()) return it->second;
  std::string real_path;
  if (path == "." || path == ".." || path == "/") {
    real_path = path;
  } else {
    std::string parent, name;
    split(path, parent, name);
    const std::optional<Directory> up = directory(parent);
    if (!up) return std::nullopt;
    const std::optional<std::string> real = real_name(up->id, name);
    if (!real || is_deleted(up->id, name) || created_.count(key_of(up->id, name)) != 0) return std::nullopt;
    real_path = join(up->real_path, *real);
  }
  struct stat st;
  if (stat(real_path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return std::nullopt;
  learn_case_rule(real_path, st.st_dev);
  Directory dir{real_path, {st.st_dev, st.st_ino}};
  directories_.emplace(path, dir);
  return dir;
}

PreviewFileSystem::Standing PreviewFileSystem::standing(const std::string& path, std::string& real) {
  std::string parent, name;
  split(path, parent, name);
  const std::optional<Directory> dir = directory(parent);
  if (!dir) return Standing::Nothing;
  if (created_.count(key_of(dir->id, name)) != 0) return Standing::New;
  if (is_deleted(dir->id, name)) return Standing::Nothing;
  const std::optional<std::string> real_name = this->real_name(dir->id, name);
  if (!real_name) return Standing::Nothing;
  real = join(dir->real_path, *real_name);
  return Standing::Real;
}

std::unique_ptr<DirectoryListing> PreviewFileSystem::list(const char* path) {
  const std::optional<Directory> dir = directory(path);
  if (!dir) {
    // As opendir would say: gone, or not a directory.
    std::string real;
    errno = standing(path, real) == Standing::Real && disk().exists(real.c_str()) ? ENOTDIR : ENOENT;
    return nullptr;
  }
  std::unique_ptr<DirectoryListing> real = disk().list(dir->real_path.c_str());
  if (real == nullptr) return nullptr;
  // Tunes the run copied into this directory (its alternate destination)
  // stand in its listing where the disk puts them, which is the disk's
  // own choice (ext4 orders by a hash of the names).
  if (!noted_order_.count(dir->id)) {
    const auto copied = created_in_.find(dir->id);
    if (copied != created_in_.end() &&
        std::any_of(copied->second.begin(), copied->second.end(), [](const std::string& name) { return is_tune_path(name); })) {
      noted_order_.insert(dir->id);
      printer_.note(std::string(path) +
                        " holds tunes the run copies into it before it lists it: where the disk lists them among "
                        "the others is the disk's own choice, so the order in which the run meets its tunes, and "
                        "which of two with the same new name it converts, cannot be foreseen",
                    path);
    }
  }
  return std::make_unique<PreviewListing>(*this, std::move(real), dir->id, path);
}

EntryKind PreviewFileSystem::kind(const char* path) {
  std::string real;
  switch (standing(path, real)) {
    case Standing::New:
      return EntryKind::RegularFile;
    case Standing::Nothing:
      return EntryKind::Other;
    case Standing::Real:
      break;
  }
  return disk().kind(real.c_str());
}

bool PreviewFileSystem::exists(const char* path) {
  std::string real;
  switch (standing(path, real)) {
    case Standing::New:
      return true;
    case Standing::Nothing:
      return false;
    case Standing::Real:
      break;
  }
  return disk().exists(real.c_str());
}

EntryKind PreviewFileSystem::kind_through_link(const std::string& path, EntryKind on_disk) {
  // Links of links are followed as far as the kernel would.
  constexpr int kMaxLinks = 40;
  std::string at = path, real, target;
  for (int links = 0; links < kMaxLinks; ++links) {
    switch (standing(at, real)) {
      case Standing::New:
        return EntryKind::RegularFile;
      case Standing::Nothing:
        if (at != path && on_disk != EntryKind::Other) {
          printer_.note(path + " is a link whose target " + at +
                        " the run converted or moved before it: the run would find nothing there and leave the "
                        "link as it is");
        }
        return EntryKind::Other;
      case Standing::Real:
        break;
    }
    if (!disk().read_link(real.c_str(), target)) return at == path ? on_disk : disk().kind(real.c_str());
    std::string parent, name;
    split(at, parent, name);
    at = lexically_joined(parent, target);
  }
  return on_disk;
}

bool PreviewFileSystem::read_link(const char* path, std::string& target) {
  std::string real;
  return standing(path, real) == Standing::Real && disk().read_link(real.c_str(), target);
}

bool PreviewFileSystem::inside_root(const char* path) {
  const std::optional<Directory> dir = directory(path);
  return !dir || disk().inside_root(dir->real_path.c_str());
}

int PreviewFileSystem::open_file(const char* path, bool follow_links) {
  std::string real;
  switch (standing(path, real)) {
    case Standing::New: {
      // A new file holds its tune's bytes, which are still on disk.
      std::string parent, name;
      split(path, parent, name);
      real = *created_from(directory(parent)->id, name);
      break;
    }
    case Standing::Nothing:
      errno = ENOENT;
      return -1;
    case Standing::Real:
      break;
  }
  // What is read now is what a new file written next would hold.
  source_ = real;
  return disk().open_file(real.c_str(), follow_links);
}

std::size_t PreviewFileSystem::first_read_size() { return kHeaderReadSize; }

int PreviewFileSystem::begin_unnamed(const char* dir, mode_t mode) {
  static_cast<void>(mode);
  const std::optional<Directory> d = directory(dir);
  if (!d) {
    errno = ENOENT;
    return -1;
  }
  if (access(d->real_path.c_str(), W_OK) != 0) return -1;  // errno from access
  return next_handle_++;
}

int PreviewFileSystem::create_exclusive(const char* path, mode_t mode) {
  static_cast<void>(mode);
  std::string parent, name;
  split(path, parent, name);
  const std::optional<Directory> d = directory(parent);
  if (d && access(d->real_path.c_str(), W_OK) != 0) {
    explain("the directory " + parent + " cannot be written");
    return -1;
  }
  return claim(path) ? next_handle_++ : -1;
}

CopyResult PreviewFileSystem::copy_into(int out, int src_fd, std::span<const char> head, bool head_is_all) {
  static_cast<void>(out);
  static_cast<void>(src_fd);
  static_cast<void>(head);
  static_cast<void>(head_is_all);
  return CopyResult::Copied;  // a copy that reads the whole tune is assumed to succeed
}

bool PreviewFileSystem::write_text(int out, std::string_view text) {
  static_cast<void>(out);
  text_ = text;
  return true;
}

bool PreviewFileSystem::name_unnamed(int fd, const char* path) {
  static_cast<void>(fd);
  return claim(path);
}

bool PreviewFileSystem::claim(const std::string& path) {
  std::string parent, name;
  split(path, parent, name);
  const std::optional<Directory> dir = directory(parent);
  if (!dir) {
    // The alternate path inside a new name that is a file: the reason
    // given for the new name stands.
    if (reason_.empty()) explain("there is no directory " + parent);
    errno = ENOENT;
    return false;
  }
  std::string real;
  switch (standing(path, real)) {
    case Standing::New:
      explain(reason_.empty() ? "its new name " + path + " is taken by a tune converted before it"
                              : reason_ + ", and " + path + " by a tune converted before it");
      errno = EEXIST;
      return false;
    case Standing::Real:
      if (disk().exists(real.c_str())) {
        const std::string taken = std::string(what_is(real)) + " " + path;
        explain(reason_.empty() ? "its new name " + path + " is taken by " + taken
                                : reason_ + ", and by " + taken + " in it");
        errno = EEXIST;
        return false;
      }
      break;
    case Standing::Nothing:
      break;
  }
  created_.emplace(key_of(dir->id, name), source_);
  created_in_[dir->id].push_back(name);
  last_named_ = path;
  note_case_collisions(*dir, parent, name);
  return true;
}

void PreviewFileSystem::note_case_collisions(const Directory& dir, const std::string& parent,
                                             const std::string& name) {
  // Where the disk ignores case, a second such name is refused as taken.
  if (const auto rule = ignores_case_.find(dir.id.device); rule != ignores_case_.end() && rule->second) return;
  const std::string up = upper_ascii(name);
  if (!upper_known_ || !(upper_of_ == dir.id)) {
    upper_of_ = dir.id;
    upper_known_ = true;
    created_upper_.clear();
    subdirectories_upper_.clear();
    if (std::unique_ptr<DirectoryListing> listing = disk().list(dir.real_path.c_str())) {
      while (const char* entry = listing->next()) {
        if (is_deleted(dir.id, entry) || listing->kind() != EntryKind::Directory) continue;
        const std::string now = name_after_moves(dir.id, entry);
        subdirectories_upper_.emplace(upper_ascii(now), now);
      }
    }
  }
  const auto [it, fresh] = created_upper_.try_emplace(up, name);
  if (!fresh && it->second != name) {
    printer_.note(join(parent, it->second) + " and " + join(parent, name) +
                  " differ only in case: they cannot both exist on FAT, Windows or macOS file systems");
  }
  if (const auto d = subdirectories_upper_.find(up); d != subdirectories_upper_.end() && d->second != name) {
    printer_.note(join(parent, name) + " differs only in case from the directory " + join(parent, d->second) +
                  ": they cannot both exist on FAT, Windows or macOS file systems");
  }
}

bool PreviewFileSystem::close_new(int fd) {
  static_cast<void>(fd);
  return true;
}

bool PreviewFileSystem::remove(const char* path) {
  std::string parent, name;
  split(path, parent, name);
  const std::optional<Directory> dir = directory(parent);
  if (!dir) return false;
  if (created_.erase(key_of(dir->id, name)) == 0) deleted_.insert(key_of(dir->id, name));
  return true;
}

bool PreviewFileSystem::rename_over(const char* from, const char* to) {
  std::string real;
  std::string before;
  if (standing(to, real) == Standing::Real) {
    const int fd = disk().open_file(real.c_str(), true);
    if (fd >= 0) {
      read_to_end(fd, before);
      close(fd);
    }
  }
  printer_.document(to, line_five(before), line_five(text_));
  remove(from);
  return true;
}

MoveResult PreviewFileSystem::move_directory(char* source, char* target, int& signal) {
  static_cast<void>(signal);
  if (!find_on_path("mv")) {
    explain("mv is not on PATH");
    return MoveResult::Failed;
  }
  std::string parent, old_name;
  split(source, parent, old_name);
  const std::string to = path_from_root(target);
  std::string to_parent, new_name;
  split(to, to_parent, new_name);
  const std::optional<Directory> dir = directory(parent);
  const std::optional<Directory> into = directory(to_parent);
  if (!dir || !into || !(dir->id == into->id)) {
    explain("the preview follows moves within one directory only");
    return MoveResult::Failed;
  }
  if (access(dir->real_path.c_str(), W_OK) != 0) {
    explain("the directory " + parent + " cannot be written");
    return MoveResult::Failed;
  }
  if (!real_name(dir->id, old_name)) {
    explain("mv would not find it");
    return MoveResult::Failed;
  }
  rename_entry(*dir, old_name, new_name);
  printer_.move(source, target);
  ++counts_.moves;
  return MoveResult::Moved;
}

void PreviewFileSystem::rename_entry(const Directory& dir, const std::string& old_name, const std::string& new_name) {
  const std::optional<std::string> real = real_name(dir.id, old_name);
  if (!real) return;
  moved_from_.erase(key_of(dir.id, old_name));
  if (new_name == *real) {
    moved_to_.erase(key_of(dir.id, *real));
  } else {
    moved_to_[key_of(dir.id, *real)] = new_name;
    moved_from_[key_of(dir.id, new_name)] = *real;
  }
  directories_.clear();
}

bool PreviewFileSystem::rename_no_replace(const char* from, const char* to) {
  std::string parent, old_name, to_parent, new_name;
  split(from, parent, old_name);
  split(to, to_parent, new_name);
  const std::optional<Directory> dir = directory(parent);
  if (!dir || parent != to_parent || !exists(from)) {
    errno = ENOENT;
    return false;
  }
  if (exists(to)) {
    errno = EEXIST;
    return false;
  }
  if (kind(from) == EntryKind::Directory) {
    rename_entry(*dir, old_name, new_name);
    return true;
  }
  // A file: it stands under its new name with the same bytes.
  std::string real;
  const Standing was = standing(from, real);
  const std::string source = was == Standing::New ? *created_from(dir->id, old_name) : real;
  remove(from);
  created_.emplace(key_of(dir->id, new_name), source);
  created_in_[dir->id].push_back(new_name);
  return true;
}

bool PreviewFileSystem::set_mode_and_time(const char* path, mode_t mode, const timespec& mtime) {
  static_cast<void>(mode);
  static_cast<void>(mtime);
  return exists(path);
}

bool PreviewFileSystem::make_link(const char* target, const char* path, const timespec& mtime) {
  static_cast<void>(target);
  static_cast<void>(mtime);
  if (exists(path)) {
    errno = EEXIST;
    return false;
  }
  // It stands there from now on, as a file without bytes of a tune.
  std::string parent, name;
  split(path, parent, name);
  const std::optional<Directory> dir = directory(parent);
  if (!dir) {
    errno = ENOENT;
    return false;
  }
  created_.emplace(key_of(dir->id, name), std::string());
  created_in_[dir->id].push_back(name);
  return true;
}

void PreviewFileSystem::written(const char* path) {
  // Usually the name just claimed; for a tune an earlier run copied
  // already, the name its copy stands under.
  last_named_ = path;
  reason_.clear();
}

void PreviewFileSystem::tune_replaced(const char* old_path) {
  printer_.convert(old_path, last_named_);
  ++counts_.converted;
}

void PreviewFileSystem::explain(std::string_view why) { reason_ = why; }

void PreviewFileSystem::failed(Failure failure, std::string_view path) {
  const std::string reason = reason_.empty() ? std::string("the run would log it") : reason_;
  reason_.clear();
  ++counts_.errors;
  const std::string line = std::string(message_of(failure)) + " : " + std::string(path);
  switch (failure) {
    case Failure::UnmovedDirectory:
      printer_.skip_move(path, reason, line);
      break;
    case Failure::UnconvertedDocument:
      printer_.document_stays(path, reason, line);
      break;
    case Failure::DuplicateFile:
      ++counts_.refused;
      printer_.refuse(path, reason, line);
      break;
    case Failure::UnreadableDirectory:
      printer_.refuse(path, reason, line);
      break;
  }
}
