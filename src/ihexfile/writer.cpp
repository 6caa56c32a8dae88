#include <algorithm>
#include <cstdio>

#include "ihexfile/ihexfile.hpp"

namespace bootlink {

namespace {
constexpr int32_t WORDS_PER_RECORD = 8;
}

int writeihex16(FILE* file, std::span<const int32_t> image, int32_t start, int32_t end) {
    int32_t s = start;
    do {
        const int32_t n = (s + WORDS_PER_RECORD - 1 < end) ? WORDS_PER_RECORD : end - s;
        // The checksum covers count, address high and low, (type 0), data.
        unsigned sum = (n & 0xFF) + ((s >> 8) & 0xFF) + (s & 0xFF);
        std::fprintf(file, ":%02X%04X00", n, s);
        for (int32_t a = s; a < s + n; ++a) {
            const unsigned w = static_cast<unsigned>(image[a]) & 0xFFFF;
            std::fprintf(file, "%04X", w);
            sum += (w >> 8) + (w & 0xFF);
        }
        std::fprintf(file, "%02X\n", (256 - (sum & 0xFF)) & 0xFF);
        s += n;
    } while (s < end);
    return 1;
}

void writeiend16(FILE* file) { std::fputs(":00000001FF\n", file); }

namespace {

void intelRecord(FILE* file, uint32_t address, int type, std::span<const uint8_t> data) {
    unsigned sum = static_cast<unsigned>(data.size()) + (address >> 8 & 0xFF) + (address & 0xFF) + type;
    std::fprintf(file, ":%02X%04X%02X", static_cast<unsigned>(data.size()), address & 0xFFFF, type);
    for (uint8_t b : data) {
        std::fprintf(file, "%02X", b);
        sum += b;
    }
    std::fprintf(file, "%02X\n", (256 - (sum & 0xFF)) & 0xFF);
}

}  // namespace

void writeIntelHex(FILE* file, uint32_t address, std::span<const uint8_t> data) {
    constexpr uint32_t RECORD_BYTES = 16;
    uint32_t page = ~uint32_t{0};
    for (size_t done = 0; done < data.size();) {
        const uint32_t at = address + static_cast<uint32_t>(done);
        if (at >> 16 != page) {
            page = at >> 16;
            const uint8_t upper[2] = {static_cast<uint8_t>(page >> 8), static_cast<uint8_t>(page)};
            intelRecord(file, 0, 0x04, upper);
        }
        // Records on 16-byte boundaries, as compilers write them.
        const size_t n = std::min<size_t>(RECORD_BYTES - at % RECORD_BYTES, data.size() - done);
        intelRecord(file, at, 0x00, data.subspan(done, n));
        done += n;
    }
}

}  // namespace bootlink
