#pragma once

#include <csignal>

namespace bootlink {

// Ctrl-C, kill and a hang-up of the terminal end a run cleanly: the handler
// only records the signal. The signals are held back while the tool works
// and let through only while it waits (for the line, or in the pause after a
// byte), so one cannot slip in between a check and the wait that follows.

// Installs the handler and holds the stop signals back.
void catchStopSignals();

// Puts the signal mask and handlers back as they were.
void releaseStopSignals();

// The stop signal that arrived, or 0.
int stopSignal();

// The mask to wait under (ppoll): the stop signals let through. nullptr when
// catchStopSignals() was never called (tests driving the link in-process).
const sigset_t* waitMask();

}  // namespace bootlink
