#include <algorithm>
#include <cstdio>
#include <string>

#include "ihexfile/ihexfile.hpp"

namespace bootlink {

namespace {

// Column layout of a record, counted from the colon.
constexpr int COL_COUNT = 1;
constexpr int COL_ADDRESS = 3;
constexpr int COL_TYPE = 7;
constexpr int COL_DATA = 9;
constexpr int RECORD_OVERHEAD = 11;  // colon, count, address, type, checksum

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// A field converts when exactly `width` hexadecimal digits stand at `col`
// inside the line. No blanks, signs or "0x": a hex file holds digits only.
bool field(const char* text, int length, int col, int width, int& value) {
    if (col + width > length) return false;
    int v = 0;
    for (int i = 0; i < width; ++i) {
        const int d = hexDigit(text[col + i]);
        if (d < 0) return false;
        v = v * 16 + d;
    }
    value = v;
    return true;
}

using line_buffer = char[HEX_LONG_READ_MAX + 1];

// One read: at most `max` characters, up to and including a line feed.
// Returns how many were read; 0 at the end of the file or on an error.
int readLine(FILE* file, line_buffer& text, int max = HEX_LINE_MAX) {
    int n = 0;
    while (n < max) {
        const int c = std::getc(file);
        if (c == EOF) break;
        text[n++] = static_cast<char>(c);
        if (c == '\n') break;
    }
    text[n] = '\0';
    return n;
}

// Drops at most two line-end characters (CR or LF) from the end.
int withoutLineEnd(const char* text, int n) {
    for (int i = 0; i < 2 && n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n'); ++i) --n;
    return n;
}

record_form formOf(int length, int count) {
    // Byte form first: with a count of 0 both rules hold.
    if (length - RECORD_OVERHEAD == 2 * count) return record_form::byte;
    if (length - RECORD_OVERHEAD == 4 * count) return record_form::word;
    return record_form::none;
}

// Converts the data fields of a record in order and adds them to `sum`. Each
// goes to put(slot, value, add): byte form, every byte (an odd last one
// included), two to a word, low first (the high byte is added to its slot);
// word form, one word a slot. Returns the checksum's column, or -1 at the
// first field that does not convert.
template <class Put>
int readData(const char* text, int length, record_form form, int cnt, unsigned& sum, Put put) {
    const int width = form == record_form::byte ? 2 : 4;
    for (int i = 0; i < cnt; ++i) {
        int v = 0;
        if (!field(text, length, COL_DATA + width * i, width, v)) return -1;
        if (form == record_form::byte)
            put(i / 2, i % 2 ? 256 * v : v, i % 2 != 0);
        else
            put(i, v, false);
        sum += (v >> 8) + (v & 0xFF);
    }
    return COL_DATA + width * cnt;
}

// The checksum at `col`: 0 when it matches the record's sum, -1 when it
// does not (what it holds in `found`), -2 when it is not there.
int checkSum(const char* text, int length, int col, unsigned sum, int& found) {
    if (col < 0 || !field(text, length, col, 2, found)) return -2;
    return ((256 - (sum & 0xFF)) & 0xFF) == static_cast<unsigned>(found) ? 0 : -1;
}

}  // namespace

namespace {

// One read of at most `max` characters as a record (see readihexline).
int readRecord(FILE* file, int max, std::span<int32_t> buffer, int32_t& address, int32_t& count, record_info& rec,
               int32_t& line) {
    rec = record_info{};
    line_buffer text;
    const int n = readLine(file, text, max);
    if (n == 0) return 1;
    rec.number = ++line;
    rec.complete = n < max || text[n - 1] == '\n';
    const int length = withoutLineEnd(text, n);
    rec.length = length;
    auto junk = [&](const char* why) {
        rec.why = why;
        return -2;
    };
    if (text[0] != ':') return junk(length == 0 ? "blank line" : "not a record (no ':' at its start)");

    int cnt = 0, addr = 0, type = 0;
    if (!field(text, length, COL_COUNT, 2, cnt)) return junk("count is not hexadecimal");
    if (!field(text, length, COL_ADDRESS, 4, addr)) return junk("address is not hexadecimal");
    address = addr;
    if (!field(text, length, COL_TYPE, 2, type)) return junk("type is not hexadecimal");
    rec.type = type;
    if (type == TYPE_END) {
        int checksum = 0;
        rec.end_ok = cnt == 0 && length == RECORD_OVERHEAD && field(text, length, COL_DATA, 2, checksum) &&
                     ((cnt + (addr >> 8) + (addr & 0xFF) + type + checksum) & 0xFF) == 0;
        return 1;
    }

    unsigned sum = cnt + (addr >> 8) + (addr & 0xFF) + type;
    const record_form form = formOf(length, cnt);
    if (form == record_form::none) return junk("length fits no record");
    // Never write past the caller's buffer, whatever the line holds.
    const int slots = form == record_form::byte ? (cnt + 1) / 2 : cnt;
    if (slots > static_cast<int>(buffer.size())) return junk("more data than a record can hold");
    rec.form = form;

    const int checksumCol = readData(text, length, form, cnt, sum, [&](int slot, int32_t value, bool add) {
        buffer[slot] = add ? buffer[slot] + value : value;
    });
    const int checked = checkSum(text, length, checksumCol, sum, rec.checksum);
    if (checked == -2) return junk("data is not hexadecimal");
    rec.sum = static_cast<int>(sum & 0xFF);
    if (checked == -1) rec.why = "checksum mismatch";
    if (checked != 0) return checked;
    count = cnt;
    return 0;
}

}  // namespace

int readihexline(FILE* file, std::span<int32_t> buffer, int32_t& address, int32_t& count, int32_t& line,
                 record_info* info) {
    record_info scratch;
    return readRecord(file, HEX_LINE_MAX, buffer, address, count, info ? *info : scratch, line);
}

int readihexrecord(FILE* file, std::span<int32_t> buffer, int32_t& address, int32_t& count, record_info& info,
                   int32_t& line, bool longRecords) {
    const int r =
        readRecord(file, longRecords ? HEX_LONG_READ_MAX : HEX_LINE_MAX, buffer, address, count, info, line);
    if (!info.complete) {
        int c = std::getc(file);
        if (c != '\n' && c != EOF) {
            // The line goes on past one read: all of it is one junk line.
            while (c != '\n' && c != EOF) c = std::getc(file);
            info.why = "longer than a record can be";
            info.form = record_form::none;
            return -2;
        }
    }
    if (r == 1 && info.type == TYPE_END && !info.end_ok) {
        info.why = "damaged end record (count, length or checksum)";
        return -2;
    }
    return r;
}

int readihex(FILE* file, std::span<int32_t> image, int32_t& lowest, int32_t& highest) {
    lowest = 0xFFFF;
    highest = 0;
    auto put = [&](int64_t index, int32_t value, bool add) {
        if (index < 0 || index >= static_cast<int64_t>(image.size())) return;  // outside the image: dropped
        int32_t& slot = image[static_cast<size_t>(index)];
        slot = add ? slot + value : value;
    };
    line_buffer text;
    for (;;) {
        const int n = readLine(file, text);
        if (n == 0) return 1;
        if (text[0] != ':') continue;
        const int length = withoutLineEnd(text, n);
        int cnt = 0, addr = 0, type = 0;
        if (!field(text, length, COL_COUNT, 2, cnt) || !field(text, length, COL_ADDRESS, 4, addr)) continue;
        lowest = std::min(lowest, addr);
        highest = std::max(highest, addr);
        if (!field(text, length, COL_TYPE, 2, type)) continue;
        if (type == TYPE_END) return 1;
        const record_form form = formOf(length, cnt);
        if (form == record_form::none) continue;

        unsigned sum = cnt + (addr >> 8) + (addr & 0xFF) + type;
        // A field that does not convert stops the record, unchecked.
        const int checksumCol = readData(text, length, form, cnt, sum, [&](int slot, int32_t value, bool add) {
            const int64_t base = form == record_form::byte ? addr / 2 : addr;
            put(base + slot, value, add);
        });
        int found = 0;
        checkSum(text, length, checksumCol, sum, found);  // a bad record's data stays in the image
    }
}

std::string checksumMessage(const record_info& info) {
    char text[64];
    std::snprintf(text, sizeof text, "Checksum mismatch on line %d (%02X != %02X\n", info.number, info.checksum,
                  info.sum);
    return text;
}

}  // namespace bootlink
