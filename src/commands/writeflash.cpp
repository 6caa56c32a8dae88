#include <array>
#include <sys/stat.h>
#include <cstdio>
#include <memory>
#include <vector>

#include "commands/commands.hpp"
#include "ihexfile/ihexfile.hpp"
#include "image/geometry.hpp"
#include "link/fatal.hpp"
#include "link/framing.hpp"
#include "link/output.hpp"

namespace bootlink {

namespace {

constexpr int BLOCK_WORDS = BLOCK_BYTES / 2;  // program words in one written block
constexpr int RECORD_SLOTS = 24;              // program words one request may carry after padding

// Every record one read can deliver fits once padded to whole blocks: a
// word-form record filled up to a block, and a byte-form record of 34 bytes
// starting at the last byte of a block.
static_assert((HEX_RECORD_WORDS_MAX + BLOCK_WORDS - 1) / BLOCK_WORDS * BLOCK_WORDS <= RECORD_SLOTS);
static_assert((BLOCK_BYTES - 1 + 2 * HEX_RECORD_WORDS_MAX + BLOCK_BYTES - 1) / BLOCK_BYTES * BLOCK_WORDS <=
              RECORD_SLOTS);

// Intel hex record types.
constexpr int TYPE_DATA = 0x00;
constexpr int TYPE_SEGMENT_BASE = 0x02;    // 16 x value is added to later addresses
constexpr int TYPE_SEGMENT_START = 0x03;   // start address: nothing to program
constexpr int TYPE_LINEAR_BASE = 0x04;     // value is the upper 16 bits of later addresses
constexpr int TYPE_LINEAR_START = 0x05;    // start address: nothing to program

// A byte-form data record at its true byte address. The bootloader writes
// whole 8-byte blocks at the address it is given, so the record goes out as
// the aligned blocks it touches, padded with 0xFF (which leaves flash as it
// is). Returns false when the record was not written.
bool writeBytes(serial_link& line, std::span<const int32_t> record, uint32_t address, int count) {
    if (count == 0) return true;  // no data, nothing to program
    const uint32_t end = address + static_cast<uint32_t>(count);
    if (address >= PROGRAM_MEMORY_END) {
        out("[record at 0x%06X is not program memory (0x200000 and up), skipped]\n", address);
        return true;
    }
    if (end > PROGRAM_MEMORY_END) {
        out("[record at 0x%06X runs past program memory into 0x200000, not written]\n", address);
        return false;
    }
    out("line read from hexfile had startaddress=0x%04X with length %ibytes\n", address, count);
    const uint32_t first = address / BLOCK_BYTES * BLOCK_BYTES;
    const uint32_t last = (end + BLOCK_BYTES - 1) / BLOCK_BYTES * BLOCK_BYTES;
    if (static_cast<uint32_t>(count) < BLOCK_BYTES)
        out("[less than eight bytes for flash op, filling up with 0xFF]\n");
    else if (last - first != static_cast<uint32_t>(count))
        out(first == address ? "[not multiple of 8, filling memory with 0xFF]\n"
                             : "[not aligned to 8-byte blocks, filling memory with 0xFF]\n");

    std::array<int32_t, RECORD_SLOTS> blocks;
    blocks.fill(0xFFFF);
    for (int i = 0; i < count; ++i) {
        const uint32_t at = address - first + static_cast<uint32_t>(i);
        int32_t& word = blocks[at / 2];
        const int32_t b = recordByte(record, i);
        word = (at % 2) ? (word & 0x00FF) | (b << 8) : (word & 0xFF00) | b;
    }
    writeflash(line, blocks, static_cast<int32_t>(first), static_cast<int>(last - first) / 2);
    return true;
}

// Where byte-form data records go: the base the last extended address record
// set. After an address record that was not taken, the base is unknown and
// data records are not written until a good one sets it again: programming
// them at the old base would put them in the wrong place.
struct address_base {
    uint32_t value = 0;
    bool lost = false;
};

// Byte form is ordinary Intel hex: data at base + address, address records
// that move the base, start records that program nothing.
bool byteRecord(serial_link& line, std::span<const int32_t> record, int32_t address, int32_t count,
                const record_info& info, address_base& base) {
    const int type = info.type;
    switch (type) {
    case TYPE_DATA:
        if (base.lost) {
            out("[record on line %d not written: the address record before it was not taken]\n", info.number);
            return false;
        }
        return writeBytes(line, record, base.value + static_cast<uint32_t>(address), count);
    case TYPE_SEGMENT_BASE:
    case TYPE_LINEAR_BASE:
        if (count != 2) {
            base.lost = true;
            break;
        }
        base.value = static_cast<uint32_t>(recordByte(record, 0) << 8 | recordByte(record, 1));
        base.value <<= (type == TYPE_LINEAR_BASE) ? 16 : 4;
        base.lost = false;
        return true;
    case TYPE_SEGMENT_START:
    case TYPE_LINEAR_START:
        return true;
    default:
        break;
    }
    out("[hex record of type %02X not understood, not written]\n", type);
    return false;
}

}  // namespace

FILE* openHexfile(const std::string& path) {
    FILE* file = std::fopen(path.c_str(), "r");
    if (!file) {
        out("Error: could not open hexfile '%s'\n", path.c_str());
        throw fatal{254};
    }
    // A directory reads as nothing and /dev/zero as junk for ever: only a
    // file, or a pipe a build feeds, is a hex file.
    struct stat st {};
    if (fstat(fileno(file), &st) != 0 || !(S_ISREG(st.st_mode) || S_ISFIFO(st.st_mode))) {
        std::fclose(file);
        out("Error: could not open hexfile '%s' (not a regular file)\n", path.c_str());
        throw fatal{254};
    }
    return file;
}

void checkHexfileRead(FILE* file, const std::string& path) {
    if (!std::ferror(file)) return;
    out("Error: could not read hexfile '%s'\n", path.c_str());
    throw fatal{255};
}

// Write flash: block count, 24-bit byte address, then 8 bytes a block
// (program words, low byte first). The bootloader programs the blocks and
// answers with an empty reply once done.
void writeflash(serial_link& line, std::span<int32_t> buffer, int32_t address, int n) {
    if (n <= 3) {
        out("[less than eight bytes for flash op, filling up with 0xFF]\n");
        for (int i = n; i < BLOCK_WORDS; ++i) buffer[i] = 0xFFFF;
        n = BLOCK_WORDS;
    }
    if (n % BLOCK_WORDS != 0) {
        out("[not multiple of 8, filling memory with 0xFF]\n");
        const int filled = (n + BLOCK_WORDS - 1) / BLOCK_WORDS * BLOCK_WORDS;
        if (filled > static_cast<int>(buffer.size())) {
            out("\n[ERROR, a record of %i words does not fit one write]\n", n);
            throw fatal{255};
        }
        for (int i = n; i < filled; ++i) buffer[i] = 0xFFFF;
        n = filled;
    }
    traceText(line, "SENDing: Write Flash: ");
    std::vector<uint8_t> body{CMD_WRITE_FLASH, static_cast<uint8_t>(n / BLOCK_WORDS), static_cast<uint8_t>(address),
                              static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address >> 16)};
    for (int i = 0; i < n; ++i) {
        body.push_back(static_cast<uint8_t>(buffer[i]));
        body.push_back(static_cast<uint8_t>(buffer[i] >> 8));
    }
    sendRequest(line, body);
    receiveAck(line, CMD_WRITE_FLASH);
    out("[OK => Acknowledged Write Flash Program Memory]\n");
}

void main_writeflash(serial_link& line, const settings& run) {
    if (run.hexfile.empty()) out("ERROR: you need to specify --hexfile <filename>\n");
    const std::unique_ptr<FILE, int (*)(FILE*)> file(openHexfile(run.hexfile), std::fclose);

    std::array<int32_t, RECORD_SLOTS> record{};
    address_base base;
    int notWritten = 0;   // lines that held something and did not reach the device
    for (;;) {
        int32_t address = 0, count = 0;
        record_info info;
        const int r = readihexrecord(file.get(), record, address, count, info);
        if (r == 1) break;
        // A bad address record leaves the base of the records after it unknown.
        if (r < 0 && (info.type == TYPE_SEGMENT_BASE || info.type == TYPE_LINEAR_BASE)) base.lost = true;
        if (r == -2) {
            out("[found junk in hexfile]\n");
            if (info.length > 0) ++notWritten;  // a blank line loses nothing
            continue;
        }
        if (r == -1) {
            ++notWritten;
            continue;
        }
        if (info.form == record_form::word) {
            // INHX16 as a flash read saves it: word address, count of words.
            out("line read from hexfile had startaddress=0x%04X with length %ibytes\n", 2 * address, 2 * count);
            writeflash(line, record, 2 * address, count);
        } else if (!byteRecord(line, record, address, count, info, base)) {
            ++notWritten;
        }
    }
    checkHexfileRead(file.get(), run.hexfile);
    // Every line is tried, but a device left half-programmed is not a success.
    if (notWritten > 0) {
        out("[ERROR, %i lines of the hexfile were not written]\n", notWritten);
        throw fatal{255};
    }
}

}  // namespace bootlink
