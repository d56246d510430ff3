// Real file systems in image files, mounted for a test.
#include "support/disk.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

namespace test {

namespace {

struct KindFacts {
  const char* name;
  const char* mkfs;  // the program that makes it, which tells what to install
  const char* package;
  long long megabytes;  // no smaller than its mkfs accepts
  const char* make;     // the command that makes it in the image "$I"
};

const KindFacts& facts(DiskKind kind) {
  static const KindFacts all[] = {
      {"ext4", "mkfs.ext4", "e2fsprogs", 64, "mkfs.ext4 -q -F \"$I\""},
      {"xfs", "mkfs.xfs", "xfsprogs", 300, "mkfs.xfs -q -f \"$I\""},
      {"btrfs", "mkfs.btrfs", "btrfs-progs", 128, "mkfs.btrfs -q -f \"$I\""},
      {"ntfs", "mkfs.ntfs", "ntfs-3g", 64, "mkfs.ntfs -q -F -f \"$I\""},
      {"exfat", "mkfs.exfat", "exfatprogs and exfat-fuse", 64, "mkfs.exfat \"$I\""},
  };
  return all[static_cast<int>(kind)];
}

bool on_path(const std::string& program) {
  return std::system(("command -v " + program + " >/dev/null 2>&1").c_str()) == 0;
}

}  // namespace

const char* name_of(DiskKind kind) { return facts(kind).name; }

bool ScopedDisk::step(const std::string& command, const std::string& what) {
  const std::string errors = dir_ + "/disk-errors";
  const std::string shell = "I='" + image_ + "' M='" + mount_point_ + "'; { " + command + "; } >/dev/null 2>'" + errors + "'";
  if (std::system(shell.c_str()) == 0) return true;
  std::ifstream in(errors);
  std::string first;
  std::getline(in, first);
  reason_ = what + ": " + (first.empty() ? "it failed" : first);
  return false;
}

ScopedDisk::ScopedDisk(DiskKind kind, const std::string& dir)
    : dir_(dir), image_(dir + "/disk.img"), mount_point_(dir + "/disk") {
  const KindFacts& f = facts(kind);
  if (!on_path(f.mkfs) || (kind == DiskKind::Ntfs && !on_path("ntfs-3g")) ||
      (kind == DiskKind::Exfat && !on_path("mount.exfat-fuse"))) {
    reason_ = std::string("the tools for ") + f.name + " are missing (install " + f.package + ")";
    return;
  }
  mkdir(mount_point_.c_str(), 0755);
  if (!step("truncate -s " + std::to_string(f.megabytes) + "M \"$I\"", "cannot make an image") ||
      !step(f.make, std::string("cannot make ") + f.name)) {
    return;
  }
  switch (kind) {
    case DiskKind::Ntfs:
      mounted_ = step("ntfs-3g \"$I\" \"$M\"", "cannot mount ntfs");
      break;
    case DiskKind::Exfat: {
      // exfat-fuse wants a block device.
      const std::string device = dir_ + "/loop-device";
      if (!step("losetup -f --show \"$I\" > '" + device + "'", "cannot set up a loop device")) return;
      std::ifstream in(device);
      std::getline(in, loop_device_);
      mounted_ = step("mount.exfat-fuse '" + loop_device_ + "' \"$M\"", "cannot mount exfat");
      break;
    }
    default:
      mounted_ = step(std::string("mount -t ") + f.name + " -o loop \"$I\" \"$M\"", std::string("cannot mount ") + f.name);
  }
}

ScopedDisk::~ScopedDisk() {
  if (mounted_) step("umount \"$M\" || umount -l \"$M\"", "cannot unmount");
  if (!loop_device_.empty()) step("losetup -d '" + loop_device_ + "'", "cannot free the loop device");
  unlink(image_.c_str());
}

}  // namespace test
