// What fits the tool into a user's system: its version, dumps saved where
// the user says, the list of devices.

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "harness.hpp"

using namespace testing_support;

namespace {

TEST(Version, PrintedBeforeAnyDeviceIsOpened) {
    bootsim::device dev;
    const auto r = run_tool(dev, {"--version", "--reset"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(std::regex_match(r.out, std::regex("using device .* for serial comms\nbootlink [0-9]+\\.[0-9]+\\.[0-9]+\n")))
        << r.out;
    EXPECT_TRUE(dev.wire.empty());
    const auto plain = run_plain({"--version"});
    EXPECT_EQ(plain.status, 0);
    EXPECT_EQ(plain.out, r.out.substr(r.out.find('\n') + 1));
}

TEST(ListDevices, EndsWithStatusZeroAndOpensNothing) {
    const auto r = run_plain({"--list-devices", "--reset"});
    EXPECT_EQ(r.status, 0);
    EXPECT_FALSE(r.out.empty());
    EXPECT_EQ(r.out.find("ERROR"), std::string::npos) << r.out;
}

TEST(Output, ReadSavedWhereAskedAndNamed) {
    bootsim::device dev;
    dev.flash[0x40] = 0xCD;
    dev.flash[0x41] = 0xAB;
    temp_dir dir;
    const auto r = run_tool(dev, {"--readflash", "--bytes", "2", "--startaddr", "0x40", "--output", "board1.hex"},
                            in_dir(dir.path()));
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("saving the dump to 'board1.hex'\n"), std::string::npos);
    EXPECT_TRUE(r.out.ends_with("[OK => Read Flash Program Memory, INHEX16 file written to board1.hex]\n")) << r.out;
    EXPECT_EQ(read_file(dir.file("board1.hex")), ":01002000ABCD67\n:00000001FF\n");
    EXPECT_FALSE(file_exists(dir.file("out.hex")));
}

struct OutputRefusal {
    std::string name;
    std::string path;
    std::string tail;
};

void PrintTo(const OutputRefusal& c, std::ostream* os) { *os << c.name; }

class OutputRefused : public ::testing::TestWithParam<OutputRefusal> {};

TEST_P(OutputRefused, EndsTheRunAndLeavesNothing) {
    bootsim::device dev;
    temp_dir dir;
    const auto r = run_tool(dev, {"--readflash", "--bytes", "2", "--startaddr", "0", "--output", GetParam().path},
                            in_dir(dir.path()));
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(r.out.ends_with(GetParam().tail)) << r.out;
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

INSTANTIATE_TEST_SUITE_P(
    Table, OutputRefused,
    ::testing::Values(
        OutputRefusal{"missing_folder", "nowhere/board.hex",
                      "Error: could not create file 'nowhere/board.hex' (No such file or directory)\n"},
        OutputRefusal{"path_too_long", std::string(4096, 'o'), "ERROR: argument for '--output' too long\n"}),
    [](const auto& p) { return p.param.name; });

}  // namespace
