// Reading one line of a text file into a fixed line buffer.
#ifndef TUVO_RUN_READ_LINE_H_
#define TUVO_RUN_READ_LINE_H_

#include <cstddef>
#include <istream>

// A line buffer holds at most 1023 bytes of a line and the terminating NUL.
inline constexpr std::size_t kLineBufferSize = 1024;

// Reads one line of |in| into |line|: at most 1023 bytes are stored, the
// newline is consumed but not stored, and a carriage return that ends the
// stored line is removed.
// A last line without a newline is stored and sets the end-of-file state. A
// read at end of file stores an empty line and sets end-of-file and failed.
// A longer line stores its first 1023 bytes, leaves the rest unread and sets
// the failed state (without end-of-file). On a stream that is already failed
// or at end of file (or never opened), stores an empty line and leaves the
// stream failed; only a read that meets the end of the data sets end-of-file.
void read_line(std::istream& in, char (&line)[kLineBufferSize]);

#endif  // TUVO_RUN_READ_LINE_H_
