// Programming the device from hex files end to end: the documented INHX16
// requests, fills, errors and statuses, and files laid out the way compilers
// write them, checked byte for byte in the simulated device's memory.

#include <gtest/gtest.h>

#include <cstdio>
#include <random>

#include "harness.hpp"
#include "hexdata.hpp"

using namespace testing_support;

namespace {

// An INHX16 (word-form) record with a correct checksum.
std::string word_record(int word_address, const std::vector<int>& words) {
    unsigned sum = words.size() + (word_address >> 8) + (word_address & 0xFF);
    char buf[16];
    std::snprintf(buf, sizeof buf, ":%02X%04X00", static_cast<unsigned>(words.size()), word_address);
    std::string s = buf;
    for (int w : words) {
        std::snprintf(buf, sizeof buf, "%04X", w);
        s += buf;
        sum += (w >> 8) + (w & 0xFF);
    }
    std::snprintf(buf, sizeof buf, "%02X\n", (256 - (sum & 0xFF)) & 0xFF);
    return s + buf;
}

// Writes `hex` to f.hex in a fresh directory and runs --writeflash on it there.
struct write_run {
    temp_dir dir;
    run_result r;
    write_run(bootsim::device& dev, const std::string& hex, std::vector<std::string> extra = {}) {
        write_file(dir.file("f.hex"), hex);
        const run_options o = in_dir(dir.path());
        std::vector<std::string> args{"--writeflash", "--hexfile", "f.hex"};
        args.insert(args.end(), extra.begin(), extra.end());
        r = run_tool(dev, args, o);
    }
};

std::string head(const run_result& r) { return device_echo(r) + "using hexfile 'f.hex'\naction: write flash\n"; }

std::vector<uint8_t> bytes_at(const bootsim::device& dev, uint32_t from, size_t n) {
    return {dev.flash.begin() + from, dev.flash.begin() + from + n};
}

TEST(WriteFlash, DocumentedWordFormRecord) {
    bootsim::device dev;
    write_run w(dev, ":04001000123456789ABCDEF0B4\n:00000001FF\n");
    ASSERT_EQ(w.r.status, 0) << w.r.out;
    EXPECT_EQ(w.r.out, head(w.r) +
                           "line read from hexfile had startaddress=0x0020 with length 8bytes\n"
                           "SENDing: Write Flash: <STX><STX><0x02><0x01><0x20><0x00><0x00><0x34><0x12><0x78><0x56>"
                           "<0xbc><0x9a><0xf0><0xde>{CHKSUM:<0xa5>}<ETX>\n"
                           "RECEIVING: <STX><STX>{Packettype WRITE Flash}{CHKSUM<0xfe>}<ETX>\n"
                           "[OK => Acknowledged Write Flash Program Memory]\n");
    EXPECT_EQ(hex(received(dev)), "FF 0F 0F 02 01 20 00 00 34 12 78 56 BC 9A F0 DE A5 04");
    EXPECT_EQ(bytes_at(dev, 0x1E, 12),
              (std::vector<uint8_t>{0xFF, 0xFF, 0x34, 0x12, 0x78, 0x56, 0xBC, 0x9A, 0xF0, 0xDE, 0xFF, 0xFF}));
}

struct FillCase {
    std::string name;
    std::string hex;
    std::string notes;      // printed between the "line read" line and the request
    uint32_t address;       // of the one write request
    std::vector<uint8_t> data;
};

void PrintTo(const FillCase& c, std::ostream* os) { *os << c.name; }

class WriteFill : public ::testing::TestWithParam<FillCase> {};

TEST_P(WriteFill, PaddedToWholeAlignedBlocks) {
    const auto& c = GetParam();
    bootsim::device dev;
    write_run w(dev, c.hex);
    ASSERT_EQ(w.r.status, 0) << w.r.out;
    EXPECT_NE(w.r.out.find("bytes\n" + c.notes + "SENDing: Write Flash: "), std::string::npos) << w.r.out;
    ASSERT_EQ(dev.requests.size(), 1u);
    EXPECT_EQ(dev.requests[0].address, c.address);
    EXPECT_EQ(dev.requests[0].count * 8u, c.data.size());
    EXPECT_EQ(dev.requests[0].data, c.data);
    EXPECT_TRUE(dev.requests[0].checksum_ok);
    EXPECT_EQ(bytes_at(dev, c.address, c.data.size()), c.data);
}

const std::vector<uint8_t> ff6(6, 0xFF);

INSTANTIATE_TEST_SUITE_P(
    Table, WriteFill,
    ::testing::Values(
        FillCase{"one_word", word_record(0x08, {0xABCD}),
                 "[less than eight bytes for flash op, filling up with 0xFF]\n", 0x10,
                 {0xCD, 0xAB, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
        FillCase{"six_words", word_record(0x10, {1, 2, 3, 4, 5, 6}),
                 "[not multiple of 8, filling memory with 0xFF]\n", 0x20,
                 {1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6, 0, 0xFF, 0xFF, 0xFF, 0xFF}},
        // Intel hex: 4 bytes at 0x0006 touch the blocks at 0 and 8.
        FillCase{"bytes_across_a_block_boundary", ":04000600112233444C\n",
                 "[less than eight bytes for flash op, filling up with 0xFF]\n", 0x0000,
                 {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x11, 0x22, 0x33, 0x44, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
        FillCase{"odd_count_unaligned", ":09000300010203040506070809C7\n",
                 "[not aligned to 8-byte blocks, filling memory with 0xFF]\n", 0x0000,
                 {0xFF, 0xFF, 0xFF, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0xFF, 0xFF, 0xFF, 0xFF}},
        FillCase{"ten_bytes_aligned", ":0A00100000010203040506070809B9\n",
                 "[not multiple of 8, filling memory with 0xFF]\n", 0x0010,
                 {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
        FillCase{"sixteen_bytes_aligned", ":10002000000102030405060708090A0B0C0D0E0F58\n", "", 0x0020,
                 {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}},
        // Extended linear address 0x0001: the data lands at 0x10008.
        FillCase{"extended_linear_address", ":020000040001F9\n:08000800A1A2A3A4A5A6A7A8CC\n", "", 0x10008,
                 {0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8}}),
    [](const auto& p) { return p.param.name; });

struct StatusCase {
    std::string name;
    std::string hex;
    int status;
    size_t requests;
    std::string tail;  // how the output ends
};

void PrintTo(const StatusCase& c, std::ostream* os) { *os << c.name; }

class WriteStatus : public ::testing::TestWithParam<StatusCase> {};

TEST_P(WriteStatus, EveryLineTriedAndTheOutcomeHonest) {
    const auto& c = GetParam();
    bootsim::device dev;
    write_run w(dev, c.hex);
    EXPECT_EQ(w.r.status, c.status) << w.r.out;
    EXPECT_EQ(dev.requests.size(), c.requests);
    EXPECT_TRUE(w.r.out.ends_with(c.tail)) << w.r.out;
}

const std::string rec_a = word_record(0x00, {0x1111, 0x2222, 0x3333, 0x4444});
const std::string rec_b = word_record(0x04, {0x5555, 0x6666, 0x7777, 0x8888});

INSTANTIATE_TEST_SUITE_P(
    Table, WriteStatus,
    ::testing::Values(
        // Read as always, but not without a word.
        StatusCase{"end_record_first", ":00000001FF\n" + rec_a, 0, 0,
                   "action: write flash\n[note: 1 line after the end record, not read]\n"},
        StatusCase{"no_end_record", rec_a + rec_b, 0, 2, "[OK => Acknowledged Write Flash Program Memory]\n"},
        StatusCase{"blank_lines_lose_nothing", rec_a + "\n\r\n" + rec_b + ":00000001FF\n", 0, 2,
                   "[OK => Acknowledged Write Flash Program Memory]\n"},
        // A bad line is skipped, the lines after it are still written, and the run fails.
        StatusCase{"bad_checksum_in_the_middle", rec_a + ":04000400555566667777888801\n" + rec_b, 255, 2,
                   "[OK => Acknowledged Write Flash Program Memory]\n"
                   "[ERROR, 1 lines of the hexfile were not written]\n"},
        StatusCase{"junk_line", rec_a + "hello\n" + rec_b, 255, 2,
                   "[ERROR, 1 lines of the hexfile were not written]\n"},
        StatusCase{"unknown_record_type", ":020000060000F8\n" + rec_a, 255, 1,
                   "[ERROR, 1 lines of the hexfile were not written]\n"},
        StatusCase{"record_across_0x200000", ":02000004001FDB\n:10FFF800000102030405060708090A0B0C0D0E0F81\n",
                   255, 0,
                   "[record at 0x1FFFF8 runs past program memory into 0x200000, not written]\n"
                   "[ERROR, 1 lines of the hexfile were not written]\n"},
        // Start addresses and a count-0 data record program nothing and are not errors.
        StatusCase{"start_and_empty_records", ":0400000500001000E7\n:0400000300001000E9\n:00001000F0\n" + rec_a, 0, 1,
                   "[OK => Acknowledged Write Flash Program Memory]\n"}),
    [](const auto& p) { return p.param.name; });

TEST(WriteFlash, BadChecksumMessageNamesTheLine) {
    bootsim::device dev;
    write_run w(dev, rec_a + ":04000400555566667777888801\n" + rec_b);
    EXPECT_NE(w.r.out.find("Checksum mismatch on line 2 (01 != 7C\n"), std::string::npos) << w.r.out;
    EXPECT_EQ(bytes_at(dev, 0, 4), (std::vector<uint8_t>{0x11, 0x11, 0x22, 0x22}));
    EXPECT_EQ(bytes_at(dev, 8, 4), (std::vector<uint8_t>{0x55, 0x55, 0x66, 0x66}));
}

TEST(WriteFlash, MissingHexFile) {
    bootsim::device dev;
    write_run w(dev, "", {"--hexfile", "nope.hex"});
    EXPECT_EQ(w.r.status, 254);
    EXPECT_EQ(w.r.out, device_echo(w.r) + "using hexfile 'f.hex'\nusing hexfile 'nope.hex'\naction: write flash\n"
                                          "Error: could not open hexfile 'nope.hex'\n"
                                          "[reason: No such file or directory]\n");
    EXPECT_EQ(hex(received(dev)), "FF");

    bootsim::device dev2;
    const auto r = run_tool(dev2, {"--writeflash"});
    EXPECT_EQ(r.status, 254);
    EXPECT_EQ(r.out, device_echo(r) + "action: write flash\nERROR: you need to specify --hexfile <filename>\n"
                                      "Error: could not open hexfile ''\n[reason: No such file or directory]\n");
}

TEST(WriteFlash, RefusedAcknowledgementStopsTheRunAfterWhatWasWritten) {
    bootsim::device dev;
    dev.faults.push_back({bootsim::fault_kind::wrong_echo, 0x03, 1});
    write_run w(dev, rec_a + rec_b + ":00000001FF\n");
    EXPECT_EQ(w.r.status, 255);
    const std::string tail = "{Packettype ERASE Flash}\n[ERROR, expected PacketType 0x02, but got 0x03]\n";
    EXPECT_TRUE(w.r.out.ends_with(tail)) << w.r.out;
    EXPECT_EQ(bytes_at(dev, 0, 2), (std::vector<uint8_t>{0x11, 0x11}));
}

// Programs a fixture after erasing the rows it covers; the device must hold
// the file's data at every address below 0x200000 and 0xFF everywhere else.
void program_and_check(const std::string& fixture, int rows) {
    SCOPED_TRACE(fixture);
    const std::string text = read_file(fixture);
    ASSERT_FALSE(text.empty());
    const auto expected = intel_hex_bytes(text);

    bootsim::device dev;
    std::fill(dev.flash.begin(), dev.flash.begin() + 64 * rows, 0x00);  // an old program
    auto e = run_tool(dev, {"--eraseflash", "--rows", std::to_string(rows), "--startaddr", "0"});
    ASSERT_EQ(e.status, 0) << e.out;
    const size_t erases = dev.requests.size();

    write_run w(dev, text);
    ASSERT_EQ(w.r.status, 0) << w.r.out;
    for (size_t i = erases; i < dev.requests.size(); ++i) {
        const auto& q = dev.requests[i];
        EXPECT_EQ(q.command, 0x02);
        EXPECT_TRUE(q.checksum_ok);
        EXPECT_EQ(q.address % 8, 0u) << "unaligned write at " << q.address;
        EXPECT_EQ(q.data.size(), q.count * 8u);
    }
    for (uint32_t a = 0; a < bootsim::FLASH_BYTES; ++a) {
        const auto it = expected.find(a);
        const uint8_t want = (it == expected.end()) ? 0xFF : it->second;
        ASSERT_EQ(dev.flash[a], want) << "at 0x" << std::hex << a;
    }
    EXPECT_TRUE(dev.high.empty()) << "something was written at 0x200000 or above";
}

TEST(WriteFlash, CompilerLayoutWithSixteenByteRecordsAndCrLf) {
    program_and_check(std::string(FIXTURES_DIR) + "/compiler16.hex", 4);
}

TEST(WriteFlash, CompilerLayoutWithThirtyTwoByteRecordsAndSegments) {
    program_and_check(std::string(FIXTURES_DIR) + "/compiler32.hex", 1);
}

TEST(WriteFlash, TheDemoProgram) { program_and_check(std::string(EXAMPLES_DIR) + "/blink.hex", 1); }

TEST(WriteFlash, ConfigurationIdAndEepromDataAreSkippedByName) {
    bootsim::device dev;
    write_run w(dev, read_file(std::string(FIXTURES_DIR) + "/compiler16.hex"));
    ASSERT_EQ(w.r.status, 0);
    for (const char* note : {"[record at 0x300000 is not program memory (0x200000 and up), skipped]\n",
                             "[record at 0xF00000 is not program memory (0x200000 and up), skipped]\n",
                             "[record at 0x200000 is not program memory (0x200000 and up), skipped]\n"})
        EXPECT_NE(w.r.out.find(note), std::string::npos) << note;
}

TEST(WriteFlash, ReadBackOutHexWritesTheSameMemory) {
    bootsim::device dev;
    std::mt19937 rng(42);
    for (uint32_t a = 0x200; a < 0x260; ++a) dev.flash[a] = static_cast<uint8_t>(rng());
    const std::vector<uint8_t> before(dev.flash.begin(), dev.flash.begin() + 0x400);

    temp_dir dir;
    const run_options o = in_dir(dir.path());
    ASSERT_EQ(run_tool(dev, {"--readflash", "--bytes", "0x60", "--startaddr", "0x200"}, o).status, 0);
    ASSERT_EQ(run_tool(dev, {"--eraseflash", "--rows", "2", "--startaddr", "0x200"}).status, 0);
    EXPECT_EQ(dev.flash[0x200], 0xFF);
    const auto r = run_tool(dev, {"--writeflash", "--hexfile", "out.hex"}, o);
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(std::vector<uint8_t>(dev.flash.begin(), dev.flash.begin() + 0x400), before);
}

}  // namespace
