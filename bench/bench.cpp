// Measures runs of the real tool against the simulated device: wall time as
// a ratio to the floor the 10 ms pause per sent byte sets, and peak memory.
//
//   build/bootlink-bench [repetitions]

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "harness.hpp"
#include "hexdata.hpp"

using namespace testing_support;

namespace {

struct sample {
    double seconds = 0;
    size_t wire_bytes = 0;  // bytes the device received (wake byte included)
    size_t reply_bytes = 0; // bytes the device sent
    double busy_ms = 0;     // the device's programming time
    size_t requests = 0;
    long maxrss_kb = 0;
    double cpu_seconds = 0;  // the tool's own, median
};

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Start-up and shut-down of the process alone: a run that ends before the
// device is opened.
double startup_seconds(int reps) {
    std::vector<double> t;
    for (int i = 0; i < reps; ++i) t.push_back(run_plain({"--help"}).seconds);
    return median(t);
}

sample measure(const std::vector<std::string>& args, int reps,
               const std::function<void(bootsim::device&)>& prepare = {}, const std::string& cwd = "",
               const bootsim::line_model& timing = {},
               const std::function<std::string(const std::string&)>& front = {}) {
    std::vector<double> t, cpu;
    sample s;
    for (int i = 0; i < reps; ++i) {
        bootsim::device dev;
        dev.timing = timing;
        if (prepare) prepare(dev);
        run_options o;
        o.cwd = cwd;
        o.timeout_ms = 600000;
        o.front = front;
        const auto r = run_tool(dev, args, o);
        if (r.status != 0) {
            const size_t tail = r.out.size() > 2000 ? r.out.size() - 2000 : 0;
            std::fprintf(stderr, "bench: run failed (%d):\n...%s", r.status, r.out.c_str() + tail);
            std::exit(1);
        }
        t.push_back(r.seconds);
        cpu.push_back(r.cpu_seconds);
        s.wire_bytes = dev.wire.size();
        s.reply_bytes = dev.sent;
        s.busy_ms = dev.busy_total_ms;
        s.requests = dev.requests.size();
        s.maxrss_kb = std::max(s.maxrss_kb, r.maxrss_kb);
    }
    s.seconds = median(t);
    s.cpu_seconds = median(cpu);
    return s;
}

void report(const char* name, const sample& s, double startup) {
    const double floor = static_cast<double>(s.wire_bytes) * 0.010;
    std::printf("%-36s %6zu %5zu %9.3f %9.3f %7.4f %9.1f %8.1f\n", name, s.wire_bytes, s.requests, s.seconds,
                floor, (s.seconds - startup) / floor, (s.seconds - startup - floor) * 1000.0,
                static_cast<double>(s.maxrss_kb) / 1024.0);
}

// A 4 KiB program as compilers lay it out: extended address record, then
// 16-byte data records, `offset` bytes off the 8-byte grid.
std::string intel_hex(int size, int offset) {
    std::string text = ":020000040000FA\n";
    char buf[64];
    for (int a = 0; a < size; a += 16) {
        const int at = a + offset;
        unsigned sum = 16 + (at >> 8) + (at & 0xFF);
        std::snprintf(buf, sizeof buf, ":10%04X00", at);
        text += buf;
        for (int i = 0; i < 16; ++i) {
            const int b = (a + i) * 7 & 0xFF;
            std::snprintf(buf, sizeof buf, "%02X", b);
            text += buf;
            sum += b;
        }
        std::snprintf(buf, sizeof buf, "%02X\n", (256 - (sum & 0xFF)) & 0xFF);
        text += buf;
    }
    return text + ":00000001FF\n";
}

// A line at `baud` with a real part's programming times.
bootsim::line_model part(int baud) {
    bootsim::line_model m;
    m.baud = baud;
    m.write_us = 2000;
    m.erase_us = 2000;
    return m;
}

// Floor of a run against a modelled part: every byte's line time, both ways,
// the part's busy time, and for a paced run the pause after each byte sent
// (the byte itself goes out inside its pause).
double floor_seconds(const sample& s, int baud, int pace_ms) {
    const double byte_s = 10.0 / baud;
    const double sending = pace_ms > 0 ? static_cast<double>(s.wire_bytes) * std::max(byte_s, pace_ms / 1000.0)
                                       : static_cast<double>(s.wire_bytes) * byte_s;
    return sending + static_cast<double>(s.reply_bytes) * byte_s + s.busy_ms / 1000.0;
}

// The same job at the defaults (19200 bit/s, 10 ms pace) and with
// --baud 115200 --pace 0, each against a part on a line of that speed.
bool with_defaults = true;  // "quick": leave out the slow default-side runs

void compare(const char* name, const std::vector<std::string>& job, double startup, const std::string& cwd = "",
             int reps = 1) {
    const sample slow = with_defaults ? measure(job, reps, {}, cwd, part(19200)) : sample{};
    std::vector<std::string> fast_args{"--baud", "115200", "--pace", "0"};
    fast_args.insert(fast_args.end(), job.begin(), job.end());
    const sample fast = measure(fast_args, std::max(reps, 3), {}, cwd, part(115200));  // short: always a median of 3
    const double floor = floor_seconds(fast, 115200, 0);
    // A ratio is printed only where it was measured: not for the default
    // side the quick section leaves out, nor for a job shorter than the
    // process's own start-up, whose time is that noise.
    const auto ratio = [](bool measured, double value) {
        char text[32] = "-";
        if (measured) std::snprintf(text, sizeof text, "%.4f", value);
        return std::string(text);
    };
    const bool fastMeasured = fast.seconds > startup;
    const bool slowMeasured = with_defaults && slow.seconds > startup;
    std::printf("%-28s %6zu %6zu %8.3f %8.3f %7s %7.4f %6.1f | %9s %7s %9s\n", name, fast.wire_bytes,
                fast.reply_bytes, fast.seconds, floor, ratio(fastMeasured, (fast.seconds - startup) / floor).c_str(),
                fast.seconds / (floor + startup), static_cast<double>(fast.maxrss_kb) / 1024.0,
                ratio(with_defaults, slow.seconds).c_str(),
                ratio(slowMeasured, (slow.seconds - startup) / floor_seconds(slow, 19200, 10)).c_str(),
                (ratio(with_defaults, slow.seconds / fast.seconds) + (with_defaults ? "x" : "")).c_str());
}

}  // namespace

void paced(int reps, double startup, const temp_dir& dir);
void program(const temp_dir& dir);
void fast(int reps, double startup, const temp_dir& dir);
void host(int reps, const temp_dir& dir);
void noise(const temp_dir& dir);
void backupNoise(const temp_dir& dir);
void bounds(const temp_dir& dir);
void adapter(const temp_dir& dir);
void network(const temp_dir& dir, int repeats);

constexpr const char* SECTIONS[] = {"paced", "fast", "quick", "program", "host", "noise",
                                    "backup", "bounds", "adapter", "network"};

int usage(const char* name, int status) {
    std::fprintf(status ? stderr : stdout,
                 "usage: %s [REPS [SECTION]]\n"
                 "Measures the tool against the simulated device. REPS (default 3) is how often the short\n"
                 "jobs run; SECTION is one of paced, fast, quick, program, host, noise, backup, bounds,\n"
                 "adapter, network (default: all, about 40 minutes).\n",
                 name);
    return status;
}

int main(int argc, char** argv) {
    if (argc > 1 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h")) return usage(argv[0], 0);
    char* end = nullptr;
    const long asked = argc > 1 ? std::strtol(argv[1], &end, 10) : 3;
    if (argc > 3 || (argc > 1 && (*end != '\0' || asked < 1 || asked > 100))) return usage(argv[0], 2);
    if (argc > 2 && std::none_of(std::begin(SECTIONS), std::end(SECTIONS),
                                 [&](const char* s) { return std::string(argv[2]) == s; }))
        return usage(argv[0], 2);
    const int reps = static_cast<int>(asked);
    // Sections: "paced" (the defaults against the bare device), "fast" (the
    // fast line beside the defaults), "quick" (the fast line alone),
    // "program" (--program of 32 KiB), "host" (the host's own cost: system
    // calls, CPU time, a 1 Mbit/s line), "noise" (--program of a toolchain's
    // 30 KiB over a noisy line, 20 seeds), "backup" (--readall of 64 KiB over
    // a noisy line, 20 seeds), "bounds" (how long a dead line, a frozen
    // device and a stop signal take to end a run), "adapter" (--program behind a USB
    // adapter's latency timer), "network" (--program through ser2net); all by
    // default.
    const std::string only = argc > 2 ? argv[2] : "";
    with_defaults = only != "quick";
    const double startup = startup_seconds(reps * 3);
    temp_dir dir;
    write_file(dir.file("aligned.hex"), intel_hex(4096, 0));
    write_file(dir.file("offset.hex"), intel_hex(4096, 4));
    std::printf("process start-up and exit: %.4f s (subtracted below)\n\n", startup);
    if (only.empty() || only == "paced") paced(reps, startup, dir);
    if (only.empty() || only == "fast" || only == "quick") fast(reps, startup, dir);
    if (only.empty() || only == "program") program(dir);
    if (only.empty() || only == "host") host(reps, dir);
    if (only.empty() || only == "noise") noise(dir);
    if (only.empty() || only == "backup") backupNoise(dir);
    if (only.empty() || only == "bounds") bounds(dir);
    if (only.empty() || only == "adapter") adapter(dir);
    if (only.empty() || only == "network") network(dir, reps);
    return 0;
}

void paced(int reps, double startup, const temp_dir& dir) {
    std::printf("%-36s %6s %5s %9s %9s %7s %9s %8s\n", "run", "wire", "reqs", "wall s", "floor s", "ratio",
                "beyond ms", "peak MiB");
    report("reset", measure({"--reset"}, reps), startup);
    report("erase 3 rows", measure({"--eraseflash", "--rows", "3", "--startaddr", "0x1320"}, reps), startup);
    report("erase, escaped fields", measure({"--eraseflash", "--rows", "261", "--startaddr", "0x0F0400"}, reps),
           startup);
    report("read flash 1 KiB", measure({"--readflash", "--bytes", "1024", "--startaddr", "0"}, reps), startup);
    report("read eeprom 256 bytes", measure({"--readeeprom", "--bytes", "256", "--startaddr", "0"}, reps), startup);

    // Programming is long (about a minute a run): measured once each.
    report("write 4 KiB, 16-byte records", measure({"--writeflash", "--hexfile", "aligned.hex"}, 1, {}, dir.path()),
           startup);
    report("write 4 KiB, records 4 bytes off grid",
           measure({"--writeflash", "--hexfile", "offset.hex"}, 1, {}, dir.path()), startup);

    std::printf("\nwire: bytes the device received (wake byte, escapes and padding included); floor: wire x 10 ms;\n"
                "ratio: (wall - start-up) / floor; beyond: wall - start-up - floor.\n\n");
}

// Start-up of a run with a line: the process, opening and setting up the
// line, the wake byte, and the simulated device's side of it; the run stops
// there (no action given).
double line_startup_seconds(int reps, int baud = 115200) {
    std::vector<double> t;
    for (int i = 0; i < reps; ++i) {
        bootsim::device dev;
        dev.timing = part(baud);
        t.push_back(run_tool(dev, {"--baud", std::to_string(baud), "--pace", "0"}).seconds);
    }
    return median(t);
}

void fast(int reps, double, const temp_dir& dir) {
    const double startup = line_startup_seconds(reps * 3);
    std::printf("start-up with the line opened and the device woken: %.4f s (subtracted below)\n\n", startup);
    std::printf("Fast line: --baud 115200 --pace 0 against a part at 115200 bit/s (2 ms per block written\n"
                "and per row erased); beside it the same job at the defaults against a part at 19200.\n\n");
    std::printf("%-28s %6s %6s %8s %8s %7s %7s %6s | %9s %7s %9s\n", "run", "to dev", "from", "wall s", "floor s",
                "ratio", "w/(f+s)", "MiB", "default s", "ratio", "speed-up");
    compare("reset", {"--reset"}, startup, "", reps);
    compare("erase 64 rows", {"--eraseflash", "--rows", "64", "--startaddr", "0"}, startup, "", reps);
    compare("read flash 1 KiB", {"--readflash", "--bytes", "1024", "--startaddr", "0"}, startup, dir.path(), reps);
    compare("read flash 32 KiB", {"--readflash", "--bytes", "32768", "--startaddr", "0"}, startup, dir.path());
    compare("write 4 KiB, 16-byte records", {"--writeflash", "--hexfile", "aligned.hex"}, startup, dir.path());
    std::printf("\nfloor: line time of every byte both ways (10 bits a byte) + the part's busy time; at the\n"
                "defaults the 10 ms pause stands for each byte sent. ratio: (wall - start-up) / floor;\n"
                "w/(f+s): wall / (floor + start-up), the measure for runs whose floor is below the\n"
                "start-up's own noise (a reset's 7 bytes take 0.6 ms).\n");
}

namespace {

// 32 KiB as a compiler lays it out: an extended address record, 16-byte
// records, a few gaps, one record off the 8-byte grid. `changed` flips one
// byte (in the row at 0x4000).
std::string compiler_hex(bool changed) {
    std::string text = intel_record(0, 4, {0, 0}) + "\n";
    for (uint32_t a = 0; a < 0x8000; a += 16) {
        if ((a >= 0x1800 && a < 0x1900) || (a >= 0x5000 && a < 0x5040)) continue;  // gaps
        std::vector<int> data;
        for (uint32_t i = 0; i < 16; ++i) data.push_back(static_cast<int>((a + i) * 13 + (a >> 8)) & 0xFF);
        if (changed && a == 0x4000) data[5] ^= 0x21;
        if (a == 0x6000) data.resize(13);  // 0x6003..0x600F: starts off the grid
        text += intel_record(a == 0x6000 ? a + 3 : a, 0, data) + "\n";
    }
    return text + ":00000001FF\n";
}

}  // namespace

void program(const temp_dir& dir) {
    write_file(dir.file("fw.hex"), compiler_hex(false));
    write_file(dir.file("fw2.hex"), compiler_hex(true));
    const auto image = intel_hex_bytes(compiler_hex(false));
    auto dirty = [](bootsim::device& dev) { std::fill(dev.flash.begin(), dev.flash.begin() + 0x10000, 0x5A); };
    // A board that holds fw.hex: its rows erased and written, the rest old data.
    auto holding = [&](bootsim::device& dev) {
        std::fill(dev.flash.begin(), dev.flash.begin() + 0x10000, 0x5A);
        for (const auto& [a, b] : image) std::fill_n(dev.flash.begin() + a / 64 * 64, 64, 0xFF);
        for (const auto& [a, b] : image) dev.flash[a] = b;
    };
    const std::vector<std::string> fast_line{"--baud", "115200", "--pace", "0"};
    auto args = [&](std::vector<std::string> more) {
        std::vector<std::string> v = fast_line;
        v.insert(v.end(), more.begin(), more.end());
        return v;
    };
    const sample full = measure(args({"--program", "--hexfile", "fw.hex"}), 1, dirty, dir.path(), part(115200));
    const sample skip =
        measure(args({"--program", "--skip-unchanged", "--hexfile", "fw2.hex"}), 1, holding, dir.path(), part(115200));
    // --writeflash of the same file at the defaults takes about 20 minutes:
    // its wire bytes come from an unpaced run, its time from them.
    bootsim::line_model busy_only;
    busy_only.write_us = 2000;
    const sample wf = measure({"--pace", "0", "--writeflash", "--hexfile", "fw.hex"}, 1, {}, dir.path(), busy_only);
    const double wf_seconds = floor_seconds(wf, 19200, 10);

    const double floor = floor_seconds(full, 115200, 0);
    std::printf("\nProgramming 32 KiB of compiler-style Intel hex (16-byte records, gaps, one record off\n"
                "the grid) onto a board holding old data: --program with --baud 115200 --pace 0 against\n"
                "a part at 115200 bit/s with 2 ms per block and per row.\n\n");
    std::printf("%-34s %6s %6s %5s %9s %9s %7s %6s\n", "run", "to dev", "from", "reqs", "wall s", "floor s", "ratio",
                "MiB");
    std::printf("%-34s %6zu %6zu %5zu %9.3f %9.3f %7.4f %6.1f\n", "--program (erase, write, verify)",
                full.wire_bytes, full.reply_bytes, full.requests, full.seconds, floor, full.seconds / floor,
                static_cast<double>(full.maxrss_kb) / 1024.0);
    std::printf("%-34s %6zu %6zu %5zu %9.3f %9s %7.4f %6.1f\n", "--skip-unchanged after 1 byte", skip.wire_bytes,
                skip.reply_bytes, skip.requests, skip.seconds, "", skip.seconds / full.seconds,
                static_cast<double>(skip.maxrss_kb) / 1024.0);
    std::printf("%-34s %6zu %6zu %5zu %9.1f %9s\n", "--writeflash at the defaults (est.)", wf.wire_bytes,
                wf.reply_bytes, wf.requests, wf_seconds, "(wire x 10 ms + replies + busy)");
    std::printf("\nspeed-up of --program over --writeflash at the defaults: %.1fx; --skip-unchanged takes %.2f of\n"
                "the full run (ratio column of that row).\n",
                wf_seconds / full.seconds, skip.seconds / full.seconds);
}

namespace {

// System calls of one run, counted by strace (-1 when it is not there).
long syscalls(const std::vector<std::string>& args, const std::string& cwd, int status = 0,
              const bootsim::line_model& timing = {}, size_t* requests = nullptr) {
    temp_dir t;
    bootsim::device dev;
    dev.timing = timing;
    run_options o;
    o.cwd = cwd;
    o.timeout_ms = 600000;
    o.wrapper = {"strace", "-f", "-c", "-o", t.file("count")};
    const auto r = run_tool(dev, args, o);
    const std::string table = read_file(t.file("count"));
    const size_t total = table.rfind(" total");
    if (r.status != status || total == std::string::npos) {
        std::fprintf(stderr, "bench: strace run: status %d\n%s%s\n", r.status, r.err.c_str(), table.c_str());
        return -1;
    }
    if (requests) *requests = dev.requests.size();
    const size_t line = table.rfind('\n', total) + 1;
    double pct = 0, seconds = 0;
    long usecs = 0, calls = -1;
    std::sscanf(table.c_str() + line, "%lf %lf %ld %ld", &pct, &seconds, &usecs, &calls);
    return calls;
}

}  // namespace

void host(int reps, const temp_dir& dir) {
    write_file(dir.file("fw.hex"), compiler_hex(false));
    const std::vector<std::string> program{"--pace", "0", "--program", "--hexfile", "fw.hex"};
    // An instant device: everything the run takes is the host's.
    const sample instant = measure(program, reps, {}, dir.path());
    const long calls = syscalls(program, dir.path());
    const long baseline = syscalls({"--pace", "0"}, dir.path(), 255);  // start-up, line, wake byte; no action
    std::printf("\nThe host's own cost: --program of 32 KiB at --pace 0 against an instant device.\n\n");
    std::printf("requests %zu, wall %.3f s, tool CPU %.3f s (%.1f us a request)\n", instant.requests, instant.seconds,
                instant.cpu_seconds, instant.cpu_seconds * 1e6 / static_cast<double>(instant.requests));
    if (calls < 0 || baseline < 0)
        std::printf("system calls: strace not found\n");
    else
        std::printf("system calls %ld, of them start-up and wake %ld: %.2f a request\n", calls, baseline,
                    static_cast<double>(calls - baseline) / static_cast<double>(instant.requests));

    constexpr int MBIT = 1000000;
    // At line speed the reply's bytes come one by one: the host waits for
    // them on the wire rather than waking for each.
    for (const int baud : {115200, MBIT}) {
        size_t requests = 0;
        const std::vector<std::string> at{"--baud", std::to_string(baud), "--pace", "0"};
        auto with = [&](std::vector<std::string> v) {
            v.insert(v.begin(), at.begin(), at.end());
            return v;
        };
        const long c = syscalls(with({"--program", "--hexfile", "fw.hex"}), dir.path(), 0, part(baud), &requests);
        const long b = syscalls(at, dir.path(), 255, part(baud));
        if (c >= 0 && b >= 0)
            std::printf("at %7d bit/s: system calls %ld, of them start-up and wake %ld: %.2f a request (%zu requests)\n",
                        baud, c, b, static_cast<double>(c - b) / static_cast<double>(requests), requests);
    }

    const double startup = line_startup_seconds(reps * 3, MBIT);
    std::printf("\nA 1 Mbit/s line: --baud 1000000 --pace 0 against a part at 1000000 bit/s (2 ms per block\n"
                "written and per row erased). Start-up with the line opened: %.4f s (subtracted).\n\n", startup);
    std::printf("%-28s %6s %6s %8s %8s %7s %7s\n", "run", "to dev", "from", "wall s", "floor s", "ratio", "CPU s");
    auto row = [&](const char* name, std::vector<std::string> job) {
        std::vector<std::string> args{"--baud", "1000000", "--pace", "0"};
        args.insert(args.end(), job.begin(), job.end());
        const sample s = measure(args, reps, {}, dir.path(), part(MBIT));
        const double floor = floor_seconds(s, MBIT, 0);
        std::printf("%-28s %6zu %6zu %8.3f %8.3f %7.4f %7.3f\n", name, s.wire_bytes, s.reply_bytes, s.seconds, floor,
                    (s.seconds - startup) / floor, s.cpu_seconds);
    };
    row("erase 64 rows", {"--eraseflash", "--rows", "64", "--startaddr", "0"});
    row("read flash 32 KiB", {"--readflash", "--bytes", "32768", "--startaddr", "0", "--output", "r.hex"});
    row("--writeflash 32 KiB", {"--writeflash", "--hexfile", "fw.hex"});
    row("--program 32 KiB", {"--program", "--hexfile", "fw.hex"});
    std::printf("\nfloor: line time of every byte both ways + the part's busy time; ratio: (wall - start-up) / floor.\n");
}

// Runs over a line that flips a bit of a byte (either way) with probability
// `p`, seeds 1 to `seeds`: how many succeeded, how many of those left the
// device or a file unlike they must be (`right` says), the bytes flipped and
// the times of the successes.
struct noisy_tally {
    int ok = 0, wrong = 0, flipped = 0;
    std::vector<double> seconds;
};

noisy_tally noisyRuns(double p, int seeds, const std::vector<std::string>& args, const temp_dir& dir,
                      const std::function<void(bootsim::device&)>& prepare,
                      const std::function<bool(const bootsim::device&)>& right) {
    noisy_tally t;
    for (int seed = 1; seed <= seeds; ++seed) {
        bootsim::device dev;
        dev.timing = part(115200);
        prepare(dev);
        if (p > 0) dev.faults.push_back({bootsim::fault_kind::noise, 0, -1, p});
        dev.seed = static_cast<uint32_t>(seed);
        run_options o;
        o.cwd = dir.path();
        o.timeout_ms = 600000;
        const auto r = run_tool(dev, args, o);
        t.flipped += dev.flipped;
        if (r.status != 0) continue;
        ++t.ok;
        t.wrong += !right(dev);
        t.seconds.push_back(r.seconds);
    }
    return t;
}

// --program of a toolchain's 30 KiB file over a noisy line: how many of 20
// seeds succeed at the default retries, whether any success left the device
// unlike the file, and the median time of the successes against a clean run.
void noise(const temp_dir& dir) {
    const std::string file = std::string(FIXTURES_DIR) + "/toolchain/tables-30k.hex";
    const auto want = intel_hex_bytes(read_file(file));
    // A short reply wait: a reply lost to noise costs 150 ms, not 5 s.
    const std::vector<std::string> args{"--baud", "115200", "--pace", "0", "--timeout", "150",
                                        "--program", "--hexfile", file};
    const auto holdsFile = [&](const bootsim::device& dev) {
        for (const auto& [a, b] : want)
            if (a < dev.flash.size() && dev.flash[a] != b) return false;
        return true;
    };
    const auto runs = [&](double p, int seeds) { return noisyRuns(p, seeds, args, dir, [](bootsim::device&) {}, holdsFile); };
    const noisy_tally clean = runs(0, 3);
    const double clean_s = median(clean.seconds);
    std::printf("\nNoise: --program of tables-30k.hex (a toolchain's 30 KiB) with --baud 115200 --pace 0\n"
                "--timeout 150 against a part at 115200 bit/s, seeds 1 to 20, default retries. Clean run:\n"
                "%.3f s (median of 3, %d of 3 succeeded).\n\n",
                clean_s, clean.ok);
    std::printf("%-10s %9s %11s %13s %12s %8s\n", "per byte", "succeeded", "false OK", "bytes flipped",
                "median s", "ratio");
    for (const double p : {0.0005, 0.001}) {
        const noisy_tally t = runs(p, 20);
        const double s = t.seconds.empty() ? 0 : median(t.seconds);
        std::printf("%-10.4f %6d/20 %11d %13d %12.3f %8.3f\n", p, t.ok, t.wrong, t.flipped, s, s / clean_s);
    }
    std::printf("\nfalse OK: a run that ended 0 with the device unlike the file (must be 0); ratio: median\n"
                "time of the successful runs / the clean run.\n");
}

// --readall of 64 KiB over a noisy line: how many backups succeed, how many
// of those differ from the board (must be none), and the time against a
// clean read.
void backupNoise(const temp_dir& dir) {
    constexpr size_t FLASH = 65536;
    const std::vector<std::string> args{"--baud", "115200", "--pace", "0", "--timeout", "150", "--readall",
                                        "--flash-size", std::to_string(FLASH), "--output", "backup.hex"};
    const auto fill = [](bootsim::device& dev) {
        for (size_t a = 0; a < FLASH; ++a) dev.flash[a] = static_cast<uint8_t>(a * 13 + a / 251);
    };
    const auto savedRight = [&](const bootsim::device& dev) {
        const auto saved = intel_hex_bytes(read_file(dir.file("backup.hex")));
        for (uint32_t a = 0; a < FLASH; ++a)
            if (!saved.count(a) || saved.at(a) != dev.flash[a]) return false;
        return true;
    };
    const noisy_tally clean = noisyRuns(0, 3, args, dir, fill, savedRight);
    const double clean_s = median(clean.seconds);
    std::printf("\nBackup over noise: --readall of 64 KiB with --baud 115200 --pace 0 --timeout 150, part at\n"
                "115200 bit/s, seeds 1 to 20. Clean read: %.3f s (median of 3, %d of 3 succeeded).\n\n",
                clean_s, clean.ok);
    std::printf("%-10s %9s %14s %12s %8s\n", "per byte", "succeeded", "wrong backups", "median s", "ratio");
    const noisy_tally t = noisyRuns(0.001, 20, args, dir, fill, savedRight);
    if (t.seconds.empty())
        std::printf("%-10.4f %6d/20 %14d %12s %8s\n", 0.001, t.ok, t.wrong, "-", "-");
    else
        std::printf("%-10.4f %6d/20 %14d %12.3f %8.3f\n", 0.001, t.ok, t.wrong, median(t.seconds),
                    median(t.seconds) / clean_s);
    std::printf("\nwrong backups: a run that ended 0 with a file unlike the board (must be 0).\n");
}

// How long a run takes to end when the line goes dead or a stop signal
// comes, against the bound the tool promises.
void bounds(const temp_dir& dir) {
    std::printf("\nBounds: how long a run takes to end (the tests assert these with margins).\n\n");
    std::printf("%-52s %9s %9s\n", "case", "took s", "bound s");
    {
        bootsim::device dev;
        dev.faults.push_back({bootsim::fault_kind::no_answer, 0, -1, 0});
        run_options o;
        o.cwd = dir.path();
        const auto r = run_tool(dev, {"--program", "--hexfile", std::string(FIXTURES_DIR) + "/toolchain/absolute.hex"}, o);
        std::printf("%-52s %9.3f %9.3f\n", "silent device, --program at the defaults", r.seconds, 3 * 5.0 + 1);
    }
    {
        sim_process board(dir.file("frozen"), {"--baud", "115200"});
        run_options o;
        o.signal_after = "writing 30272 bytes";
        o.signal_after_ms = 300;
        o.act = [&] { board.freeze(); };
        o.timeout_ms = 120000;
        const auto r = run_plain({"--device", board.link(), "--baud", "115200", "--pace", "0", "--timeout", "1000",
                                  "--program", "--hexfile", std::string(FIXTURES_DIR) + "/toolchain/tables-30k.hex"},
                                 o);
        std::printf("%-52s %9.3f %9.3f\n", "device frozen while writing, --timeout 1000, from it",
                    r.seconds - r.signalled_at, 3 * 1.155 + 1);
    }
    double worst = 0;
    for (const int ms : {20, 150, 400, 900, 1600, 2500}) {
        bootsim::device dev;
        dev.timing = part(115200);
        run_options o;
        o.signal = SIGTERM;
        o.signal_after = "action: ";
        o.signal_after_ms = ms;
        const auto r = run_tool(dev, {"--baud", "115200", "--pace", "0", "--program", "--hexfile",
                                      std::string(FIXTURES_DIR) + "/toolchain/tables-30k.hex"},
                                o);
        if (r.signalled_at > 0) worst = std::max(worst, r.seconds - r.signalled_at);
    }
    std::printf("%-52s %9.3f %9.3f\n", "SIGTERM at 6 moments of --program, the slowest", worst, 1.0);
}

// A USB serial adapter holds the bytes it receives until a packet is full or
// its latency timer runs out (16 ms unless the driver is asked for low
// latency, then 1 ms): every request of a request/reply protocol pays it.
void adapter(const temp_dir& dir) {
    write_file(dir.file("fw.hex"), compiler_hex(false));
    std::printf("\nBehind a USB adapter: --program of 32 KiB with --pace 0 against a part at the line's\n"
                "speed, the adapter's latency timer at 16 ms (its default) and 1 ms (low latency),\n"
                "as a ratio to a bare line in the same run.\n\n");
    std::printf("%-12s %10s %10s %8s %10s %8s\n", "line", "bare s", "16 ms s", "ratio", "1 ms s", "ratio");
    for (const int baud : {115200, 1000000}) {
        const std::vector<std::string> args{"--baud", std::to_string(baud), "--pace", "0", "--program", "--hexfile",
                                            "fw.hex"};
        double t[3];
        const int latencies[3] = {0, 16, 1};
        for (int i = 0; i < 3; ++i) {
            bootsim::line_model m = part(baud);
            m.adapter_latency_ms = latencies[i];
            t[i] = measure(args, 1, {}, dir.path(), m).seconds;
        }
        std::printf("%-12d %10.3f %10.3f %8.3f %10.3f %8.3f\n", baud, t[0], t[1], t[1] / t[0], t[2], t[2] / t[0]);
    }
    std::printf("\nA pseudo-terminal has no latency timer to ask for: the tool's request for low latency\n"
                "(TIOCSSERIAL, ASYNC_LOW_LATENCY) is what takes a real adapter from the 16 ms row to the 1 ms one.\n");
}

// A rack's port exported by a real ser2net on the loopback, raw and as
// RFC 2217, against the local line in the same run.
void network(const temp_dir& dir, int repeats) {
    const std::string file = std::string(FIXTURES_DIR) + "/toolchain/tables-30k.hex";
    std::printf("\nThrough ser2net on 127.0.0.1: --program of tables-30k.hex (a toolchain's 30 KiB) with\n"
                "--pace 0 against a part at the line's speed, as a ratio to the local line in the same run\n"
                "(median of %d). tuned: the README's server settings (tcp nodelay, chardelay off); default:\n"
                "ser2net's own, as exporters leave it.\n\n",
                repeats);
    std::printf("%-10s %-8s %9s %9s %8s %11s %8s\n", "line", "server", "local s", "raw s", "ratio", "rfc2217 s",
                "ratio");
    for (const int baud : {115200, 1000000}) {
        const std::vector<std::string> args{"--baud", std::to_string(baud), "--pace", "0", "--program", "--hexfile",
                                            file};
        const double local = measure(args, repeats, {}, dir.path(), part(baud)).seconds;
        for (const bool tuned : {true, false}) {
            double through[2];
            for (int telnet = 0; telnet < 2; ++telnet) {
                std::unique_ptr<ser2net_server> server;
                auto front = [&](const std::string& pty) {
                    server = std::make_unique<ser2net_server>(pty, telnet == 1, 1, tuned);
                    return server->url();
                };
                through[telnet] = measure(args, repeats, {}, dir.path(), part(baud), front).seconds;
            }
            std::printf("%-10d %-8s %9.3f %9.3f %8.3f %11.3f %8.3f\n", baud, tuned ? "tuned" : "default", local,
                        through[0], through[0] / local, through[1], through[1] / local);
        }
    }
}
