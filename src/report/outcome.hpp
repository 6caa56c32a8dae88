#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "report/fatal.hpp"

namespace bootlink {

// What one memory saw of a run.
struct memory_work {
    uint64_t written = 0;   // bytes sent to be written (or erased to 0xFF)
    uint64_t read = 0;      // bytes read from the device
    uint64_t compared = 0;  // bytes compared with what must be there
};

// What a run did, for the reporter and the exit status: per memory, how
// long, how many requests went again, the device's ID when it was read, and
// how it ended.
struct outcome {
    result_kind kind = result_kind::ok;
    int status = 0;         // the process status this outcome stands for
    std::string message;    // the result line of a success, the message of a failure
    memory_work program, eeprom, config;
    double seconds = 0;
    int retries = 0;
    uint64_t repeated = 0;  // requests sent again or beyond the plan (rows reread, rewritten)
    std::optional<uint16_t> device_id;
    std::optional<uint64_t> serial;  // the serial number the board was given
    std::string hexfile_sha256;      // of the hex file's bytes as they were read, when one was
    bool wrote = false;              // a write request went to the board (a serial number in it is spent)
    bool opened = false;             // the run went as far as opening the board's line
    bool serial_returned = false;    // the board failed before any write: its number went back
    bool said = false;               // a failure's message is out already

    bool ok() const { return kind == result_kind::ok && status == 0; }
};

// The outcome of a run that ended with `f`.
outcome failed(const fatal& f);

// Prints the outcome as the run's text: the result line of a success, the
// message of a failure (unless it is out already).
void report(const outcome& result);

// The one place an outcome becomes the process status.
int exitStatus(const outcome& result);

}  // namespace bootlink
