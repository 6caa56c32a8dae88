// Runs a careless or hostile user would make: the caller's descriptors, files
// named as devices, addresses past the wire's 24 bits, replies for other
// ranges, damaged hex files. Each must end safely and say so in its status.

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <sys/stat.h>
#include <thread>

#include "harness.hpp"
#include "hexdata.hpp"

using namespace testing_support;

namespace {

std::string record(int address, int type, const std::vector<int>& data) {
    return intel_record(address, type, data) + "\n";
}

const std::string rec0 = record(0x0000, 0, {1, 2, 3, 4, 5, 6, 7, 8});
const std::string rec8 = record(0x0008, 0, {9, 10, 11, 12, 13, 14, 15, 16});
const std::string rec80 = record(0x0080, 0, {0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8});

TEST(Hostile, AppendedLogKeepsWhatWasThere) {
    bootsim::device dev;
    temp_dir dir;
    write_file(dir.file("build.log"), "earlier build output\n");
    run_options o;
    o.stdout_mode = dir.file("build.log");
    const auto r = run_tool(dev, {"--readeeprom", "--bytes", "2", "--startaddr", "0"}, o);
    EXPECT_EQ(r.status, 0);
    const std::string log = read_file(dir.file("build.log"));
    EXPECT_TRUE(log.starts_with("earlier build output\nusing device ")) << log;
    EXPECT_TRUE(log.ends_with("[OK => Read EEPROM Data Memory]\n")) << log;
}

// The trace never reaches the line; the work is done, and the lost output
// fails the run as a failed write would.
TEST(Hostile, ClosedStandardOutputNeverReachesTheLine) {
    bootsim::device dev;
    run_options o;
    o.stdout_mode = "closed";
    const auto r = run_tool(dev, {"--reset"}, o);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "bootlink: write error on standard output: Bad file descriptor\n");
    EXPECT_EQ(hex(received(dev)), "FF 0F 0F 00 00 00 04");
}

struct OutputFailure {
    std::string mode;
    std::string reason;
};

void PrintTo(const OutputFailure& c, std::ostream* os) { *os << c.mode; }

class LostOutput : public ::testing::TestWithParam<OutputFailure> {};

// The work on the device is finished; the lost output is what fails the run.
TEST_P(LostOutput, FinishesTheWorkThenFails) {
    bootsim::device dev;
    temp_dir dir;
    write_file(dir.file("f.hex"), rec0 + rec8 + rec80 + ":00000001FF\n");
    run_options o = in_dir(dir.path());
    o.stdout_mode = GetParam().mode;
    const auto r = run_tool(dev, {"--writeflash", "--hexfile", "f.hex"}, o);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "bootlink: write error on standard output: " + GetParam().reason + "\n");
    EXPECT_EQ(dev.requests.size(), 3u);
    EXPECT_EQ(dev.flash[0x80], 0xA1);
}

INSTANTIATE_TEST_SUITE_P(Outputs, LostOutput,
                         ::testing::Values(OutputFailure{"/dev/full", "No space left on device"},
                                           OutputFailure{"broken-pipe", "Broken pipe"}));

TEST(Hostile, OnlyACharacterDeviceIsALine) {
    temp_dir dir;
    write_file(dir.file("notes.txt"), "my notes\n");
    auto r = run_plain({"-d", dir.file("notes.txt"), "--reset"});
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(r.out.ends_with("ERROR: '" + dir.file("notes.txt") + "' is not a serial device\n")) << r.out;
    EXPECT_EQ(read_file(dir.file("notes.txt")), "my notes\n");

    r = run_plain({"-d", dir.path(), "--reset"});
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(r.out.ends_with("ERROR: could not open serial device '" + dir.path() + "'\n[reason: Is a directory]\n"))
        << r.out;
    // Nor is a character device that is no terminal.
    r = run_plain({"-d", "/dev/null", "--reset"});
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(r.out.ends_with("ERROR: '/dev/null' is not a serial device\n")) << r.out;
}

TEST(Hostile, DeviceOptionWithoutItsPathOpensNothing) {
    const auto r = run_plain({"--reset", "-d"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "ERROR: '--device' needs the path of the serial device\n");
    EXPECT_NE(r.err.find("requires an argument"), std::string::npos) << r.err;
}

struct RangeCase {
    std::string name;
    std::vector<std::string> args;
    std::string error;
};

void PrintTo(const RangeCase& c, std::ostream* os) { *os << c.name; }

class PastTwentyFourBits : public ::testing::TestWithParam<RangeCase> {};

TEST_P(PastTwentyFourBits, RefusedBeforeAnyRequest) {
    bootsim::device dev;
    for (auto& b : dev.flash) b = 0;
    temp_dir dir;
    const auto r = run_tool(dev, GetParam().args, in_dir(dir.path()));
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(r.out.ends_with(GetParam().error)) << r.out;
    EXPECT_EQ(hex(received(dev)), "FF");
    EXPECT_FALSE(file_exists(dir.file("out.hex")));
}

INSTANTIATE_TEST_SUITE_P(
    Table, PastTwentyFourBits,
    ::testing::Values(
        RangeCase{"erase_start", {"--eraseflash", "--rows", "1", "--startaddr", "0x1000000"},
                  "ERROR: --startaddr 0x1000000 is beyond the last address 0xFFFFFF\n"},
        RangeCase{"erase_rows", {"--eraseflash", "--rows", "2", "--startaddr", "0xFFFFC0"},
                  "ERROR: 2 rows from 0xffffc0 run past the last address 0xFFFFFF\n"},
        RangeCase{"read_start", {"--readflash", "--bytes", "4", "--startaddr", "0x1000000"},
                  "ERROR: --startaddr 0x1000000 is beyond the last address 0xFFFFFF\n"},
        RangeCase{"read_range", {"--readflash", "--bytes", "5", "--startaddr", "0xFFFFFC"},
                  "ERROR: 5 bytes from 0xfffffc run past the last address 0xFFFFFF\n"}),
    [](const auto& p) { return p.param.name; });

TEST(Hostile, LastRowAndLastBytesAreStillReachable) {
    bootsim::device dev;
    temp_dir dir;
    auto r = run_tool(dev, {"--eraseflash", "--rows", "1", "--startaddr", "0xFFFFC0"});
    EXPECT_EQ(r.status, 0) << r.out;
    r = run_tool(dev, {"--readflash", "--bytes", "4", "--startaddr", "0xFFFFFC"}, in_dir(dir.path()));
    EXPECT_EQ(r.status, 0) << r.out;
}

TEST(Hostile, MoreThan256RowsGoOutAsSeveralRequests) {
    for (const int rows : {256, 257, 600}) {
        SCOPED_TRACE(rows);
        bootsim::device dev;
        std::fill(dev.flash.begin(), dev.flash.begin() + 64 * 700, 0x00);
        const auto r = run_tool(dev, {"--eraseflash", "--rows", std::to_string(rows), "--startaddr", "0"});
        ASSERT_EQ(r.status, 0) << r.out;
        size_t expected = rows <= 256 ? 1 : static_cast<size_t>((rows + 254) / 255);
        ASSERT_EQ(dev.requests.size(), expected);
        for (size_t i = 0; i < expected; ++i) {
            EXPECT_EQ(dev.requests[i].address, 255u * 64u * i);
            EXPECT_EQ(dev.requests[i].count, rows <= 256 ? rows % 256 : std::min(255, rows - 255 * static_cast<int>(i)));
        }
        EXPECT_EQ(dev.flash[64 * rows - 1], 0xFF);  // the last row asked for is erased
        EXPECT_EQ(dev.flash[64 * rows], 0x00);      // and not one more
        size_t oks = 0;
        for (auto at = r.out.find("[OK => "); at != std::string::npos; at = r.out.find("[OK => ", at + 1)) ++oks;
        EXPECT_EQ(oks, 1u);
    }
}

TEST(Hostile, OldBytesOnTheLineAreDiscarded) {
    bootsim::device dev;
    run_options o;
    o.line_noise = std::string("\x42\x0f\x0f\x03\xfd\x04", 6);  // the tail of an earlier run's replies
    const auto r = run_tool(dev, {"--eraseflash", "--rows", "1", "--startaddr", "0"}, o);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(dev.requests.size(), 1u);
}

TEST(Hostile, OddRangeWrittenBackLeavesItsNeighboursAlone) {
    bootsim::device dev;
    for (uint32_t a = 0; a < 16; ++a) dev.flash[a] = static_cast<uint8_t>(0x10 + a);
    temp_dir dir;
    ASSERT_EQ(run_tool(dev, {"--readflash", "--bytes", "5", "--startaddr", "3"}, in_dir(dir.path())).status, 0);
    // Another board with other data around the range: only bytes 3..7 may change.
    bootsim::device other;
    for (uint32_t a = 0; a < 16; ++a) other.flash[a] = 0xFF;
    const auto r = run_tool(other, {"--writeflash", "--hexfile", "out.hex"}, in_dir(dir.path()));
    ASSERT_EQ(r.status, 0) << r.out;
    for (uint32_t a = 0; a < 16; ++a)
        EXPECT_EQ(other.flash[a], (a >= 3 && a < 8) ? 0x10 + a : 0xFF) << "at " << a;
}

struct HexfileCase {
    std::string name;
    std::string hex;
    int status;
    std::vector<uint32_t> written;  // addresses of the write requests
    std::string must_contain;
};

void PrintTo(const HexfileCase& c, std::ostream* os) { *os << c.name; }

class DamagedHexfile : public ::testing::TestWithParam<HexfileCase> {};

TEST_P(DamagedHexfile, WrittenWhereItBelongsOrNotAtAll) {
    const auto& c = GetParam();
    bootsim::device dev;
    temp_dir dir;
    write_file(dir.file("f.hex"), c.hex);
    const auto r = run_tool(dev, {"--writeflash", "--hexfile", "f.hex"}, in_dir(dir.path()));
    EXPECT_EQ(r.status, c.status) << r.out;
    std::vector<uint32_t> written;
    for (const auto& q : dev.requests) written.push_back(q.address);
    EXPECT_EQ(written, c.written);
    EXPECT_NE(r.out.find(c.must_contain), std::string::npos) << r.out;
}

INSTANTIATE_TEST_SUITE_P(
    Table, DamagedHexfile,
    ::testing::Values(
        HexfileCase{"end_record_bad_checksum", rec0 + ":00000001FE\n" + rec8, 255, {0, 8},
                    "[ERROR, 1 lines of the hexfile were not written]\n"},
        HexfileCase{"end_record_with_data", rec0 + ":0100000155A9\n" + rec8, 255, {0, 8},
                    "[ERROR, 1 lines of the hexfile were not written]\n"},
        HexfileCase{"good_end_record_ends", rec0 + ":00000001FF\n" + rec8, 0, {0}, "[OK => "},
        // The data after a rejected address record would land at 0 instead of 0x10000.
        HexfileCase{"rejected_address_record", ":02000004000100\n" + rec80 + record(0, 4, {0, 1}) + rec8, 255,
                    {0x10008}, "[record on line 2 not written: the address record before it was not taken]\n"},
        HexfileCase{"address_record_of_wrong_length", record(0, 4, {0, 1, 2}) + rec80, 255, {},
                    "[record on line 2 not written: the address record before it was not taken]\n"},
        // A comment line whose tail is a record: the tail is never programmed.
        HexfileCase{"tail_of_an_over_long_line", "; " + std::string(160, 'x') + rec80 + rec0, 255, {0},
                    "[ERROR, 1 lines of the hexfile were not written]\n"},
        // 79 characters and CR LF: one whole line.
        HexfileCase{"record_of_79_characters_with_crlf",
                    record(0x100, 0, std::vector<int>(34, 0x11)).insert(79, "\r"), 0, {0x100}, "[OK => "}),
    [](const auto& p) { return p.param.name; });

struct HexPathCase {
    std::string name;
    std::string path;
};

void PrintTo(const HexPathCase& c, std::ostream* os) { *os << c.name; }

class NotAHexfile : public ::testing::TestWithParam<HexPathCase> {};

TEST_P(NotAHexfile, RefusedWithNothingSent) {
    bootsim::device dev;
    temp_dir dir;
    std::filesystem::create_directory(dir.file("sub"));
    const std::string path = GetParam().path.empty() ? "sub" : GetParam().path;
    const auto r = run_tool(dev, {"--writeflash", "--hexfile", path}, in_dir(dir.path()));
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 254);
    EXPECT_TRUE(r.out.ends_with("Error: could not open hexfile '" + path + "' (not a regular file)\n")) << r.out;
    EXPECT_EQ(hex(received(dev)), "FF");
}

INSTANTIATE_TEST_SUITE_P(Table, NotAHexfile,
                         ::testing::Values(HexPathCase{"directory", ""}, HexPathCase{"dev_zero", "/dev/zero"},
                                           HexPathCase{"dev_urandom", "/dev/urandom"}),
                         [](const auto& p) { return p.param.name; });

TEST(Hostile, HexfileFromAPipeIsProgrammed) {
    bootsim::device dev;
    temp_dir dir;
    ASSERT_EQ(mkfifo(dir.file("fifo.hex").c_str(), 0600), 0);
    std::thread feeder([&] { write_file(dir.file("fifo.hex"), rec80 + ":00000001FF\n"); });
    const auto r = run_tool(dev, {"--writeflash", "--hexfile", "fifo.hex"}, in_dir(dir.path()));
    feeder.join();
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(dev.flash[0x87], 0xA8);
}

}  // namespace
