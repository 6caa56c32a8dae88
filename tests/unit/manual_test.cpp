// The manual pages and the tool's --help name every option the programs
// take: the tool's from its own option table, the simulator's from its --help.

#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <set>
#include <string>

#include "capture.hpp"
#include "cli/cli.hpp"
#include "harness.hpp"
#include "report/fatal.hpp"

namespace {

// "--no-lock" as a manual page writes it: "\-\-no\-lock", not followed by
// more of a longer name.
bool names(const std::string& page, const std::string& option) {
    std::string roff = "\\\\-\\\\-";
    for (char c : option) roff += c == '-' ? std::string("\\\\-") : std::string(1, c);
    return std::regex_search(page, std::regex(roff + "(?![a-z]|\\\\-)"));
}

TEST(ManualPage, NamesEveryOptionOfTheTool) {
    const std::string page = testing_support::read_file(MAN_DIR "/bootlink.1");
    ASSERT_FALSE(page.empty());
    const auto options = bootlink::optionNames();
    EXPECT_GE(options.size(), 25u);
    for (const auto& option : options) EXPECT_TRUE(names(page, option)) << "--" << option << " is not in bootlink.1";
    EXPECT_FALSE(names(page, "no-such-option"));
}

TEST(Help, NamesEveryOptionOfTheTool) {
    capture_output cap;
    EXPECT_THROW(bootlink::usage("bootlink"), bootlink::fatal);
    const std::string help = cap.text();
    for (const auto& option : bootlink::optionNames())
        EXPECT_TRUE(std::regex_search(help, std::regex("--" + option + "(?![a-z-])"))) << "--" << option;
}

// The README's table of options has a row for every option the tool takes.
TEST(Readme, TheOptionsTableHasEveryOption) {
    const std::string readme = testing_support::read_file(README_FILE);
    const size_t table = readme.find("## Options\n");
    ASSERT_NE(table, std::string::npos);
    const std::string rows = readme.substr(table, readme.find("\n\n", readme.find("| --- |", table)) - table);
    for (const auto& option : bootlink::optionNames())
        EXPECT_NE(rows.find("\n| `--" + option + "`"), std::string::npos) << "--" << option << " has no row";
}

TEST(ManualPage, NamesEveryOptionOfTheSimulator) {
    const std::string page = testing_support::read_file(MAN_DIR "/bootlink-sim.1");
    ASSERT_FALSE(page.empty());
    FILE* help = popen(BOOTLINK_SIM_BIN " --help", "r");
    ASSERT_NE(help, nullptr);
    std::string text;
    char buf[512];
    while (std::fgets(buf, sizeof buf, help)) text += buf;
    pclose(help);
    std::set<std::string> options;
    const std::regex option("--([a-z][a-z-]*)");
    for (std::sregex_iterator it(text.begin(), text.end(), option), end; it != end; ++it) options.insert((*it)[1]);
    EXPECT_GE(options.size(), 13u);
    for (const auto& o : options) EXPECT_TRUE(names(page, o)) << "--" << o << " is not in bootlink-sim.1";
}

}  // namespace
