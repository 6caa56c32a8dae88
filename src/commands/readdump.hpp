#pragma once

#include <cstdint>
#include <span>

#include "link/bootloader.hpp"

namespace bootlink {

// Reads data.size() bytes of `which` from `startaddr` into `data`: one
// request when they fit in the length byte, else consecutive requests of
// READ_CHUNK bytes (the last one shorter). With the link tracing, each is
// traced and every byte is dumped as it arrives. Without the trace (--quiet)
// a phase line and progress stand for it.
void readRange(serial_link& line, memory which, int64_t startaddr, std::span<uint8_t> data);

// readRange for the read actions: traced as always, or under --quiet a
// "reading N bytes" line and its progress instead of the dump.
void readPhase(serial_link& line, memory which, int64_t startaddr, std::span<uint8_t> data);

}  // namespace bootlink
