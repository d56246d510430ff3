// The copy's failure paths, reached through a file system that fails on
// cue: whatever fails, the tune stays whole under one of its names, and
// the undo record tells exactly what was named.
#include <unistd.h>

#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "record/record.h"
#include "record/record_format.h"
#include "sid/sid_convert.h"
#include "support/collection.h"
#include "support/faulty_filesystem.h"

namespace {

using test::Fault;
using test::Op;

// The record's changes, one line each: its kind and paths.
std::vector<std::string> record_lines() {
  std::vector<std::string> lines;
  std::string text;
  if (!read_record(text)) return lines;
  for (std::size_t pos = 0, end; (end = text.find('\n', pos)) != std::string::npos; pos = end + 1) {
    RecordEntry entry;
    if (!decode_entry(std::string_view(text).substr(pos, end - pos), entry)) {
      lines.push_back("unreadable");
      continue;
    }
    std::visit(
        [&](const auto& e) {
          using T = std::decay_t<decltype(e)>;
          if constexpr (std::is_same_v<T, BatchEntry>) lines.push_back("batch " + std::to_string(e.count));
          if constexpr (std::is_same_v<T, TuneEntry>) lines.push_back("tune " + e.from + " " + e.to);
          if constexpr (std::is_same_v<T, CancelEntry>) lines.push_back("cancel " + e.to);
        },
        entry);
  }
  return lines;
}

class QuietReporter : public Reporter {
 public:
  void written(const char*) override {}
  void failed(Failure, std::string_view) override {}
};

TEST(CopyFaultsTest, EachFailureLeavesTheTuneWholeAndTheRecordTrue) {
  const std::string old_name = "./d/OLD.DAT", new_name = "./d/Title.sid";
  const std::string announced = "tune " + old_name + " " + new_name;
  // A copy whose name is taken by a directory goes into it.
  const std::string alternate = new_name + "/OLD.DAT";
  const std::vector<std::string> old_only = {"d/", "d/OLD.DAT", "tuvo_2.undo"};
  const std::vector<std::string> new_only = {"d/", "d/Title.sid", "tuvo_2.undo"};
  struct Row {
    const char* what;
    std::vector<Fault> faults;
    bool new_name_is_a_directory;
    ConvertResult result;
    std::vector<std::string> files;
    std::vector<std::string> record;
  } rows[] = {
      {"no fault", {}, false, ConvertResult::Converted, new_only, {"batch 1", announced}},
      {"the new name is a directory",
       {},
       true,
       ConvertResult::Converted,
       {"d/", "d/Title.sid/", "d/Title.sid/OLD.DAT", "tuvo_2.undo"},
       {"batch 1", announced, "cancel " + new_name, "tune " + old_name + " " + alternate}},
      {"the new file cannot be closed cleanly",
       {{Op::CloseNew, 1, EIO}},
       false,
       ConvertResult::Failed,
       old_only,
       {"batch 1", announced}},
      {"the batch cannot be announced: announced again on its own",
       {{Op::SyncFileSystems, 1, EIO}},
       false,
       ConvertResult::Converted,
       new_only,
       {"batch 1", announced, "batch 1", announced}},
      {"the record never reaches the disk",
       {{Op::SyncFileSystems, 0, EIO}},
       false,
       ConvertResult::Failed,
       old_only,
       {"batch 1", announced, "batch 1", announced}},
      {"the name is taken at the moment of naming",
       {{Op::NameUnnamed, 1, EEXIST}},
       false,
       ConvertResult::Failed,
       old_only,
       {"batch 1", announced, "cancel " + new_name}},
      {"no unnamed file: created under its name",
       {{Op::BeginUnnamed, 0, EOPNOTSUPP}},
       false,
       ConvertResult::Converted,
       new_only,
       {"batch 1", announced}},
      {"no unnamed file, and the name is taken",
       {{Op::BeginUnnamed, 0, EOPNOTSUPP}, {Op::CreateExclusive, 1, EEXIST}},
       false,
       ConvertResult::Failed,
       old_only,
       {"batch 1", announced, "cancel " + new_name}},
      {"the copy's write fails: nothing is named",
       {{Op::CopyInto, 1, ENOSPC}},
       false,
       ConvertResult::Failed,
       {"d/", "d/OLD.DAT"},
       {}},
  };
  for (const Row& row : rows) {
    test::TempDir dir;
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    test::write_tune(old_name, "Title");
    if (row.new_name_is_a_directory) test::make_dirs(new_name);
    RealFileSystem disk;
    test::FaultyFileSystem faulty(disk, row.faults);
    {
      const std::unique_ptr<ChangeJournal> record = start_undo_record(faulty);
      QuietReporter quiet;
      const Context ctx{faulty, *record, quiet};
      EXPECT_EQ(convert_sid_file(ctx, old_name.c_str()), row.result) << row.what;
    }
    EXPECT_EQ(test::list_tree("."), row.files) << row.what;
    const std::string holder = test::exists(old_name)          ? old_name
                               : row.new_name_is_a_directory ? alternate
                                                             : new_name;
    EXPECT_EQ(test::read_file(holder), test::psid_file("Title")) << row.what;
    EXPECT_EQ(record_lines(), row.record) << row.what;
    ASSERT_EQ(chdir(cwd), 0);
  }
}

}  // namespace

// Two tunes of one batch share a title: the second is not announced under
// the name the first asked for, unless the first could not take it after
// all, and then it gets the name.
TEST(CopyFaultsTest, ASharedTitleGoesToTheSecondTuneOnlyWhenTheFirstFails) {
  const std::string first = "./d/A.DAT", second = "./d/B.DAT", new_name = "./d/Same.sid";
  struct Row {
    const char* what;
    std::vector<Fault> faults;
    std::vector<std::string> files, record;
    const char* holder;  // whose bytes the new name holds
  } rows[] = {
      {"the first takes the name", {}, {"d/", "d/B.DAT", "d/Same.sid", "tuvo_2.undo"},
       {"batch 1", "tune " + first + " " + new_name}, "A"},
      {"the first cannot be closed cleanly",
       {{Op::CloseNew, 1, EIO}},
       {"d/", "d/A.DAT", "d/Same.sid", "tuvo_2.undo"},
       {"batch 1", "tune " + first + " " + new_name, "batch 1", "tune " + second + " " + new_name},
       "B"},
  };
  for (const Row& row : rows) {
    test::TempDir dir;
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    test::write_file(first, test::psid_file("Same", 10));
    test::write_file(second, test::psid_file("Same", 20));
    RealFileSystem disk;
    test::FaultyFileSystem faulty(disk, row.faults);
    {
      const std::unique_ptr<ChangeJournal> record = start_undo_record(faulty);
      QuietReporter quiet;
      const Context ctx{faulty, *record, quiet};
      TuneBatch batch(ctx, nullptr);
      EXPECT_EQ(batch.convert(first.c_str()), ConvertResult::Pending) << row.what;
      EXPECT_EQ(batch.convert(second.c_str()), ConvertResult::Pending) << row.what;
      batch.finish();
    }
    EXPECT_EQ(test::list_tree("."), row.files) << row.what;
    EXPECT_EQ(test::read_file(new_name), test::psid_file("Same", std::string(row.holder) == "A" ? 10 : 20)) << row.what;
    EXPECT_EQ(record_lines(), row.record) << row.what;
    ASSERT_EQ(chdir(cwd), 0);
  }
}
