// The wire and the part's pace: when a byte the host wrote is taken, when a
// firmware still busy loses one, and replies sent at the line's speed.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <chrono>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <thread>
#include <unistd.h>

#include "sim/device.hpp"
#include "sim/frame.hpp"
#include "sim/linespeed.hpp"

namespace bootsim {

namespace {

constexpr size_t ADAPTER_PACKET = 62;  // payload of one USB packet, two bytes of it the adapter's status

// When each reply byte reaches the host: byte k leaves the UART at
// start + (k + 1) byte times; behind an adapter it waits until its packet is
// full or the latency timer, started by the packet's first byte, runs out.
std::vector<double> releaseTimes(size_t len, double start_ms, double byte_ms, int latency_ms) {
    std::vector<double> at(len);
    for (size_t k = 0; k < len; ++k) at[k] = start_ms + static_cast<double>(k + 1) * byte_ms;
    if (latency_ms <= 0) return at;
    for (size_t first = 0; first < len;) {
        const double timer = at[first] + latency_ms;
        size_t end = first;
        while (end < len && end - first < ADAPTER_PACKET && at[end] <= timer) ++end;
        const double release = end - first == ADAPTER_PACKET ? at[end - 1] : timer;
        for (size_t k = first; k < end; ++k) at[k] = release;
        first = end;
    }
    return at;
}

}  // namespace

double device::arrival(double written_ms) const {
    // The host's writes cross the adapter in 1 ms frames.
    if (timing.adapter_latency_ms > 0) written_ms = std::ceil(written_ms);
    if (timing.baud <= 0) return written_ms;
    // A byte is on the wire for ten bit times, after the one before it.
    const double byte_ms = 10000.0 / timing.baud;
    return std::max(written_ms, last_taken_ms_) + byte_ms;
}

bool device::take(double read_ms, double& at) {
    if (timing.rx_us <= 0) {
        at = arrival(read_ms);
        last_taken_ms_ = at;
        return true;
    }
    // A pty keeps no arrival times: the byte was written somewhere between
    // the last time the input was seen empty and the read. Blaming a late
    // wake-up of this process on the host would lose bytes a real part
    // takes, so the byte counts as arriving as early in that window as the
    // firmware could take it; it is lost only if even the read is too soon.
    const double earliest = arrival(empty_since_ms_);
    const double latest = arrival(read_ms);
    const double ready = last_taken_ms_ + timing.rx_us / 1000.0;
    if (ready > latest) {
        at = earliest;
        if (timing.baud > 0) last_taken_ms_ = at;  // the wire was busy all the same
        return false;
    }
    at = std::max(earliest, ready);
    last_taken_ms_ = at;
    return true;
}

bool device::send_reply(int fd, std::vector<uint8_t>& reply, double start_ms) {
    for (auto& b : reply) b = noisy(b);
    size_t len = reply.size();
    if (close_after_ >= 0 && static_cast<size_t>(close_after_) < len) len = close_after_;
    const double byte_ms = timing.baud > 0 ? 10000.0 / timing.baud : 0;
    const bool timed = byte_ms > 0 || timing.adapter_latency_ms > 0;
    const std::vector<double> release = releaseTimes(len, start_ms, byte_ms, timing.adapter_latency_ms);
    // Write every byte whose time has come, then sleep until the next one's.
    for (size_t off = 0; off < len;) {
        size_t due = len;
        if (timed) {
            const double now = now_ms();
            due = static_cast<size_t>(std::upper_bound(release.begin(), release.end(), now) - release.begin());
            if (due <= off) {
                const double next = release[off];
                // Byte times are counted from `start_ms`, not from the last
                // wake-up, so a late wake-up sends the bytes that came due
                // together and lateness never adds up, except at a reply's
                // last byte, which the host waits for: a sleep overshoots by
                // a wake-up's latency, so the final stretch before it is spun.
                const double spin = off + 1 == len ? 0.15 : 0.0;
                if (next - now > spin)
                    std::this_thread::sleep_for(
                        std::chrono::microseconds(static_cast<int64_t>((next - now - spin) * 1000) + 1));
                continue;
            }
        } else if (start_ms > now_ms()) {
            std::this_thread::sleep_for(std::chrono::microseconds(static_cast<int64_t>((start_ms - now_ms()) * 1000) + 1));
        }
        const ssize_t w = write(fd, reply.data() + off, due - off);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) break;
        off += static_cast<size_t>(w);
        sent += static_cast<size_t>(w);
    }
    reply.clear();
    if (close_after_ < 0) return true;
    close_after_ = -1;
    // Let the host take what was sent: a hang-up discards whatever is still
    // queued on its side.
    int queued = 0;
    for (int waited = 0; waited < 500 && ioctl(fd, TIOCOUTQ, &queued) == 0 && queued > 0; ++waited)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    close(fd);
    line_closed = true;
    return false;
}

void device::serve(int fd, const std::atomic<bool>& stop, int max_sessions) {
    prctl(PR_SET_TIMERSLACK, 1UL);  // wake on time: the wire's pace is modelled in microseconds
    bool connected = false;
    std::vector<uint8_t> reply;
    for (;;) {
        struct pollfd p {fd, POLLIN, 0};
        const double before_poll = now_ms();
        const int r = poll(&p, 1, 5);
        if (r == 0) empty_since_ms_ = before_poll;
        if (r < 0) {
            if (errno == EINTR && !stop) continue;
            return;
        }
        if (r > 0 && (p.revents & POLLIN)) {
            uint8_t buf[64];
            const double before_read = now_ms();
            const ssize_t n = read(fd, buf, sizeof buf);
            if (n > 0) {
                connected = true;
                const double t = now_ms();
                // Read as the wake byte comes in, the host's speed is the one it
                // set for the run (it may have put the line back by the time
                // later bytes of a short run are read).
                const int host_speed = std::find(buf, buf + n, kWake) != buf + n ? line_speed(fd) : 0;
                for (ssize_t i = 0; i < n; ++i) {
                    double at = 0;
                    // A firmware still busy with the last byte loses the next.
                    if (!take(t, at)) {
                        ++lost;
                        continue;
                    }
                    const int wakes_before = wakes;
                    busy_ms_ = 0;
                    receive(noisy(buf[i]), at, reply);
                    if (wakes > wakes_before) speed_at_wake = host_speed;
                    if (reply.empty()) continue;
                    busy_total_ms += busy_ms_;
                    if (!send_reply(fd, reply, at + busy_ms_)) return;
                    last_taken_ms_ = now_ms();
                }
                // Whatever was still unread when this read began came in the next one.
                empty_since_ms_ = std::max(empty_since_ms_, before_read);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            // EIO: nobody holds the other end of the line.
        }
        if (r > 0 && (p.revents & (POLLHUP | POLLERR))) {
            if (connected) {
                connected = false;
                end_session();
                if (max_sessions > 0 && sessions >= max_sessions) return;
            }
            if (stop) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        if (r == 0 && stop) return;
    }
}

}  // namespace bootsim
