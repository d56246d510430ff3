// Fuzzes the undo record's decoder: no line crashes it, and a line it takes
// is an entry that writes back as a line it reads the same way.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "fuzz_check.h"
#include "record/record_format.h"

namespace {

// Paths a decoded entry hands to the undo keep the limits the decoder
// promises.
bool path_ok(const std::string& path) {
  return !path.empty() && path.size() <= kMaxRecordedPathLength && path.find('\0') == std::string::npos;
}

bool paths_ok(const RecordEntry& entry) {
  if (const auto* e = std::get_if<MoveEntry>(&entry)) return path_ok(e->from) && path_ok(e->to);
  if (const auto* e = std::get_if<TuneEntry>(&entry)) return path_ok(e->from) && path_ok(e->to) && e->mode <= 07777;
  if (const auto* e = std::get_if<CancelEntry>(&entry)) return path_ok(e->to);
  if (const auto* e = std::get_if<TemporaryEntry>(&entry)) return path_ok(e->path);
  if (const auto* e = std::get_if<DocumentEntry>(&entry)) return path_ok(e->path) && e->mode <= 07777;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view line(reinterpret_cast<const char*>(data), size);
  RecordEntry entry;
  if (!decode_entry(line, entry)) return 0;
  check(paths_ok(entry), "a decoded entry keeps the path limits");
  std::string written;
  encode_entry(entry, written);
  check(!written.empty() && written.back() == '\n', "an entry is written as one line");
  written.pop_back();
  RecordEntry again;
  check(decode_entry(written, again), "what is written reads back");
  std::string rewritten;
  encode_entry(again, rewritten);
  rewritten.pop_back();
  check(rewritten == written, "an entry reads back as written");
  return 0;
}
