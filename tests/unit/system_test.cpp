// The interfaces beneath which each system's own code sits, on this
// system: the boards' processes, TCP with deadlines, a file's size limit,
// the replacing of a file and the pause that wakes on a stop.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "cli/children.hpp"
#include "commands/files.hpp"
#include "harness.hpp"
#include "link/signals.hpp"
#include "link/sockets.hpp"
#include "link/transport.hpp"

namespace {

using namespace bootlink;

// Reads every child's output to its end: what each printed.
std::vector<std::string> gatherAll(std::vector<child>& children) {
    std::vector<std::string> printed(children.size());
    std::vector<child*> open;
    std::vector<size_t> index;
    for (size_t i = 0; i < children.size(); ++i) {
        open.push_back(&children[i]);
        index.push_back(i);
    }
    const int64_t giveUp = nowNs() + 10000000000LL;
    int stopped = 0;
    while (!open.empty() && nowNs() < giveUp) {
        const auto took = [&](size_t i, const std::string& text) { printed[index[i]] += text; };
        std::vector<size_t> ended = readChildren(open, 200, stopped, took);
        for (auto it = ended.rbegin(); it != ended.rend(); ++it) {
            open.erase(open.begin() + static_cast<long>(*it));
            index.erase(index.begin() + static_cast<long>(*it));
        }
    }
    EXPECT_TRUE(open.empty()) << "a child's output never ended";
    return printed;
}

struct child_case {
    const char* name;
    board_body body;
    std::string printed, report;
    int status;
};

TEST(Children, EachSaysWhatItPrintedItsReportAndItsStatus) {
    const std::vector<child_case> cases = {
        {"ok", [](std::string& r) { r = "{\"status\":0}"; std::printf("done\n"); return 0; }, "done\n",
         "{\"status\":0}\n", 0},
        {"failed", [](std::string& r) { r = "{\"status\":255}"; std::printf("a\nb\n"); return 255; }, "a\nb\n",
         "{\"status\":255}\n", 255},
        // Killed outright: nothing said, the signal in its status.
        {"killed", [](std::string&) { std::printf("partial"); std::fflush(stdout); raise(SIGKILL); return 0; },
         "partial", "", 128 + SIGKILL},
    };
    std::vector<child> children(cases.size());
    for (size_t i = 0; i < cases.size(); ++i) {
        const board_body body = [&, i](std::string& r) {
            const int status = cases[i].body(r);
            std::fflush(stdout);
            return status;
        };
        std::string why;
        ASSERT_TRUE(startChild(children[i], {cases[i].name, std::nullopt, ""}, body, why)) << why;
    }
    const std::vector<std::string> printed = gatherAll(children);
    for (size_t i = 0; i < cases.size(); ++i) {
        std::string report;
        EXPECT_EQ(endChild(children[i], report), cases[i].status) << cases[i].name;
        EXPECT_EQ(printed[i], cases[i].printed) << cases[i].name;
        EXPECT_EQ(report, cases[i].report) << cases[i].name;
    }
}

TEST(Children, AWaitForOutputKeepsItsBound) {
    child c;
    std::string why;
    ASSERT_TRUE(startChild(c, {"slow", std::nullopt, ""}, [](std::string&) { sleep(2); return 0; }, why));
    int stopped = 0;
    const int64_t start = nowNs();
    EXPECT_TRUE(readChildren({&c}, 100, stopped, [](size_t, const std::string&) {}).empty());
    const int64_t took = nowNs() - start;
    EXPECT_GE(took, 90000000);
    EXPECT_LT(took, 1000000000);
    std::vector<child> all{c};
    gatherAll(all);
    std::string report;
    EXPECT_EQ(endChild(all[0], report), 0);
}

// A listening socket of the test's own on 127.0.0.1: its port.
struct listener {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    std::string port;
    listener() {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        bind(fd, reinterpret_cast<sockaddr*>(&a), len);
        listen(fd, 4);
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        port = std::to_string(ntohs(a.sin_port));
    }
    ~listener() { close(fd); }
};

TEST(Sockets, BytesBothWaysThenTheFarEndCloses) {
    listener l;
    std::string why;
    const socket_id s = connectTcp("127.0.0.1", l.port, nowNs() + 2000000000, why);
    ASSERT_NE(s, NO_SOCKET) << why;
    const int peer = accept(l.fd, nullptr, nullptr);
    ASSERT_GE(peer, 0);
    const uint8_t request[] = {0x0F, 0x0F, 0xFF, 0x04};
    EXPECT_EQ(sendSome(s, request, sizeof request, why), 4);
    uint8_t got[8] = {};
    ASSERT_EQ(read(peer, got, sizeof got), 4);
    EXPECT_EQ(0, std::memcmp(got, request, 4));
    // Nothing to read: the wait ends at its deadline, not before, not much after.
    const int64_t start = nowNs();
    EXPECT_EQ(waitSocket(s, false, start + 100000000), 0);
    EXPECT_GE(nowNs() - start, 90000000);
    EXPECT_LT(nowNs() - start, 1000000000);
    EXPECT_EQ(receiveSome(s, got, sizeof got, why), -1);  // would block
    ASSERT_EQ(write(peer, "\x04\x05", 2), 2);
    EXPECT_EQ(waitSocket(s, false, nowNs() + 2000000000), 1);
    EXPECT_EQ(receiveSome(s, got, sizeof got, why), 2);
    close(peer);
    EXPECT_EQ(waitSocket(s, false, nowNs() + 2000000000), 1);
    EXPECT_EQ(receiveSome(s, got, sizeof got, why), 0);  // the far end closed
    closeSocket(s);
}

TEST(Sockets, NobodyListeningIsSaidWithoutWaitingOutTheDeadline) {
    int port = 0;
    {
        listener l;  // a port just freed: nothing listens on it now
        port = std::stoi(l.port);
    }
    std::string why;
    const int64_t start = nowNs();
    EXPECT_EQ(connectTcp("127.0.0.1", std::to_string(port), start + 5000000000LL, why), NO_SOCKET);
    EXPECT_FALSE(why.empty());
    EXPECT_LT(nowNs() - start, 2000000000);
}

TEST(Files, AFileMayBeExactlyItsLimitAndNoMore) {
    struct read_case {
        size_t have, add, limit;
        bool kept;
    };
    for (const read_case& c : std::vector<read_case>{{0, 10, 10, true}, {5, 5, 10, true}, {5, 6, 10, false},
                                                     {0, 11, 10, false}, {0, 0, 0, true}}) {
        file_text f;
        f.text.assign(c.have, 'x');
        const std::string more(c.add, 'y');
        EXPECT_EQ(keepRead(f, more.data(), more.size(), c.limit), c.kept) << c.have << "+" << c.add;
        EXPECT_EQ(f.failed, c.kept ? file_text::problem::none : file_text::problem::too_large);
        EXPECT_EQ(f.text.size(), c.kept ? c.have + c.add : c.have);
    }
}

TEST(Files, AReplacedFileIsTheNewOneWholeAndTheTempIsGone) {
    testing_support::temp_dir dir;
    const std::string target = dir.file("serials");
    testing_support::write_file(target, "next 1\n");
    std::string temp;
    const int fd = makeTempBeside(target, temp);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "next 2\n", 7), 7);
    EXPECT_TRUE(syncFile(fd));
    close(fd);
    EXPECT_TRUE(replaceFile(temp, target));
    EXPECT_EQ(readWholeFile(target, SMALL_FILE_LIMIT).text, "next 2\n");
    EXPECT_FALSE(std::filesystem::exists(temp));
    EXPECT_FALSE(replaceFile(temp, target));  // gone: nothing to put in its place
    EXPECT_EQ(readWholeFile(target, SMALL_FILE_LIMIT).text, "next 2\n");
}

TEST(Pause, SleepsItsTimeWithNoStop) {
    const int64_t start = nowNs();
    EXPECT_TRUE(sleepUntil(start + 50000000));
    EXPECT_GE(nowNs() - start, 50000000);
    EXPECT_LT(nowNs() - start, 1000000000);
    EXPECT_TRUE(sleepUntil(start));  // a time gone by: at once
}

}  // namespace
