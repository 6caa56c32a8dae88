#include "commands/readdump.hpp"

#include <algorithm>

#include "link/geometry.hpp"

namespace bootlink {

void readRange(serial_link& line, memory which, int64_t startaddr, std::span<uint8_t> data) {
    const int64_t bytes = static_cast<int64_t>(data.size());
    if (bytes <= READ_SINGLE_MAX) return readMemory(line, which, static_cast<uint32_t>(startaddr), data);
    // The length byte cannot say more than 255: split, never wrap.
    for (int64_t done = 0; done < bytes; done += READ_CHUNK) {
        const int64_t length = std::min<int64_t>(READ_CHUNK, bytes - done);
        readMemory(line, which, static_cast<uint32_t>(startaddr + done),
                   data.subspan(static_cast<size_t>(done), static_cast<size_t>(length)));
    }
}

}  // namespace bootlink
