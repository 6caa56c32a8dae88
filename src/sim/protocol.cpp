// The firmware's receive loop and command set: frames taken apart, one
// handler per request, replies framed.
#include <algorithm>
#include <chrono>
#include <cstdio>

#include "sim/device.hpp"
#include "sim/frame.hpp"

namespace bootsim {

namespace {

int64_t monotonic_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

device::device()
    : flash(FLASH_BYTES, 0xFF),
      eeprom(EEPROM_BYTES, 0xFF),
      config(CONFIG_BYTES, 0xFF),
      config_mask(CONFIG_BYTES, 0xFF),
      t0_ns_(monotonic_ns()) {}

double device::now_ms() const { return static_cast<double>(monotonic_ns() - t0_ns_) / 1e6; }

uint8_t device::read_program(uint32_t address) const {
    if (address < FLASH_BYTES) return flash[address];
    if (address >= CONFIG_ADDRESS && address < CONFIG_ADDRESS + CONFIG_BYTES)
        return config[address - CONFIG_ADDRESS] & config_mask[address - CONFIG_ADDRESS];
    if (address == DEVICE_ID_ADDRESS || address == DEVICE_ID_ADDRESS + 1)
        return static_cast<uint8_t>(device_id >> (8 * (address - DEVICE_ID_ADDRESS)));
    auto it = high.find(address);
    return it == high.end() ? 0xFF : it->second;
}

void device::receive(uint8_t b, double ms, std::vector<uint8_t>& reply) {
    wire.push_back({b, ms, std::min(ms, empty_since_ms_)});
    switch (state_) {
    case rx::idle:
        if (b == kStart) {
            current_ = request{};
            current_.wire.push_back(b);
            current_.first_ms = ms;
            state_ = rx::stx1;
        } else if (b == kWake) {
            ++wakes;
        }
        return;
    case rx::stx1:
        current_.wire.push_back(b);
        state_ = (b == kStart) ? rx::frame : rx::idle;
        return;
    case rx::escape:
        current_.wire.push_back(b);
        current_.payload.push_back(b);
        state_ = rx::frame;
        return;
    case rx::frame:
        current_.wire.push_back(b);
        if (b == kEscape) {
            state_ = rx::escape;
        } else if (b == kStart) {
            current_.payload.clear();  // a raw start byte inside a frame starts it over
        } else if (b == kEnd) {
            state_ = rx::idle;
            current_.last_ms = ms;
            requests.push_back(std::move(current_));
            dispatch(requests.back(), reply);
            if (on_request) on_request(requests.back());
        } else {
            current_.payload.push_back(b);
        }
        return;
    }
}

void device::dispatch(request& r, std::vector<uint8_t>& reply) {
    if (r.payload.empty()) {
        r.note = "empty frame";
        return;
    }
    unsigned sum = 0;
    for (uint8_t b : r.payload) sum += b;  // the checksum byte makes the total 0
    r.checksum_ok = (sum & 0xFF) == 0;
    r.payload.pop_back();
    if (!r.checksum_ok || r.payload.empty()) {
        r.note = "bad checksum, ignored";
        return;
    }
    const auto& p = r.payload;
    r.command = p[0];
    const int index = valid_requests_++;
    if (p.size() >= 5) {
        r.count = p[1];
        r.address = p[2] | (p[3] << 8) | (p[4] << 16);
    }
    bool taken = false;
    switch (r.command) {
    case 0x00: taken = on_reset(r); break;
    case 0x01: taken = on_read_flash(r, index, reply); break;
    case 0x02: taken = on_write_flash(r, index, reply); break;
    case 0x03: taken = on_erase_flash(r, index, reply); break;
    case 0x04: taken = on_read_eeprom(r, index, reply); break;
    case 0x05: taken = on_write_eeprom(r, index, reply); break;
    case 0x06: taken = on_read_config(r, index, reply); break;
    case 0x07: taken = on_write_config(r, index, reply); break;
    default:
        r.note = "unknown command, ignored";
        return;
    }
    if (!taken) r.note = "malformed request, ignored";
}

void device::answer(request& r, int index, const std::vector<uint8_t>& body, std::vector<uint8_t>& reply) {
    if (fault_for(index, fault_kind::no_answer)) {
        r.note += " (not answered)";
        return;
    }
    frame_reply(r.command, body, index, reply);
}

// Read replies: length, address low/high/upper, then the data the reply's
// own address and length cover up to the requested end.
void device::read_reply(request& r, int index, const std::function<uint8_t(uint32_t)>& byte_at,
                        std::vector<uint8_t>& reply) {
    uint32_t reply_address = r.address;
    int reply_length = r.count;
    int data = r.count;
    if (const fault* f = fault_for(index, fault_kind::wrong_address)) {
        reply_address = static_cast<uint32_t>(f->value);
        data = std::max(0, static_cast<int>(r.address + r.count) - f->value);
    }
    if (const fault* f = fault_for(index, fault_kind::wrong_length)) {
        reply_length = f->value & 0xFF;
        data = reply_length;
    }
    std::vector<uint8_t> body{static_cast<uint8_t>(reply_length), static_cast<uint8_t>(reply_address),
                              static_cast<uint8_t>(reply_address >> 8), static_cast<uint8_t>(reply_address >> 16)};
    for (int i = 0; i < data; ++i) body.push_back(byte_at(reply_address + i));
    if (const fault* f = fault_for(index, fault_kind::hidden_damage); f && data >= 2) {
        // Damage that an 8-bit sum cannot see, as two opposite flips on a noisy line make it.
        const int step = f->value ? f->value : 1;
        body[4] = static_cast<uint8_t>(body[4] + step);
        body[5] = static_cast<uint8_t>(body[5] - step);
    }
    answer(r, index, body, reply);
}

// 0x00 0x00: the firmware jumps to the application; nothing comes back.
bool device::on_reset(request& r) {
    const bool ok = r.payload.size() == 2 && r.payload[1] == 0x00;
    if (ok) ++resets;
    r.note = ok ? "reset" : "malformed reset";
    return true;
}

// A table read: length, address (24 bits), answered with the bytes from
// program memory, the ID locations, the configuration bytes (unimplemented
// bits as 0) or the device ID, whichever the address names.
bool device::table_read(request& r, int index, std::vector<uint8_t>& reply, const char* note) {
    if (r.payload.size() != 5) return false;
    r.note = note;
    read_reply(r, index, [this](uint32_t a) { return read_program(a & 0xFFFFFF); }, reply);
    return true;
}

// 0x01 read flash and 0x06 read configuration are the same table read in
// the firmware; only the trace name differs.
bool device::on_read_flash(request& r, int index, std::vector<uint8_t>& reply) {
    return table_read(r, index, reply, "read flash");
}

// 0x02 blocks, address, 8 bytes a block: programmed, then an empty reply.
bool device::on_write_flash(request& r, int index, std::vector<uint8_t>& reply) {
    const auto& p = r.payload;
    if (p.size() < 5 || p.size() - 5 != static_cast<size_t>(r.count) * BLOCK_BYTES) return false;
    r.data.assign(p.begin() + 5, p.end());
    const fault* corrupt = fault_for(index, fault_kind::corrupt_write);
    const uint8_t garble = corrupt ? static_cast<uint8_t>(corrupt->value ? corrupt->value : 0x01) : 0;
    const fault* astray = fault_for(index, fault_kind::misdirect);
    const uint32_t at = astray ? static_cast<uint32_t>(astray->value) : r.address;
    // Flash can only clear bits: a write ANDs into what is there.
    for (size_t i = 0; i < r.data.size(); ++i) {
        const uint32_t a = (at + i) & 0xFFFFFF;
        const uint8_t stored = r.data[i] ^ garble;
        if (a < FLASH_BYTES)
            flash[a] &= stored;
        else
            high[a] = read_program(a) & stored;
    }
    r.note = (r.address % BLOCK_BYTES) ? "write flash (unaligned)" : "write flash";
    busy_ms_ = r.count * timing.write_us / 1000.0;
    answer(r, index, {}, reply);
    return true;
}

// 0x03 rows, address: the rows from the one holding the address erased to
// 0xFF, then an empty reply.
bool device::on_erase_flash(request& r, int index, std::vector<uint8_t>& reply) {
    if (r.payload.size() != 5) return false;
    const uint32_t first = r.address & ~(ROW_BYTES - 1);
    // The firmware counts rows down to zero after erasing one: a count of 0 erases 256.
    const uint32_t rows = r.count == 0 ? 256 : static_cast<uint32_t>(r.count);
    const bool skip = fault_for(index, fault_kind::no_erase) != nullptr;
    for (uint32_t i = 0; i < (skip ? 0 : rows) * ROW_BYTES; ++i) {
        const uint32_t a = (first + i) & 0xFFFFFF;
        if (a < FLASH_BYTES)
            flash[a] = 0xFF;
        else
            high.erase(a);
    }
    r.note = "erase flash";
    busy_ms_ = rows * timing.erase_us / 1000.0;
    answer(r, index, {}, reply);
    return true;
}

// 0x04 length, address (16 bits), 0: the EEPROM bytes, laid out as for flash.
bool device::on_read_eeprom(request& r, int index, std::vector<uint8_t>& reply) {
    if (r.payload.size() != 5) return false;
    r.address &= 0xFFFF;  // EEPROM addresses have 16 bits; the upper byte is ignored
    r.note = "read eeprom";
    read_reply(r, index, [this](uint32_t a) { return eeprom[a % eeprom.size()]; }, reply);
    return true;
}

bool device::take_bytes(request& r, int index) {
    const auto& p = r.payload;
    if (p.size() < 5 || p.size() - 5 != static_cast<size_t>(r.count)) return false;
    r.data.assign(p.begin() + 5, p.end());
    if (const fault* corrupt = fault_for(index, fault_kind::corrupt_write))
        for (auto& b : r.data) b ^= static_cast<uint8_t>(corrupt->value ? corrupt->value : 0x01);
    busy_ms_ = static_cast<double>(r.data.size()) * timing.eeprom_us / 1000.0;
    return true;
}

// 0x05 length, address (16 bits), 0, the bytes: each erased and written on
// its own (milliseconds a byte), then an empty reply.
bool device::on_write_eeprom(request& r, int index, std::vector<uint8_t>& reply) {
    if (!take_bytes(r, index)) return false;
    r.address &= 0xFFFF;
    for (size_t i = 0; i < r.data.size(); ++i) eeprom[(r.address + i) % eeprom.size()] = r.data[i];
    r.note = "write eeprom";
    answer(r, index, {}, reply);
    return true;
}

bool device::on_read_config(request& r, int index, std::vector<uint8_t>& reply) {
    return table_read(r, index, reply, "read config");
}

// 0x07 length, address (24 bits), the bytes: configuration bytes take what
// their implemented bits can hold; the device ID and everything else stays.
bool device::on_write_config(request& r, int index, std::vector<uint8_t>& reply) {
    if (!take_bytes(r, index)) return false;
    for (size_t i = 0; i < r.data.size(); ++i) {
        const uint32_t a = (r.address + static_cast<uint32_t>(i)) & 0xFFFFFF;
        if (a >= CONFIG_ADDRESS && a < CONFIG_ADDRESS + CONFIG_BYTES) config[a - CONFIG_ADDRESS] = r.data[i];
    }
    r.note = "write config";
    answer(r, index, {}, reply);
    return true;
}

void device::frame_reply(uint8_t command, const std::vector<uint8_t>& body, int index,
                         std::vector<uint8_t>& reply) {
    uint8_t echo = command;
    if (const fault* f = fault_for(index, fault_kind::wrong_echo)) echo = static_cast<uint8_t>(f->value);
    unsigned sum = echo;
    for (uint8_t b : body) sum += b;
    uint8_t check = static_cast<uint8_t>(-sum);
    if (const fault* f = fault_for(index, fault_kind::bad_checksum))
        check ^= static_cast<uint8_t>(f->value ? f->value : 0x01);

    const fault* start = fault_for(index, fault_kind::wrong_start);
    reply.push_back(start ? static_cast<uint8_t>(start->value) : kStart);
    reply.push_back(kStart);
    put_escaped(reply, echo);
    for (uint8_t b : body) put_escaped(reply, b);
    put_escaped(reply, check);
    reply.push_back(kEnd);
    if (const fault* f = fault_for(index, fault_kind::close_mid_reply)) close_after_ = f->value;
}

void device::end_session() {
    ++sessions;
    closed_ms = now_ms();
    state_ = rx::idle;
}

std::string device::describe(const request& r) {
    char head[160];
    std::snprintf(head, sizeof head, "@%9.3f ms  cmd 0x%02x count %3d address 0x%06x  %s%s",
                  r.first_ms, r.command, r.count, r.address, r.note.c_str(),
                  r.checksum_ok ? "" : " [checksum BAD]");
    std::string text = head;
    text += "\n    wire:";
    for (uint8_t b : r.wire) {
        char hex[4];
        std::snprintf(hex, sizeof hex, " %02X", b);
        text += hex;
    }
    return text;
}

}  // namespace bootsim
