#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "cli/cli.hpp"
#include "capture.hpp"

namespace {

struct NumberCase {
    std::string text;
    int32_t value;
};

void PrintTo(const NumberCase& c, std::ostream* os) { *os << '"' << c.text << '"'; }

class NumberArg : public ::testing::TestWithParam<NumberCase> {};

TEST_P(NumberArg, ConvertsAsTheCommandLineDocuments) {
    capture_output cap;
    EXPECT_EQ(bootlink::number_arg(GetParam().text.c_str()), GetParam().value);
    EXPECT_EQ(cap.text(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Table, NumberArg,
    ::testing::Values(NumberCase{"0x1F", 31}, NumberCase{"0x1f", 31},
                      NumberCase{"0X1F", 0},       // upper-case prefix: decimal, stops at X
                      NumberCase{"12abc", 12},     // decimal stops at the first non-digit
                      NumberCase{"0x", 0},         // two characters only: decimal
                      NumberCase{"0x-5", -5},      // scanf takes the sign
                      NumberCase{"0xg", -1},       // nothing converts
                      NumberCase{"0x01320", 0x1320}, NumberCase{"4896", 4896},
                      NumberCase{" 42", 42}, NumberCase{"-3", -3}, NumberCase{"", 0},
                      NumberCase{"abc", 0}, NumberCase{"0xFFFFFFFF", -1},
                      NumberCase{"0x7fffffff", 0x7fffffff},
                      NumberCase{std::string(63, '0') , 0}));

TEST(NumberArg, SixtyFourCharactersOrMoreAreRefusedWithAMessage) {
    for (const std::string& text : {std::string(64, '1'), "0x" + std::string(62, 'f'), std::string(200, '9')}) {
        capture_output cap;
        EXPECT_EQ(bootlink::number_arg(text.c_str()), -1);
        EXPECT_EQ(cap.text(), "ERROR: option too long\n");
    }
}

}  // namespace
