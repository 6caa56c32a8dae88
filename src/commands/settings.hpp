#pragma once

#include <cstdint>
#include <string>
#include <termios.h>

namespace bootlink {

// What one run is asked to do, filled from the command line.
struct settings {
    std::string dev = "/dev/ttyS0";  // serial device path (63 characters at most)
    bool device_given = false;       // --device named it (else BOOTLINK_DEVICE may)
    std::string hexfile;             // hex file to program (63 characters at most)
    std::string output = "out.hex";  // --output: where a read is saved (63 characters at most)
    bool output_given = false;       // --output named it (reads of EEPROM and configuration save only then)
    int32_t bytes = -1;              // bytes to read
    int32_t startaddr = -1;          // start byte address
    bool bytes_given = false;        // --bytes was given (the EEPROM erase has defaults)
    bool startaddr_given = false;
    bool rows_given = false;
    bool eeprom_size_given = false;
    int32_t rows = 0;                // 64-byte rows to erase
    int32_t action = -1;             // one of the action codes below
    speed_t speed = B19200;          // line speed when --baud is not given
    tcflag_t flags = CS8;            // character format, no option for it
    int32_t baud = 0;                // --baud: line speed in bit/s; 0: `speed`
    int32_t pace_ms = 10;            // --pace: pause after each byte sent
    int32_t timeout_ms = 0;          // --timeout: longest wait for a reply byte; 0: the action's default
    int32_t retries = -1;            // --retries: sends of a request after a lost reply; -1: the action's default
    bool lock = true;                // take the device for this run alone (--no-lock: don't)
    bool trace = false;              // --trace: the byte trace for --program and --verify
    bool run_after = false;          // --run: reset the device after a verified programming
    bool skip_unchanged = false;     // --skip-unchanged: leave rows that already hold the file
    bool write_config = false;
    bool quiet = false;              // --quiet: no byte trace and no dump for the original actions       // --write-config: --program writes the configuration bytes too
    int32_t eeprom_size = 256;       // --eeprom-size: bytes of data EEPROM
};

constexpr int32_t ACTION_WRITE_FLASH = 0;
constexpr int32_t ACTION_READ_FLASH = 1;
constexpr int32_t ACTION_ERASE_FLASH = 2;
constexpr int32_t ACTION_WRITE_EEPROM = 3;
constexpr int32_t ACTION_READ_EEPROM = 4;
constexpr int32_t ACTION_ERASE_EEPROM = 5;
constexpr int32_t ACTION_RESET = 6;
constexpr int32_t ACTION_PROGRAM = 7;
constexpr int32_t ACTION_VERIFY = 8;
constexpr int32_t ACTION_READ_CONFIG = 9;
constexpr int32_t ACTION_CHECK = 10;  // the file only: no device
constexpr int32_t ACTION_LAST = ACTION_CHECK;

// The actions beyond the original five. They show progress instead of the
// byte trace, wait at most NEW_ACTION_TIMEOUT_MS for a reply unless told
// otherwise, and send a request again after a reply lost on the line.
constexpr bool isNewAction(int32_t action) {
    return action == ACTION_PROGRAM || action == ACTION_VERIFY || action == ACTION_WRITE_EEPROM ||
           action == ACTION_ERASE_EEPROM || action == ACTION_READ_CONFIG;
}
constexpr int32_t NEW_ACTION_TIMEOUT_MS = 5000;
constexpr int32_t NEW_ACTION_RETRIES = 2;

// The actions that save what they read to a file.
constexpr bool savesOutput(int32_t action, bool outputGiven) {
    return action == ACTION_READ_FLASH || (outputGiven && (action == ACTION_READ_EEPROM || action == ACTION_READ_CONFIG));
}

// The actions that read a whole hex file, checked, before the line is opened.
constexpr bool loadsImage(int32_t action) {
    return action == ACTION_PROGRAM || action == ACTION_VERIFY || action == ACTION_WRITE_EEPROM || action == ACTION_CHECK;
}

constexpr std::size_t MAX_PATH_ARG = 63;  // longest --device / --hexfile argument
constexpr std::size_t MAX_NUMBER_ARG = 63;  // longest numeric argument

}  // namespace bootlink
