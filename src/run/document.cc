// Rewriting the release line of the collection's document.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "fsutil/context.h"
#include "rules/line_five.h"
#include "run/run.h"

namespace {

constexpr char kDocumentPath[] = ".\\DOCUMENTS\\QM_SIDS.TXT";
// The new document's permissions, before the umask, as for every new file.
constexpr mode_t kDocumentMode = 0600;

void report_unconverted(const Context& ctx, const char* path, std::string_view why) {
  ctx.report.explain(why);
  ctx.report.failed(Failure::UnconvertedDocument, path);
}

// True when |path| is a regular file holding exactly |text|: the temporary
// file of an earlier run of ours that was killed before it could rename it.
// Removing it loses nothing, since |text| is about to be written again.
bool is_own_leftover(FileSystem& fs, const char* path, std::string_view text) {
  std::string held;
  struct stat st;
  return read_regular_file(fs.open_file(path, /*follow_links=*/false), held, &st) && held == text;
}

}  // namespace

bool write_new_file(FileSystem& fs, const char* dir, const char* temp, std::string_view text, mode_t mode) {
  if (const int fd = fs.begin_unnamed(dir, mode); fd >= 0) {
    // Its bytes reach the disk before it is named, and so before it can
    // replace anything.
    bool ok = fs.write_text(fd, text) && fs.sync_file(fd);
    if (ok) {
      ok = fs.name_unnamed(fd, temp);
      if (!ok && errno == EEXIST && is_own_leftover(fs, temp, text) && fs.remove(temp)) {
        ok = fs.name_unnamed(fd, temp);
      }
    }
    if (!fs.close_new(fd) && ok) {
      fs.remove(temp);
      ok = false;
    }
    return ok;
  }
  int fd = fs.create_exclusive(temp, mode);
  if (fd < 0 && errno == EEXIST && is_own_leftover(fs, temp, text) && fs.remove(temp)) {
    fd = fs.create_exclusive(temp, mode);
  }
  if (fd < 0) return false;
  bool ok = fs.write_text(fd, text) && fs.sync_file(fd);
  if (!fs.close_new(fd)) ok = false;
  if (!ok) fs.remove(temp);
  return ok;
}


void rewrite_release_line(const Context& ctx, char (&path)[kPathBufferSize]) {
  FileSystem& fs = ctx.fs;
  std::snprintf(path, sizeof path, "%s", kDocumentPath);
  convert_separators(path, '/');
  if (resolve_path_nocase(fs, path, '/') == nullptr) return;

  std::string text;
  struct stat st;
  if (!read_regular_file(fs.open_file(path), text, &st)) {
    report_unconverted(ctx, path, "it is not a regular file that can be read");
    return;
  }
  const std::string rewritten = replace_release_line(text);

  // The temporary file stands beside the document, so that renaming it over
  // the document replaces it in one step.
  char dir[kPathBufferSize];
  char temp[kPathBufferSize];
  const std::string_view dir_part = directory_part(path);
  std::memcpy(dir, dir_part.data(), dir_part.size());
  dir[dir_part.size()] = '\0';
  // A documents directory that is a link out of the collection holds
  // someone else's file.
  if (!fs.inside_root(dir)) {
    report_unconverted(ctx, path, "it lies outside the collection, through a link");
    return;
  }
  if (std::snprintf(temp, sizeof temp, "%s/%s", dir, kDocumentTempName) >= static_cast<int>(sizeof temp)) {
    report_unconverted(ctx, path, "its temporary file's path would be too long");
    return;
  }
  // The undo record learns of each step before it happens.
  if (!ctx.journal.will_name_temporary(temp, rewritten)) {
    report_unconverted(ctx, path, "the undo record cannot be written");
    return;
  }
  if (!write_new_file(fs, dir, temp, rewritten, kDocumentMode)) {
    report_unconverted(ctx, path, std::string("its rewrite cannot be written to ") + temp + ": " + std::strerror(errno));
    return;
  }
  DocumentChange change;
  change.path = path;
  change.original = text;
  change.rewritten = rewritten;
  change.mode = st.st_mode & 07777;
  change.mtime = st.st_mtim;
  if (!ctx.journal.will_replace_document(change)) {
    fs.remove(temp);
    report_unconverted(ctx, path, "the undo record cannot be written");
    return;
  }
  if (!fs.rename_over(temp, path)) {
    const int error = errno;
    fs.remove(temp);
    report_unconverted(ctx, path, std::string("its rewrite cannot be renamed over it: ") + std::strerror(error));
    return;
  }
  ctx.report.written(path);
}
