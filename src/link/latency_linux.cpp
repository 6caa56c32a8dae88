#include "link/latency.hpp"

#include <sys/ioctl.h>

namespace bootlink {

serial_flags_io driverIoctls() {
    return {[](int fd, struct serial_struct* s) { return ioctl(fd, TIOCGSERIAL, s); },
            [](int fd, const struct serial_struct* s) { return ioctl(fd, TIOCSSERIAL, s); }};
}

bool low_latency::ask(int fd, const serial_flags_io& io) {
    io_ = io;
    struct serial_struct s {};
    if (io_.get(fd, &s) != 0 || (s.flags & ASYNC_LOW_LATENCY)) return false;
    saved_ = s;
    s.flags |= ASYNC_LOW_LATENCY;
    changed_ = io_.set(fd, &s) == 0;
    return changed_;
}

void low_latency::putBack(int fd) {
    if (!changed_) return;
    // Only our bit goes back: whatever else changed meanwhile is not ours.
    struct serial_struct s {};
    if (io_.get(fd, &s) == 0) {
        s.flags = (s.flags & ~ASYNC_LOW_LATENCY) | (saved_.flags & ASYNC_LOW_LATENCY);
        io_.set(fd, &s);
    }
    changed_ = false;
}

}  // namespace bootlink
