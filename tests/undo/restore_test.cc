// The undo's decisions: what stands under the new and the old name of an
// entry decides what is done, and nothing else does.
#include "undo/restore.h"

#include <gtest/gtest.h>

namespace {

constexpr std::uint64_t kSize = 100, kSum = 0xabc, kOtherSum = 0xdef;

FileState nothing() { return {}; }
FileState file(std::uint64_t checksum, mode_t mode = 0644, timespec mtime = {5, 6}) {
  FileState s;
  s.exists = s.regular = true;
  s.size = kSize;
  s.checksum = checksum;
  s.mode = mode;
  s.mtime = mtime;
  return s;
}
FileState link_to(std::string target) {
  FileState s;
  s.exists = true;
  s.link = std::move(target);
  return s;
}

TEST(RestoreTest, ATuneByWhatStandsUnderItsTwoNames) {
  TuneEntry t;
  t.from = "./d/OLD.DAT";
  t.to = "./d/New.sid";
  t.size = kSize;
  t.xxh3 = kSum;
  t.mode = 0644;
  t.mtime = {5, 6};
  TuneEntry linked = t;
  linked.link = "../elsewhere/OLD.DAT";
  struct Case {
    const char* what;
    const TuneEntry& entry;
    FileState now, old;
    Step step;
    const char* why;
  } cases[] = {
      {"converted: renamed back", t, file(kSum), nothing(), Step::RenameBack, ""},
      {"stopped before the old file went", t, file(kSum), file(kSum), Step::RemoveCopy, ""},
      {"back already", t, nothing(), file(kSum), Step::Nothing, ""},
      {"back, its time not yet", t, nothing(), file(kSum, 0644, {5, 7}), Step::SetModeAndTime, ""},
      {"back, its mode not yet", t, nothing(), file(kSum, 0600), Step::SetModeAndTime, ""},
      {"the copy changed since", t, file(kOtherSum), nothing(), Step::Leave, "it changed since the run"},
      {"both gone", t, nothing(), nothing(), Step::Leave, "it is missing"},
      {"the old name taken by another file", t, file(kSum), file(kOtherSum), Step::Leave,
       "its old name ./d/OLD.DAT is taken again"},
      {"a link: made again", linked, file(kSum), nothing(), Step::LinkAgain, ""},
      {"a link, back already", linked, nothing(), link_to("../elsewhere/OLD.DAT"), Step::Nothing, ""},
      {"a link, stopped before it went", linked, file(kSum), link_to("../elsewhere/OLD.DAT"), Step::RemoveCopy, ""},
      {"a link, another link in its place", linked, file(kSum), link_to("x"), Step::Leave,
       "its old name ./d/OLD.DAT is taken again"},
  };
  for (const Case& c : cases) {
    const Decision d = decide_tune(c.entry, c.now, c.old);
    EXPECT_EQ(d.step, c.step) << c.what;
    EXPECT_EQ(d.why, c.why) << c.what;
  }
}

TEST(RestoreTest, ADirectoryMoveByWhatStandsUnderItsTwoNames) {
  const MoveEntry m{"./games", "./GAMES_"};
  struct Case {
    bool moved_back, now_is_directory, old_exists;
    Step step;
  } cases[] = {
      {false, true, false, Step::MoveBack},  {false, false, true, Step::Nothing}, {false, false, false, Step::Leave},
      {false, true, true, Step::Leave},      {true, true, false, Step::Nothing},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(decide_move(m, c.moved_back, c.now_is_directory, c.old_exists).step, c.step)
        << c.moved_back << c.now_is_directory << c.old_exists;
  }
}

TEST(RestoreTest, TheDocumentAndTheTemporaryFileByTheirBytes) {
  DocumentEntry d;
  d.size = kSize;
  d.xxh3 = kSum;
  d.new_size = kSize;
  d.new_xxh3 = kOtherSum;
  EXPECT_EQ(decide_document(d, file(kOtherSum)).step, Step::WriteOriginal);
  EXPECT_EQ(decide_document(d, file(kSum)).step, Step::Nothing);
  EXPECT_EQ(decide_document(d, file(0x123)).why, "it changed since the run");
  EXPECT_EQ(decide_document(d, nothing()).why, "it is missing");

  const TemporaryEntry temp{"./DOCUMENTS/xtempx.txt", kSize, kSum};
  EXPECT_EQ(decide_temporary(temp, file(kSum)).step, Step::RemoveTemporary);
  EXPECT_EQ(decide_temporary(temp, file(kOtherSum)).step, Step::Nothing);
  EXPECT_EQ(decide_temporary(temp, nothing()).step, Step::Nothing);
}

}  // namespace
