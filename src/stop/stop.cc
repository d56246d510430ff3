// Stopping a run between two tunes when a signal asks it to.
#include "stop/stop.h"

#include <signal.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>

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

sigset_t stop_signals_sent_to_the_process() {
  sigset_t set;
  sigemptyset(&set);
  // A closed output reaches the thread that wrote, not the process.
  for (int s : kStopSignals) {
    if (s != SIGPIPE) sigaddset(&set, s);
  }
  return set;
}
