#include <cstdio>
#include <memory>
#include <vector>

#include "commands/commands.hpp"
#include "ihexfile/record.hpp"
#include "link/bootloader.hpp"
#include "link/geometry.hpp"
#include "link/signals.hpp"
#include "report/fatal.hpp"
#include "report/output.hpp"

namespace bootlink {

namespace {

// A byte-form data record at its true byte address. The bootloader writes
// whole 8-byte blocks at the address it is given, so the record goes out as
// the aligned blocks it touches, padded with 0xFF (which leaves flash as it
// is). Returns false when the record was not written.
bool writeRecord(const bootloader& dev, uint32_t address, const std::vector<uint8_t>& bytes) {
    if (bytes.empty()) return true;  // no data, nothing to program
    const uint32_t count = static_cast<uint32_t>(bytes.size());
    const uint32_t end = address + count;
    if (address >= PROGRAM_MEMORY_END) {
        out("[record at 0x%06X is not program memory (0x200000 and up), skipped]\n", address);
        return true;
    }
    if (end > PROGRAM_MEMORY_END) {
        out("[record at 0x%06X runs past program memory into 0x200000, not written]\n", address);
        return false;
    }
    if (dev.trace)
        out("line read from hexfile had startaddress=0x%04X with length %ibytes\n", address, static_cast<int>(count));
    const uint32_t first = address / BLOCK_BYTES * BLOCK_BYTES;
    const uint32_t last = (end + BLOCK_BYTES - 1) / BLOCK_BYTES * BLOCK_BYTES;
    if (dev.trace) {  // --quiet leaves each record's own lines out
        if (count < BLOCK_BYTES)
            out("[less than eight bytes for flash op, filling up with 0xFF]\n");
        else if (last - first != count)
            out(first == address ? "[not multiple of 8, filling memory with 0xFF]\n"
                                 : "[not aligned to 8-byte blocks, filling memory with 0xFF]\n");
    }
    std::vector<uint8_t> blocks(last - first, 0xFF);
    std::copy(bytes.begin(), bytes.end(), blocks.begin() + (address - first));
    writeflash(dev, std::move(blocks), first);
    return true;
}

}  // namespace

void writeflash(const bootloader& dev, std::vector<uint8_t> bytes, uint32_t address) {
    if (bytes.size() < BLOCK_BYTES) {
        if (dev.trace) out("[less than eight bytes for flash op, filling up with 0xFF]\n");
        bytes.resize(BLOCK_BYTES, 0xFF);
    }
    if (bytes.size() % BLOCK_BYTES != 0) {
        if (dev.trace) out("[not multiple of 8, filling memory with 0xFF]\n");
        bytes.resize((bytes.size() + BLOCK_BYTES - 1) / BLOCK_BYTES * BLOCK_BYTES, 0xFF);
    }
    writeFlash(dev, address, bytes);
    if (dev.trace) out("[OK => Acknowledged Write Flash Program Memory]\n");
}

namespace {

// Writes one record of the file, or says why it is not written; false for a
// line that held something and did not reach the device.
bool writeOne(const bootloader& dev, const hex_record& rec) {
    switch (rec.kind) {
    case record_kind::end:
    case record_kind::no_data:
        return true;
    case record_kind::blank:  // a blank line loses nothing
        out("[found junk in hexfile]\n");
        return true;
    case record_kind::junk:
        out("[found junk in hexfile]\n");
        return false;
    case record_kind::bad_checksum:
        out("Checksum mismatch on line %d (%02X != %02X\n", rec.info.number, rec.info.checksum, rec.info.sum);
        return false;
    case record_kind::base_unknown:
        out("[record on line %d not written: the address record before it was not taken]\n", rec.info.number);
        return false;
    case record_kind::beyond_addresses:
        out("[record on line %d not written: its address lies beyond 32 bits]\n", rec.info.number);
        return false;
    case record_kind::bad_address:
    case record_kind::unknown_type:
        out("[hex record of type %02X not understood, not written]\n", rec.info.type);
        return false;
    case record_kind::data:
        break;
    }
    if (rec.info.form != record_form::word) return writeRecord(dev, rec.address, rec.bytes);
    // INHX16 as a flash read saves it: sent as it stands, filled up at its end.
    if (dev.trace)
        out("line read from hexfile had startaddress=0x%04X with length %ibytes\n", rec.address,
            static_cast<int>(rec.bytes.size()));
    writeflash(dev, rec.bytes, rec.address);
    return true;
}

}  // namespace

outcome main_writeflash(action_context& ctx) {
    const settings& run = ctx.run;
    if (run.hexfile.empty()) out("ERROR: you need to specify --hexfile <filename>\n");
    const auto file = openHexfile(run.hexfile);
    if (ctx.known) ctx.known->hexfile_sha256 = file->sha256;

    record_decoder records(file->stream.get());
    int notWritten = 0;  // lines that held something and did not reach the device
    outcome result;
    for (hex_record rec = records.next(); rec.kind != record_kind::end; rec = records.next()) {
        if (!writeOne(ctx.dev, rec)) ++notWritten;
        if (rec.kind == record_kind::data) result.program.written += rec.bytes.size();
    }
    // Lines after the end record are not written, as always; say so.
    int after = 0;
    for (hex_record rec = records.next(); rec.kind != record_kind::end || rec.info.type == TYPE_END;
         rec = records.next())
        after += rec.kind != record_kind::blank;
    if (after > 0) out("[note: %d line%s after the end record, not read]\n", after, after == 1 ? "" : "s");
    checkHexfileRead(file->stream.get(), run.hexfile);
    // Every line is tried, but a device left half-programmed is not a success.
    if (notWritten > 0)
        fail(result_kind::bad_file, "[ERROR, %i lines of the hexfile were not written]\n", notWritten);
    if (!ctx.say.trace) result.message = "[OK => Acknowledged Write Flash Program Memory: every record written]\n";
    return result;
}

}  // namespace bootlink
