// What an 8-bit checksum lets through, an interrupt between erase and
// write-back, addresses that would wrap, outputs that would overwrite the
// run's own files, and --check's count of what a run sends.

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "harness.hpp"
#include "hexdata.hpp"

namespace {

using namespace testing_support;

// Code in four whole rows at 0x1000 and five bytes in the row at 0x1200,
// which the file gives only in part.
std::string firmware() {
    std::string text;
    for (uint32_t a = 0x1000; a < 0x1100; a += 16) {
        std::vector<int> data;
        for (int i = 0; i < 16; ++i) data.push_back(static_cast<int>((a + i) * 5) & 0xFF);
        text += intel_record(a, 0, data) + "\n";
    }
    return text + intel_record(0x1203, 0, {1, 2, 3, 4, 5}) + "\n:00000001FF\n";
}

// A used board: the row at 0x1200 holds bytes of its own around the file's.
void used(bootsim::device& dev) {
    for (uint32_t a = 0x1000; a < 0x1300; ++a) dev.flash[a] = static_cast<uint8_t>(a * 3 + 1);
}

// Every byte from 0x1000 to 0x1240 as a programming must leave it.
void expectProgrammed(const bootsim::device& dev) {
    const auto want = intel_hex_bytes(firmware());
    for (uint32_t a = 0x1000; a < 0x1240; ++a) {
        const auto it = want.find(a);
        const uint8_t expected = it != want.end() ? it->second : static_cast<uint8_t>(a * 3 + 1);
        ASSERT_EQ(dev.flash[a], expected) << "at 0x" << std::hex << a;
    }
}

std::vector<std::string> keptFiles(const std::string& dir) {
    std::vector<std::string> found;
    for (const auto& e : std::filesystem::directory_iterator(dir))
        if (e.path().filename().string().starts_with("bootlink-kept-")) found.push_back(e.path().string());
    return found;
}

struct HiddenCase {
    std::string fault;
    int reads;  // of the row given in part before it is erased
};

void PrintTo(const HiddenCase& c, std::ostream* os) { *os << c.fault; }

class HiddenDamage : public ::testing::TestWithParam<HiddenCase> {};

// A read reply damaged so that its checksum still matches is never merged
// into the row written back: the row is read until two reads agree.
TEST_P(HiddenDamage, TheDevicesOwnBytesAreKept) {
    bootsim::device dev;
    used(dev);
    dev.faults.push_back(*bootsim::parse_fault(GetParam().fault));
    temp_dir dir;
    write_file(dir.file("fw.hex"), firmware());
    const auto r = run_tool(dev, {"--pace", "0", "--program", "--hexfile", "fw.hex"}, in_dir(dir.path()));
    ASSERT_EQ(r.status, 0) << r.out;
    expectProgrammed(dev);
    int reads = 0;
    for (const auto& q : dev.requests) {
        if (q.command == 0x03) break;
        reads += q.command == 0x01;
    }
    EXPECT_EQ(reads, GetParam().reads);
    EXPECT_TRUE(keptFiles(dir.path()).empty());
}

INSTANTIATE_TEST_SUITE_P(Faults, HiddenDamage,
                         ::testing::Values(HiddenCase{"hidden-damage@1", 3},  // the first read is the damaged one
                                           HiddenCase{"hidden-damage@2", 3},  // the second
                                           HiddenCase{"hidden-damage@9", 2}));  // a read-back: read again, then fine

TEST(Interrupt, BetweenEraseAndWriteBackWaitsForTheRow) {
    bootsim::device dev;
    used(dev);
    dev.timing.erase_us = 400000;  // the signal comes while the row is erased
    temp_dir dir;
    write_file(dir.file("fw.hex"), firmware());
    run_options o = in_dir(dir.path());
    o.signal_after = "rewriting 1 row the file gives in part\n";
    o.signal_after_ms = 100;
    o.signal = SIGTERM;
    const auto r = run_tool(dev, {"--pace", "0", "--program", "--hexfile", "fw.hex"}, o);
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 143) << r.out;
    EXPECT_NE(r.out.find("\n[stopping once the rows already erased are written back]\n"), std::string::npos) << r.out;
    EXPECT_TRUE(r.out.ends_with("[interrupted]\n")) << r.out;
    // The row is whole again and the file of kept bytes is gone; the other rows were never erased.
    const auto want = intel_hex_bytes(firmware());
    for (uint32_t a = 0x1200; a < 0x1240; ++a) {
        const auto it = want.find(a);
        ASSERT_EQ(dev.flash[a], it != want.end() ? it->second : static_cast<uint8_t>(a * 3 + 1)) << std::hex << a;
    }
    EXPECT_EQ(dev.flash[0x1000], static_cast<uint8_t>(0x1000 * 3 + 1));
    EXPECT_TRUE(keptFiles(dir.path()).empty());
}

TEST(Interrupt, AKilledRunLeavesTheKeptBytesAndTheyGoBack) {
    bootsim::device dev;
    used(dev);
    dev.timing.erase_us = 400000;
    temp_dir dir;
    write_file(dir.file("fw.hex"), firmware());
    run_options o = in_dir(dir.path());
    o.signal_after = "rewriting 1 row the file gives in part\n";
    o.signal_after_ms = 100;
    o.signal = SIGKILL;
    const auto killed = run_tool(dev, {"--pace", "0", "--program", "--hexfile", "fw.hex"}, o);
    ASSERT_EQ(killed.status, 128 + SIGKILL) << killed.out;
    const auto kept = keptFiles(dir.path());
    ASSERT_EQ(kept.size(), 1u) << killed.out;
    EXPECT_NE(killed.out.find("[keeping the device's own bytes in " + kept[0].substr(dir.path().size() + 1) +
                              " until those rows are written back]\n"),
              std::string::npos)
        << killed.out;
    EXPECT_EQ(dev.flash[0x1200], 0xFF) << "the row was not erased when the run was killed";
    EXPECT_EQ(std::filesystem::status(kept[0]).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write)
        << "the device's own bytes are its owner's alone";

    const std::string keptName = std::filesystem::path(kept[0]).filename().string();
    const auto back = run_tool(dev, {"--pace", "0", "--program", "--hexfile", keptName}, in_dir(dir.path()));
    ASSERT_EQ(back.status, 0) << back.out;
    for (uint32_t a = 0x1200; a < 0x1240; ++a)
        if (a < 0x1203 || a >= 0x1208) {
            ASSERT_EQ(dev.flash[a], static_cast<uint8_t>(a * 3 + 1)) << std::hex << a;
        }
    const auto again = run_tool(dev, {"--pace", "0", "--program", "--hexfile", "fw.hex"}, in_dir(dir.path()));
    ASSERT_EQ(again.status, 0) << again.out;
    expectProgrammed(dev);
    EXPECT_EQ(keptFiles(dir.path()).size(), 1u);  // only the killed run's, for the user to remove
}

struct WrapCase {
    std::string name;
    std::string records;  // before the end record
    std::string why;
};

void PrintTo(const WrapCase& c, std::ostream* os) { *os << c.name; }

class Wrapping : public ::testing::TestWithParam<WrapCase> {};

// A base that, doubled (word form) or with its offset added, runs past 32
// bits is a bad line: programmed, it would land at a low address.
TEST_P(Wrapping, AddressesBeyond32BitsAreBadLines) {
    temp_dir dir;
    write_file(dir.file("f.hex"), GetParam().records + ":00000001FF\n");
    for (const char* action : {"--check", "--program"}) {
        bootsim::device dev;
        const auto r = run_tool(dev, {action, "--hexfile", "f.hex"}, in_dir(dir.path()));
        EXPECT_EQ(r.status, 255) << r.out;
        EXPECT_NE(r.out.find(GetParam().why), std::string::npos) << r.out;
        EXPECT_TRUE(r.out.ends_with("cannot be programmed, nothing was sent]\n")) << r.out;
        EXPECT_TRUE(dev.wire.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Records, Wrapping,
    ::testing::Values(
        // Word form: base 0x8000 is word address 0x80000000, byte address 0x1_0000_0000.
        WrapCase{"word_base_doubled", ":0100000480007B\n:0200100012345678DA\n",
                 "[ERROR, line 2 of the hexfile: data at 0x100000020 lies beyond the 32 bits an address has]"},
        WrapCase{"word_base_into_eeprom", ":01000004807803\n:0200000012345678EA\n",
                 "data at 0x100F00000 lies beyond the 32 bits an address has"},
        // Byte form: the last base with an offset near the top runs past the end.
        WrapCase{"byte_base_plus_offset", ":02000004FFFFFC\n:04FFFE0001020304F5\n",
                 "data at 0xFFFFFFFE lies beyond the 32 bits an address has"}),
    [](const auto& p) { return p.param.name; });

TEST(Wrapping, WriteflashLeavesTheRecordUnwritten) {
    temp_dir dir;
    write_file(dir.file("f.hex"), ":0100000480007B\n:0200100012345678DA\n:00000001FF\n");
    bootsim::device dev;
    const auto r = run_tool(dev, {"--writeflash", "--hexfile", "f.hex"}, in_dir(dir.path()));
    EXPECT_EQ(r.status, 255) << r.out;
    EXPECT_NE(r.out.find("[record on line 2 not written: its address lies beyond 32 bits]\n"), std::string::npos)
        << r.out;
    EXPECT_TRUE(dev.requests.empty());
}

TEST(Output, NeverTheRunsOwnDevice) {
    temp_dir dir;
    sim_process sim(dir.file("tty"));
    const std::string pty = std::filesystem::read_symlink(sim.link()).string();
    for (const std::string& target : {sim.link(), pty}) {
        run_options o = in_dir(dir.path());
        o.with_device = false;
        const auto r = run_plain({"--device", sim.link(), "--readconfig", "--output", target}, o);
        EXPECT_EQ(r.status, 255) << r.out;
        EXPECT_TRUE(r.out.ends_with("(it is the serial device '" + sim.link() + "' of this run)\n")) << r.out;
        EXPECT_EQ(std::filesystem::read_symlink(sim.link()).string(), pty);  // the link is still the line
    }
}

// --check counts the very requests the run sends, on a used board (where no
// block of a row given in part is blank after the merge, as --check assumes).
TEST(Check, CountsWhatProgramSends) {
    const std::string folder = std::string(FIXTURES_DIR) + "/toolchain/";
    for (const auto& e : std::filesystem::directory_iterator(folder)) {
        const std::string file = e.path().filename().string();
        if (!file.ends_with(".hex")) continue;
        for (bool config : {false, true}) {
            std::vector<std::string> args{"--pace", "0", "--hexfile", file, "--eeprom-size", "512"};
            if (config) args.push_back("--write-config");
            std::vector<std::string> check = args;
            check.push_back("--check");
            const auto c = run_plain(check, in_dir(folder));
            ASSERT_EQ(c.status, 0) << c.out;
            std::smatch m;
            ASSERT_TRUE(std::regex_search(c.out, m, std::regex("about ([0-9]+) requests"))) << c.out;
            bootsim::device dev;
            std::fill(dev.flash.begin(), dev.flash.begin() + 0x21000, 0x5A);
            dev.eeprom.assign(512, 0xFF);
            args.push_back("--program");
            const auto p = run_tool(dev, args, in_dir(folder));
            ASSERT_EQ(p.status, 0) << p.out;
            EXPECT_EQ(std::stoul(m[1]), dev.requests.size()) << file << (config ? " --write-config" : "");
        }
    }
}

}  // namespace
