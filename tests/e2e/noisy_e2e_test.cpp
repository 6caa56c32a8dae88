// A noisy line, lost replies, signals at awkward moments and outputs that
// must not be replaced: the run either ends as it should or says why, and
// never reports a damaged exchange as success.

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "harness.hpp"
#include "hexdata.hpp"

using namespace testing_support;

namespace {

struct OutputCase {
    std::string name;
    std::string path;  // in the run's folder; made by `prepare`
    void (*prepare)(const std::string& path);
    std::string reason;
};

void PrintTo(const OutputCase& c, std::ostream* os) { *os << c.name; }

class OutputRefusedEarly : public ::testing::TestWithParam<OutputCase> {};

TEST_P(OutputRefusedEarly, BeforeAnythingIsSentAndLeftAsItIs) {
    const auto& c = GetParam();
    bootsim::device dev;
    temp_dir dir;
    const std::string path = c.path.starts_with("/") ? c.path : dir.file(c.path);
    if (c.prepare) c.prepare(path);
    struct stat before {};
    ASSERT_EQ(stat(path.c_str(), &before), 0);
    const auto r = run_tool(dev, {"--readflash", "--bytes", "16", "--startaddr", "0", "--output", c.path},
                            in_dir(dir.path()));
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(r.out.ends_with("Error: could not create file '" + c.path + "' (" + c.reason + ")\n")) << r.out;
    EXPECT_TRUE(dev.wire.empty()) << "the wake byte went out";
    struct stat after {};
    ASSERT_EQ(stat(path.c_str(), &after), 0);
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_EQ(after.st_ino, before.st_ino);
}

INSTANTIATE_TEST_SUITE_P(
    Table, OutputRefusedEarly,
    ::testing::Values(OutputCase{"device_node", "/dev/null", nullptr, "not a regular file: it is left as it is"},
                      OutputCase{"fifo", "dump.hex", [](const std::string& p) { mkfifo(p.c_str(), 0644); },
                                 "not a regular file: it is left as it is"},
                      OutputCase{"read_only_file", "dump.hex",
                                 [](const std::string& p) {
                                     write_file(p, "keep me\n");
                                     chmod(p.c_str(), 0444);
                                 },
                                 "read-only: it is left as it is"}),
    [](const auto& p) { return p.param.name; });

struct RetryCase {
    std::string name;
    std::vector<std::string> args;
    std::string fault;
    int status;
    std::string must_contain;
};

void PrintTo(const RetryCase& c, std::ostream* os) { *os << c.name; }

class Retries : public ::testing::TestWithParam<RetryCase> {};

// --program of a small file: 0 reads the row given in part, 1 erases, 2
// writes, 3 reads back.
TEST_P(Retries, ATransientFaultPassesALastingOneFails) {
    const auto& c = GetParam();
    bootsim::device dev;
    dev.faults.push_back(*bootsim::parse_fault(c.fault));
    temp_dir dir;
    write_file(dir.file("f.hex"), intel_record(0x40, 0, {1, 2, 3, 4, 5, 6, 7, 8}) + "\n:00000001FF\n");
    std::vector<std::string> args{"--pace", "0", "--timeout", "100", "--hexfile", "f.hex"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const auto r = run_tool(dev, args, in_dir(dir.path()));
    EXPECT_EQ(r.status, c.status) << r.out;
    EXPECT_NE(r.out.find(c.must_contain), std::string::npos) << r.out;
    if (c.status == 0) {
        EXPECT_EQ(dev.flash[0x40], 1);
        EXPECT_EQ(dev.flash[0x47], 8);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, Retries,
    ::testing::Values(
        RetryCase{"damaged_reply_once", {"--program"}, "bad-checksum@4", 0, "[retry 1 of 2: reply checksum wrong]\n"},
        RetryCase{"lost_reply_once", {"--program"}, "no-answer@3", 0, "[retry 1 of 2: no reply in time]\n"},
        RetryCase{"another_address_once", {"--program"}, "wrong-address=0x10@1", 0,
                  "[retry 1 of 2: reply for another address or length]\n"},
        RetryCase{"damaged_every_time", {"--program"}, "bad-checksum", 255,
                  "[retry 2 of 2: reply checksum wrong]\n\n"
                  "[ERROR, reply checksum 0x"},
        RetryCase{"no_retries_asked", {"--program", "--retries", "0"}, "bad-checksum@4", 255,
                  "[ERROR, reply checksum 0x"}),
    [](const auto& p) { return p.param.name; });

// Under line noise --program either succeeds with the device holding the
// file, or ends non-zero: never a success over damaged data.
TEST(Noise, ProgramSucceedsOrFailsButNeverLies) {
    std::string text;
    for (uint32_t a = 0; a < 4096; a += 16) {
        std::vector<int> data;
        for (uint32_t i = 0; i < 16; ++i) data.push_back(static_cast<int>((a + i) * 29 + 7) & 0xFF);
        text += intel_record(a, 0, data) + "\n";
    }
    text += ":00000001FF\n";
    const auto want = intel_hex_bytes(text);
    temp_dir dir;
    write_file(dir.file("fw.hex"), text);
    int succeeded = 0, damaged = 0;
    for (uint32_t seed = 1; seed <= 6; ++seed) {
        SCOPED_TRACE(seed);
        bootsim::device dev;
        dev.faults.push_back(*bootsim::parse_fault("noise=0.001"));
        dev.seed = seed;
        const auto r = run_tool(dev, {"--pace", "0", "--timeout", "150", "--program", "--hexfile", "fw.hex"},
                                in_dir(dir.path()));
        ASSERT_FALSE(r.timed_out);
        damaged += dev.flipped > 0;
        if (r.status != 0) {
            EXPECT_EQ(r.status, 255) << r.out;
            continue;
        }
        ++succeeded;
        for (const auto& [a, b] : want) ASSERT_EQ(dev.flash[a], b) << std::hex << a;
    }
    EXPECT_GT(damaged, 0) << "the noise never hit";
    EXPECT_GT(succeeded, 0) << "retries never carried a run through";
}

TEST(ReplyWait, GrowsWithTheRowsAnEraseAsksFor) {
    bootsim::device dev;
    dev.timing.erase_us = 4000;  // 255 rows take about a second
    const auto r = run_tool(dev, {"--pace", "0", "--timeout", "300", "--eraseflash", "--rows", "255", "--startaddr", "0"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(r.out.ends_with("[OK => Erase Flash Program Memory]\n"));
}

TEST(ReplyChecksum, ADamagedReadIsNotSaved) {
    bootsim::device dev;
    dev.faults.push_back(*bootsim::parse_fault("bad-checksum=0x10"));
    temp_dir dir;
    const auto r = run_tool(dev, {"--readflash", "--bytes", "4", "--startaddr", "0"}, in_dir(dir.path()));
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(r.out.ends_with("{CHKSUM<0xef>}\n[ERROR, reply checksum 0xef, the reply's bytes give 0xff: "
                                "damaged on the line]\n"))
        << r.out;
    EXPECT_FALSE(file_exists(dir.file("out.hex")));
}

// A hex file that is a pipe: the open and the reads wait for the writer, and
// a stop signal ends them; nothing is sent.
TEST(Signals, APipeAsTheHexFileCanBeInterrupted) {
    for (const bool someLines : {false, true}) {
        SCOPED_TRACE(someLines);
        temp_dir dir;
        const std::string fifo = dir.file("fw.hex");
        ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
        std::thread writer;
        int held = -1;
        if (someLines) {
            writer = std::thread([&] {
                held = open(fifo.c_str(), O_WRONLY);  // waits for the tool to open it
                const std::string line = intel_record(0, 0, {1, 2, 3, 4}) + "\n";
                if (held >= 0 && write(held, line.data(), line.size()) < 0) return;
            });
        }
        bootsim::device dev;
        run_options o = timeout(10000);
        o.signal_after_ms = 300;
        o.signal = SIGINT;
        const auto r = run_tool(dev, {"--program", "--hexfile", fifo}, o);
        if (writer.joinable()) writer.join();
        if (held >= 0) close(held);
        ASSERT_FALSE(r.timed_out);
        EXPECT_EQ(r.status, 130) << r.out;
        EXPECT_TRUE(r.out.ends_with("[interrupted]\n")) << r.out;
        EXPECT_TRUE(dev.wire.empty());
    }
}

TEST(Signals, OneIgnoredAtStartStaysIgnored) {
    bootsim::device dev;
    dev.timing.erase_us = 2000;
    run_options o;
    o.ignored_signal = SIGINT;  // as a script's background job has it
    o.signal_after = "RECEIVING: ";
    o.signal_after_ms = 50;
    o.signal = SIGINT;
    const auto r = run_tool(dev, {"--eraseflash", "--rows", "100", "--startaddr", "0"}, o);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(r.out.ends_with("[OK => Erase Flash Program Memory]\n")) << r.out;
}

TEST(BadLines, TwentyListedThenTheCountOfTheRest) {
    std::string text;
    for (int i = 0; i < 25; ++i) text += "junk\n";
    bootsim::device dev;
    temp_dir dir;
    write_file(dir.file("f.hex"), text + ":00000001FF\n");
    const auto r = run_tool(dev, {"--program", "--hexfile", "f.hex"}, in_dir(dir.path()));
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(r.out.ends_with("[ERROR, line 20 of the hexfile: not a record (no ':' at its start)]\n"
                                "[ERROR, 5 more lines like these not shown]\n"
                                "[ERROR, 25 lines of the hexfile cannot be programmed, nothing was sent]\n"))
        << r.out;
}

}  // namespace

namespace {

TEST(QuietLine, ARunAfterAnInterruptedOneIgnoresTheOldReply) {
    temp_dir dir;
    sim_process sim(dir.file("tty"), {"--baud", "9600"});
    run_options o = timeout(10000);
    o.with_device = false;
    o.signal_after = "RECEIVING: ";  // 255 bytes at 9600 bit/s take over a quarter second to come
    o.signal_after_ms = 30;
    o.signal = SIGINT;
    const auto first = run_plain({"--device", sim.link(), "--baud", "9600", "--pace", "0", "--readflash", "--bytes",
                                  "255", "--startaddr", "0", "--output", dir.file("a.hex")},
                                 o);
    ASSERT_EQ(first.status, 130) << first.out;
    o.signal_after.clear();
    o.signal_after_ms = -1;
    const auto second = run_plain(
        {"--device", sim.link(), "--baud", "9600", "--pace", "0", "--readeeprom", "--bytes", "4", "--startaddr", "0"}, o);
    EXPECT_EQ(second.status, 0) << second.out;
    EXPECT_TRUE(second.out.ends_with("[OK => Read EEPROM Data Memory]\n")) << second.out;
}

}  // namespace
