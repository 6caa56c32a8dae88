// Boards in a rack: the line is a serial port a real ser2net exports over
// TCP, raw or as telnet with RFC 2217, in front of the simulator's terminal.
#include <atomic>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <regex>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "harness.hpp"
#include "hexdata.hpp"

using namespace testing_support;

namespace {

const std::string kToolchain = std::string(FIXTURES_DIR) + "/toolchain/";

struct NetJob {
    std::string name;
    std::vector<std::string> args;
};

struct NetCase {
    NetJob job;
    bool rfc2217;
};

void PrintTo(const NetCase& c, std::ostream* os) { *os << c.job.name << (c.rfc2217 ? "_rfc2217" : "_raw"); }

class ThroughSer2net : public testing::TestWithParam<NetCase> {};

// The output past the device's echo, times and the kept file's name (which
// carries the device's) left out.
std::string afterFirstLine(const std::string& s) {
    const std::string rest = s.substr(s.find('\n') + 1);
    return std::regex_replace(std::regex_replace(rest, std::regex("[0-9.]+ s\\b"), "T s"),
                              std::regex("bootlink-kept-[^ ]*\\.hex"), "KEPT");
}

// The same job on a local line and through the server: the same bytes
// reach the device (the wake byte and every 0xFF once), the same memory
// and the same output after the device's echo.
TEST_P(ThroughSer2net, SendsWhatALocalLineSends) {
#ifdef BOOTLINK_SANITIZED
    // Timing of a real server on a machine loaded by a sanitized suite: the
    // plain suite runs these; the failure paths below still run here.
    GTEST_SKIP() << "ser2net's own timing under sanitizer load";
#endif
    const auto& c = GetParam();
    temp_dir here, there;
    bootsim::device local, remote;
    for (auto* dev : {&local, &remote})
        for (uint32_t a = 0; a < 0x10000; ++a) dev->flash[a] = static_cast<uint8_t>(a * 31 + (a >> 8));
    std::vector<std::string> args{"--baud", "115200", "--pace", "0"};
    args.insert(args.end(), c.job.args.begin(), c.job.args.end());
    const auto direct = run_tool(local, args, in_dir(here.path()));
    ASSERT_EQ(direct.status, 0) << direct.out;

    std::unique_ptr<ser2net_server> server;
    run_options o = in_dir(there.path());
    o.front = [&](const std::string& pty) {
        server = std::make_unique<ser2net_server>(pty, c.rfc2217);
        return server->url();
    };
    const auto r = run_tool(remote, args, o);
    ASSERT_EQ(r.status, 0) << r.out;
    // A raw socket cannot carry the speed: the one line the output adds says so.
    std::string out = r.out;
    const std::string speedNote =
        "[note: socket:// carries bytes only: the line speed is the server's, --baud 115200 is not sent]\n";
    if (!c.rfc2217) {
        ASSERT_NE(out.find(speedNote), std::string::npos) << out;
        out.erase(out.find(speedNote), speedNote.size());
    }
    EXPECT_EQ(afterFirstLine(out), afterFirstLine(direct.out));
    EXPECT_EQ(hex(received(remote)), hex(received(local)));
    EXPECT_EQ(remote.wakes, 1);
    EXPECT_TRUE(remote.flash == local.flash);
    if (file_exists(here.file("out.hex"))) {
        EXPECT_EQ(read_file(there.file("out.hex")), read_file(here.file("out.hex")));
    }
    // Through RFC 2217 the speed is set on the port behind the server.
    if (c.rfc2217) {
        EXPECT_EQ(remote.speed_at_wake, 115200);
    }
}

const NetJob jobs[] = {
    {"program", {"--program", "--hexfile", kToolchain + "tables-30k.hex"}},
    {"readflash", {"--readflash", "--bytes", "600", "--startaddr", "0x0FF0"}},
    {"eraseflash", {"--eraseflash", "--rows", "3", "--startaddr", "0x1320"}},
    {"readconfig", {"--readconfig"}},
    {"reset", {"--reset"}},
};

std::vector<NetCase> cases() {
    std::vector<NetCase> all;
    for (const auto& j : jobs)
        for (bool telnet : {false, true}) all.push_back({j, telnet});
    return all;
}

INSTANTIATE_TEST_SUITE_P(Jobs, ThroughSer2net, testing::ValuesIn(cases()), [](const auto& p) {
    return p.param.job.name + (p.param.rfc2217 ? "_rfc2217" : "_raw");
});

// A peer on 127.0.0.1 that accepts and then does `what` with each client.
class peer {
public:
    explicit peer(bool closeAtOnce) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct sockaddr_in a {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        listen(fd_, 4);
        thread_ = std::thread([this, closeAtOnce] {
            const int c = accept(fd_, nullptr, nullptr);
            char buf[64];
            if (!closeAtOnce)
                while (!stop_ && recv(c, buf, sizeof buf, MSG_DONTWAIT) != 0) usleep(5000);  // takes, never answers
            else
                usleep(100000), recv(c, buf, sizeof buf, MSG_DONTWAIT);
            close(c);
        });
    }
    ~peer() {
        stop_ = true;
        shutdown(fd_, SHUT_RDWR);
        thread_.join();
        close(fd_);
    }
    std::string url() const { return "socket://127.0.0.1:" + std::to_string(port_); }

private:
    int fd_ = -1, port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

struct Failure {
    std::string name;
    int peer_kind;  // 0 none listening, 1 silent, 2 closes
    std::vector<std::string> args;
    std::string tail;
};

void PrintTo(const Failure& c, std::ostream* os) { *os << c.name; }

class NetworkFailure : public testing::TestWithParam<Failure> {};

// A server that is not there, never answers or goes away: the run says so
// with the reason and ends, never hangs.
TEST_P(NetworkFailure, SaysWhyAndEnds) {
    const auto& c = GetParam();
    std::unique_ptr<peer> p;
    std::string url = "socket://127.0.0.1:" + std::to_string(free_tcp_port());
    if (c.peer_kind > 0) {
        p = std::make_unique<peer>(c.peer_kind == 2);
        url = p->url();
    }
    std::vector<std::string> args{"--device", url};
    args.insert(args.end(), c.args.begin(), c.args.end());
    run_options o;
    o.timeout_ms = 20000;
    const auto r = run_plain(args, o);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 255);
    std::string tail = c.tail;
    if (const size_t at = tail.find("@URL"); at != std::string::npos) tail.replace(at, 4, url);
    EXPECT_NE(r.out.find(tail), std::string::npos) << r.out;
    EXPECT_LT(r.seconds, 8.0);
}

INSTANTIATE_TEST_SUITE_P(
    Peers, NetworkFailure,
    testing::Values(Failure{"refused", 0, {"--reset"}, "[reason: Connection refused]\n"},
                    // A single step waits for ever on a local line; over a network, the default bound.
                    Failure{"silent_server", 1, {"--pace", "0", "--readflash", "--bytes", "4", "--startaddr", "0"},
                            "\n[ERROR, no reply from the device within 5000 ms]\n"
                            "[hint: is the device in its bootloader, on socket://127.0.0.1:"},
                    Failure{"server_goes_away", 2,
                            {"--pace", "0", "--timeout", "3000", "--readflash", "--bytes", "4", "--startaddr", "0"},
                            "\n[ERROR, the connection to @URL was lost: "}),
    [](const auto& p) { return p.param.name; });

}  // namespace

namespace {

// The URLs farms and serial libraries write, through a real ser2net: a
// trailing slash, options of serial libraries passed over with a note.
struct UrlForm {
    std::string name;
    std::string suffix;
    bool rfc2217;
    std::string note;
};

void PrintTo(const UrlForm& c, std::ostream* os) { *os << c.name; }

class UrlForms : public testing::TestWithParam<UrlForm> {};

TEST_P(UrlForms, ReachTheDevice) {
#ifdef BOOTLINK_SANITIZED
    GTEST_SKIP() << "ser2net's own timing under sanitizer load";
#endif
    const auto& c = GetParam();
    bootsim::device dev;
    std::unique_ptr<ser2net_server> server;
    run_options o;
    o.front = [&](const std::string& pty) {
        server = std::make_unique<ser2net_server>(pty, c.rfc2217);
        return server->url() + c.suffix;
    };
    const auto r = run_tool(dev, {"--reset"}, o);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(hex(received(dev)), "FF 0F 0F 00 00 00 04");
    EXPECT_NE(r.out.find(c.note), std::string::npos) << r.out;
}

INSTANTIATE_TEST_SUITE_P(
    Farms, UrlForms,
    testing::Values(UrlForm{"trailing_slash_rfc2217", "/", true, "[OK => RESET Device]"},
                    UrlForm{"trailing_slash_raw", "/", false, "[OK => RESET Device]"},
                    UrlForm{"ign_set_control", "?ign_set_control", true,
                            "[note: the URL option 'ign_set_control' is passed over: the tool sets the line itself "
                            "(--baud, --timeout)]\n"},
                    UrlForm{"slash_and_two_options", "/?logging=debug&timeout=3", false,
                            "[note: the URL option 'timeout=3' is passed over"}));

TEST(UrlForms, AnUnknownOptionIsRefusedWithTheKnownOnes) {
    const auto r = run_plain({"--device", "rfc2217://127.0.0.1:4000?baudrate=9600", "--reset"});
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(r.out.find("ERROR: 'rfc2217://127.0.0.1:4000?baudrate=9600': the URL option 'baudrate=9600' is not "
                         "known here (known, and passed over: ign_set_control, timeout=, logging=)\n"),
              std::string::npos)
        << r.out;
}

}  // namespace

namespace {

// A ser2net that lets two clients onto a port: another client's traffic is
// there before our wake byte, and the run says so instead of failing dumbly.
TEST(SharedPort, AnotherClientOnTheServerIsNamed) {
#ifdef BOOTLINK_SANITIZED
    GTEST_SKIP() << "ser2net's own timing under sanitizer load";
#endif
    bootsim::device dev;
    std::unique_ptr<ser2net_server> server;
    std::atomic<bool> done{false};
    std::thread other;
    run_options o;
    o.timeout_ms = 20000;
    o.front = [&](const std::string& pty) {
        server = std::make_unique<ser2net_server>(pty, false, 2);
        const std::string url = server->url();
        const int port = std::stoi(url.substr(url.rfind(':') + 1));
        // The other client: asks for the device ID every 10 ms.
        other = std::thread([port, &done] {
            const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            struct sockaddr_in a {};
            a.sin_family = AF_INET;
            a.sin_port = htons(static_cast<uint16_t>(port));
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return;
            const char idRead[] = "\xFF\x0F\x0F\x06\x02\xFE\xFF\x3F\xBC\x04";
            char scratch[4096];
            for (int i = 0; i < 1000 && !done; ++i) {
                send(fd, idRead, sizeof idRead - 1, MSG_NOSIGNAL);
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
                while (recv(fd, scratch, sizeof scratch, MSG_DONTWAIT) > 0) {
                }
            }
            close(fd);
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the other client is on first
        return url;
    };
    const auto r = run_tool(dev, {"--pace", "0", "--verify", "--hexfile", kToolchain + "absolute.hex"}, o);
    done = true;
    if (other.joinable()) other.join();
    EXPECT_EQ(r.status, 255) << r.out;
    EXPECT_TRUE(std::regex_search(r.out, std::regex("\\[note: [0-9]+ bytes came from socket://127\\.0\\.0\\.1:[0-9]+ "
                                                    "before the wake byte: another client on the port")))
        << r.out;
}

}  // namespace
