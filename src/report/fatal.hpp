#pragma once

namespace bootlink {

// Ends the run. Thrown after the message has been printed; the one catch in
// the run driver closes the line (putting its settings back) and turns it
// into the process status.
struct fatal {
    int status;  // 255 protocol/usage/settings, 254 hex file, 128 + signal
};

// Prints the message through the one print path, then ends the run with
// `status`.
[[noreturn]] void fail(int status, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

}  // namespace bootlink
