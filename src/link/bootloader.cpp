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

void requestReset(serial_link& line) {
    traceText(line, "SENDing RESET: ");
    sendRequest(line, {CMD_VERSION, 0x00});
}

void readMemory(serial_link& line, memory which, uint32_t address, std::span<uint8_t> data) {
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
        fail(255, "\n[ERROR, reply for %d bytes at 0x%06lx, requested %d bytes at 0x%06lx]\n", replyLength,
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

void writeFlash(serial_link& line, uint32_t address, std::span<const uint8_t> blocks) {
    std::vector<uint8_t> body{CMD_WRITE_FLASH, static_cast<uint8_t>(blocks.size() / BLOCK_BYTES), low(address), high(address),
                              upper(address)};
    body.insert(body.end(), blocks.begin(), blocks.end());
    traceText(line, "SENDing: Write Flash: ");
    sendRequest(line, body);
    receiveAck(line, CMD_WRITE_FLASH);
}

void writeBytes(serial_link& line, memory which, uint32_t address, std::span<const uint8_t> bytes) {
    const bool eeprom = which == memory::eeprom;
    std::vector<uint8_t> body{eeprom ? CMD_WRITE_EE : CMD_WRITE_CONFIG, static_cast<uint8_t>(bytes.size()), low(address),
                              high(address), eeprom ? uint8_t{0} : upper(address)};
    body.insert(body.end(), bytes.begin(), bytes.end());
    traceText(line, eeprom ? "SENDing: Write EEPROM: " : "SENDing: Write Config: ");
    sendRequest(line, body);
    receiveAck(line, body[0]);
}

void eraseRows(serial_link& line, uint32_t address, int rows) {
    traceText(line, "SENDing Erase Flash: ");
    sendRequest(line, {CMD_ERASE_FLASH, static_cast<uint8_t>(rows), low(address), high(address), upper(address)});
    receiveAck(line, CMD_ERASE_FLASH);
}

}  // namespace bootlink
