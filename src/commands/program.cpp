#include <chrono>
#include <map>
#include <memory>
#include <vector>

#include "commands/commands.hpp"
#include "commands/progress.hpp"
#include "commands/readdump.hpp"
#include "image/image.hpp"
#include "link/bootloader.hpp"
#include "report/fatal.hpp"
#include "report/output.hpp"

namespace bootlink {

namespace {

constexpr int DIFFERENCES_SHOWN = 8;  // differing bytes listed before the count
constexpr const char* VERIFYING = "verifying %llu bytes\n";

using row_contents = std::map<uint32_t, std::array<uint8_t, ROW_BYTES>>;

// The whole file read and checked before anything is sent to the device.
flash_image checkedImage(const settings& run) {
    if (run.hexfile.empty()) out("ERROR: you need to specify --hexfile <filename>\n");
    const std::unique_ptr<FILE, int (*)(FILE*)> file(openHexfile(run.hexfile), std::fclose);
    flash_image image = loadImage(file.get());
    checkHexfileRead(file.get(), run.hexfile);
    if (image.high_bytes > 0)
        out("[%llu bytes from 0x%06X are not program memory (0x200000 and up), left out]\n",
            static_cast<unsigned long long>(image.high_bytes), image.high_first);
    for (const auto& p : image.problems) out("[ERROR, line %d of the hexfile: %s]\n", p.line, p.why.c_str());
    if (!image.problems.empty())
        fail(255, "[ERROR, %zu lines of the hexfile cannot be programmed, nothing was sent]\n", image.problems.size());
    return image;
}

uint64_t totalBytes(const std::vector<span_request>& spans) {
    uint64_t n = 0;
    for (const auto& s : spans) n += s.bytes;
    return n;
}

// Reads the runs of rows in `reads` back from the device.
row_contents readRows(serial_link& line, const std::vector<span_request>& reads, bool shown, const char* phase) {
    const uint64_t total = totalBytes(reads);
    out(phase, static_cast<unsigned long long>(total));
    auto bar = makeProgress(total, shown);
    row_contents rows;
    uint64_t done = 0;
    std::vector<uint8_t> data;
    for (const auto& run : reads) {
        for (uint32_t off = 0; off < run.bytes; off += READ_CHUNK) {
            data.resize(std::min<uint32_t>(READ_CHUNK, run.bytes - off));
            readRange(line, memory::program, run.address + off, data);
            for (size_t i = 0; i < data.size(); ++i) {
                const uint32_t a = run.address + off + static_cast<uint32_t>(i);
                rows[a / ROW_BYTES * ROW_BYTES][a % ROW_BYTES] = data[i];
            }
            done += data.size();
            bar->advance(done);
        }
    }
    if (total == 0) bar->advance(0);
    return rows;
}

// Bytes of `rows` that differ from what the image says they must hold.
struct difference {
    uint32_t address;
    uint8_t expected, read;
};

std::vector<difference> compare(const flash_image& image, const row_contents& rows) {
    std::vector<difference> diffs;
    for (const auto& [address, got] : rows) {
        const image_row& want = image.rows.at(address);
        for (uint32_t i = 0; i < ROW_BYTES; ++i)
            if (got[i] != want.data[i]) diffs.push_back({address + i, want.data[i], got[i]});
    }
    return diffs;
}

void reportDifferences(const std::vector<difference>& diffs) {
    if (diffs.empty()) return;
    for (size_t i = 0; i < diffs.size() && i < DIFFERENCES_SHOWN; ++i)
        out("[ERROR, verify failed at 0x%06x: expected 0x%02x, read 0x%02x]\n", diffs[i].address, diffs[i].expected,
            diffs[i].read);
    fail(255, "[ERROR, verify failed: %d bytes differ]\n", static_cast<int>(diffs.size()));
}

void eraseAll(serial_link& line, const std::vector<span_request>& erases, bool shown) {
    const uint64_t rows = totalBytes(erases) / ROW_BYTES;
    out("erasing %llu rows\n", static_cast<unsigned long long>(rows));
    auto bar = makeProgress(rows, shown);
    uint64_t done = 0;
    for (const auto& e : erases) {
        eraseRows(line, e.address, static_cast<int>(e.bytes / ROW_BYTES));
        done += e.bytes / ROW_BYTES;
        bar->advance(done);
    }
    if (erases.empty()) bar->advance(0);
}

void writeAll(serial_link& line, const flash_image& image, const std::vector<span_request>& writes, bool shown) {
    const uint64_t total = totalBytes(writes);
    out("writing %llu bytes in %zu requests\n", static_cast<unsigned long long>(total), writes.size());
    auto bar = makeProgress(total, shown);
    uint64_t done = 0;
    std::vector<uint8_t> blocks;
    for (const auto& w : writes) {
        blocks.clear();
        for (uint32_t a = w.address; a < w.address + w.bytes; ++a)
            blocks.push_back(image.rows.at(a / ROW_BYTES * ROW_BYTES).data[a % ROW_BYTES]);
        writeFlash(line, w.address, blocks);
        done += w.bytes;
        bar->advance(done);
    }
    if (writes.empty()) bar->advance(0);
}

double secondsSince(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

void main_program(serial_link& line, const settings& run) {
    const auto t0 = std::chrono::steady_clock::now();
    const flash_image image = checkedImage(run);
    line.trace = run.trace;
    const bool shown = !run.trace;
    std::vector<uint32_t> rows = touchedRows(image);
    if (run.skip_unchanged) {
        // Rows that already hold what they must are left alone: this read
        // is their verification.
        const row_contents now = readRows(line, planFor(image, rows).reads, shown, "reading %llu bytes to compare\n");
        std::vector<uint32_t> changed;
        for (uint32_t r : rows)
            if (now.at(r) != image.rows.at(r).data) changed.push_back(r);
        out("%zu of %zu rows already hold the file, left alone\n", rows.size() - changed.size(), rows.size());
        rows = changed;
    }
    const program_plan plan = planFor(image, rows);
    eraseAll(line, plan.erases, shown);
    writeAll(line, image, plan.writes, shown);
    reportDifferences(compare(image, readRows(line, plan.reads, shown, VERIFYING)));
    line.trace = true;
    out("[OK => programmed and verified %llu bytes in %.1f s]\n", static_cast<unsigned long long>(image.given_bytes()),
        secondsSince(t0));
    if (run.run_after) reset_device(line);
}

void main_verify(serial_link& line, const settings& run) {
    const auto t0 = std::chrono::steady_clock::now();
    const flash_image image = checkedImage(run);
    line.trace = run.trace;
    const program_plan plan = planFor(image, touchedRows(image));
    reportDifferences(compare(image, readRows(line, plan.reads, !run.trace, VERIFYING)));
    line.trace = true;
    out("[OK => verified %llu bytes in %.1f s]\n", static_cast<unsigned long long>(image.given_bytes()),
        secondsSince(t0));
}

}  // namespace bootlink
