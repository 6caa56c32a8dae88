#include "commands/readdump.hpp"

#include <algorithm>
#include <cstdio>

#include "link/framing.hpp"
#include "link/output.hpp"
#include "link/serial.hpp"

namespace bootlink {

namespace {

// One read request and its reply: length and address must be those asked
// for, then exactly that many data bytes follow.
void readOne(serial_link& line, const read_kind& kind, int64_t start, std::span<uint8_t> data) {
    const int length = static_cast<int>(data.size());
    traceText(line, kind.label);
    sendRequest(line, {kind.code, static_cast<uint8_t>(length), static_cast<uint8_t>(start),
                       static_cast<uint8_t>(start >> 8),
                       kind.wide ? static_cast<uint8_t>(start >> 16) : uint8_t{0}});
    receiveReplyHead(line, kind.code);

    uint8_t b = 0;
    serialReadEscape(line, b);
    const int replyLength = b;
    if (line.trace) {
        out("size = 0x%02hx\n", static_cast<unsigned short>(replyLength));
        out("Data Dump: \n");
    }

    uint8_t low = 0, high = 0, upper = 0;
    serialReadEscape(line, low);
    serialReadEscape(line, high);
    serialReadEscape(line, upper);  // EEPROM replies carry it too; it is ignored there
    const int64_t a = low + 256 * high + (kind.wide ? 65536 * upper : 0);
    if (replyLength != length || a != start) {
        char message[128];
        std::snprintf(message, sizeof message, "\n[ERROR, reply for %d bytes at 0x%06lx, requested %d bytes at 0x%06lx]\n",
                      replyLength, static_cast<long>(a), length, static_cast<long>(start));
        linkFailure(line, message);
    }
    for (int i = 0; i < length; ++i) {
        serialReadEscape(line, data[i]);
        if (line.trace) {
            out("0x%06lx\t", static_cast<long>(a + i));
            out("%02hx\n", static_cast<unsigned short>(data[i]));
        }
    }
    receiveReplyTail(line);
}

}  // namespace

void readRange(serial_link& line, const read_kind& kind, int64_t startaddr, std::span<uint8_t> data) {
    const int64_t bytes = static_cast<int64_t>(data.size());
    if (bytes <= READ_SINGLE_MAX) return readOne(line, kind, startaddr, data);
    // The length byte cannot say more than 255: split, never wrap.
    for (int64_t done = 0; done < bytes; done += READ_CHUNK) {
        const int64_t length = std::min<int64_t>(READ_CHUNK, bytes - done);
        readOne(line, kind, startaddr + done, data.subspan(static_cast<size_t>(done), static_cast<size_t>(length)));
    }
}

}  // namespace bootlink
