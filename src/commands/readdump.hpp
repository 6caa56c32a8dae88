#pragma once

#include <cstdint>
#include <span>

#include "link/serial.hpp"

namespace bootlink {

// The part the two read commands share: requests, dump lines and the reading
// of reply data.

constexpr int32_t READ_SINGLE_MAX = 255;  // the length byte's range: one request up to this
constexpr int32_t READ_CHUNK = 251;       // per request when a read needs several

struct read_kind {
    const char* label;  // printed before each request
    uint8_t code;       // command code
    bool wide;          // 24-bit program addresses; false: 16-bit EEPROM addresses
};

// Reads `bytes` bytes from `startaddr`: one request when they fit in the
// length byte, else consecutive requests of READ_CHUNK bytes (the last one
// shorter), each traced and dumped in full. Every byte is printed as it
// arrives; with a non-empty `image` (program words by word address) the
// bytes that fall inside it are stored there too. Returns the sum of the
// lengths the replies stated.
int64_t readRange(serial_link& line, const read_kind& kind, int32_t startaddr, int32_t bytes,
                  std::span<int32_t> image);

}  // namespace bootlink
