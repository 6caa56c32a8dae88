#include "cli/options.hpp"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>

#include "cli/actions.hpp"
#include "cli/boards.hpp"
#include "cli/cli.hpp"
#include "link/devices.hpp"
#include "link/geometry.hpp"
#include "report/fatal.hpp"
#include "report/output.hpp"

namespace bootlink {

namespace {

constexpr uint32_t ALL_ACTIONS = ~0u;
constexpr uint32_t bits(std::initializer_list<int32_t> actions) {
    uint32_t b = 0;
    for (int32_t a : actions) b |= actionBit(a);
    return b;
}
// The actions that take a range of the device's memory (--writeeeprom has
// always passed one over).
constexpr uint32_t RANGE_ACTIONS =
    bits({ACTION_READ_FLASH, ACTION_ERASE_FLASH, ACTION_READ_EEPROM, ACTION_WRITE_EEPROM, ACTION_ERASE_EEPROM});
// The actions that read a hex file (--eraseeeprom has always passed one over).
constexpr uint32_t FILE_ACTIONS = bits(
    {ACTION_WRITE_FLASH, ACTION_PROGRAM, ACTION_VERIFY, ACTION_WRITE_EEPROM, ACTION_CHECK, ACTION_ERASE_EEPROM});
constexpr uint32_t EEPROM_ACTIONS = bits({ACTION_READ_EEPROM, ACTION_WRITE_EEPROM, ACTION_ERASE_EEPROM, ACTION_PROGRAM,
                                          ACTION_VERIFY, ACTION_CHECK, ACTION_READ_ALL});
constexpr uint32_t TRACED_ACTIONS =
    bits({ACTION_PROGRAM, ACTION_VERIFY, ACTION_WRITE_EEPROM, ACTION_ERASE_EEPROM, ACTION_READ_ALL});
constexpr uint32_t MANY_BOARD_ACTIONS =
    bits({ACTION_PROGRAM, ACTION_VERIFY, ACTION_WRITE_EEPROM, ACTION_ERASE_EEPROM});
// The actions that report as they go: the single steps' text is what they are.
constexpr uint32_t EVENT_ACTIONS = bits({ACTION_PROGRAM, ACTION_VERIFY, ACTION_CHECK, ACTION_WRITE_EEPROM,
                                         ACTION_ERASE_EEPROM, ACTION_READ_CONFIG, ACTION_READ_ALL});
constexpr uint32_t SAVING_ACTIONS =
    bits({ACTION_READ_FLASH, ACTION_READ_EEPROM, ACTION_READ_CONFIG, ACTION_READ_ALL});

constexpr std::size_t MAX_PATH_ARG = 4095;  // longest path argument: PATH_MAX less its terminating zero
constexpr std::size_t MAX_NUMBER_ARG = 63;  // longest numeric argument

// A cut-short path could name another device or file, so a path argument
// that does not fit ends the run.
void storePath(std::string& into, const char* arg, const char* option) {
    if (std::strlen(arg) > MAX_PATH_ARG) fail(result_kind::refused, "ERROR: argument for '--%s' too long\n", option);
    into = arg;
}

using S = settings;
using I = setting_id;

// A whole number, decimal or 0x hexadecimal, nothing after it, at most `highest`.
uint64_t wholeNumber(const char* arg, const char* option, uint64_t highest) {
    uint64_t v = 0;
    if (!plainNumber(arg, true, v) || v > highest)
        fail(result_kind::refused, "ERROR: --%s takes a number from 0 to %llu, not '%s'\n", option,
             static_cast<unsigned long long>(highest), arg);
    return v;
}

// The newer options take plain decimal numbers, checked whole (no sign, no
// prefix, nothing after), and refuse a value out of range at once. The same
// ranges hold for a value from the environment or the file of defaults.
bool fits(const number_range& range, uint64_t v) {
    if (v < static_cast<uint64_t>(range.lowest) || v > static_cast<uint64_t>(range.highest)) return false;
    if (range.steps == number_range::step::power_of_two) return std::has_single_bit(v);
    if (range.steps == number_range::step::row) return v % ROW_BYTES == 0;
    return true;
}

int32_t boundedNumber(const char* arg, setting_id id) {
    const option_entry& o = *optionFilling(id);
    uint64_t v = 0;
    if (!plainNumber(arg, false, v) || !fits(o.range, v))
        fail(result_kind::refused, "ERROR: --%s takes %s, not '%s'\n", o.name, o.range.takes, arg);
    return static_cast<int32_t>(v);
}


// An action option: the last one given wins.
option_entry action(const char* name, action_code code, const char* group = nullptr, const char* help = nullptr) {
    return {name, 0, false, code, I::count_, false, ALL_ACTIONS, nullptr, group, help};
}

const std::vector<option_entry> table = {
    action("writeflash", ACTION_WRITE_FLASH),
    action("readflash", ACTION_READ_FLASH),
    action("eraseflash", ACTION_ERASE_FLASH),
    action("readeeprom", ACTION_READ_EEPROM),
    action("reset", ACTION_RESET),
    {"device", 'd', true, ACTION_NONE, I::device, true, ALL_ACTIONS,
     [](S& r, const char* a, const char* from) {
         storePath(r.dev, a, "device");
         out("using device %s for serial comms%s\n", r.dev.c_str(), from);
     },
     "The line:\n", "  -d, --device PATH        serial device (%s, or $BOOTLINK_DEVICE)\n", "BOOTLINK_DEVICE",
     in_file::top, {}, [](const S& r) { return r.dev; }},
    {"bytes", 'b', true, ACTION_NONE, I::bytes, true, RANGE_ACTIONS,
     [](S& r, const char* a, const char*) {
         r.bytes = number_arg(a);
         if (r.bytes <= 0) out("ERROR: malformed argument for '--bytes'\n");
         out("with 0x%x (decimal: %i) bytes\n", r.bytes, r.bytes);
     },
     nullptr, nullptr},
    {"startaddr", 'a', true, ACTION_NONE, I::startaddr, true, RANGE_ACTIONS,
     [](S& r, const char* a, const char*) {
         r.startaddr = number_arg(a);
         if (r.startaddr < 0) out("ERROR: malformed argument for '--startaddr'\n");
         out("startaddr=0x%x (decimal: %i)\n", r.startaddr, r.startaddr);
     },
     nullptr, nullptr},
    {"hexfile", 'f', true, ACTION_NONE, I::hexfile, true, FILE_ACTIONS,
     [](S& r, const char* a, const char*) {
         storePath(r.hexfile, a, "hexfile");
         out("using hexfile '%s'\n", r.hexfile.c_str());
     },
     nullptr, nullptr},
    {"rows", 'r', true, ACTION_NONE, I::rows, true, RANGE_ACTIONS,
     [](S& r, const char* a, const char*) {
         r.rows = number_arg(a);
         if (r.rows <= 0) out("ERROR: malformed argument for '--rows'\n");
         out("rows to delete 0x%x (decimal %i)\n", r.rows, r.rows);
     },
     nullptr, nullptr},
    action("program", ACTION_PROGRAM, "Programming a board:\n",
           "  --program --hexfile F    check, erase, write and verify every memory the file gives\n"),
    action("verify", ACTION_VERIFY, "Programming a board:\n",
           "  --verify --hexfile F     compare the device with the file, change nothing\n"),
    action("check", ACTION_CHECK, "Programming a board:\n",
           "  --check --hexfile F      check the file and show what --program would do (no device)\n"),
    {"run", 0, false, ACTION_NONE, I::run_after, false, actionBit(ACTION_PROGRAM),
     [](S& r, const char*, const char*) {
         r.run_after = true;
         out("resetting the device after programming\n");
     },
     "Programming a board:\n", "  --run                    with --program: reset the device once it is verified\n"},
    {"skip-unchanged", 0, false, ACTION_NONE, I::skip_unchanged, false, actionBit(ACTION_PROGRAM),
     [](S& r, const char*, const char*) {
         r.skip_unchanged = true;
         out("leaving rows that already hold the file alone\n");
     },
     "Programming a board:\n", "  --skip-unchanged         with --program: leave the rows that already hold the file\n"},
    {"write-config", 0, false, ACTION_NONE, I::write_config, false, bits({ACTION_PROGRAM, ACTION_CHECK}),
     [](S& r, const char*, const char*) {
         r.write_config = true;
         out("writing the configuration bytes the file gives\n");
     },
     "Programming a board:\n", "  --write-config           with --program: write the configuration and ID locations too\n"},
    {"expect-id", 0, true, ACTION_NONE, I::expect_id, false, bits({ACTION_PROGRAM, ACTION_VERIFY}),
     [](S& r, const char* a, const char*) {
         uint64_t v = 0;
         if (!plainNumber(a, true, v) || v > 0xFFFF)
             fail(result_kind::refused, "ERROR: --expect-id takes a device ID from 0x0000 to 0xFFFF, not '%s'\n", a);
         r.expect_id = static_cast<int32_t>(v);
         out("expecting device ID 0x%04x\n", static_cast<unsigned>(r.expect_id));
     },
     "Programming a board:\n", "  --expect-id ID           refuse a board whose device ID is another (0x4c20)\n"},
    {"serial-at", 0, true, ACTION_NONE, I::serial_at, false, bits({ACTION_PROGRAM, ACTION_CHECK}),
     [](S& r, const char* a, const char*) {
         r.serial_at = static_cast<int32_t>(wholeNumber(a, "serial-at", ADDRESS_LIMIT));
         out("serial numbers at 0x%06X\n", static_cast<unsigned>(r.serial_at));
     },
     "Serial numbers:\n", "  --serial-at ADDR         where each board's serial number goes (flash or 0xF00000 up)\n"},
    {"serial", 0, true, ACTION_NONE, I::serial_start, false, bits({ACTION_PROGRAM, ACTION_CHECK}),
     [](S& r, const char* a, const char*) {
         r.serial_start = wholeNumber(a, "serial", UINT64_MAX);
         out("serial numbers from %llu\n", static_cast<unsigned long long>(r.serial_start));
     },
     "Serial numbers:\n", "  --serial N               the first board's number\n"},
    {"serial-bytes", 0, true, ACTION_NONE, I::serial_bytes, false, bits({ACTION_PROGRAM, ACTION_CHECK}),
     [](S& r, const char* a, const char*) {
         r.serial_bytes = static_cast<int32_t>(wholeNumber(a, "serial-bytes", 8));
         if (r.serial_bytes == 0)
             fail(result_kind::refused, "ERROR: --serial-bytes takes a count from 1 to 8, not '%s'\n", a);
         out("serial numbers of %s\n", counted(static_cast<unsigned long long>(r.serial_bytes), "byte").c_str());
     },
     "Serial numbers:\n", "  --serial-bytes N         its bytes, 1 to 8, least significant first (%s)\n", nullptr,
     in_file::no, {}, [](const S& r) { return std::to_string(r.serial_bytes); }},
    {"serial-file", 0, true, ACTION_NONE, I::serial_file, false, bits({ACTION_PROGRAM, ACTION_CHECK}),
     [](S& r, const char* a, const char*) {
         storePath(r.serial_file, a, "serial-file");
         out("keeping the next serial number in '%s'\n", r.serial_file.c_str());
     },
     "Serial numbers:\n", "  --serial-file F          keep the next number in F (shared, never given twice)\n"},
    action("writeeeprom", ACTION_WRITE_EEPROM, "Programming a board:\n",
           "  --writeeeprom --hexfile F  write the file's EEPROM data and read it back\n"),
    action("eraseeeprom", ACTION_ERASE_EEPROM, "Programming a board:\n",
           "  --eraseeeprom            set the EEPROM (or --bytes from --startaddr of it) to 0xFF\n"),
    {"baud", 0, true, ACTION_NONE, I::baud, false, ALL_ACTIONS,
     [](S& r, const char* a, const char* from) {
         r.baud = boundedNumber(a, I::baud);
         out("line speed %d bit/s%s\n", r.baud, from);
     },
     "The line:\n", "  --baud N                 line speed in bit/s, 50 to 4000000 (%s)\n", "BOOTLINK_BAUD",
     in_file::top_and_device, {BAUD_MIN, BAUD_MAX, number_range::step::any, "a line speed from 50 to 4000000 bit/s"},
     [](const S& r) { return std::to_string(r.baud); }},
    {"pace", 0, true, ACTION_NONE, I::pace, false, ALL_ACTIONS,
     [](S& r, const char* a, const char* from) {
         r.pace_ms = boundedNumber(a, I::pace);
         out("pause after each byte sent: %d ms%s\n", r.pace_ms, from);
     },
     "The line:\n", "  --pace MS                pause after each byte sent, 0 to 999 (%s)\n", "BOOTLINK_PACE",
     in_file::top_and_device, {0, 999, number_range::step::any, "a pause from 0 to 999 ms"},
     [](const S& r) { return std::to_string(r.pace_ms); }},
    {"timeout", 0, true, ACTION_NONE, I::timeout, false, ALL_ACTIONS,
     [](S& r, const char* a, const char* from) {
         r.timeout_ms = boundedNumber(a, I::timeout);
         out("reply timeout %d ms%s\n", r.timeout_ms, from);
     },
     "The line:\n",
     "  --timeout MS             longest wait for a reply byte (5000 for the actions that\n"
     "                           program, verify or back up a board; the single steps wait for ever)\n",
     "BOOTLINK_TIMEOUT", in_file::top_and_device, {1, 600000, number_range::step::any, "a time from 1 to 600000 ms"},
     [](const S& r) { return r.set(I::timeout) ? std::to_string(r.timeout_ms) : std::string("the action's (5000, or none)"); }},
    {"retries", 0, true, ACTION_NONE, I::retries, false, ALL_ACTIONS & ~bits({ACTION_RESET, ACTION_CHECK}),
     [](S& r, const char* a, const char* from) {
         r.retries = boundedNumber(a, I::retries);
         if (r.retries == 0)
             out("sending no request again after a lost reply%s\n", from);
         else
             out("sending a request again up to %s after a lost reply%s\n",
                 counted(static_cast<uint64_t>(r.retries), "time").c_str(), from);
     },
     "The line:\n", "  --retries N              send a request again after a lost reply, 0 to 10\n", nullptr,
     in_file::top_and_device, {0, 10, number_range::step::any, "a count from 0 to 10"},
     [](const S& r) { return r.set(I::retries) ? std::to_string(r.retries) : std::string("the action's (2, or 0)"); }},
    {"no-lock", 0, false, ACTION_NONE, I::lock, false, ALL_ACTIONS,
     [](S& r, const char*, const char*) {
         r.lock = false;
         out("not locking the serial device\n");
     },
     "The line:\n", "  --no-lock                do not take the device for this run alone\n"},
    {"eeprom-size", 0, true, ACTION_NONE, I::eeprom_size, false, EEPROM_ACTIONS,
     [](S& r, const char* a, const char* from) {
         r.eeprom_size = boundedNumber(a, I::eeprom_size);
         out("data EEPROM of %d bytes%s\n", r.eeprom_size, from);
     },
     "Programming a board:\n",
     "  --eeprom-size N          bytes of data EEPROM, a power of two, 256 to 65536 (%s)\n", nullptr, in_file::top,
     {256, EEPROM_SIZE_MAX, number_range::step::power_of_two, "a power of two from 256 to 65536"},
     [](const S& r) { return std::to_string(r.eeprom_size); }},
    {"trace", 0, false, ACTION_NONE, I::trace, false, TRACED_ACTIONS,
     [](S& r, const char*, const char*) {
         r.trace = true;
         out("tracing every byte\n");
     },
     "Programming a board:\n", "  --trace                  the byte trace for the actions above\n"},
    action("readconfig", ACTION_READ_CONFIG, "Reading:\n",
           "  --readconfig             read the configuration bytes and the device ID\n"),
    action("readall", ACTION_READ_ALL, "Reading:\n",
           "  --readall --output F     back up the whole board (program memory, ID, configuration,\n"
           "                           EEPROM) into one hex file that --program --write-config restores\n"),
    {"flash-size", 0, true, ACTION_NONE, I::flash_size, false, actionBit(ACTION_READ_ALL),
     [](S& r, const char* a, const char* from) {
         r.flash_size = boundedNumber(a, I::flash_size);
         out("program memory of %d bytes%s\n", r.flash_size, from);
     },
     "Reading:\n", "  --flash-size N           bytes of program memory, for --readall\n", nullptr, in_file::top,
     {ROW_BYTES, FLASH_SIZE_MAX, number_range::step::row, "a multiple of 64 from 64 to 2097152"},
     [](const S& r) { return r.flash_size ? std::to_string(r.flash_size) : std::string("not known"); }},
    {"output", 0, true, ACTION_NONE, I::output, false, SAVING_ACTIONS,
     [](S& r, const char* a, const char*) {
         storePath(r.output, a, "output");
         out("saving the dump to '%s'\n", r.output.c_str());
     },
     "Reading:\n", "  --output F               save a read to F (--readflash: out.hex by default)\n"},
    // Only the actions whose output is the byte trace have one to leave out.
    {"quiet", 0, false, ACTION_NONE, I::quiet, false,
     bits({ACTION_WRITE_FLASH, ACTION_READ_FLASH, ACTION_ERASE_FLASH, ACTION_READ_EEPROM, ACTION_RESET,
           ACTION_READ_CONFIG}),
     [](S& r, const char*, const char*) {
         r.quiet = true;
         out("no byte trace\n");
     },
     "Reading:\n", "  --quiet                  no byte trace and no dump: phases and results only\n"},
    {"devices", 0, true, ACTION_NONE, I::devices, false, MANY_BOARD_ACTIONS,
     [](S& r, const char* a, const char*) {
         r.devices = boardList(a);
         out("working on %s at once\n", counted(r.devices.size(), "board").c_str());
     },
     "Many boards:\n", "  --devices LIST           the boards to work on at once: PATH,PATH,... or @FILE\n"},
    {"log-dir", 0, true, ACTION_NONE, I::log_dir, false, MANY_BOARD_ACTIONS,
     [](S& r, const char* a, const char*) {
         storePath(r.log_dir, a, "log-dir");
         out("a log per board in '%s'\n", r.log_dir.c_str());
     },
     "Many boards:\n", "  --log-dir DIR            with --devices: each board's output in DIR/BOARD.log\n"},
    {"wait", 0, false, ACTION_NONE, I::wait, false, actionBit(ACTION_PROGRAM),
     [](S& r, const char*, const char*) {
         r.wait = true;
         out("programming each board as it is plugged in\n");
     },
     "Many boards:\n", "  --wait                   with --program: each board as it is plugged in, until stopped\n"},
    {"count", 0, true, ACTION_NONE, I::count, false, actionBit(ACTION_PROGRAM),
     [](S& r, const char* a, const char*) {
         r.count = static_cast<int32_t>(wholeNumber(a, "count", 1000000));
         out("stopping after %s\n", counted(static_cast<uint64_t>(r.count), "board").c_str());
     },
     "Many boards:\n", "  --count N                with --wait: stop after N boards\n"},
    {"report", 0, true, ACTION_NONE, I::report, false, ALL_ACTIONS & ~actionBit(ACTION_CHECK),
     [](S& r, const char* a, const char*) {
         storePath(r.report_file, a, "report");
         out("reporting to '%s'\n", r.report_file.c_str());
     },
     "Other:\n", "  --report F               append a JSON line for the run to F (device, result, SHA-256)\n"},
    {"json", 0, false, ACTION_NONE, I::json, false, EVENT_ACTIONS,
     [](S& r, const char*, const char*) { r.json = true; },  // the stream began before the options were read
     "Other:\n", "  --json                   events as JSON Lines on standard output instead of the text\n"},
    {"no-config", 0, false, ACTION_NONE, I::count_, false, ALL_ACTIONS,
     [](S& r, const char*, const char*) { r.read_defaults = false; },
     "Other:\n", "  --no-config              read no file of defaults (./bootlink.toml, ~/.config/bootlink)\n"},
    {"show-config", 0, false, ACTION_NONE, I::count_, false, ALL_ACTIONS,
     [](S& r, const char*, const char*) { r.show_config = true; },
     "Other:\n", "  --show-config            print each setting, its value and where it came from\n"},
    {"list-devices", 0, false, ACTION_NONE, I::count_, false, ALL_ACTIONS,
     [](S&, const char*, const char*) {
         listDevices("/dev", "/sys");
         throw fatal{0, result_kind::ok, {}};
     },
     "Other:\n", "  --list-devices           list the serial devices\n"},
    {"version", 0, false, ACTION_NONE, I::count_, false, ALL_ACTIONS,
     [](S&, const char*, const char*) {
         out("bootlink %s\n", BOOTLINK_VERSION);
         throw fatal{0, result_kind::ok, {}};  // ends the run here, like --help, before any device is opened
     },
     "Other:\n", "  --version                print the version\n"},
    {"help", 'h', false, ACTION_NONE, I::count_, true, ALL_ACTIONS, nullptr, "Other:\n",
     "  -h, --help               this text\n"},
};

// What getopt returns for an option: its letter, else a code past the letters.
int code(const option_entry& o) { return o.letter ? o.letter : static_cast<int>(&o - table.data()) + 0x100; }

}  // namespace

int32_t number_arg(const char* text) {
    const std::size_t len = std::strlen(text);
    if (len > MAX_NUMBER_ARG) {
        out("ERROR: option too long\n");
        return -1;
    }
    if (len > 2 && text[0] == '0' && text[1] == 'x') {
        // Kept as scanf reads it ("0x-5" is -5, "0x 1f" is 31): scripts rely on it.
        unsigned int value = 0;
        int taken = 0;
        if (std::sscanf(text, "0x%x%n", &value, &taken) != 1) return -1;
        if (text[taken] != '\0')
            std::fprintf(stderr, "bootlink: warning: '%s' read as 0x%x: '%s' is not a hexadecimal digit\n", text, value,
                         text + taken);
        return static_cast<int32_t>(value);
    }
    // atoi's rules (blanks, sign, stop at the first non-digit, wrap on overflow).
    char* end = nullptr;
    const auto value = static_cast<int32_t>(std::strtol(text, &end, 10));
    // Read as it always has been, but not in silence: standard output and
    // the status stay as scripts know them.
    if (*end != '\0')
        std::fprintf(stderr, "bootlink: warning: '%s' read as %d: %s\n", text, value,
                     end[0] == 'X' && end - text == 1 && text[0] == '0' ? "only 0x marks hexadecimal"
                                                                        : "the characters after the number are not read");
    return value;
}

const std::vector<option_entry>& optionTable() { return table; }

const char* actionOption(int32_t action) {
    for (const auto& o : table)
        if (o.action == action) return o.name;
    return "?";
}

int scanOptions(int argc, char** argv, settings& run) {
    std::vector<struct option> longOptions;
    std::string shortOptions;
    for (const auto& o : table) {
        longOptions.push_back({o.name, o.argument ? required_argument : no_argument, nullptr, code(o)});
        if (o.letter) shortOptions += std::string(1, static_cast<char>(o.letter)) + (o.argument ? ":" : "");
    }
    longOptions.push_back({nullptr, 0, nullptr, 0});
    optind = 0;  // full re-initialisation of getopt, so a run can be repeated in-process
    for (int c; (c = getopt_long(argc, argv, shortOptions.c_str(), longOptions.data(), nullptr)) != -1;) {
        const option_entry* o = nullptr;
        for (const auto& e : table)
            if (c == code(e)) o = &e;
        if (!o) {
            // getopt has reported it on standard error. Going on would run
            // without what was asked: another tool's --port would leave the
            // default device to be opened and programmed.
            if (optopt == 'd') fail(result_kind::refused, "ERROR: '--device' needs the path of the serial device\n");
            fail(result_kind::refused, "ERROR: see --help for the options\n");
        }
        if (o->letter == 'h') {
            out("Help:\n");
            usage(argv[0]);
        }
        if (o->action != ACTION_NONE) run.action = o->action;
        if (o->apply) o->apply(run, optarg, "");
        if (o->fills != setting_id::count_) run.mark(o->fills, origin::command_line);
    }
    return optind;
}

const option_entry* optionFilling(setting_id id) {
    for (const auto& o : table)
        if (o.fills == id) return &o;
    return nullptr;
}

bool plainNumber(const char* text, bool hexadecimal, uint64_t& value) {
    if (text[0] < '0' || text[0] > '9') return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(text, &end, hexadecimal ? 0 : 10);
    if (*end != '\0' || errno != 0) return false;
    value = v;
    return true;
}

const char* numberProblem(setting_id id, long value) {
    const option_entry* o = optionFilling(id);
    return value >= 0 && fits(o->range, static_cast<uint64_t>(value)) ? nullptr : o->range.takes;
}

void applyDefault(settings& run, setting_id id, const std::string& value, const std::string& where, origin o) {
    if (run.set(id)) return;  // the command line, or a nearer source, has given it
    const option_entry* entry = optionFilling(id);
    if (!entry) return;
    // Not used by this action: passed over, not refused. --check opens no line.
    const bool any = !chosen(run.action);
    // --check opens no line, but tells how long the run would take at the
    // speed and pace the run would have.
    if (!any && (!(entry->actions & actionBit(run.action)) || (run.action == ACTION_CHECK && id == I::device))) return;
    entry->apply(run, value.c_str(), (" (from " + where + ")").c_str());
    run.mark(id, o);
}

void readEnvironment(settings& run) {
    for (const auto& o : table) {
        const char* text = o.environment ? std::getenv(o.environment) : nullptr;
        if (!text || !*text) continue;
        if (o.fills == I::device) {
            // A bench with one adapter can name it once for every run; --device wins.
            if (run.given(I::device)) continue;
            storePath(run.dev, text, "device");
            run.mark(I::device, origin::environment);
            out("using device %s for serial comms (from %s)\n", run.dev.c_str(), o.environment);
            continue;
        }
        uint64_t n = 0;
        if (!plainNumber(text, false, n) || !fits(o.range, n))
            fail(result_kind::refused, "ERROR: %s takes %s, not '%s'\n", o.environment, o.range.takes, text);
        applyDefault(run, o.fills, text, o.environment, origin::environment);
    }
}

void checkOptionsFit(const settings& run) {
    if (!chosen(run.action)) return;  // usage says so later
    const action_rules& rules = actionFor(run.action).rules;
    for (const auto& o : table) {
        if (o.fills == setting_id::count_ || !run.given(o.fills) || (o.actions & actionBit(run.action))) continue;
        if (o.original && rules.ignores_original_options) continue;
        fail(result_kind::refused, "ERROR: '--%s' is not used by --%s: see --help for the options\n", o.name,
             actionOption(run.action));
    }
}

void checkOptionsTogether(const settings& run) {
    const bool at = run.set(I::serial_at);
    const bool source = run.set(I::serial_start) || !run.serial_file.empty();
    if (at && !source) fail(result_kind::refused, "ERROR: --serial-at needs --serial START or --serial-file F\n");
    if (!at && (source || run.set(I::serial_bytes)))
        fail(result_kind::refused, "ERROR: --serial, --serial-bytes and --serial-file need --serial-at ADDR\n");
    if (run.given(I::count) && !run.wait)
        fail(result_kind::refused, "ERROR: --count is for --wait: how many boards to wait for\n");
    if (run.given(I::count) && run.count == 0)
        fail(result_kind::refused, "ERROR: --count takes 1 or more: without it the line runs until stopped\n");
    if (!run.log_dir.empty() && run.devices.empty() && !run.wait)
        fail(result_kind::refused, "ERROR: --log-dir is for many boards (--devices or --wait): one board's output is "
                                   "standard output\n");
    const auto appears = [](const std::string& device) { return portKind(device).appears; };
    const bool allAppear = appears(run.dev) && std::all_of(run.devices.begin(), run.devices.end(), appears);
    if (run.wait && !allAppear)  // a network port never appears: --wait would wait for ever
        fail(result_kind::refused, "ERROR: --wait watches device paths for boards plugged in, not a network port\n");
    if (!run.devices.empty() && run.given(I::device))
        fail(result_kind::refused, "ERROR: --device and --devices both name the line: give one of them\n");
}

}  // namespace bootlink
