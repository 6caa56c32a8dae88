#pragma once

// A whole hex file as the device must hold it, and the plan to get it there.
// Plain functions of the file and the image: no device, no output beyond the
// reader's own checksum message.

#include <array>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "link/geometry.hpp"

namespace bootlink {

// One erase row of program memory: what the file gives and where.
struct image_row {
    std::array<uint8_t, ROW_BYTES> data;  // 0xFF where the file gives nothing
    uint64_t given = 0;                    // bit i: byte i comes from the file
    image_row() { data.fill(0xFF); }
    bool whole() const { return given == ~uint64_t{0}; }
};

struct image_problem {
    int line;
    std::string why;
};

using byte_map = std::map<uint32_t, uint8_t>;  // address in the file -> byte

struct flash_image {
    std::map<uint32_t, image_row> rows;   // program memory, by row start address
    byte_map eeprom;                      // 0xF00000 + offset
    byte_map config;                      // 0x300000..0x30000F
    byte_map id;                          // ID locations 0x200000..0x200007
    byte_map device_id;                   // 0x3FFFFE..0x3FFFFF: fixed in the part
    std::vector<image_problem> problems;  // every line that cannot be programmed
    bool ended = false;                   // the end record was read (a file cut short has none)
    uint64_t given_bytes() const;         // of program memory
};

// Reads the whole file. Byte-form records land at their byte address (base
// from type 02/04 records, 03/05 ignored), word-form records at twice their
// word address. Data must lie within one memory: program memory, the ID
// locations, configuration, the device ID, or the data EEPROM of
// `eepromSize` bytes; anything else is a problem with its line number and
// reason, and so is a byte two records give different values. Records of up
// to 255 data bytes are taken.
// `eachRecord` is called after every line: a caller that can be stopped
// (a signal while a slow pipe feeds the file) throws from it.
flash_image loadImage(FILE* file, uint32_t eepromSize = EEPROM_SIZE_DEFAULT,
                      const std::function<void()>& eachRecord = [] {});

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
// ascending). The rows' data is written as it stands: rows the file gives
// only in part must hold the device's other bytes first (mergeRow).
program_plan planFor(const flash_image& image, const std::vector<uint32_t>& rows);

// Row start addresses of every row the image touches, ascending; or of
// those the file gives only in part.
std::vector<uint32_t> touchedRows(const flash_image& image);
std::vector<uint32_t> partialRows(const flash_image& image);

// Runs of consecutive rows, as reads of them.
std::vector<span_request> rowReads(const std::vector<uint32_t>& rows);

// Puts `device` (the row as read) under every byte the file does not give.
void mergeRow(image_row& row, const std::array<uint8_t, ROW_BYTES>& device);

// Runs of consecutive addresses of `bytes`, each at most `most` long.
std::vector<span_request> byteRuns(const byte_map& bytes, uint32_t most);

}  // namespace bootlink
