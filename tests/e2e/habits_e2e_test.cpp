// A user's habits and real boards: the file of defaults and the variables,
// long device names, files with data after their end, configuration in
// --verify, and a whole-board backup restored onto another board.
#include <algorithm>
#include <filesystem>
#include <map>
#include <regex>
#include <gtest/gtest.h>

#include "harness.hpp"
#include "hexdata.hpp"

using namespace testing_support;

namespace {

const std::string kToolchain = std::string(FIXTURES_DIR) + "/toolchain/";

struct DefaultsCase {
    std::string name;
    std::string toml;                          // ./bootlink.toml; @LINK is the simulator's line
    std::map<std::string, std::string> env;    // @LINK and @DIR replaced too
    std::vector<std::string> args;             // after the action
    std::vector<std::string> want;             // lines the output holds, in this order
    std::vector<std::string> absent;           // text it must not hold
};

void PrintTo(const DefaultsCase& c, std::ostream* os) { *os << c.name; }

std::string filled(std::string text, const std::string& link, const std::string& dir) {
    for (const auto& [from, to] : {std::pair{std::string("@LINK"), link}, std::pair{std::string("@DIR"), dir}})
        for (size_t at; (at = text.find(from)) != std::string::npos;) text.replace(at, from.size(), to);
    return text;
}

class Defaults : public testing::TestWithParam<DefaultsCase> {};

// Command line over environment over file over built in; a device's own
// table over the file's general values; a default the action does not take
// passed over, never refused.
TEST_P(Defaults, ComeFromTheNearestSourceAndSaySo) {
    const auto& c = GetParam();
    temp_dir dir;
    sim_process sim(dir.file("board"));
    if (!c.toml.empty()) write_file(dir.file("bootlink.toml"), filled(c.toml, sim.link(), dir.path()));
    std::filesystem::create_directories(dir.file("xdg/bootlink"));
    write_file(dir.file("xdg/bootlink/config.toml"), "pace = 7\n");
    run_options o = in_dir(dir.path());
    for (const auto& [k, v] : c.env) o.env[k] = filled(v, sim.link(), dir.path());
    std::vector<std::string> args{"--reset"};
    for (const auto& a : c.args) args.push_back(filled(a, sim.link(), dir.path()));
    const auto r = run_plain(args, o);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(r.out.ends_with("[OK => RESET Device]\n")) << r.out;
    size_t at = 0;
    for (const auto& line : c.want) {
        const size_t found = r.out.find(filled(line, sim.link(), dir.path()), at);
        ASSERT_NE(found, std::string::npos) << "missing, or out of order: " << line << "\n" << r.out;
        at = found;
    }
    for (const auto& text : c.absent) EXPECT_EQ(r.out.find(text), std::string::npos) << text << "\n" << r.out;
}

INSTANTIATE_TEST_SUITE_P(
    Sources, Defaults,
    testing::Values(
        DefaultsCase{"file_names_the_device_and_the_line",
                     "device = \"@LINK\"\nbaud = 115200\npace = 0\n",
                     {},
                     {},
                     {"using device @LINK for serial comms (from ./bootlink.toml)\n",
                      "line speed 115200 bit/s (from ./bootlink.toml)\n",
                      "pause after each byte sent: 0 ms (from ./bootlink.toml)\n"},
                     {}},
        DefaultsCase{"environment_over_file", "baud = 115200\npace = 0\n",
                     {{"BOOTLINK_BAUD", "57600"}, {"BOOTLINK_DEVICE", "@LINK"}},
                     {},
                     {"using device @LINK for serial comms (from BOOTLINK_DEVICE)\n",
                      "line speed 57600 bit/s (from BOOTLINK_BAUD)\n"},
                     {"115200"}},
        DefaultsCase{"command_line_over_everything", "baud = 115200\n",
                     {{"BOOTLINK_BAUD", "57600"}},
                     {"--device", "@LINK", "--baud", "38400"},
                     {"line speed 38400 bit/s\n"},
                     {"57600", "115200"}},
        DefaultsCase{"device_table_over_the_file",
                     "baud = 115200\npace = 3\n[\"@LINK\"]\nbaud = 230400\npace = 0\n",
                     {},
                     {"--device", "@LINK"},
                     {"line speed 230400 bit/s (from ./bootlink.toml [@LINK])\n",
                      "pause after each byte sent: 0 ms (from ./bootlink.toml [@LINK])\n"},
                     {"115200", "3 ms"}},
        DefaultsCase{"defaults_an_action_does_not_take_are_passed_over",
                     "retries = 3\neeprom-size = 512\nflash-size = 65536\n",
                     {},
                     {"--device", "@LINK"},
                     {"resetting device\n"},
                     {"again up to", "EEPROM of", "program memory of"}},
        DefaultsCase{"the_user_config_folder", "",
                     {{"XDG_CONFIG_HOME", "@DIR/xdg"}},
                     {"--device", "@LINK"},
                     {"pause after each byte sent: 7 ms (from @DIR/xdg/bootlink/config.toml)\n"},
                     {}},
        DefaultsCase{"the_file_a_variable_names", "pace = 1\n",
                     {{"XDG_CONFIG_HOME", "@DIR/xdg"}, {"BOOTLINK_CONFIG", "@DIR/xdg/bootlink/config.toml"}},
                     {"--device", "@LINK"},
                     {"pause after each byte sent: 7 ms (from @DIR/xdg/bootlink/config.toml)\n"},
                     {"1 ms"}},
        DefaultsCase{"no_config_reads_none", "pace = 1\n",
                     {{"XDG_CONFIG_HOME", "@DIR/xdg"}},
                     {"--device", "@LINK", "--no-config"},
                     {"resetting device\n"},
                     {"pause after each byte"}}),
    [](const auto& p) { return p.param.name; });

struct BadDefaults {
    std::string name;
    std::string toml;
    std::map<std::string, std::string> env;
    std::string out;  // the whole output
};

void PrintTo(const BadDefaults& c, std::ostream* os) { *os << c.name; }

class RefusedDefaults : public testing::TestWithParam<BadDefaults> {};

TEST_P(RefusedDefaults, EndTheRunBeforeTheLineIsOpened) {
    const auto& c = GetParam();
    temp_dir dir;
    write_file(dir.file("bootlink.toml"), c.toml);
    bootsim::device dev;
    run_options o = in_dir(dir.path());
    o.env = c.env;
    const auto r = run_tool(dev, {"--pace", "0", "--reset"}, o);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, device_echo(r) + "pause after each byte sent: 0 ms\n" + c.out);
    EXPECT_TRUE(dev.wire.empty()) << "something was sent";
}

INSTANTIATE_TEST_SUITE_P(
    Files, RefusedDefaults,
    testing::Values(
        BadDefaults{"out_of_range", "# the rack\nbaud = 20\n", {},
                    "ERROR: ./bootlink.toml line 2: 'baud' takes a line speed from 50 to 4000000 bit/s\n"},
        BadDefaults{"not_a_number", "timeout = \"long\"\n", {},
                    "ERROR: ./bootlink.toml line 1: 'timeout' takes a time from 1 to 600000 ms\n"},
        BadDefaults{"unknown_key", "baud = 115200\nspeed = 5\n", {},
                    "ERROR: ./bootlink.toml line 2: 'speed' is not a setting the file of defaults takes\n"},
        BadDefaults{"unknown_key_of_a_device", "[\"/dev/ttyUSB0\"]\neeprom-size = 512\n", {},
                    "ERROR: ./bootlink.toml line 2: 'eeprom-size' is not a setting of a device's own "
                    "(baud, pace, timeout, retries)\n"},
        BadDefaults{"does_not_parse", "baud = 115200\npace = = 0\n", {},
                    "ERROR: ./bootlink.toml line 2: Error while parsing value: could not determine value type\n"},
        BadDefaults{"variable_out_of_range", "", {{"BOOTLINK_TIMEOUT", "0"}},
                    "ERROR: BOOTLINK_TIMEOUT takes a time from 1 to 600000 ms, not '0'\n"},
        BadDefaults{"variable_names_no_file", "", {{"BOOTLINK_CONFIG", "/nonexistent/b.toml"}},
                    "ERROR: BOOTLINK_CONFIG names '/nonexistent/b.toml', which is not a file that can be read\n"}),
    [](const auto& p) { return p.param.name; });

TEST(Defaults, ShowConfigSaysWhereEachCameFromAndOpensNothing) {
    temp_dir dir;
    write_file(dir.file("bootlink.toml"), "baud = 115200\nflash-size = 65536\n");
    run_options o = in_dir(dir.path());
    o.env["BOOTLINK_PACE"] = "0";
    const auto r = run_plain({"--device", "/nonexistent/tty", "--show-config"}, o);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.out.ends_with("file of defaults: ./bootlink.toml\n"
                                "device       /nonexistent/tty             (from the command line)\n"
                                "baud         115200                       (from ./bootlink.toml)\n"
                                "pace         0                            (from BOOTLINK_PACE)\n"
                                "timeout      the action's (5000, or none) (built in)\n"
                                "retries      the action's (2, or 0)       (built in)\n"
                                "eeprom-size  256                          (built in)\n"
                                "flash-size   65536                        (from ./bootlink.toml)\n"))
        << r.out;
}

// The README's advice: name an adapter by its /dev/serial/by-id link, whose
// names run past 100 characters.
TEST(LongNames, AByIdLinkOfOverAHundredCharactersIsTheLine) {
    temp_dir dir;
    sim_process sim(dir.file("board"));
    std::string link = dir.file("by-id/usb-FTDI_FT232R_USB_UART_A10KXYZ-if00-port0");
    while (link.size() < 103) link.insert(link.size() - 11, "_");
    std::filesystem::create_directories(dir.file("by-id"));
    std::filesystem::create_symlink(sim.link(), link);
    const auto r = run_plain({"--device", link, "--pace", "0", "--readconfig"}, in_dir(dir.path()));
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(r.out.starts_with("using device " + link + " for serial comms\n")) << r.out;
    EXPECT_TRUE(r.out.ends_with("[OK => Read Configuration Memory]\n")) << r.out;
}

struct AfterEnd {
    std::string name;
    std::vector<std::string> args;
};

void PrintTo(const AfterEnd& c, std::ostream* os) { *os << c.name; }

class DataAfterTheEnd : public testing::TestWithParam<AfterEnd> {};

// `cat firmware.hex serial.hex`: the serial number after the firmware's end
// record would be lost; the whole-file actions refuse it, sending nothing.
TEST_P(DataAfterTheEnd, IsABadLineAndNothingIsSent) {
    temp_dir dir;
    const std::string firmware = read_file(kToolchain + "absolute.hex");
    write_file(dir.file("both.hex"), firmware + "\n" +
                                         intel_record(0, 4, {0x00, 0xF0}) + "\n" +
                                         intel_record(0x10, 0, {0x12, 0x34, 0x56, 0x78}) + "\n:00000001FF\n");
    const int lines = static_cast<int>(std::count(firmware.begin(), firmware.end(), '\n'));
    bootsim::device dev;
    auto args = GetParam().args;
    args.insert(args.end(), {"--pace", "0", "--hexfile", "both.hex"});
    const auto r = run_tool(dev, args, in_dir(dir.path()));
    EXPECT_EQ(r.status, 255) << r.out;
    for (int line = lines + 2; line <= lines + 4; ++line)
        EXPECT_NE(r.out.find("[ERROR, line " + std::to_string(line) + " of the hexfile: data after the end record]\n"),
                  std::string::npos)
            << line << "\n" << r.out;
    EXPECT_TRUE(r.out.ends_with("[ERROR, 3 lines of the hexfile cannot be programmed, nothing was sent]\n")) << r.out;
    EXPECT_TRUE(dev.wire.empty());
}

INSTANTIATE_TEST_SUITE_P(Actions, DataAfterTheEnd,
                         testing::Values(AfterEnd{"program", {"--program"}}, AfterEnd{"verify", {"--verify"}},
                                         AfterEnd{"writeeeprom", {"--writeeeprom"}}),
                         [](const auto& p) { return p.param.name; });

struct ConfigVerify {
    std::string name;
    int byte1;  // what configuration byte 0x300001 reads (absolute.hex gives 0xFA)
    int status;
    std::string line;
};

void PrintTo(const ConfigVerify& c, std::ostream* os) { *os << c.name; }

class VerifyConfig : public testing::TestWithParam<ConfigVerify> {};

TEST_P(VerifyConfig, ADifferenceFailsUnlessOnlyUnimplementedBitsReadZero) {
    const auto& c = GetParam();
    const auto want = intel_hex_bytes(read_file(kToolchain + "absolute.hex"));
    bootsim::device dev;
    for (const auto& [a, b] : want) {
        if (a < 0x200000) dev.flash[a] = b;
        if (a >= 0x200000 && a < 0x200008) dev.high[a] = b;  // ID locations: --verify compares them too
        if (a >= 0x300000 && a < 0x300010) dev.config[a - 0x300000] = b;
        if (a >= 0xF00000) dev.eeprom[a - 0xF00000] = b;
    }
    dev.config[1] = static_cast<uint8_t>(c.byte1);
    const auto r = run_tool(dev, {"--pace", "0", "--verify", "--hexfile", "absolute.hex"}, in_dir(kToolchain));
    EXPECT_EQ(r.status, c.status) << r.out;
    EXPECT_NE(r.out.find(c.line), std::string::npos) << r.out;
}

INSTANTIATE_TEST_SUITE_P(
    Bytes, VerifyConfig,
    testing::Values(ConfigVerify{"the_same", 0xFA, 0, "[OK => verified "},
                    ConfigVerify{"unimplemented_bits_read_zero", 0x7A, 0,
                                 "[note: configuration byte 0x300001 reads 0x7a, the file gives 0xfa: bits the part "
                                 "does not implement read as 0]\n"},
                    ConfigVerify{"a_one_where_the_file_has_zero", 0xFE, 255,
                                 "[ERROR, verify failed at 0x300001: expected 0xfa, read 0xfe]\n"
                                 "[ERROR, verify failed: 1 bytes differ]\n"}),
    [](const auto& p) { return p.param.name; });

TEST(Program, TheResultLineCountsConfigurationBytesLeftDifferent) {
    bootsim::device dev;
    const auto r = run_tool(dev, {"--pace", "0", "--program", "--hexfile", "absolute.hex"}, in_dir(kToolchain));
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(std::regex_search(r.out, std::regex("in [0-9.]+ s; 5 configuration bytes differ from the file "
                                                    "\\(--write-config writes them\\)\\]\n$")))
        << r.out;
}

// A board with its own bytes everywhere, backed up and restored onto another
// board: every memory the backup holds ends equal, blank bytes included.
TEST(Backup, ReadAllThenRestoreMakesASecondBoardEqual) {
    constexpr uint32_t FLASH = 0x8000;
    temp_dir dir;
    write_file(dir.file("bootlink.toml"), "flash-size = 32768\n");
    bootsim::device first;
    for (uint32_t a = 0; a < FLASH; ++a) first.flash[a] = a % 3 ? static_cast<uint8_t>(a * 7 + (a >> 9)) : 0xFF;
    for (uint32_t a = 0; a < 8; ++a) first.high[0x200000 + a] = static_cast<uint8_t>(0xA0 + a);
    for (uint32_t a = 0; a < 16; ++a) first.config[a] = static_cast<uint8_t>(0x11 * a);
    for (size_t a = 0; a < first.eeprom.size(); ++a) first.eeprom[a] = static_cast<uint8_t>(a ^ 0x5C);
    const auto saved = run_tool(first, {"--pace", "0", "--readall", "--output", "board.hex"}, in_dir(dir.path()));
    ASSERT_EQ(saved.status, 0) << saved.out;
    EXPECT_NE(saved.out.find("program memory of 32768 bytes (from ./bootlink.toml)\n"), std::string::npos);
    EXPECT_TRUE(saved.out.ends_with("[OK => Read the whole board: 32768 bytes of program memory, 8 of ID locations, 16 "
                                    "of configuration, 256 of EEPROM; Intel hex file written to board.hex]\n"))
        << saved.out;

    bootsim::device second;
    std::fill(second.flash.begin(), second.flash.begin() + FLASH, 0x00);
    second.eeprom.assign(second.eeprom.size(), 0x00);
    second.config.assign(16, 0x00);
    const auto restored = run_tool(second, {"--pace", "0", "--program", "--write-config", "--hexfile", "board.hex"},
                                   in_dir(dir.path()));
    ASSERT_EQ(restored.status, 0) << restored.out;
    for (uint32_t a = 0; a < FLASH; ++a) ASSERT_EQ(second.flash[a], first.flash[a]) << std::hex << a;
    for (uint32_t a = 0x200000; a < 0x200008; ++a) EXPECT_EQ(second.read_program(a), first.read_program(a)) << a;
    EXPECT_EQ(second.config, first.config);
    EXPECT_EQ(second.eeprom, first.eeprom);
    // The other board checks out against the backup too.
    const auto verified =
        run_tool(second, {"--pace", "0", "--verify", "--hexfile", "board.hex"}, in_dir(dir.path()));
    EXPECT_EQ(verified.status, 0) << verified.out;
}

TEST(Backup, NeedsTheSizeOfProgramMemoryAndAFile) {
    bootsim::device dev;
    temp_dir dir;
    auto r = run_tool(dev, {"--readall", "--output", "b.hex"}, in_dir(dir.path()));
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(r.out.ends_with("ERROR: --readall needs --flash-size N, the bytes of program memory of the part (on "
                                "the command line or in the file of defaults)\n"))
        << r.out;
    r = run_tool(dev, {"--readall", "--flash-size", "65536"}, in_dir(dir.path()));
    EXPECT_TRUE(r.out.ends_with("ERROR: --readall needs --output F, the file to save the board to\n")) << r.out;
    EXPECT_TRUE(dev.wire.empty());
}

TEST(Numbers, AStrayCharacterIsReadAsAlwaysButWarnedOf) {
    bootsim::device dev;
    const auto r = run_tool(dev, {"--quiet", "--readflash", "--bytes", "2", "--startaddr", "0X2A", "--output",
                                  "/dev/null/x"});
    EXPECT_NE(r.out.find("startaddr=0x0 (decimal: 0)\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.err, "bootlink: warning: '0X2A' read as 0: only 0x marks hexadecimal\n");
}

}  // namespace
