// The whole program on the file systems a collection lives on: fresh ext4,
// XFS and Btrfs through the kernel, NTFS and exFAT through FUSE. On each,
// the preview's plan is what the run that follows does, and the undo gives
// back every path, every file's bytes, and every mode and modification
// time the disk keeps.
#include <fcntl.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "support/checks.h"
#include "support/collection.h"
#include "support/disk.h"

namespace {

namespace fs = std::filesystem;

class DisksTest : public ::testing::TestWithParam<test::DiskKind> {};

TEST_P(DisksTest, PreviewIsTheRunAndTheUndoGivesEverythingBack) {
  test::TempDir tmp;
  test::ScopedDisk disk(GetParam(), tmp.path());
  if (!disk.mounted()) GTEST_SKIP() << disk.reason();
  const std::string root = disk.path() + "/c64music";
  test::make_collection(root, 300, 5, /*duplicates_percent=*/10);
  // Two titles that differ only in case, in one directory: a disk that
  // ignores case holds only the first.
  test::write_tune(root + "/mytunes/NIGHT1.DAT", "Night Harbour");
  test::write_tune(root + "/mytunes/NIGHT2.DAT", "NIGHT HARBOUR");
  // Modes and times of their own, which the disk keeps as far as it can.
  int n = 0;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (!entry.is_regular_file()) continue;
    const timespec times[2] = {{0, UTIME_OMIT}, {800000000 + 3600 * n, 1000 * n}};
    ASSERT_EQ(utimensat(AT_FDCWD, entry.path().c_str(), times, 0), 0);
    ASSERT_EQ(chmod(entry.path().c_str(), n % 3 == 0 ? 0640 : 0644), 0);
    ++n;
  }
  const auto before = test::tree_state(root);

  // The run starts right after the preview, as a user would.
  test::expect_plan_is_what_the_run_does(root);
  ASSERT_TRUE(test::exists(root + "/tuvo_2.undo"));

  test::RunOptions undo;
  undo.args = {"--undo", "--preview"};
  const test::RunResult planned = test::run_tuvo(root, "", undo);
  EXPECT_EQ(planned.status, 0) << planned.err;
  EXPECT_TRUE(planned.out.ends_with("and leave 0. Nothing was changed.\n")) << planned.out;
  undo.args = {"--undo"};
  const test::RunResult undone = test::run_tuvo(root, "y\n", undo);
  EXPECT_EQ(undone.status, 0) << undone.out << undone.err;
  EXPECT_FALSE(test::exists(root + "/tuvo_2.undo"));
  const auto after = test::tree_state(root);
  EXPECT_TRUE(after == before) << test::differences(before, after);
}

INSTANTIATE_TEST_SUITE_P(EachKind, DisksTest,
                         ::testing::Values(test::DiskKind::Ext4, test::DiskKind::Xfs, test::DiskKind::Btrfs,
                                           test::DiskKind::Ntfs, test::DiskKind::Exfat),
                         [](const ::testing::TestParamInfo<test::DiskKind>& info) {
                           return std::string(test::name_of(info.param));
                         });

}  // namespace
