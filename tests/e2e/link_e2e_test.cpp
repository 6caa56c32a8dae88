// The option scan, the line and the first two commands end to end: the real
// binary against the simulated device over a pseudo-terminal. Output, exit
// status and the bytes that reached the device are compared exactly.

#include <algorithm>
#include <gtest/gtest.h>

#include "harness.hpp"

using namespace testing_support;

namespace {

std::string usage_text(const std::string& n) {
    return "To read from flash Memory: \n"
           "\tusage: " + n + " --readflash --bytes <n> --startaddr <x>\n"
           "\twhere n specifies the number of bytes to read\n"
           "\tand x the hexadecimal start address for the read with 0x prefix\n"
           "\t  eg: " + n + " --readflash --bytes 100 --startaddr 0x01320\n\n"
           "\nTo write to flash Memory: \n"
           "\tusage: " + n + " --writeflash --hexfile <filename>\n"
           "\twhere filename specifies the hexfile that contains the code to be burned to memory\n"
           "\t  eg: " + n + " --writeflash --hexfile test.hex\n\n"
           "\nTo erase to flash Memory: \n"
           "\tusage: " + n + " --eraseflash --rows <n> --startaddr <x>\n"
           "\twhere n specifies the number of rows (64 bytes) to delete\n"
           "\tand x the hexadecimal start address for the delete with 0x prefix\n"
           "\t  eg: " + n + " --eraseflash --rows 3 --startaddr 0x01320\n\n"
           "\nTo reset the device via bootloader: \n"
           "\tusage: " + n + " --reset\n"
           "To read from EEPROM Memory: \n"
           "\tusage: " + n + " --readeeprom --bytes <n> --startaddr <x>\n"
           "\twhere n specifies the number of bytes to read\n"
           "\tand x the hexadecimal start address for the read with 0x prefix\n"
           "\t  eg: " + n + " --readeeprom --bytes 16 --startaddr 0x80\n\n";
}

// The usage text: the original blocks as they stand, then the section on
// every option beyond them (checked against the option table on its own).
std::string full_usage() {
    const std::string help = run_plain({"--help"}).out;
    const size_t more = help.find("\nMore options:\n");
    if (more == std::string::npos) return "(no section on the other options)";
    return usage_text(BOOTLINK_BIN) + help.substr(more);
}

const std::string kUsage = full_usage();

TEST(ResetRun, TraceWireAndStatus) {
    bootsim::device dev;
    const auto r = run_tool(dev, {"--reset"});
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, device_echo(r) +
                         "resetting device\n"
                         "SENDing RESET: <STX><STX><0x00><0x00>{CHKSUM:<0x00>}<ETX>\n"
                         "[OK => RESET Device]\n");
    EXPECT_EQ(hex(received(dev)), "FF 0F 0F 00 00 00 04");
    EXPECT_EQ(dev.resets, 1);
    EXPECT_EQ(r.err, "");
}

TEST(EraseRun, CompleteRunAsDocumented) {
    bootsim::device dev;
    const auto r = run_tool(dev, {"--eraseflash", "--rows", "3", "--startaddr", "0x01320"});
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, device_echo(r) +
                         "rows to delete 0x3 (decimal 3)\n"
                         "startaddr=0x1320 (decimal: 4896)\n"
                         "action: erase flash\n"
                         "SENDing Erase Flash: <STX><STX><0x03><0x03><0x20><0x13><0x00>{CHKSUM:<0xc7>}<ETX>\n"
                         "RECEIVING: <STX><STX>{Packettype ERASE Flash}{CHKSUM<0xfd>}<ETX>\n"
                         "[OK => Erase Flash Program Memory]\n");
    EXPECT_EQ(hex(received(dev)), "FF 0F 0F 03 03 20 13 00 C7 04");
}

TEST(EraseRun, ErasesWholeRowsOnTheDevice) {
    bootsim::device dev;
    for (auto& b : dev.flash) b = 0x00;
    const auto r = run_tool(dev, {"--eraseflash", "--rows", "2", "--startaddr", "0x1010"});
    ASSERT_EQ(r.status, 0) << r.out;
    // The address is rounded down to its row: 0x1000..0x107F.
    EXPECT_EQ(dev.flash[0x0FFF], 0x00);
    EXPECT_EQ(dev.flash[0x1000], 0xFF);
    EXPECT_EQ(dev.flash[0x107F], 0xFF);
    EXPECT_EQ(dev.flash[0x1080], 0x00);
}

struct EscapeCase {
    std::vector<std::string> args;
    std::string request_trace;
    std::string wire;
};

void PrintTo(const EscapeCase& c, std::ostream* os) { *os << c.wire; }

class EraseEscapes : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(EraseEscapes, FieldsAndChecksumGoBehindDLE) {
    bootsim::device dev;
    std::vector<std::string> args{"--eraseflash"};
    args.insert(args.end(), GetParam().args.begin(), GetParam().args.end());
    const auto r = run_tool(dev, args);
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("SENDing Erase Flash: " + GetParam().request_trace), std::string::npos) << r.out;
    EXPECT_EQ(hex(received(dev)), GetParam().wire);
    ASSERT_EQ(dev.requests.size(), 1u);
    EXPECT_TRUE(dev.requests[0].checksum_ok);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, EraseEscapes,
    ::testing::Values(
        // 256 rows go out as a row count of 0 (one byte on the wire).
        EscapeCase{{"--rows", "256", "--startaddr", "0x40"},
                   "<STX><STX><0x03><0x00><0x40><0x00><0x00>{CHKSUM:<0xbd>}<ETX>\n",
                   "FF 0F 0F 03 00 40 00 00 BD 04"},
        // 5 is 0x05 = DLE on the wire.
        EscapeCase{{"--rows", "5", "--startaddr", "0x40"},
                   "<STX><STX><0x03><DLE><0x05><0x40><0x00><0x00>{CHKSUM:<0xb8>}<ETX>\n",
                   "FF 0F 0F 03 05 05 40 00 00 B8 04"},
        // Address 0x0F0400: high byte 0x04 (ETX) and upper byte 0x0F (STX) escaped.
        EscapeCase{{"--rows", "1", "--startaddr", "0x0F0400"},
                   "<STX><STX><0x03><0x01><0x00><DLE><0x04><DLE><0x0f>{CHKSUM:<0xe9>}<ETX>\n",
                   "FF 0F 0F 03 01 00 05 04 05 0F E9 04"},
        // A checksum of 0x04 goes behind a DLE too: 3 + 0xF9 + 0 + 0 + 0 = 0xFC.
        EscapeCase{{"--rows", "0xF9", "--startaddr", "0"},
                   "<STX><STX><0x03><0xf9><0x00><0x00><0x00>{CHKSUM:<DLE><0x04>}<ETX>\n",
                   "FF 0F 0F 03 F9 00 00 00 05 04 04"}));

TEST(Pacing, EveryByteSentIsFollowedByTenMilliseconds) {
    bootsim::device dev;
    const auto r = run_tool(dev, {"--eraseflash", "--rows", "261", "--startaddr", "0x0F0400"});
    ASSERT_EQ(r.status, 0);
    ASSERT_GE(dev.wire.size(), 10u);
    // Byte j left the host at least 10 ms after byte j-1. The device cannot
    // see when a byte was written, only that it came after the input was last
    // seen empty and before it was read, so however late the receiving thread
    // wakes on a busy machine, byte j is read at least 10 ms per byte between
    // them after byte i's window opened. A missing pause anywhere (after a
    // DLE, STX or ETX, say) shows as a gap of a few milliseconds at most.
    for (size_t i = 0; i < dev.wire.size(); ++i)
        for (size_t j = i + 1; j < dev.wire.size(); ++j)
            EXPECT_GE(dev.wire[j].ms - dev.wire[i].written_after_ms, 10.0 * static_cast<double>(j - i))
                << "bytes " << i << " and " << j;
}

struct ScanCase {
    std::string name;
    std::vector<std::string> args;
    int status;
    std::string out_after_device;  // expected output after the device echo
    std::string wire;              // expected bytes at the device
};

void PrintTo(const ScanCase& c, std::ostream* os) { *os << c.name; }

class OptionScan : public ::testing::TestWithParam<ScanCase> {};

TEST_P(OptionScan, OutputStatusAndWire) {
    const auto& c = GetParam();
    bootsim::device dev;
    const auto r = run_tool(dev, c.args, timeout(10000));
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, c.status);
    std::string expected = c.out_after_device;
    for (auto at = expected.find("@USAGE"); at != std::string::npos; at = expected.find("@USAGE"))
        expected.replace(at, 6, kUsage);
    EXPECT_EQ(r.out, device_echo(r) + expected);
    EXPECT_EQ(hex(received(dev)), c.wire);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OptionScan,
    ::testing::Values(
        ScanCase{"no_action", {}, 255, "You need to specify the action to take\n@USAGE", "FF"},
        ScanCase{"stray_arguments", {"--reset", "foo", "bar"}, 255,
                 "unknown arguments: foo bar \n@USAGE", "FF"},
        ScanCase{"last_action_wins", {"--readflash", "--reset"}, 0,
                 "resetting device\nSENDing RESET: <STX><STX><0x00><0x00>{CHKSUM:<0x00>}<ETX>\n"
                 "[OK => RESET Device]\n",
                 "FF 0F 0F 00 00 00 04"},
        // The file is read before the line is opened: nothing is sent without one.
        ScanCase{"write_eeprom_without_a_file", {"--writeeeprom"}, 254,
                 "ERROR: you need to specify --hexfile <filename>\nError: could not open hexfile ''\n"
                 "[reason: No such file or directory]\n",
                 ""},
        ScanCase{"erase_eeprom_past_its_end", {"--eraseeeprom", "--startaddr", "256"}, 255,
                 "startaddr=0x100 (decimal: 256)\naction: erase eeprom\n"
                 "[ERROR, address out of range. Device EEPROM address range is 0-255]\n",
                 "FF"},
        ScanCase{"erase_without_rows", {"--eraseflash", "--startaddr", "0x100"}, 255,
                 "startaddr=0x100 (decimal: 256)\naction: erase flash\n"
                 "ERROR: you need to specify both --rows and --startaddr\n",
                 "FF"},
        ScanCase{"erase_without_startaddr", {"--eraseflash", "-r", "2"}, 255,
                 "rows to delete 0x2 (decimal 2)\naction: erase flash\n"
                 "ERROR: you need to specify both --rows and --startaddr\n",
                 "FF"},
        ScanCase{"upper_case_hex_prefix_is_zero", {"--bytes", "0X1F", "--reset"}, 0,
                 "ERROR: malformed argument for '--bytes'\nwith 0x0 (decimal: 0) bytes\n"
                 "resetting device\nSENDing RESET: <STX><STX><0x00><0x00>{CHKSUM:<0x00>}<ETX>\n"
                 "[OK => RESET Device]\n",
                 "FF 0F 0F 00 00 00 04"},
        ScanCase{"hex_and_decimal_quirks", {"-b", "12abc", "-a", "0x", "-r", "0x1F", "--writeeeprom"},
                 254,
                 "with 0xc (decimal: 12) bytes\nstartaddr=0x0 (decimal: 0)\n"
                 "rows to delete 0x1f (decimal 31)\n"
                 "ERROR: you need to specify --hexfile <filename>\nError: could not open hexfile ''\n"
                 "[reason: No such file or directory]\n",
                 ""},
        ScanCase{"negative_hex_startaddr", {"--startaddr", "0x-5", "--eraseflash", "--rows", "1"}, 255,
                 "ERROR: malformed argument for '--startaddr'\nstartaddr=0xfffffffb (decimal: -5)\n"
                 "rows to delete 0x1 (decimal 1)\naction: erase flash\n"
                 "ERROR: you need to specify both --rows and --startaddr\n",
                 "FF"},
        ScanCase{"number_too_long",
                 {"--rows", std::string(64, '1'), "--eraseflash", "--startaddr", "0"}, 255,
                 "ERROR: option too long\nERROR: malformed argument for '--rows'\n"
                 "rows to delete 0xffffffff (decimal -1)\nstartaddr=0x0 (decimal: 0)\n"
                 "action: erase flash\nERROR: you need to specify both --rows and --startaddr\n",
                 "FF"},
        ScanCase{"hexfile_echo", {"-f", "prog.hex", "--reset"}, 0,
                 "using hexfile 'prog.hex'\nresetting device\n"
                 "SENDing RESET: <STX><STX><0x00><0x00>{CHKSUM:<0x00>}<ETX>\n[OK => RESET Device]\n",
                 "FF 0F 0F 00 00 00 04"}),
    [](const auto& p) { return p.param.name; });

TEST(OptionScan, HelpEndsTheRunBeforeTheDeviceIsOpened) {
    bootsim::device dev;
    const auto r = run_tool(dev, {"--rows", "3", "--help", "--reset"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, device_echo(r) + "rows to delete 0x3 (decimal 3)\nHelp:\n" + kUsage);
    EXPECT_TRUE(dev.wire.empty());
}

struct Unhonoured {
    std::string name;
    std::vector<std::string> args;
    std::string err;  // part of the scanner's diagnostic
    std::string out;  // after the echo of the options before it
};

void PrintTo(const Unhonoured& c, std::ostream* os) { *os << c.name; }

class OptionRefused : public ::testing::TestWithParam<Unhonoured> {};

// What the run cannot honour ends it before the line is opened.
TEST_P(OptionRefused, BeforeAnythingIsOpened) {
    const auto& c = GetParam();
    bootsim::device dev;
    const auto r = run_tool(dev, c.args);
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
    EXPECT_TRUE(r.out.ends_with(c.out)) << r.out;
    EXPECT_TRUE(dev.wire.empty());
    EXPECT_EQ(dev.sessions, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Table, OptionRefused,
    ::testing::Values(
        Unhonoured{"another_tools_spelling", {"--port=/dev/ttyUSB0", "--reset"}, "unrecognized option",
                   "ERROR: see --help for the options\n"},
        Unhonoured{"missing_argument", {"--reset", "--timeout"}, "requires an argument",
                   "ERROR: see --help for the options\n"},
        Unhonoured{"run_after_a_single_step", {"--writeflash", "--hexfile", "f.hex", "--run"}, "",
                   "ERROR: '--run' is not used by --writeflash: see --help for the options\n"},
        Unhonoured{"bytes_with_program", {"--program", "--hexfile", "f.hex", "--bytes", "100"}, "",
                   "ERROR: '--bytes' is not used by --program: see --help for the options\n"}),
    [](const auto& p) { return p.param.name; });

// Longer than any path the system takes (PATH_MAX less its zero).
TEST(OptionScan, OverlongPathEndsTheRunWithoutTouchingAnyDevice) {
    const std::string long_path = "/dev/" + std::string(4091, 'x');  // 4096 characters
    auto r = run_plain({"--device", long_path, "--reset"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "ERROR: argument for '--device' too long\n");

    bootsim::device dev;
    r = run_tool(dev, {"--hexfile", std::string(4096, 'h'), "--writeflash"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, device_echo(r) + "ERROR: argument for '--hexfile' too long\n");
    EXPECT_TRUE(dev.wire.empty());
}

TEST(OptionScan, PathOfTheLongestLengthIsAccepted) {
    std::string path = "/nonexistent";
    while (path.size() < 4095) path += "/" + std::string(std::min<size_t>(200, 4094 - path.size()), 'y');
    const auto r = run_plain({"--device", path, "--reset"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "using device " + path + " for serial comms\n" +
                         "ERROR: could not open serial device '" + path + "'\n" + "[reason: No such file or directory; bootlink --list-devices lists the serial devices]\n");
}

TEST(OptionScan, DefaultDeviceThatCannotBeOpenedEndsTheRun) {
    const auto r = run_plain({"--reset", "--device", "/nonexistent/ttyUSB9"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "using device /nonexistent/ttyUSB9 for serial comms\n"
                     "ERROR: could not open serial device '/nonexistent/ttyUSB9'\n"
                     "[reason: No such file or directory; bootlink --list-devices lists the serial devices]\n");
}

struct FaultCase {
    std::string name;
    std::string fault;
    std::string reply_trace;  // what follows "RECEIVING: "
    int status;
};

void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }

class EraseReplyFaults : public ::testing::TestWithParam<FaultCase> {};

TEST_P(EraseReplyFaults, ReportedAndStatus) {
    const auto& c = GetParam();
    bootsim::device dev;
    dev.faults.push_back(*bootsim::parse_fault(c.fault));
    const auto r = run_tool(dev, {"--eraseflash", "--rows", "3", "--startaddr", "0x01320"}, timeout(10000));
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, device_echo(r) +
                         "rows to delete 0x3 (decimal 3)\n"
                         "startaddr=0x1320 (decimal: 4896)\n"
                         "action: erase flash\n"
                         "SENDing Erase Flash: <STX><STX><0x03><0x03><0x20><0x13><0x00>{CHKSUM:<0xc7>}<ETX>\n"
                         "RECEIVING: " + c.reply_trace);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, EraseReplyFaults,
    ::testing::Values(
        FaultCase{"wrong_start", "wrong-start=0x00", "\n[ERROR, expected STX, got 0x00]\n", 255},
        FaultCase{"wrong_echo", "wrong-echo=0x01",
                  "<STX><STX>{Packettype READ Flash}\n[ERROR, expected PacketType 0x03, but got 0x01]\n", 255},
        FaultCase{"unknown_echo", "wrong-echo=0x42",
                  "<STX><STX>{Packettype UNKNOWN}\n[ERROR, expected PacketType 0x03, but got 0x42]\n", 255},
        // The reply checksum is shown, never checked.
        // A reply damaged on the line is no acknowledgement.
        FaultCase{"bad_checksum_refused", "bad-checksum=0x01",
                  "<STX><STX>{Packettype ERASE Flash}{CHKSUM<0xfc>}\n"
                  "[ERROR, reply checksum 0xfc, the reply's bytes give 0xfd: damaged on the line]\n",
                  255},
        FaultCase{"line_closed_mid_reply", "close-mid-reply=3",
                  "<STX><STX>{Packettype ERASE Flash}{CHKSUM\n"
                  "[ERROR, could not read from serial device (end of file)]\n",
                  255}),
    [](const auto& p) { return p.param.name; });

TEST(EraseReplyFaults, DeviceThatNeverAnswersLeavesTheToolWaiting) {
    bootsim::device dev;
    dev.faults.push_back({bootsim::fault_kind::no_answer});
    const auto r = run_tool(dev, {"--eraseflash", "--rows", "1", "--startaddr", "0"}, timeout(1500));
    EXPECT_TRUE(r.timed_out);
    // Everything up to the wait is visible: output is flushed before each read.
    EXPECT_TRUE(r.out.ends_with("RECEIVING: ")) << r.out;
}

}  // namespace
