// The exclusive copy: how every converted tune is written. A new file never
// overwrites an existing one, which is how duplicate tune names are found,
// and it appears under its name only once it is complete.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "fsutil/fsutil.h"

namespace {

// New files are private to the owner until the user decides otherwise.
constexpr mode_t kNewFileMode = 0600;

// Copies |path| into |target| when it fits; false otherwise.
bool set_target(const Context& ctx, char (&target)[kTargetPathBufferSize], std::string_view path) {
  if (path.size() >= sizeof target) {
    ctx.report.explain("its new path would be longer than 511 bytes");
    return false;
  }
  std::memcpy(target, path.data(), path.size());
  target[path.size()] = '\0';
  return true;
}

// The directory part of |path| ("." when it has none) into |dir|; false
// when it does not fit.
bool directory_of(const char* path, char (&dir)[kPathBufferSize]) {
  const std::string_view part = directory_part(path);
  if (part.size() >= sizeof dir) return false;
  std::memcpy(dir, part.data(), part.size());
  dir[part.size()] = '\0';
  return true;
}

// What the journal is told of the new file |target|, named on its own (an
// alternate name, or a file created under its name); |change| holds the
// rest. False when the journal cannot record it.
bool journal_will_name(const Context& ctx, TuneChange& change, const char* target, bool first_of_batch) {
  change.to = target;
  const bool recorded = first_of_batch ? ctx.journal.will_name_tunes({&change, 1}) : ctx.journal.will_name_tune(change);
  if (recorded) return true;
  ctx.report.explain("the undo record cannot be written");
  return false;
}

// The journal takes back |change|'s name, which turned out taken; errno is
// kept for the caller.
void journal_refused(const Context& ctx, const TuneChange& change) {
  const int error = errno;
  ctx.journal.name_refused(change);
  errno = error;
}

// Names the unnamed file |tmp| |target|, the journal told first.
bool name_recorded(const Context& ctx, int tmp, TuneChange& change, const char* target) {
  if (!journal_will_name(ctx, change, target, /*first_of_batch=*/false)) return false;
  if (ctx.fs.name_unnamed(tmp, target)) return true;
  journal_refused(ctx, change);
  return false;
}

// Creates |target| under its name, the journal told first, as above.
int create_recorded(const Context& ctx, TuneChange& change, const char* target, bool first) {
  if (!journal_will_name(ctx, change, target, first)) return -1;
  const int fd = ctx.fs.create_exclusive(target, kNewFileMode);
  if (fd < 0) journal_refused(ctx, change);
  return fd;
}

// True when the copy may go to the alternate destination: |dst|, whose
// name is taken, is a directory (or a link to one), which the copy then
// goes into under its own name. Anything else there would refuse it, so
// nothing is announced for it.
bool may_go_inside(const Context& ctx, const std::string& dst) {
  return ctx.fs.kind(dst.c_str()) == EntryKind::Directory;
}

// True when |target|, which is taken, holds this very tune already, copied
// by an earlier run that was stopped before it deleted the old file.
bool done_before(const Context& ctx, TuneChange& change, const char* target) {
  change.to = target;
  return ctx.journal.finished_before(change);
}

}  // namespace

bool start_copy(const Context& ctx, int src_fd, std::span<const char> head, bool head_is_all, const char* src,
                const char* dst, PendingCopy& copy, bool may_be_link) {
  FileSystem& fs = ctx.fs;
  copy.src = src;
  copy.dst = dst;
  copy.change = TuneChange{};
  copy.tmp = -1;
  copy.outcome = CopyResult::Copied;
  copy.show_target = false;
  copy.announced = false;
  copy.after_same_name = false;
  copy.link.clear();
  if (ctx.journal.keeps_record()) {
    // What the undo record keeps of the tune: known before any name appears.
    struct stat st;
    if (fstat(src_fd, &st) != 0) {
      copy.outcome = CopyResult::SourceMissing;
      return true;
    }
    copy.change.mode = st.st_mode & 07777;
    copy.change.mtime = st.st_mtim;
    // A tune that is a link is copied from the file it points to, and the
    // link goes: the undo must make the link again, not a file.
    if (may_be_link && fs.read_link(src, copy.link)) {
      if (lstat(src, &st) == 0) {
        copy.change.mode = st.st_mode & 07777;
        copy.change.mtime = st.st_mtim;
      }
      copy.change.link = copy.link.c_str();
    }
    if (head_is_all) {
      copy.change.size = head.size();
      copy.change.checksum = content_checksum({head.data(), head.size()});
    } else if (!checksum_of_file(src_fd, copy.change.size, copy.change.checksum)) {
      copy.outcome = CopyResult::ReadFailed;
      return true;
    }
  }
  char dir[kPathBufferSize];
  const int tmp = directory_of(dst, dir) ? fs.begin_unnamed(dir, kNewFileMode) : -1;
  if (tmp < 0) return false;
  const CopyResult copied = fs.copy_into(tmp, src_fd, head, head_is_all);
  if (copied != CopyResult::Copied) {
    // As with a named copy that stops early, the path it was meant for is
    // shown; nothing was ever named, so nothing is left behind.
    fs.close_new(tmp);
    copy.outcome = copied;
    copy.show_target = copy.dst.size() < kTargetPathBufferSize;
    return true;
  }
  if (ctx.journal.keeps_record()) {
    // The new file's own number tells it from any other with these bytes.
    struct stat st;
    if (fstat(tmp, &st) == 0) {
      copy.change.inode = st.st_ino;
      copy.change.device = st.st_dev;
    }
  }
  copy.tmp = tmp;
  copy.change.fd = tmp;
  return true;
}

void announce_copies(const Context& ctx, std::span<PendingCopy* const> copies) {
  // Only copies written whole are named under the name they were meant for;
  // one whose name does not fit is never named there.
  const auto ready = [](const PendingCopy& copy) {
    return copy.tmp >= 0 && copy.dst.size() < kTargetPathBufferSize;
  };
  std::vector<TuneChange> batch;
  batch.reserve(copies.size());
  // A copy that asks for the name an earlier one of the batch asked for
  // (a title shared in one directory) will find it taken unless that one
  // failed: it is not announced under it, so that no entry has to be
  // taken back. Should the name be free when its turn comes, it is
  // announced on its own then.
  std::unordered_set<std::string_view> asked;
  for (PendingCopy* copy : copies) {
    if (!ready(*copy)) continue;
    if (!asked.insert(copy->dst).second) {
      copy->after_same_name = true;
      continue;
    }
    copy->change.from = copy->src.c_str();
    copy->change.to = copy->dst.c_str();
    batch.push_back(copy->change);
  }
  if (batch.empty()) return;
  const bool recorded = ctx.journal.will_name_tunes(batch);
  for (PendingCopy* copy : copies) copy->announced = recorded && ready(*copy) && !copy->after_same_name;
}

CopyResult finish_copy(const Context& ctx, PendingCopy& copy) {
  FileSystem& fs = ctx.fs;
  char target[kTargetPathBufferSize];
  if (copy.outcome != CopyResult::Copied) {
    if (copy.show_target) ctx.report.written(copy.dst.c_str());
    return copy.outcome;
  }
  TuneChange& change = copy.change;
  change.from = copy.src.c_str();
  const bool fits = set_target(ctx, target, copy.dst);
  bool named = false;
  // A copy its batch could not announce (the record's write failed, a full
  // disk) is announced on its own, as it is about to be named.
  const bool taken_in_batch = fits && copy.after_same_name && fs.taken(target);
  if (fits && !taken_in_batch &&
      (copy.announced || journal_will_name(ctx, change, target, /*first_of_batch=*/true))) {
    change.to = target;
    named = fs.name_unnamed(copy.tmp, target);
    if (!named) journal_refused(ctx, change);
  }
  if (!named && fits && done_before(ctx, change, target)) {
    fs.close_new(copy.tmp);
    copy.tmp = -1;
    ctx.report.written(target);
    return CopyResult::Copied;
  }
  if (!named) {
    named = may_go_inside(ctx, copy.dst) && set_target(ctx, target, join_dir_and_name(copy.src, copy.dst)) &&
            name_recorded(ctx, copy.tmp, change, target);
  }
  if (!named) {
    fs.close_new(copy.tmp);
    copy.tmp = -1;
    return CopyResult::TargetExists;
  }
  ctx.report.written(target);
  copy.target = target;
  return CopyResult::Copied;
}

CopyResult complete_copy(const Context& ctx, PendingCopy& copy) {
  if (copy.tmp < 0) return CopyResult::Copied;
  const bool closed = ctx.fs.close_new(copy.tmp);
  copy.tmp = -1;
  if (closed) return CopyResult::Copied;
  ctx.fs.remove(copy.target.c_str());
  return CopyResult::CloseFailed;
}

CopyResult copy_under_name(const Context& ctx, int src_fd, std::span<const char> head, bool head_is_all,
                           PendingCopy& copy) {
  FileSystem& fs = ctx.fs;
  if (copy.outcome != CopyResult::Copied) return copy.outcome;
  TuneChange& change = copy.change;
  change.from = copy.src.c_str();
  char target[kTargetPathBufferSize];
  const bool fits = set_target(ctx, target, copy.dst);
  int out = fits ? create_recorded(ctx, change, target, /*first=*/true) : -1;
  if (out < 0 && fits && errno == EEXIST && done_before(ctx, change, target)) {
    ctx.report.written(target);
    return CopyResult::Copied;
  }
  if (out < 0) {
    if (!may_go_inside(ctx, copy.dst) || !set_target(ctx, target, join_dir_and_name(copy.src, copy.dst))) {
      return CopyResult::TargetExists;
    }
    out = create_recorded(ctx, change, target, /*first=*/false);
    if (out < 0) return CopyResult::TargetExists;
  }
  CopyResult result = fs.copy_into(out, src_fd, head, head_is_all);
  ctx.report.written(target);
  // The old file is deleted next: the copy's bytes reach the disk first.
  if (result == CopyResult::Copied && ctx.journal.keeps_record() && !fs.sync_file(out)) {
    result = CopyResult::WriteFailed;
  }
  if (!fs.close_new(out) && result == CopyResult::Copied) result = CopyResult::CloseFailed;
  // A copy that stopped early must not leave a truncated file under the new
  // name: the caller keeps the original instead.
  if (result != CopyResult::Copied) fs.remove(target);
  return result;
}

CopyResult copy_open_file_exclusive(const Context& ctx, int src_fd, std::span<const char> head, bool head_is_all,
                                    const char* src, const char* dst) {
  PendingCopy copy;
  if (!start_copy(ctx, src_fd, head, head_is_all, src, dst, copy)) {
    return copy_under_name(ctx, src_fd, head, head_is_all, copy);
  }
  PendingCopy* const batch[] = {&copy};
  announce_copies(ctx, batch);
  const CopyResult named = finish_copy(ctx, copy);
  return named == CopyResult::Copied ? complete_copy(ctx, copy) : named;
}

CopyResult copy_file_exclusive(const Context& ctx, const char* src, const char* dst) {
  const int in = ctx.fs.open_file(src);
  if (in < 0) return CopyResult::SourceMissing;
  const CopyResult result = copy_open_file_exclusive(ctx, in, {}, false, src, dst);
  close(in);
  return result;
}
