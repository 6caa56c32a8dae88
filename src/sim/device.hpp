#pragma once

// The bootloader as seen from the far end of the serial line: a model of the
// firmware's receive loop and command set, with the memories of a real part.
// It frames and unframes on its own; nothing here comes from the host side.

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace bootsim {

constexpr uint32_t FLASH_BYTES = 2u * 1024 * 1024;  // program memory, erased to 0xFF
constexpr uint32_t EEPROM_BYTES = 256;               // data EEPROM unless a part has more
constexpr uint32_t CONFIG_ADDRESS = 0x300000;        // 16 configuration bytes
constexpr uint32_t CONFIG_BYTES = 16;
constexpr uint32_t DEVICE_ID_ADDRESS = 0x3FFFFE;     // two bytes fixed in silicon, low first
constexpr uint32_t ROW_BYTES = 64;                   // erase granularity
constexpr uint32_t BLOCK_BYTES = 8;                  // write granularity

// Ways the device can be told to misbehave, for testing the host.
enum class fault_kind {
    wrong_start,      // reply opens with `value` instead of STX
    wrong_echo,       // reply echoes command `value`
    wrong_address,    // read reply names address `value` (data from there to the requested end)
    wrong_length,     // read reply names length `value` and carries that many bytes
    bad_checksum,     // reply checksum XOR `value`
    close_mid_reply,  // send `value` bytes of the reply, then close the line
    no_answer,        // never answer
    corrupt_write,    // acknowledge a write (flash, EEPROM, configuration) but store its data XOR `value` (0x01 if 0)
    no_erase,         // acknowledge an erase and leave the rows as they were
    noise,            // flip one bit of each byte either way with probability `probability`
    hidden_damage,    // a read reply's first two data bytes changed by +`value` and -`value` (1 if 0): the sum still matches
    misdirect,        // a flash write lands at byte address `value` instead, acknowledged: its address was damaged with the sum kept
};

struct fault {
    fault_kind kind;
    int value = 0;
    int request = -1;  // index of the valid request it hits; -1 = every one
    double probability = 0;  // noise: per byte on the wire, either way
};

// How the wire and the part take their time. All zero: bytes arrive as the
// host writes them and the device answers at once.
struct line_model {
    int baud = 0;      // bit/s of the device's UART: 10 bits a byte each way
    int write_us = 0;  // busy time per 8-byte block written
    int erase_us = 0;  // busy time per 64-byte row erased
    int rx_us = 0;     // time to take a byte: one arriving sooner after the last one taken is lost (overrun)
    int eeprom_us = 0; // busy time per EEPROM or configuration byte written
    // A USB serial adapter in between: the bytes it receives are held until
    // 62 have gathered or this long after the first (its latency timer), and
    // the host's writes leave in 1 ms frames. 0: a bare line.
    int adapter_latency_ms = 0;
};

// One byte as it arrived, with its arrival time in milliseconds since the
// device was created. A pty keeps no arrival times: the host wrote the byte
// after `written_after_ms`, when the input was last seen empty, and before
// it was read.
struct wire_byte {
    uint8_t value;
    double ms;
    double written_after_ms;
};

// One request as the device understood it.
struct request {
    std::vector<uint8_t> wire;     // bytes from the first STX to the ETX, as sent
    std::vector<uint8_t> payload;  // unescaped: command, fields, data (no checksum)
    bool checksum_ok = false;
    uint8_t command = 0;
    uint32_t address = 0;
    int count = 0;                 // length, row count or block count field
    std::vector<uint8_t> data;     // write data
    double first_ms = 0, last_ms = 0;
    std::string note;              // what the device made of it
};

// Parses a fault description "kind[=value][@request]".
std::optional<fault> parse_fault(const std::string& text);

class device {
public:
    device();

    // Memories.
    std::vector<uint8_t> flash;
    std::vector<uint8_t> eeprom;       // its size is the part's EEPROM size
    std::map<uint32_t, uint8_t> high;  // ID locations and the rest of the space from 0x200000 up
    std::vector<uint8_t> config;       // CONFIG_BYTES at CONFIG_ADDRESS
    std::vector<uint8_t> config_mask;  // bits each configuration byte implements; the others read as 0
    uint16_t device_id = 0x4C20;       // read at DEVICE_ID_ADDRESS
    // What a table read of `address` returns: program memory, configuration,
    // device ID, or the rest of the space above program memory.
    uint8_t read_program(uint32_t address) const;

    // What arrived.
    std::vector<wire_byte> wire;   // every byte received, wake bytes included
    std::vector<request> requests; // every complete frame
    int wakes = 0;                 // 0xFF bytes outside a frame
    int resets = 0;
    int sessions = 0;              // host runs that opened and closed the line
    double closed_ms = -1;         // when the host last closed the line (seen as a hang-up)

    line_model timing;
    int speed_at_wake = 0;         // line speed (bit/s) the host had set when its wake byte arrived
    int lost = 0;                  // bytes lost to overrun
    size_t sent = 0;               // reply bytes written to the line
    double busy_total_ms = 0;      // time spent busy programming (write and erase)

    std::vector<fault> faults;
    uint32_t seed = 1;             // of the line noise, so a noisy run can be repeated
    int flipped = 0;               // bytes the noise damaged
    std::function<void(const request&)> on_request;  // called for every complete frame
    bool line_closed = false;      // a fault closed the line

    // Feeds one received byte; a complete request may queue a reply in `reply`.
    void receive(uint8_t b, double ms, std::vector<uint8_t>& reply);

    // Serves the pty master `fd` until `stop` is set and no input is left,
    // or until `max_sessions` host runs have come and gone (0 = no limit).
    // Returns when the line is closed by a fault as well.
    void serve(int fd, const std::atomic<bool>& stop, int max_sessions = 0);

    // A readable account of one request, for logs.
    static std::string describe(const request& r);

    double now_ms() const;

private:
    enum class rx { idle, stx1, frame, escape };
    rx state_ = rx::idle;
    request current_;
    int valid_requests_ = 0;
    int64_t t0_ns_;
    int close_after_ = -1;  // bytes of the queued reply to send before closing
    double busy_ms_ = 0;    // how long the request just taken keeps the part busy
    double last_taken_ms_ = -1e9;  // when the last byte was taken off the wire
    double empty_since_ms_ = 0;  // input last seen empty (at first: power-up): later bytes came after it

    // Device time (ms) at which a byte the host wrote at `written_ms` is taken.
    double arrival(double written_ms) const;
    // Takes one byte read at `read_ms`; false when the firmware was still busy (overrun).
    bool take(double read_ms, double& at);
    // Sends `reply` as the wire would from `start_ms` on; false when a fault closed the line.
    bool send_reply(int fd, std::vector<uint8_t>& reply, double start_ms);

    // The protocol: one handler per request; false for a request the
    // firmware does not take (wrong length).
    void dispatch(request& r, std::vector<uint8_t>& reply);
    bool on_reset(request& r);
    bool on_read_flash(request& r, int index, std::vector<uint8_t>& reply);
    bool on_write_flash(request& r, int index, std::vector<uint8_t>& reply);
    bool on_erase_flash(request& r, int index, std::vector<uint8_t>& reply);
    bool on_read_eeprom(request& r, int index, std::vector<uint8_t>& reply);
    bool on_write_eeprom(request& r, int index, std::vector<uint8_t>& reply);
    bool on_read_config(request& r, int index, std::vector<uint8_t>& reply);
    bool table_read(request& r, int index, std::vector<uint8_t>& reply, const char* note);
    bool on_write_config(request& r, int index, std::vector<uint8_t>& reply);
    // The data of a write of bytes (0x05, 0x07): length, address, bytes.
    bool take_bytes(request& r, int index);
    void read_reply(request& r, int index, const std::function<uint8_t(uint32_t)>& byte_at,
                    std::vector<uint8_t>& reply);
    void answer(request& r, int index, const std::vector<uint8_t>& body, std::vector<uint8_t>& reply);
    // Faults: the first that hits request `index`.
    const fault* fault_for(int index, fault_kind kind) const;
    // A byte as the line delivers it: with a noise fault, now and then one
    // bit flipped.
    uint8_t noisy(uint8_t b);
    std::mt19937 rng_;
    bool seeded_ = false;
    void frame_reply(uint8_t command, const std::vector<uint8_t>& body, int index,
                     std::vector<uint8_t>& reply);
    void end_session();
};

}  // namespace bootsim
