#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "link/transport.hpp"

namespace bootlink {

// Bytes on the line, paced as the bootloader needs them. Requests and replies
// go through these calls and the framing built on them; the run driver also
// reaches the transport itself (`port()`) to set the line up when it opens.

constexpr int BYTE_PAUSE_MS = 10;   // default pause after every byte sent; the bootloader polls its UART
constexpr int WAIT_FOREVER = 0;     // reply timeout meaning "no timeout"
constexpr int WRITE_GRACE_MS = 5000; // longest a line may take no byte when replies have no timeout

// The open line: its transport, the pace of what is sent and the bytes
// gathered or received but not yet taken. Nothing of a request or of what
// is printed lives here.
class serial_link {
public:
    int pace_ms = BYTE_PAUSE_MS;    // pause after every byte sent
    int timeout_ms = WAIT_FOREVER;  // longest wait for one byte of a reply
    int baud = DEFAULT_BAUD;        // line speed, for how long a byte takes
    std::string name;               // the device as the run names it, for hints

    serial_link() = default;
    explicit serial_link(std::unique_ptr<transport> port) : port_(std::move(port)) {}
    serial_link(const serial_link&) = delete;
    serial_link& operator=(const serial_link&) = delete;

    void attach(std::unique_ptr<transport> port) { port_ = std::move(port); }
    bool is_open() const { return port_ != nullptr; }
    transport& port() { return *port_; }
    // Puts the line back as it was found and closes it (the transport's close).
    void close();

    // At --pace 0 a request is gathered here and goes out in one write, and
    // replies are read in blocks into the inbox.
    std::vector<uint8_t> outbox;
    bool gathering = false;
    // A whole reply fits: 255 data bytes, each perhaps escaped, and the frame.
    std::array<uint8_t, 1024> inbox{};
    size_t inbox_at = 0, inbox_len = 0;
    // Bytes the reply under way still owes at least, so a read can wait for
    // them all on the wire instead of waking up for each: each escape byte
    // seen adds the byte it escapes. 0: not known.
    size_t owed = 0;
    int escape = -1;            // the reply's escape byte, -1: none counted
    bool escaping = false;      // the last byte taken was an escape
    int64_t rest_at_ns = 0;  // when those will all have come (0: not known)

    // What the line has shown of itself in this run: bytes that came, and
    // replies that came whole and right, and how many replies since the
    // last such were lost or damaged. A line that never gave one good reply,
    // or none of late, is broken, not noisy.
    uint64_t bytes_in = 0;
    uint64_t bytes_out = 0;  // bytes sent, the wake byte too
    uint64_t good_replies = 0;
    int bad_in_row = 0;

private:
    std::unique_ptr<transport> port_;
};

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

// The reply to the request just sent is `bytes` long before its escapes;
// each `escape` byte (-1: none) that comes makes it one longer.
void expectReply(serial_link& line, size_t bytes, int escape = -1);

// Flushes our output, then waits until one byte arrives, at most `waitMs`
// (WAIT_FOREVER: as long as it takes). Returns 1 with the byte, 0 when the
// wait ran out; a failed read or end of file ends the run.
int serialRead(serial_link& line, uint8_t& byte, int waitMs = WAIT_FOREVER);

// serialRead, then prints the byte ("read from port: 0x..").
int serialReadPrint(serial_link& line, uint8_t& byte);

// Reads and drops whatever the device still sends, until the line has been
// quiet for a few byte times (at least 20 ms); false when it keeps sending
// for a second.
bool waitQuiet(serial_link& line);

}  // namespace bootlink
