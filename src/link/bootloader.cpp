#include "link/bootloader.hpp"

#include <algorithm>
#include <array>
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

// An acknowledgement: STX STX, the code echoed, checksum, ETX.
constexpr size_t ACK_BYTES = 5;

struct request_kind {
    uint8_t code;
    const char* label;  // printed before the request in the trace
    bool wide;          // 24-bit addresses; EEPROM ones have 16 bits and a 0x00
};

// Replies lost or damaged one after another, with no good one between,
// that make a line broken rather than noisy: a noisy line at one damaged
// byte in a thousand loses a few replies in a row, not twelve.
constexpr int BROKEN_AFTER = 12;

// How long the line's probe waits for the first byte of its small reply:
// the device answers a two-byte read at once, so this is the line's and
// the adapters' own delay, with a wide margin.
constexpr int PROBE_WAIT_MS = 250;

// Probes sent at most. A request whose end byte was damaged leaves the
// device collecting bytes for it: the next request's end closes that
// frame, whose sum is then wrong, and the device drops both in silence.
// The second probe finds it listening again.
constexpr int PROBES = 2;

// A line that has not answered one request right in this run, or none of
// late, is broken: another round of the same requests will not mend it.
bool broken(const serial_link& line) { return line.good_replies == 0 || line.bad_in_row >= BROKEN_AFTER; }

void readOnce(exchange& x, memory which, uint32_t address, std::span<uint8_t> data);

// Whether anything still answers on a line that was answering before: a
// request that no byte answered, however often sent, may only have been
// damaged on its way each time (the device drops a request whose sum is
// wrong without a word), or the device may be gone. A read of the device
// ID, small enough to come through a noisy line, tells the two apart: any
// byte back, right or damaged, says someone is there.
bool lineAnswers(const bootloader& dev) {
    serial_link& line = dev.line;
    const uint64_t before = line.bytes_in;
    for (int probe = 0; probe < PROBES && line.bytes_in == before; ++probe) {
        if (dev.counts) ++dev.counts->sent;
        std::array<uint8_t, 2> id{};
        const int wait = line.timeout_ms > 0 ? std::min(PROBE_WAIT_MS, line.timeout_ms) : PROBE_WAIT_MS;
        exchange x{line, dev.trace, wait, true};
        try {
            readOnce(x, memory::config, DEVICE_ID_FIRST, id);
        } catch (const reply_lost&) {
            if (!waitQuiet(line))
                fail(result_kind::damaged_line, "[ERROR, the line does not go quiet: the device keeps sending]\n");
        }
    }
    return line.bytes_in != before;
}

// Runs one request: sent, and its reply read, by `attempt` over a fresh
// exchange. A reply lost or damaged on the line (none in time, framing,
// checksum, another request's, another address or length) sends the request
// again once the line is quiet, up to the device's retries: repeating a
// read, a write or an erase leaves the device as one would. `allowanceMs` is
// how long the device works on it, added to each reply byte's wait.
//
// When the retries are spent, a soft device hands the failure up
// (request_failed) for the caller to do the work again at a larger scale;
// but not on a dead line (not one byte came back to the last send, nor to
// the probe after it: a device that froze half way through a reply is as
// dead as one that never spoke) nor a broken one: there the run ends with
// the reply's own message.
template <class Attempt>
void request(const bootloader& dev, int allowanceMs, bool changes, Attempt attempt) {
    serial_link& line = dev.line;
    const int wait = line.timeout_ms == WAIT_FOREVER ? WAIT_FOREVER : line.timeout_ms + allowanceMs;
    bool silent = false;  // no byte came back to the last send of it
    for (int tried = 0;; ++tried) {
        if (dev.counts) ++dev.counts->sent;
        const bool last = tried >= dev.retries;
        exchange x{line, dev.trace, wait, !last || dev.soft};
        const uint64_t before = line.bytes_in;
        try {
            attempt(x);
            ++line.good_replies;
            line.bad_in_row = 0;
            return;
        } catch (const reply_lost& lost) {
            silent = line.bytes_in == before;
            ++line.bad_in_row;
            if (!last) {
                if (dev.counts) ++dev.counts->retries;
                if (dev.counts && changes) ++dev.counts->write_retries;
                out("%s[retry %d of %d: %s]\n", dev.trace ? "\n" : "", tried + 1, dev.retries, lost.reason);
            }
            if (last && broken(line)) fail(lost.kind, "%s", lost.message.c_str());
            if (!waitQuiet(line))
                fail(result_kind::damaged_line, "[ERROR, the line does not go quiet: the device keeps sending]\n");
            if (last && silent && !lineAnswers(dev)) fail(lost.kind, "%s", lost.message.c_str());
            if (last) throw request_failed{lost.reason};
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

void readOnce(exchange& x, memory which, uint32_t address, std::span<uint8_t> data) {
    const request_kind kind = readKind(which);
    const int length = static_cast<int>(data.size());
    traceText(x, kind.label);
    sendRequest(x, {kind.code, static_cast<uint8_t>(length), low(address), high(address),
                    kind.wide ? upper(address) : uint8_t{0}});
    // STX STX, code, length, three address bytes, the data, checksum, ETX.
    expectReply(x.line, 9 + data.size(), DLE);
    receiveReplyHead(x, kind.code);

    uint8_t b = 0;
    serialReadEscape(x, b);
    const int replyLength = b;
    if (x.trace) {
        out("size = 0x%02hx\n", static_cast<unsigned short>(replyLength));
        out("Data Dump: \n");
    }
    uint8_t lo = 0, hi = 0, up = 0;
    serialReadEscape(x, lo);
    serialReadEscape(x, hi);
    serialReadEscape(x, up);  // EEPROM replies carry it too; it is ignored there
    const int64_t at = lo + 256 * hi + (kind.wide ? 65536 * up : 0);
    if (replyLength != length || at != address)
        replyFailure(x, "reply for another address or length",
                     "\n[ERROR, reply for %d bytes at 0x%06lx, requested %d bytes at 0x%06lx]\n", replyLength,
                     static_cast<long>(at), length, static_cast<long>(address));
    for (int i = 0; i < length; ++i) {
        serialReadEscape(x, data[i]);
        if (x.trace) {
            out("0x%06lx\t", static_cast<long>(at + i));
            out("%02hx\n", static_cast<unsigned short>(data[i]));
        }
    }
    receiveReplyTail(x);
}

// A write: code, count, address, the data; its empty reply is the
// acknowledgement that the device has written it.
void writeOnce(exchange& x, const char* label, uint8_t code, uint8_t count, uint32_t address, bool wide,
               std::span<const uint8_t> data) {
    std::vector<uint8_t> body{code, count, low(address), high(address), wide ? upper(address) : uint8_t{0}};
    body.insert(body.end(), data.begin(), data.end());
    traceText(x, label);
    sendRequest(x, body);
    expectReply(x.line, ACK_BYTES, DLE);
    receiveAck(x, code);
}

void eraseOnce(exchange& x, uint32_t address, int rows) {
    traceText(x, "SENDing Erase Flash: ");
    sendRequest(x, {CMD_ERASE_FLASH, static_cast<uint8_t>(rows), low(address), high(address), upper(address)});
    expectReply(x.line, ACK_BYTES, DLE);
    receiveAck(x, CMD_ERASE_FLASH);
}

}  // namespace

void wakeDevice(serial_link& line) { serialWrite(line, WAKE); }

// No reply comes, so nothing tells whether it arrived: it is sent once.
void requestReset(const bootloader& dev) {
    if (dev.counts) ++dev.counts->sent;
    exchange x{dev.line, dev.trace};
    traceText(x, "SENDing RESET: ");
    sendRequest(x, {CMD_VERSION, 0x00});
}

void readMemory(const bootloader& dev, memory which, uint32_t address, std::span<uint8_t> data) {
    request(dev, 0, false, [&](exchange& x) { readOnce(x, which, address, data); });
}

void writeFlash(const bootloader& dev, uint32_t address, std::span<const uint8_t> blocks) {
    if (dev.counts) ++dev.counts->writes;
    const int count = static_cast<int>(blocks.size() / BLOCK_BYTES);
    request(dev, count * WRITE_ALLOWANCE_MS, true, [&](exchange& x) {
        writeOnce(x, "SENDing: Write Flash: ", CMD_WRITE_FLASH, static_cast<uint8_t>(count), address, true, blocks);
    });
}

void writeBytes(const bootloader& dev, memory which, uint32_t address, std::span<const uint8_t> bytes) {
    if (dev.counts) ++dev.counts->writes;
    const bool eeprom = which == memory::eeprom;
    request(dev, static_cast<int>(bytes.size()) * BYTE_WRITE_ALLOWANCE_MS, true, [&](exchange& x) {
        writeOnce(x, eeprom ? "SENDing: Write EEPROM: " : "SENDing: Write Config: ",
                  eeprom ? CMD_WRITE_EE : CMD_WRITE_CONFIG, static_cast<uint8_t>(bytes.size()), address, !eeprom, bytes);
    });
}

void eraseRows(const bootloader& dev, uint32_t address, int rows) {
    request(dev, (rows == 0 ? 256 : rows) * ERASE_ALLOWANCE_MS, true, [&](exchange& x) { eraseOnce(x, address, rows); });
}

}  // namespace bootlink
