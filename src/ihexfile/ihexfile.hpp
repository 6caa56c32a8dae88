#pragma once

// Hex files. Two layouts of data record share the Intel-hex frame
// ":CCAAAATT<data>SS" and are told apart by the line's length alone:
//   byte form  - the ordinary Intel hex that compilers write: CC data bytes,
//                two bytes (low first) make one program word;
//   word form  - INHX16, what a flash read saves: CC program words, each as
//                four hex digits, most significant first.

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

namespace bootlink {

// Longest line one read takes; a longer line comes in pieces that each count
// as a line of their own.
constexpr int HEX_LINE_MAX = 80;

// Most program-word slots a record that fits in one read can fill: 34 data
// bytes in the byte form, 17 words in the word form.
constexpr int HEX_RECORD_WORDS_MAX = 17;

// Long records, as hex converters write them when asked (Intel hex allows
// 255 data bytes): 11 + 2 x 255 characters, read whole with CR LF. The word
// form gets as many words as fit in that line: 127.
constexpr int HEX_LONG_LINE_MAX = 11 + 2 * 255;
constexpr int HEX_LONG_READ_MAX = HEX_LONG_LINE_MAX + 2;
constexpr int HEX_LONG_RECORD_WORDS_MAX = 128;

// Intel hex record types.
constexpr int TYPE_DATA = 0x00;
constexpr int TYPE_END = 0x01;
constexpr int TYPE_SEGMENT_BASE = 0x02;   // 16 x value is added to later addresses
constexpr int TYPE_SEGMENT_START = 0x03;  // start address: nothing to program
constexpr int TYPE_LINEAR_BASE = 0x04;    // value is the upper 16 bits of later addresses
constexpr int TYPE_LINEAR_START = 0x05;   // start address: nothing to program

enum class record_form { none, byte, word };

// What the reader learned about the line beyond its results.
struct record_info {
    record_form form = record_form::none;  // set once the length fits a form
    int type = -1;                         // record type, -1 when it did not convert
    int length = 0;                        // characters left after the line end was removed
    bool complete = true;                  // the read reached the line feed (or the end of the file)
    bool end_ok = false;                   // type 01 with count 0, nothing after it and a good checksum
    int32_t number = 0;                    // the line counter after this read
    const char* why = nullptr;             // what is wrong with a line that is not a record
    int checksum = 0;                      // the record's checksum field, as it stands
    int sum = 0;                           // the low byte of the sum of its other bytes
};

// "Checksum mismatch on line N (SS != ss": what a record whose checksum does
// not match reports (the reader itself prints nothing).
std::string checksumMessage(const record_info& info);

// Reads the next line of `file` as one record, counting it in `line` (the
// caller's line counter: lines of one file numbered from 1).
//  1  end record (type 01) or end of the file
//  0  data record with a good checksum: address field, count field and the
//     data as program words in `buffer` (byte form: byte 2i low, 2i+1 high;
//     an odd last byte stands alone in the low half of its slot)
// -1  checksum mismatch (info says what the line holds: checksumMessage)
// -2  junk: no colon, a field that is not hexadecimal, a length that fits
//     neither form, or more data than `buffer` holds
// Fields are strictly hexadecimal digits, upper or lower case.
int readihexline(FILE* file, std::span<int32_t> buffer, int32_t& address, int32_t& count, int32_t& line,
                 record_info* info = nullptr);

// Reads the next whole line of `file` as one record, as programming needs
// it. Results as readihexline, but a line longer than one read is a single
// junk line (its tail is consumed, never taken for a record of its own), and
// only a well-formed end record ends the file: any other type-01 line is
// junk, so a damaged end record cannot silently drop what follows it. With
// `longRecords` one read takes HEX_LONG_READ_MAX characters instead of 80.
int readihexrecord(FILE* file, std::span<int32_t> buffer, int32_t& address, int32_t& count, record_info& info,
                   int32_t& line, bool longRecords = false);

// Program words and the bytes they hold: byte i of a run of words is the
// low half of word i / 2 when i is even, its high half when odd (the even
// byte address holds the low byte). Both directions live here.
inline uint8_t recordByte(std::span<const int32_t> words, int64_t i) {
    return static_cast<uint8_t>(words[static_cast<size_t>(i / 2)] >> (8 * (i % 2)));
}
inline void setRecordByte(std::span<int32_t> words, int64_t i, uint8_t b) {
    int32_t& word = words[static_cast<size_t>(i / 2)];
    word = (i % 2) ? (word & 0x00FF) | (b << 8) : (word & 0xFF00) | b;
}

// Reads a whole file into `image`, indexed by word address (byte-form
// addresses are halved), up to its end record. Reports the lowest and
// highest address fields seen. Data that falls outside `image` is dropped;
// a record whose checksum does not match is kept, without a word. Returns 1.
int readihex(FILE* file, std::span<int32_t> image, int32_t& lowest, int32_t& highest);

// Writes the words at word addresses [start, end) of `image` as INHX16 data
// records of up to eight words; an empty range gives one record with count
// 00. Every word address written must be at most 0xFFFF. Returns 1.
int writeihex16(FILE* file, std::span<const int32_t> image, int32_t start, int32_t end);

// Writes the end record ":00000001FF".
void writeiend16(FILE* file);

// Writes `data` at byte address `address` as Intel hex (byte form) data
// records of up to 16 bytes on 16-byte boundaries, each 64 KiB page opened
// by its extended linear address record, as compilers write them. No end
// record: writeiend16 closes the file.
void writeIntelHex(FILE* file, uint32_t address, std::span<const uint8_t> data);

}  // namespace bootlink
