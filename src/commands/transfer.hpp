#pragma once

// The one read loop and the one write loop of the actions, with progress.

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "commands/commands.hpp"
#include "commands/progress.hpp"
#include "image/image.hpp"
#include "link/bootloader.hpp"

namespace bootlink {

// Reads data.size() bytes of `which` from `startaddr` into `data`: one
// request when they fit in the length byte, else consecutive requests of
// READ_CHUNK bytes (the last one shorter), `bar` advanced after each by
// the bytes read so far plus `before`.
// With `failed`, a request whose retries ran out on a soft device is handed
// to it (its address and length) and the reading goes on; without, it ends
// the read as anywhere.
using read_failed = std::function<void(uint32_t address, size_t length, const char* reason)>;
void readRange(const bootloader& dev, memory which, int64_t startaddr, std::span<uint8_t> data,
               progress* bar = nullptr, uint64_t before = 0, const read_failed& failed = {});

// readRange for the single-step reads: traced as always, or without the
// trace (--quiet) a "reading N bytes" line and its progress instead.
void readPhase(action_context& ctx, memory which, int64_t startaddr, std::span<uint8_t> data);

// Prints `phase` (one %llu: the bytes in all), then reads every span (its
// address less `offset` on the device) with progress, and gives each
// span's bytes to `take` at the span's own address.
using span_bytes = std::function<void(uint32_t address, std::span<const uint8_t> data)>;
void readSpans(const bootloader& dev, memory which, const std::vector<span_request>& spans, uint32_t offset,
               progress_form form, const char* phase, const span_bytes& take);

// Sends every span with `send`, with progress by bytes (or by `unit`-byte
// units, as erases count rows).
void sendSpans(const std::vector<span_request>& spans, progress_form form,
               const std::function<void(const span_request&)>& send, uint32_t unit = 1);

uint64_t totalBytes(const std::vector<span_request>& spans);

}  // namespace bootlink
