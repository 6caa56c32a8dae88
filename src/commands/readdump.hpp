#pragma once

#include <cstdint>
#include <span>

#include "link/bootloader.hpp"

namespace bootlink {

// Reads data.size() bytes of `which` from `startaddr` into `data`: one
// request when they fit in the length byte, else consecutive requests of
// READ_CHUNK bytes (the last one shorter). With the link tracing, each is
// traced and every byte is dumped as it arrives.
void readRange(serial_link& line, memory which, int64_t startaddr, std::span<uint8_t> data);

}  // namespace bootlink
