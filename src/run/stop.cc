// Stopping a run between two tunes, and holding the collection for one run.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "run/run.h"

namespace {

// The signals that ask a run to stop: Ctrl-C, a polite kill, a closed
// terminal, and a closed output pipe (tuvo_2 | head).
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};

// The first signal that asked the run to stop, 0 while none has. Set by a
// handler on whichever thread the signal reaches (SIGPIPE reaches the one
// that wrote, which may be the naming thread) and read by the walk's: an
// atomic, which is safe in a handler only while it takes no lock.
std::atomic<int> g_stop_signal{0};
static_assert(std::atomic<int>::is_always_lock_free);

void note_stop(int signal) {
  int none = 0;
  g_stop_signal.compare_exchange_strong(none, signal);
}

void on_stop_signal(int signal) { note_stop(signal); }

bool is_stop_signal(int signal) {
  for (int s : kStopSignals) {
    if (s == signal) return true;
  }
  return false;
}

}  // namespace

void catch_stop_signals() {
  struct sigaction action {};
  action.sa_handler = on_stop_signal;
  sigemptyset(&action.sa_mask);
  // Restarted calls: a signal must not make a write of a tune fall short.
  action.sa_flags = SA_RESTART;
  for (int s : kStopSignals) sigaction(s, &action, nullptr);
}

bool stop_requested() { return g_stop_signal.load() != 0; }

void request_stop(int signal) { note_stop(signal); }

void finish_stopped_run() {
  const int signal = g_stop_signal.load();
  const char* name = sigabbrev_np(signal);
  std::cerr << "tuvo_2: stopped by SIG" << (name != nullptr ? name : "?")
            << " between two tunes, with nothing half-done; start it again to finish the conversion\n";
  std::cerr.flush();
  if (is_stop_signal(signal)) {
    // Ends as the signal would have ended it, so that the shell knows.
    std::signal(signal, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    raise(signal);
  }
  std::_Exit(1);
}

LockResult lock_collection() {
  // The lock is held on the collection's own root directory, so that it
  // leaves no file behind, and goes with the process however it ends.
  const int fd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return LockResult::Unavailable;
  if (flock(fd, LOCK_EX | LOCK_NB) == 0) return LockResult::Locked;  // |fd| stays open
  const int error = errno;
  close(fd);
  return error == EWOULDBLOCK ? LockResult::Busy : LockResult::Unavailable;
}

bool collection_is_busy() {
  const int fd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool busy = flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  close(fd);  // drops the lock, if it was taken
  return busy;
}
