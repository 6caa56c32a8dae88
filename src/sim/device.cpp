#include "sim/device.hpp"

#include <algorithm>
#include "sim/linespeed.hpp"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <thread>
#include <unistd.h>

namespace bootsim {

namespace {

// The device's view of the frame bytes.
constexpr uint8_t kStart = 0x0F;
constexpr uint8_t kEnd = 0x04;
constexpr uint8_t kEscape = 0x05;
constexpr uint8_t kWake = 0xFF;

int64_t monotonic_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void put_escaped(std::vector<uint8_t>& out, uint8_t b) {
    if (b == kStart || b == kEnd || b == kEscape) out.push_back(kEscape);
    out.push_back(b);
}

struct fault_name {
    const char* name;
    fault_kind kind;
};
constexpr fault_name fault_names[] = {
    {"wrong-start", fault_kind::wrong_start},     {"wrong-echo", fault_kind::wrong_echo},
    {"wrong-address", fault_kind::wrong_address}, {"wrong-length", fault_kind::wrong_length},
    {"bad-checksum", fault_kind::bad_checksum},   {"close-mid-reply", fault_kind::close_mid_reply},
    {"no-answer", fault_kind::no_answer},         {"corrupt-write", fault_kind::corrupt_write},
    {"no-erase", fault_kind::no_erase},
};

}  // namespace

std::optional<fault> parse_fault(const std::string& text) {
    std::string name = text;
    fault f{fault_kind::no_answer};
    if (auto at = name.find('@'); at != std::string::npos) {
        f.request = static_cast<int>(std::strtol(name.c_str() + at + 1, nullptr, 0));
        name.resize(at);
    }
    if (auto eq = name.find('='); eq != std::string::npos) {
        f.value = static_cast<int>(std::strtol(name.c_str() + eq + 1, nullptr, 0));
        name.resize(eq);
    }
    for (const auto& n : fault_names) {
        if (name == n.name) {
            f.kind = n.kind;
            return f;
        }
    }
    return std::nullopt;
}

device::device() : flash(FLASH_BYTES, 0xFF), eeprom(EEPROM_BYTES, 0xFF), t0_ns_(monotonic_ns()) {}

double device::now_ms() const { return static_cast<double>(monotonic_ns() - t0_ns_) / 1e6; }

uint8_t device::read_program(uint32_t address) const {
    if (address < FLASH_BYTES) return flash[address];
    auto it = high.find(address);
    return it == high.end() ? 0xFF : it->second;
}

const fault* device::fault_for(int index, fault_kind kind) const {
    for (const auto& f : faults)
        if (f.kind == kind && (f.request < 0 || f.request == index)) return &f;
    return nullptr;
}

void device::receive(uint8_t b, double ms, std::vector<uint8_t>& reply) {
    wire.push_back({b, ms, std::min(ms, empty_since_ms_)});
    switch (state_) {
    case rx::idle:
        if (b == kStart) {
            current_ = request{};
            current_.wire.push_back(b);
            current_.first_ms = ms;
            state_ = rx::stx1;
        } else if (b == kWake) {
            ++wakes;
        }
        return;
    case rx::stx1:
        current_.wire.push_back(b);
        state_ = (b == kStart) ? rx::frame : rx::idle;
        return;
    case rx::escape:
        current_.wire.push_back(b);
        current_.payload.push_back(b);
        state_ = rx::frame;
        return;
    case rx::frame:
        current_.wire.push_back(b);
        if (b == kEscape) {
            state_ = rx::escape;
        } else if (b == kStart) {
            current_.payload.clear();  // a raw start byte inside a frame starts it over
        } else if (b == kEnd) {
            state_ = rx::idle;
            current_.last_ms = ms;
            requests.push_back(std::move(current_));
            dispatch(requests.back(), reply);
            if (on_request) on_request(requests.back());
        } else {
            current_.payload.push_back(b);
        }
        return;
    }
}

void device::dispatch(request& r, std::vector<uint8_t>& reply) {
    if (r.payload.empty()) {
        r.note = "empty frame";
        return;
    }
    unsigned sum = 0;
    for (uint8_t b : r.payload) sum += b;  // the checksum byte makes the total 0
    r.checksum_ok = (sum & 0xFF) == 0;
    r.payload.pop_back();
    if (!r.checksum_ok || r.payload.empty()) {
        r.note = "bad checksum, ignored";
        return;
    }
    const auto& p = r.payload;
    r.command = p[0];
    const int index = valid_requests_++;
    if (p.size() >= 5) {
        r.count = p[1];
        r.address = p[2] | (p[3] << 8) | (p[4] << 16);
    }
    auto answer = [&](const std::vector<uint8_t>& body) {
        if (fault_for(index, fault_kind::no_answer)) {
            r.note += " (not answered)";
            return;
        }
        frame_reply(r.command, body, index, reply);
    };
    // Read replies: length, address low/high/upper, then the data the reply's
    // own address and length cover up to the requested end.
    auto read_reply = [&](uint32_t address, int length, auto byte_at) {
        uint32_t reply_address = address;
        int reply_length = length;
        int data = length;
        if (const fault* f = fault_for(index, fault_kind::wrong_address)) {
            reply_address = static_cast<uint32_t>(f->value);
            data = std::max(0, static_cast<int>(address + length) - f->value);
        }
        if (const fault* f = fault_for(index, fault_kind::wrong_length)) {
            reply_length = f->value & 0xFF;
            data = reply_length;
        }
        std::vector<uint8_t> body{static_cast<uint8_t>(reply_length),
                                  static_cast<uint8_t>(reply_address),
                                  static_cast<uint8_t>(reply_address >> 8),
                                  static_cast<uint8_t>(reply_address >> 16)};
        for (int i = 0; i < data; ++i) body.push_back(byte_at(reply_address + i));
        answer(body);
    };

    switch (r.command) {
    case 0x00:
        if (p.size() == 2 && p[1] == 0x00) {
            ++resets;
            r.note = "reset";
        } else {
            r.note = "malformed reset";
        }
        return;
    case 0x01:
        if (p.size() != 5) break;
        r.note = "read flash";
        read_reply(r.address, r.count, [this](uint32_t a) { return read_program(a & 0xFFFFFF); });
        return;
    case 0x02: {
        if (p.size() < 5 || p.size() - 5 != static_cast<size_t>(r.count) * BLOCK_BYTES) break;
        r.data.assign(p.begin() + 5, p.end());
        const fault* corrupt = fault_for(index, fault_kind::corrupt_write);
        const uint8_t garble = corrupt ? static_cast<uint8_t>(corrupt->value ? corrupt->value : 0x01) : 0;
        // Flash can only clear bits: a write ANDs into what is there.
        for (size_t i = 0; i < r.data.size(); ++i) {
            const uint32_t a = (r.address + i) & 0xFFFFFF;
            const uint8_t stored = r.data[i] ^ garble;
            if (a < FLASH_BYTES)
                flash[a] &= stored;
            else
                high[a] = read_program(a) & stored;
        }
        r.note = (r.address % BLOCK_BYTES) ? "write flash (unaligned)" : "write flash";
        busy_ms_ = r.count * timing.write_us / 1000.0;
        answer({});
        return;
    }
    case 0x03: {
        if (p.size() != 5) break;
        const uint32_t first = r.address & ~(ROW_BYTES - 1);
        // The firmware counts rows down to zero after erasing one: a count of 0 erases 256.
        const uint32_t rows = r.count == 0 ? 256 : static_cast<uint32_t>(r.count);
        const bool skip = fault_for(index, fault_kind::no_erase) != nullptr;
        for (uint32_t i = 0; i < (skip ? 0 : rows) * ROW_BYTES; ++i) {
            const uint32_t a = (first + i) & 0xFFFFFF;
            if (a < FLASH_BYTES)
                flash[a] = 0xFF;
            else
                high.erase(a);
        }
        r.note = "erase flash";
        busy_ms_ = rows * timing.erase_us / 1000.0;
        answer({});
        return;
    }
    case 0x04:
        if (p.size() != 5) break;
        r.address &= 0xFFFF;  // EEPROM addresses have 16 bits; the upper byte is ignored
        r.note = "read eeprom";
        read_reply(r.address, r.count, [this](uint32_t a) { return eeprom[a % EEPROM_BYTES]; });
        return;
    default:
        r.note = "unknown command, ignored";
        return;
    }
    r.note = "malformed request, ignored";
}

void device::frame_reply(uint8_t command, const std::vector<uint8_t>& body, int index,
                         std::vector<uint8_t>& reply) {
    uint8_t echo = command;
    if (const fault* f = fault_for(index, fault_kind::wrong_echo)) echo = static_cast<uint8_t>(f->value);
    unsigned sum = echo;
    for (uint8_t b : body) sum += b;
    uint8_t check = static_cast<uint8_t>(-sum);
    if (const fault* f = fault_for(index, fault_kind::bad_checksum))
        check ^= static_cast<uint8_t>(f->value ? f->value : 0x01);

    const fault* start = fault_for(index, fault_kind::wrong_start);
    reply.push_back(start ? static_cast<uint8_t>(start->value) : kStart);
    reply.push_back(kStart);
    put_escaped(reply, echo);
    for (uint8_t b : body) put_escaped(reply, b);
    put_escaped(reply, check);
    reply.push_back(kEnd);
    if (const fault* f = fault_for(index, fault_kind::close_mid_reply)) close_after_ = f->value;
}

void device::end_session() {
    ++sessions;
    closed_ms = now_ms();
    state_ = rx::idle;
}

double device::arrival(double written_ms) const {
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
    size_t len = reply.size();
    if (close_after_ >= 0 && static_cast<size_t>(close_after_) < len) len = close_after_;
    const double byte_ms = timing.baud > 0 ? 10000.0 / timing.baud : 0;
    // Byte k has left the device's UART at start + (k + 1) byte times: write
    // every byte whose time has come, then sleep until the next one's.
    for (size_t off = 0; off < len;) {
        size_t due = len;
        if (byte_ms > 0) {
            const double now = now_ms();
            due = std::min(len, static_cast<size_t>(std::max(0.0, (now - start_ms) / byte_ms)));
            if (due <= off) {
                const double next = start_ms + static_cast<double>(off + 1) * byte_ms;
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
                    receive(buf[i], at, reply);
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

std::string device::describe(const request& r) {
    char head[160];
    std::snprintf(head, sizeof head, "@%9.3f ms  cmd 0x%02x count %3d address 0x%06x  %s%s",
                  r.first_ms, r.command, r.count, r.address, r.note.c_str(),
                  r.checksum_ok ? "" : " [checksum BAD]");
    std::string text = head;
    text += "\n    wire:";
    for (uint8_t b : r.wire) {
        char hex[4];
        std::snprintf(hex, sizeof hex, " %02X", b);
        text += hex;
    }
    return text;
}

}  // namespace bootsim
