#pragma once

// The POSIX side of the link: descriptors waited on with ppoll, the stop
// signals let in only while waiting. Included by the POSIX files alone.

#include <csignal>
#include <cstdint>
#include <memory>

#include "link/transport.hpp"

namespace bootlink {

// The mask to wait under (ppoll): the stop signals let in. nullptr when
// catchStopSignals() was never called (tests driving the link in-process).
const sigset_t* waitMask();

// Waits until `fd` is ready for `events`, at most until `deadlineNs` (< 0: no
// limit), letting stop signals in. 1 ready, 0 timed out, -1 a stop signal
// arrived or the wait failed (errno says which).
int waitFor(int fd, short events, int64_t deadlineNs);

// A line that is a plain descriptor (one end of a socket pair, a stream):
// no format and no speed to set. Takes the descriptor and closes it.
class descriptor_line : public transport {
public:
    explicit descriptor_line(int fd) : fd_(fd) {}
    ~descriptor_line() override { descriptor_line::close(); }
    descriptor_line(const descriptor_line&) = delete;
    descriptor_line& operator=(const descriptor_line&) = delete;

    void close() override;
    bool configure(int, bool) override { return true; }
    size_t dropInput() override { return 0; }
    void write(const uint8_t* bytes, size_t n, int64_t deadlineNs) override;
    size_t read(uint8_t* into, size_t most, int64_t deadlineNs) override;

protected:
    drop dropUntil(int64_t untilNs) override;
    int fd() const { return fd_; }

private:
    int fd_;
};

std::unique_ptr<transport> descriptorLine(int fd);

}  // namespace bootlink
