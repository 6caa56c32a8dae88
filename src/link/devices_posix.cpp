#include "link/devices.hpp"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <tuple>
#include <unistd.h>
#include <vector>

#include "report/output.hpp"

namespace bootlink {

namespace fs = std::filesystem;

namespace {

// ttyUSB2 before ttyUSB10: names compared with their trailing number as a
// number, of any length (compared by its digits, never converted).
bool naturalLess(const std::string& a, const std::string& b) {
    auto split = [](const std::string& s) {
        size_t i = s.size();
        while (i > 0 && std::isdigit(static_cast<unsigned char>(s[i - 1]))) --i;
        size_t first = i;
        while (first + 1 < s.size() && s[first] == '0') ++first;  // leading zeros do not count
        const std::string digits = s.substr(first);
        return std::tuple{s.substr(0, i), digits.size(), digits, s};
    };
    return split(a) < split(b);
}

// Only a character device can be a serial line; a link counts by what it
// names (a dangling one names nothing).
bool characterDevice(const fs::path& p) {
    std::error_code ec;
    return fs::is_character_file(p, ec);
}

std::vector<std::string> namesIn(const fs::path& dir, const std::string& prefix) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(prefix, 0) == 0 && name.size() > prefix.size()) names.push_back(name);
    }
    std::sort(names.begin(), names.end(), naturalLess);
    return names;
}

// An 8250-style port exists for every ttyS the kernel reserves; only those
// with a driver bound and a UART found (type not 0) are real ports.
bool realPort(const fs::path& sysTty) {
    std::error_code ec;
    if (!fs::exists(sysTty / "device" / "driver", ec)) return false;
    std::ifstream type(sysTty / "type");
    int t = -1;
    return !(type >> t) || t != 0;
}

}  // namespace

void listDevices(const std::string& dev, const std::string& sys) {
    int found = 0;
    const fs::path byId = fs::path(dev) / "serial" / "by-id";
    for (const auto& name : namesIn(byId, "")) {
        std::error_code ec;
        const fs::path link = byId / name;
        if (!characterDevice(link)) continue;
        const fs::path target = fs::read_symlink(link, ec);
        if (ec)
            out("%s\n", link.c_str());
        else
            out("%s -> %s\n", link.c_str(), (byId / target).lexically_normal().c_str());
        ++found;
    }
    for (const char* prefix : {"ttyUSB", "ttyACM"})
        for (const auto& name : namesIn(dev, prefix)) {
            if (!characterDevice(fs::path(dev) / name)) continue;
            out("%s\n", (fs::path(dev) / name).c_str());
            ++found;
        }
    for (const auto& name : namesIn(dev, "ttyS"))
        if (characterDevice(fs::path(dev) / name) && realPort(fs::path(sys) / "class" / "tty" / name)) {
            out("%s\n", (fs::path(dev) / name).c_str());
            ++found;
        }
    if (found == 0) out("no serial devices found\n");
}

bool portPresent(const std::string& device) { return access(device.c_str(), F_OK) == 0; }

}  // namespace bootlink
