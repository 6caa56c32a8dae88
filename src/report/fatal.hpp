#pragma once

#include <string>

#include "report/printf.hpp"

namespace bootlink {

// Why a run did not do what it was asked: what a script or a report of many
// boards tells failures apart by.
enum class result_kind {
    ok,
    bad_file,       // the hex file cannot be read or programmed
    refused,        // the command line asks what the tool cannot honour
    no_reply,       // the device did not answer in time
    damaged_line,   // a reply came damaged or for another request
    verify_failed,  // the device does not hold what was written or compared
    device_error,   // the device cannot be opened, used, read or written
    interrupted,    // a stop signal ended the run
    output_error,   // a file the run saves, or standard output, cannot be written
    wrong_device,   // the device is not the part the run is for
};

// The word reports use for a kind ("verify-failed").
const char* kindName(result_kind kind);

// Ends the run. The one catch of a board's run closes the line (putting its
// settings back), turns it into the run's outcome and has the reporter print
// its message, in order after everything printed before the throw.
struct fatal {
    int status;  // 255 protocol/usage/settings, 254 hex file, 128 + signal
    result_kind kind = result_kind::device_error;
    std::string message;
    bool said = false;  // the message is out already (say)
};

// Ends the run with the message, `status` (its kind: 254 a hex file, above
// 128 a signal, else a device error), or with `kind` and 255, or with both.
[[noreturn]] void fail(int status, const char* fmt, ...) __attribute__((format(BOOTLINK_PRINTF, 2, 3)));
[[noreturn]] void fail(result_kind kind, const char* fmt, ...) __attribute__((format(BOOTLINK_PRINTF, 2, 3)));
[[noreturn]] void fail(result_kind kind, int status, const char* fmt, ...) __attribute__((format(BOOTLINK_PRINTF, 3, 4)));

// Prints a failure's message now, once: for a catch on the way out that has
// more to say after it (where the device's own bytes were kept).
void say(fatal& f);

}  // namespace bootlink
