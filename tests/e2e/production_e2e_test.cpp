// A production line: which part is on the line, and a report per board
// that a supervisor's script reads.
#include <atomic>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <regex>
#include <set>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "harness.hpp"
#include "hexdata.hpp"

using namespace testing_support;

namespace {

const std::string kToolchain = std::string(FIXTURES_DIR) + "/toolchain/";

struct IdCase {
    std::string name;
    std::string action;
    int device_id;               // the board's
    std::vector<std::string> more;
    int status;
    std::string tail;            // how the output ends
    size_t requests;             // 0: any number
};

void PrintTo(const IdCase& c, std::ostream* os) { *os << c.name; }

class DeviceId : public testing::TestWithParam<IdCase> {};

TEST_P(DeviceId, ReadFirstAndAnotherPartRefusedBeforeAnythingIsErased) {
    const auto& c = GetParam();
    bootsim::device dev;
    dev.device_id = static_cast<uint16_t>(c.device_id);
    std::vector<std::string> args{"--pace", "0", c.action, "--hexfile", "absolute.hex"};
    args.insert(args.end(), c.more.begin(), c.more.end());
    const auto r = run_tool(dev, args, in_dir(kToolchain));
    EXPECT_EQ(r.status, c.status) << r.out;
    char shown[32];
    std::snprintf(shown, sizeof shown, "device ID 0x%04x\n", c.device_id);
    EXPECT_NE(r.out.find(shown), std::string::npos) << r.out;
    EXPECT_TRUE(r.out.ends_with(c.tail)) << r.out;
    ASSERT_FALSE(dev.requests.empty());
    EXPECT_EQ(dev.requests[0].address, 0x3FFFFEu);
    if (c.requests) {
        EXPECT_EQ(dev.requests.size(), c.requests);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Boards, DeviceId,
    testing::Values(
        IdCase{"program_any_part", "--program", 0x4C20, {}, 0, " configuration bytes differ from the file "
               "(--write-config writes them)]\n", 0},
        IdCase{"program_the_expected_part", "--program", 0x4C20, {"--expect-id", "0x4C20"}, 0,
               "(--write-config writes them)]\n", 0},
        IdCase{"program_another_part", "--program", 0x1234, {"--expect-id", "0x4c20"}, 255,
               "[ERROR, device ID 0x1234, expected 0x4c20: another part, nothing was erased]\n", 1},
        IdCase{"verify_another_part", "--verify", 0x1234, {"--expect-id", "19488"}, 255,
               "[ERROR, device ID 0x1234, expected 0x4c20: another part, nothing was compared]\n", 1}),
    [](const auto& p) { return p.param.name; });

std::vector<nlohmann::json> reportLines(const std::string& path) {
    std::vector<nlohmann::json> lines;
    std::istringstream in(read_file(path));
    for (std::string line; std::getline(in, line);) lines.push_back(nlohmann::json::parse(line));  // throws if broken
    return lines;
}

std::string sha256sum(const std::string& path) {
    FILE* p = popen(("sha256sum '" + path + "'").c_str(), "r");
    char sum[65] = {};
    if (!p || std::fscanf(p, "%64s", sum) != 1) ADD_FAILURE() << "sha256sum did not run";
    if (p) pclose(p);
    return sum;
}

// Three runs, one report: what a supervisor needs of each, as JSON.
TEST(Report, OneLinePerRunWithTheFilesHashAndWhyItFailed) {
    temp_dir dir;
    const std::string fw = kToolchain + "tables-30k.hex";
    const std::string report = dir.file("line.jsonl");
    bootsim::device dev;
    auto r = run_tool(dev, {"--pace", "0", "--program", "--hexfile", fw, "--report", report});
    ASSERT_EQ(r.status, 0) << r.out;
    dev.flash[0x0100] ^= 0x01;
    r = run_tool(dev, {"--pace", "0", "--verify", "--hexfile", fw, "--report", report});
    ASSERT_EQ(r.status, 255);
    write_file(dir.file("bad.hex"), ":0400000001020304F2\n");
    r = run_tool(dev, {"--pace", "0", "--program", "--hexfile", dir.file("bad.hex"), "--report", report});
    ASSERT_EQ(r.status, 255);

    const auto lines = reportLines(report);
    ASSERT_EQ(lines.size(), 3u);
    const auto& ok = lines[0];
    EXPECT_EQ(ok["result"], "ok");
    EXPECT_EQ(ok["status"], 0);
    EXPECT_EQ(ok["action"], "program");
    EXPECT_EQ(ok["tool"], "bootlink");
    EXPECT_EQ(ok["device_id"], "0x4c20");
    EXPECT_EQ(ok["sha256"], sha256sum(fw));
    EXPECT_GE(ok["program"]["compared"].get<int>(), 30496);  // the kept bytes of rows given in part too
    EXPECT_GT(ok["program"]["written"].get<int>(), 30000);
    EXPECT_EQ(ok["message"], "");
    EXPECT_TRUE(ok["time"].get<std::string>().ends_with("Z"));
    EXPECT_EQ(lines[1]["result"], "verify-failed");
    EXPECT_EQ(lines[1]["device_id"], "0x4c20");
    EXPECT_EQ(lines[1]["message"], "[ERROR, verify failed: 1 bytes differ]");
    EXPECT_EQ(lines[2]["result"], "bad-file");
    EXPECT_EQ(lines[2]["status"], 255);
    EXPECT_TRUE(lines[2]["device_id"].is_null());
}

// Stations appending to one report at once: every line whole.
TEST(Report, ParallelRunsNeverInterleave) {
    temp_dir dir;
    std::vector<std::unique_ptr<sim_process>> boards;
    for (int i = 0; i < 4; ++i) boards.push_back(std::make_unique<sim_process>(dir.file("b" + std::to_string(i))));
    const std::string report = dir.file("shared.jsonl");
    std::vector<std::thread> runs;
    std::vector<int> status(4, -1);
    for (int i = 0; i < 4; ++i)
        runs.emplace_back([&, i] {
            for (int k = 0; k < 3; ++k)
                status[i] = std::max(status[i], run_plain({"--device", boards[i]->link(), "--pace", "0", "--verify",
                                                           "--hexfile", kToolchain + "linked.hex", "--report", report})
                                                    .status);
        });
    for (auto& t : runs) t.join();
    const auto lines = reportLines(report);
    ASSERT_EQ(lines.size(), 12u);
    for (const auto& l : lines) EXPECT_EQ(l["result"], "verify-failed") << l.dump();  // blank boards
}

}  // namespace

namespace {

std::vector<uint8_t> eepromAt(const bootsim::device& dev, uint32_t offset, size_t n) {
    return {dev.eeprom.begin() + offset, dev.eeprom.begin() + offset + static_cast<long>(n)};
}

// Boards one after another from one file of numbers: each the next; a
// board refused before any write gives its number to the board after it,
// one that failed once writes went out keeps it (it may be on the board).
TEST(Serials, EachBoardTheNextAndANumberBackOnlyBeforeAnyWrite) {
    temp_dir dir;
    const std::vector<std::string> args{"--pace", "0", "--program", "--hexfile", kToolchain + "absolute.hex",
                                        "--serial-at", "0xF00080", "--serial-file", dir.file("serials"),
                                        "--report", dir.file("r.jsonl"), "--expect-id", "0x4c20"};
    std::vector<std::string> firstArgs = args;
    firstArgs.insert(firstArgs.end(), {"--serial", "0x1000FF"});
    bootsim::device first, otherPart, third, failing, fifth;
    otherPart.device_id = 0x1234;  // refused before anything is erased
    failing.faults.push_back(*bootsim::parse_fault("corrupt-write=0x01"));  // every write: it cannot verify
    EXPECT_EQ(run_tool(first, firstArgs).status, 0);
    EXPECT_EQ(run_tool(otherPart, args).status, 255);
    const auto r = run_tool(third, args);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("serial number 1048832 at 0xF00080 (4 bytes, least significant first)\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(run_tool(failing, args).status, 255);
    EXPECT_EQ(run_tool(fifth, args).status, 0);
    EXPECT_EQ(eepromAt(first, 0x80, 5), (std::vector<uint8_t>{0xFF, 0x00, 0x10, 0x00, 0xFF}));
    EXPECT_EQ(eepromAt(third, 0x80, 4), (std::vector<uint8_t>{0x00, 0x01, 0x10, 0x00}));  // the refused board's
    EXPECT_EQ(eepromAt(fifth, 0x80, 4), (std::vector<uint8_t>{0x02, 0x01, 0x10, 0x00}));  // 0x100101 is spent
    EXPECT_EQ(read_file(dir.file("serials")), "next 1048835\n");
    const auto lines = reportLines(dir.file("r.jsonl"));
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0]["serial"], 0x1000FF);
    EXPECT_EQ(lines[1]["result"], "wrong-device");
    EXPECT_EQ(lines[1]["serial_returned"], true);
    EXPECT_EQ(lines[2]["serial"], 0x100100);
    EXPECT_EQ(lines[3]["result"], "verify-failed");
    EXPECT_EQ(lines[3]["serial"], 0x100101);
    EXPECT_EQ(lines[3]["serial_returned"], false);
    EXPECT_EQ(lines[4]["serial"], 0x100102);
}

struct SerialRefusal {
    std::string name;
    std::vector<std::string> args;
    std::string tail;
    std::string file = "next 7\n";  // the number file before (and after) the run
};

void PrintTo(const SerialRefusal& c, std::ostream* os) { *os << c.name; }

class SerialRefused : public testing::TestWithParam<SerialRefusal> {};

TEST_P(SerialRefused, BeforeTheLineIsOpenedAndNoNumberUsedUp) {
    const auto& c = GetParam();
    temp_dir dir;
    write_file(dir.file("serials"), c.file);
    std::vector<std::string> args{"--pace", "0", "--program", "--hexfile", kToolchain + "absolute.hex",
                                  "--serial-file", dir.file("serials")};
    args.insert(args.end(), c.args.begin(), c.args.end());
    bootsim::device dev;
    const auto r = run_tool(dev, args);
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(r.out.ends_with(c.tail)) << r.out;
    EXPECT_TRUE(dev.wire.empty());
    EXPECT_EQ(read_file(dir.file("serials")), c.file);
}

INSTANTIATE_TEST_SUITE_P(
    Numbers, SerialRefused,
    testing::Values(
        SerialRefusal{"where_the_file_gives_data", {"--serial-at", "0xF00010"},
                      "ERROR: serial number 7 cannot go to 0xF00010: the hex file gives byte 0xF00010 itself, "
                      "nothing was sent\n"},
        SerialRefusal{"in_no_memory", {"--serial-at", "0x250000"},
                      "ERROR: serial number 7 cannot go to 0x250000: 0x250000 is not in program memory or the "
                      "EEPROM, nothing was sent\n"},
        SerialRefusal{"past_the_eeprom", {"--serial-at", "0xF000FE"},
                      "ERROR: serial number 7 cannot go to 0xF000FE: 0xF000FE is not in program memory or the "
                      "EEPROM, nothing was sent\n"},
        SerialRefusal{"too_big_for_its_bytes", {"--serial-at", "0xF00080", "--serial-bytes", "1"},
                      "ERROR: serial number 256 cannot go to 0xF00080: it does not fit in 1 byte, nothing was sent\n",
                      "next 256\n"}),
    [](const auto& p) { return p.param.name; });

}  // namespace

namespace {

// Four boards from one command, the third faulty: the table and the report
// name only it and why; the others hold the file; the run fails as a whole.
TEST(Boards, FourAtOnceOneFaultyNamedAlone) {
    temp_dir dir;
    std::vector<std::unique_ptr<sim_process>> boards;
    std::string list;
    for (int i = 0; i < 4; ++i) {
        const std::string link = dir.file("board" + std::to_string(i));
        boards.push_back(std::make_unique<sim_process>(
            link, i == 2 ? std::vector<std::string>{"--fault", "corrupt-write=0x01"} : std::vector<std::string>{}));
        list += (i ? "\n" : "# the rack\n") + link;
    }
    write_file(dir.file("rack"), list + "\n");
    std::filesystem::create_directories(dir.file("logs"));
    const std::string fw = kToolchain + "linked.hex";
    const auto r = run_plain({"--devices", "@" + dir.file("rack"), "--pace", "0", "--program", "--write-config", "--hexfile", fw,
                              "--serial-at", "0xF00080", "--serial-file", dir.file("serials"), "--serial", "500",
                              "--report", dir.file("r.jsonl"), "--log-dir", dir.file("logs")},
                             in_dir(dir.path()));
    EXPECT_EQ(r.status, 255) << r.out;
    EXPECT_NE(r.out.find("working on 4 boards at once\n"), std::string::npos);
    for (int i = 0; i < 4; ++i) {
        const std::string name = dir.file("board" + std::to_string(i));
        const std::regex row("\n" + name + " +0x4c20 +" + (i == 2 ? "verify-failed .*read back wrong" : "ok ") + "[^\n]*\n");
        EXPECT_TRUE(std::regex_search(r.out, row)) << name << "\n" << r.out;
        EXPECT_NE(r.out.find(name + ": action: program flash, EEPROM and configuration\n"), std::string::npos);
        EXPECT_NE(read_file(dir.file("logs/board" + std::to_string(i) + ".log")).find("device ID 0x4c20\n"),
                  std::string::npos);
        if (i != 2) {
            const auto v = run_plain({"--device", name, "--pace", "0", "--verify", "--hexfile", fw});
            EXPECT_EQ(v.status, 0) << v.out;
        }
    }
    EXPECT_TRUE(r.out.ends_with("[ERROR, not every board succeeded]\n")) << r.out;
    const auto lines = reportLines(dir.file("r.jsonl"));
    ASSERT_EQ(lines.size(), 4u);
    std::set<uint64_t> serials;
    for (const auto& l : lines) {
        const bool faulty = l["device"] == dir.file("board2");
        EXPECT_EQ(l["result"], faulty ? "verify-failed" : "ok") << l.dump();
        if (!faulty) serials.insert(l["serial"].get<uint64_t>());
    }
    // Three boards verified, three distinct numbers; the faulty one's was
    // written to it, so it is spent, not given back.
    EXPECT_EQ(serials.size(), 3u);
    EXPECT_EQ(*serials.rbegin() - *serials.begin() <= 3, true);
    EXPECT_EQ(read_file(dir.file("serials")), "next 504\n");
}

}  // namespace

namespace {

// An unattended line: boards plugged in one after another at one path, the
// second one faulty; each programmed once, a line each, --count ends it.
TEST(Wait, ProgramsBoardsPluggedInOneAfterAnother) {
    temp_dir dir;
    const std::string path = dir.file("station");
    const std::string fw = kToolchain + "linked.hex";
    std::atomic<bool> done{false};
    std::thread line([&] {
        for (int i = 0; i < 3 && !done; ++i) {
            std::vector<std::string> args;
            if (i == 1) args = {"--fault", "corrupt-write=0x01"};
            {
                sim_process board(path, args);  // plugged in
                // Left in until its result is on the line's log, then taken away.
                for (int t = 0; t < 400 && !done; ++t) {
                    const std::string log = read_file(dir.file("out"));
                    if (log.find("board " + std::to_string(i + 1) + " on ") != std::string::npos) break;
                    usleep(25000);
                }
            }
            usleep(200000);
        }
    });
    run_options o = in_dir(dir.path());
    o.stdout_mode = dir.file("out");
    o.timeout_ms = 30000;
    const auto r = run_plain({"--device", path, "--pace", "0", "--wait", "--count", "3", "--program", "--hexfile", fw,
                              "--serial-at", "0xF00080", "--serial", "40", "--report", dir.file("r.jsonl")},
                             o);
    done = true;
    line.join();
    const std::string out = read_file(dir.file("out"));
    EXPECT_EQ(r.status, 255) << out;
    // Each line names the board's serial number too.
    EXPECT_TRUE(std::regex_search(
        out, std::regex("\\[OK => board 1 on " + path + ", device ID 0x4c20, serial number 40 in [0-9.]+ s\\]\n")))
        << out;
    EXPECT_NE(out.find("[ERROR, board 2 on " + path + ", device ID 0x4c20, serial number 41: verify-failed: "),
              std::string::npos)
        << out;
    EXPECT_TRUE(std::regex_search(
        out, std::regex("\\[OK => board 3 on " + path + ", device ID 0x4c20, serial number 42 in [0-9.]+ s\\]\n")))
        << out;
    EXPECT_TRUE(out.ends_with("[ERROR, not every board succeeded]\n")) << out;
    const auto lines = reportLines(dir.file("r.jsonl"));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0]["serial"], 40);
    EXPECT_EQ(lines[2]["serial"], 42);  // without a file the numbers go on: the board, not a failure, used 41
}

}  // namespace

namespace {

// Stopped between boards, the line ends in good order: 0 when every board
// so far succeeded (here: none came).
TEST(Wait, AStopSignalEndsTheLineAsItsBoardsDid) {
    temp_dir dir;
    run_options o = in_dir(dir.path());
    o.signal = SIGTERM;
    o.signal_after = "(a stop signal ends the line)\n";
    o.signal_after_ms = 200;
    const auto r = run_plain({"--device", dir.file("station"), "--wait", "--program", "--hexfile",
                              kToolchain + "linked.hex"},
                             o);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(r.out.ends_with("waiting for boards on 1 device (a stop signal ends the line)\n"
                                "[OK => 0 boards, every one succeeded]\n"))
        << r.out;
}

}  // namespace
