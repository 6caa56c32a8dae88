#include "commands/readdump.hpp"

#include <algorithm>

#include "commands/progress.hpp"
#include "link/geometry.hpp"
#include "report/output.hpp"

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

void readPhase(serial_link& line, memory which, int64_t startaddr, std::span<uint8_t> data) {
    if (line.trace) return readRange(line, which, startaddr, data);
    out("reading %zu bytes\n", data.size());
    auto bar = makeProgress(data.size(), true);
    // The same requests as the traced read: one up to 255 bytes, else 251 each.
    const size_t step = data.size() <= static_cast<size_t>(READ_SINGLE_MAX) ? data.size() : READ_CHUNK;
    for (size_t done = 0; done < data.size(); done += step) {
        const size_t length = std::min(step, data.size() - done);
        readRange(line, which, startaddr + static_cast<int64_t>(done), data.subspan(done, length));
        bar->advance(done + length);
    }
}

}  // namespace bootlink
