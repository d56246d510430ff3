// Replacing one release 1.6 tune file by its long-named ".sid" copy.
#include "sid/sid_convert.h"

#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "fsutil/filesystem.h"
#include "fsutil/fsutil.h"
#include "fsutil/journal.h"
#include "rules/tune.h"
#include "stop/stop.h"

namespace {

// Files the walk and the rest of the run may hold open besides the
// batches: one directory per level of the walk, the log, the record.
constexpr rlim_t kFilesLeftForTheWalk = 256;

// Each tune of a batch holds its old and its new file open, and a batch
// is filled while the one before is being closed.
constexpr rlim_t kFilesPerWaitingTune = 4;

// Tunes per batch, so that the batches leave kFilesLeftForTheWalk files of
// the process's limit for the rest.
std::size_t batch_limit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return kTuneBatchSize;
  if (limit.rlim_cur <= kFilesLeftForTheWalk + kFilesPerWaitingTune) return 1;
  return std::min<std::size_t>(kTuneBatchSize, (limit.rlim_cur - kFilesLeftForTheWalk) / kFilesPerWaitingTune);
}

}  // namespace

// The thread that names a full batch's copies, prints them, closes them
// and deletes the old files, while the walk writes the next batch: a
// second processor does nearly half of the work per tune meanwhile.
class TuneBatch::Namer {
 public:
  // The thread, or nullptr when none can be started (the batch then does
  // the work itself). Signals sent to the process are left to the run's own
  // thread; a closed output (SIGPIPE) is caught by whichever thread writes.
  static std::unique_ptr<Namer> start(const TuneBatch& batch) {
    auto namer = std::make_unique<Namer>(batch);
    const sigset_t sent = stop_signals_sent_to_the_process();
    sigset_t before;
    pthread_sigmask(SIG_BLOCK, &sent, &before);
    try {
      namer->thread_ = std::thread(&Namer::run, namer.get());
    } catch (const std::system_error&) {
      namer.reset();
    }
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    return namer;
  }

  explicit Namer(const TuneBatch& batch) : batch_(batch) {}

  ~Namer() {
    {
      const std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
  }

  void begin(std::span<Waiting> tunes) {
    {
      const std::lock_guard lock(mutex_);
      tunes_ = tunes;
      busy_ = true;
    }
    changed_.notify_all();
  }

  void wait() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return !busy_; });
  }

 private:
  void run() {
    std::unique_lock lock(mutex_);
    for (;;) {
      changed_.wait(lock, [this] { return busy_ || stopping_; });
      if (!busy_) return;
      lock.unlock();
      batch_.name_and_clean(tunes_);
      lock.lock();
      busy_ = false;
      changed_.notify_all();
    }
  }

  const TuneBatch& batch_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::span<Waiting> tunes_;
  bool busy_ = false;
  bool stopping_ = false;
  std::thread thread_;
};

TuneBatch::TuneBatch(const Context& ctx, FailureHandler on_failed)
    : limit_(batch_limit()), ctx_(ctx), on_failed_(std::move(on_failed)) {}

TuneBatch::~TuneBatch() { finish(); }

ConvertResult TuneBatch::convert_open_file(int fd, const char* path, bool may_be_link) {
  FileSystem& fs = ctx_.fs;
  // One read serves the header check and the first block of the copy.
  char head[kCopyBlockSize];
  const std::size_t wanted = std::min(sizeof head, fs.first_read_size());
  const ssize_t got = read(fd, head, wanted);
  if (got < 0) {
    ctx_.report.explain(std::string("it cannot be read: ") + std::strerror(errno));
    return ConvertResult::Failed;
  }
  const std::size_t size = static_cast<std::size_t>(got);
  if (!is_tune(path, {head, size})) return ConvertResult::NotSid;

  // A header cut inside the title field reads as NUL-padded.
  char title[kTitleFieldSize] = {};
  if (size > kTitleFieldOffset) {
    std::memcpy(title, head + kTitleFieldOffset, std::min(kTitleFieldSize, size - kTitleFieldOffset));
  }

  const std::string_view old_path(path);
  const std::size_t slash = old_path.rfind('/');
  if (slash == std::string_view::npos) {
    ctx_.report.explain("its path has no directory part");
    return ConvertResult::Failed;
  }

  std::string name = derive_long_name(std::string_view(title, sizeof title))
                         .value_or(fallback_name(old_path.substr(slash + 1)));
  name += kNewTuneExtension;

  char new_path[kPathBufferSize];
  const std::size_t dir_len = slash + 1;
  if (dir_len + name.size() >= sizeof new_path) {
    ctx_.report.explain("its new path would be longer than 1023 bytes");
    return ConvertResult::Failed;
  }
  std::memcpy(new_path, path, dir_len);
  std::memcpy(new_path + dir_len, name.c_str(), name.size() + 1);

  // A regular file that gave less than it was asked for has no more to give.
  const bool head_is_all = size < wanted;
  std::array<Waiting, kTuneBatchSize>& batch = batches_[filling_];
  bool started = start_copy(ctx_, fd, {head, size}, head_is_all, path, new_path, batch[count_].copy, may_be_link);
  if ((!started || batch[count_].copy.outcome != CopyResult::Copied) && has_waiting()) {
    // The tunes in hand take room that their old files give back once they
    // are done (a full disk, or no file may be opened): with them finished,
    // the copy is tried again, as it would have been made after them.
    finish();
    if (lseek(fd, static_cast<off_t>(size), SEEK_SET) < 0) return ConvertResult::Failed;
    started = start_copy(ctx_, fd, {head, size}, head_is_all, path, new_path, batches_[filling_][0].copy, may_be_link);
  }
  Waiting& waiting = batches_[filling_][count_];
  PendingCopy& copy = waiting.copy;
  if (started) {
    // The old file stays open until its copy is done, and is closed with it.
    waiting.source = fd;
    ++count_;
    return ConvertResult::Pending;
  }
  // No unnamed file can be made here: the copy is made under its name at
  // once, after the tunes before it.
  finish();
  if (copy_under_name(ctx_, fd, {head, size}, head_is_all, copy) != CopyResult::Copied) return ConvertResult::Failed;
  fs.remove(path);
  ctx_.report.tune_replaced(path);
  return ConvertResult::Converted;
}

ConvertResult TuneBatch::convert(const char* path, bool known_regular, bool known_plain) {
  if (!is_tune_path(path)) return ConvertResult::NotSid;

  // FIFOs, sockets and devices are never opened: opening one can block the
  // run or disturb the device.
  if (!known_regular && ctx_.fs.kind(path) != EntryKind::RegularFile) return ConvertResult::NotSid;

  // Opened non-blocking: should the file have been swapped for a FIFO since
  // it was looked at, the open still returns at once.
  const int fd = ctx_.fs.open_file(path);
  if (fd < 0) {
    // A file that vanished is nothing to convert; one that exists but cannot
    // be read may be a tune, and the user must hear of it.
    if (errno == ENOENT) return ConvertResult::NotSid;
    ctx_.report.explain(std::string("it cannot be opened: ") + std::strerror(errno));
    failed(path);
    return ConvertResult::Failed;
  }
  const ConvertResult result = convert_open_file(fd, path, !known_plain);
  if (result != ConvertResult::Pending) close(fd);
  if (result == ConvertResult::Failed) failed(path);
  if (result != ConvertResult::Pending) return result;
  // Without an undo record there is nothing to gain by waiting.
  if (!ctx_.journal.keeps_record()) {
    finish();
  } else if (count_ == limit_) {
    name_waiting(/*in_background=*/true);
  }
  return result;
}

void TuneBatch::failed(const char* path) {
  finish();
  if (on_failed_) on_failed_(path);
}

void TuneBatch::finish() {
  if (count_ > 0) name_waiting(/*in_background=*/false);
  settle();
}

void TuneBatch::name_waiting(bool in_background) {
  // The tunes named before must be done before any of these is announced.
  settle();
  const std::span<Waiting> tunes(batches_[filling_].data(), count_);
  in_flight_ = count_;
  count_ = 0;
  filling_ = 1 - filling_;
  if (in_background && namer_ == nullptr) namer_ = Namer::start(*this);
  if (in_background && namer_ != nullptr) {
    namer_->begin(tunes);
  } else {
    name_and_clean(tunes);
  }
}

void TuneBatch::name_and_clean(std::span<Waiting> tunes) const {
  std::array<PendingCopy*, kTuneBatchSize> copies;
  for (std::size_t i = 0; i < tunes.size(); ++i) copies[i] = &tunes[i].copy;
  announce_copies(ctx_, {copies.data(), tunes.size()});
  for (Waiting& tune : tunes) {
    tune.result = finish_copy(ctx_, tune.copy);
    // Only a complete copy replaces the tune.
    if (tune.result == CopyResult::Copied) tune.result = complete_copy(ctx_, tune.copy);
    if (tune.result == CopyResult::Copied) ctx_.fs.remove(tune.copy.src.c_str());
    if (tune.source >= 0) close(tune.source);
    tune.source = -1;
  }
}

void TuneBatch::settle() {
  if (in_flight_ == 0) return;
  if (namer_ != nullptr) namer_->wait();
  const std::span<Waiting> tunes(batches_[1 - filling_].data(), in_flight_);
  in_flight_ = 0;
  for (Waiting& tune : tunes) {
    if (tune.result == CopyResult::Copied) {
      ctx_.report.tune_replaced(tune.copy.src.c_str());
    } else if (on_failed_) {
      on_failed_(tune.copy.src.c_str());
    }
  }
}

ConvertResult convert_sid_file(const Context& ctx, const char* path, bool known_regular) {
  bool failed = false;
  TuneBatch batch(ctx, [&failed](const char*) { failed = true; });
  const ConvertResult result = batch.convert(path, known_regular);
  batch.finish();
  if (result != ConvertResult::Pending) return result;
  return failed ? ConvertResult::Failed : ConvertResult::Converted;
}
