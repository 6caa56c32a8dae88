#include "link/signals.hpp"

#include <csignal>
#include <ctime>
#include <iterator>
#include <poll.h>

#include "link/posix.hpp"
#include "link/transport.hpp"

#include "report/fatal.hpp"
#include "report/output.hpp"

namespace bootlink {

namespace {

constexpr int stopSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGALRM, SIGUSR1, SIGUSR2};
constexpr int STOP_SIGNALS = static_cast<int>(std::size(stopSignals));

volatile sig_atomic_t caught = 0;
volatile sig_atomic_t caughtCount = 0;  // how many have been delivered
bool installed = false;
sigset_t blockedMask;   // while working
sigset_t waitingMask;   // while waiting: the mask we found, stop signals open
sigset_t foundMask;
struct sigaction foundActions[STOP_SIGNALS];
bool taken[STOP_SIGNALS];  // a handler of ours is installed for it

void onStopSignal(int sig) {
    caught = sig;
    caughtCount = caughtCount + 1;
}

}  // namespace

void catchStopSignals() {
    caught = 0;
    caughtCount = 0;
    sigemptyset(&blockedMask);
    for (int i = 0; i < STOP_SIGNALS; ++i) {
        struct sigaction found {};
        sigaction(stopSignals[i], nullptr, &found);
        // Ignored by whoever started us (nohup, `cmd &` in a script): so it stays.
        taken[i] = found.sa_handler != SIG_IGN;
        if (taken[i]) sigaddset(&blockedMask, stopSignals[i]);
    }
    sigprocmask(SIG_BLOCK, &blockedMask, &foundMask);
    waitingMask = foundMask;
    for (int i = 0; i < STOP_SIGNALS; ++i)
        if (taken[i]) sigdelset(&waitingMask, stopSignals[i]);
    struct sigaction sa {};
    sa.sa_handler = onStopSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: the wait must return to notice it
    for (int i = 0; i < STOP_SIGNALS; ++i)
        if (taken[i]) sigaction(stopSignals[i], &sa, &foundActions[i]);
    installed = true;
}

void releaseStopSignals() {
    if (!installed) return;
    for (int i = 0; i < STOP_SIGNALS; ++i)
        if (taken[i]) sigaction(stopSignals[i], &foundActions[i], nullptr);
    sigprocmask(SIG_SETMASK, &foundMask, nullptr);
    installed = false;
}

int stopSignal() { return caught; }

int acceptStopSignal() {
    if (caught || !installed) return caught;
    sigset_t set;
    sigemptyset(&set);
    for (int i = 0; i < STOP_SIGNALS; ++i)
        if (taken[i]) sigaddset(&set, stopSignals[i]);
    const struct timespec now {0, 0};
    const int s = sigtimedwait(&set, nullptr, &now);
    if (s > 0) caught = s;
    return caught;
}

int stopSignalPending() {
    if (caught || !installed) return caught;
    // Held back and not yet delivered: it counts as arrived all the same, so
    // a request is not sent after it.
    sigset_t pending;
    sigpending(&pending);
    for (int i = 0; i < STOP_SIGNALS; ++i)
        if (taken[i] && sigismember(&pending, stopSignals[i])) return stopSignals[i];
    return 0;
}

const sigset_t* waitMask() { return installed ? &waitingMask : nullptr; }

bool sleepUntil(int64_t untilNs) {
    for (;;) {
        const int64_t left = untilNs - nowNs();
        if (left <= 0) return true;
        const struct timespec ts {static_cast<time_t>(left / 1000000000), static_cast<long>(left % 1000000000)};
        if (ppoll(nullptr, 0, &ts, waitMask()) == 0) return true;
        if (stopSignal() && !stopHeld()) return false;  // a held signal leaves the pause whole
    }
}

int stopsArrived() { return static_cast<int>(caughtCount); }

}  // namespace bootlink
