#include <chrono>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "commands/commands.hpp"
#include "commands/memories.hpp"
#include "commands/progress.hpp"
#include "commands/readdump.hpp"
#include "image/image.hpp"
#include "link/bootloader.hpp"
#include "report/fatal.hpp"
#include "report/output.hpp"

namespace bootlink {

namespace {

using row_contents = std::map<uint32_t, std::array<uint8_t, ROW_BYTES>>;

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

// The bytes the file gives that the rows read hold otherwise.
std::vector<difference> compare(const flash_image& image, const row_contents& rows) {
    std::vector<difference> diffs;
    for (const auto& [address, got] : rows) {
        const image_row& want = image.rows.at(address);
        for (uint32_t i = 0; i < ROW_BYTES; ++i)
            if ((want.given >> i & 1) && got[i] != want.data[i]) diffs.push_back({address + i, want.data[i], got[i]});
    }
    return diffs;
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

// Program memory: exactly the bytes the file gives change. Rows the file
// gives only in part are read first, so the erase does not lose the
// device's other bytes in them; they are written back with the file's.
void programFlash(serial_link& line, const settings& run, flash_image work, bool shown) {
    std::vector<uint32_t> rows = touchedRows(work);
    if (run.skip_unchanged) {
        // Rows that already hold what the file gives are left alone: this
        // read is their verification.
        const row_contents now = readRows(line, rowReads(rows), shown, "reading %llu bytes to compare\n");
        std::vector<uint32_t> changed;
        for (uint32_t r : rows) {
            image_row& row = work.rows.at(r);
            if (compare(work, {{r, now.at(r)}}).empty()) continue;
            mergeRow(row, now.at(r));
            changed.push_back(r);
        }
        out("%zu of %zu rows already hold the file, left alone\n", rows.size() - changed.size(), rows.size());
        rows = changed;
    } else if (const auto partial = partialRows(work); !partial.empty()) {
        const row_contents now =
            readRows(line, rowReads(partial), shown, "reading %llu bytes of rows the file gives in part\n");
        for (uint32_t r : partial) mergeRow(work.rows.at(r), now.at(r));
    }
    const program_plan plan = planFor(work, rows);
    eraseAll(line, plan.erases, shown);
    writeAll(line, work, plan.writes, shown);
    reportDifferences(compare(work, readRows(line, plan.reads, shown, "verifying %llu bytes\n")));
}

double secondsSince(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// "N bytes of program memory and M bytes of EEPROM": the parts that are there.
std::string summary(uint64_t program, uint64_t eeprom, uint64_t config) {
    std::vector<std::string> parts;
    auto add = [&](uint64_t n, const char* what) {
        if (n == 0) return;
        char text[64];
        std::snprintf(text, sizeof text, what, static_cast<unsigned long long>(n));
        parts.push_back(text);
    };
    add(program, "%llu bytes of program memory");
    add(eeprom, "%llu bytes of EEPROM");
    add(config, "%llu configuration bytes");
    std::string text;
    for (size_t i = 0; i < parts.size(); ++i) text += (i == 0 ? "" : i + 1 == parts.size() ? " and " : ", ") + parts[i];
    return text;
}

}  // namespace

void main_program(serial_link& line, const settings& run, const flash_image& image) {
    const auto t0 = std::chrono::steady_clock::now();
    line.trace = run.trace;
    const bool shown = !run.trace;
    if (!image.rows.empty()) programFlash(line, run, image, shown);
    if (!image.eeprom.empty()) writeEeprom(line, image.eeprom, shown);
    if (!image.config.empty()) checkConfig(line, image.config, run.write_config, shown);
    line.trace = true;
    out("[OK => programmed and verified %s in %.1f s]\n",
        summary(image.given_bytes(), image.eeprom.size(), run.write_config ? image.config.size() : 0).c_str(),
        secondsSince(t0));
    if (run.run_after) reset_device(line);
}

void main_verify(serial_link& line, const settings& run, const flash_image& image) {
    const auto t0 = std::chrono::steady_clock::now();
    line.trace = run.trace;
    const bool shown = !run.trace;
    if (!image.rows.empty()) {
        const program_plan plan = planFor(image, touchedRows(image));
        reportDifferences(compare(image, readRows(line, plan.reads, shown, "verifying %llu bytes\n")));
    }
    if (!image.eeprom.empty()) verifyEeprom(line, image.eeprom, shown);
    if (!image.config.empty()) checkConfig(line, image.config, false, shown);
    line.trace = true;
    out("[OK => verified %s in %.1f s]\n", summary(image.given_bytes(), image.eeprom.size(), 0).c_str(),
        secondsSince(t0));
}

void main_writeeeprom(serial_link& line, const settings& run, const flash_image& image) {
    const auto t0 = std::chrono::steady_clock::now();
    line.trace = run.trace;
    writeEeprom(line, image.eeprom, !run.trace);
    line.trace = true;
    out("[OK => wrote and verified %zu bytes of EEPROM in %.1f s]\n", image.eeprom.size(), secondsSince(t0));
}

}  // namespace bootlink

namespace bootlink {

namespace {

// Wire bytes of one request or reply: the frame around `body`, and a DLE
// before every byte that needs one (counted for the fields alone).
uint64_t framed(uint64_t body, uint64_t escapes = 0) { return 2 + body + 1 + 1 + escapes; }

}  // namespace

void main_check(const settings& run, const flash_image& image) {
    flash_image work = image;
    const auto partial = partialRows(work);
    // What the device holds is unknown here: the rows given in part count as
    // if every byte of them were written.
    for (uint32_t r : partial) work.rows.at(r).data.fill(0x00);
    const program_plan plan = planFor(work, touchedRows(work));
    const uint64_t partialBytes = partial.size() * ROW_BYTES;
    uint64_t sent = 0, received = 0, requests = 0, busyUs = 0;
    auto reads = [&](uint64_t bytes) {
        const uint64_t n = (bytes + READ_CHUNK - 1) / READ_CHUNK;
        sent += n * framed(5);
        received += n * framed(5) + bytes;
        requests += n;
    };
    reads(partialBytes);
    for (const auto& e : plan.erases) {
        sent += framed(5);
        received += framed(1);
        busyUs += e.bytes / ROW_BYTES * 2000;  // a row takes a couple of ms
    }
    uint64_t escapes = 0;
    for (const auto& [address, row] : work.rows)
        for (uint8_t b : row.data) escapes += b == 0x04 || b == 0x05 || b == 0x0F;
    for (const auto& w : plan.writes) {
        sent += framed(5 + w.bytes);
        received += framed(1);
        busyUs += w.bytes / BLOCK_BYTES * 2000;
    }
    sent += escapes;
    reads(totalBytes(plan.reads));
    const auto eepromRuns = byteRuns(image.eeprom, EEPROM_WRITE_MAX);
    for (const auto& r : eepromRuns) {
        sent += framed(5 + r.bytes);
        received += framed(1);
        busyUs += r.bytes * 4000;  // an EEPROM byte takes a few ms
    }
    if (!image.eeprom.empty()) reads(image.eeprom.size());
    if (!image.config.empty()) reads(image.config.size());
    requests += plan.erases.size() + plan.writes.size() + eepromRuns.size();

    if (!image.rows.empty()) {
        out("program memory: %llu bytes in %zu rows, %zu of them given in part (read first)\n",
            static_cast<unsigned long long>(image.given_bytes()), image.rows.size(), partial.size());
        out("  erase %zu rows in %zu requests, write %llu bytes in %zu requests, read back %llu bytes\n",
            image.rows.size(), plan.erases.size(), static_cast<unsigned long long>(totalBytes(plan.writes)),
            plan.writes.size(), static_cast<unsigned long long>(totalBytes(plan.reads)));
    }
    if (!image.eeprom.empty())
        out("EEPROM: write %zu bytes in %zu requests, read them back\n", image.eeprom.size(), eepromRuns.size());
    if (!image.config.empty())
        out("configuration: %zu bytes %s\n", image.config.size(),
            run.write_config ? "written and read back" : "read and compared");
    const int baud = run.baud ? run.baud : 19200;
    const double byteSeconds = 10.0 / baud;
    const double seconds = static_cast<double>(sent) * std::max(byteSeconds, run.pace_ms / 1000.0) +
                           static_cast<double>(received) * byteSeconds + static_cast<double>(busyUs) / 1e6;
    out("about %llu requests, %llu bytes sent and %llu received: about %.0f s at %d bit/s with a %d ms pace\n",
        static_cast<unsigned long long>(requests), static_cast<unsigned long long>(sent),
        static_cast<unsigned long long>(received), std::ceil(seconds), baud, run.pace_ms);
    out("[OK => the hexfile can be programmed]\n");
}

}  // namespace bootlink
