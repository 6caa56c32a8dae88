// The whole-file loader and the plan made from it, without a device.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "capture.hpp"
#include "hexdata.hpp"
#include "ihexfile/ihexfile.hpp"
#include "image/image.hpp"

namespace {

using testing_support::intel_record;

bootlink::flash_image load(const std::string& text) {
    capture_output quiet;
    FILE* f = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
    bootlink::flash_image image = bootlink::loadImage(f);
    std::fclose(f);
    return image;
}

std::string lines(const std::vector<std::string>& records) {
    std::string text;
    for (const auto& r : records) text += r + "\n";
    return text + ":00000001FF\n";
}

struct LoadCase {
    const char* name;
    std::vector<std::string> records;
    int problem_line;  // of the first problem; 0: none
    const char* why;   // part of its reason
    size_t problems;
    uint64_t given;
};

class Loader : public ::testing::TestWithParam<LoadCase> {};

TEST_P(Loader, TakesWhatCanBeProgrammedAndNamesTheRest) {
    const auto& c = GetParam();
    const auto image = load(lines(c.records));
    if (c.problem_line == 0) {
        EXPECT_TRUE(image.problems.empty()) << image.problems[0].why;
    } else {
        ASSERT_EQ(image.problems.size(), c.problems);
        EXPECT_EQ(image.problems[0].line, c.problem_line);
        EXPECT_NE(image.problems[0].why.find(c.why), std::string::npos) << image.problems[0].why;
    }
    EXPECT_EQ(image.given_bytes(), c.given);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Loader,
    ::testing::Values(
        LoadCase{"same_byte_twice_agrees", {intel_record(0x10, 0, {1, 2}), intel_record(0x11, 0, {2})}, 0, "", 0, 2},
        LoadCase{"conflicting_byte", {intel_record(0x10, 0, {1, 2}), intel_record(0x11, 0, {3})}, 2,
                 "0x000011 another value", 1, 2},
        LoadCase{"linear_base_moves_data", {intel_record(0, 4, {0x00, 0x01}), intel_record(0x10, 0, {1})}, 0, "", 0, 1},
        LoadCase{"bad_address_record_loses_the_base",
                 {intel_record(0, 4, {0x01}), intel_record(0x10, 0, {1})}, 1, "address record", 2, 0},
        LoadCase{"one_record_across_64k", {intel_record(0xFFFC, 0, {0, 0, 0, 0, 0, 0, 0, 0})}, 0, "", 0, 8},
        LoadCase{"straddles_0x200000", {intel_record(0, 4, {0x00, 0x1F}), intel_record(0xFFFC, 0, {1, 2, 3, 4, 5, 6})},
                 2, "runs into 0x200000", 1, 0},
        LoadCase{"unknown_type", {intel_record(0x10, 6, {1})}, 1, "type 06", 1, 0},
        LoadCase{"between_memories", {intel_record(0, 4, {0x00, 0x21}), intel_record(0, 0, {1})}, 2,
                 "0x210000 is in no memory", 1, 0},
        LoadCase{"past_the_eeprom", {intel_record(0, 4, {0x00, 0xF0}), intel_record(0x100, 0, {1})}, 2,
                 "past its 256 bytes", 1, 0},
        LoadCase{"across_the_configuration_end", {intel_record(0, 4, {0x00, 0x30}), intel_record(0xE, 0, {1, 2, 3})},
                 2, "runs past the end of the configuration bytes", 1, 0},
        // The word form's own address record: one word, the upper half of the word address.
        LoadCase{"word_form_address_record", {":010000040001FA", ":010000001234B9"}, 0, "", 0, 2}),
    [](const auto& p) { return p.param.name; });

TEST(Loader, FillsTheRestOfATouchedRowWith0xFFAndMarksWhatIsGiven) {
    const auto image = load(lines({intel_record(0x41, 0, {0x12, 0x34, 0x56})}));
    ASSERT_EQ(image.rows.size(), 1u);
    const auto& row = image.rows.at(0x40);
    EXPECT_EQ(row.given, 0b1110u);
    for (uint32_t i = 0; i < bootlink::ROW_BYTES; ++i)
        EXPECT_EQ(row.data[i], i >= 1 && i <= 3 ? 0x12 + 0x22 * (i - 1) : 0xFF) << i;
}

TEST(Loader, EachMemoryGetsItsOwnBytes) {
    const auto image = load(lines({intel_record(0, 4, {0x00, 0x30}), intel_record(1, 0, {1, 2}),
                                   intel_record(0, 4, {0x00, 0x3F}), intel_record(0xFFFE, 0, {0x40, 0x12}), intel_record(0, 4, {0x00, 0x20}),
                                   intel_record(0, 0, {3}), intel_record(0, 4, {0x00, 0xF0}),
                                   intel_record(0xFF, 0, {4})}));
    EXPECT_TRUE(image.rows.empty());
    EXPECT_EQ(image.config, (bootlink::byte_map{{0x300001, 1}, {0x300002, 2}}));
    EXPECT_EQ(image.device_id, (bootlink::byte_map{{0x3FFFFE, 0x40}, {0x3FFFFF, 0x12}}));
    EXPECT_EQ(image.id, (bootlink::byte_map{{0x200000, 3}}));
    EXPECT_EQ(image.eeprom, (bootlink::byte_map{{0xF000FF, 4}}));
}

// Images of consecutive rows, every byte given.
bootlink::flash_image filled(uint32_t first_row, uint32_t rows, uint8_t value) {
    bootlink::flash_image image;
    for (uint32_t r = 0; r < rows; ++r) {
        auto& row = image.rows[first_row + r * bootlink::ROW_BYTES];
        row.data.fill(value);
        row.given = ~uint64_t{0};
    }
    return image;
}

using spans = std::vector<std::pair<uint32_t, uint32_t>>;

spans of(const std::vector<bootlink::span_request>& v) {
    spans s;
    for (const auto& r : v) s.emplace_back(r.address, r.bytes);
    return s;
}

struct PlanCase {
    const char* name;
    bootlink::flash_image image;
    spans erases, writes, reads;
};

class Planner : public ::testing::TestWithParam<PlanCase> {};

TEST_P(Planner, ErasesWritesAndReadsBackWithinTheRequestLimits) {
    const auto& c = GetParam();
    const auto plan = bootlink::planFor(c.image, bootlink::touchedRows(c.image));
    EXPECT_EQ(of(plan.erases), c.erases);
    EXPECT_EQ(of(plan.writes), c.writes);
    EXPECT_EQ(of(plan.reads), c.reads);
}

bootlink::flash_image sparse() {
    // Row 0x40: blocks 0 and 3 hold data, the rest is 0xFF; row 0x1000 alone.
    bootlink::flash_image image;
    auto& row = image.rows[0x40];
    row.data[0] = 0x00;
    row.data[24] = 0x01;
    row.given = 0x0101'0101'0101'0101;
    image.rows[0x1000].data[63] = 0x7F;
    return image;
}

std::vector<PlanCase> planCases() {
    std::vector<PlanCase> cases;
    cases.push_back({"row_count_splits_at_255", filled(0, 256, 0x00), {{0, 255 * 64}, {255 * 64, 64}},
                     {}, {{0, 256 * 64}}});
    for (uint32_t a = 0; a < 256 * 64; a += 248) cases.back().writes.emplace_back(a, std::min(248u, 256 * 64 - a));
    cases.push_back({"write_splits_at_31_blocks", filled(0x400, 4, 0x5A), {{0x400, 256}}, {{0x400, 248}, {0x4F8, 8}},
                     {{0x400, 256}}});
    cases.push_back({"blank_blocks_skipped_and_gaps_kept", sparse(), {{0x40, 64}, {0x1000, 64}},
                     {{0x40, 8}, {0x58, 8}, {0x1038, 8}}, {{0x40, 64}, {0x1000, 64}}});
    cases.push_back({"all_0xff_rows_are_erased_not_written", filled(0, 2, 0xFF), {{0, 128}}, {}, {{0, 128}}});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Table, Planner, ::testing::ValuesIn(planCases()),
                         [](const auto& p) { return p.param.name; });

}  // namespace
