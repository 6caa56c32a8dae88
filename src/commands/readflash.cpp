#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "commands/commands.hpp"
#include "link/geometry.hpp"
#include "commands/readdump.hpp"
#include "ihexfile/ihexfile.hpp"
#include "report/fatal.hpp"
#include "report/output.hpp"

namespace bootlink {

namespace {

constexpr int64_t IMAGE_WORDS = 65536;  // word addresses 0..0xFFFF: what four-digit INHX16 addresses reach

// Writes the words [first, end) of `image` as INHX16 to `path`. The records
// go to a new file beside it that is then renamed over it: a link named
// `path` is replaced, never followed, and a run that stops half way leaves
// the old file whole. A failure prints its "Error: ..." line and ends the
// run; nothing half-written stays behind.
void saveInhx16(const std::string& pathName, std::span<const int32_t> image, int64_t first, int64_t end,
                const std::function<void()>& beforeWrite) {
    const char* path = pathName.c_str();
    std::string temp = pathName + ".XXXXXX";
    const int fd = mkstemp(temp.data());
    if (fd < 0)
        fail(255, "Error: could not create file '%s' (%s)\n", path, std::strerror(errno));
    const mode_t mask = umask(0);  // mkstemp makes 0600; a dump is as readable as any new file
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    FILE* file = fdopen(fd, "wb");
    beforeWrite();
    if (file) {
        if (first < end) writeihex16(file, image, static_cast<int32_t>(first), static_cast<int32_t>(end));
        else if (first < IMAGE_WORDS) writeihex16(file, image, static_cast<int32_t>(first), static_cast<int32_t>(first));
        writeiend16(file);
    }
    const bool written = file && std::fflush(file) == 0 && !std::ferror(file) && fsync(fd) == 0;
    if (!file || std::fclose(file) != 0 || !written) {
        if (!file) close(fd);
        // A truncated dump must not pass for a whole one.
        std::remove(temp.c_str());
        fail(255, "Error: could not write file '%s'\n", path);
    }
    if (std::rename(temp.c_str(), path) != 0) {
        const int e = errno;
        std::remove(temp.c_str());
        fail(255, "Error: could not create file '%s' (%s)\n", path, std::strerror(e));
    }
}

}  // namespace

// The bytes read are dumped as they come, assembled into program words and
// saved as INHX16 records in out.hex (or --output).
void main_readflash(serial_link& line, const settings& run) {
    if (run.bytes <= 0 || run.startaddr < 0)
        fail(255, "ERROR: you need to specify both --bytes and --startaddr\n");
    // Past 24 bits the address would wrap to the bottom of memory.
    if (run.startaddr > ADDRESS_LIMIT)
        fail(255, "ERROR: --startaddr 0x%x is beyond the last address 0xFFFFFF\n", run.startaddr);
    const int64_t start = run.startaddr;
    const int64_t stop = start + run.bytes;  // one past the last byte
    if (stop - 1 > ADDRESS_LIMIT)
        fail(255, "ERROR: %i bytes from 0x%06x run past the last address 0xFFFFFF\n", run.bytes, run.startaddr);
    std::vector<uint8_t> data(static_cast<size_t>(run.bytes));
    readRange(line, memory::program, start, data);

    // Every word a byte was read of, as far as four-digit word addresses
    // reach. A byte of those words that was not read is saved as 0xFF, which
    // leaves flash as it is when the file is written back.
    std::vector<int32_t> image(IMAGE_WORDS, 0xFFFF);
    for (int64_t a = start; a < std::min(stop, 2 * IMAGE_WORDS); ++a) {
        int32_t& word = image[static_cast<size_t>(a / 2)];
        const int32_t d = data[static_cast<size_t>(a - start)];
        word = (a % 2) ? (word & 0x00FF) | (d << 8) : (word & 0xFF00) | d;
    }
    const int64_t first = start / 2;
    const int64_t end = std::min((stop + 1) / 2, IMAGE_WORDS);
    const int64_t inFile = std::max<int64_t>(end - first, 0);
    const char* file = run.output.c_str();
    saveInhx16(run.output, image, first, end, [&] {
        out("[no of words dumped to hex file: %i\n", static_cast<int>(inFile));
        out("<ETX>\n");
        const int64_t lostFrom = std::max(start, 2 * IMAGE_WORDS);
        if (stop > lostFrom)
            out("[%s holds word addresses up to 0xFFFF only: bytes 0x%06lx to 0x%06lx are dumped above but not in it]\n",
                file, static_cast<long>(lostFrom), static_cast<long>(stop - 1));
    });
    out("[OK => Read Flash Program Memory, INHEX16 file written to %s]\n", file);
}

}  // namespace bootlink
