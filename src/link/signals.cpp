#include "link/signals.hpp"

namespace bootlink {

namespace {

constexpr int stopSignals[] = {SIGINT, SIGTERM, SIGHUP};

volatile sig_atomic_t caught = 0;
bool installed = false;
sigset_t blockedMask;   // while working
sigset_t waitingMask;   // while waiting: the mask we found, stop signals open
sigset_t foundMask;
struct sigaction foundActions[3];

void onStopSignal(int sig) { caught = sig; }

}  // namespace

void catchStopSignals() {
    caught = 0;
    sigemptyset(&blockedMask);
    for (int s : stopSignals) sigaddset(&blockedMask, s);
    sigprocmask(SIG_BLOCK, &blockedMask, &foundMask);
    waitingMask = foundMask;
    for (int s : stopSignals) sigdelset(&waitingMask, s);
    struct sigaction sa {};
    sa.sa_handler = onStopSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: the wait must return to notice it
    for (int i = 0; i < 3; ++i) sigaction(stopSignals[i], &sa, &foundActions[i]);
    installed = true;
}

void releaseStopSignals() {
    if (!installed) return;
    for (int i = 0; i < 3; ++i) sigaction(stopSignals[i], &foundActions[i], nullptr);
    sigprocmask(SIG_SETMASK, &foundMask, nullptr);
    installed = false;
}

int stopSignal() { return caught; }

const sigset_t* waitMask() { return installed ? &waitingMask : nullptr; }

}  // namespace bootlink
