#include "commands/transfer.hpp"

#include <algorithm>

#include "link/geometry.hpp"
#include "report/output.hpp"

namespace bootlink {

uint64_t totalBytes(const std::vector<span_request>& spans) {
    uint64_t n = 0;
    for (const auto& s : spans) n += s.bytes;
    return n;
}

void readRange(const bootloader& dev, memory which, int64_t startaddr, std::span<uint8_t> data, progress* bar,
               uint64_t before, const read_failed& failed) {
    // The length byte cannot say more than 255: split, never wrap.
    const size_t step = data.size() <= static_cast<size_t>(READ_SINGLE_MAX) ? data.size() : READ_CHUNK;
    for (size_t done = 0; done < data.size(); done += step) {
        const size_t length = std::min(step, data.size() - done);
        const auto address = static_cast<uint32_t>(startaddr + static_cast<int64_t>(done));
        try {
            readMemory(dev, which, address, data.subspan(done, length));
        } catch (const request_failed& f) {
            if (!failed) throw;
            failed(address, length, f.reason);
        }
        if (bar) bar->advance(before + done + length);
    }
}

void readPhase(action_context& ctx, memory which, int64_t startaddr, std::span<uint8_t> data) {
    if (ctx.say.trace) return readRange(ctx.dev, which, startaddr, data);
    out("reading %zu bytes\n", data.size());
    auto bar = makeProgress(data.size(), ctx.say.progress);
    readRange(ctx.dev, which, startaddr, data, bar.get());
}

void readSpans(const bootloader& dev, memory which, const std::vector<span_request>& spans, uint32_t offset,
               progress_form form, const char* phase, const span_bytes& take) {
    const uint64_t total = totalBytes(spans);
    out(phase, static_cast<unsigned long long>(total));
    auto bar = makeProgress(total, form);
    uint64_t done = 0;
    std::vector<uint8_t> data;
    for (const auto& s : spans) {
        data.resize(s.bytes);
        readRange(dev, which, s.address - offset, data, bar.get(), done);
        take(s.address, data);
        done += s.bytes;
    }
    if (total == 0) bar->advance(0);
}

void sendSpans(const std::vector<span_request>& spans, progress_form form,
               const std::function<void(const span_request&)>& send, uint32_t unit) {
    auto bar = makeProgress(totalBytes(spans) / unit, form);
    uint64_t done = 0;
    for (const auto& s : spans) {
        send(s);
        done += s.bytes / unit;
        bar->advance(done);
    }
    if (spans.empty()) bar->advance(0);
}

}  // namespace bootlink
