#include "image/image.hpp"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <span>

#include "ihexfile/record.hpp"
#include "link/framing.hpp"

namespace bootlink {

namespace {

std::string describe(const char* fmt, uint32_t a, uint32_t b = 0) {
    char text[128];
    std::snprintf(text, sizeof text, fmt, a, b);
    return text;
}

std::string far(uint64_t address) {
    char text[96];
    std::snprintf(text, sizeof text, "data at 0x%06llX lies beyond the 32 bits an address has",
                  static_cast<unsigned long long>(address));
    return text;
}

struct loader {
    flash_image image;
    uint32_t eepromSize;

    // Gives `value` to the byte at `a` of a sparse region; false when an
    // earlier line gave it another value.
    static bool give(byte_map& bytes, uint32_t a, uint8_t value) {
        const auto [it, fresh] = bytes.emplace(a, value);
        return fresh || it->second == value;
    }

    bool giveProgram(uint32_t a, uint8_t value) {
        image_row& row = image.rows[a / ROW_BYTES * ROW_BYTES];
        const uint32_t at = a % ROW_BYTES;
        const uint64_t bit = uint64_t{1} << at;
        if ((row.given & bit) && row.data[at] != value) return false;
        row.data[at] = value;
        row.given |= bit;
        return true;
    }

    // The memory holding `address`: its sparse map (nullptr for program
    // memory), its end, and its name; false when no memory is there.
    bool regionOf(uint32_t address, byte_map*& bytes, uint32_t& end, const char*& name) {
        struct region {
            uint32_t first, end;
            byte_map* bytes;
            const char* name;
        };
        const region regions[] = {
            {0, PROGRAM_MEMORY_END, nullptr, "program memory"},
            {ID_FIRST, ID_END, &image.id, "the ID locations"},
            {CONFIG_FIRST, CONFIG_END, &image.config, "the configuration bytes"},
            {DEVICE_ID_FIRST, DEVICE_ID_END, &image.device_id, "the device ID"},
            {EEPROM_FIRST, EEPROM_FIRST + eepromSize, &image.eeprom, "the EEPROM"},
        };
        for (const auto& r : regions) {
            if (address >= r.first && address < r.end) {
                bytes = r.bytes;
                end = r.end;
                name = r.name;
                return true;
            }
        }
        return false;
    }

    // Puts `data` at `address`, or notes why it cannot be programmed.
    void place(int lineNo, uint32_t address, std::span<const uint8_t> data) {
        if (data.empty()) return;
        byte_map* bytes = nullptr;
        uint32_t end = 0;
        const char* name = nullptr;
        if (!regionOf(address, bytes, end, name)) {
            if (address >= EEPROM_FIRST && address < EEPROM_FIRST + EEPROM_SIZE_MAX)
                problem(lineNo, describe("EEPROM data at 0x%06X lies past its %u bytes (--eeprom-size sets them)",
                                         address, eepromSize));
            else
                problem(lineNo, describe("data at 0x%06X is in no memory of the device", address));
            return;
        }
        if (static_cast<uint64_t>(address) + data.size() > end) {
            problem(lineNo, bytes ? describe("record at 0x%06X runs past the end of ", address) + name
                                  : describe("record at 0x%06X runs into 0x200000", address));
            return;
        }
        for (size_t i = 0; i < data.size(); ++i) {
            const uint32_t a = address + static_cast<uint32_t>(i);
            if (!(bytes ? give(*bytes, a, data[i]) : giveProgram(a, data[i]))) {
                problem(lineNo, describe("gives byte 0x%06X another value than an earlier line", a));
                return;
            }
        }
    }

    void problem(int lineNo, std::string why) { image.problems.push_back({lineNo, std::move(why), {}}); }
};

}  // namespace

uint64_t flash_image::given_bytes() const {
    uint64_t n = 0;
    for (const auto& [address, row] : rows) n += static_cast<uint64_t>(std::popcount(row.given));
    return n;
}

flash_image loadImage(FILE* file, uint32_t eepromSize, const std::function<void()>& eachRecord) {
    loader load{{}, eepromSize};
    record_decoder records(file, true);
    for (;;) {
        const hex_record rec = records.next();
        eachRecord();
        const int lineNo = rec.info.number;
        if (rec.kind == record_kind::end && rec.info.type != TYPE_END) return std::move(load.image);  // end of the file
        // What follows the end record would be lost without a word (a serial
        // number cat'ed after the firmware): a bad line, like any other.
        if (load.image.ended) {
            if (rec.kind != record_kind::blank) load.problem(lineNo, "data after the end record");
            continue;
        }
        switch (rec.kind) {
        case record_kind::end:
            load.image.ended = true;
            break;
        case record_kind::data:
            load.place(lineNo, rec.address, rec.bytes);
            break;
        case record_kind::no_data:
        case record_kind::blank:  // a blank line loses nothing
            break;
        case record_kind::junk:
            load.problem(lineNo, rec.info.why ? rec.info.why : "not a record");
            break;
        case record_kind::bad_checksum:
            load.problem(lineNo, rec.info.why);
            load.image.problems.back().checksum = checksumMessage(rec.info);
            break;
        case record_kind::base_unknown:
            load.problem(lineNo, "the address record before it was not taken");
            break;
        case record_kind::bad_address:
            load.problem(lineNo, "address record without two data bytes");
            break;
        case record_kind::unknown_type:
            load.problem(lineNo, describe("record type %02X not understood", static_cast<uint32_t>(rec.info.type)));
            break;
        case record_kind::beyond_addresses:
            load.problem(lineNo, far(rec.far_address));
            break;
        }
    }
}

std::string placeSerial(flash_image& image, uint32_t address, uint64_t number, int bytes, uint32_t eepromSize) {
    const uint64_t end = static_cast<uint64_t>(address) + static_cast<uint64_t>(bytes);
    const bool program = end <= PROGRAM_MEMORY_END;
    const bool eeprom = address >= EEPROM_FIRST && end <= EEPROM_FIRST + static_cast<uint64_t>(eepromSize);
    if (!program && !eeprom) return describe("0x%06X is not in program memory or the EEPROM", address);
    for (uint32_t a = address; a < end; ++a) {
        const bool given = program ? image.rows.count(a / ROW_BYTES * ROW_BYTES) &&
                                         (image.rows.at(a / ROW_BYTES * ROW_BYTES).given >> (a % ROW_BYTES) & 1)
                                   : image.eeprom.count(a) > 0;
        if (given) return describe("the hex file gives byte 0x%06X itself", a);
    }
    for (int i = 0; i < bytes; ++i) {
        const uint32_t a = address + static_cast<uint32_t>(i);
        const auto value = static_cast<uint8_t>(number >> (8 * i));
        if (eeprom) {
            image.eeprom[a] = value;
            continue;
        }
        image_row& row = image.rows[a / ROW_BYTES * ROW_BYTES];
        row.data[a % ROW_BYTES] = value;
        row.given |= uint64_t{1} << (a % ROW_BYTES);
    }
    return {};
}

std::vector<uint32_t> touchedRows(const flash_image& image) {
    std::vector<uint32_t> rows;
    for (const auto& [address, row] : image.rows) rows.push_back(address);
    return rows;
}

std::vector<uint32_t> partialRows(const flash_image& image) {
    std::vector<uint32_t> rows;
    for (const auto& [address, row] : image.rows)
        if (!row.whole()) rows.push_back(address);
    return rows;
}

std::vector<span_request> rowReads(const std::vector<uint32_t>& rows) {
    std::vector<span_request> reads;
    for (uint32_t r : rows) {
        if (!reads.empty() && reads.back().address + reads.back().bytes == r)
            reads.back().bytes += ROW_BYTES;
        else
            reads.push_back({r, ROW_BYTES});
    }
    return reads;
}

void mergeRow(image_row& row, const std::array<uint8_t, ROW_BYTES>& device) {
    for (uint32_t i = 0; i < ROW_BYTES; ++i)
        if (!(row.given >> i & 1)) row.data[i] = device[i];
}

std::vector<span_request> byteRuns(const byte_map& bytes, uint32_t most) {
    std::vector<span_request> runs;
    for (const auto& [a, value] : bytes) {
        if (!runs.empty() && runs.back().address + runs.back().bytes == a && runs.back().bytes < most)
            ++runs.back().bytes;
        else
            runs.push_back({a, 1});
    }
    return runs;
}

program_plan planFor(const flash_image& image, const std::vector<uint32_t>& rows) {
    program_plan plan;
    plan.reads = rowReads(rows);
    // Runs of consecutive rows: erased in as few requests as the count allows.
    for (const auto& run : plan.reads) {
        const auto erases = eraseRequests(run.address, run.bytes / ROW_BYTES, ERASE_ROWS_MAX);
        plan.erases.insert(plan.erases.end(), erases.begin(), erases.end());
    }
    // Blocks that hold anything but 0xFF (the erase leaves 0xFF), merged while
    // they follow each other.
    for (uint32_t rowAddress : rows) {
        const image_row& row = image.rows.at(rowAddress);
        for (uint32_t b = 0; b < ROW_BYTES; b += BLOCK_BYTES) {
            const bool blank = std::all_of(row.data.begin() + b, row.data.begin() + b + BLOCK_BYTES,
                                           [](uint8_t v) { return v == 0xFF; });
            if (blank) continue;
            const uint32_t at = rowAddress + b;
            if (!plan.writes.empty()) {
                span_request& last = plan.writes.back();
                if (last.address + last.bytes == at && last.bytes < WRITE_BLOCKS_MAX * BLOCK_BYTES) {
                    last.bytes += BLOCK_BYTES;
                    continue;
                }
            }
            plan.writes.push_back({at, BLOCK_BYTES});
        }
    }
    return plan;
}

}  // namespace bootlink

namespace bootlink {

std::vector<span_request> eraseRequests(uint32_t address, uint32_t rows, uint32_t most) {
    std::vector<span_request> erases;
    for (uint32_t done = 0; done < rows; done += most)
        erases.push_back({address + done * ROW_BYTES, std::min(most, rows - done) * ROW_BYTES});
    return erases;
}

namespace {

// The image with every row given in part filled: what the device holds
// there is not known before it is read, so every block of such a row counts
// as written.
flash_image filledPartialRows(const flash_image& image) {
    flash_image work = image;
    for (auto& [address, row] : work.rows)
        if (!row.whole()) row.data.fill(0x00);
    return work;
}

}  // namespace

programming_plan planProgramming(const flash_image& image, bool skipUnchanged, bool writeConfig) {
    programming_plan plan;
    plan.rows = touchedRows(image);
    plan.partial = partialRows(image);
    plan.skip_unchanged = skipUnchanged;
    plan.first_reads = rowReads(skipUnchanged ? plan.rows : plan.partial);
    plan.second_reads = rowReads(plan.partial);
    plan.rewrites = plan.partial;
    std::vector<uint32_t> whole;
    for (uint32_t r : plan.rows)
        if (image.rows.at(r).whole()) whole.push_back(r);
    plan.flash = planFor(image, whole);
    plan.eeprom_writes = byteRuns(image.eeprom, EEPROM_WRITE_MAX);
    plan.eeprom_reads = byteRuns(image.eeprom, UINT32_MAX);
    if (writeConfig) plan.config_writes = byteRuns(image.config, EEPROM_WRITE_MAX);
    plan.config_reads = byteRuns(image.config, UINT32_MAX);
    return plan;
}

programming_plan planVerify(const flash_image& image) {
    programming_plan plan;
    plan.writes = false;
    plan.rows = touchedRows(image);
    plan.flash.reads = rowReads(plan.rows);
    plan.eeprom_reads = byteRuns(image.eeprom, UINT32_MAX);
    plan.config_reads = byteRuns(image.config, UINT32_MAX);
    return plan;
}

namespace {

struct cost_counter {
    plan_cost cost;

    // A request's fields: code, count and a 24-bit address, then `data`;
    // its reply has `replyBody` bytes between the STX pair and the checksum
    // (the data a read returns counted as it would go unescaped).
    void request(uint8_t code, uint32_t count, uint32_t address, std::span<const uint8_t> data, uint64_t replyBody) {
        std::vector<uint8_t> body{code, static_cast<uint8_t>(count), static_cast<uint8_t>(address),
                                  static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address >> 16)};
        body.insert(body.end(), data.begin(), data.end());
        ++cost.requests;
        cost.sent += frameBytes(body);
        cost.received += 2 + replyBody + 1 + 1;  // STX STX, the body, checksum, ETX
    }

    // Reads as the executor sends them: one request up to 255 bytes, else 251 each.
    void reads(uint8_t code, const std::vector<span_request>& spans, uint32_t offset = 0) {
        for (const auto& s : spans) {
            const uint32_t step = s.bytes <= READ_SINGLE_MAX ? s.bytes : READ_CHUNK;
            for (uint32_t off = 0; off < s.bytes; off += step) {
                const uint32_t n = std::min(step, s.bytes - off);
                request(code, n, s.address - offset + off, {}, 5 + n);
            }
        }
    }
    // Erases, writes and read-backs of rows.
    void rows(const program_plan& p, const flash_image& work) {
        cost.erases += p.erases.size();
        cost.writes += p.writes.size();
        for (const auto& w : p.writes) cost.written += w.bytes;
        for (const auto& r : p.reads) cost.read_back += r.bytes;
        for (const auto& e : p.erases) {
            request(CMD_ERASE_FLASH, e.bytes / ROW_BYTES, e.address, {}, 1);
            cost.busy_us += e.bytes / ROW_BYTES * ROW_ERASE_US;
        }
        for (const auto& w : p.writes) {
            request(CMD_WRITE_FLASH, w.bytes / BLOCK_BYTES, w.address, spanBytes(work, w), 1);
            cost.busy_us += w.bytes / BLOCK_BYTES * BLOCK_WRITE_US;
        }
        reads(CMD_READ_FLASH, p.reads);
    }
    void byteWrites(uint8_t code, const std::vector<span_request>& spans, const byte_map& bytes, uint32_t offset = 0) {
        std::vector<uint8_t> data;
        for (const auto& s : spans) {
            data.clear();
            for (uint32_t i = 0; i < s.bytes; ++i) data.push_back(bytes.at(s.address + i));
            request(code, s.bytes, s.address - offset, data, 1);
            cost.busy_us += static_cast<uint64_t>(s.bytes) * BYTE_WRITE_US;
        }
    }
};

}  // namespace

std::vector<uint8_t> spanBytes(const flash_image& image, const span_request& w) {
    std::vector<uint8_t> bytes;
    bytes.reserve(w.bytes);
    for (uint32_t a = w.address; a < w.address + w.bytes; ++a)
        bytes.push_back(image.rows.at(a / ROW_BYTES * ROW_BYTES).data[a % ROW_BYTES]);
    return bytes;
}

plan_cost costOf(const programming_plan& plan, const flash_image& image) {
    cost_counter c;
    const flash_image work = filledPartialRows(image);
    c.reads(CMD_READ_CONFIG, {{DEVICE_ID_FIRST, DEVICE_ID_END - DEVICE_ID_FIRST}});  // which part this is, first
    c.reads(CMD_READ_FLASH, plan.first_reads);
    c.reads(CMD_READ_FLASH, plan.second_reads);
    for (uint32_t r : plan.rewrites) c.rows(planFor(work, {r}), work);
    c.rows(plan.flash, work);
    c.byteWrites(CMD_WRITE_EE, plan.eeprom_writes, image.eeprom, EEPROM_FIRST);
    c.reads(CMD_READ_EE, plan.eeprom_reads, EEPROM_FIRST);
    if (!plan.config_writes.empty()) c.reads(CMD_READ_CONFIG, plan.config_reads);  // what was there, before the write
    c.byteWrites(CMD_WRITE_CONFIG, plan.config_writes, image.config);
    c.reads(CMD_READ_CONFIG, plan.config_reads);
    return c.cost;
}

}  // namespace bootlink
