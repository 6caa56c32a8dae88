#pragma once

namespace bootlink {

// Ends the run. Thrown after the message has been printed (and, where the
// failure calls for it, after the device was closed); the one catch in the
// run driver turns it into the process status.
struct fatal {
    int status;                  // 255 protocol/usage/settings, 254 hex file
    bool device_closed = false;  // the thrower already closed the line
};

}  // namespace bootlink
