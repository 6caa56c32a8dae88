// Feeds arbitrary text to the whole-file image builder and the plan made
// from it, and checks the plan keeps its promises: aligned requests within
// the device's limits, no blank block written, every byte in its memory.

#include <cstdint>
#include <cstdio>

#include "image/image.hpp"
#include "quiet_output.hpp"

namespace {
void check(bool ok) {
    if (!ok) __builtin_trap();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    quietOutput();
    if (size == 0) return 0;
    FILE* f = fmemopen(const_cast<uint8_t*>(data), size, "r");
    if (!f) return 0;
    const bootlink::flash_image image = bootlink::loadImage(f);
    std::fclose(f);
    const auto rows = bootlink::touchedRows(image);
    const auto plan = bootlink::planFor(image, rows);
    for (const auto& [address, row] : image.rows) {
        check(address % bootlink::ROW_BYTES == 0 && address < bootlink::PROGRAM_MEMORY_END);
        check(row.given != 0);
    }
    auto within = [](const bootlink::byte_map& bytes, uint32_t first, uint32_t end) {
        return bytes.empty() || (bytes.begin()->first >= first && bytes.rbegin()->first < end);
    };
    check(within(image.eeprom, bootlink::EEPROM_FIRST, bootlink::EEPROM_FIRST + bootlink::EEPROM_SIZE_DEFAULT));
    check(within(image.config, bootlink::CONFIG_FIRST, bootlink::CONFIG_END));
    check(within(image.id, bootlink::ID_FIRST, bootlink::ID_END));
    check(within(image.device_id, bootlink::DEVICE_ID_FIRST, bootlink::DEVICE_ID_END));
    uint64_t erased = 0;
    for (const auto& e : plan.erases) {
        check(e.address % bootlink::ROW_BYTES == 0 && e.bytes % bootlink::ROW_BYTES == 0);
        check(e.bytes / bootlink::ROW_BYTES <= bootlink::ERASE_ROWS_MAX && e.bytes > 0);
        erased += e.bytes / bootlink::ROW_BYTES;
    }
    check(erased == rows.size());
    for (const auto& w : plan.writes) {
        check(w.address % bootlink::BLOCK_BYTES == 0 && w.bytes % bootlink::BLOCK_BYTES == 0);
        check(w.bytes > 0 && w.bytes <= bootlink::WRITE_BLOCKS_MAX * bootlink::BLOCK_BYTES);
        for (uint32_t b = w.address; b < w.address + w.bytes; b += bootlink::BLOCK_BYTES) {
            const auto& row = image.rows.at(b / bootlink::ROW_BYTES * bootlink::ROW_BYTES);
            bool blank = true;
            for (uint32_t i = 0; i < bootlink::BLOCK_BYTES; ++i)
                blank = blank && row.data[(b + i) % bootlink::ROW_BYTES] == 0xFF;
            check(!blank);
        }
    }
    return 0;
}
