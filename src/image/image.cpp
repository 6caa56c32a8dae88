#include "image/image.hpp"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <span>

#include "ihexfile/record.hpp"

namespace bootlink {

namespace {

std::string describe(const char* fmt, uint32_t value) {
    char text[96];
    std::snprintf(text, sizeof text, fmt, value);
    return text;
}

// Puts `bytes` at `address`, or notes why they cannot be programmed.
void place(flash_image& image, int lineNo, uint32_t address, std::span<const uint8_t> bytes) {
    if (bytes.empty()) return;
    const uint64_t end = static_cast<uint64_t>(address) + bytes.size();
    if (address >= PROGRAM_MEMORY_END) {
        if (image.high_bytes == 0 || address < image.high_first) image.high_first = address;
        image.high_bytes += bytes.size();
        return;
    }
    if (end > PROGRAM_MEMORY_END) {
        image.problems.push_back({lineNo, describe("record at 0x%06X runs into 0x200000", address)});
        return;
    }
    for (size_t i = 0; i < bytes.size(); ++i) {
        const uint32_t a = address + static_cast<uint32_t>(i);
        image_row& row = image.rows[a / ROW_BYTES * ROW_BYTES];
        const uint32_t at = a % ROW_BYTES;
        const uint64_t bit = uint64_t{1} << at;
        if ((row.given & bit) && row.data[at] != bytes[i]) {
            image.problems.push_back({lineNo, describe("gives byte 0x%06X another value than an earlier line", a)});
            return;
        }
        row.data[at] = bytes[i];
        row.given |= bit;
    }
}

}  // namespace

uint64_t flash_image::given_bytes() const {
    uint64_t n = 0;
    for (const auto& [address, row] : rows) n += static_cast<uint64_t>(std::popcount(row.given));
    return n;
}

flash_image loadImage(FILE* file) {
    flash_image image;
    record_decoder records(file);
    for (;;) {
        const hex_record rec = records.next();
        const int lineNo = rec.info.number;
        switch (rec.kind) {
        case record_kind::end:
            return image;
        case record_kind::data:
            place(image, lineNo, rec.address, rec.bytes);
            break;
        case record_kind::no_data:
        case record_kind::blank:  // a blank line loses nothing
            break;
        case record_kind::junk:
        case record_kind::bad_checksum:
            image.problems.push_back({lineNo, rec.info.why ? rec.info.why : "not a record"});
            break;
        case record_kind::base_unknown:
            image.problems.push_back({lineNo, "the address record before it was not taken"});
            break;
        case record_kind::bad_address:
            image.problems.push_back({lineNo, "address record without two data bytes"});
            break;
        case record_kind::unknown_type:
            image.problems.push_back({lineNo, describe("record type %02X not understood", rec.info.type)});
            break;
        }
    }
}

std::vector<uint32_t> touchedRows(const flash_image& image) {
    std::vector<uint32_t> rows;
    for (const auto& [address, row] : image.rows) rows.push_back(address);
    return rows;
}

program_plan planFor(const flash_image& image, const std::vector<uint32_t>& rows) {
    program_plan plan;
    // Runs of consecutive rows: erased in as few requests as the count allows,
    // read back whole.
    for (size_t i = 0; i < rows.size();) {
        size_t j = i + 1;
        while (j < rows.size() && rows[j] == rows[j - 1] + ROW_BYTES) ++j;
        plan.reads.push_back({rows[i], static_cast<uint32_t>(j - i) * ROW_BYTES});
        for (size_t k = i; k < j; k += ERASE_ROWS_MAX) {
            const size_t n = std::min<size_t>(ERASE_ROWS_MAX, j - k);
            plan.erases.push_back({rows[k], static_cast<uint32_t>(n) * ROW_BYTES});
        }
        i = j;
    }
    // Blocks that hold anything but 0xFF (the erase leaves 0xFF), merged while
    // they follow each other.
    for (uint32_t rowAddress : rows) {
        const image_row& row = image.rows.at(rowAddress);
        for (uint32_t b = 0; b < ROW_BYTES; b += BLOCK_BYTES) {
            const bool blank = std::all_of(row.data.begin() + b, row.data.begin() + b + BLOCK_BYTES,
                                           [](uint8_t v) { return v == 0xFF; });
            if (blank) continue;
            const uint32_t at = rowAddress + b;
            if (!plan.writes.empty()) {
                span_request& last = plan.writes.back();
                if (last.address + last.bytes == at && last.bytes < WRITE_BLOCKS_MAX * BLOCK_BYTES) {
                    last.bytes += BLOCK_BYTES;
                    continue;
                }
            }
            plan.writes.push_back({at, BLOCK_BYTES});
        }
    }
    return plan;
}

}  // namespace bootlink
