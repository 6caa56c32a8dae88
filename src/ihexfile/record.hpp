#pragma once

// One decoder for the records of a hex file, for every path that programs
// from one: a line becomes what it means for memory (data at a byte address,
// an address record taken, the end) or why it cannot be programmed. The
// address base set by type 02/04 records is carried from record to record.

#include <array>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "ihexfile/ihexfile.hpp"

namespace bootlink {

enum class record_kind {
    data,          // `bytes` at `address`
    no_data,       // an address or start record, taken: nothing to program
    end,           // the end record, or the end of the file
    blank,         // an empty line: nothing lost
    junk,          // not a record (info.why says what is wrong)
    bad_checksum,  // reported by the reader as it read the line
    base_unknown,  // byte-form data after an address record that was not taken
    bad_address,   // an address record without exactly two data bytes
    unknown_type,  // a record type this tool does not know (info.type)
    beyond_addresses,  // data whose address, base added, lies beyond 32 bits (far_address)
};

struct hex_record {
    record_kind kind = record_kind::end;
    record_info info;            // line number, form, type, the reader's reason
    uint32_t address = 0;        // data: byte address of bytes[0], base applied
    std::vector<uint8_t> bytes;  // data, in memory order (words low byte first)
    uint64_t far_address = 0;    // beyond_addresses: where the data would start
};

class record_decoder {
public:
    // `longRecords`: lines of up to 255 data bytes; else 80-character reads.
    explicit record_decoder(FILE* file, bool longRecords = false) : file_(file), longRecords_(longRecords) {}

    // The next line of the file. Byte-form data lands at base + address; a
    // word-form record (INHX16, as a flash read saves it) at base + twice
    // its word address. After an address record that was not taken the
    // base is unknown, and data is refused until a good one sets it again:
    // programmed at the old base it would land in the wrong place.
    hex_record next();

private:
    void wordRecord(hex_record& rec, int32_t address, int32_t count);
    void byteRecord(hex_record& rec, int32_t address, int32_t count);
    void lostBase(hex_record& rec);
    void setBase(hex_record& rec, uint64_t base);
    void placeData(hex_record& rec, uint64_t at);

    FILE* file_;
    bool longRecords_;
    std::array<int32_t, HEX_LONG_RECORD_WORDS_MAX> slots_{};
    uint64_t base_ = 0;  // wide enough that a word-form base times two cannot wrap
    bool baseLost_ = false;
    int32_t line_ = 0;  // lines of this file read so far
};

}  // namespace bootlink
