#pragma once

// Frame bytes as the firmware sees them; kept apart from the host's copy.

#include <cstdint>
#include <vector>

namespace bootsim {

constexpr uint8_t kStart = 0x0F;
constexpr uint8_t kEnd = 0x04;
constexpr uint8_t kEscape = 0x05;
constexpr uint8_t kWake = 0xFF;

inline void put_escaped(std::vector<uint8_t>& out, uint8_t b) {
    if (b == kStart || b == kEnd || b == kEscape) out.push_back(kEscape);
    out.push_back(b);
}

}  // namespace bootsim
