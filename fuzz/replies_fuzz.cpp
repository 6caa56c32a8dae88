// Runs the commands that read replies (read flash, read EEPROM, erase,
// write) in-process against arbitrary bytes from the device: a socket pair
// stands in for the line, and the end of the input is the line closing.
// No reply may crash the tool or write outside a buffer, and a read that
// ends in success must have saved exactly the bytes the device sent.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "commands/commands.hpp"
#include "link/posix.hpp"
#include "report/fatal.hpp"
#include "report/output.hpp"

namespace {

void check(bool ok) {
    if (!ok) __builtin_trap();
}

constexpr int32_t READ_START = 0x101;  // odd, so out.hex has half-read words
constexpr int32_t READ_BYTES = 300;    // two requests

// The data bytes of the replies to the read requests, decoded here on our own:
// STX STX, then code, length, three address bytes, data, checksum (each
// escaped), ETX. Only used when the tool said the replies were good.
std::vector<uint8_t> replyData(const uint8_t* p, size_t n, int replies) {
    size_t at = 0;
    auto raw = [&]() -> int { return at < n ? p[at++] : -1; };
    auto unescaped = [&]() -> int {
        int b = raw();
        if (b == 0x05) b = raw();
        return b;
    };
    std::vector<uint8_t> data;
    for (int k = 0; k < replies; ++k) {
        raw();
        raw();
        unsigned sum = static_cast<unsigned>(unescaped());
        const int length = unescaped();
        sum += static_cast<unsigned>(length);
        for (int i = 0; i < 3; ++i) sum += static_cast<unsigned>(unescaped());
        for (int i = 0; i < length; ++i) {
            data.push_back(static_cast<uint8_t>(unescaped()));
            sum += data.back();
        }
        sum += static_cast<unsigned>(unescaped());
        check((sum & 0xFF) == 0);  // a reply damaged on the line is never taken
        raw();
    }
    return data;
}

// out.hex as byte address -> byte.
std::vector<std::pair<uint32_t, uint8_t>> outHexBytes() {
    std::vector<std::pair<uint32_t, uint8_t>> bytes;
    FILE* f = std::fopen("out.hex", "r");
    check(f != nullptr);
    char text[128];
    while (std::fgets(text, sizeof text, f)) {
        unsigned count = 0, address = 0, type = 0;
        check(std::sscanf(text, ":%2x%4x%2x", &count, &address, &type) == 3);
        if (type == 1) break;
        for (unsigned i = 0; i < count; ++i) {
            unsigned word = 0;
            check(std::sscanf(text + 9 + 4 * i, "%4x", &word) == 1);
            bytes.push_back({2 * (address + i), static_cast<uint8_t>(word)});
            bytes.push_back({2 * (address + i) + 1, static_cast<uint8_t>(word >> 8)});
        }
    }
    std::fclose(f);
    return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = [] {
        char dir[] = "/tmp/bootlink-fuzz-XXXXXX";
        check(mkdtemp(dir) != nullptr && chdir(dir) == 0);
        FILE* f = std::fopen("f.hex", "w");
        std::fputs(":020000040000FA\n:0400060011223344E8\n:04001000123456789ABCDEF0B4\n:00000001FF\n", f);
        std::fclose(f);
        bootlink::setOutputStream(std::fopen("/dev/null", "w"));
        return true;
    }();
    (void)ready;
    if (size < 1 || size > 65536) return 0;
    const int which = data[0] % 4;
    ++data;
    --size;

    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return 0;
    for (size_t off = 0; off < size;) {
        const ssize_t w = write(fds[1], data + off, size - off);
        if (w <= 0) break;
        off += static_cast<size_t>(w);
    }
    shutdown(fds[1], SHUT_WR);
    std::remove("out.hex");

    bootlink::settings run;
    run.hexfile = "f.hex";
    int status = 0;
    {
        bootlink::serial_link line(bootlink::descriptorLine(fds[0]));
        line.pace_ms = 0;
        const bootlink::flash_image none;
        bootlink::action_context ctx{{line}, run, {}, none, nullptr};
        try {
            switch (which) {
            case 0:
                run.bytes = READ_BYTES;
                run.startaddr = READ_START;
                {
                    bootlink::output_file saved("out.hex");
                    ctx.saved = &saved;
                    bootlink::main_readflash(ctx);
                }
                break;
            case 1:
                run.bytes = 20;
                run.startaddr = 250;
                bootlink::main_readeeprom(ctx);
                break;
            case 2:
                run.rows = 300;
                run.startaddr = 0x40;
                bootlink::main_eraseflash(ctx);
                break;
            default:
                bootlink::main_writeflash(ctx);
                break;
            }
        } catch (const bootlink::fatal& f) {
            status = f.status;
        }
    }
    close(fds[1]);

    if (which == 0) {
        if (status != 0) {
            check(access("out.hex", F_OK) != 0);  // a failed read leaves no file
        } else {
            const auto sent = replyData(data, size, 2);
            check(sent.size() == static_cast<size_t>(READ_BYTES));
            for (const auto& [address, byte] : outHexBytes()) {
                const bool read = address >= READ_START && address < READ_START + READ_BYTES;
                check(read ? byte == sent[address - READ_START] : byte == 0xFF);
            }
        }
    }
    return 0;
}
