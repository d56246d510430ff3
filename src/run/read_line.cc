// Line reading shared by the release check and the document rewrite.
#include "run/read_line.h"

#include <cstring>

void read_line(std::istream& in, char (&line)[kLineBufferSize]) {
  // A stream that is already failed or at end of file stores nothing, so the
  // line must read as empty then.
  line[0] = '\0';
  in.getline(line, kLineBufferSize);
  const std::size_t len = std::strlen(line);
  if (len > 0 && line[len - 1] == '\r') line[len - 1] = '\0';
}
