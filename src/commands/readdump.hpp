#pragma once

#include <cstdint>
#include <span>

#include "link/serial.hpp"

namespace bootlink {

// The part the two read commands (and verification) share: requests, dump
// lines and the reading of reply data.

constexpr int32_t READ_SINGLE_MAX = 255;  // the length byte's range: one request up to this
constexpr int32_t READ_CHUNK = 251;       // per request when a read needs several

struct read_kind {
    const char* label;  // printed before each request
    uint8_t code;       // command code
    bool wide;          // 24-bit program addresses; false: 16-bit EEPROM addresses
};

// Reads data.size() bytes from `startaddr` into `data`: one request when they
// fit in the length byte, else consecutive requests of READ_CHUNK bytes (the
// last one shorter). With the link tracing, each is traced and every byte is
// dumped as it arrives. A reply for another address or length than asked
// ends the run: its bytes would land in the wrong place.
void readRange(serial_link& line, const read_kind& kind, int64_t startaddr, std::span<uint8_t> data);

}  // namespace bootlink
