#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "commands/commands.hpp"
#include "commands/readdump.hpp"
#include "ihexfile/ihexfile.hpp"
#include "link/fatal.hpp"
#include "link/framing.hpp"
#include "link/output.hpp"

namespace bootlink {

namespace {
constexpr int64_t IMAGE_WORDS = 65536;  // word addresses 0..0xFFFF: what four-digit INHX16 addresses reach
constexpr const char* OUT_FILE = "out.hex";
}

// Read flash: length, 24-bit byte address. The reply repeats length and
// address and carries the bytes; they are dumped, assembled into program
// words and saved as INHX16 records in out.hex.
void main_readflash(serial_link& line, const settings& run) {
    std::vector<int32_t> image(IMAGE_WORDS, 0);
    if (run.bytes <= 0 || run.startaddr < 0) {
        out("ERROR: you need to specify both --bytes and --startaddr\n");
        throw fatal{255};
    }
    const int64_t total = readRange(line, {"SENDing: Read Flash: ", CMD_READ_FLASH, true}, run.startaddr,
                                    run.bytes, image);

    // The file covers the requested start for as many words as the replies
    // stated, as far as four-digit word addresses reach.
    const int64_t words = total / 2;
    const int64_t first = run.startaddr / 2;
    const int64_t end = first + words;
    const int64_t fileEnd = std::min(end, IMAGE_WORDS);
    const int64_t inFile = first < IMAGE_WORDS ? fileEnd - first : 0;

    FILE* file = std::fopen(OUT_FILE, "wb");
    if (!file) {
        out("Error: could not create file '%s' (%s)\n", OUT_FILE, std::strerror(errno));
        throw fatal{255};
    }
    out("[no of words dumped to hex file: %i\n", static_cast<int>(inFile));
    out("<ETX>\n");
    const int64_t lostFrom = std::max(first, IMAGE_WORDS);
    if (end > lostFrom)
        out("[out.hex holds word addresses up to 0xFFFF only: bytes 0x%06lx to 0x%06lx are dumped above but not in it]\n",
            static_cast<long>(2 * lostFrom), static_cast<long>(2 * end - 1));
    if (first < IMAGE_WORDS)
        writeihex16(file, image, static_cast<int32_t>(first), static_cast<int32_t>(fileEnd));
    writeiend16(file);
    const bool written = !std::ferror(file);
    if (std::fclose(file) != 0 || !written) {
        // A truncated dump must not pass for a whole one.
        std::remove(OUT_FILE);
        out("Error: could not write file '%s'\n", OUT_FILE);
        throw fatal{255};
    }
    out("[OK => Read Flash Program Memory, INHEX16 file written to out.hex]\n");
}

}  // namespace bootlink
