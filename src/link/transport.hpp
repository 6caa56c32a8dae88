#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <termios.h>

namespace bootlink {

constexpr int BAUD_MIN = 50;       // slowest line speed --baud takes
constexpr int BAUD_MAX = 4000000;  // fastest (adapters top out about here)

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

    // Raw 8-bit bytes in the character format `flags` at the speed `speed`.
    virtual void setFormat(tcflag_t flags, speed_t speed) = 0;

    // Asks for `baud` bit/s both ways and confirms it; false when the far
    // end did not take it.
    virtual bool setSpeed(int baud) = 0;

    // Throws away what the device sent before this run; how many bytes.
    virtual size_t dropInput() = 0;

    // Whether others can be on the line too (a server's network port, which
    // may take more than one client).
    virtual bool shared() const { return false; }

    // Writes all `n` bytes. A line that has not taken them all by
    // `deadlineNs` (the device stopped reading, its flow held, a server's
    // window full) is dead, and so is one that refuses them: the run ends.
    virtual void write(const uint8_t* bytes, size_t n, int64_t deadlineNs) = 0;

    // What has arrived, at most `most` bytes, waiting until `deadlineNs`
    // (< 0: for as long as it takes). 0 when the deadline passed first; a
    // failed read or a closed line ends the run.
    virtual size_t read(uint8_t* into, size_t most, int64_t deadlineNs) = 0;

    // Reads and drops whatever comes until the line has been quiet for
    // `quietNs`; false when it still sends at `giveUpNs`.
    virtual bool waitQuiet(int64_t quietNs, int64_t giveUpNs) = 0;
};

// A line that is a plain descriptor (one end of a socket pair, a stream):
// no format and no speed to set. Takes the descriptor and closes it.
class descriptor_line : public transport {
public:
    explicit descriptor_line(int fd) : fd_(fd) {}
    ~descriptor_line() override { descriptor_line::close(); }
    descriptor_line(const descriptor_line&) = delete;
    descriptor_line& operator=(const descriptor_line&) = delete;

    void close() override;
    void setFormat(tcflag_t, speed_t) override {}
    bool setSpeed(int) override { return true; }
    size_t dropInput() override { return 0; }
    void write(const uint8_t* bytes, size_t n, int64_t deadlineNs) override;
    size_t read(uint8_t* into, size_t most, int64_t deadlineNs) override;
    bool waitQuiet(int64_t quietNs, int64_t giveUpNs) override;

protected:
    int fd() const { return fd_; }

private:
    int fd_;
};

std::unique_ptr<transport> descriptorLine(int fd);

}  // namespace bootlink
