#pragma once

#include <cstdint>

namespace bootlink {

// Ctrl-C, kill, a hang-up of the terminal, and the other signals that end
// a process (SIGQUIT, SIGALRM, SIGUSR1, SIGUSR2) end a run cleanly: the
// handler only records the signal. On Windows the console's Ctrl-C and
// Ctrl-Break count as SIGINT, its closing, a log-off and a shut-down as
// SIGTERM. The signals are held back while the
// tool works and let through only while it waits (for the line, in the
// pause after a byte, or for a hex file that is a pipe), so one cannot slip
// in between a check and the wait that follows. A signal ignored when the
// tool starts (nohup, a background job of a script) stays ignored.

// Installs the handler and holds the stop signals back.
void catchStopSignals();

// Puts the signal mask and handlers back as they were.
void releaseStopSignals();

// The stop signal that has arrived; 0 when none has.
int stopSignal();

// The same, counting one that is waiting while held back (a system call:
// asked before a request goes out, not at every byte).
int stopSignalPending();

// A stop signal held back, taken now as arrived, so that it no longer ends
// the process when the signals are given back: for a run that ends in its
// own good order when stopped (an unattended line).
int acceptStopSignal();

// Sleeps until `untilNs` (monotonic, nowNs()), woken early by a stop
// signal: false then. A signal a stop_hold keeps from ending the run does
// not cut the sleep short.
bool sleepUntil(int64_t untilNs);

// Ends the run (128 + signal) when a stop signal has arrived: prints
// "[interrupted]". `held` also counts one still held back (before a request).
void checkInterrupted(bool held = false);

// While one lives, a stop signal does not end the run: the first prints
// `note` once and ends the run at the first check after the hold is gone; a
// second ends it at once. For work that must not be left half done (a row
// erased that holds bytes of the device's own not yet written back).
class stop_hold {
public:
    explicit stop_hold(const char* note);
    ~stop_hold();
    stop_hold(const stop_hold&) = delete;
    stop_hold& operator=(const stop_hold&) = delete;
};

// A signal has come that a stop_hold keeps from ending the run.
bool stopHeld();

// How many stop signals have arrived in this run (the second ends a hold).
int stopsArrived();

}  // namespace bootlink
