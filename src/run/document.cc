// Rewriting the release line of the collection's document.
#include <unistd.h>

#include <cstdio>
#include <iostream>

#include "run/run.h"

namespace {

constexpr char kDocumentPath[] = ".\\DOCUMENTS\\QM_SIDS.TXT";
constexpr char kTempName[] = "xtempx.txt";
// The document names its release on line 5.
constexpr int kLinesBeforeRelease = 4;
constexpr char kReleaseLine[] = "                                   release 2.0\n";

// True when the last read left |in| failed for a reason other than reaching
// the end of the data: an over-long line or a read error.
bool read_broke(const std::istream& in) { return in.bad() || (in.fail() && !in.eof()); }

}  // namespace

void rewrite_release_line(char (&path)[kPathBufferSize], char (&line)[kLineBufferSize]) {
  std::snprintf(path, sizeof path, "%s", kDocumentPath);
  convert_separators(path, '/');
  if (resolve_path_nocase(path, '/') == nullptr) return;

  if (!is_regular_file(path)) return;
  std::ifstream document(path);
  if (!document.is_open()) return;
  std::ofstream temp;
  // Whatever stands under the temporary name and cannot be written is left
  // alone, and so is the document.
  if (!open_text_output(temp, kTempName)) return;

  // A document that cannot be read whole is left as it is: writing a copy
  // of part of it would lose the rest.
  bool whole = true;
  for (int i = 0; i < kLinesBeforeRelease && whole; ++i) {
    read_line(document, line);
    whole = !read_broke(document);
    temp << line << '\n';
  }
  if (whole) {
    read_line(document, line);
    whole = !read_broke(document);
    temp << kReleaseLine;
  }
  // Only the read that finds no more data sets end of file, so a document
  // ending in a newline gains one empty last line.
  while (whole && !document.eof()) {
    read_line(document, line);
    whole = !read_broke(document);
    temp << line << '\n';
  }
  document.close();
  temp.close();
  if (!whole || temp.fail()) {
    unlink(kTempName);
    return;
  }

  // The complete rewritten text is in the temporary file now; the document
  // makes room for it. Should it not go away, it stays unchanged.
  if (unlink(path) != 0) {
    unlink(kTempName);
    return;
  }
  if (copy_file_exclusive(kTempName, path) == CopyResult::Copied) {
    unlink(kTempName);
    return;
  }
  // The temporary file is now the only copy of the document's text.
  std::cout << "\nThe document could not be written back to " << path
            << "; its text is kept in " << kTempName << "\n";
}
