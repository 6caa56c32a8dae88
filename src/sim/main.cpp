// bootlink-sim: plays the device's bootloader on a pseudo-terminal, so the
// host tool (or a script around it) can be tried without a board.

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cctype>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>

#include "sim/device.hpp"
#include "sim/pty.hpp"

namespace {

std::atomic<bool> stop{false};

void on_signal(int) { stop = true; }

void help(const char* name) {
    std::printf(
        "usage: %s [options]\n"
        "Opens a pseudo-terminal, prints the path of the terminal for the host to open,\n"
        "and answers the bootloader protocol on it until interrupted.\n\n"
        "  --link PATH          also make PATH a symbolic link to that terminal\n"
        "  --sessions N         exit after N host runs have opened and closed the line\n"
        "  --flash FILE         load a raw program memory image at address 0\n"
        "  --eeprom FILE        load a raw data EEPROM image\n"
        "  --save-flash FILE    write program memory (2 MiB) to FILE on exit\n"
        "  --save-eeprom FILE   write data EEPROM to FILE on exit\n"
        "  --eeprom-size N      bytes of data EEPROM (default 256; give it before --eeprom)\n"
        "  --config HEX         the 16 configuration bytes at 0x300000 as 32 hex digits\n"
        "                       (default all FF)\n"
        "  --config-mask HEX    the bits each configuration byte implements, 32 hex\n"
        "                       digits; the others read as 0 (default all FF)\n"
        "  --device-id N        the device ID read at 0x3FFFFE (default 0x4C20)\n"
        "  --fault KIND[=V][@N] misbehave on request N (counted from 0; every request\n"
        "                       without @N): wrong-start, wrong-echo, wrong-address,\n"
        "                       wrong-length, bad-checksum, close-mid-reply, no-answer,\n"
        "                       corrupt-write (flash, EEPROM or configuration), no-erase,\n"
        "                       noise=P (flip a bit of a byte either way with probability P),\n"
        "                       hidden-damage (two bytes of a read reply changed, the sum kept),\n"
        "                       misdirect=ADDR (a flash write lands at ADDR, acknowledged)\n"
        "  --seed N             seed of the noise, to repeat a noisy run (default 1)\n"
        "  --baud N             model the wire at N bit/s: request bytes are taken no\n"
        "                       faster than one byte time (10 bits) apart, and replies\n"
        "                       go out at that pace\n"
        "  --write-time US      busy time per 8-byte block written (default with --baud:\n"
        "                       2000, else 0)\n"
        "  --erase-time US      busy time per 64-byte row erased (same defaults)\n"
        "  --eeprom-time US     busy time per EEPROM or configuration byte written\n"
        "                       (default with --baud: 4000, else 0)\n"
        "  --rx-time US         time the firmware needs to take a byte: a byte that comes\n"
        "                       sooner after the last one taken is lost (overrun)\n"
        "  --adapter-latency MS a USB serial adapter in front: reply bytes held until 62\n"
        "                       have gathered or MS ms after the first, the host's\n"
        "                       bytes taken in 1 ms frames (default 0: a bare line)\n"
        "  --quiet              do not log requests to standard error\n"
        "  --version            print the version and exit\n",
        name);
}

bool load(const char* path, std::vector<uint8_t>& into) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::copy_n(data.begin(), std::min(data.size(), into.size()), into.begin());
    return true;
}

// Exactly 32 hex digits: the 16 configuration bytes.
bool config_bytes(const char* text, std::vector<uint8_t>& into) {
    if (std::strlen(text) != 2 * into.size()) return false;
    for (size_t i = 0; i < into.size(); ++i) {
        char pair[3] = {text[2 * i], text[2 * i + 1], '\0'};
        char* end = nullptr;
        into[i] = static_cast<uint8_t>(std::strtoul(pair, &end, 16));
        if (*end != '\0' || !std::isxdigit(static_cast<unsigned char>(pair[0]))) return false;
    }
    return true;
}

bool save(const std::string& path, const std::vector<uint8_t>& from) {
    std::ofstream outf(path, std::ios::binary);
    outf.write(reinterpret_cast<const char*>(from.data()), static_cast<std::streamsize>(from.size()));
    return static_cast<bool>(outf);
}

}  // namespace

int main(int argc, char** argv) {
    bootsim::device dev;
    std::string link, save_flash, save_eeprom;
    int sessions = 0;
    bool quiet = false;
    int write_time = -1, erase_time = -1, eeprom_time = -1;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> const char* {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "%s: %s needs a value\n", argv[0], a.c_str());
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--link") {
            link = value();
        } else if (a == "--sessions") {
            sessions = std::atoi(value());
        } else if (a == "--flash" || a == "--eeprom") {
            const char* path = value();
            if (!load(path, a == "--flash" ? dev.flash : dev.eeprom)) {
                std::fprintf(stderr, "%s: cannot read %s\n", argv[0], path);
                return 2;
            }
        } else if (a == "--save-flash") {
            save_flash = value();
        } else if (a == "--save-eeprom") {
            save_eeprom = value();
        } else if (a == "--seed") {
            dev.seed = static_cast<uint32_t>(std::strtoul(value(), nullptr, 0));
        } else if (a == "--eeprom-size" || a == "--device-id") {
            const char* text = value();
            char* end = nullptr;
            const unsigned long v = std::strtoul(text, &end, 0);
            const bool size = a == "--eeprom-size";
            if (*text == '\0' || *end != '\0' || (size && (v < 1 || v > 65536)) || (!size && v > 0xFFFF)) {
                std::fprintf(stderr, "%s: %s takes %s, not '%s'\n", argv[0], a.c_str(),
                             size ? "a size from 1 to 65536" : "a 16-bit number", text);
                return 2;
            }
            if (size) dev.eeprom.assign(v, 0xFF);
            else dev.device_id = static_cast<uint16_t>(v);
        } else if (a == "--config" || a == "--config-mask") {
            const char* text = value();
            if (!config_bytes(text, a == "--config" ? dev.config : dev.config_mask)) {
                std::fprintf(stderr, "%s: %s takes 32 hex digits, not '%s'\n", argv[0], a.c_str(), text);
                return 2;
            }
        } else if (a == "--fault") {
            const char* description = value();
            auto f = bootsim::parse_fault(description);
            if (!f) {
                std::fprintf(stderr, "%s: unknown fault '%s'\n", argv[0], description);
                return 2;
            }
            dev.faults.push_back(*f);
        } else if (a == "--baud" || a == "--write-time" || a == "--erase-time" || a == "--rx-time" ||
                   a == "--eeprom-time" || a == "--adapter-latency") {
            const char* text = value();
            char* end = nullptr;
            const long v = std::strtol(text, &end, 10);
            if (*text == '\0' || *end != '\0' || v < 0 || v > 100000000 || (a == "--baud" && v < 50)) {
                std::fprintf(stderr, "%s: %s takes a whole number, not '%s'\n", argv[0], a.c_str(), text);
                return 2;
            }
            if (a == "--baud") dev.timing.baud = static_cast<int>(v);
            if (a == "--write-time") write_time = static_cast<int>(v);
            if (a == "--erase-time") erase_time = static_cast<int>(v);
            if (a == "--rx-time") dev.timing.rx_us = static_cast<int>(v);
            if (a == "--eeprom-time") eeprom_time = static_cast<int>(v);
            if (a == "--adapter-latency") dev.timing.adapter_latency_ms = static_cast<int>(v);
        } else if (a == "--quiet") {
            quiet = true;
        } else if (a == "--version") {
            std::printf("bootlink-sim %s\n", BOOTLINK_VERSION);
            return 0;
        } else if (a == "--help" || a == "-h") {
            help(argv[0]);
            return 0;
        } else {
            std::fprintf(stderr, "%s: unknown argument '%s'\n", argv[0], a.c_str());
            help(argv[0]);
            return 2;
        }
    }

    // A real part is busy programming: model it whenever the wire is modelled.
    const int busy_default = dev.timing.baud > 0 ? 2000 : 0;
    dev.timing.write_us = write_time >= 0 ? write_time : busy_default;
    dev.timing.erase_us = erase_time >= 0 ? erase_time : busy_default;
    // An EEPROM or configuration byte takes milliseconds to write.
    dev.timing.eeprom_us = eeprom_time >= 0 ? eeprom_time : (dev.timing.baud > 0 ? 4000 : 0);

    bootsim::pty_line line;
    try {
        line = bootsim::open_pty();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", argv[0], e.what());
        return 1;
    }
    if (!link.empty()) {
        unlink(link.c_str());
        if (symlink(line.path.c_str(), link.c_str()) != 0) {
            std::fprintf(stderr, "%s: cannot link %s: %s\n", argv[0], link.c_str(), std::strerror(errno));
            return 1;
        }
    }
    std::printf("%s\n", line.path.c_str());
    std::fflush(stdout);

    struct sigaction sa {};
    sa.sa_handler = on_signal;  // no SA_RESTART: poll must wake up
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    if (!quiet)
        dev.on_request = [](const bootsim::request& r) {
            std::fprintf(stderr, "%s\n", bootsim::device::describe(r).c_str());
        };
    dev.serve(line.master, stop, sessions);

    if (!dev.line_closed) close(line.master);
    if (!link.empty()) unlink(link.c_str());
    bool ok = true;
    if (!save_flash.empty()) ok &= save(save_flash, dev.flash);
    if (!save_eeprom.empty()) ok &= save(save_eeprom, dev.eeprom);
    if (!quiet)
        std::fprintf(stderr, "%d host run(s), %zu request(s), %d reset(s), %d byte(s) lost\n", dev.sessions,
                     dev.requests.size(), dev.resets, dev.lost);
    return ok ? 0 : 1;
}
