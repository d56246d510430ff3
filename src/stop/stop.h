// Stopping a run between two tunes: SIGINT, SIGTERM, SIGHUP and SIGPIPE
// only ask the run to stop; the walk and the moves look at
// stop_requested() before each tune and each move, so the tune in hand is
// always finished or untouched.
#ifndef TUVO_STOP_STOP_H_
#define TUVO_STOP_STOP_H_

#include <signal.h>

// From now on the stop signals only ask the run to stop.
void catch_stop_signals();
bool stop_requested();
// Asks the run to stop as |signal| would (a child mv died of it).
void request_stop(int signal);
// Prints one line on standard error saying that the run stopped, then ends
// the process as the stopping signal would have ended it.
[[noreturn]] void finish_stopped_run();

// The stop signals that are sent to the process as a whole, which a
// helper thread blocks so that they reach the run's own thread.
sigset_t stop_signals_sent_to_the_process();

#endif  // TUVO_STOP_STOP_H_
