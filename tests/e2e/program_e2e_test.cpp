// --program and --verify end to end: the whole file checked before anything
// is sent, exactly the touched rows erased, large writes without blank
// blocks, and a read-back that catches a device that lies.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <regex>
#include <set>

#include "harness.hpp"
#include "hexdata.hpp"

using namespace testing_support;

namespace {

// Intel hex with 16-byte records: `size` bytes from `start`, a gap, a record
// off the 8-byte grid, and a block of 0xFF that needs no write.
std::string firmware(uint32_t start, uint32_t size, int seed) {
    std::string text;
    auto rec = [&](uint32_t at, const std::vector<int>& data) { text += intel_record(at, 0, data) + "\n"; };
    for (uint32_t a = start; a < start + size; a += 16) {
        std::vector<int> data;
        for (int i = 0; i < 16; ++i) data.push_back(static_cast<int>((a + i) * 7 + seed) & 0xFF);
        if (a == start + 32) data = std::vector<int>(16, 0xFF);  // two blank blocks
        rec(a, data);
    }
    rec(start + size + 0x100 + 3, {1, 2, 3, 4, 5});  // after a gap, off the grid
    return text + ":00000001FF\n";
}

struct program_run {
    temp_dir dir;
    run_result r;
    program_run(bootsim::device& dev, const std::string& hex, std::vector<std::string> extra = {},
                run_options o = {}) {
        write_file(dir.file("fw.hex"), hex);
        o.cwd = dir.path();
        std::vector<std::string> args{"--pace", "0", "--hexfile", "fw.hex"};
        args.insert(args.end(), extra.begin(), extra.end());
        r = run_tool(dev, args, o);
    }
};

// The output with the phases' times taken out ("  100% in 0.4 s").
std::string untimed(const std::string& out) { return std::regex_replace(out, std::regex(" in [0-9.]+ s\n"), "\n"); }

std::set<uint32_t> rows_of(const std::map<uint32_t, uint8_t>& bytes) {
    std::set<uint32_t> rows;
    for (const auto& [a, b] : bytes) rows.insert(a / 64 * 64);
    return rows;
}

TEST(Program, DirtyDeviceProgrammedVerifiedAndNothingElseTouched) {
    const std::string hex = firmware(0x1000, 4096, 1);
    const auto want = intel_hex_bytes(hex);
    const auto rows = rows_of(want);
    bootsim::device dev;
    std::fill(dev.flash.begin(), dev.flash.begin() + 0x4000, 0x5A);  // an old program
    program_run p(dev, hex, {"--program"});
    ASSERT_EQ(p.r.status, 0) << p.r.out;

    std::set<uint32_t> erased;
    for (const auto& q : dev.requests) {
        ASSERT_TRUE(q.checksum_ok);
        if (q.command == 0x03) {
            for (int i = 0; i < (q.count ? q.count : 256); ++i) EXPECT_TRUE(erased.insert(q.address + 64 * i).second);
        }
        if (q.command == 0x02) {
            EXPECT_LE(q.count, 31);
            EXPECT_EQ(q.address % 8, 0u);
            for (size_t b = 0; b < q.data.size(); b += 8)
                EXPECT_FALSE(std::all_of(q.data.begin() + b, q.data.begin() + b + 8, [](uint8_t v) { return v == 0xFF; }))
                    << "blank block sent at " << q.address + b;
        }
        if (q.command == 0x01) {
            EXPECT_LE(q.count, 251);
        }
    }
    EXPECT_EQ(erased, rows);
    // The device ID first; the row the file gives in part is read twice,
    // then erased, written and read back on its own before the other rows
    // are erased.
    EXPECT_EQ(dev.requests[0].command, 0x06);
    EXPECT_EQ(dev.requests[0].address, 0x3FFFFEu);
    EXPECT_EQ(dev.requests[1].command, 0x01);
    EXPECT_EQ(dev.requests[2].command, 0x01);
    EXPECT_EQ(dev.requests[3].command, 0x03);
    EXPECT_EQ(dev.requests[3].count, 1);
    EXPECT_EQ(dev.requests[4].command, 0x02);
    EXPECT_EQ(dev.requests[5].command, 0x01);
    EXPECT_EQ(dev.requests[6].command, 0x03);
    // Exactly the bytes the file gives change: the old program stays around them.
    for (uint32_t a = 0; a < 0x4000; ++a) {
        const auto it = want.find(a);
        ASSERT_EQ(dev.flash[a], it != want.end() ? it->second : 0x5A) << "at 0x" << std::hex << a;
    }
    // The lone row of the off-grid record on its own, then 64 rows in one erase run.
    EXPECT_NE(untimed(p.r.out).find("action: program flash\ndevice ID 0x4c20\nreading 64 bytes of rows the file gives in part\n"
                           "  25%\n  50%\n  75%\n  100%\nreading 64 bytes again to check them\n"
                           "  25%\n  50%\n  75%\n  100%\n[keeping the device's own bytes in bootlink-kept-"),
              std::string::npos)
        << p.r.out;
    EXPECT_NE(untimed(p.r.out).find("rewriting 1 row the file gives in part\n  25%\n  50%\n  75%\n  100%\n"
                                    "erasing 64 rows\n  25%\n  50%\n  75%\n  100%\nwriting 4080 bytes in "),
              std::string::npos)
        << p.r.out;
    EXPECT_EQ(p.r.out.find('\r'), std::string::npos);  // not a terminal: no bar redrawn in place
    EXPECT_NE(p.r.out.find("verifying 4096 bytes\n"), std::string::npos);
    EXPECT_NE(p.r.out.find("[OK => programmed and verified 4101 bytes of program memory in "), std::string::npos);
    EXPECT_EQ(p.r.out.find("<STX>"), std::string::npos);  // no byte trace without --trace
}

TEST(Program, BadLineInTheMiddleSendsNothing) {
    std::string text = firmware(0x200, 256, 2);
    const size_t third = text.find('\n', text.find('\n') + 1) + 1;
    text.insert(third, ":10021000000102030405060708090A0B0C0D0E0FFF\nnot a record\n");
    bootsim::device dev;
    program_run p(dev, text, {"--program"});
    EXPECT_EQ(p.r.status, 255);
    EXPECT_EQ(hex(received(dev)), "");  // the file is checked before the line is opened
    EXPECT_TRUE(p.r.out.ends_with("[ERROR, line 3 of the hexfile: checksum mismatch]\n"
                                  "[ERROR, line 4 of the hexfile: not a record (no ':' at its start)]\n"
                                  "[ERROR, 2 lines of the hexfile cannot be programmed, nothing was sent]\n"))
        << p.r.out;
}

struct LyingDevice {
    std::string fault;
    int status;
    std::string line;  // a line of the output
};

void PrintTo(const LyingDevice& c, std::ostream* os) { *os << c.fault; }

class ProgramCatches : public ::testing::TestWithParam<LyingDevice> {};

// Requests: 0 and 1 read the row the file gives in part (0x1200) twice, 2-4
// erase, write and read it back; 5 erases the four rows at 0x1000, 6 and 7
// write them (around the two blank blocks at 0x1020), 8 and 9 read them back.
TEST_P(ProgramCatches, ByTheReadBackAndRewritten) {
    bootsim::device dev;
    std::fill(dev.flash.begin(), dev.flash.begin() + 0x2000, 0x00);
    dev.faults.push_back(*bootsim::parse_fault(GetParam().fault));
    const std::string hex = firmware(0x1000, 256, 3);
    program_run p(dev, hex, {"--program"});
    EXPECT_EQ(p.r.status, GetParam().status) << p.r.out;
    EXPECT_NE(p.r.out.find(GetParam().line), std::string::npos) << p.r.out;
    if (GetParam().status != 0) {
        EXPECT_EQ(p.r.out.find("[OK => "), std::string::npos);
        return;
    }
    // Every byte of the touched rows as it must be: the file's, and the old zeros around the off-grid record.
    const auto want = intel_hex_bytes(hex);
    for (uint32_t a = 0x1000; a < 0x1240; ++a) {
        const bool touched = a < 0x1100 || a >= 0x1200;
        const auto it = want.find(a);
        const uint8_t expected = it != want.end() ? it->second : touched && a < 0x1100 ? 0xFF : 0x00;
        ASSERT_EQ(dev.flash[a], expected) << "at 0x" << std::hex << a;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, ProgramCatches,
    ::testing::Values(
        // One write damaged: its rows read back wrong, are read again, then rewritten one by one.
        LyingDevice{"corrupt-write@8", 0, "[retry 1 of 2: row 0x001000 read back wrong]\n"},
        // The erase left the old zeros: each row is erased again on its own.
        LyingDevice{"no-erase@6", 0, "[retry 1 of 2: row 0x0010c0 read back wrong]\n"},
        // Every write damaged: the rows given in part fail after their retries and the
        // device's own bytes stay in the kept file.
        LyingDevice{"corrupt-write", 255,
                    "[ERROR, rows failed after 2 rewrites each: 0x001200 (read back wrong)]\n"
                    "[note: on a line this noisy a damaged request can land at another address: check the board "
                    "against a backup with bootlink --verify --hexfile]\n"
                    "[the device's own bytes of those rows are in bootlink-kept-"}));

TEST(Verify, MatchingAndDifferingDevice) {
    const std::string hex = firmware(0x400, 128, 4);
    bootsim::device dev;
    program_run p(dev, hex, {"--program"});
    ASSERT_EQ(p.r.status, 0) << p.r.out;
    const size_t before = dev.requests.size();
    auto same = run_tool(dev, {"--pace", "0", "--verify", "--hexfile", "fw.hex"}, in_dir(p.dir.path()));
    EXPECT_EQ(same.status, 0) << same.out;
    EXPECT_NE(same.out.find("[OK => verified 133 bytes of program memory in "), std::string::npos) << same.out;
    EXPECT_EQ(dev.requests[before].command, 0x06);  // the device ID
    for (size_t i = before + 1; i < dev.requests.size(); ++i) EXPECT_EQ(dev.requests[i].command, 0x01);
    dev.flash[0x405] ^= 0x10;
    dev.flash[0x585] = 0x00;  // in the off-grid record
    dev.flash[0x5A0] = 0x00;  // in its row, but not a byte the file gives: not compared
    auto differs = run_tool(dev, {"--pace", "0", "--verify", "--hexfile", "fw.hex"}, in_dir(p.dir.path()));
    EXPECT_EQ(differs.status, 255);
    char want[200];
    std::snprintf(want, sizeof want,
                  "[ERROR, verify failed at 0x000405: expected 0x%02x, read 0x%02x]\n"
                  "[ERROR, verify failed at 0x000585: expected 0x03, read 0x00]\n"
                  "[ERROR, verify failed: 2 bytes differ]\n",
                  dev.flash[0x405] ^ 0x10, dev.flash[0x405]);
    EXPECT_TRUE(differs.out.ends_with(want)) << differs.out;
}

TEST(Program, RunResetsTheDeviceAfterwards) {
    bootsim::device dev;
    program_run p(dev, firmware(0, 64, 5), {"--program", "--run"});
    ASSERT_EQ(p.r.status, 0) << p.r.out;
    EXPECT_EQ(dev.resets, 1);
    EXPECT_EQ(dev.requests.back().command, 0x00);
    // The reset's trace, then the programming's result once more: the line a log's tail shows.
    EXPECT_TRUE(std::regex_search(p.r.out, std::regex("SENDing RESET: <STX><STX><0x00><0x00>\\{CHKSUM:<0x00>\\}<ETX>\n"
                                                      "\\[OK => RESET Device\\]\n"
                                                      "\\[OK => programmed and verified 69 bytes of program memory "
                                                      "in [0-9.]+ s\\]\n$")))
        << p.r.out;
}

TEST(Program, SkipUnchangedTouchesOnlyTheChangedRow) {
    bootsim::device dev;
    const std::string first = firmware(0x800, 512, 6);
    program_run p(dev, first, {"--program"});
    ASSERT_EQ(p.r.status, 0) << p.r.out;
    // One byte of the file changes: in the row at 0x900.
    std::string second = first;
    const std::string old_rec = second.substr(second.find(":10090000"), 43);
    auto bytes = intel_hex_bytes(old_rec + "\n");
    std::vector<int> changed;
    for (int i = 0; i < 16; ++i) changed.push_back(bytes[0x900 + i] ^ (i == 3 ? 0x0F : 0));
    second.replace(second.find(old_rec), old_rec.size(), intel_record(0x900, 0, changed));
    const size_t before = dev.requests.size();
    program_run q(dev, second, {"--program", "--skip-unchanged"});
    ASSERT_EQ(q.r.status, 0) << q.r.out;
    std::set<uint32_t> erased, written;
    for (size_t i = before; i < dev.requests.size(); ++i) {
        const auto& r = dev.requests[i];
        if (r.command == 0x03) erased.insert(r.address);
        if (r.command == 0x02) written.insert(r.address / 64 * 64);
        if (r.command == 0x03) {
            EXPECT_EQ(r.count, 1);
        }
    }
    EXPECT_EQ(erased, std::set<uint32_t>{0x900});
    EXPECT_EQ(written, std::set<uint32_t>{0x900});
    EXPECT_EQ(dev.flash[0x903], bytes[0x903] ^ 0x0F);
    EXPECT_NE(q.r.out.find("8 of 9 rows already hold the file, left alone\n"), std::string::npos) << q.r.out;
}

TEST(Program, ProgressOnATerminalIsABarRedrawnInPlace) {
    bootsim::device dev;
    run_options o;
    o.stdout_mode = "tty";
    program_run p(dev, firmware(0, 2048, 7), {"--program"}, o);
    ASSERT_EQ(p.r.status, 0) << p.r.out << p.r.err;
    EXPECT_NE(p.r.out.find("erasing 32 rows\n\r  ["), std::string::npos) << p.r.out;
    // The finished bar gives the time, the bytes done of all, and fits an
    // 80-column terminal.
    // Every redraw clears to the end of the line (ESC [ K), so a shorter
    // one leaves nothing of a longer one behind.
    EXPECT_TRUE(std::regex_search(p.r.out, std::regex("\\] 100% [0-9.]+K?/[0-9.]+K? +[0-9.]+s\x1b\\[K\n"))) << p.r.out;
    const std::string cleared = std::regex_replace(p.r.out, std::regex("\r  \\[[# ]*\\] +[0-9]+%[^\r\n\x1b]*\x1b\\[K"), "");
    EXPECT_EQ(cleared.find('\r'), std::string::npos) << "a redraw without its clear: " << cleared;
    std::string last;
    for (char c : std::regex_replace(p.r.out, std::regex("\x1b\\[K"), "")) {
        if (c == '\r' || c == '\n') {
            // What the tool draws fits; a line naming a file is as long as its path.
            if (!last.starts_with("[keeping the device's own bytes in ")) {
                EXPECT_LT(last.size(), 80u) << last;
            }
            last.clear();
        } else {
            last += c;
        }
    }
    EXPECT_EQ(p.r.out.find("  25%\n"), std::string::npos);
}

TEST(Program, TraceShowsEveryRequestAndReply) {
    bootsim::device dev;
    program_run p(dev, firmware(0, 64, 8), {"--program", "--trace"});
    ASSERT_EQ(p.r.status, 0) << p.r.out;
    EXPECT_NE(p.r.out.find("rewriting 1 row the file gives in part\nSENDing Erase Flash: <STX><STX><0x03><0x01>"),
              std::string::npos)
        << p.r.out;
    EXPECT_NE(p.r.out.find("SENDing: Write Flash: <STX><STX><0x02>"), std::string::npos);
    EXPECT_NE(p.r.out.find("RECEIVING: <STX><STX>{Packettype READ Flash}size = 0x40\nData Dump: \n0x000000\t"),
              std::string::npos);
    EXPECT_EQ(p.r.out.find("25%"), std::string::npos);
}

}  // namespace
