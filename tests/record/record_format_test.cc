// The undo record's lines: what is written reads back exactly, and a line
// that is not exactly an entry is refused.
#include "record/record_format.h"

#include <gtest/gtest.h>

#include <string>
#include <variant>

#include "sid/sid_convert.h"

namespace {

std::string encoded(const RecordEntry& entry, std::uint64_t number = 0) {
  std::string line;
  encode_entry(entry, line, number);
  return line;
}

TEST(RecordFormat, EveryKindReadsBackAsWritten) {
  DocumentEntry short_document{"./DOCUMENTS/QM_SIDS.TXT", true, "a\r\nb\0c", 0640, {-5, 999999999}, 6, 1, 2, 3};
  short_document.kept.push_back('\0');
  const RecordEntry entries[] = {
      RecordHeader{},
      RunEntry{1796900000},
      MoveEntry{"./games", "GAMES_"},
      BatchEntry{32},
      // Names hold any byte but NUL: quotes, backslashes, control bytes and
      // Latin-1 letters come back as the same bytes.
      TuneEntry{"./a \"b\"\\c\x01\xe9.DAT", "./\xff.sid", 07777, {1, 2}, 188, 0xfedcba9876543210, 42, ""},
      TuneEntry{"./LINK.DAT", "./Linked.sid", 0777, {3, 4}, 10, 1, 2, "../stash/REAL.BIN"},
      CancelEntry{"./x.sid"},
      TemporaryEntry{"./DOCUMENTS/xtempx.txt", 0, 0},
      DocumentEntry{"./DOCUMENTS/QM_SIDS.TXT", false, "  release 1.6\r\n", 0644, {800000000, 5}, 100, 7, 101, 8},
      short_document,
      MovedBackEntry{12345},
      EndEntry{4000},
  };
  for (const RecordEntry& entry : entries) {
    // Each as it stands, and numbered: only the kinds that tell of a change
    // carry a number.
    for (const std::uint64_t number : {0, 17}) {
      const std::string line = encoded(entry, number);
      ASSERT_TRUE(line.ends_with('\n')) << line;
      RecordEntry back;
      std::uint64_t number_back = 99;
      ASSERT_TRUE(decode_entry(std::string_view(line).substr(0, line.size() - 1), back, number_back)) << line;
      EXPECT_EQ(back.index(), entry.index()) << line;
      EXPECT_EQ(number_back, is_numbered(entry) ? number : 0) << line;
      EXPECT_EQ(encoded(back, number_back), line);
    }
  }
  EXPECT_EQ(encoded(BatchEntry{3}, 9), "{\"n\":9,\"batch\":3}\n");
}

TEST(RecordFormat, LinesThatAreNotExactlyAnEntryAreRefused) {
  const std::string tune_fields = R"("mode":420,"mtime":[1,2],"size":3,"xxh3":"00000000000000ff","inode":4)";
  const std::string errors[] = {
      "",
      "not JSON",
      "[1]",
      "{}",
      R"({"tuvo_2_undo":3})",  // a version this program does not know
      R"({"tuvo_2_undo":0})",
      R"({"n":1,"run":{"started":1}})",  // a number on a kind that has none
      R"({"n":1,"end":1})",
      R"({"n":0,"batch":1})",
      R"({"n":"1","batch":1})",
      R"({"n":1})",
      R"({"n":1,"batch":1,"m":2})",
      R"({"end":-1})",
      R"({"frobnicate":{}})",  // an unknown kind
      R"({"run":{"started":1},"batch":1})",  // two entries in one line
      R"({"run":{"started":1.5}})",
      R"({"run":{}})",
      R"({"move":{"from":"./a"}})",
      R"({"move":{"from":"./a","to":"b","also":1}})",  // an unknown field
      R"({"move":{"from":"./a","to":5}})",
      R"({"move":{"from":"","to":"b"}})",  // an empty path
      R"({"move":{"from":"./a\u0000b","to":"b"}})",  // NUL in a path
      R"({"move":{"from":"./\u0100","to":"b"}})",  // a letter beyond Latin-1
      R"({"batch":0})",
      "{\"batch\":" + std::to_string(kTuneBatchSize + 1) + "}",  // more than a run ever writes at once
      R"({"batch":"1"})",
      R"({"tune":{"from":"./A.DAT","to":"./A.sid","mode":"rw","mtime":[1,2],"size":3,"xxh3":"00000000000000ff","inode":4}})",
      R"({"tune":{"from":"./A.DAT","to":"./A.sid","mode":4096,"mtime":[1,2],"size":3,"xxh3":"00000000000000ff","inode":4}})",
      R"({"tune":{"from":"./A.DAT","to":"./A.sid","mode":420,"mtime":[1],"size":3,"xxh3":"00000000000000ff","inode":4}})",
      R"({"tune":{"from":"./A.DAT","to":"./A.sid","mode":420,"mtime":[1,1000000000],"size":3,"xxh3":"00000000000000ff","inode":4}})",
      R"({"tune":{"from":"./A.DAT","to":"./A.sid","mode":420,"mtime":[1,2],"size":-3,"xxh3":"00000000000000ff","inode":4}})",
      R"({"tune":{"from":"./A.DAT","to":"./A.sid","mode":420,"mtime":[1,2],"size":3,"xxh3":"00000000000000FF","inode":4}})",
      R"({"tune":{"from":"./A.DAT","to":"./A.sid","mode":420,"mtime":[1,2],"size":3,"xxh3":"ff","inode":4}})",
      R"({"tune":{"from":"./A.DAT","to":"./A.sid","mode":420,"mtime":[1,2],"size":3,"xxh3":"00000000000000ff"}})",
      R"({"tune":{"from":"./A.DAT","to":"./A.sid",)" + tune_fields + R"(,"extra":null}})",
      R"({"tune":{"from":null,"to":"./A.sid",)" + tune_fields + "}}",
      R"({"tune":{"from":"./A.DAT","to":"./A.sid",)" + tune_fields + R"(,"link":""}})",  // an empty target
      R"({"tune":{"from":"./A.DAT","to":"./A.sid",)" + tune_fields + R"(,"link":7}})",
      R"({"cancel":{"to":["./A.sid"]}})",
      R"({"temporary":{"path":"./x","size":1}})",
      R"({"document":{"path":"./D","line5":5,"mode":420,"mtime":[1,2],"size":1,"xxh3":"0000000000000001","new_size":1,"new_xxh3":"0000000000000001"}})",
      R"({"document":{"path":"./D","line5":null,"mode":420,"mtime":[1,2],"size":1,"xxh3":"0000000000000001","new_size":1,"new_xxh3":"0000000000000001"}})",
      R"({"document":{"path":"./D","original":[1],"mode":420,"mtime":[1,2],"size":1,"xxh3":"0000000000000001","new_size":1,"new_xxh3":"0000000000000001"}})",
      // Both forms of what is kept, or neither.
      R"({"document":{"path":"./D","line5":"x","original":"y","mode":420,"mtime":[1,2],"size":1,"xxh3":"0000000000000001","new_size":1,"new_xxh3":"0000000000000001"}})",
      R"({"document":{"path":"./D","mode":420,"mtime":[1,2],"size":1,"xxh3":"0000000000000001","new_size":1,"new_xxh3":"0000000000000001"}})",
      R"({"moved_back":-1})",
      R"({"run":{"started":1}} trailing)",
      R"({"tune":{"from":[[["./A.DAT"]]]}})",  // deeper than any entry
      "{\"move\":{\"from\":\"./" + std::string(1024, 'a') + "\",\"to\":\"b\"}}",  // a path beyond the buffers
      "{\"document\":{\"path\":\"./D\",\"line5\":\"" + std::string(kMaxRecordLineLength, 'a') + "\"}}",
  };
  for (const std::string& line : errors) {
    RecordEntry entry;
    EXPECT_FALSE(decode_entry(line, entry)) << line.substr(0, 200);
  }
}

}  // namespace
