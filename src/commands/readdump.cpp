#include "commands/readdump.hpp"

#include <algorithm>

#include "link/framing.hpp"
#include "link/output.hpp"
#include "link/serial.hpp"

namespace bootlink {

namespace {

// Stores one received byte into the word image: an even address supplies the
// low byte (and clears the high one), the odd address after it the high byte.
// Bytes whose address lies outside the image are dumped only.
void store(std::span<int32_t> image, int64_t address, uint8_t d) {
    if (address < 0 || address >= 2 * static_cast<int64_t>(image.size())) return;
    int32_t& word = image[static_cast<size_t>(address / 2)];
    if (address % 2 == 0)
        word = d;
    else
        word = (d << 8) | word;
}

// One read request and its reply. The reply governs the dump: it starts at
// the address the reply names and runs until that address, counted from the
// requested start, reaches the length the reply states.
int readOne(serial_link& line, const read_kind& kind, int64_t start, int length, std::span<int32_t> image) {
    out("%s", kind.label);
    sendRequest(line, {kind.code, static_cast<uint8_t>(length), static_cast<uint8_t>(start),
                     static_cast<uint8_t>(start >> 8),
                     kind.wide ? static_cast<uint8_t>(start >> 16) : uint8_t{0}});
    receiveReplyHead(line, kind.code);

    uint8_t b = 0;
    serialReadEscape(line, b);
    const int replyLength = b;
    out("size = 0x%02hx\n", static_cast<unsigned short>(replyLength));
    out("Data Dump: \n");

    uint8_t low = 0, high = 0, upper = 0;
    serialReadEscape(line, low);
    serialReadEscape(line, high);
    serialReadEscape(line, upper);  // EEPROM replies carry it too; it is ignored there
    int64_t a = low + 256 * high + (kind.wide ? 65536 * upper : 0);

    while (a - start < replyLength) {
        serialReadEscape(line, b);
        out("0x%06lx\t", static_cast<long>(a));
        out("%02hx\n", static_cast<unsigned short>(b));
        store(image, a, b);
        ++a;
    }
    receiveReplyTail(line);
    return replyLength;
}

}  // namespace

int64_t readRange(serial_link& line, const read_kind& kind, int32_t startaddr, int32_t bytes,
                  std::span<int32_t> image) {
    if (bytes <= READ_SINGLE_MAX) return readOne(line, kind, startaddr, bytes, image);
    // The length byte cannot say more than 255: split, never wrap.
    int64_t total = 0;
    for (int64_t done = 0; done < bytes; done += READ_CHUNK) {
        const int length = static_cast<int>(std::min<int64_t>(READ_CHUNK, bytes - done));
        total += readOne(line, kind, startaddr + done, length, image);
    }
    return total;
}

}  // namespace bootlink
