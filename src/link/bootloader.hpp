#pragma once

// The bootloader's command set: one function per request the device
// understands. Each frames its request, sends it (traced when asked, with
// the label the trace has always shown) and reads what comes back. A reply
// that is not the answer to the request is sent for again, up to the
// retries asked, and then ends the run (255).

#include <cstdint>
#include <span>

#include "link/serial.hpp"

namespace bootlink {

enum class memory { program, eeprom, config };

// What the requests of a run cost: for the outcome of the run.
struct request_counts {
    uint64_t sent = 0;  // requests, a retry counted again
    int retries = 0;    // of them, sent again after a lost or damaged reply
    int write_retries = 0;  // of those, writes and erases: a damaged one may have landed elsewhere
    uint64_t writes = 0;    // write requests sent (flash, EEPROM, configuration)
};

// The device as the command set reaches it: the line, whether its requests
// and replies are traced (and read replies dumped), and how many times a
// request goes again after a lost or damaged reply.
struct bootloader {
    serial_link& line;
    bool trace = true;
    int retries = 0;
    request_counts* counts = nullptr;  // added to, when given
    // A request whose retries are spent throws request_failed instead of
    // ending the run: the caller can do the work again at a larger scale
    // (a whole row erased, written and read back).
    bool soft = false;

    // The same device with the trace on or off, or soft.
    bootloader traced(bool on) const { return {line, on, retries, counts, soft}; }
    bootloader softened() const { return {line, trace, retries, counts, true}; }
};

// Thrown by a soft device's request whose replies were lost or damaged
// every time; the line is quiet again.
struct request_failed {
    const char* reason;
};

// The raw byte 0xFF, unframed, uncounted and untraced, once after the line
// is set up: the bootloader waits for it before it takes requests.
void wakeDevice(serial_link& line);

// Reset (0x00, data 0x00): the bootloader jumps to the application at once,
// so no reply comes.
void requestReset(const bootloader& dev);

// Read flash (0x01: length, 24-bit byte address), read EEPROM (0x04:
// length, 16-bit address, 0x00) or read configuration (0x06: length, 24-bit
// address: the configuration bytes at 0x300000 and the device ID at
// 0x3FFFFE). The reply repeats the length and the address (with an upper
// byte), then carries the bytes; traced, it is dumped a byte a line. At most
// READ_SINGLE_MAX bytes. A reply for another length or address ends the
// run: its bytes would land in the wrong place.
void readMemory(const bootloader& dev, memory which, uint32_t address, std::span<uint8_t> data);

// Write flash (0x02: block count, 24-bit byte address, 8 bytes a block,
// program words low byte first). The device programs the blocks and answers
// with an empty reply once done. At most 255 blocks (the count byte).
void writeFlash(const bootloader& dev, uint32_t address, std::span<const uint8_t> blocks);

// Write EEPROM (0x05: length, 16-bit address, 0x00, the bytes) or write
// configuration (0x07: length, 24-bit address, the bytes). The device
// writes them one by one (milliseconds each) and answers with an empty
// reply once done. At most EEPROM_WRITE_MAX bytes, so the reply comes soon.
void writeBytes(const bootloader& dev, memory which, uint32_t address, std::span<const uint8_t> bytes);

// Erase flash (0x03: row count, 24-bit byte address). The device erases that
// many 64-byte rows from the row holding the address and answers with an
// empty reply once done. Its count-down loop erases one row before it
// counts, so a count of 0 erases 256.
void eraseRows(const bootloader& dev, uint32_t address, int rows);

}  // namespace bootlink
