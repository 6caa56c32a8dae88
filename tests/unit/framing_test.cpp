// The link layer in-process over a socket pair: what goes on the wire for a
// request, how it is traced, and how replies are read and refused.

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <vector>

#include "capture.hpp"
#include "report/fatal.hpp"
#include "report/outcome.hpp"
#include "link/framing.hpp"
#include "link/posix.hpp"
#include "link/serial.hpp"

namespace {

// Both ends of a line; the tool uses `host`, the test plays the device.
struct line_pair {
    bootlink::serial_link link;  // closes itself
    bootlink::exchange host{link};
    int device = -1;
    line_pair() {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0) {
            link.attach(bootlink::descriptorLine(fds[0]));
            device = fds[1];
        }
    }
    ~line_pair() { close(device); }
    std::vector<uint8_t> sent() {
        std::vector<uint8_t> v(256);
        const ssize_t n = recv(device, v.data(), v.size(), MSG_DONTWAIT);
        v.resize(n > 0 ? static_cast<size_t>(n) : 0);
        return v;
    }
    void reply(std::vector<uint8_t> bytes) {
        ASSERT_EQ(write(device, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
};

struct RequestCase {
    std::vector<uint8_t> body;
    std::vector<uint8_t> wire;
    std::string trace;
};

void PrintTo(const RequestCase& c, std::ostream* os) {
    for (uint8_t b : c.body) *os << static_cast<int>(b) << ' ';
}

class Request : public ::testing::TestWithParam<RequestCase> {};

TEST_P(Request, FramedEscapedAndTraced) {
    line_pair line;
    capture_output cap;
    bootlink::sendRequest(line.host, std::span<const uint8_t>(GetParam().body));
    EXPECT_EQ(line.sent(), GetParam().wire);
    EXPECT_EQ(cap.text(), GetParam().trace);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Request,
    ::testing::Values(
        // Erase 3 rows at 0x1320: sum 0x39, checksum 0xC7.
        RequestCase{{0x03, 0x03, 0x20, 0x13, 0x00},
                    {0x0F, 0x0F, 0x03, 0x03, 0x20, 0x13, 0x00, 0xC7, 0x04},
                    "<STX><STX><0x03><0x03><0x20><0x13><0x00>{CHKSUM:<0xc7>}<ETX>\n"},
        // Read EEPROM: code and length are both ETX; escapes are not counted.
        RequestCase{{0x04, 0x04, 0x10, 0x00, 0x00},
                    {0x0F, 0x0F, 0x05, 0x04, 0x05, 0x04, 0x10, 0x00, 0x00, 0xE8, 0x04},
                    "<STX><STX><DLE><0x04><DLE><0x04><0x10><0x00><0x00>{CHKSUM:<0xe8>}<ETX>\n"},
        // Every frame byte value behind a DLE, and a checksum that is one too.
        RequestCase{{0x0F, 0x05, 0xDD},
                    {0x0F, 0x0F, 0x05, 0x0F, 0x05, 0x05, 0xDD, 0x05, 0x0F, 0x04},
                    "<STX><STX><DLE><0x0f><DLE><0x05><0xdd>{CHKSUM:<DLE><0x0f>}<ETX>\n"},
        // A sum that wraps: 0x80 + 0x80 = 0x100, checksum 0.
        RequestCase{{0x80, 0x80}, {0x0F, 0x0F, 0x80, 0x80, 0x00, 0x04},
                    "<STX><STX><0x80><0x80>{CHKSUM:<0x00>}<ETX>\n"}));

TEST(Request, EachRequestCarriesTheChecksumOfItsOwnBytes) {
    line_pair line;
    capture_output cap;
    bootlink::sendRequest(line.host, {0x01, 0x10});
    bootlink::sendRequest(line.host, {0x02, 0x01});
    EXPECT_EQ(line.sent(), (std::vector<uint8_t>{0x0F, 0x0F, 0x01, 0x10, 0xEF, 0x04,
                                                 0x0F, 0x0F, 0x02, 0x01, 0xFD, 0x04}));
}

TEST(Reply, AckIsReadAndTraced) {
    line_pair line;
    line.reply({0x0F, 0x0F, 0x03, 0xFD, 0x04});
    capture_output cap;
    bootlink::receiveAck(line.host, bootlink::CMD_ERASE_FLASH);
    EXPECT_EQ(cap.text(), "RECEIVING: <STX><STX>{Packettype ERASE Flash}{CHKSUM<0xfd>}<ETX>\n");
}

TEST(Reply, EscapedBytesAreTakenAsData) {
    line_pair line;
    // DLE DLE is a data 0x05; DLE before any other byte yields that byte.
    line.reply({0x05, 0x05, 0x05, 0x41, 0x05, 0x0F, 0x42});
    uint8_t b = 0;
    bootlink::serialReadEscape(line.host, b);
    EXPECT_EQ(b, 0x05);
    bootlink::serialReadEscape(line.host, b);
    EXPECT_EQ(b, 0x41);
    bootlink::serialReadEscape(line.host, b);
    EXPECT_EQ(b, 0x0F);
    bootlink::serialReadEscape(line.host, b);
    EXPECT_EQ(b, 0x42);
}

struct BadReply {
    std::vector<uint8_t> bytes;
    std::string trace;
};

void PrintTo(const BadReply& c, std::ostream* os) {
    for (uint8_t b : c.bytes) *os << static_cast<int>(b) << ' ';
}

class RefusedReply : public ::testing::TestWithParam<BadReply> {};

// Runs `step` as a board's run does: a failure reaches the one catch, whose
// reporter prints its message after the trace. The status it ended with, 0
// for none.
template <class Step>
int asTheRunDoes(Step step) {
    try {
        step();
    } catch (const bootlink::fatal& f) {
        bootlink::report(bootlink::failed(f));
        return f.status;
    }
    return 0;
}

// The run's one catch closes the line (the end-to-end tests see it closed
// and its settings put back); the link only reports and throws.
TEST_P(RefusedReply, EndsTheRunWithItsMessage) {
    line_pair line;
    line.reply(GetParam().bytes);
    capture_output cap;
    EXPECT_EQ(asTheRunDoes([&] { bootlink::receiveAck(line.host, bootlink::CMD_WRITE_FLASH); }), 255)
        << "accepted a bad reply";
    EXPECT_EQ(cap.text(), GetParam().trace);
}

INSTANTIATE_TEST_SUITE_P(
    Table, RefusedReply,
    ::testing::Values(
        BadReply{{0x02}, "RECEIVING: \n[ERROR, expected STX, got 0x02]\n"},
        BadReply{{0x0F, 0xFF}, "RECEIVING: <STX>\n[ERROR, expected STX, got 0xff]\n"},
        BadReply{{0x0F, 0x0F, 0x05, 0x04},
                 "RECEIVING: <STX><STX>{Packettype READ EE}\n[ERROR, expected PacketType 0x02, but got 0x04]\n"},
        BadReply{{0x0F, 0x0F, 0x02, 0xFE, 0x0F},
                 "RECEIVING: <STX><STX>{Packettype WRITE Flash}{CHKSUM<0xfe>}\n[ERROR, expected ETX, got 0x0f]\n"}));

TEST(Reply, EndOfFileIsAnErrorNotAByte) {
    line_pair line;
    line.reply({0x0F});
    shutdown(line.device, SHUT_WR);
    capture_output cap;
    EXPECT_EQ(asTheRunDoes([&] { bootlink::receiveAck(line.host, bootlink::CMD_ERASE_FLASH); }), 255);
    EXPECT_EQ(cap.text(), "RECEIVING: <STX>\n[ERROR, could not read from serial device (end of file)]\n");
}

TEST(Send, WriteFailureEndsTheRun) {
    line_pair line;
    close(line.device);
    line.device = socket(AF_UNIX, SOCK_STREAM, 0);  // keep the destructor happy
    signal(SIGPIPE, SIG_IGN);
    capture_output cap;
    EXPECT_EQ(asTheRunDoes([&] { bootlink::sendRequest(line.host, {0x00, 0x00}); }), 255);
    EXPECT_EQ(cap.text(), "<STX>\n[ERROR, could not write to serial device (Broken pipe)]\n");
    // The half-built packet left no checksum behind.
    line_pair next;
    capture_output cap2;
    bootlink::sendRequest(next.host, {0x10});
    EXPECT_EQ(next.sent(), (std::vector<uint8_t>{0x0F, 0x0F, 0x10, 0xF0, 0x04}));
}

TEST(CommandNames, NamesPrintedOnReceipt) {
    const char* expected[] = {"VERSION}", "READ Flash}", "WRITE Flash}", "ERASE Flash}",
                              "READ EE}", "WRITE EE}",   "READ CONFIG}", "WRITE CONFIG}"};
    for (int code = 0; code < 8; ++code) EXPECT_STREQ(bootlink::commandName(code), expected[code]);
    EXPECT_STREQ(bootlink::commandName(8), "UNKNOWN}");
    EXPECT_STREQ(bootlink::commandName(0xFF), "UNKNOWN}");
}

}  // namespace

namespace {

// What a reply still owes after each chunk that arrives: every escape byte
// owes the byte it escapes on top, so a read of an escape-heavy reply waits
// for all of it instead of taking it a byte or two at a time.
struct OwedCase {
    const char* name;
    std::vector<std::vector<uint8_t>> chunks;
    std::vector<size_t> owed;  // after each chunk
};

class Owed : public ::testing::TestWithParam<OwedCase> {};

TEST_P(Owed, CountsEscapesAcrossChunks) {
    line_pair line;
    line.link.pace_ms = 0;  // replies read in blocks, as at --pace 0
    bootlink::expectReply(line.link, 10, bootlink::DLE);
    const auto& c = GetParam();
    for (size_t i = 0; i < c.chunks.size(); ++i) {
        line.reply(c.chunks[i]);
        uint8_t b = 0;
        ASSERT_EQ(bootlink::serialRead(line.link, b, 1000), 1);
        EXPECT_EQ(line.link.owed, c.owed[i]) << "after chunk " << i;
        line.link.inbox_at = line.link.inbox_len;  // taken
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, Owed,
    ::testing::Values(OwedCase{"no_escapes", {{0x0F, 0x0F, 0x01, 0x02}}, {6}},
                      // 05 04: an escaped ETX; 05 05: an escaped escape, one extra byte, not two.
                      OwedCase{"escapes", {{0x0F, 0x0F, 0x05, 0x04, 0x05, 0x05}}, {6}},
                      // The escape at a chunk's end escapes the first byte of the next.
                      OwedCase{"split_escape", {{0x0F, 0x0F, 0x05}, {0x05, 0x01}}, {8, 6}},
                      OwedCase{"more_than_owed", {{0x0F, 0x0F, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A}},
                               {0}}),
    [](const auto& p) { return std::string(p.param.name); });

}  // namespace
