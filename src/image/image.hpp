#pragma once

// A whole hex file as the device must hold it, and the plan to get it there.
// Plain functions of the file and the image: no device, no output.

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
    std::string checksum;  // a bad checksum's own message ("Checksum mismatch on line ..."), else empty
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
    std::string sha256;                   // of the file's bytes as they were read
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

// Puts a board's serial number into the image: `bytes` bytes (1 to 8),
// least significant first, as the device's code reads a number, at
// `address` in program memory or the data EEPROM (0xF00000 up). Returns why
// it cannot go there ("" when it went in): an address in neither memory, or
// one the file already gives.
std::string placeSerial(flash_image& image, uint32_t address, uint64_t number, int bytes, uint32_t eepromSize);

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

// The bytes a write request of `image`'s rows carries: the span's bytes of
// its rows, 0xFF where a row's file gives none.
std::vector<uint8_t> spanBytes(const flash_image& image, const span_request& w);

// Runs of consecutive rows, as reads of them.
std::vector<span_request> rowReads(const std::vector<uint32_t>& rows);

// Puts `device` (the row as read) under every byte the file does not give.
void mergeRow(image_row& row, const std::array<uint8_t, ROW_BYTES>& device);

// Runs of consecutive addresses of `bytes`, each at most `most` long.
std::vector<span_request> byteRuns(const byte_map& bytes, uint32_t most);

// `rows` rows from the row at `address` as erase requests of at most `most`
// rows each.
std::vector<span_request> eraseRequests(uint32_t address, uint32_t rows, uint32_t most);

// Everything --program (or --verify) does with a file, as data, before
// anything is sent. What the device holds is known only once the first
// reads are in: the executor then merges the rows given in part, leaves
// out rows that already hold the file (with --skip-unchanged) and writes
// the blocks that are not blank after the merge, by the same planner.
struct programming_plan {
    std::vector<uint32_t> rows;                // every row the file touches
    std::vector<uint32_t> partial;             // of them, the ones it gives only in part
    bool skip_unchanged = false;               // every touched row is read first and compared
    bool writes = true;                        // false: a verify, reads only
    std::vector<span_request> first_reads;     // before the erase: rows given in part, or every row to compare
    std::vector<span_request> second_reads;    // the rows given in part again: two reads must agree
    std::vector<uint32_t> rewrites;            // rows given in part: each erased, written and read back on its own
    program_plan flash;                        // the other rows: erased, written, read back
    std::vector<span_request> eeprom_writes;   // at file addresses, EEPROM_WRITE_MAX each
    std::vector<span_request> eeprom_reads;
    std::vector<span_request> config_writes;   // with --write-config only
    std::vector<span_request> config_reads;    // read first too when written: what was there decides
};

programming_plan planProgramming(const flash_image& image, bool skipUnchanged, bool writeConfig);
programming_plan planVerify(const flash_image& image);

// What a plan sends: requests, bytes each way, and how long the part is
// busy, with every request counted as the executor sends it.
struct plan_cost {
    uint64_t requests = 0, sent = 0, received = 0, busy_us = 0;
    // Program memory: erase requests, write requests and their bytes, bytes read back.
    uint64_t erases = 0, writes = 0, written = 0, read_back = 0;
};
plan_cost costOf(const programming_plan& plan, const flash_image& image);

}  // namespace bootlink
