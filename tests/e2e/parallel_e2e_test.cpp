// A production line: four boards programmed at once, each run on its own
// line, each with its own status and memory.

#include <gtest/gtest.h>

#include <array>
#include <thread>

#include "harness.hpp"
#include "hexdata.hpp"

using namespace testing_support;

namespace {

TEST(ProductionLine, FourBoardsProgrammedInParallel) {
    constexpr int boards = 4;
    std::array<bootsim::device, boards> dev;
    std::array<run_result, boards> result;
    std::array<std::string, boards> hex;
    temp_dir dir;
    for (int b = 0; b < boards; ++b) {
        for (uint32_t a = 0; a < 512; a += 16) {
            std::vector<int> data;
            for (uint32_t i = 0; i < 16; ++i) data.push_back(static_cast<int>((a + i) * (b + 3)) & 0xFF);
            hex[b] += intel_record(a, 0, data) + "\n";
        }
        hex[b] += ":00000001FF\n";
        write_file(dir.file("board" + std::to_string(b) + ".hex"), hex[b]);
        std::fill(dev[b].flash.begin(), dev[b].flash.begin() + 1024, 0x33);
    }
    std::vector<std::thread> runs;
    for (int b = 0; b < boards; ++b)
        runs.emplace_back([&, b] {
            result[b] = run_tool(dev[b], {"--pace", "0", "--program", "--hexfile", "board" + std::to_string(b) + ".hex"},
                                 in_dir(dir.path()));
        });
    for (auto& t : runs) t.join();
    for (int b = 0; b < boards; ++b) {
        SCOPED_TRACE(b);
        EXPECT_EQ(result[b].status, 0) << result[b].out;
        const auto want = intel_hex_bytes(hex[b]);
        for (uint32_t a = 0; a < 1024; ++a) {
            const auto it = want.find(a);
            ASSERT_EQ(dev[b].flash[a], it != want.end() ? it->second : 0x33) << "board " << b << " at " << a;
        }
    }
}

}  // namespace
