#include "link/signals.hpp"

#include "report/fatal.hpp"
#include "report/output.hpp"

// What a stop means to a run, whichever system delivered it.

namespace bootlink {

namespace {

int holds = 0;                   // stop_hold scopes alive
const char* holdNote = nullptr;  // printed once when a signal is held
bool noted = false;

}  // namespace

bool stopHeld() { return holds > 0 && stopsArrived() < 2; }

void checkInterrupted(bool held) {
    const int sig = held ? stopSignalPending() : stopSignal();
    if (!sig) return;
    if (stopHeld()) {
        if (!noted && holdNote) out("\n%s\n", holdNote);
        noted = true;
        return;
    }
    fail(result_kind::interrupted, 128 + sig, "\n[interrupted]\n");
}

stop_hold::stop_hold(const char* note) {
    ++holds;
    holdNote = note;
    noted = false;
}

stop_hold::~stop_hold() { --holds; }

}  // namespace bootlink
