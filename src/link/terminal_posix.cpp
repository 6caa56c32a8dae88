#include "link/terminal.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <ctime>
#include <unistd.h>

#include "link/latency.hpp"
#include "link/posix.hpp"
#include "report/fatal.hpp"
#include "report/output.hpp"

namespace bootlink {

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

constexpr int64_t DRAIN_LIMIT_NS = 1000000000;  // longest wait at close for our last bytes to leave

// tcdrain, bounded: a line whose flow is held (or a device that stopped
// reading) would keep it waiting for ever. What has not left by then is
// thrown away, not sent later at the speed put back.
void drainWithin(int fd, int64_t limitNs) {
    const int64_t giveUp = nowNs() + limitNs;
    for (int queued = 0; ioctl(fd, TIOCOUTQ, &queued) == 0 && queued > 0;) {
        if (nowNs() >= giveUp) {
            tcflush(fd, TCOFLUSH);
            return;
        }
        const struct timespec ms {0, 1000000};
        nanosleep(&ms, nullptr);
    }
}

// A serial terminal: its settings as found are saved at open and put back,
// with exclusive use given up, at close.
class terminal : public descriptor_line {
public:
    explicit terminal(int fd) : descriptor_line(fd) {
        saved_ = tcgetattr(fd, &settings_) == 0;
        latency_.ask(fd);
    }
    ~terminal() override { terminal::close(); }

    void markExclusive() { exclusive_ = true; }

    void close() override {
        if (fd() < 0) return;
        if (saved_) {
            // Let what we sent leave the adapter before its speed is put back.
            drainWithin(fd(), DRAIN_LIMIT_NS);
            tcsetattr(fd(), TCSANOW, &settings_);
            saved_ = false;
        }
        latency_.putBack(fd());
        if (exclusive_) ioctl(fd(), TIOCNXCL);
        exclusive_ = false;
        descriptor_line::close();  // also gives up the lock
    }

    bool configure(int baud, bool confirm) override {
        setFormat(CS8, B19200);
        return (baud == DEFAULT_BAUD && !confirm) || setSpeed(baud);
    }

private:
    void setFormat(tcflag_t flags, speed_t speed) {
        struct termios tio {};
        tcgetattr(fd(), &tio);
        tio.c_iflag = IGNBRK | IGNPAR;
        tio.c_oflag = 0;
        tio.c_cflag = flags | CREAD | HUPCL | CLOCAL;  // previous control modes discarded
        tio.c_lflag = 0;
        tio.c_cc[VMIN] = 1;   // block until at least one byte is there
        tio.c_cc[VTIME] = 0;  // and wait for it forever
        // Speeds after the control modes: assigning c_cflag would wipe them.
        cfsetispeed(&tio, speed);
        cfsetospeed(&tio, speed);
        tcsetattr(fd(), TCSANOW, &tio);
    }

    bool setSpeed(int baud) {
        for (const auto& r : standardRates) {
            if (r.baud != baud) continue;
            struct termios tio {};
            return tcgetattr(fd(), &tio) == 0 && cfsetispeed(&tio, r.code) == 0 && cfsetospeed(&tio, r.code) == 0 &&
                   tcsetattr(fd(), TCSANOW, &tio) == 0 && tcgetattr(fd(), &tio) == 0 &&
                   cfgetispeed(&tio) == r.code && cfgetospeed(&tio) == r.code;
        }
        int in = 0, outSpeed = 0;
        return setOtherSpeed(fd(), baud) && readSpeeds(fd(), in, outSpeed) && closeEnough(in, baud) &&
               closeEnough(outSpeed, baud);
    }

public:
    size_t dropInput() override {
        int waiting = 0;
        if (ioctl(fd(), FIONREAD, &waiting) != 0) waiting = 0;
        tcflush(fd(), TCIFLUSH);
        return static_cast<size_t>(waiting);
    }

private:
    bool saved_ = false;
    bool exclusive_ = false;
    struct termios settings_ {};
    low_latency latency_;
};

// The line after an open error: why, and what to do about it where that is clear.
[[noreturn]] void failWithReason(const std::string& path, int e) {
    if (e == ENOENT)
        fail(result_kind::device_error, "[reason: %s; bootlink --list-devices lists the serial devices]\n",
             std::strerror(e));
    struct stat st {};
    const struct group* owner = stat(path.c_str(), &st) == 0 ? getgrgid(st.st_gid) : nullptr;
    if ((e == EACCES || e == EPERM) && owner && st.st_gid != 0)
        fail(result_kind::device_error,
             "[reason: %s; the device belongs to the group '%s': add yourself to it (usermod -aG %s $USER) and "
             "log in again]\n",
             std::strerror(e), owner->gr_name, owner->gr_name);
    fail(result_kind::device_error, "[reason: %s]\n", std::strerror(e));
}

}  // namespace

std::unique_ptr<transport> openTerminal(const std::string& path, bool exclusive) {
    // Non-blocking, so a line without carrier cannot hold up the open.
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        if (errno == EBUSY)  // another program holds it with TIOCEXCL, or a killed one left the flag
            fail(result_kind::device_error,
                 "ERROR: serial device '%s' is in use by another program\n"
                 "[note: if no program is using it, a run that was killed may have left it marked in use; "
                 "unplugging the adapter (or restarting the program behind a pseudo-terminal) clears the mark]\n",
                 path.c_str());
        const int e = errno;
        out("ERROR: could not open serial device '%s'\n", path.c_str());
        failWithReason(path, e);
    }
    struct stat st {};
    // A file or another device (/dev/null) named by mistake must not get the
    // wake byte and a request: only a terminal is a serial line.
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode) || !isatty(fd)) {
        ::close(fd);
        fail(result_kind::device_error, "ERROR: '%s' is not a serial device\n", path.c_str());
    }
    if (exclusive && flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        fail(result_kind::device_error, "ERROR: serial device '%s' is in use by another program\n", path.c_str());
    }
    const bool taken = exclusive && ioctl(fd, TIOCEXCL) == 0;
    // It stays non-blocking: every read and write waits in ppoll with a
    // deadline and the stop signals let in, never in the kernel's read or
    // write with them held back.
    auto line = std::make_unique<terminal>(fd);
    if (taken) line->markExclusive();
    return line;
}

}  // namespace bootlink
