#include "link/transport.hpp"

#include <chrono>

#include "link/signals.hpp"

namespace bootlink {

int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool transport::waitQuiet(int64_t quietNs, int64_t giveUpNs) {
    for (;;) {
        checkInterrupted();
        const drop d = dropUntil(nowNs() + quietNs);
        if (d != drop::dropped) return d == drop::quiet;
        if (nowNs() > giveUpNs) return false;
    }
}

}  // namespace bootlink
