#pragma once

// A whole hex file as the flash must hold it, and the plan to get it there.
// Plain functions of the file and the image: no device, no output beyond the
// reader's own checksum message.

#include <array>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "link/geometry.hpp"

namespace bootlink {

// One erase row: what it must hold (0xFF where the file gives nothing).
struct image_row {
    std::array<uint8_t, ROW_BYTES> data;
    uint64_t given = 0;  // bit i: byte i comes from the file
    image_row() { data.fill(0xFF); }
};

struct image_problem {
    int line;
    std::string why;
};

struct flash_image {
    std::map<uint32_t, image_row> rows;  // by row start address
    std::vector<image_problem> problems; // every line that cannot be programmed
    uint64_t high_bytes = 0;             // data at 0x200000 and up, left out
    uint32_t high_first = 0;             // lowest such address
    uint64_t given_bytes() const;
};

// Reads the whole file. Byte-form records land at their byte address (base
// from type 02/04 records, 03/05 ignored), word-form records at twice their
// word address. A line that --writeflash would not write becomes a problem
// with its line number and reason, and so does a byte two records give
// different values.
flash_image loadImage(FILE* file);

struct span_request {
    uint32_t address;
    uint32_t bytes;  // rows x 64 for an erase; blocks x 8 for a write
};

struct program_plan {
    std::vector<span_request> erases;  // consecutive rows, up to ERASE_ROWS_MAX a request
    std::vector<span_request> writes;  // aligned blocks that are not all 0xFF, up to WRITE_BLOCKS_MAX a request
    std::vector<span_request> reads;   // runs of consecutive rows to read back (the link splits them)
};

// The plan for the rows of `image` named in `rows` (row start addresses,
// ascending).
program_plan planFor(const flash_image& image, const std::vector<uint32_t>& rows);

// Row start addresses of every row the image touches, ascending.
std::vector<uint32_t> touchedRows(const flash_image& image);

}  // namespace bootlink
