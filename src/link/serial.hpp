#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <termios.h>
#include <vector>

namespace bootlink {

// Byte-level access to the serial line. Every other part of the tool reaches
// the device only through these calls (and the framing built on them), so a
// pseudo-terminal or a socket can stand in for a real adapter.

constexpr int BYTE_PAUSE_MS = 10;  // default pause after every byte sent; the bootloader polls its UART
constexpr int WAIT_FOREVER = 0;    // reply timeout meaning "no timeout"

// The open line and everything that belongs to it. Commands get one of these
// and nothing else of the line.
class serial_link {
public:
    int fd = -1;
    int pace_ms = BYTE_PAUSE_MS;     // pause after every byte sent
    int timeout_ms = WAIT_FOREVER;   // longest wait for one byte of a reply
    int32_t checksum = 0;            // sum of the data bytes of the request being built
    bool trace = true;               // echo every byte of the exchange
    int baud = 19200;                // line speed, for how long a byte takes
    int retries = 0;                 // times a request whose reply is lost or damaged is sent again
    int allowance_ms = 0;            // added to the timeout while the device works on the request
    uint8_t reply_sum = 0;           // sum of the reply bytes after the STX pair, so far
    int retries_left = 0;            // of the request being made: a damaged reply is retried, not fatal

    serial_link() = default;
    explicit serial_link(int descriptor) : fd(descriptor) {}
    ~serial_link() { close(); }
    serial_link(const serial_link&) = delete;
    serial_link& operator=(const serial_link&) = delete;

    bool is_open() const { return fd >= 0; }

    // Remembers the terminal settings close() puts back.
    void save_settings();
    // Puts saved settings back, gives up exclusive use and closes. Every way
    // a run ends comes through here; calling it twice does nothing.
    void close();

    bool exclusive = false;  // TIOCEXCL was set and must be cleared

    // At --pace 0 a request is gathered here and goes out in one write, and
    // replies are read in blocks into the inbox.
    std::vector<uint8_t> outbox;
    bool gathering = false;
    std::array<uint8_t, 256> inbox{};
    size_t inbox_at = 0, inbox_len = 0;

private:
    bool saved_ = false;
    struct termios settings_ {};
};

// Opens the serial device at `path` for the link: refuses anything but a
// character device, and with `exclusive` takes the device for this run alone
// (a lock other runs of the tool respect, and TIOCEXCL on a terminal), before
// anything is changed or sent. Remembers the line's settings for close().
// Failures print their "ERROR: ..." line and end the run with 255.
void openline(serial_link& line, const std::string& path, bool exclusive);

// Raw 8-bit line: IGNBRK|IGNPAR in, nothing out, flags|CREAD|HUPCL|CLOCAL,
// non-canonical with VMIN 1 / VTIME 0, both speeds set to `speed`.
void setline(serial_link& line, tcflag_t flags, speed_t speed);

constexpr int BAUD_MIN = 50;         // slowest line speed --baud takes
constexpr int BAUD_MAX = 4000000;    // fastest (adapters top out about here)

// Sets both line speeds to `baud` bit/s (a standard rate through the terminal
// interface, any other through termios2) and reads them back: a rate the
// driver did not take ends the run with its "ERROR: ..." line and 255.
void setbaud(serial_link& line, const std::string& path, int baud);

// Throws away whatever the device sent before this run (the tail of an
// earlier run's reply would otherwise be read as the start of ours).
void discardInput(serial_link& line);

// Sleeps `ms` milliseconds (less than 1000). Returns early, with false, when
// a stop signal arrives.
bool waitms(int ms);

// Writes one byte, then pauses the link's pace. A failed write ends the run.
// While a request is gathered (pace 0) the byte joins it instead.
void serialWrite(serial_link& line, int byte);

// Starts gathering a request when the link has no pace; sendGathered writes
// it in one go.
void startGathering(serial_link& line);
void sendGathered(serial_link& line);

// Flushes our output, then waits until one byte arrives (at most the link's
// timeout plus the request's allowance). Returns 1; a failed read or end of
// file ends the run, a timeout is a lost reply (replyFailure); neither is
// ever taken for a byte.
int serialRead(serial_link& line, uint8_t& byte);

// Reads one byte of escaped reply data: a DLE is dropped and the byte after
// it is the value, whatever it is. The value counts into reply_sum.
void serialReadEscape(serial_link& line, uint8_t& byte);

// serialRead, then prints the byte ("read from port: 0x..").
int serialReadPrint(serial_link& line, uint8_t& byte);

// Ends the run (128 + signal) when a stop signal has arrived: prints
// "[interrupted]". `held` also counts one still held back (before a request).
void checkInterrupted(bool held = false);

// Thrown instead of ending the run when a reply is lost or damaged and the
// request may still be sent again (serial_link::retries_left).
struct reply_lost {
    const char* reason;
};

// A reply that is not what the request asks for: with retries left, throws
// reply_lost with `reason`; else prints the formatted message and ends the
// run (255).
[[noreturn]] void replyFailure(serial_link& line, const char* reason, const char* fmt, ...)
    __attribute__((format(printf, 3, 4)));

// Reads and drops whatever the device still sends, until the line has been
// quiet for a few byte times (at least 20 ms); false when it keeps sending
// for a second.
bool waitQuiet(serial_link& line);

}  // namespace bootlink
