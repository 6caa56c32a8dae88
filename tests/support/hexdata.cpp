#include "hexdata.hpp"

#include <cstdio>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace testing_support {

namespace {

std::vector<uint8_t> record_bytes(std::string line) {
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
    if (line.size() < 11 || line[0] != ':' || line.size() % 2 == 0)
        throw std::runtime_error("not a record: " + line);
    std::vector<uint8_t> bytes;
    for (size_t i = 1; i < line.size(); i += 2) bytes.push_back(static_cast<uint8_t>(std::stoul(line.substr(i, 2), nullptr, 16)));
    unsigned sum = 0;
    for (uint8_t b : bytes) sum += b;
    if (sum & 0xFF) throw std::runtime_error("bad checksum: " + line);
    return bytes;
}

}  // namespace

std::string intel_record(uint32_t address, int type, const std::vector<int>& data) {
    unsigned sum = data.size() + ((address >> 8) & 0xFF) + (address & 0xFF) + type;
    char buf[16];
    std::snprintf(buf, sizeof buf, ":%02X%04X%02X", static_cast<unsigned>(data.size()), address & 0xFFFF, type);
    std::string s = buf;
    for (int b : data) {
        std::snprintf(buf, sizeof buf, "%02X", b);
        s += buf;
        sum += b;
    }
    std::snprintf(buf, sizeof buf, "%02X", (256 - (sum & 0xFF)) & 0xFF);
    return s + buf;
}

std::map<uint32_t, uint8_t> intel_hex_bytes(const std::string& text) {
    std::map<uint32_t, uint8_t> mem;
    std::istringstream in(text);
    std::string line;
    uint32_t base = 0;
    while (std::getline(in, line)) {
        if (line.empty() || line == "\r") continue;
        const auto b = record_bytes(line);
        const unsigned count = b[0], address = (b[1] << 8) | b[2], type = b[3];
        if (b.size() != count + 5u) throw std::runtime_error("bad length: " + line);
        if (type == 1) break;
        if (type == 0)
            for (unsigned i = 0; i < count; ++i) mem[base + address + i] = b[4 + i];
        else if (type == 4)
            base = ((b[4] << 8) | b[5]) << 16;
        else if (type == 2)
            base = ((b[4] << 8) | b[5]) << 4;
    }
    return mem;
}

std::map<uint32_t, uint16_t> inhx16_words(const std::string& text) {
    std::map<uint32_t, uint16_t> words;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        const auto b = record_bytes(line);
        const unsigned count = b[0], address = (b[1] << 8) | b[2], type = b[3];
        if (type == 1) break;
        if (b.size() != 2 * count + 5u) throw std::runtime_error("bad length: " + line);
        for (unsigned i = 0; i < count; ++i) words[address + i] = static_cast<uint16_t>((b[4 + 2 * i] << 8) | b[5 + 2 * i]);
    }
    return words;
}

}  // namespace testing_support
