// What a new user meets first: --check without a board, --quiet reads, the
// device named by the environment.

#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>

#include "harness.hpp"
#include "hexdata.hpp"

using namespace testing_support;

namespace {

const std::string kToolchain = std::string(FIXTURES_DIR) + "/toolchain/";

struct CheckCase {
    std::string name;
    std::string file;
    int status;
    std::vector<std::string> lines;  // in this order
};

void PrintTo(const CheckCase& c, std::ostream* os) { *os << c.name; }

class Check : public ::testing::TestWithParam<CheckCase> {};

// No device is named or opened: the default /dev/ttyS0 may not even exist.
TEST_P(Check, SaysWhatProgramWouldDoWithNoDevice) {
    const auto& c = GetParam();
    run_options o;
    o.with_device = false;
    o.cwd = kToolchain;
    const auto r = run_plain({"--check", "--baud", "115200", "--pace", "0", "--hexfile", c.file}, o);
    EXPECT_EQ(r.status, c.status) << r.out;
    size_t at = 0;
    for (const auto& line : c.lines) {
        at = r.out.find(line, at);
        ASSERT_NE(at, std::string::npos) << line << "\n" << r.out;
    }
    EXPECT_EQ(r.out.find("serial"), std::string::npos) << r.out;
}

INSTANTIATE_TEST_SUITE_P(
    Files, Check,
    ::testing::Values(
        CheckCase{"firmware",
                  "absolute.hex",
                  0,
                  {"[note: ID locations 0x200000-0x200003, 4 bytes, not written]\n", "action: check hexfile\n",
                   "program memory: 40 bytes in 2 rows, 2 of them given in part (read first)\n",
                   "  erase 2 rows in 2 requests, write 128 bytes in 2 requests, read back 128 bytes\n",
                   "EEPROM: write 18 bytes in 1 request, read them back\n", " at 115200 bit/s with a 0 ms pace\n",
                   "[OK => the hexfile can be programmed]\n"}},
        CheckCase{"eeprom_past_the_part",
                  "ends-64k-eeprom-320.hex",
                  255,
                  {"[ERROR, line 35 of the hexfile: EEPROM data at 0xF00100",
                   "[ERROR, 4 lines of the hexfile cannot be programmed, nothing was sent]\n"}}),
    [](const auto& p) { return p.param.name; });

TEST(Quiet, ASavedReadWithoutTheDump) {
    bootsim::device dev;
    dev.flash[0] = 0x12;
    temp_dir dir;
    const auto r = run_tool(dev, {"--quiet", "--readflash", "--bytes", "600", "--startaddr", "0", "--output", "fw.hex"},
                            in_dir(dir.path()));
    ASSERT_EQ(r.status, 0) << r.out;
    const std::string body = r.out.substr(r.out.find("action: read flash\n"));
    EXPECT_TRUE(std::regex_match(body, std::regex("action: read flash\nreading 600 bytes\n  25%\n  50%\n  75%\n"
                                                  "  100% in [0-9.]+ s\n"
                                                  "\\[OK => Read Flash Program Memory, INHEX16 file written to "
                                                  "fw.hex\\]\n")))
        << body;
    EXPECT_EQ(inhx16_words(read_file(dir.file("fw.hex"))).at(0), 0xFF12);
    // The same requests as the traced read: 251 + 251 + 98 bytes.
    ASSERT_EQ(dev.requests.size(), 3u);
    EXPECT_EQ(dev.requests[2].count, 98);
}

TEST(Environment, BootlinkDeviceNamesTheLineAndDeviceWins) {
    temp_dir dir;
    sim_process sim(dir.file("tty"));
    setenv("BOOTLINK_DEVICE", sim.link().c_str(), 1);
    run_options o;
    o.with_device = false;
    const auto r = run_plain({"--reset"}, o);
    const auto over = run_plain({"--device", "/nonexistent/ttyUSB7", "--reset"}, o);
    unsetenv("BOOTLINK_DEVICE");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(r.out.starts_with("using device " + sim.link() + " for serial comms (from BOOTLINK_DEVICE)\n")) << r.out;
    EXPECT_TRUE(r.out.ends_with("[OK => RESET Device]\n"));
    EXPECT_EQ(over.status, 255);
    EXPECT_NE(over.out.find("ERROR: could not open serial device '/nonexistent/ttyUSB7'\n"), std::string::npos);
}

}  // namespace
