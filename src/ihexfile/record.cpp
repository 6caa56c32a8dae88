#include "ihexfile/record.hpp"

namespace bootlink {

namespace {

constexpr uint64_t ADDRESS_SPACE = uint64_t{1} << 32;  // what a hex file's addresses can reach

}  // namespace

hex_record record_decoder::next() {
    hex_record rec;
    int32_t address = 0, count = 0;
    const int r = readihexrecord(file_, slots_, address, count, rec.info, line_, longRecords_);
    const int type = rec.info.type;
    if (r == 1) return rec;
    if (r < 0) {
        // A damaged address record leaves the base of the records after it unknown.
        if (type == TYPE_SEGMENT_BASE || type == TYPE_LINEAR_BASE) baseLost_ = true;
        if (r == -1) rec.kind = record_kind::bad_checksum;
        else rec.kind = rec.info.length == 0 ? record_kind::blank : record_kind::junk;
        return rec;
    }
    if (rec.info.form == record_form::word) {
        wordRecord(rec, address, count);
    } else {
        for (int i = 0; i < count; ++i) rec.bytes.push_back(recordByte(slots_, i));
        byteRecord(rec, address, count);
    }
    return rec;
}

// Counts and addresses in words. An address record holds one word: the
// upper 16 bits of the word address (04) or a segment of 16 words (02). Any
// other type is data, as INHX16 files have it.
void record_decoder::wordRecord(hex_record& rec, int32_t address, int32_t count) {
    const int type = rec.info.type;
    if (type == TYPE_SEGMENT_BASE || type == TYPE_LINEAR_BASE) {
        if (count != 1) return lostBase(rec);
        const uint64_t value = static_cast<uint32_t>(slots_[0]) & 0xFFFF;
        setBase(rec, 2 * (type == TYPE_LINEAR_BASE ? value << 16 : value << 4));
        return;
    }
    for (int i = 0; i < 2 * count; ++i) rec.bytes.push_back(recordByte(slots_, i));
    placeData(rec, base_ + 2 * static_cast<uint64_t>(address));
}

void record_decoder::byteRecord(hex_record& rec, int32_t address, int32_t count) {
    switch (rec.info.type) {
    case TYPE_DATA:
        return placeData(rec, base_ + static_cast<uint64_t>(address));
    case TYPE_SEGMENT_BASE:
    case TYPE_LINEAR_BASE:
        if (count != 2) return lostBase(rec);
        setBase(rec, static_cast<uint64_t>(rec.bytes[0] << 8 | rec.bytes[1]) << (rec.info.type == TYPE_LINEAR_BASE ? 16 : 4));
        rec.bytes.clear();
        return;
    case TYPE_SEGMENT_START:
    case TYPE_LINEAR_START:
        rec.kind = record_kind::no_data;
        return;
    default:
        rec.kind = record_kind::unknown_type;
        return;
    }
}

void record_decoder::lostBase(hex_record& rec) {
    baseLost_ = true;
    rec.kind = record_kind::bad_address;
}

void record_decoder::setBase(hex_record& rec, uint64_t base) {
    base_ = base;
    baseLost_ = false;
    rec.kind = record_kind::no_data;
}

// Data at `at`: never wrapped into the 32 bits an address has, where it
// would land on memory the file never named.
void record_decoder::placeData(hex_record& rec, uint64_t at) {
    if (baseLost_) {
        rec.kind = record_kind::base_unknown;
    } else if (at + rec.bytes.size() > ADDRESS_SPACE) {
        rec.kind = record_kind::beyond_addresses;
        rec.far_address = at;
    } else {
        rec.kind = record_kind::data;
        rec.address = static_cast<uint32_t>(at);
    }
}

}  // namespace bootlink
