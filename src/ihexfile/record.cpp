#include "ihexfile/record.hpp"

namespace bootlink {

hex_record record_decoder::next() {
    hex_record rec;
    int32_t address = 0, count = 0;
    const int r = readihexrecord(file_, slots_, address, count, rec.info, line_, longRecords_);
    const int type = rec.info.type;
    const bool addressRecord = type == TYPE_SEGMENT_BASE || type == TYPE_LINEAR_BASE;
    if (r == 1) return rec;
    if (r < 0) {
        // A damaged address record leaves the base of the records after it unknown.
        if (addressRecord) baseLost_ = true;
        if (r == -1) rec.kind = record_kind::bad_checksum;
        else rec.kind = rec.info.length == 0 ? record_kind::blank : record_kind::junk;
        return rec;
    }
    if (rec.info.form == record_form::word) {
        // Counts and addresses in words. An address record holds one word:
        // the upper 16 bits of the word address (04) or a segment of 16
        // words (02). Any other type is data, as INHX16 files have it.
        if (addressRecord) {
            if (count != 1) {
                baseLost_ = true;
                rec.kind = record_kind::bad_address;
                return rec;
            }
            const uint32_t value = static_cast<uint32_t>(slots_[0]) & 0xFFFF;
            base_ = 2 * (type == TYPE_LINEAR_BASE ? value << 16 : value << 4);
            baseLost_ = false;
            rec.kind = record_kind::no_data;
            return rec;
        }
        for (int i = 0; i < 2 * count; ++i) rec.bytes.push_back(recordByte(slots_, i));
        rec.kind = baseLost_ ? record_kind::base_unknown : record_kind::data;
        rec.address = base_ + 2 * static_cast<uint32_t>(address);
        return rec;
    }
    for (int i = 0; i < count; ++i) rec.bytes.push_back(recordByte(slots_, i));
    switch (type) {
    case TYPE_DATA:
        rec.kind = baseLost_ ? record_kind::base_unknown : record_kind::data;
        rec.address = base_ + static_cast<uint32_t>(address);
        return rec;
    case TYPE_SEGMENT_BASE:
    case TYPE_LINEAR_BASE:
        if (count != 2) {
            baseLost_ = true;
            rec.kind = record_kind::bad_address;
            return rec;
        }
        base_ = static_cast<uint32_t>(rec.bytes[0] << 8 | rec.bytes[1]) << (type == TYPE_LINEAR_BASE ? 16 : 4);
        baseLost_ = false;
        rec.kind = record_kind::no_data;
        return rec;
    case TYPE_SEGMENT_START:
    case TYPE_LINEAR_START:
        rec.kind = record_kind::no_data;
        return rec;
    default:
        rec.kind = record_kind::unknown_type;
        return rec;
    }
}

}  // namespace bootlink
