// Every wait of a run ends: files that block or never end, a device or a
// server that freezes, a server that talks nonsense, a stop signal at any
// moment. Each ends within its bound (generous here; bench/ measures them)
// with the status and the reason a script would act on.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <netinet/in.h>
#include <nlohmann/json.hpp>
#include <set>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "harness.hpp"
#include "hexdata.hpp"

using namespace testing_support;

namespace {

const std::string kToolchain = std::string(FIXTURES_DIR) + "/toolchain/";

std::string fifo(const temp_dir& dir, const std::string& name) {
    const std::string path = dir.file(name);
    mkfifo(path.c_str(), 0600);
    return path;
}

// A path the tool reads or writes that could hold it up: what the run is
// given, how it ends when nothing is done to it, and within how long.
struct BlockingPoint {
    std::string name;
    std::function<std::vector<std::string>(const temp_dir&)> args;
    int status;
    std::string says;  // in standard output or error
    double within;     // seconds, start to end, left alone
    std::map<std::string, std::string> env = {};
};

void PrintTo(const BlockingPoint& c, std::ostream* os) { *os << c.name; }

const std::string absolute = kToolchain + "absolute.hex";

std::vector<BlockingPoint> blockingPoints() {
    return {
        {"hexfile_fifo_nobody_writes",
         [](const temp_dir& d) { return std::vector<std::string>{"--program", "--hexfile", fifo(d, "fw.hex")}; }, 254,
         "(nothing came from it for 10 s)", 14},
        {"board_list_fifo",
         [](const temp_dir& d) {
             return std::vector<std::string>{"--program", "--hexfile", absolute, "--devices", "@" + fifo(d, "rack")};
         },
         255, "nothing came from it for 10 s", 14},
        {"board_list_dev_zero",
         [](const temp_dir&) {
             return std::vector<std::string>{"--program", "--hexfile", absolute, "--devices", "@/dev/zero"};
         },
         255, "could not read the list of devices '/dev/zero' (not a regular file)", 3},
        {"serial_file_fifo",
         [](const temp_dir& d) {
             return std::vector<std::string>{"--program", "--hexfile", absolute, "--serial-at", "0xF00080",
                                             "--serial-file", fifo(d, "serials")};
         },
         255, "is not a file the tool can write (not a regular file)", 3},
        {"serial_file_dev_zero",
         [](const temp_dir&) {
             return std::vector<std::string>{"--program", "--hexfile", absolute, "--serial-at", "0xF00080",
                                             "--serial-file", "/dev/zero"};
         },
         255, "ERROR: the serial number file '/dev/zero' is not a file the tool can write (not a regular file)", 3},
        {"report_fifo_nobody_reads",
         [](const temp_dir& d) {
             return std::vector<std::string>{"--verify", "--hexfile", absolute, "--report", fifo(d, "r.jsonl")};
         },
         255, "is not a file the tool can write (not a regular file)", 3},
        {"report_on_the_line",
         [](const temp_dir&) { return std::vector<std::string>{"--reset", "--report", "@TTY"}; }, 255,
         "is not a file the tool can write (it is the serial device", 3},
        {"defaults_fifo",
         [](const temp_dir& d) {
             fifo(d, "defaults.toml");
             return std::vector<std::string>{"--verify", "--hexfile", absolute};
         },
         255, "which is not a file that can be read", 3, {{"BOOTLINK_CONFIG", "defaults.toml"}}},
    };
}

class Blocking : public testing::TestWithParam<BlockingPoint> {};

// Left alone: each ends within its bound, and nothing reached the device.
TEST_P(Blocking, EndsWithinItsBound) {
    const auto& c = GetParam();
    temp_dir dir;
    bootsim::device dev;
    run_options o = in_dir(dir.path());
    o.env = c.env;
    o.timeout_ms = 30000;
    const auto r = run_tool(dev, c.args(dir), o);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, c.status) << r.out << r.err;
    EXPECT_NE((r.out + r.err).find(c.says), std::string::npos) << r.out << r.err;
    EXPECT_LT(r.seconds, c.within);
    EXPECT_TRUE(dev.requests.empty());
}

// A stop signal at any moment, before the open too: the run ends within a
// second of it, with 128 + the signal.
TEST_P(Blocking, AStopSignalEndsItAtAnyMoment) {
    const auto& c = GetParam();
    for (const int ms : {0, 3, 40, 300}) {
        temp_dir dir;
        bootsim::device dev;
        run_options o = in_dir(dir.path());
        o.env = c.env;
        o.timeout_ms = 30000;
        o.signal = SIGTERM;
        o.signal_after_ms = ms;
        const auto r = run_tool(dev, c.args(dir), o);
        EXPECT_FALSE(r.timed_out);
        if (r.seconds < c.within / 4 && r.signalled_at < 0) continue;  // ended before the signal was due
        if (r.status != c.status) {
            EXPECT_EQ(r.status, 128 + SIGTERM) << ms << " ms\n" << r.out;
        }
        EXPECT_LT(r.seconds - std::max(r.signalled_at, 0.0), 1.5) << ms << " ms";
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, Blocking, testing::ValuesIn(blockingPoints()));

// --- A line that goes dead, or never lived ---------------------------------

size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// Nobody answers (not in its bootloader, the wrong port): the defaults end
// the run within (retries + 1) x timeout + 1 s, each retry said once, no
// second round.
TEST(DeadLine, ASilentDeviceEndsWithinItsRetries) {
    bootsim::device dev;
    dev.faults.push_back(*bootsim::parse_fault("no-answer"));
    const auto r = run_tool(dev, {"--program", "--hexfile", absolute}, timeout(40000));
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(count(r.out, "[retry "), 2u) << r.out;
    // The hint names what the run used: the device, the speed and the pace.
    EXPECT_TRUE(r.out.ends_with("[ERROR, no reply from the device within 5000 ms]\n"
                                "[hint: is the device in its bootloader, on " + r.tty +
                                ", at 19200 bit/s with a pause of 10 ms after each byte (--device, --baud, --pace)?]\n"))
        << r.out;
    EXPECT_LT(r.seconds, 3 * 5.0 + 1 + 2);  // 2 s for a loaded machine
    EXPECT_GT(r.seconds, 3 * 5.0 - 0.5);
}

class EveryReplyDamaged : public testing::TestWithParam<int> {};

// A reply damaged every time, on a line that never gave a good one: exactly
// --retries retry lines, then the run ends.
TEST_P(EveryReplyDamaged, ExactlyItsRetriesThenTheEnd) {
    bootsim::device dev;
    dev.faults.push_back(*bootsim::parse_fault("bad-checksum"));
    const int retries = GetParam();
    const auto r = run_tool(dev, {"--pace", "0", "--retries", std::to_string(retries), "--program", "--hexfile",
                                  absolute});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(count(r.out, "[retry "), static_cast<size_t>(retries)) << r.out;
    EXPECT_NE(r.out.find("damaged on the line]\n"), std::string::npos) << r.out;
    EXPECT_EQ(dev.requests.size(), static_cast<size_t>(retries) + 1);
}

INSTANTIATE_TEST_SUITE_P(Retries, EveryReplyDamaged, testing::Values(0, 1, 2, 5));

// The device or the server in front of it stops dead in the middle of
// --program: the run ends within (retries + 1) x the reply wait + 1 s of it.
struct Freeze {
    std::string name;
    bool through_server;
};

void PrintTo(const Freeze& c, std::ostream* os) { *os << c.name; }

class Frozen : public testing::TestWithParam<Freeze> {};

TEST_P(Frozen, EndsWithinItsRetries) {
#ifdef BOOTLINK_SANITIZED
    if (GetParam().through_server) GTEST_SKIP() << "ser2net's own timing under sanitizer load";
#endif
    temp_dir dir;
    sim_process board(dir.file("tty"), {"--baud", "115200"});
    std::unique_ptr<ser2net_server> server;
    if (GetParam().through_server) server = std::make_unique<ser2net_server>(board.link(), false);
    run_options o;
    o.signal_after = "writing 30272 bytes";  // the erases are done: each write's reply is due soon
    o.signal_after_ms = 300;
    o.act = [&] { server ? server->freeze() : board.freeze(); };
    o.timeout_ms = 60000;
    const auto r = run_plain({"--device", server ? server->url() : board.link(), "--baud", "115200", "--pace", "0",
                              "--timeout", "1000", "--program", "--hexfile", kToolchain + "tables-30k.hex"},
                             o);
    ASSERT_GT(r.signalled_at, 0) << r.out;
    EXPECT_EQ(r.status, 255) << r.out;
    EXPECT_TRUE(r.out.find("[ERROR, no reply from the device within") != std::string::npos ||
                r.out.find("[ERROR, the line takes no more bytes") != std::string::npos)
        << r.out;
    // A write of 31 blocks may take 155 ms more a reply; the probe 0.5 s.
    EXPECT_LT(r.seconds - r.signalled_at, 3 * 1.155 + 1 + 0.5 + 2) << r.out;
}

INSTANTIATE_TEST_SUITE_P(Lines, Frozen,
                         testing::Values(Freeze{"device", false}, Freeze{"ser2net", true}));

// A stop signal at any moment of --program ends it within a second (and
// one held write-back of a row given in part, a few milliseconds here).
TEST(StopSignal, AtAnyMomentOfAProgrammingEndsItWithinASecond) {
    for (const int ms : {20, 150, 400, 900, 1600}) {
        bootsim::device dev;
        dev.timing.baud = 115200;
        dev.timing.write_us = dev.timing.erase_us = 2000;
        run_options o;
        o.signal = SIGTERM;
        o.signal_after = "action: ";
        o.signal_after_ms = ms;
        const auto r = run_tool(dev, {"--baud", "115200", "--pace", "0", "--program", "--hexfile",
                                      kToolchain + "tables-30k.hex"},
                                o);
        ASSERT_GT(r.signalled_at, 0) << ms << " ms";
        EXPECT_EQ(r.status, 128 + SIGTERM) << ms << " ms\n" << r.out;
        EXPECT_TRUE(r.out.ends_with("[interrupted]\n")) << r.out;
        EXPECT_LT(r.seconds - r.signalled_at, 1.5) << ms << " ms";
        EXPECT_TRUE(r.settings_restored);
    }
}

// A repair whose write lands on a row verified before it (its address
// damaged, its sum intact): the read-back at the end finds that row and
// mends it, and the note names the row left erased.
TEST(Repairs, AWriteThatLandsOnAVerifiedRowIsFoundAtTheEnd) {
    temp_dir dir;
    std::string hexText;
    for (int a = 0; a < 128; a += 16) {
        std::vector<int> data;
        for (int i = 0; i < 16; ++i) data.push_back((a + i) * 3 % 251);
        hexText += intel_record(static_cast<uint32_t>(a), 0, data) + "\n";
    }
    write_file(dir.file("fw.hex"), hexText + ":00000001FF\n");
    bootsim::device dev;
    // 0 device ID, 1 erase, 2 write (stored wrong), 3 read back; row 0x000
    // reread (4) and rewritten (5-7); row 0x040 reread (8) and rewritten
    // (9-11), its write landing on row 0x000.
    dev.faults.push_back(*bootsim::parse_fault("corrupt-write@2"));
    dev.faults.push_back(*bootsim::parse_fault("misdirect=0@10"));
    const auto r = run_tool(dev, {"--pace", "0", "--program", "--hexfile", "fw.hex"}, in_dir(dir.path()));
    ASSERT_EQ(r.status, 0) << r.out;
    for (uint32_t a = 0; a < 128; ++a) ASSERT_EQ(dev.flash[a], (a * 3) % 251) << a << "\n" << r.out;
    EXPECT_NE(r.out.find("reading back 64 bytes of program memory once more\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("[note: a damaged request may also have landed outside the file's rows (row 0x000040 read "
                         "back erased after its write was acknowledged: that write went elsewhere)"),
              std::string::npos)
        << r.out;
    EXPECT_TRUE(r.out.ends_with("repeated]\n")) << r.out;
}

// --- Servers that talk nonsense ----------------------------------------------

// A TCP server of the test's own on 127.0.0.1: takes one client, sends it
// `first`, then `again` every `everyMs` until the client goes (at most a
// few seconds), and throws away what the client sends.
class peer {
public:
    peer(std::string first, std::string again, int everyMs = 1) : every_ms_(everyMs) {
        listen_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct sockaddr_in a {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        ::listen(listen_, 1);
        thread_ = std::thread([this, first, again] { serve(first, again); });
    }
    ~peer() {
        done_ = true;
        shutdown(listen_, SHUT_RDWR);
        thread_.join();
        close(listen_);
    }
    std::string url(const char* scheme) const { return std::string(scheme) + "://127.0.0.1:" + std::to_string(port_); }

private:
    void serve(const std::string& first, const std::string& again) {
        const int c = accept(listen_, nullptr, nullptr);
        if (c < 0) return;
        send(c, first.data(), first.size(), MSG_NOSIGNAL);
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        char scratch[4096];
        while (!done_ && std::chrono::steady_clock::now() < end) {
            while (recv(c, scratch, sizeof scratch, MSG_DONTWAIT) > 0) {
            }
            if (!again.empty() && send(c, again.data(), again.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0 &&
                errno != EAGAIN)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(every_ms_));
        }
        close(c);
    }

    int every_ms_;
    int listen_ = -1;
    int port_ = 0;
    std::atomic<bool> done_{false};
    std::thread thread_;
};

const std::string IAC_SB_COM = "\xFF\xFA\x2C";

TEST(Server, AnEndlessSubnegotiationEndsTheRun) {
    peer p(IAC_SB_COM, std::string(1024, 'A'));
    const auto r = run_plain({"--device", p.url("rfc2217"), "--timeout", "1000", "--verify", "--hexfile", absolute},
                             timeout(20000));
    EXPECT_EQ(r.status, 255) << r.out;
    EXPECT_NE(r.out.find("sent a telnet subnegotiation longer than 64 bytes: is it an RFC 2217 server?]"),
              std::string::npos)
        << r.out;
    EXPECT_LT(r.seconds, 3.0);
}

// An answer to the speed that names another (50019200 is not 19200, and
// must not overflow on the way to saying so).
TEST(Server, ASpeedAnswerIsReadInFull) {
    const std::string answer = IAC_SB_COM + "\x65\x02\xFB\x3B\x80" + "\xFF\xF0";
    ASSERT_EQ(answer.size(), 10u);
    peer p(answer, "");
    const auto r = run_plain({"--device", p.url("rfc2217"), "--baud", "19200", "--timeout", "500", "--reset"},
                             timeout(20000));
    EXPECT_EQ(r.status, 255) << r.out;
    EXPECT_NE(r.out.find("did not take the line speed 19200 bit/s"), std::string::npos) << r.out;
}

// Another client on the port: its bytes before our wake byte are named,
// and a reply to its request ends the run with the hint.
TEST(Server, AnotherClientOnThePortIsNamed) {
    const std::string eraseAck = "\x0F\x0F\x03\xFD\x04";  // a reply, but to an erase
    peer p(eraseAck, eraseAck, 300);
    const auto r = run_plain({"--device", p.url("socket"), "--timeout", "500", "--verify", "--hexfile", absolute},
                             timeout(20000));
    EXPECT_EQ(r.status, 255) << r.out;
    EXPECT_NE(r.out.find("before the wake byte: another client on the port, or the server's banner?]\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("[hint: another client may be on this network port too (ser2net's max-connections): one "
                         "run at a time]\n"),
              std::string::npos)
        << r.out;
}

struct Refusal {
    std::string name;
    std::vector<std::string> args;
    std::string says;
};

void PrintTo(const Refusal& c, std::ostream* os) { *os << c.name; }

// What the tool cannot honour, refused before anything is opened.
class CommandLineRefused : public testing::TestWithParam<Refusal> {};

TEST_P(CommandLineRefused, BeforeAnythingIsOpened) {
    const auto r = run_plain(GetParam().args);
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(r.out.find(GetParam().says), std::string::npos) << r.out;
    EXPECT_LT(r.seconds, 3.0);
}

INSTANTIATE_TEST_SUITE_P(
    Options, CommandLineRefused,
    testing::Values(
        Refusal{"count_0", {"--wait", "--count", "0", "--program", "--hexfile", absolute},
                "ERROR: --count takes 1 or more: without it the line runs until stopped\n"},
        Refusal{"log_dir_for_one_board", {"--log-dir", "/tmp", "--program", "--hexfile", absolute},
                "ERROR: --log-dir is for many boards (--devices or --wait)"},
        Refusal{"port_past_65535", {"--device", "socket://127.0.0.1:70000", "--reset"}, "the port is 1 to 65535"},
        Refusal{"port_0", {"--device", "rfc2217://127.0.0.1:0", "--reset"}, "the port is 1 to 65535"},
        Refusal{"wait_on_a_network_port_in_a_list",
                {"--devices", "/dev/ttyUSB7,socket://127.0.0.1:4000", "--wait", "--program", "--hexfile", absolute},
                "--wait watches device paths for boards plugged in, not a network port"}));

// Each board of many runs at its own table's speed from the file of
// defaults, as it would with --device.
TEST(ManyBoards, EachTakesItsOwnTableOfTheFileOfDefaults) {
    temp_dir dir;
    sim_process fast(dir.file("fast")), plain(dir.file("plain"));
    write_file(dir.file("bootlink.toml"), "pace = 0\n[\"" + dir.file("fast") + "\"]\nbaud = 57600\n");
    const auto r = run_plain({"--devices", dir.file("fast") + "," + dir.file("plain"), "--verify", "--hexfile",
                              kToolchain + "absolute.hex"},
                             in_dir(dir.path()));
    EXPECT_NE(r.out.find(dir.file("fast") + ": line speed 57600 bit/s (from ./bootlink.toml [" + dir.file("fast") + "])\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find(dir.file("plain") + ": line speed"), std::string::npos) << r.out;
}

// --- Files that are not what they seem ----------------------------------------

std::string sha256sum(const std::string& path) {
    FILE* p = popen(("sha256sum '" + path + "'").c_str(), "r");
    char text[65] = {};
    if (p && std::fread(text, 1, 64, p) != 64) text[0] = 0;
    if (p) pclose(p);
    return text;
}

// The report names what was programmed: the bytes read, not whatever the
// path holds at the end.
TEST(Report, HashesTheBytesProgrammedThoughTheFileIsReplaced) {
    temp_dir dir;
    std::filesystem::copy_file(absolute, dir.file("fw.hex"));
    std::filesystem::copy_file(kToolchain + "linked.hex", dir.file("other.hex"));
    const std::string programmed = sha256sum(dir.file("fw.hex"));
    bootsim::device dev;
    run_options o = in_dir(dir.path());
    o.signal_after = "action: ";
    o.signal_after_ms = 0;
    o.act = [&] { std::filesystem::rename(dir.file("other.hex"), dir.file("fw.hex")); };
    const auto r = run_tool(dev, {"--program", "--hexfile", "fw.hex", "--report", "r.jsonl"}, o);
    ASSERT_EQ(r.status, 0) << r.out;
    ASSERT_GT(r.signalled_at, 0);
    const auto line = nlohmann::json::parse(read_file(dir.file("r.jsonl")));
    EXPECT_EQ(line["sha256"], programmed);
    EXPECT_NE(sha256sum(dir.file("fw.hex")), programmed);
}

// --- Serial numbers -------------------------------------------------------------

// Stations that name the file through a link and by its own name share one
// file and one lock: no number twice, the link still a link.
TEST(Serials, ThroughALinkFromParallelWorkersNoNumberTwice) {
    temp_dir dir;
    write_file(dir.file("serials"), "next 1000\n");
    std::filesystem::create_symlink(dir.file("serials"), dir.file("via-link"));
    constexpr int workers = 8, boards = 3;
    std::vector<std::thread> threads;
    for (int w = 0; w < workers; ++w)
        threads.emplace_back([&, w] {
            for (int b = 0; b < boards; ++b) {
                bootsim::device dev;
                run_tool(dev, {"--pace", "0", "--program", "--hexfile", absolute, "--serial-at", "0xF00080",
                               "--serial-file", dir.file(w % 2 ? "via-link" : "serials"), "--report",
                               dir.file("r.jsonl")});
            }
        });
    for (auto& t : threads) t.join();
    std::set<uint64_t> given;
    std::istringstream lines(read_file(dir.file("r.jsonl")));
    int ok = 0;
    for (std::string line; std::getline(lines, line);) {
        const auto j = nlohmann::json::parse(line);
        ok += j["status"] == 0;
        if (j["status"] == 0) {
            EXPECT_TRUE(given.insert(j["serial"].get<uint64_t>()).second) << line;
        }
    }
    EXPECT_EQ(ok, workers * boards);
    EXPECT_EQ(read_file(dir.file("serials")), "next " + std::to_string(1000 + workers * boards) + "\n");
    EXPECT_TRUE(std::filesystem::is_symlink(dir.file("via-link")));
}

struct BrokenSerials {
    std::string name;
    std::string file;
    std::vector<std::string> more;
    std::string says;
    bool boards = false;  // the boards are in `more`, not a device of the test's
};

void PrintTo(const BrokenSerials& c, std::ostream* os) { *os << c.name; }

class SerialFileRefused : public testing::TestWithParam<BrokenSerials> {};

// Refused before the line opens, nothing sent, the file byte for byte as it was.
TEST_P(SerialFileRefused, NothingSentAndTheFileAsItWas) {
    const auto& c = GetParam();
    temp_dir dir;
    write_file(dir.file("serials"), c.file);
    std::vector<std::string> args{"--pace", "0", "--program", "--hexfile", absolute, "--serial-at", "0xF00080",
                                  "--serial-file", dir.file("serials")};
    args.insert(args.end(), c.more.begin(), c.more.end());
    bootsim::device dev;
    const auto r = c.boards ? run_plain(args) : run_tool(dev, args);
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(r.out.find(c.says), std::string::npos) << r.out;
    EXPECT_TRUE(dev.wire.empty());
    EXPECT_EQ(read_file(dir.file("serials")), c.file);
}

INSTANTIATE_TEST_SUITE_P(
    Files, SerialFileRefused,
    testing::Values(
        BrokenSerials{"empty", "", {}, "has no 'next N' line: it is left as it is"},
        BrokenSerials{"stray_letter", "next 10x0\n", {}, "line 1 is not 'next N' or 'free N'"},
        BrokenSerials{"nul_bytes", std::string("next 12\0\0\n", 10), {}, "line 1 is not 'next N' or 'free N'"},
        BrokenSerials{"too_large", "next 99999999999999999999\n", {}, "line 1 is not 'next N' or 'free N'"},
        BrokenSerials{"free_alone", "free 3\n", {}, "has no 'next N' line"},
        BrokenSerials{"two_nexts", "next 5\nnext 6\n", {}, "line 2 is not 'next N' or 'free N'"},
        BrokenSerials{"serial_differs", "next 5\n", {"--serial", "9"},
                      "ERROR: --serial 9 differs from the next number in"},
        BrokenSerials{"wraps_one_byte", "next 256\n", {"--serial-bytes", "1"},
                      "serial number 256 cannot go to 0xF00080: it does not fit in 1 byte, nothing was sent"},
        BrokenSerials{"wraps_eight_bytes", "next 18446744073709551615\n", {"--serial-bytes", "8"},
                      "it is the last number there is (no next one could be kept), nothing was sent"},
        BrokenSerials{"three_boards_past_one_byte", "next 254\n",
                      {"--serial-bytes", "1", "--devices", "/dev/null,/dev/null,/dev/null"},
                      "serial number 256 cannot go to 0xF00080: it does not fit in 1 byte", true}));

// --- A backup is what the board holds -----------------------------------------

TEST(Backup, DamageTheChecksumCannotSeeNeverReachesTheFile) {
    temp_dir dir;
    bootsim::device dev;
    for (size_t i = 0; i < 2048; ++i) dev.flash[i] = static_cast<uint8_t>(i * 7 + 3);
    dev.faults.push_back(*bootsim::parse_fault("hidden-damage@3"));  // a read of program memory, first pass
    const auto r = run_tool(dev, {"--pace", "0", "--readall", "--flash-size", "2048", "--output", "b.hex"},
                            in_dir(dir.path()));
    ASSERT_EQ(r.status, 0) << r.out;
    const auto saved = intel_hex_bytes(read_file(dir.file("b.hex")));
    for (uint32_t a = 0; a < 2048; ++a) ASSERT_EQ(saved.at(a), dev.flash[a]) << a;
}

// A noisy line (a byte in a thousand damaged, either way): the backup
// still holds what the board holds, read again where a read ran out of
// retries or two reads differed.
TEST(Backup, ANoisyLineStillGivesTheBoardAsItIs) {
    temp_dir dir;
    bootsim::device dev;
    for (size_t i = 0; i < 16384; ++i) dev.flash[i] = static_cast<uint8_t>(i * 13 + i / 251);
    dev.faults.push_back({bootsim::fault_kind::noise, 0, -1, 0.001});
    dev.seed = 3;
    const auto r = run_tool(dev, {"--pace", "0", "--timeout", "150", "--readall", "--flash-size", "16384",
                                  "--output", "b.hex"},
                            in_dir(dir.path()));
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_GT(dev.flipped, 0);
    EXPECT_NE(r.out.find("again: "), std::string::npos) << r.out;  // a request read again whole
    const auto saved = intel_hex_bytes(read_file(dir.file("b.hex")));
    for (uint32_t a = 0; a < 16384; ++a) ASSERT_EQ(saved.at(a), dev.flash[a]) << a;
}

// Each read of the same bytes damaged otherwise: no two agree, the run
// ends and no backup is written.
TEST(Backup, ReadsThatNeverAgreeWriteNoBackup) {
    temp_dir dir;
    bootsim::device dev;
    // Program memory is request 0, then 5 on the second pass (the EEPROM
    // takes two), then 10 on.
    for (const char* f : {"hidden-damage=1@0", "hidden-damage=2@5", "hidden-damage=3@10", "hidden-damage=4@11"})
        dev.faults.push_back(*bootsim::parse_fault(f));
    const auto r = run_tool(dev, {"--pace", "0", "--readall", "--flash-size", "192", "--output", "b.hex"},
                            in_dir(dir.path()));
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(r.out.find("[ERROR, 0x000000 read differently 4 times: the line damages what it reads, the backup was "
                         "not written]"),
              std::string::npos)
        << r.out;
    EXPECT_FALSE(file_exists(dir.file("b.hex")));
    EXPECT_EQ(dev.requests.size(), 12u);
}

}  // namespace
