// Line 5 of the collection's document, which names its release: where it
// is, and the rewrite that makes it name release 2.0.
#ifndef TUVO_RULES_LINE_FIVE_H_
#define TUVO_RULES_LINE_FIVE_H_

#include <cstddef>
#include <string>
#include <string_view>

// The document names its release on this line.
inline constexpr int kReleaseLineNumber = 5;

// Line 5 of |text| with its line ending ("\n", "\r\n", or none for a last
// line): its start and length. False when the text has no line 5.
bool find_line_five(std::string_view text, std::size_t& start, std::size_t& length);

// The document's text with line 5 replaced by the release 2.0 line. Every
// other byte stays: line endings, a final newline or its absence, NUL bytes,
// lines of any length. The new line 5 takes the ending line 5 had; a
// document of fewer than five lines gets empty lines up to line 4 and the
// release line, each ended as the document's first line is ("\n" if none).
std::string replace_release_line(std::string_view document);

#endif  // TUVO_RULES_LINE_FIVE_H_
