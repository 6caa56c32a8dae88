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

}  // namespace bootlink
