#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "commands/commands.hpp"
#include "commands/transfer.hpp"
#include "commands/savefile.hpp"
#include "link/geometry.hpp"
#include "ihexfile/ihexfile.hpp"
#include "report/fatal.hpp"
#include "report/output.hpp"

namespace bootlink {

namespace {

constexpr int64_t IMAGE_WORDS = 65536;  // word addresses 0..0xFFFF: what four-digit INHX16 addresses reach

}  // namespace

// The bytes read are dumped as they come, assembled into program words and
// saved as INHX16 records in out.hex (or --output).
outcome main_readflash(action_context& ctx) {
    const settings& run = ctx.run;
    output_file& saved = *ctx.saved;
    if (run.bytes <= 0 || run.startaddr < 0)
        fail(result_kind::refused, "ERROR: you need to specify both --bytes and --startaddr\n");
    // Past 24 bits the address would wrap to the bottom of memory.
    if (run.startaddr > ADDRESS_LIMIT)
        fail(result_kind::refused, "ERROR: --startaddr 0x%x is beyond the last address 0xFFFFFF\n", run.startaddr);
    const int64_t start = run.startaddr;
    const int64_t stop = start + run.bytes;  // one past the last byte
    if (stop - 1 > ADDRESS_LIMIT)
        fail(result_kind::refused, "ERROR: %i bytes from 0x%06x run past the last address 0xFFFFFF\n", run.bytes, run.startaddr);
    std::vector<uint8_t> data(static_cast<size_t>(run.bytes));
    readPhase(ctx, memory::program, start, data);

    // Every word a byte was read of, as far as four-digit word addresses
    // reach. A byte of those words that was not read is saved as 0xFF, which
    // leaves flash as it is when the file is written back.
    std::vector<int32_t> image(IMAGE_WORDS, 0xFFFF);
    for (int64_t a = start; a < std::min(stop, 2 * IMAGE_WORDS); ++a)
        setRecordByte(image, a, data[static_cast<size_t>(a - start)]);
    const int64_t first = start / 2;
    const int64_t end = std::min((stop + 1) / 2, IMAGE_WORDS);
    const int64_t inFile = std::max<int64_t>(end - first, 0);
    const char* file = saved.path().c_str();
    auto write = [&](FILE* f) {
        if (first < end) writeihex16(f, image, static_cast<int32_t>(first), static_cast<int32_t>(end));
        else if (first < IMAGE_WORDS) writeihex16(f, image, static_cast<int32_t>(first), static_cast<int32_t>(first));
        writeiend16(f);
    };
    saved.save(write, [&] {
        if (ctx.say.trace) {  // the dump's own closing lines
            out("[no of words dumped to hex file: %i\n", static_cast<int>(inFile));
            out("<ETX>\n");
        }
        const int64_t lostFrom = std::max(start, 2 * IMAGE_WORDS);
        // Only a traced read has dumped the bytes; a quiet one has them nowhere.
        if (stop > lostFrom)
            out("[%s holds word addresses up to 0xFFFF only: bytes 0x%06lx to 0x%06lx are %s]\n", file,
                static_cast<long>(lostFrom), static_cast<long>(stop - 1),
                ctx.say.trace ? "dumped above but not in it" : "not in it (--readall saves every byte)");
    });
    outcome result;
    result.program.read = data.size();
    result.message = std::string("[OK => Read Flash Program Memory, INHEX16 file written to ") + file + "]\n";
    return result;
}

}  // namespace bootlink
