#include "link/network.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "link/signals.hpp"
#include "link/sockets.hpp"
#include "report/fatal.hpp"
#include "report/output.hpp"

namespace bootlink {

namespace {

constexpr const char* RAW_PREFIX = "socket://";
constexpr const char* TELNET_PREFIX = "rfc2217://";
constexpr int LINGER_MS = 250;  // longest wait at close for the server to pass our last bytes on
constexpr int DROP_QUIET_MS = 20;  // a port this long quiet has nothing more of before our run on its way

struct endpoint {
    bool telnet = false;
    std::string host, port;
};

bool startsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

// The options serial libraries' URLs carry that mean nothing to a tool
// that sets the far end's speed itself and has its own --timeout.
constexpr const char* IGNORED_OPTIONS[] = {"ign_set_control", "timeout", "logging"};

// "?ign_set_control&timeout=3": each option known is passed over with a
// note, any other refused with the list of those known.
void takeOptions(const std::string& device, const std::string& query) {
    for (size_t at = 0; at < query.size();) {
        const size_t amp = std::min(query.find('&', at), query.size());
        const std::string option = query.substr(at, amp - at);
        const std::string name = option.substr(0, option.find('='));
        at = amp + 1;
        if (option.empty()) continue;
        bool known = false;
        for (const char* o : IGNORED_OPTIONS) known = known || name == o;
        if (!known)
            fail(result_kind::refused,
                 "ERROR: '%s': the URL option '%s' is not known here (known, and passed over: ign_set_control, "
                 "timeout=, logging=)\n",
                 device.c_str(), option.c_str());
        out("[note: the URL option '%s' is passed over: the tool sets the line itself (--baud, --timeout)]\n",
            option.c_str());
    }
}

endpoint parseEndpoint(const std::string& device) {
    endpoint e;
    e.telnet = startsWith(device, TELNET_PREFIX);
    std::string rest = device.substr(std::strlen(e.telnet ? TELNET_PREFIX : RAW_PREFIX));
    // As farms and serial libraries write them: HOST:PORT/ and HOST:PORT?options.
    if (const size_t q = rest.find('?'); q != std::string::npos) {
        takeOptions(device, rest.substr(q + 1));
        rest.resize(q);
    }
    if (!rest.empty() && rest.back() == '/') rest.pop_back();
    const size_t colon = rest.rfind(':');
    if (colon != std::string::npos) {
        e.host = rest.substr(0, colon);
        e.port = rest.substr(colon + 1);
    }
    if (e.host.size() > 2 && e.host.front() == '[' && e.host.back() == ']') e.host = e.host.substr(1, e.host.size() - 2);
    if (e.host.empty() || e.port.empty() || e.port.find_first_not_of("0123456789") != std::string::npos)
        fail(result_kind::refused, "ERROR: '%s' does not name a network port: %sHOST:PORT\n", device.c_str(),
             e.telnet ? TELNET_PREFIX : RAW_PREFIX);
    // Read whole, never wrapped: port 70000 is no port, not 4464.
    if (e.port.size() > 5 || std::stol(e.port) < 1 || std::stol(e.port) > 65535)
        fail(result_kind::refused, "ERROR: '%s' does not name a network port: the port is 1 to 65535\n",
             device.c_str());
    return e;
}

int64_t after(int ms) { return nowNs() + static_cast<int64_t>(ms) * 1000000; }

socket_id connectWithin(const std::string& device, const endpoint& e, int timeoutMs) {
    std::string why;
    const socket_id s = connectTcp(e.host, e.port, after(timeoutMs), why);
    if (s == NO_SOCKET)
        fail(result_kind::device_error, "ERROR: could not connect to %s\n[reason: %s]\n", device.c_str(), why.c_str());
    return s;
}

// The bytes as they are, over TCP.
class tcp_line : public transport {
public:
    tcp_line(socket_id fd, std::string name, int timeoutMs) : fd_(fd), name_(std::move(name)), timeoutMs_(timeoutMs) {}
    ~tcp_line() override { tcp_line::close(); }
    tcp_line(const tcp_line&) = delete;
    tcp_line& operator=(const tcp_line&) = delete;

    // Our last bytes (a reset) must reach the device, not die in the
    // server's buffer when it sees us gone: say we are done sending, and
    // give the server a moment to pass them on and close its end.
    void close() override {
        if (fd_ == NO_SOCKET) return;
        shutdownSending(fd_);
        const int64_t giveUp = after(LINGER_MS);
        uint8_t scratch[256];
        std::string why;
        while (waitSocket(fd_, false, giveUp) > 0 && receiveSome(fd_, scratch, sizeof scratch, why) > 0) {
        }
        closeSocket(fd_);
        fd_ = NO_SOCKET;
    }
    // The far end's port keeps the settings its server gives it.
    bool configure(int, bool) override { return true; }
    // What is waiting now, a second's worth at most: a peer that never
    // stops sending is the quiet wait's to refuse.
    // Until the port has been quiet a moment (what another client or a
    // banner sent may still be on its way), a second at most.
    size_t dropInput() override {
        uint8_t scratch[256];
        const int64_t giveUp = after(1000);
        size_t dropped = 0;
        while (nowNs() < giveUp && waitSocket(fd_, false, std::min(after(DROP_QUIET_MS), giveUp)) > 0)
            dropped += readRaw(scratch, sizeof scratch, nowNs());
        return dropped;
    }
    bool shared() const override { return true; }
    bool pacedByTheWire() const override { return false; }
    void write(const uint8_t* bytes, size_t n, int64_t deadlineNs) override { sendAll(bytes, n, deadlineNs); }
    size_t read(uint8_t* into, size_t most, int64_t deadlineNs) override { return readRaw(into, most, deadlineNs); }

protected:
    drop dropUntil(int64_t untilNs) override {
        uint8_t scratch[256];
        if (waitSocket(fd_, false, untilNs) == 0) return drop::quiet;
        readRaw(scratch, sizeof scratch, untilNs);
        return drop::dropped;
    }

    // What has come, at most `most` bytes, by the deadline (< 0: the line's
    // own bound); 0 when it passed. A closed or failed connection ends the run.
    size_t readRaw(uint8_t* into, size_t most, int64_t deadlineNs) {
        if (deadlineNs < 0) deadlineNs = after(timeoutMs_);
        for (;;) {
            checkInterrupted();
            if (nowNs() >= deadlineNs && waitSocket(fd_, false, nowNs()) <= 0) return 0;
            const int ready = waitSocket(fd_, false, deadlineNs);
            if (ready == -2) lost("the wait for it failed");
            if (ready <= 0) continue;
            std::string why;
            const long n = receiveSome(fd_, into, most, why);
            if (n > 0) {
                ackAtOnce(fd_);
                return static_cast<size_t>(n);
            }
            if (n == 0) lost("closed by the far end");
            if (n == -2) lost(why.c_str());
        }
    }

    // Every byte taken by the deadline (< 0: the line's own bound).
    void sendAll(const uint8_t* bytes, size_t n, int64_t deadline = -1) {
        if (deadline < 0) deadline = after(timeoutMs_);
        while (n > 0) {
            checkInterrupted();
            std::string why;
            const long w = sendSome(fd_, bytes, n, why);
            if (w > 0) {
                bytes += w;
                n -= static_cast<size_t>(w);
                continue;
            }
            if (w == -1) {
                const int ready = waitSocket(fd_, true, deadline);
                if (ready != 0 && ready != -2) continue;
                why = ready == 0 ? "nothing taken in time" : "the wait for room failed";
            }
            lost(why.c_str());
        }
    }

    [[noreturn]] void lost(const char* why) {
        fail(result_kind::device_error, "\n[ERROR, the connection to %s was lost: %s]\n", name_.c_str(), why);
    }

    socket_id fd_;
    std::string name_;
    int timeoutMs_;
};

// Telnet bytes and options.
constexpr uint8_t IAC = 255, DONT = 254, DO = 253, WONT = 252, WILL = 251, SB = 250, SE = 240;
constexpr uint8_t OPT_BINARY = 0, OPT_SGA = 3, OPT_COM_PORT = 44;
// COM-PORT-OPTION commands (RFC 2217); the server answers each with the code + 100.
constexpr uint8_t SET_BAUDRATE = 1, SET_DATASIZE = 2, SET_PARITY = 3, SET_STOPSIZE = 4, SET_CONTROL = 5,
                  PURGE_DATA = 12;
constexpr uint8_t PARITY_NONE = 1, STOP_ONE = 1, CONTROL_NONE = 1, PURGE_RECEIVED = 1;
constexpr uint8_t SERVER_OFFSET = 100;
constexpr size_t SUBNEGOTIATION_MAX = 64;  // longest subnegotiation taken from a server

// Telnet with the COM-PORT option: the line's settings travel as
// subnegotiations, data 0xFF as IAC IAC.
class telnet_line : public tcp_line {
public:
    telnet_line(socket_id fd, std::string name, int timeoutMs) : tcp_line(fd, std::move(name), timeoutMs) {
        // Binary both ways (no CR NUL stuffing), no go-aheads, and the
        // COM-PORT option: asked for at once, so the server's own offers
        // are acknowledgements and need no answer.
        const uint8_t hello[] = {IAC, WILL, OPT_BINARY, IAC, DO,   OPT_BINARY, IAC, WILL, OPT_SGA,
                                 IAC, DO,   OPT_SGA,    IAC, WILL, OPT_COM_PORT};
        for (uint8_t o : {OPT_BINARY, OPT_SGA, OPT_COM_PORT}) local_[o] = true;
        for (uint8_t o : {OPT_BINARY, OPT_SGA}) remote_[o] = true;
        sendAll(hello, sizeof hello);
    }

    bool configure(int baud, bool confirm) override {
        setFormat();
        return (baud == DEFAULT_BAUD && !confirm) || setSpeed(baud);
    }

    // The format, at the bootloader's own speed.
    void setFormat() {
        comPort(SET_BAUDRATE, be32(static_cast<uint32_t>(DEFAULT_BAUD)));
        comPort(SET_DATASIZE, {8});
        comPort(SET_PARITY, {PARITY_NONE});
        comPort(SET_STOPSIZE, {STOP_ONE});
        comPort(SET_CONTROL, {CONTROL_NONE});
    }

    // Asked of the far end's port and confirmed by its answer, as a local
    // terminal's speed is read back.
    bool setSpeed(int baud) {
        reportedBaud_ = 0;
        comPort(SET_BAUDRATE, be32(static_cast<uint32_t>(baud)));
        // The answer to an earlier setting (the format's speed) may still be
        // on its way: wait for the one that confirms this speed.
        const int64_t deadline = after(timeoutMs_);
        uint8_t raw[256];
        while (std::abs(reportedBaud_ - baud) * 50 > baud) {
            // Answers that are not it count against the same deadline.
            if (nowNs() >= deadline) return false;
            const size_t n = readRaw(raw, sizeof raw, deadline);
            if (n == 0) return false;
            parse(raw, n);
        }
        return true;
    }

    // Dropped as telnet, not as bytes: an option or a subnegotiation cut in
    // two would leave the rest to be read as data.
    size_t dropInput() override {
        comPort(PURGE_DATA, {PURGE_RECEIVED});  // what the server holds from the device
        uint8_t raw[256];
        const int64_t giveUp = after(1000);
        while (nowNs() < giveUp && waitSocket(fd_, false, std::min(after(DROP_QUIET_MS), giveUp)) > 0)
            parse(raw, readRaw(raw, sizeof raw, nowNs()));
        const size_t dropped = data_.size();  // data, not the telnet around it
        data_.clear();
        taken_ = 0;
        return dropped;
    }

    void write(const uint8_t* bytes, size_t n, int64_t deadlineNs) override {
        std::vector<uint8_t> wire;
        wire.reserve(n + 4);
        for (size_t i = 0; i < n; ++i) {
            wire.push_back(bytes[i]);
            if (bytes[i] == IAC) wire.push_back(IAC);  // the wake byte 0xFF too: it reaches the device once
        }
        sendAll(wire.data(), wire.size(), deadlineNs);
    }

    size_t read(uint8_t* into, size_t most, int64_t deadlineNs) override {
        uint8_t raw[1024];
        if (deadlineNs < 0) deadlineNs = after(timeoutMs_);
        while (taken_ >= data_.size()) {
            data_.clear();
            taken_ = 0;
            // Telnet that carries no data counts against the deadline as data would.
            if (nowNs() >= deadlineNs) return 0;
            const size_t n = readRaw(raw, std::min(sizeof raw, most + 8), deadlineNs);
            if (n == 0) return 0;
            parse(raw, n);
        }
        const size_t n = std::min(most, data_.size() - taken_);
        std::memcpy(into, data_.data() + taken_, n);
        taken_ += n;
        return n;
    }

protected:
    // Dropped as telnet, as dropInput does.
    drop dropUntil(int64_t untilNs) override {
        data_.clear();
        taken_ = 0;
        uint8_t raw[256];
        if (waitSocket(fd_, false, untilNs) == 0) return drop::quiet;
        parse(raw, readRaw(raw, sizeof raw, untilNs));
        data_.clear();
        return drop::dropped;
    }

private:
    enum class state { data, command, option, sub, sub_command };

    static std::vector<uint8_t> be32(uint32_t v) {
        return {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8),
                static_cast<uint8_t>(v)};
    }

    void comPort(uint8_t command, const std::vector<uint8_t>& value) {
        std::vector<uint8_t> wire{IAC, SB, OPT_COM_PORT, command};
        for (uint8_t b : value) {
            wire.push_back(b);
            if (b == IAC) wire.push_back(IAC);
        }
        wire.insert(wire.end(), {IAC, SE});
        sendAll(wire.data(), wire.size());
    }

    // Takes the telnet out of what came: data bytes to data_, options
    // answered, the server's COM-PORT answers noted.
    void parse(const uint8_t* raw, size_t n) {
        for (size_t i = 0; i < n; ++i) step(raw[i]);
    }

    void step(uint8_t b) {
        switch (state_) {
        case state::data:
            if (b == IAC) state_ = state::command;
            else data_.push_back(b);
            return;
        case state::command:
            state_ = state::data;
            if (b == IAC) data_.push_back(IAC);
            else if (b == SB) { sub_.clear(); state_ = state::sub; }
            else if (b >= WILL) { verb_ = b; state_ = state::option; }
            return;  // other commands (NOP, GA, ...) carry nothing for us
        case state::option:
            state_ = state::data;
            answer(verb_, b);
            return;
        case state::sub:
            if (b == IAC) state_ = state::sub_command;
            else keep(b);
            return;
        case state::sub_command:
            if (b == IAC) { keep(IAC); state_ = state::sub; return; }
            state_ = state::data;
            if (b == SE) subnegotiation();
            return;
        }
    }

    // A subnegotiation byte. The COM-PORT ones are a few bytes long: one
    // that goes on and on is no RFC 2217 server's, and must not fill memory.
    void keep(uint8_t b) {
        if (sub_.size() >= SUBNEGOTIATION_MAX)
            fail(result_kind::damaged_line,
                 "\n[ERROR, %s sent a telnet subnegotiation longer than %zu bytes: is it an RFC 2217 server?]\n",
                 name_.c_str(), SUBNEGOTIATION_MAX);
        sub_.push_back(b);
    }

    void subnegotiation() {
        if (sub_.size() >= 6 && sub_[0] == OPT_COM_PORT && sub_[1] == SERVER_OFFSET + SET_BAUDRATE)
            reportedBaud_ = static_cast<int64_t>(static_cast<uint32_t>(sub_[2]) << 24 | static_cast<uint32_t>(sub_[3]) << 16 |
                                                 static_cast<uint32_t>(sub_[4]) << 8 | sub_[5]);
    }

    // Agrees to what we asked for and refuses the rest, answering only a change.
    void answer(uint8_t verb, uint8_t option) {
        const bool localWanted = option == OPT_BINARY || option == OPT_SGA || option == OPT_COM_PORT;
        const bool remoteWanted = option == OPT_BINARY || option == OPT_SGA;
        auto reply = [&](uint8_t v) {
            const uint8_t wire[] = {IAC, v, option};
            sendAll(wire, sizeof wire);
        };
        if (verb == DO && !local_[option]) {
            local_[option] = localWanted;
            reply(localWanted ? WILL : WONT);
        } else if (verb == DONT && local_[option]) {
            local_[option] = false;
            reply(WONT);
        } else if (verb == WILL && !remote_[option]) {
            remote_[option] = remoteWanted;
            reply(remoteWanted ? DO : DONT);
        } else if (verb == WONT && remote_[option]) {
            remote_[option] = false;
            reply(DONT);
        }
    }

    state state_ = state::data;
    uint8_t verb_ = 0;
    std::vector<uint8_t> sub_;
    std::vector<uint8_t> data_;
    size_t taken_ = 0;
    int64_t reportedBaud_ = 0;  // as the server's answer says it, in full
    std::array<bool, 256> local_{}, remote_{};
};

}  // namespace

bool isNetworkPort(const std::string& device) {
    return startsWith(device, RAW_PREFIX) || startsWith(device, TELNET_PREFIX);
}

std::unique_ptr<transport> openNetworkPort(const std::string& device, int timeoutMs) {
    const endpoint e = parseEndpoint(device);
    const socket_id fd = connectWithin(device, e, timeoutMs);
    if (e.telnet) return std::make_unique<telnet_line>(fd, device, timeoutMs);
    return std::make_unique<tcp_line>(fd, device, timeoutMs);
}

}  // namespace bootlink
