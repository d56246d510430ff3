// Line 5 of the collection's document: where it is, and its release 2.0
// rewrite.
#include "rules/line_five.h"

namespace {

constexpr std::string_view kReleaseText = "                                   release 2.0";

// The ending of the document's first line, which new lines take.
std::string_view newline_of(std::string_view document) {
  const std::size_t end = document.find('\n');
  if (end != std::string_view::npos && end > 0 && document[end - 1] == '\r') return "\r\n";
  return "\n";
}

}  // namespace

bool find_line_five(std::string_view text, std::size_t& start, std::size_t& length) {
  std::size_t pos = 0;
  for (int line = 1; line < kReleaseLineNumber; ++line) {
    const std::size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) return false;
    pos = end + 1;
  }
  if (pos == text.size()) return false;
  const std::size_t end = text.find('\n', pos);
  start = pos;
  length = (end == std::string_view::npos ? text.size() : end + 1) - pos;
  return true;
}

std::string replace_release_line(std::string_view document) {
  const std::string_view newline = newline_of(document);
  std::string out;
  out.reserve(document.size() + kReleaseText.size() + 2 * kReleaseLineNumber);
  std::size_t pos = 0;
  for (int line = 1; line < kReleaseLineNumber; ++line) {
    const std::size_t end = document.find('\n', pos);
    if (end == std::string_view::npos) {
      // Fewer than five lines: one newline for each of lines |line| to 5,
      // whether |line| is a last line without its newline or missing
      // altogether; the missing ones up to line 4 stay empty.
      out.append(document.substr(pos));
      for (int ended = line; ended <= kReleaseLineNumber; ++ended) out += newline;
      out.insert(out.size() - newline.size(), kReleaseText);
      return out;
    }
    out.append(document.substr(pos, end + 1 - pos));
    pos = end + 1;
  }
  std::size_t end = document.find('\n', pos);
  std::string_view ending;
  if (end != std::string_view::npos) {
    ending = end > pos && document[end - 1] == '\r' ? "\r\n" : "\n";
    ++end;
  } else {
    // A last line without a newline stays without one; a document that ends
    // right after line 4 gains line 5, ended like the others.
    ending = pos < document.size() ? "" : newline;
    end = document.size();
  }
  out.append(kReleaseText);
  out.append(ending);
  out.append(document.substr(end));
  return out;
}
