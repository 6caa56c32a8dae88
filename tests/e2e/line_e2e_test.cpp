// The line's bench options end to end: speed, pace and reply timeout, the
// exclusive lock, and the terminal's settings left as they were found on
// every way a run ends.

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "harness.hpp"

using namespace testing_support;

namespace {

const std::vector<std::string> kRead16 = {"--readeeprom", "--bytes", "16", "--startaddr", "0x20"};

std::vector<std::string> with(std::vector<std::string> head, const std::vector<std::string>& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

TEST(LineSpeed, FastLineUnpacedSameOutput) {
    for (const int baud : {115200, 250000}) {  // a standard rate and one only termios2 has
        SCOPED_TRACE(baud);
        bootsim::device slow, fast;
        fast.timing.baud = baud;
        const auto a = run_tool(slow, kRead16);
        const auto b = run_tool(fast, with({"--baud", std::to_string(baud), "--pace", "0"}, kRead16));
        ASSERT_EQ(b.status, 0) << b.out;
        EXPECT_EQ(fast.speed_at_wake, baud);
        EXPECT_EQ(fast.lost, 0);
        // The same exchange, only the echo of the new options in front.
        EXPECT_EQ(b.out, device_echo(b) + "line speed " + std::to_string(baud) +
                             " bit/s\npause after each byte sent: 0 ms\n" + a.out.substr(device_echo(a).size()));
        EXPECT_EQ(received(fast), received(slow));
        // Paced, the request's bytes arrive 10 ms apart; unpaced, one byte
        // time apart, as fast as the wire carries them.
        ASSERT_EQ(fast.requests.size(), 1u);
        const double gaps = static_cast<double>(fast.requests[0].wire.size() - 1);
        const double byte_ms = 10000.0 / baud;
        EXPECT_LT(fast.requests[0].last_ms - fast.requests[0].first_ms, gaps * 5.0);  // half the paced time
        EXPECT_GE(fast.requests[0].last_ms - fast.requests[0].first_ms, gaps * byte_ms - 0.01);
        EXPECT_TRUE(b.settings_restored);
    }
}

TEST(LineSpeed, DefaultRunLeavesTheLineAt19200WhileItRuns) {
    bootsim::device dev;
    ASSERT_EQ(run_tool(dev, {"--reset"}).status, 0);
    EXPECT_EQ(dev.speed_at_wake, 19200);
}

TEST(Timeout, SilentDeviceEndsTheRunInTime) {
    bootsim::device dev;
    dev.faults.push_back({bootsim::fault_kind::no_answer});
    const auto r = run_tool(dev, {"--timeout", "300", "--eraseflash", "--rows", "1", "--startaddr", "0"}, timeout(5000));
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 255);
    // The wait grows by 20 ms for the one row the device erases.
    EXPECT_TRUE(r.out.ends_with("RECEIVING: \n[ERROR, no reply from the device within 320 ms]\n"
                                "[hint: is the device in its bootloader, on " + r.tty +
                                ", at 19200 bit/s with a pause of 10 ms after each byte (--device, --baud, --pace)?]\n"))
        << r.out;
    // 10 request bytes at 10 ms, then the 320 ms wait, plus start-up.
    EXPECT_GE(r.seconds, 0.41);
    // From the last byte the device read to the line's close: the pause and
    // the wait asked, plus a margin. Start-up and exit, slow on a loaded
    // machine under the sanitizers, are not part of the wait.
    ASSERT_FALSE(dev.wire.empty());
    EXPECT_GT(dev.closed_ms, dev.wire.back().ms);
    EXPECT_LT(dev.closed_ms - dev.wire.back().ms, 330.0 + 150.0);
    EXPECT_TRUE(r.settings_restored);
}

TEST(Timeout, BytesLostToOverrunEndInAClearError) {
    // The firmware needs 40 ms a byte: unpaced, most of the request is lost
    // (all of it would get through only if a busy machine held the tool back
    // 40 ms before each of its bytes).
    bootsim::device dev;
    dev.timing.rx_us = 40000;
    auto r = run_tool(dev, {"--pace", "0", "--timeout", "200", "--eraseflash", "--rows", "1", "--startaddr", "0"},
                      timeout(5000));
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(r.out.find("[ERROR, no reply from the device within 220 ms]\n[hint: "), std::string::npos) << r.out;
    EXPECT_GT(dev.lost, 0);
    EXPECT_TRUE(dev.requests.empty());
    // With a pace it can keep up with, the same run succeeds.
    bootsim::device ok;
    ok.timing.rx_us = 40000;
    r = run_tool(ok, {"--pace", "45", "--timeout", "3000", "--eraseflash", "--rows", "1", "--startaddr", "0"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(ok.lost, 0);
}

TEST(Timeout, PacedBytesSurviveASimulatorTheSystemHeldBack) {
    // The simulated part cannot see when a byte was written, only when it
    // read it. Held back by the system (here: stopped) while the host sends
    // at a pace the firmware keeps up with, it must not count the bytes it
    // finds waiting together as an overrun.
    int out[2], err[2];
    ASSERT_EQ(pipe(out), 0);
    ASSERT_EQ(pipe(err), 0);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_adddup2(&fa, err[1], 2);
    const char* argv[] = {BOOTLINK_SIM_BIN, "--rx-time", "20000", "--sessions", "1", nullptr};
    pid_t sim = -1;
    ASSERT_EQ(posix_spawn(&sim, argv[0], &fa, nullptr, const_cast<char**>(argv), environ), 0);
    posix_spawn_file_actions_destroy(&fa);
    close(out[1]);
    close(err[1]);
    FILE* paths = fdopen(out[0], "r");
    char tty[128] = "";
    ASSERT_NE(std::fgets(tty, sizeof tty, paths), nullptr);
    std::string path(tty);
    path.pop_back();
    kill(sim, SIGSTOP);
    // The wake byte and the request take 250 ms at this pace: all are sent
    // while the simulator is stopped.
    std::thread resume([sim] {
        std::this_thread::sleep_for(std::chrono::milliseconds(600));
        kill(sim, SIGCONT);
    });
    const auto r = run_plain({"--device", path, "--pace", "25", "--timeout", "3000", "--eraseflash", "--rows", "1",
                              "--startaddr", "0"});
    resume.join();
    int status = 0;
    waitpid(sim, &status, 0);
    std::fclose(paths);
    std::string log;
    char buf[256];
    for (ssize_t n; (n = read(err[0], buf, sizeof buf)) > 0;) log.append(buf, static_cast<size_t>(n));
    close(err[0]);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(r.out.ends_with("[OK => Erase Flash Program Memory]\n")) << r.out;
    EXPECT_TRUE(log.ends_with("1 host run(s), 1 request(s), 0 reset(s), 0 byte(s) lost\n")) << log;
}

TEST(Lock, SecondProgramOnTheLineIsRefusedBeforeAnythingIsSent) {
    bootsim::device dev;
    run_options o;
    o.hold_lock = true;  // another run holds the line
    auto r = run_tool(dev, {"--reset"}, o);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, device_echo(r) + "ERROR: serial device '" + r.tty + "' is in use by another program\n");
    EXPECT_TRUE(dev.wire.empty());
    EXPECT_TRUE(r.settings_restored);
    // A setup that shares the line on purpose can say so.
    bootsim::device shared;
    r = run_tool(shared, {"--no-lock", "--reset"}, o);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(shared.resets, 1);
}

TEST(Signals, InterruptedRunRestoresTheLineAndSaysSo) {
    for (const auto& [sig, status] : {std::pair{SIGINT, 130}, std::pair{SIGTERM, 143}, std::pair{SIGQUIT, 131},
                                      std::pair{SIGUSR1, 138}}) {
        SCOPED_TRACE(sig);
        bootsim::device dev;
        dev.faults.push_back({bootsim::fault_kind::no_answer});
        run_options o = timeout(5000);
        o.signal_after = "RECEIVING: ";  // waiting for the reply
        o.signal_after_ms = 100;
        o.signal = sig;
        const auto r = run_tool(dev, {"--eraseflash", "--rows", "1", "--startaddr", "0"}, o);
        ASSERT_FALSE(r.timed_out);
        EXPECT_EQ(r.status, status);
        EXPECT_TRUE(r.out.ends_with("RECEIVING: \n[interrupted]\n")) << r.out;
        EXPECT_TRUE(r.settings_restored);
    }
}

TEST(Signals, SettingsRestoredAfterSuccessAndError) {
    bootsim::device ok;
    auto r = run_tool(ok, {"--reset"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.settings_restored);
    bootsim::device bad;
    bad.faults.push_back({bootsim::fault_kind::wrong_echo, 1});
    r = run_tool(bad, {"--eraseflash", "--rows", "1", "--startaddr", "0"});
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(r.settings_restored);
}

struct Refused {
    std::string name;
    std::vector<std::string> args;
    std::string error;
};

void PrintTo(const Refused& c, std::ostream* os) { *os << c.name; }

class RefusedValue : public ::testing::TestWithParam<Refused> {};

TEST_P(RefusedValue, EndsTheScanWithNothingOpened) {
    bootsim::device dev;
    const auto r = run_tool(dev, with(GetParam().args, {"--reset"}));
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, device_echo(r) + GetParam().error);
    EXPECT_TRUE(dev.wire.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Table, RefusedValue,
    ::testing::Values(
        Refused{"baud_too_low", {"--baud", "49"}, "ERROR: --baud takes a line speed from 50 to 4000000 bit/s, not '49'\n"},
        Refused{"baud_too_high", {"--baud", "4000001"},
                "ERROR: --baud takes a line speed from 50 to 4000000 bit/s, not '4000001'\n"},
        Refused{"baud_not_a_number", {"--baud", "115200x"},
                "ERROR: --baud takes a line speed from 50 to 4000000 bit/s, not '115200x'\n"},
        Refused{"pace_negative", {"--pace", "-1"}, "ERROR: --pace takes a pause from 0 to 999 ms, not '-1'\n"},
        Refused{"pace_too_long", {"--pace", "1000"}, "ERROR: --pace takes a pause from 0 to 999 ms, not '1000'\n"},
        Refused{"pace_hex", {"--pace", "0x5"}, "ERROR: --pace takes a pause from 0 to 999 ms, not '0x5'\n"},
        Refused{"timeout_zero", {"--timeout", "0"}, "ERROR: --timeout takes a time from 1 to 600000 ms, not '0'\n"},
        Refused{"timeout_too_long", {"--timeout", "600001"},
                "ERROR: --timeout takes a time from 1 to 600000 ms, not '600001'\n"},
        Refused{"timeout_empty", {"--timeout", ""}, "ERROR: --timeout takes a time from 1 to 600000 ms, not ''\n"}),
    [](const auto& p) { return p.param.name; });

}  // namespace
