#include "link/posix.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <unistd.h>

#include "link/signals.hpp"
#include "report/fatal.hpp"

namespace bootlink {

int waitFor(int fd, short events, int64_t deadlineNs) {
    struct pollfd p {fd, events, 0};
    const int64_t left = deadlineNs < 0 ? 0 : std::max<int64_t>(deadlineNs - nowNs(), 0);
    struct timespec ts {static_cast<time_t>(left / 1000000000), static_cast<long>(left % 1000000000)};
    const int r = ppoll(&p, 1, deadlineNs < 0 ? nullptr : &ts, waitMask());
    return r > 0 ? 1 : r;
}

void descriptor_line::close() {
    if (fd_ < 0) return;
    ::close(fd_);
    fd_ = -1;
}

void descriptor_line::write(const uint8_t* bytes, size_t n, int64_t deadlineNs) {
    while (n > 0) {
        checkInterrupted();
        const ssize_t w = ::write(fd_, bytes, n);
        if (w > 0) {
            bytes += w;
            n -= static_cast<size_t>(w);
            continue;
        }
        if (w < 0 && errno == EINTR) continue;
        if (w < 0 && errno == EAGAIN) {
            // A full output queue drains at the line's speed: wait for room,
            // but not for ever. A device that stopped reading never makes it.
            const int ready = waitFor(fd_, POLLOUT, deadlineNs);
            if (ready > 0 || (ready < 0 && errno == EINTR)) continue;
            if (ready == 0)
                fail(result_kind::no_reply,
                     "\n[ERROR, the line takes no more bytes: the device (or the adapter) has stopped reading]\n");
        }
        fail(result_kind::device_error, "\n[ERROR, could not write to serial device (%s)]\n",
             w < 0 ? std::strerror(errno) : "nothing taken");
    }
}

size_t descriptor_line::read(uint8_t* into, size_t most, int64_t deadlineNs) {
    const char* reason = "end of file";
    for (;;) {
        checkInterrupted();
        if (deadlineNs >= 0 && nowNs() >= deadlineNs) return 0;
        const int ready = waitFor(fd_, POLLIN, deadlineNs);
        if (ready == 0) continue;  // the deadline is checked above
        if (ready < 0) {
            if (errno == EINTR) continue;
            reason = std::strerror(errno);
            break;
        }
        const ssize_t n = ::read(fd_, into, most);
        if (n > 0) return static_cast<size_t>(n);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n < 0) reason = std::strerror(errno);
        break;
    }
    fail(result_kind::device_error, "\n[ERROR, could not read from serial device (%s)]\n", reason);
}

transport::drop descriptor_line::dropUntil(int64_t untilNs) {
    uint8_t scratch[256];
    const int ready = waitFor(fd_, POLLIN, untilNs);
    if (ready == 0) return drop::quiet;
    if (ready < 0 && errno != EINTR) return drop::failed;
    if (ready > 0 && ::read(fd_, scratch, sizeof scratch) == 0) return drop::quiet;  // nobody at the other end
    return drop::dropped;
}

std::unique_ptr<transport> descriptorLine(int fd) { return std::make_unique<descriptor_line>(fd); }

}  // namespace bootlink
