#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace bootlink {

constexpr int BAUD_MIN = 50;       // slowest line speed --baud takes
constexpr int BAUD_MAX = 4000000;  // fastest (adapters top out about here)
constexpr int DEFAULT_BAUD = 19200; // the bootloader's line speed unless told otherwise

// Monotonic time in nanoseconds: every deadline on the line is one of these.
int64_t nowNs();

// Whatever carries the bytes between us and the device. The framing and the
// command set speak only to this, so a terminal, a socket pair in a test or
// a network port can stand beneath them.
class transport {
public:
    virtual ~transport() = default;

    // Puts back whatever opening changed and closes. Every way a run ends
    // comes through here; calling it twice does nothing.
    virtual void close() = 0;

    // Raw 8-bit bytes, no parity, one stop bit (the only format the
    // bootloader speaks), at the bootloader's own speed first, then at
    // `baud` bit/s both ways when it differs or `confirm` asks: that speed
    // is read back (or confirmed by the far end), false when it was not taken.
    virtual bool configure(int baud, bool confirm) = 0;

    // Throws away what the device sent before this run; how many bytes.
    virtual size_t dropInput() = 0;

    // Whether others can be on the line too (a server's network port, which
    // may take more than one client).
    virtual bool shared() const { return false; }

    // Whether a reply's bytes come as the wire carries them, one byte time
    // apart, so that a read can sleep until the rest is due. A server's
    // port passes on what it gathered, whenever it sends: read what is there.
    virtual bool pacedByTheWire() const { return true; }

    // Writes all `n` bytes. A line that has not taken them all by
    // `deadlineNs` (the device stopped reading, its flow held, a server's
    // window full) is dead, and so is one that refuses them: the run ends.
    virtual void write(const uint8_t* bytes, size_t n, int64_t deadlineNs) = 0;

    // What has arrived, at most `most` bytes, waiting until `deadlineNs`
    // (< 0: for as long as it takes). 0 when the deadline passed first; a
    // failed read or a closed line ends the run.
    virtual size_t read(uint8_t* into, size_t most, int64_t deadlineNs) = 0;

    // Reads and drops whatever comes until the line has been quiet for
    // `quietNs`; false when it still sends at `giveUpNs`, or fails.
    bool waitQuiet(int64_t quietNs, int64_t giveUpNs);

protected:
    enum class drop { quiet, dropped, failed };
    // Drops what arrives until `untilNs`: quiet when nothing came (or nobody
    // is at the other end any more), failed when the line cannot be read.
    virtual drop dropUntil(int64_t untilNs) = 0;
};

// What a device's name says of the port it opens.
struct port_kind {
    bool bounded;     // every wait needs a deadline: a peer that vanishes may never say so
    bool appears;     // a board plugged in makes it appear (a path --wait can watch)
    bool sets_speed;  // --baud reaches the device's line from here
};
port_kind portKind(const std::string& device);

// Opens the port `device` names, the transport chosen by its form: a
// network port (`socket://`, `rfc2217://`), else the serial terminal at that
// path, with `exclusive` taking it for this run alone. `timeoutMs` bounds
// connecting and every later wait of a network port.
std::unique_ptr<transport> openLink(const std::string& device, bool exclusive, int timeoutMs);

}  // namespace bootlink
