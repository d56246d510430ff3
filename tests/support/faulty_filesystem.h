// A file system for tests that fails where it is told to: every operation
// goes through to another file system (the disk), except those named by
// its faults, each of which fails on its Nth call with the errno given, as
// the disk would have failed it.
#ifndef TUVO_TESTS_SUPPORT_FAULTY_FILESYSTEM_H_
#define TUVO_TESTS_SUPPORT_FAULTY_FILESYSTEM_H_

#include <cerrno>
#include <map>
#include <vector>
#include <string>

#include "fsutil/filesystem.h"

namespace test {

// Forwards every operation to |target|, for subclasses that change a few.
class FileSystemWrapper : public FileSystem {
 public:
  explicit FileSystemWrapper(FileSystem& target) : target_(target) {}

  std::unique_ptr<DirectoryListing> list(const char* path) override { return target_.list(path); }
  EntryKind kind(const char* path) override { return target_.kind(path); }
  bool exists(const char* path) override { return target_.exists(path); }
  bool taken(const char* path) override { return target_.taken(path); }
  bool read_link(const char* path, std::string& target) override { return target_.read_link(path, target); }
  bool inside_root(const char* path) override { return target_.inside_root(path); }
  int open_file(const char* path, bool follow_links) override { return target_.open_file(path, follow_links); }
  std::size_t first_read_size() override { return target_.first_read_size(); }
  int begin_unnamed(const char* dir, mode_t mode) override { return target_.begin_unnamed(dir, mode); }
  int create_exclusive(const char* path, mode_t mode) override { return target_.create_exclusive(path, mode); }
  CopyResult copy_into(int out, int src_fd, std::span<const char> head, bool head_is_all) override {
    return target_.copy_into(out, src_fd, head, head_is_all);
  }
  bool write_text(int out, std::string_view text) override { return target_.write_text(out, text); }
  bool name_unnamed(int fd, const char* path) override { return target_.name_unnamed(fd, path); }
  bool close_new(int fd) override { return target_.close_new(fd); }
  bool sync_file(int fd) override { return target_.sync_file(fd); }
  bool sync_file_systems(std::span<const int> fds) override { return target_.sync_file_systems(fds); }
  bool sync_all() override { return target_.sync_all(); }
  bool remove(const char* path) override { return target_.remove(path); }
  bool rename_over(const char* from, const char* to) override { return target_.rename_over(from, to); }
  bool rename_no_replace(const char* from, const char* to) override { return target_.rename_no_replace(from, to); }
  bool set_mode_and_time(const char* path, mode_t mode, const timespec& mtime) override {
    return target_.set_mode_and_time(path, mode, mtime);
  }
  bool make_link(const char* target, const char* path, const timespec& mtime) override {
    return target_.make_link(target, path, mtime);
  }
  MoveResult move_directory(char* source, char* target, int& signal) override {
    return target_.move_directory(source, target, signal);
  }

 private:
  FileSystem& target_;
};

// The operations a fault can hit: those that write.
enum class Op { None, BeginUnnamed, CreateExclusive, CopyInto, NameUnnamed, CloseNew, SyncFileSystems, Remove };

struct Fault {
  Op op = Op::None;
  int call = 1;  // the call that fails, counted from 1; 0 for every call
  int error = 0;
};

class FaultyFileSystem : public FileSystemWrapper {
 public:
  FaultyFileSystem(FileSystem& target, std::vector<Fault> faults) : FileSystemWrapper(target), faults_(std::move(faults)) {}

  int begin_unnamed(const char* dir, mode_t mode) override {
    return fails(Op::BeginUnnamed) ? -1 : FileSystemWrapper::begin_unnamed(dir, mode);
  }
  int create_exclusive(const char* path, mode_t mode) override {
    return fails(Op::CreateExclusive) ? -1 : FileSystemWrapper::create_exclusive(path, mode);
  }
  CopyResult copy_into(int out, int src_fd, std::span<const char> head, bool head_is_all) override {
    if (fails(Op::CopyInto)) return CopyResult::WriteFailed;
    return FileSystemWrapper::copy_into(out, src_fd, head, head_is_all);
  }
  bool name_unnamed(int fd, const char* path) override {
    return !fails(Op::NameUnnamed) && FileSystemWrapper::name_unnamed(fd, path);
  }
  bool close_new(int fd) override {
    // The descriptor is gone either way, as with a close that reports an
    // error of a write the disk could not make.
    const bool closed = FileSystemWrapper::close_new(fd);
    return !fails(Op::CloseNew) && closed;
  }
  bool sync_file_systems(std::span<const int> fds) override {
    return !fails(Op::SyncFileSystems) && FileSystemWrapper::sync_file_systems(fds);
  }
  bool remove(const char* path) override { return !fails(Op::Remove) && FileSystemWrapper::remove(path); }

 private:
  bool fails(Op op) {
    const int call = ++calls_[op];
    for (const Fault& fault : faults_) {
      if (fault.op != op || (fault.call != 0 && call != fault.call)) continue;
      errno = fault.error;
      return true;
    }
    return false;
  }

  std::vector<Fault> faults_;
  std::map<Op, int> calls_;
};

}  // namespace test

#endif  // TUVO_TESTS_SUPPORT_FAULTY_FILESYSTEM_H_
