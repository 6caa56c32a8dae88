#include "link/bootloader.hpp"

#include <vector>

#include "link/framing.hpp"
#include "link/geometry.hpp"
#include "report/fatal.hpp"
#include "report/output.hpp"

namespace bootlink {

namespace {

uint8_t low(uint32_t v) { return static_cast<uint8_t>(v); }
uint8_t high(uint32_t v) { return static_cast<uint8_t>(v >> 8); }
uint8_t upper(uint32_t v) { return static_cast<uint8_t>(v >> 16); }

struct request_kind {
    uint8_t code;
    const char* label;  // printed before the request in the trace
    bool wide;          // 24-bit addresses; EEPROM ones have 16 bits and a 0x00
};

// Runs one request: sent, and its reply read, by `attempt`. A reply lost or
// damaged on the line (none in time, framing, checksum, another request's,
// another address or length) sends the request again once the line is quiet,
// up to the link's retries: repeating a read, a write or an erase leaves the
// device as one would. `allowanceMs` is how long the device works on it.
template <class Attempt>
void request(serial_link& line, int allowanceMs, Attempt attempt) {
    struct restore {
        serial_link& line;
        ~restore() {
            line.retries_left = 0;
            line.allowance_ms = 0;
        }
    } after{line};
    line.allowance_ms = allowanceMs;
    for (int tried = 0;; ++tried) {
        line.retries_left = line.retries - tried;
        try {
            attempt();
            return;
        } catch (const reply_lost& lost) {
            out("%s[retry %d of %d: %s]\n", line.trace ? "\n" : "", tried + 1, line.retries, lost.reason);
            if (!waitQuiet(line)) fail(255, "[ERROR, the line does not go quiet: the device keeps sending]\n");
        }
    }
}

request_kind readKind(memory which) {
    switch (which) {
    case memory::program: return {CMD_READ_FLASH, "SENDing: Read Flash: ", true};
    case memory::eeprom: return {CMD_READ_EE, "SENDing: Read EEPROM: ", false};
    case memory::config: break;
    }
    return {CMD_READ_CONFIG, "SENDing: Read Config: ", true};
}

}  // namespace

void wakeDevice(serial_link& line) { serialWrite(line, WAKE); }

// No reply comes, so nothing tells whether it arrived: it is sent once.
void requestReset(serial_link& line) {
    traceText(line, "SENDing RESET: ");
    sendRequest(line, {CMD_VERSION, 0x00});
}

namespace {

void readOnce(serial_link& line, memory which, uint32_t address, std::span<uint8_t> data) {
    const request_kind kind = readKind(which);
    const int length = static_cast<int>(data.size());
    traceText(line, kind.label);
    sendRequest(line, {kind.code, static_cast<uint8_t>(length), low(address), high(address),
                       kind.wide ? upper(address) : uint8_t{0}});
    receiveReplyHead(line, kind.code);

    uint8_t b = 0;
    serialReadEscape(line, b);
    const int replyLength = b;
    if (line.trace) {
        out("size = 0x%02hx\n", static_cast<unsigned short>(replyLength));
        out("Data Dump: \n");
    }
    uint8_t lo = 0, hi = 0, up = 0;
    serialReadEscape(line, lo);
    serialReadEscape(line, hi);
    serialReadEscape(line, up);  // EEPROM replies carry it too; it is ignored there
    const int64_t at = lo + 256 * hi + (kind.wide ? 65536 * up : 0);
    if (replyLength != length || at != address)
        replyFailure(line, "reply for another address or length",
                     "\n[ERROR, reply for %d bytes at 0x%06lx, requested %d bytes at 0x%06lx]\n", replyLength,
                     static_cast<long>(at), length, static_cast<long>(address));
    for (int i = 0; i < length; ++i) {
        serialReadEscape(line, data[i]);
        if (line.trace) {
            out("0x%06lx\t", static_cast<long>(at + i));
            out("%02hx\n", static_cast<unsigned short>(data[i]));
        }
    }
    receiveReplyTail(line);
}

// A write: code, count, address, the data; its empty reply is the
// acknowledgement that the device has written it.
void writeOnce(serial_link& line, const char* label, uint8_t code, uint8_t count, uint32_t address, bool wide,
               std::span<const uint8_t> data) {
    std::vector<uint8_t> body{code, count, low(address), high(address), wide ? upper(address) : uint8_t{0}};
    body.insert(body.end(), data.begin(), data.end());
    traceText(line, label);
    sendRequest(line, body);
    receiveAck(line, code);
}

void eraseOnce(serial_link& line, uint32_t address, int rows) {
    traceText(line, "SENDing Erase Flash: ");
    sendRequest(line, {CMD_ERASE_FLASH, static_cast<uint8_t>(rows), low(address), high(address), upper(address)});
    receiveAck(line, CMD_ERASE_FLASH);
}

}  // namespace

void readMemory(serial_link& line, memory which, uint32_t address, std::span<uint8_t> data) {
    request(line, 0, [&] { readOnce(line, which, address, data); });
}

void writeFlash(serial_link& line, uint32_t address, std::span<const uint8_t> blocks) {
    const int count = static_cast<int>(blocks.size() / BLOCK_BYTES);
    request(line, count * WRITE_ALLOWANCE_MS, [&] {
        writeOnce(line, "SENDing: Write Flash: ", CMD_WRITE_FLASH, static_cast<uint8_t>(count), address, true, blocks);
    });
}

void writeBytes(serial_link& line, memory which, uint32_t address, std::span<const uint8_t> bytes) {
    const bool eeprom = which == memory::eeprom;
    request(line, static_cast<int>(bytes.size()) * BYTE_WRITE_ALLOWANCE_MS, [&] {
        writeOnce(line, eeprom ? "SENDing: Write EEPROM: " : "SENDing: Write Config: ",
                  eeprom ? CMD_WRITE_EE : CMD_WRITE_CONFIG, static_cast<uint8_t>(bytes.size()), address, !eeprom, bytes);
    });
}

void eraseRows(serial_link& line, uint32_t address, int rows) {
    request(line, (rows == 0 ? 256 : rows) * ERASE_ALLOWANCE_MS, [&] { eraseOnce(line, address, rows); });
}

}  // namespace bootlink
