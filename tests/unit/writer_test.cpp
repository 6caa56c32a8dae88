#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "ihexfile/ihexfile.hpp"

namespace {

std::string write_range(const std::vector<int32_t>& image, int32_t start, int32_t end, bool with_end = false) {
    char* buf = nullptr;
    size_t len = 0;
    FILE* f = open_memstream(&buf, &len);
    EXPECT_EQ(bootlink::writeihex16(f, image, start, end), 1);
    if (with_end) bootlink::writeiend16(f);
    std::fclose(f);
    std::string s(buf, len);
    std::free(buf);
    return s;
}

struct WriterCase {
    std::string name;
    std::vector<std::pair<int32_t, int32_t>> words;  // (word address, value)
    int32_t start, end;
    std::string text;
};

void PrintTo(const WriterCase& c, std::ostream* os) { *os << c.name; }

class Writer : public ::testing::TestWithParam<WriterCase> {};

TEST_P(Writer, RecordsAndChecksums) {
    std::vector<int32_t> image(0x10000, 0);
    for (auto [a, w] : GetParam().words) image[a] = w;
    EXPECT_EQ(write_range(image, GetParam().start, GetParam().end), GetParam().text);
}

std::vector<std::pair<int32_t, int32_t>> fill(int32_t from, int n, int32_t value) {
    std::vector<std::pair<int32_t, int32_t>> v;
    for (int i = 0; i < n; ++i) v.emplace_back(from + i, value);
    return v;
}

INSTANTIATE_TEST_SUITE_P(
    Table, Writer,
    ::testing::Values(
        WriterCase{"three_words", {{0x10, 0x1234}, {0x11, 0xABCD}, {0x12, 0x00FF}}, 0x10, 0x13,
                   ":030010001234ABCD00FF30\n"},
        WriterCase{"ten_words", fill(0, 10, 0xFFFF), 0, 10,
                   ":08000000FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF08\n:02000800FFFFFFFFFA\n"},
        WriterCase{"seventeen_words", fill(0x100, 17, 0x0000), 0x100, 0x111,
                   ":0801000000000000000000000000000000000000F7\n"
                   ":0801080000000000000000000000000000000000EF\n"
                   ":010110000000EE\n"},
        WriterCase{"exactly_eight", fill(0x20, 8, 0x0102), 0x20, 0x28,
                   ":0800200001020102010201020102010201020102C0\n"},
        WriterCase{"sixteen", fill(0, 16, 0), 0, 16,
                   ":0800000000000000000000000000000000000000F8\n:0800080000000000000000000000000000000000F0\n"},
        WriterCase{"empty_range", {}, 0x10, 0x10, ":00001000F0\n"},
        WriterCase{"top_word", {{0xFFFF, 0x1234}}, 0xFFFF, 0x10000, ":01FFFF001234BB\n"},
        WriterCase{"leading_zeros", {{0x0001, 0x000A}}, 1, 2, ":01000100000AF4\n"}),
    [](const auto& p) { return p.param.name; });

TEST(Writer, EndRecordClosesTheFile) {
    std::vector<int32_t> image(16, 0);
    EXPECT_EQ(write_range(image, 0, 0, true), ":0000000000\n:00000001FF\n");
}

}  // namespace
