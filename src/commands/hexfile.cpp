#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "commands/commands.hpp"
#include "commands/files.hpp"
#include "link/signals.hpp"
#include "report/fatal.hpp"
#include "report/output.hpp"

namespace bootlink {

namespace {

constexpr size_t PROBLEMS_SHOWN = 20;  // bad lines listed one by one

// "[note: configuration 0x300000-0x30000D, 14 bytes, not written; ...]"
void noteRegion(const char* name, uint32_t first, uint32_t last, uint64_t bytes, const char* fate) {
    out("[note: %s 0x%06X-0x%06X, %llu byte%s, %s]\n", name, first, last, static_cast<unsigned long long>(bytes),
        bytes == 1 ? "" : "s", fate);
}

void noteRegion(const char* name, const byte_map& bytes, const char* fate) {
    if (!bytes.empty()) noteRegion(name, bytes.begin()->first, bytes.rbegin()->first, bytes.size(), fate);
}

// Program memory's given bytes, first to last.
void noteProgram(const flash_image& image, const char* fate) {
    if (image.rows.empty()) return;
    const auto& [firstRow, first] = *image.rows.begin();
    const auto& [lastRow, last] = *image.rows.rbegin();
    noteRegion("program memory", firstRow + static_cast<uint32_t>(std::countr_zero(first.given)),
               lastRow + ROW_BYTES - 1 - static_cast<uint32_t>(std::countl_zero(last.given)), image.given_bytes(), fate);
}

// The ID locations are flash of their own, erased and written as a row of
// program memory is: with --write-config (a restore of a whole board) they go
// with the program rows.
void idWithProgram(flash_image& image) {
    for (const auto& [address, value] : image.id) {
        image_row& row = image.rows[address / ROW_BYTES * ROW_BYTES];
        row.data[address % ROW_BYTES] = value;
        row.given |= uint64_t{1} << (address % ROW_BYTES);
    }
    image.id.clear();
}

}  // namespace

std::unique_ptr<hexfile_source> openHexfile(const std::string& path) {
    // Read whole before a record is taken: the open and every read of a pipe
    // wait with a bound and let a stop signal in, and the bytes programmed
    // are the bytes hashed for the report.
    file_text read = readWholeFile(path, HEXFILE_LIMIT);
    using problem = file_text::problem;
    if (read.failed == problem::not_regular)  // a directory, /dev/zero: only a file, or a pipe a build feeds
        fail(254, "Error: could not open hexfile '%s' (not a regular file)\n", path.c_str());
    if (read.failed == problem::cannot_open) {
        out("Error: could not open hexfile '%s'\n", path.c_str());
        fail(254, "[reason: %s]\n", read.why.c_str());
    }
    if (read.failed != problem::none)
        fail(254, "Error: could not read hexfile '%s' (%s)\n", path.c_str(), read.why.c_str());
    auto source = std::make_unique<hexfile_source>();
    source->text = std::move(read.text);
    source->sha256 = sha256Hex(source->text);
    source->stream.reset(readingStream(source->text));
    if (!source->stream) fail(254, "Error: could not read hexfile '%s' (%s)\n", path.c_str(), std::strerror(errno));
    return source;
}

void checkHexfileRead(FILE* file, const std::string& path) {
    if (std::ferror(file)) fail(result_kind::bad_file, "Error: could not read hexfile '%s'\n", path.c_str());
}

flash_image checkedImage(const settings& run) {
    if (run.hexfile.empty()) out("ERROR: you need to specify --hexfile <filename>\n");
    const auto file = openHexfile(run.hexfile);
    flash_image image = loadImage(file->stream.get(), static_cast<uint32_t>(run.eeprom_size), [] { checkInterrupted(); });
    checkHexfileRead(file->stream.get(), run.hexfile);
    image.sha256 = file->sha256;
    for (const auto& p : image.problems)
        if (!p.checksum.empty()) out("%s", p.checksum.c_str());
    // A binary named by mistake has a bad line every few bytes: the first
    // ones say enough.
    for (size_t i = 0; i < image.problems.size() && i < PROBLEMS_SHOWN; ++i)
        out("[ERROR, line %d of the hexfile: %s]\n", image.problems[i].line, image.problems[i].why.c_str());
    if (image.problems.size() > PROBLEMS_SHOWN)
        out("[ERROR, %zu more lines like these not shown]\n", image.problems.size() - PROBLEMS_SHOWN);
    if (!image.problems.empty())
        fail(result_kind::bad_file, "[ERROR, %s of the hexfile cannot be programmed, nothing was sent]\n",
             counted(image.problems.size(), "line").c_str());

    // A file cut short (a copy or a build that stopped) would program half a firmware.
    if (!image.ended) fail(result_kind::bad_file, "[ERROR, the hexfile has no end record: is it complete? Nothing was sent]\n");

    const bool program = run.action == ACTION_PROGRAM || run.action == ACTION_CHECK;
    const bool eepromOnly = run.action == ACTION_WRITE_EEPROM;
    const char* fate = program || eepromOnly ? "not written" : "not compared";
    if (eepromOnly) noteProgram(image, "not written; --program writes it");
    // --verify compares them like program memory (they read as it does): a
    // backup's ID locations are part of "is the board still as backed up?".
    if ((program && run.write_config) || run.action == ACTION_VERIFY) idWithProgram(image);
    noteRegion("ID locations", image.id, fate);
    if (program && !run.write_config)
        noteRegion("configuration", image.config, "not written; --write-config writes it");
    if (eepromOnly) noteRegion("configuration", image.config, "not written; --program --write-config writes it");
    noteRegion("device ID", image.device_id, program || eepromOnly ? "not written: it is fixed in the part" : fate);

    const uint64_t work = eepromOnly ? image.eeprom.size()
                                     : image.given_bytes() + image.eeprom.size() +
                                           (program && run.write_config ? image.config.size() : 0);
    if (work == 0)
        fail(result_kind::bad_file, "[ERROR, the hexfile gives no byte to %s, nothing was sent]\n",
             eepromOnly ? "write to the EEPROM" : program ? "program" : "verify");
    return image;
}

}  // namespace bootlink
