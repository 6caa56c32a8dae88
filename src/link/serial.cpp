#include "link/serial.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <cstdlib>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "link/framing.hpp"
#include "report/fatal.hpp"
#include "report/output.hpp"
#include "link/signals.hpp"

namespace bootlink {

namespace {

int64_t nowNs() {
    struct timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

struct timespec fromNs(int64_t ns) {
    return {static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
}

// Waits until `fd` is ready for `events`, at most `timeoutNs` (< 0: no
// limit), letting stop signals in. Returns 1 ready, 0 timed out, -1 a stop
// signal arrived or the wait failed (errno says which).
int waitFor(int fd, short events, int64_t timeoutNs) {
    struct pollfd p {fd, events, 0};
    struct timespec ts = fromNs(timeoutNs < 0 ? 0 : timeoutNs);
    const int r = ppoll(&p, 1, timeoutNs < 0 ? nullptr : &ts, waitMask());
    return r > 0 ? 1 : r;
}

}  // namespace

void serial_link::save_settings() { saved_ = tcgetattr(fd, &settings_) == 0; }

void serial_link::close() {
    if (fd < 0) return;
    if (saved_) {
        // Let what we sent leave the adapter before its speed is put back.
        tcdrain(fd);
        tcsetattr(fd, TCSANOW, &settings_);
        saved_ = false;
    }
    if (exclusive) ioctl(fd, TIOCNXCL);
    exclusive = false;
    ::close(fd);  // also gives up the lock
    fd = -1;
}

namespace {

// The line after an open error: why, and what to do about it where that is clear.
[[noreturn]] void failWithReason(const std::string& path, int e) {
    if (e == ENOENT) fail(255, "[reason: %s; bootlink --list-devices lists the serial devices]\n", std::strerror(e));
    struct stat st {};
    const struct group* owner = stat(path.c_str(), &st) == 0 ? getgrgid(st.st_gid) : nullptr;
    if ((e == EACCES || e == EPERM) && owner && st.st_gid != 0)
        fail(255,
             "[reason: %s; the device belongs to the group '%s': add yourself to it (usermod -aG %s $USER) and "
             "log in again]\n",
             std::strerror(e), owner->gr_name, owner->gr_name);
    fail(255, "[reason: %s]\n", std::strerror(e));
}

}  // namespace

void openline(serial_link& line, const std::string& path, bool exclusive) {
    // Non-blocking, so a line without carrier cannot hold up the open.
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        if (errno == EBUSY)  // another program holds it with TIOCEXCL, or a killed one left the flag
            fail(255,
                 "ERROR: serial device '%s' is in use by another program\n"
                 "[note: if no program is using it, a run that was killed may have left it marked in use; "
                 "unplugging the adapter (or restarting the program behind a pseudo-terminal) clears the mark]\n",
                 path.c_str());
        const int e = errno;
        out("ERROR: could not open serial device '%s'\n", path.c_str());
        failWithReason(path, e);
    }
    line.fd = fd;
    struct stat st {};
    // A file or another device (/dev/null) named by mistake must not get the
    // wake byte and a request: only a terminal is a serial line.
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode) || !isatty(fd))
        fail(255, "ERROR: '%s' is not a serial device\n", path.c_str());
    if (exclusive) {
        if (flock(fd, LOCK_EX | LOCK_NB) != 0)
            fail(255, "ERROR: serial device '%s' is in use by another program\n", path.c_str());
        if (isatty(fd) && ioctl(fd, TIOCEXCL) == 0) line.exclusive = true;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    line.save_settings();
}

// termios2, for rates without a B constant (speed_linux.cpp).
bool setOtherSpeed(int fd, int baud);
bool readSpeeds(int fd, int& in, int& out);

namespace {

struct standard_rate {
    int baud;
    speed_t code;
};
constexpr standard_rate standardRates[] = {
    {50, B50},         {75, B75},         {110, B110},       {134, B134},       {150, B150},
    {200, B200},       {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
    {2400, B2400},     {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
    {57600, B57600},   {115200, B115200}, {230400, B230400}, {460800, B460800}, {500000, B500000},
    {576000, B576000}, {921600, B921600}, {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
    {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};

// A UART divides its clock: what it reports may be a hair off the rate asked.
// Both ends still agree within 2 %.
bool closeEnough(int got, int asked) { return got > 0 && std::abs(got - asked) * 50 <= asked; }

}  // namespace

void setbaud(serial_link& line, const std::string& path, int baud) {
    bool taken = false;
    const standard_rate* rate = nullptr;
    for (const auto& r : standardRates)
        if (r.baud == baud) rate = &r;
    if (rate) {
        struct termios tio {};
        taken = tcgetattr(line.fd, &tio) == 0 && cfsetispeed(&tio, rate->code) == 0 &&
                cfsetospeed(&tio, rate->code) == 0 && tcsetattr(line.fd, TCSANOW, &tio) == 0 &&
                tcgetattr(line.fd, &tio) == 0 && cfgetispeed(&tio) == rate->code &&
                cfgetospeed(&tio) == rate->code;
    } else {
        int in = 0, outSpeed = 0;
        taken = setOtherSpeed(line.fd, baud) && readSpeeds(line.fd, in, outSpeed) && closeEnough(in, baud) &&
                closeEnough(outSpeed, baud);
    }
    if (!taken) fail(255, "ERROR: serial device '%s' did not take the line speed %d bit/s\n", path.c_str(), baud);
}

void discardInput(serial_link& line) { tcflush(line.fd, TCIFLUSH); }

void setline(serial_link& line, tcflag_t flags, speed_t speed) {
    struct termios tio {};
    tcgetattr(line.fd, &tio);
    tio.c_iflag = IGNBRK | IGNPAR;
    tio.c_oflag = 0;
    tio.c_cflag = flags | CREAD | HUPCL | CLOCAL;  // previous control modes discarded
    tio.c_lflag = 0;
    tio.c_cc[VMIN] = 1;   // block until at least one byte is there
    tio.c_cc[VTIME] = 0;  // and wait for it forever
    // Speeds after the control modes: assigning c_cflag would wipe them.
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
    tcsetattr(line.fd, TCSANOW, &tio);
}

bool waitms(int ms) {
    const int64_t deadline = nowNs() + static_cast<int64_t>(ms) * 1000000;
    for (;;) {
        const int64_t left = deadline - nowNs();
        if (left <= 0) return true;
        const struct timespec ts = fromNs(left);
        if (ppoll(nullptr, 0, &ts, waitMask()) == 0) return true;
        if (stopSignal()) return false;
    }
}

namespace {

// Writes all of `bytes`, waiting for room in a full output queue.
void writeAll(serial_link& line, const uint8_t* bytes, size_t n) {
    while (n > 0) {
        checkInterrupted();
        const ssize_t w = write(line.fd, bytes, n);
        if (w > 0) {
            bytes += w;
            n -= static_cast<size_t>(w);
            continue;
        }
        if (w < 0 && errno == EINTR) continue;
        // A full output queue drains at the line's speed: wait for room.
        if (w < 0 && errno == EAGAIN && waitFor(line.fd, POLLOUT, -1) != 0) continue;
        fail(255, "\n[ERROR, could not write to serial device (%s)]\n", w < 0 ? std::strerror(errno) : "nothing taken");
    }
}

}  // namespace

void serialWrite(serial_link& line, int byte) {
    const uint8_t b = static_cast<uint8_t>(byte);
    if (line.gathering) {
        line.outbox.push_back(b);
        return;
    }
    writeAll(line, &b, 1);
    if (line.pace_ms > 0) waitms(line.pace_ms);
    checkInterrupted();
}

void startGathering(serial_link& line) {
    line.outbox.clear();
    line.gathering = line.pace_ms == 0;
}

void sendGathered(serial_link& line) {
    if (!line.gathering) return;
    line.gathering = false;
    writeAll(line, line.outbox.data(), line.outbox.size());
    line.outbox.clear();
    checkInterrupted();
}

int serialRead(serial_link& line, uint8_t& byte) {
    if (line.inbox_at < line.inbox_len) {
        byte = line.inbox[line.inbox_at++];
        return 1;
    }
    flush();
    const bool forever = line.timeout_ms == WAIT_FOREVER;
    const int waitMs = line.timeout_ms + line.allowance_ms;
    const int64_t deadline = nowNs() + static_cast<int64_t>(waitMs) * 1000000;
    // Without a pace the device answers as fast as the line goes: take what
    // has come in one read.
    const size_t most = line.pace_ms == 0 ? line.inbox.size() : 1;
    const char* reason = "end of file";
    for (;;) {
        checkInterrupted();
        const int64_t left = forever ? -1 : deadline - nowNs();
        if (!forever && left <= 0)
            replyFailure(line, "no reply in time",
                         "\n[ERROR, no reply from the device within %d ms]\n"
                         "[hint: is the device in its bootloader, is it on this --device, and at this --baud?]\n",
                         waitMs);
        const int ready = waitFor(line.fd, POLLIN, left);
        if (ready == 0) continue;  // the deadline is checked above
        if (ready < 0) {
            if (errno == EINTR) continue;
            reason = std::strerror(errno);
            break;
        }
        const ssize_t n = read(line.fd, line.inbox.data(), most);
        if (n > 0) {
            line.inbox_at = 1;
            line.inbox_len = static_cast<size_t>(n);
            byte = line.inbox[0];
            return 1;
        }
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n < 0) reason = std::strerror(errno);
        break;
    }
    fail(255, "\n[ERROR, could not read from serial device (%s)]\n", reason);
}

void serialReadEscape(serial_link& line, uint8_t& byte) {
    serialRead(line, byte);
    if (byte == DLE) serialRead(line, byte);
    line.reply_sum = static_cast<uint8_t>(line.reply_sum + byte);
}

int serialReadPrint(serial_link& line, uint8_t& byte) {
    const int r = serialRead(line, byte);
    out("read from port: 0x%02hx\n", static_cast<unsigned short>(byte));
    return r;
}

void checkInterrupted(bool held) {
    if (const int sig = held ? stopSignalPending() : stopSignal()) fail(128 + sig, "\n[interrupted]\n");
}

void replyFailure(serial_link& line, const char* reason, const char* fmt, ...) {
    if (line.retries_left > 0) throw reply_lost{reason};
    char message[256];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(message, sizeof message, fmt, args);
    va_end(args);
    fail(255, "%s", message);
}

bool waitQuiet(serial_link& line) {
    line.inbox_at = line.inbox_len = 0;
    // A few byte times, and never less than 20 ms: a device between two
    // bytes of a reply is not yet quiet.
    const int64_t quietNs = std::max<int64_t>(20000000, 3 * 10 * 1000000000LL / std::max(line.baud, 1));
    const int64_t giveUp = nowNs() + std::max<int64_t>(1000000000, 4 * quietNs);
    uint8_t scratch[256];
    for (;;) {
        checkInterrupted();
        const int ready = waitFor(line.fd, POLLIN, quietNs);
        if (ready == 0) return true;
        if (ready < 0 && errno != EINTR) return false;
        if (ready > 0 && read(line.fd, scratch, sizeof scratch) == 0) return true;  // nobody at the other end
        if (nowNs() > giveUp) return false;
    }
}

}  // namespace bootlink
