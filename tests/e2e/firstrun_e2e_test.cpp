// A first run, as a newcomer makes it, and the records a line keeps of its
// boards: what device and speed a run used, a hint when the built-in line
// settings make it slow, --check at the run's own settings, per-board rows
// and report lines that are right for failed boards too.

#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>

#include "harness.hpp"

using namespace testing_support;

namespace {

const std::string kToolchain = std::string(FIXTURES_DIR) + "/toolchain/";
const std::string absolute = kToolchain + "absolute.hex";

std::vector<nlohmann::json> jsonLines(const std::string& path) {
    std::vector<nlohmann::json> lines;
    std::istringstream in(read_file(path));
    for (std::string line; std::getline(in, line);) lines.push_back(nlohmann::json::parse(line));
    return lines;
}

// With no --device anywhere, the newer actions say which line they use;
// the single steps print what they always have.
TEST(FirstRun, TheDefaultDeviceIsNamed) {
    temp_dir dir;
    const auto program = run_plain({"--timeout", "100", "--retries", "0", "--verify", "--hexfile", absolute},
                                   in_dir(dir.path()));
    EXPECT_NE(program.out.find("using device /dev/ttyS0 for serial comms (the default)\n"), std::string::npos)
        << program.out;
    const auto reset = run_plain({"--help"}, in_dir(dir.path()));
    EXPECT_EQ(reset.out.find("(the default)"), std::string::npos);
}

// At the built-in speed and pace a long run ends with a hint of how much
// faster the usual fast settings make it; not once the user chose them.
TEST(FirstRun, ASlowRunAtTheBuiltInSettingsSaysHowToGoFaster) {
    bootsim::device dev;
    run_options o;
    o.env = {{"BOOTLINK_SLOW_HINT_AFTER", "0"}};
    const auto r = run_tool(dev, {"--verify", "--hexfile", absolute}, o);
    ASSERT_EQ(r.status, 255) << r.out;  // a blank board: the hint is for runs that succeed
    bootsim::device programmed;
    ASSERT_EQ(run_tool(programmed, {"--pace", "0", "--program", "--write-config", "--hexfile", absolute}).status, 0);
    const auto slow = run_tool(programmed, {"--verify", "--hexfile", absolute}, o);
    ASSERT_EQ(slow.status, 0) << slow.out;
    const std::regex hint(
        "\\[hint: this took [0-9]+ s at 19200 bit/s with a pause of 10 ms after each byte; if the board keeps up, "
        "--baud 115200 --pace 0 \\(or baud = 115200 and pace = 0 in ./bootlink.toml\\) makes it about ([0-9]+) "
        "times faster\\]\n$");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(slow.out, m, hint)) << slow.out;
    EXPECT_GE(std::stoi(m[1]), 5);  // requests paced 10 ms a byte against a wire of 0.09 ms
    const auto chosen = run_tool(programmed, {"--pace", "10", "--verify", "--hexfile", absolute}, o);
    EXPECT_EQ(chosen.out.find("[hint: this took"), std::string::npos) << chosen.out;
}

// --check counts at the speed and pace the run would have, and says where
// they came from.
TEST(FirstRun, CheckTakesTheLineSettingsOfTheFileOfDefaults) {
    temp_dir dir;
    write_file(dir.file("bootlink.toml"), "baud = 115200\npace = 0\n");
    const auto r = run_plain({"--check", "--hexfile", absolute}, in_dir(dir.path()));
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("line speed 115200 bit/s (from ./bootlink.toml)\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("at 115200 bit/s with a 0 ms pace\n"), std::string::npos) << r.out;
}

// A run refused before any board was opened names no device in its report.
TEST(Records, ARunThatOpenedNoBoardRecordsNoDevice) {
    temp_dir dir;
    const auto r = run_plain({"--report", "r.jsonl", "--program", "--hexfile", "missing.hex"}, in_dir(dir.path()));
    EXPECT_EQ(r.status, 254);
    const auto lines = jsonLines(dir.file("r.jsonl"));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(lines[0]["device"].is_null()) << lines[0].dump();
    EXPECT_EQ(lines[0]["result"], "bad-file");
}

// Four boards, one failing with retries on the way: its row and its report
// line carry its retries, time and device ID; every board gets the number
// of its place in the list; logs go to a folder made for them, one each
// though two boards' names end alike.
TEST(Records, EachBoardInTheTableAndTheReportAsItWent) {
    temp_dir dir;
    std::vector<std::unique_ptr<sim_process>> boards;
    std::vector<std::string> names;
    std::string list;
    for (int i = 0; i < 4; ++i) {
        const std::string folder = dir.file(std::string(1, static_cast<char>('a' + i)));
        std::filesystem::create_directories(folder);
        names.push_back(folder + "/port");  // the same last name for every board
        boards.push_back(std::make_unique<sim_process>(
            names.back(), i == 2 ? std::vector<std::string>{"--fault", "bad-checksum@1", "--fault", "corrupt-write=0x01"}
                                 : std::vector<std::string>{}));
        list += (i ? "," : "") + names.back();
    }
    const auto r = run_plain({"--devices", list, "--pace", "0", "--program", "--hexfile", absolute, "--serial-at",
                              "0xF00080", "--serial-file", dir.file("serials"), "--serial", "500", "--report",
                              dir.file("r.jsonl"), "--log-dir", dir.file("logs/today")},
                             in_dir(dir.path()));
    ASSERT_EQ(r.status, 255) << r.out;
    for (int i = 0; i < 4; ++i) {
        const std::regex row("\n" + names[i] + " +0x4c20 +" + (i == 2 ? "verify-failed" : "ok") + " +" +
                             std::to_string(500 + i) + " +[0-9]+ +" + (i == 2 ? "[1-9][0-9]*" : "0") + " +[0-9.]+s ");
        EXPECT_TRUE(std::regex_search(r.out, row)) << names[i] << "\n" << r.out;
        const std::string log = read_file(dir.file("logs/today/port" + std::string(i ? "-" + std::to_string(i + 1) : "") + ".log"));
        EXPECT_NE(log.find("serial number " + std::to_string(500 + i) + " at 0xF00080"), std::string::npos) << log;
    }
    for (const auto& line : jsonLines(dir.file("r.jsonl"))) {
        const auto at = std::find(names.begin(), names.end(), line["device"].get<std::string>());
        ASSERT_NE(at, names.end()) << line.dump();
        const int i = static_cast<int>(at - names.begin());
        EXPECT_EQ(line["serial"], 500 + i) << line.dump();
        if (i != 2) continue;
        EXPECT_GE(line["retries"].get<int>(), 1) << line.dump();
        EXPECT_GT(line["seconds"].get<double>(), 0.0) << line.dump();
        EXPECT_EQ(line["device_id"], "0x4c20") << line.dump();
    }
}

}  // namespace

namespace {

// "Is the board still as backed up?": --verify of a --readall backup
// compares the ID locations too.
TEST(Backup, VerifyOfABackupComparesTheIdLocations) {
    temp_dir dir;
    bootsim::device dev;
    for (uint32_t a = 0; a < 256; ++a) dev.flash[a] = static_cast<uint8_t>(a ^ 0x5A);
    for (uint32_t a = 0x200000; a < 0x200008; ++a) dev.high[a] = static_cast<uint8_t>(a & 0x3F);
    const std::vector<std::string> backup{"--pace", "0", "--readall", "--flash-size", "256", "--output", "b.hex"};
    ASSERT_EQ(run_tool(dev, backup, in_dir(dir.path())).status, 0);
    const std::vector<std::string> verify{"--pace", "0", "--verify", "--hexfile", "b.hex"};
    const auto same = run_tool(dev, verify, in_dir(dir.path()));
    EXPECT_EQ(same.status, 0) << same.out;
    EXPECT_EQ(same.out.find("ID locations"), std::string::npos) << same.out;  // no "not compared" note
    dev.high[0x200002] = 0x00;
    const auto changed = run_tool(dev, verify, in_dir(dir.path()));
    EXPECT_EQ(changed.status, 255);
    EXPECT_NE(changed.out.find("[ERROR, verify failed at 0x200002: expected 0x02, read 0x00]\n"), std::string::npos)
        << changed.out;
}

}  // namespace
