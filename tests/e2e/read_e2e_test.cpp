// Reading the device end to end: data EEPROM dumps, program memory dumps and
// the out.hex they leave behind, against the simulated device.

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

#include "harness.hpp"
#include "hexdata.hpp"

using namespace testing_support;

namespace {

std::string dump_line(uint32_t address, uint8_t b) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%06x\t%02x\n", address, b);
    return buf;
}

// "{CHKSUM<0x..>}" of a read reply: two's complement of code, fields and data.
std::string reply_checksum(uint8_t code, uint8_t length, uint32_t address, const std::vector<uint8_t>& data) {
    unsigned sum = code + length + (address & 0xFF) + ((address >> 8) & 0xFF) + ((address >> 16) & 0xFF);
    for (uint8_t b : data) sum += b;
    char buf[32];
    std::snprintf(buf, sizeof buf, "{CHKSUM<0x%02x>}", (256 - (sum & 0xFF)) & 0xFF);
    return buf;
}

size_t count(const std::string& haystack, const std::string& needle) {
    size_t n = 0;
    for (auto at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1)) ++n;
    return n;
}

// ---- data EEPROM ----

TEST(ReadEeprom, DocumentedExampleWithEscapedReplyBytes) {
    bootsim::device dev;
    const std::vector<uint8_t> data{0xAB, 0x04, 0x05, 0x0F};
    std::copy(data.begin(), data.end(), dev.eeprom.begin() + 0x10);
    const auto r = run_tool(dev, {"--readeeprom", "--bytes", "4", "--startaddr", "0x10"});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, device_echo(r) +
                         "with 0x4 (decimal: 4) bytes\n"
                         "startaddr=0x10 (decimal: 16)\n"
                         "action: read eeprom\n"
                         "SENDing: Read EEPROM: <STX><STX><DLE><0x04><DLE><0x04><0x10><0x00><0x00>{CHKSUM:<0xe8>}<ETX>\n"
                         "RECEIVING: <STX><STX>{Packettype READ EE}size = 0x04\n"
                         "Data Dump: \n"
                         "0x000010\tab\n0x000011\t04\n0x000012\t05\n0x000013\t0f\n" +
                         reply_checksum(0x04, 4, 0x10, data) + "<ETX>\n<ETX>\n[OK => Read EEPROM Data Memory]\n");
    EXPECT_EQ(hex(received(dev)), "FF 0F 0F 05 04 05 04 10 00 00 E8 04");
}

struct EepromCase {
    std::string name;
    std::vector<std::string> args;
    std::string fault;
    int status;
    std::vector<std::pair<int, int>> requests;  // (length, address) the device must see
    std::vector<uint32_t> dumped;               // addresses of the dump lines
    std::string must_contain;
};

void PrintTo(const EepromCase& c, std::ostream* os) { *os << c.name; }

std::vector<uint32_t> range(uint32_t from, uint32_t n) {
    std::vector<uint32_t> v;
    for (uint32_t i = 0; i < n; ++i) v.push_back(from + i);
    return v;
}

class ReadEepromCases : public ::testing::TestWithParam<EepromCase> {};

TEST_P(ReadEepromCases, RequestsAndDump) {
    const auto& c = GetParam();
    bootsim::device dev;
    for (uint32_t i = 0; i < bootsim::EEPROM_BYTES; ++i) dev.eeprom[i] = static_cast<uint8_t>(i ^ 0x5A);
    if (!c.fault.empty()) dev.faults.push_back(*bootsim::parse_fault(c.fault));
    std::vector<std::string> args{"--readeeprom"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const auto r = run_tool(dev, args, timeout(20000));
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, c.status) << r.out;
    ASSERT_EQ(dev.requests.size(), c.requests.size());
    for (size_t i = 0; i < c.requests.size(); ++i) {
        EXPECT_EQ(dev.requests[i].count, c.requests[i].first) << i;
        EXPECT_EQ(dev.requests[i].address, static_cast<uint32_t>(c.requests[i].second)) << i;
        EXPECT_TRUE(dev.requests[i].checksum_ok);
    }
    std::string dump;
    for (uint32_t a : c.dumped) dump += dump_line(a, dev.eeprom[a % 256]);
    std::string got;
    for (size_t at = r.out.find("\n0x"); at != std::string::npos; at = r.out.find("\n0x", at + 1))
        got += r.out.substr(at + 1, r.out.find('\n', at + 1) - at);
    EXPECT_EQ(got, dump);
    EXPECT_NE(r.out.find(c.must_contain), std::string::npos) << r.out;
    EXPECT_EQ(count(r.out, "[OK => Read EEPROM Data Memory]\n"), c.status == 0 ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ReadEepromCases,
    ::testing::Values(
        EepromCase{"last_address", {"--bytes", "1", "--startaddr", "255"}, "", 0, {{1, 255}}, {255}, "size = 0x01\n"},
        EepromCase{"address_out_of_range", {"--bytes", "1", "--startaddr", "256"}, "", 255, {}, {},
                   "action: read eeprom\n[ERROR, address out of range. Device EEPROM address range is 0-255]\n"},
        EepromCase{"missing_bytes", {"--startaddr", "0"}, "", 255, {}, {},
                   "ERROR: you need to specify both --bytes and --startaddr\n"},
        EepromCase{"truncated_to_the_part", {"--bytes", "300", "--startaddr", "0x80"}, "", 0, {{0x80, 0x80}},
                   range(0x80, 128), "[device has only 256 bytes EEPROM, truncating request]\n"},
        // 256 bytes do not fit the length byte: two requests, 251 + 5.
        EepromCase{"whole_part_in_two_requests", {"--bytes", "300", "--startaddr", "0"}, "", 0,
                   {{251, 0}, {5, 251}}, range(0, 256), "size = 0x05\n"},
        // Addresses past 255 do not exist: cut to the end of the part.
        EepromCase{"past_the_end_shortened", {"--bytes", "16", "--startaddr", "250"}, "", 0, {{6, 250}},
                   range(250, 6), "[device has only 256 bytes EEPROM, truncating request]\n"},
        // A reply for another address or length is refused before its data.
        EepromCase{"reply_names_another_address", {"--bytes", "4", "--startaddr", "0x10"}, "wrong-address=0x12", 255,
                   {{4, 0x10}}, {},
                   "size = 0x04\nData Dump: \n\n[ERROR, reply for 4 bytes at 0x000012, requested 4 bytes at 0x000010]\n"},
        EepromCase{"reply_of_length_zero", {"--bytes", "4", "--startaddr", "0x10"}, "wrong-length=0", 255,
                   {{4, 0x10}}, {},
                   "size = 0x00\nData Dump: \n\n[ERROR, reply for 0 bytes at 0x000010, requested 4 bytes at 0x000010]\n"}),
    [](const auto& p) { return p.param.name; });

// ---- program memory ----

TEST(ReadFlash, DocumentedExampleAndItsOutHex) {
    bootsim::device dev;
    const std::vector<uint8_t> data{0x12, 0x34, 0x56, 0x78};
    std::copy(data.begin(), data.end(), dev.flash.begin() + 0x1320);
    temp_dir dir;
    const run_options o = in_dir(dir.path());
    const auto r = run_tool(dev, {"--readflash", "--bytes", "4", "--startaddr", "0x01320"}, o);
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, device_echo(r) +
                         "with 0x4 (decimal: 4) bytes\n"
                         "startaddr=0x1320 (decimal: 4896)\n"
                         "action: read flash\n"
                         "SENDing: Read Flash: <STX><STX><0x01><DLE><0x04><0x20><0x13><0x00>{CHKSUM:<0xc8>}<ETX>\n"
                         "RECEIVING: <STX><STX>{Packettype READ Flash}size = 0x04\n"
                         "Data Dump: \n"
                         "0x001320\t12\n0x001321\t34\n0x001322\t56\n0x001323\t78\n" +
                         reply_checksum(0x01, 4, 0x1320, data) +
                         "<ETX>\n"
                         "[no of words dumped to hex file: 2\n"
                         "<ETX>\n"
                         "[OK => Read Flash Program Memory, INHEX16 file written to out.hex]\n");
    EXPECT_EQ(read_file(dir.file("out.hex")), ":020990003412785651\n:00000001FF\n");
}

struct FlashCase {
    std::string name;
    std::vector<std::string> args;
    std::string fault;
    std::string out_hex;
    std::string must_contain;
};

void PrintTo(const FlashCase& c, std::ostream* os) { *os << c.name; }

class ReadFlashCases : public ::testing::TestWithParam<FlashCase> {};

TEST_P(ReadFlashCases, OutHexAsExpected) {
    const auto& c = GetParam();
    bootsim::device dev;
    const uint8_t data[] = {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0, 0x11, 0x22, 0x33, 0x44};
    for (uint32_t base : {0x0020u, 0x0100u, 0x1FFF8u, 0x300000u})
        for (uint32_t i = 0; i < sizeof data; ++i) {
            if (base < bootsim::FLASH_BYTES)
                dev.flash[base + i] = data[i];
            else
                dev.config[base - bootsim::CONFIG_ADDRESS + i] = data[i];
        }
    if (!c.fault.empty()) dev.faults.push_back(*bootsim::parse_fault(c.fault));
    temp_dir dir;
    const run_options o = in_dir(dir.path());
    std::vector<std::string> args{"--readflash"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const auto r = run_tool(dev, args, o);
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(read_file(dir.file("out.hex")), c.out_hex);
    EXPECT_NE(r.out.find(c.must_contain), std::string::npos) << r.out;
}

INSTANTIATE_TEST_SUITE_P(
    Table, ReadFlashCases,
    ::testing::Values(
        // Bytes 0x101-0x104 touch words 0x80-0x82; the bytes 0x100 and 0x105,
        // never read, are saved as FF so writing the file back leaves them.
        FlashCase{"odd_start_address", {"--bytes", "4", "--startaddr", "0x101"}, "",
                  ":0300800034FF7856FF9AE3\n:00000001FF\n",
                  "0x000104\t9a\n{CHKSUM<0x5d>}<ETX>\n[no of words dumped to hex file: 3\n"},
        FlashCase{"one_byte_gives_one_word", {"--bytes", "1", "--startaddr", "0x20"}, "",
                  ":01001000FF12DE\n:00000001FF\n", "[no of words dumped to hex file: 1\n"},
        FlashCase{"nine_words_make_two_records", {"--bytes", "18", "--startaddr", "0x100"}, "",
                  ":0800800034127856BC9AF0DE22114433FFFFFFFF9A\n:01008800FFFF79\n:00000001FF\n",
                  "[no of words dumped to hex file: 9\n"},
        // Across the top of what out.hex can address: the words below 0x10000 are
        // saved, the rest is dumped and named.
        FlashCase{"across_the_top_of_the_image", {"--bytes", "16", "--startaddr", "0x1FFF8"}, "",
                  ":04FFFC0034127856BC9AF0DEC9\n:00000001FF\n",
                  "0x020003\t44\n0x020004\tff\n"},
        // Configuration space: every byte dumped, nothing stored, only the end record saved.
        FlashCase{"configuration_space", {"--bytes", "8", "--startaddr", "0x300000"}, "", ":00000001FF\n",
                  "0x300007\tf0\n{CHKSUM"}),
    [](const auto& p) { return p.param.name; });

struct WrongReply {
    std::string fault;
    std::string error;
};

void PrintTo(const WrongReply& c, std::ostream* os) { *os << c.fault; }

class ReadFlashWrongReply : public ::testing::TestWithParam<WrongReply> {};

TEST_P(ReadFlashWrongReply, RefusedBeforeItsDataAndOutHexLeftAlone) {
    bootsim::device dev;
    dev.faults.push_back(*bootsim::parse_fault(GetParam().fault));
    temp_dir dir;
    write_file(dir.file("out.hex"), "keep me\n");
    const auto r = run_tool(dev, {"--readflash", "--bytes", "8", "--startaddr", "0x20"}, in_dir(dir.path()));
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(r.out.ends_with("Data Dump: \n\n" + GetParam().error)) << r.out;
    EXPECT_EQ(read_file(dir.file("out.hex")), "keep me\n");
}

INSTANTIATE_TEST_SUITE_P(
    Faults, ReadFlashWrongReply,
    ::testing::Values(
        WrongReply{"wrong-address=0x30", "[ERROR, reply for 8 bytes at 0x000030, requested 8 bytes at 0x000020]\n"},
        // Below the request: the old tool waited for bytes that never came.
        WrongReply{"wrong-address=0x10", "[ERROR, reply for 8 bytes at 0x000010, requested 8 bytes at 0x000020]\n"},
        WrongReply{"wrong-length=0", "[ERROR, reply for 0 bytes at 0x000020, requested 8 bytes at 0x000020]\n"},
        WrongReply{"wrong-length=9", "[ERROR, reply for 9 bytes at 0x000020, requested 8 bytes at 0x000020]\n"}));

TEST(ReadFlash, WhatOutHexCannotHoldIsNamed) {
    bootsim::device dev;
    temp_dir dir;
    const run_options o = in_dir(dir.path());
    auto r = run_tool(dev, {"--readflash", "--bytes", "16", "--startaddr", "0x1FFF8"}, o);
    ASSERT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("[no of words dumped to hex file: 4\n<ETX>\n"
                         "[out.hex holds word addresses up to 0xFFFF only: bytes 0x020000 to 0x020007 are dumped "
                         "above but not in it]\n[OK => "),
              std::string::npos)
        << r.out;
    r = run_tool(dev, {"--readflash", "--bytes", "8", "--startaddr", "0x300000"}, o);
    EXPECT_NE(r.out.find("[no of words dumped to hex file: 0\n<ETX>\n"
                         "[out.hex holds word addresses up to 0xFFFF only: bytes 0x300000 to 0x300007 are dumped "
                         "above but not in it]\n"),
              std::string::npos)
        << r.out;
}

TEST(ReadFlash, LongReadsAreSplitAndSavedWhole) {
    for (const int bytes : {300, 4096}) {
        bootsim::device dev;
        std::mt19937 rng(bytes);
        for (uint32_t i = 0; i < 0x4000; ++i) dev.flash[i] = static_cast<uint8_t>(rng());
        temp_dir dir;
        const run_options o = in_dir(dir.path());
        const auto r = run_tool(dev, {"--readflash", "--bytes", std::to_string(bytes), "--startaddr", "0x400"}, o);
        ASSERT_EQ(r.status, 0) << r.out;
        // Consecutive requests of 251 bytes, the last with the rest.
        const size_t n = static_cast<size_t>((bytes + 250) / 251);
        ASSERT_EQ(dev.requests.size(), n);
        for (size_t i = 0; i < n; ++i) {
            EXPECT_EQ(dev.requests[i].address, 0x400u + 251u * i);
            EXPECT_EQ(dev.requests[i].count, i + 1 < n ? 251 : bytes - 251 * static_cast<int>(n - 1));
        }
        EXPECT_EQ(count(r.out, "SENDing: Read Flash: "), n);
        EXPECT_EQ(count(r.out, "[no of words dumped to hex file: "), 1u);
        EXPECT_EQ(count(r.out, "[OK => "), 1u);
        EXPECT_NE(r.out.find("[no of words dumped to hex file: " + std::to_string(bytes / 2) + "\n"), std::string::npos);
        const auto words = inhx16_words(read_file(dir.file("out.hex")));
        ASSERT_EQ(words.size(), static_cast<size_t>(bytes / 2));
        for (const auto& [wa, w] : words) {
            ASSERT_EQ(w, dev.flash[2 * wa] | (dev.flash[2 * wa + 1] << 8)) << "word " << wa;
            ASSERT_GE(wa, 0x200u);
        }
    }
}

TEST(ReadFlash, PeakMemoryStaysUnderFourMebibytes) {
#ifdef BOOTLINK_SANITIZED
    GTEST_SKIP() << "sanitizer shadow memory";
#endif
    bootsim::device dev;
    temp_dir dir;
    const auto r = run_tool(dev, {"--readflash", "--bytes", "1024", "--startaddr", "0"}, in_dir(dir.path()));
    ASSERT_EQ(r.status, 0);
    EXPECT_GT(r.maxrss_kb, 0);
    EXPECT_LT(r.maxrss_kb, 4096) << r.maxrss_kb;
}

TEST(ReadFlash, ProtocolErrorLeavesAnExistingOutHexAlone) {
    bootsim::device dev;
    dev.faults.push_back({bootsim::fault_kind::bad_checksum, 0, -1});
    dev.faults.push_back({bootsim::fault_kind::wrong_echo, 0x03, -1});
    temp_dir dir;
    write_file(dir.file("out.hex"), "keep me\n");
    const run_options o = in_dir(dir.path());
    const auto r = run_tool(dev, {"--readflash", "--bytes", "4", "--startaddr", "0"}, o);
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(r.out.find("{Packettype ERASE Flash}\n[ERROR, expected PacketType 0x01, but got 0x03]\n"),
              std::string::npos);
    EXPECT_EQ(read_file(dir.file("out.hex")), "keep me\n");
}

TEST(ReadFlash, OutHexThatCannotBeCreatedFailsTheRun) {
    bootsim::device dev;
    temp_dir dir;
    ASSERT_EQ(mkdir(dir.file("out.hex").c_str(), 0755), 0);  // a directory is in the way
    const run_options o = in_dir(dir.path());
    const auto r = run_tool(dev, {"--readflash", "--bytes", "4", "--startaddr", "0"}, o);
    EXPECT_EQ(r.status, 255);
    // Refused before the line is opened: nothing is read for a file that cannot be saved.
    EXPECT_EQ(r.out, device_echo(r) + "with 0x4 (decimal: 4) bytes\nstartaddr=0x0 (decimal: 0)\n"
                                      "Error: could not create file 'out.hex' (Is a directory)\n");
    EXPECT_TRUE(dev.wire.empty());
}

TEST(ReadFlash, OutHexThatCannotBeWrittenIsRemovedAndFailsTheRun) {
    bootsim::device dev;
    temp_dir dir;
    run_options o = in_dir(dir.path());
    o.file_size_limit = 16;  // the disk fills up part way through the file
    const auto r = run_tool(dev, {"--readflash", "--bytes", "4", "--startaddr", "0"}, o);
    EXPECT_EQ(r.status, 255);
    const std::string tail =
        "[no of words dumped to hex file: 2\n<ETX>\nError: could not write file 'out.hex' (File too large)\n";
    ASSERT_GE(r.out.size(), tail.size());
    EXPECT_TRUE(r.out.ends_with(tail)) << r.out;
    EXPECT_TRUE(std::filesystem::is_empty(dir.path())) << "a partial file was left behind";
}

TEST(ReadFlash, OutHexThatIsALinkIsReplacedNotFollowed) {
    bootsim::device dev;
    dev.flash[0] = 0x12;
    dev.flash[1] = 0x34;
    temp_dir dir;
    write_file(dir.file("precious.txt"), "not a dump\n");
    ASSERT_EQ(symlink("precious.txt", dir.file("out.hex").c_str()), 0);
    const auto r = run_tool(dev, {"--readflash", "--bytes", "2", "--startaddr", "0"}, in_dir(dir.path()));
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(read_file(dir.file("precious.txt")), "not a dump\n");
    EXPECT_TRUE(std::filesystem::is_regular_file(std::filesystem::symlink_status(dir.file("out.hex"))));
    EXPECT_EQ(read_file(dir.file("out.hex")), ":010000003412B9\n:00000001FF\n");
}

TEST(ReadFlash, MissingSettingsAreRefused) {
    bootsim::device dev;
    const auto r = run_tool(dev, {"--readflash", "--bytes", "0", "--startaddr", "0"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, device_echo(r) +
                         "ERROR: malformed argument for '--bytes'\nwith 0x0 (decimal: 0) bytes\n"
                         "startaddr=0x0 (decimal: 0)\naction: read flash\n"
                         "ERROR: you need to specify both --bytes and --startaddr\n");
    EXPECT_EQ(hex(received(dev)), "FF");
}

}  // namespace
