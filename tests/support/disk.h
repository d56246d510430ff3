// Real file systems for the tests: a fresh one of a given kind, made in an
// image file and mounted for the life of the object, through the kernel
// (ext4, XFS, Btrfs on a loop device) or through FUSE (NTFS by ntfs-3g,
// exFAT by exfat-fuse). Where the tools are missing or mounting is
// refused, mounted() is false and reason() says why, for the test's skip.
#ifndef TUVO_TESTS_SUPPORT_DISK_H_
#define TUVO_TESTS_SUPPORT_DISK_H_

#include <string>

namespace test {

enum class DiskKind { Ext4, Xfs, Btrfs, Ntfs, Exfat };

const char* name_of(DiskKind kind);

class ScopedDisk {
 public:
  // Makes the image and its mount point inside the existing directory |dir|.
  ScopedDisk(DiskKind kind, const std::string& dir);
  ~ScopedDisk();
  ScopedDisk(const ScopedDisk&) = delete;
  ScopedDisk& operator=(const ScopedDisk&) = delete;

  bool mounted() const { return mounted_; }
  const std::string& reason() const { return reason_; }
  // Where the file system is mounted.
  const std::string& path() const { return mount_point_; }

 private:
  // Runs |command| through the shell; on failure keeps its first line of
  // error output as the reason.
  bool step(const std::string& command, const std::string& what);

  std::string dir_, image_, mount_point_, loop_device_, reason_;
  bool mounted_ = false;
};

}  // namespace test

#endif  // TUVO_TESTS_SUPPORT_DISK_H_
