#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "link/serial.hpp"

namespace bootlink {

// Where a setting's value came from. Only what the command line asks can be
// refused for an action that does not use it: a default from anywhere else
// is simply not used.
enum class origin { builtin, environment, file, command_line };

// The settings a value can be given for, one each.
enum class setting_id {
    device, hexfile, output, bytes, startaddr, rows, baud, pace, timeout, retries,
    eeprom_size, lock, trace, run_after, skip_unchanged, write_config, quiet, flash_size,
    expect_id, report, serial_at, serial_start, serial_bytes, serial_file,
    devices, log_dir, wait, count, json,
    count_  // how many there are
};

// The actions, by the codes the bootloader's own options have always chosen.
enum action_code : int32_t {
    ACTION_NONE = -1,  // none chosen (yet)
    ACTION_WRITE_FLASH = 0,
    ACTION_READ_FLASH = 1,
    ACTION_ERASE_FLASH = 2,
    ACTION_WRITE_EEPROM = 3,
    ACTION_READ_EEPROM = 4,
    ACTION_ERASE_EEPROM = 5,
    ACTION_RESET = 6,
    ACTION_PROGRAM = 7,
    ACTION_VERIFY = 8,
    ACTION_READ_CONFIG = 9,
    ACTION_CHECK = 10,  // the file only: no device
    ACTION_READ_ALL = 11,
    ACTION_LAST = ACTION_READ_ALL,
};

// Whether `action` is one of the actions (not none).
constexpr bool chosen(int32_t action) { return action >= 0 && action <= ACTION_LAST; }

// What one run is asked to do.
struct settings {
    std::string dev = "/dev/ttyS0";  // serial device path
    std::string hexfile;             // hex file to program
    std::string output = "out.hex";  // --output: where a read is saved
    int32_t bytes = -1;              // bytes to read
    int32_t startaddr = -1;          // start byte address
    int32_t rows = 0;                // 64-byte rows to erase
    action_code action = ACTION_NONE; // the one action the run carries out
    int32_t baud = DEFAULT_BAUD;     // --baud: line speed in bit/s, asked of the line when given
    int32_t pace_ms = BYTE_PAUSE_MS; // --pace: pause after each byte sent
    int32_t timeout_ms = 0;          // --timeout: longest wait for a reply byte; unset: the action's
    int32_t retries = 0;             // --retries: sends of a request after a lost reply; unset: the action's
    bool lock = true;                // take the device for this run alone (--no-lock: don't)
    bool trace = false;              // --trace: the byte trace for --program and the like
    bool run_after = false;          // --run: reset the device after a verified programming
    bool skip_unchanged = false;     // --skip-unchanged: leave rows that already hold the file
    bool write_config = false;       // --write-config: --program writes the configuration bytes too
    bool quiet = false;              // --quiet: no byte trace and no dump for the single steps
    int32_t eeprom_size = 256;       // --eeprom-size: bytes of data EEPROM
    int32_t flash_size = 0;          // --flash-size: bytes of program memory (0: not known)
    int32_t expect_id = 0;           // --expect-id: the device ID the board must have
    std::string report_file;         // --report: where a JSON line for the run is appended
    int32_t serial_at = 0;           // --serial-at: where a board's serial number goes
    uint64_t serial_start = 0;       // --serial: the first board's number
    int32_t serial_bytes = 4;        // --serial-bytes: its length, least significant byte first
    std::string serial_file;         // --serial-file: where the next number is kept
    std::vector<std::string> devices;  // --devices: the boards to work on at once
    std::string log_dir;             // --log-dir: a log per board there
    bool wait = false;               // --wait: boards plugged in one after another
    int32_t count = 0;               // --count: how many boards --wait works on (0: until stopped)
    bool read_defaults = true;       // --no-config: no file of defaults
    bool show_config = false;        // --show-config: print the settings and where they came from
    bool json = false;               // --json: events on standard output instead of the text
    std::string defaults_file;       // the file of defaults read, if any

    std::array<origin, static_cast<size_t>(setting_id::count_)> from{};

    origin source(setting_id id) const { return from[static_cast<size_t>(id)]; }
    void mark(setting_id id, origin o) { from[static_cast<size_t>(id)] = o; }
    // Set by the user at all (anywhere but the built-in default).
    bool set(setting_id id) const { return source(id) != origin::builtin; }
    // Asked on this command line.
    bool given(setting_id id) const { return source(id) == origin::command_line; }
};

constexpr uint32_t actionBit(int32_t action) { return 1u << action; }

// How an action treats the line, the trace and the options it has no use for.
struct action_rules {
    int timeout_ms;                 // a reply byte's wait unless --timeout says otherwise
    int retries;                    // sends again after a lost reply unless --retries says otherwise
    bool trace_unless_quiet;        // the byte trace is the output (--quiet: phases instead); else --trace asks for it
    bool ignores_original_options;  // --bytes, --startaddr, --rows, --hexfile it does not use are passed over
};

// The bootloader's own single steps (write, read and erase flash, read
// EEPROM, reset) as they have always been: every byte traced unless
// --quiet, a reply awaited for as long as it takes, nothing sent twice, the
// original options they do not use passed over, and their settings checked
// once the device is awake.
constexpr action_rules SINGLE_STEP_RULES{WAIT_FOREVER, 0, true, true};

// The whole-file actions and the EEPROM writes: phases and progress instead
// of the trace, a bounded wait and retries, and no option they would not use.
constexpr action_rules GUARDED_RULES{5000, 2, false, false};

// The configuration read: guarded on the line, traced like a single step.
constexpr action_rules GUARDED_READ_RULES{5000, 2, true, false};

}  // namespace bootlink
