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

}  // namespace

void wakeDevice(serial_link& line) { serialWrite(line, WAKE); }

void requestReset(serial_link& line) {
    traceText(line, "SENDing RESET: ");
    sendRequest(line, {CMD_VERSION, 0x00});
}

void readMemory(serial_link& line, memory which, uint32_t address, std::span<uint8_t> data) {
    const bool program = which == memory::program;
    const uint8_t code = program ? CMD_READ_FLASH : CMD_READ_EE;
    const int length = static_cast<int>(data.size());
    traceText(line, program ? "SENDing: Read Flash: " : "SENDing: Read EEPROM: ");
    sendRequest(line, {code, static_cast<uint8_t>(length), low(address), high(address),
                       program ? upper(address) : uint8_t{0}});
    receiveReplyHead(line, code);

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
    const int64_t at = lo + 256 * hi + (program ? 65536 * up : 0);
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

void eraseRows(serial_link& line, uint32_t address, int rows) {
    traceText(line, "SENDing Erase Flash: ");
    sendRequest(line, {CMD_ERASE_FLASH, static_cast<uint8_t>(rows), low(address), high(address), upper(address)});
    receiveAck(line, CMD_ERASE_FLASH);
}

}  // namespace bootlink
