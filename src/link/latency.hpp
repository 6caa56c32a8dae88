#pragma once

#include <linux/serial.h>

namespace bootlink {

// The serial driver's flag ioctls, so a test can stand in for a driver.
struct serial_flags_io {
    int (*get)(int fd, struct serial_struct* flags);
    int (*set)(int fd, const struct serial_struct* flags);
};

// TIOCGSERIAL and TIOCSSERIAL on the descriptor.
serial_flags_io driverIoctls();

// The common USB serial adapters hold received bytes until a packet fills
// or a 16 ms timer runs out, and every request of ours waits for a reply:
// asking the driver for low latency brings the timer down to 1 ms. A
// pseudo-terminal or a driver without the ioctl is left as it is, silently.
class low_latency {
public:
    // Asks for it; true when the flags were changed (and will be put back).
    bool ask(int fd, const serial_flags_io& io = driverIoctls());
    // Puts the driver's flags back as they were found.
    void putBack(int fd);

private:
    serial_flags_io io_{};
    bool changed_ = false;
    struct serial_struct saved_ {};
};

}  // namespace bootlink
