// The hex record reader over single lines and small files: results, what
// each leaves in its outputs, and the messages it prints.

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <string>
#include <vector>

#include "capture.hpp"
#include "hexdata.hpp"
#include "ihexfile/ihexfile.hpp"

namespace {

using bootlink::record_form;

constexpr int32_t UNTOUCHED = 0x5A5A;

std::string byte_record(int address, int type, const std::vector<int>& data) {
    return testing_support::intel_record(address, type, data);
}

struct result {
    int r;
    int32_t address = UNTOUCHED, count = UNTOUCHED;
    std::vector<int32_t> slots;
    bootlink::record_info info;
    std::string printed;
};

// Runs the reader over `text` `calls` times; returns the last call's outputs.
result read_text(const std::string& text, int calls = 1, size_t capacity = 24) {
    std::vector<int32_t> buffer(capacity + 2, UNTOUCHED);  // two guard slots past the end
    FILE* f = fmemopen(const_cast<char*>(text.data()), text.size() + (text.empty() ? 1 : 0), "r");
    if (text.empty()) std::fgetc(f);  // fmemopen wants a size > 0: step over the one byte
    capture_output cap;
    result res;
    int32_t line = 0;  // the lines of this text, from 1
    for (int i = 0; i < calls; ++i)
        res.r = bootlink::readihexline(f, std::span<int32_t>(buffer.data(), capacity), res.address, res.count, line,
                                       &res.info);
    std::fclose(f);
    res.printed = cap.text();
    EXPECT_EQ(buffer[capacity], UNTOUCHED) << "wrote past the buffer";
    EXPECT_EQ(buffer[capacity + 1], UNTOUCHED) << "wrote past the buffer";
    buffer.resize(capacity);
    while (!buffer.empty() && buffer.back() == UNTOUCHED) buffer.pop_back();
    res.slots = buffer;
    return res;
}

struct LineCase {
    std::string name;
    std::string text;
    int calls;
    int r;
    int32_t address, count;
    std::vector<int32_t> slots;
    record_form form;
};

void PrintTo(const LineCase& c, std::ostream* os) { *os << c.name; }

class ReadLine : public ::testing::TestWithParam<LineCase> {};

TEST_P(ReadLine, ResultAndOutputs) {
    const auto& c = GetParam();
    const auto res = read_text(c.text, c.calls);
    EXPECT_EQ(res.r, c.r);
    EXPECT_EQ(res.address, c.address);
    EXPECT_EQ(res.count, c.count);
    EXPECT_EQ(res.slots, c.slots);
    if (c.r == 0) {
        EXPECT_EQ(res.info.form, c.form);
    }
    EXPECT_EQ(res.printed, "");
}

const std::string rec79_bytes = byte_record(0x0100, 0, std::vector<int>(34, 0x11));  // 79 characters
const std::string rec79_words = ":11020000" + std::string(68, '1') + "AB";             // 17 words of 0x1111

std::vector<int32_t> words(size_t n, int32_t w) { return std::vector<int32_t>(n, w); }

INSTANTIATE_TEST_SUITE_P(
    Table, ReadLine,
    ::testing::Values(
        LineCase{"end_record", ":00000001FF\n", 1, 1, 0, UNTOUCHED, {}, record_form::none},
        LineCase{"end_record_bad_checksum", ":00ABCD0112\n", 1, 1, 0xABCD, UNTOUCHED, {}, record_form::none},
        LineCase{"end_record_with_trailing_text", ":00000001FF junk\n", 1, 1, 0, UNTOUCHED, {}, record_form::none},
        LineCase{"end_of_file", "", 1, 1, UNTOUCHED, UNTOUCHED, {}, record_form::none},
        LineCase{"blank_line", "\n", 1, -2, UNTOUCHED, UNTOUCHED, {}, record_form::none},
        LineCase{"leading_blank", " :00000001FF\n", 1, -2, UNTOUCHED, UNTOUCHED, {}, record_form::none},
        LineCase{"byte_form", ":040020003412CDAB1E\n", 1, 0, 0x20, 4, {0x1234, 0xABCD}, record_form::byte},
        LineCase{"word_form", ":030010001234ABCD00FF30\n", 1, 0, 0x10, 3, {0x1234, 0xABCD, 0x00FF}, record_form::word},
        LineCase{"lower_case", ":040020003412cdab1e\n", 1, 0, 0x20, 4, {0x1234, 0xABCD}, record_form::byte},
        LineCase{"count_zero_is_byte_form", ":00001000F0\n", 1, 0, 0x10, 0, {}, record_form::byte},
        // Every byte of an odd count is read; the last one stands alone.
        LineCase{"odd_count_read_whole", ":030020003412CDCA\n", 1, 0, 0x20, 3, {0x1234, 0x00CD}, record_form::byte},
        LineCase{"extended_address_record", ":020000040000FA\n", 1, 0, 0, 2, {0}, record_form::byte},
        LineCase{"crlf", ":040020003412CDAB1E\r\n", 1, 0, 0x20, 4, {0x1234, 0xABCD}, record_form::byte},
        LineCase{"no_line_end", ":040020003412CDAB1E", 1, 0, 0x20, 4, {0x1234, 0xABCD}, record_form::byte},
        // Two CRs and a LF: one CR stays, the length fits no form.
        LineCase{"cr_cr_lf", ":040020003412CDAB1E\r\r\n", 1, -2, 0x20, UNTOUCHED, {}, record_form::none},
        LineCase{"trailing_blanks", ":040020003412CDAB1E  \n", 1, -2, 0x20, UNTOUCHED, {}, record_form::none},
        LineCase{"ends_before_address", ":10\n", 1, -2, UNTOUCHED, UNTOUCHED, {}, record_form::none},
        // Strict digits: a sign, blank or other letter in a field is junk.
        LineCase{"non_hex_in_data", ":0400200034G2CDAB1E\n", 1, -2, 0x20, UNTOUCHED, {0x34}, record_form::none},
        LineCase{"blank_in_count", ": 4002000\n", 1, -2, UNTOUCHED, UNTOUCHED, {}, record_form::none},
        LineCase{"sign_in_address", ":04+020003412CDAB1E\n", 1, -2, UNTOUCHED, UNTOUCHED, {}, record_form::none},
        LineCase{"79_bytes_form", rec79_bytes + "\n", 1, 0, 0x100, 34, words(17, 0x1111), record_form::byte},
        LineCase{"79_words_form", rec79_words + "\n", 1, 0, 0x200, 17, words(17, 0x1111), record_form::word},
        // Ended by CR LF, a 79-character record is read whole; the lone LF
        // after it is the next line.
        LineCase{"79_then_lone_lf", rec79_words + "\r\n", 2, -2, 0x200, 17, words(17, 0x1111), record_form::none},
        // An 81-character line: the first 80 are junk, and so is the rest.
        LineCase{"over_long_first_piece", ":13020000" + std::string(76, '1') + "\n", 1, -2, 0x200, UNTOUCHED, {},
                 record_form::none},
        LineCase{"over_long_second_piece", ":13020000" + std::string(76, '1') + "\n", 2, -2, 0x200, UNTOUCHED, {},
                 record_form::none}),
    [](const auto& p) { return p.param.name; });

TEST(ReadLine, ChecksumMismatchIsReportedWithTheLineNumber) {
    const std::string file = ":0000000000\n\n:040020003412CDAB1F\n";
    const auto res = read_text(file, 3);
    EXPECT_EQ(res.r, -1);
    EXPECT_EQ(res.printed, "");  // the caller reports it
    EXPECT_EQ(bootlink::checksumMessage(res.info), "Checksum mismatch on line 3 (1F != E2\n");
    EXPECT_EQ(res.slots, (std::vector<int32_t>{0x1234, 0xABCD}));  // written all the same
    EXPECT_EQ(res.count, 0);  // still line 1's: a bad record does not set it
    EXPECT_EQ(res.address, 0x20);
}

TEST(ReadLine, RecordLargerThanTheBufferIsRefusedUntouched) {
    const auto res = read_text(rec79_words + "\n", 1, 14);
    EXPECT_EQ(res.r, -2);
    EXPECT_TRUE(res.slots.empty());
}

TEST(ReadLine, ReportsTypeFormAndLength) {
    auto res = read_text(":020000040030CA\r\n");
    EXPECT_EQ(res.info.type, 4);
    EXPECT_EQ(res.info.form, record_form::byte);
    EXPECT_EQ(res.info.length, 15);
    res = read_text("\r\n");
    EXPECT_EQ(res.info.length, 0);
    res = read_text("hello\n");
    EXPECT_EQ(res.info.length, 5);
}

TEST(ReadWholeFile, WordAndByteFormsLandAtTheirWordAddresses) {
    std::string text = ":020004001234ABCD3C\n"     // word form: words 4 and 5
                       ":040020003412CDAB1E\n"     // byte form at byte 0x20: words 0x10, 0x11
                       "junk\n"
                       ":040030003412CDAB1F\n"     // bad checksum: reported, data kept
                       ":00000001FF\n"
                       ":02000000FFFFFE\n";        // after the end: never read
    std::vector<int32_t> image(0x20, 0);
    FILE* f = fmemopen(text.data(), text.size(), "r");
    int32_t lowest = 0, highest = 0;
    capture_output cap;
    EXPECT_EQ(bootlink::readihex(f, image, lowest, highest), 1);
    std::fclose(f);
    EXPECT_EQ(image[4], 0x1234);
    EXPECT_EQ(image[5], 0xABCD);
    EXPECT_EQ(image[0x10], 0x1234);
    EXPECT_EQ(image[0x11], 0xABCD);
    EXPECT_EQ(image[0x18], 0x1234);
    EXPECT_EQ(image[0], 0);
    EXPECT_EQ(lowest, 0);  // the end record's address counts
    EXPECT_EQ(highest, 0x30);
    EXPECT_EQ(cap.text(), "");  // the loader keeps a bad record's data without a word
}

TEST(ReadWholeFile, DataBeyondTheImageIsDropped) {
    std::string text = ":03FFFE001111222233330A\n";  // word form at words 0xFFFE..0x10000
    std::vector<int32_t> image(0x10000, 0);
    std::vector<int32_t> guarded(image.size() + 4, 0x7777);
    FILE* f = fmemopen(text.data(), text.size(), "r");
    int32_t lowest = 0, highest = 0;
    capture_output cap;
    bootlink::readihex(f, std::span<int32_t>(guarded.data(), image.size()), lowest, highest);
    std::fclose(f);
    EXPECT_EQ(guarded[0xFFFE], 0x1111);
    EXPECT_EQ(guarded[0xFFFF], 0x2222);
    EXPECT_EQ(guarded[0x10000], 0x7777);
    EXPECT_EQ(lowest, 0xFFFE);
}

}  // namespace
