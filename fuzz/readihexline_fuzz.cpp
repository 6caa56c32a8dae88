// Feeds arbitrary text to the hex record reader, with record buffers sized
// exactly (so AddressSanitizer sees any write past them), and checks that
// every result keeps the reader's promises.

#include <cstdint>
#include <cstdio>
#include <vector>

#include "ihexfile/ihexfile.hpp"
#include "quiet_output.hpp"

namespace {

void check(bool ok) {
    if (!ok) __builtin_trap();
}

void readAll(const uint8_t* data, size_t size, size_t capacity) {
    FILE* f = fmemopen(const_cast<uint8_t*>(data), size, "r");
    if (!f) return;
    std::vector<int32_t> buffer(capacity);
    int32_t line = 0;
    for (int calls = 0; calls < 4096; ++calls) {
        int32_t address = -1, count = -1;
        bootlink::record_info info;
        const int r = bootlink::readihexline(f, buffer, address, count, line, &info);
        check(r == 1 || r == 0 || r == -1 || r == -2);
        check(info.length >= 0 && info.length <= bootlink::HEX_LINE_MAX);
        if (r == 0) {
            check(info.form != bootlink::record_form::none);
            check(count >= 0 && address >= 0 && address <= 0xFFFF);
            const int slots = info.form == bootlink::record_form::byte ? (count + 1) / 2 : count;
            check(slots <= static_cast<int>(capacity));
            check(count <= 2 * bootlink::HEX_RECORD_WORDS_MAX);
            for (int i = 0; i < slots; ++i) check(buffer[i] >= 0 && buffer[i] <= 0xFFFF);
        }
        if (r == 1) break;
    }
    std::fclose(f);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    quietOutput();
    if (size == 0) return 0;
    readAll(data, size, 14);  // smaller than the largest record
    readAll(data, size, bootlink::HEX_RECORD_WORDS_MAX);

    FILE* f = fmemopen(const_cast<uint8_t*>(data), size, "r");
    if (!f) return 0;
    std::vector<int32_t> image(0x100);
    int32_t lowest = 0, highest = 0;
    check(bootlink::readihex(f, image, lowest, highest) == 1);
    std::fclose(f);
    return 0;
}
