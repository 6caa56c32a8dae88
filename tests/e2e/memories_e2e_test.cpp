// Hex files as public toolchains write them, end to end: every memory they
// give (program memory, EEPROM, configuration) programmed and verified, the
// device's other bytes left as they were, and the EEPROM and configuration
// actions.

#include <gtest/gtest.h>

#include "harness.hpp"
#include "hexdata.hpp"

using namespace testing_support;

namespace {

// The files are named from their folder: a path under a deep checkout would
// pass the 63 characters --hexfile takes.
const std::string kToolchain = std::string(FIXTURES_DIR) + "/toolchain/";
const run_options kInToolchain = in_dir(kToolchain);

// A board that has been used: old code, old EEPROM data.
void dirty(bootsim::device& dev, uint32_t eeprom_size = 256) {
    std::fill(dev.flash.begin(), dev.flash.begin() + 0x21000, 0x5A);
    dev.eeprom.assign(eeprom_size, 0x33);
}

struct ToolchainFile {
    std::string name;
    std::string reference;  // the file whose bytes it must give
    std::vector<std::string> extra;
    uint32_t eeprom_size;
    bool program_only = false;  // the word form holds only the reference's program memory
};

void PrintTo(const ToolchainFile& c, std::ostream* os) { *os << c.name; }

class Toolchain : public ::testing::TestWithParam<ToolchainFile> {};

TEST_P(Toolchain, ProgramsExactlyTheFilesBytesThenVerifies) {
    const auto& c = GetParam();
    auto want = intel_hex_bytes(read_file(kToolchain + c.reference));
    if (c.program_only) want.erase(want.lower_bound(0x200000), want.end());
    bootsim::device dev;
    dirty(dev, c.eeprom_size);
    std::vector<std::string> args{"--pace", "0", "--program", "--write-config", "--hexfile", c.name};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    const auto r = run_tool(dev, args, in_dir(kToolchain));
    ASSERT_EQ(r.status, 0) << r.out;

    auto at = [&](uint32_t a, uint8_t otherwise) {
        const auto it = want.find(a);
        return it != want.end() ? it->second : otherwise;
    };
    for (uint32_t a = 0; a < 0x21000; ++a) ASSERT_EQ(dev.flash[a], at(a, 0x5A)) << std::hex << a;
    for (uint32_t a = 0; a < c.eeprom_size; ++a) ASSERT_EQ(dev.eeprom[a], at(0xF00000 + a, 0x33)) << std::hex << a;
    for (uint32_t a = 0; a < 16; ++a) ASSERT_EQ(dev.config[a], at(0x300000 + a, 0xFF)) << std::hex << a;
    // With --write-config the ID locations are written as the row they are
    // (a whole-board backup restores them); the rest of that row kept.
    for (uint32_t a = 0x200000; a < 0x200040; ++a) ASSERT_EQ(dev.read_program(a), at(a, 0xFF)) << std::hex << a;

    args[2] = "--verify";
    args.erase(args.begin() + 3);  // --write-config
    const auto v = run_tool(dev, args, in_dir(kToolchain));
    EXPECT_EQ(v.status, 0) << v.out;
    EXPECT_NE(v.out.find("[OK => verified "), std::string::npos) << v.out;
}

INSTANTIATE_TEST_SUITE_P(
    Files, Toolchain,
    ::testing::Values(ToolchainFile{"absolute.hex", "absolute.hex", {}, 256},
                      ToolchainFile{"absolute-word-form.hex", "absolute.hex", {}, 256, true},
                      ToolchainFile{"linked.hex", "linked.hex", {}, 256},
                      ToolchainFile{"tables-30k.hex", "tables-30k.hex", {}, 256},
                      ToolchainFile{"tables-30k-64byte-records.hex", "tables-30k.hex", {}, 256},
                      ToolchainFile{"configuration-only.hex", "configuration-only.hex", {}, 256},
                      ToolchainFile{"ends-64k-eeprom-320.hex", "ends-64k-eeprom-320.hex", {"--eeprom-size", "512"}, 512},
                      ToolchainFile{"ends-128k.hex", "ends-128k.hex", {}, 256}),
    [](const auto& p) {
        std::string n = p.param.name.substr(0, p.param.name.size() - 4);
        for (char& ch : n)
            if (ch == '-') ch = '_';
        return n;
    });

TEST(Toolchain, TheOkLineAndTheNotesSayWhatWasWrittenAndWhatNot) {
    bootsim::device dev;
    const auto r = run_tool(dev, {"--pace", "0", "--program", "--hexfile", "absolute.hex"}, kInToolchain);
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("[note: ID locations 0x200000-0x200003, 4 bytes, not written]\n"
                         "[note: configuration 0x300000-0x300009, 8 bytes, not written; --write-config writes it]\n"
                         "action: program flash and EEPROM\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("[note: configuration byte 0x300001 reads 0xff, the file gives 0xfa]\n"), std::string::npos);
    EXPECT_NE(r.out.find("[OK => programmed and verified 40 bytes of program memory and 18 bytes of EEPROM in "),
              std::string::npos);
    EXPECT_EQ(dev.config, std::vector<uint8_t>(16, 0xFF));  // not written without --write-config
}

struct Refused {
    std::string name;
    std::string hex;
    std::string ends_with;
};

void PrintTo(const Refused& c, std::ostream* os) { *os << c.name; }

class RefusedFile : public ::testing::TestWithParam<Refused> {};

TEST_P(RefusedFile, BeforeTheLineIsOpened) {
    bootsim::device dev;
    temp_dir dir;
    write_file(dir.file("f.hex"), GetParam().hex);
    const auto r = run_tool(dev, {"--program", "--hexfile", dir.file("f.hex")});
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(r.out.ends_with(GetParam().ends_with)) << r.out;
    EXPECT_TRUE(dev.wire.empty()) << "not even the wake byte may go out";
}

INSTANTIATE_TEST_SUITE_P(
    Table, RefusedFile,
    ::testing::Values(
        Refused{"eeprom_past_its_size", read_file(kToolchain + "ends-64k-eeprom-320.hex"),
                "EEPROM data at 0xF00130 lies past its 256 bytes (--eeprom-size sets them)]\n"
                "[ERROR, 4 lines of the hexfile cannot be programmed, nothing was sent]\n"},
        Refused{"between_memories", ":020000040021D9\n:0100000001FE\n:00000001FF\n",
                "[ERROR, line 2 of the hexfile: data at 0x210000 is in no memory of the device]\n"
                "[ERROR, 1 line of the hexfile cannot be programmed, nothing was sent]\n"},
        Refused{"cut_short", ":0400000001020304F2\n",
                "[ERROR, the hexfile has no end record: is it complete? Nothing was sent]\n"},
        Refused{"nothing_to_write", ":020000040020DA\n:0100000001FE\n:00000001FF\n",
                "[note: ID locations 0x200000-0x200000, 1 byte, not written]\n"
                "[ERROR, the hexfile gives no byte to program, nothing was sent]\n"}),
    [](const auto& p) { return p.param.name; });

struct ConfigCase {
    std::string name;
    int mask1;          // implemented bits of configuration byte 0x300001
    std::string fault;  // on the write of the configuration
    int status;
    std::string line;
};

void PrintTo(const ConfigCase& c, std::ostream* os) { *os << c.name; }

class WriteConfig : public ::testing::TestWithParam<ConfigCase> {};

// absolute.hex gives 0xFA at 0x300001. Requests: 0 reads the device ID; 1-4
// read the three rows given in part (program memory and the ID locations),
// twice; 5-9, 10-12 and 13-15 erase, write and read back each; 16-17 the
// EEPROM; 18-19 read the configuration (two runs of bytes), 20-21 write it,
// 22-23 read it back.
TEST_P(WriteConfig, ReadBackBitByBit) {
    const auto& c = GetParam();
    bootsim::device dev;
    dev.config_mask[1] = static_cast<uint8_t>(c.mask1);
    if (!c.fault.empty()) dev.faults.push_back(*bootsim::parse_fault(c.fault));
    const auto r =
        run_tool(dev, {"--pace", "0", "--program", "--write-config", "--hexfile", "absolute.hex"}, kInToolchain);
    EXPECT_EQ(r.status, c.status) << r.out;
    EXPECT_NE(r.out.find(c.line), std::string::npos) << r.out;
}

INSTANTIATE_TEST_SUITE_P(
    Table, WriteConfig,
    ::testing::Values(
        ConfigCase{"written", 0xFF, "", 0,
                   "and 8 configuration bytes in "},
        ConfigCase{"unimplemented_bits_read_as_zero", 0x7A, "", 0,
                   "[note: configuration byte 0x300001 reads 0x7a where 0xfa was written: bits the part does not "
                   "implement read as 0]\n"},
        ConfigCase{"a_one_where_zero_was_written", 0xFF, "corrupt-write=0x04@20", 255,
                   "[ERROR, verify failed at 0x300001: expected 0xfa, read 0xfe]\n"},
        // Read as 1 before the write: a 0 now is the write's fault, not a bit the part lacks.
        ConfigCase{"a_one_the_write_lost", 0xFF, "corrupt-write=0x80@20", 255,
                   "[ERROR, verify failed at 0x300001: expected 0xfa, read 0x7a]\n"}),
    [](const auto& p) { return p.param.name; });

TEST(Eeprom, WrittenFromAFileAloneAndACorruptWriteCaught) {
    bootsim::device dev;
    dirty(dev);
    const std::string file = "linked.hex";
    const auto r = run_tool(dev, {"--pace", "0", "--writeeeprom", "--hexfile", file}, kInToolchain);
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("[note: program memory 0x000000-0x000080, 111 bytes, not written; --program writes it]\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("[OK => wrote and verified 12 bytes of EEPROM in "), std::string::npos) << r.out;
    const auto want = intel_hex_bytes(read_file(kToolchain + file));
    for (uint32_t a = 0; a < 256; ++a) EXPECT_EQ(dev.eeprom[a], want.count(0xF00000 + a) ? want.at(0xF00000 + a) : 0x33);
    EXPECT_EQ(dev.flash[8], 0x5A);  // program memory untouched
    for (const auto& q : dev.requests) EXPECT_TRUE(q.command == 0x05 || q.command == 0x04) << int(q.command);

    dev.faults.push_back(*bootsim::parse_fault("corrupt-write"));
    const auto bad = run_tool(dev, {"--pace", "0", "--writeeeprom", "--hexfile", file}, kInToolchain);
    EXPECT_EQ(bad.status, 255);
    EXPECT_TRUE(bad.out.ends_with("[ERROR, verify failed: 12 bytes differ]\n")) << bad.out;
}

TEST(Eeprom, ReadSavedAsIntelHexWritesBackAndErases) {
    bootsim::device dev;
    dev.eeprom.assign(512, 0xFF);
    for (int i = 0; i < 8; ++i) dev.eeprom[0x1F8 + i] = static_cast<uint8_t>(0xB0 + i);
    temp_dir dir;
    const auto r = run_tool(dev, {"--readeeprom", "--eeprom-size", "512", "--bytes", "8", "--startaddr", "0x1F8",
                                  "--output", dir.file("ee.hex")});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(r.out.ends_with("[OK => Read EEPROM Data Memory, Intel hex file written to " + dir.file("ee.hex") +
                                "]\n"));
    EXPECT_EQ(read_file(dir.file("ee.hex")), ":0200000400F00A\n:0801F800B0B1B2B3B4B5B6B763\n:00000001FF\n");

    const auto erase = run_tool(dev, {"--pace", "0", "--eraseeeprom", "--eeprom-size", "512"});
    ASSERT_EQ(erase.status, 0) << erase.out;
    EXPECT_EQ(dev.eeprom, std::vector<uint8_t>(512, 0xFF));
    EXPECT_NE(erase.out.find("writing 512 bytes of EEPROM in 8 requests\n"), std::string::npos) << erase.out;

    const auto back = run_tool(dev, {"--pace", "0", "--writeeeprom", "--eeprom-size", "512", "--hexfile",
                                     dir.file("ee.hex")});
    ASSERT_EQ(back.status, 0) << back.out;
    EXPECT_EQ(dev.eeprom[0x1F8], 0xB0);
    EXPECT_EQ(dev.eeprom[0x1FF], 0xB7);
}

TEST(ReadConfig, DumpsAndSavesTheConfigurationAndTheDeviceId) {
    bootsim::device dev;
    for (int i = 0; i < 16; ++i) dev.config[i] = static_cast<uint8_t>(i * 0x11);
    dev.device_id = 0x1234;
    temp_dir dir;
    const auto r = run_tool(dev, {"--readconfig", "--output", dir.file("cfg.hex")});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("SENDing: Read Config: <STX><STX><0x06><0x10><0x00><0x00><0x30>{CHKSUM:<0xba>}<ETX>\n"
                         "RECEIVING: <STX><STX>{Packettype READ CONFIG}size = 0x10\nData Dump: \n0x300000\t00\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("device ID 0x1234\n[OK => Read Configuration Memory, Intel hex file written to "),
              std::string::npos);
    EXPECT_EQ(read_file(dir.file("cfg.hex")),
              ":020000040030CA\n:1000000000112233445566778899AABBCCDDEEFFF8\n:02000004003FBB\n"
              ":02FFFE003412BB\n:00000001FF\n");
}

TEST(WriteFlash, TheWordFormsAddressRecordIsNotWrittenAsData) {
    bootsim::device dev;
    const auto r = run_tool(dev, {"--pace", "0", "--writeflash", "--hexfile", "absolute-word-form.hex"}, kInToolchain);
    ASSERT_EQ(r.status, 0) << r.out;
    const auto want = intel_hex_bytes(read_file(kToolchain + "absolute.hex"));
    for (uint32_t a = 0; a < 0x100; ++a) EXPECT_EQ(dev.flash[a], want.count(a) ? want.at(a) : 0xFF) << a;
}

}  // namespace
