#include "cli/cli.hpp"

#include <array>
#include <optional>
#include <bit>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <getopt.h>
#include <unistd.h>

#include "commands/commands.hpp"
#include "commands/settings.hpp"
#include "link/bootloader.hpp"
#include "link/devices.hpp"
#include "link/geometry.hpp"
#include "link/serial.hpp"
#include "link/signals.hpp"
#include "report/fatal.hpp"
#include "report/output.hpp"

namespace bootlink {

namespace {

// Codes of the long options that have no letter.
constexpr int OPT_BAUD = 0x100;
constexpr int OPT_PACE = 0x101;
constexpr int OPT_TIMEOUT = 0x102;
constexpr int OPT_NO_LOCK = 0x103;
constexpr int OPT_TRACE = 0x104;
constexpr int OPT_RUN = 0x105;
constexpr int OPT_SKIP_UNCHANGED = 0x106;
constexpr int OPT_VERSION = 0x107;
constexpr int OPT_OUTPUT = 0x108;
constexpr int OPT_LIST_DEVICES = 0x109;
constexpr int OPT_EEPROM_SIZE = 0x10A;
constexpr int OPT_WRITE_CONFIG = 0x10B;
constexpr int OPT_RETRIES = 0x10C;
constexpr int OPT_QUIET = 0x10D;
constexpr int OPT_CHECK = 0x10E;

// The action options store their code straight into this; the last one given wins.
int actionFlag = -1;

const struct option long_options[] = {
    {"writeflash", no_argument, &actionFlag, ACTION_WRITE_FLASH},
    {"readflash", no_argument, &actionFlag, ACTION_READ_FLASH},
    {"eraseflash", no_argument, &actionFlag, ACTION_ERASE_FLASH},
    {"writeeeprom", no_argument, &actionFlag, ACTION_WRITE_EEPROM},
    {"readeeprom", no_argument, &actionFlag, ACTION_READ_EEPROM},
    {"eraseeeprom", no_argument, &actionFlag, ACTION_ERASE_EEPROM},
    {"reset", no_argument, &actionFlag, ACTION_RESET},
    {"device", required_argument, nullptr, 'd'},
    {"bytes", required_argument, nullptr, 'b'},
    {"startaddr", required_argument, nullptr, 'a'},
    {"hexfile", required_argument, nullptr, 'f'},
    {"rows", required_argument, nullptr, 'r'},
    {"help", no_argument, nullptr, 'h'},
    {"baud", required_argument, nullptr, OPT_BAUD},
    {"pace", required_argument, nullptr, OPT_PACE},
    {"timeout", required_argument, nullptr, OPT_TIMEOUT},
    {"no-lock", no_argument, nullptr, OPT_NO_LOCK},
    {"program", no_argument, &actionFlag, ACTION_PROGRAM},
    {"verify", no_argument, &actionFlag, ACTION_VERIFY},
    {"trace", no_argument, nullptr, OPT_TRACE},
    {"run", no_argument, nullptr, OPT_RUN},
    {"skip-unchanged", no_argument, nullptr, OPT_SKIP_UNCHANGED},
    {"version", no_argument, nullptr, OPT_VERSION},
    {"output", required_argument, nullptr, OPT_OUTPUT},
    {"list-devices", no_argument, nullptr, OPT_LIST_DEVICES},
    {"readconfig", no_argument, &actionFlag, ACTION_READ_CONFIG},
    {"eeprom-size", required_argument, nullptr, OPT_EEPROM_SIZE},
    {"write-config", no_argument, nullptr, OPT_WRITE_CONFIG},
    {"retries", required_argument, nullptr, OPT_RETRIES},
    {"quiet", no_argument, nullptr, OPT_QUIET},
    {"check", no_argument, &actionFlag, ACTION_CHECK},
    {nullptr, 0, nullptr, 0},
};

constexpr const char* usageLines[] = {
    "To read from flash Memory: \n",
    "\tusage: %s --readflash --bytes <n> --startaddr <x>\n",
    "\twhere n specifies the number of bytes to read\n",
    "\tand x the hexadecimal start address for the read with 0x prefix\n",
    "\t  eg: %s --readflash --bytes 100 --startaddr 0x01320\n\n",
    "\nTo write to flash Memory: \n",
    "\tusage: %s --writeflash --hexfile <filename>\n",
    "\twhere filename specifies the hexfile that contains the code to be burned to memory\n",
    "\t  eg: %s --writeflash --hexfile test.hex\n\n",
    "\nTo erase to flash Memory: \n",
    "\tusage: %s --eraseflash --rows <n> --startaddr <x>\n",
    "\twhere n specifies the number of rows (64 bytes) to delete\n",
    "\tand x the hexadecimal start address for the delete with 0x prefix\n",
    "\t  eg: %s --eraseflash --rows 3 --startaddr 0x01320\n\n",
    "\nTo reset the device via bootloader: \n",
    "\tusage: %s --reset\n",
    "To read from EEPROM Memory: \n",
    "\tusage: %s --readeeprom --bytes <n> --startaddr <x>\n",
    "\twhere n specifies the number of bytes to read\n",
    "\tand x the hexadecimal start address for the read with 0x prefix\n",
    "\t  eg: %s --readeeprom --bytes 16 --startaddr 0x80\n\n",
    // Everything beyond the original five actions, one line an option.
    "\nMore options:\n",
    "Programming a board:\n",
    "  --program --hexfile F    check, erase, write and verify every memory the file gives\n",
    "  --verify --hexfile F     compare the device with the file, change nothing\n",
    "  --check --hexfile F      check the file and show what --program would do (no device)\n",
    "  --run                    with --program: reset the device once it is verified\n",
    "  --skip-unchanged         with --program: leave the rows that already hold the file\n",
    "  --write-config           with --program: write the configuration bytes too\n",
    "  --writeeeprom --hexfile F  write the file's EEPROM data and read it back\n",
    "  --eraseeeprom            set the EEPROM (or --bytes from --startaddr of it) to 0xFF\n",
    "  --eeprom-size N          bytes of data EEPROM, a power of two, 256 to 65536 (256)\n",
    "  --trace                  the byte trace for the actions above\n",
    "The line:\n",
    "  -d, --device PATH        serial device (/dev/ttyS0, or $BOOTLINK_DEVICE)\n",
    "  --baud N                 line speed in bit/s, 50 to 4000000 (19200)\n",
    "  --pace MS                pause after each byte sent, 0 to 999 (10)\n",
    "  --timeout MS             longest wait for a reply byte (5000 for --program and the\n",
    "                           other new actions; the original ones wait for ever)\n",
    "  --retries N              send a request again after a lost reply, 0 to 10\n",
    "  --no-lock                do not take the device for this run alone\n",
    "Reading:\n",
    "  --readconfig             read the configuration bytes and the device ID\n",
    "  --output F               save a read to F (--readflash: out.hex by default)\n",
    "  --quiet                  no byte trace and no dump: phases and results only\n",
    "Other:\n",
    "  --list-devices           list the serial devices\n",
    "  --version                print the version\n",
    "  -h, --help               this text\n",
    "\nProgram a board, checked, in one command:\n",
    "  %s --device /dev/ttyUSB0 --baud 115200 --pace 0 --program --hexfile firmware.hex --run\n",
};

// A cut-short path could name another device or file, so a path argument
// that does not fit ends the run.
void storePath(std::string& into, const char* arg, const char* option) {
    if (std::strlen(arg) > MAX_PATH_ARG) fail(255, "ERROR: argument for '--%s' too long\n", option);
    into = arg;
}

// The bench options take plain decimal numbers, checked whole (no sign, no
// prefix, nothing after), and refuse a value out of range at once.
int32_t boundedNumber(const char* arg, long lowest, long highest, const char* refusal) {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(arg, &end, 10);
    const bool digits = arg[0] >= '0' && arg[0] <= '9' && *end == '\0' && errno == 0;
    if (!digits || v < lowest || v > highest) fail(255, refusal, arg);
    return static_cast<int32_t>(v);
}

void scanOptions(int argc, char** argv, settings& run) {
    actionFlag = -1;
    optind = 0;  // full re-initialisation of getopt, so a run can be repeated in-process
    for (;;) {
        int index = 0;
        const int c = getopt_long(argc, argv, "d:b:a:f:r:h", long_options, &index);
        if (c == -1) break;
        switch (c) {
        case 'd':
            storePath(run.dev, optarg, "device");
            run.device_given = true;
            out("using device %s for serial comms\n", run.dev.c_str());
            break;
        case 'b':
            run.bytes = number_arg(optarg);
            run.bytes_given = true;
            if (run.bytes <= 0) out("ERROR: malformed argument for '--bytes'\n");
            out("with 0x%x (decimal: %i) bytes\n", run.bytes, run.bytes);
            break;
        case 'a':
            run.startaddr = number_arg(optarg);
            run.startaddr_given = true;
            if (run.startaddr < 0) out("ERROR: malformed argument for '--startaddr'\n");
            out("startaddr=0x%x (decimal: %i)\n", run.startaddr, run.startaddr);
            break;
        case 'f':
            storePath(run.hexfile, optarg, "hexfile");
            out("using hexfile '%s'\n", run.hexfile.c_str());
            break;
        case 'r':
            run.rows = number_arg(optarg);
            run.rows_given = true;
            if (run.rows <= 0) out("ERROR: malformed argument for '--rows'\n");
            out("rows to delete 0x%x (decimal %i)\n", run.rows, run.rows);
            break;
        case 'h':
            out("Help:\n");
            usage(argv[0]);
        case OPT_BAUD:
            run.baud = boundedNumber(optarg, BAUD_MIN, BAUD_MAX,
                                     "ERROR: --baud takes a line speed from 50 to 4000000 bit/s, not '%s'\n");
            out("line speed %d bit/s\n", run.baud);
            break;
        case OPT_PACE:
            run.pace_ms = boundedNumber(optarg, 0, 999, "ERROR: --pace takes a pause from 0 to 999 ms, not '%s'\n");
            out("pause after each byte sent: %d ms\n", run.pace_ms);
            break;
        case OPT_TIMEOUT:
            run.timeout_ms =
                boundedNumber(optarg, 1, 600000, "ERROR: --timeout takes a time from 1 to 600000 ms, not '%s'\n");
            out("reply timeout %d ms\n", run.timeout_ms);
            break;
        case OPT_NO_LOCK:
            run.lock = false;
            out("not locking the serial device\n");
            break;
        case OPT_TRACE:
            run.trace = true;
            out("tracing every byte\n");
            break;
        case OPT_RUN:
            run.run_after = true;
            out("resetting the device after programming\n");
            break;
        case OPT_VERSION:
            out("bootlink %s\n", BOOTLINK_VERSION);
            throw fatal{0};  // ends the run here, like --help, before any device is opened
        case OPT_LIST_DEVICES:
            listDevices("/dev", "/sys");
            throw fatal{0};
        case OPT_OUTPUT:
            storePath(run.output, optarg, "output");
            run.output_given = true;
            out("saving the dump to '%s'\n", run.output.c_str());
            break;
        case OPT_EEPROM_SIZE: {
            constexpr const char* refusal = "ERROR: --eeprom-size takes a power of two from 256 to 65536, not '%s'\n";
            run.eeprom_size = boundedNumber(optarg, 256, EEPROM_SIZE_MAX, refusal);
            if (!std::has_single_bit(static_cast<uint32_t>(run.eeprom_size))) fail(255, refusal, optarg);
            run.eeprom_size_given = true;
            out("data EEPROM of %d bytes\n", run.eeprom_size);
            break;
        }
        case OPT_RETRIES:
            run.retries = boundedNumber(optarg, 0, 10, "ERROR: --retries takes a count from 0 to 10, not '%s'\n");
            out("sending a request again up to %d times after a lost reply\n", run.retries);
            break;
        case OPT_QUIET:
            run.quiet = true;
            out("no byte trace\n");
            break;
        case OPT_WRITE_CONFIG:
            run.write_config = true;
            out("writing the configuration bytes the file gives\n");
            break;
        case OPT_SKIP_UNCHANGED:
            run.skip_unchanged = true;
            out("leaving rows that already hold the file alone\n");
            break;
        case '?':
            // getopt has reported it on standard error. Going on would run
            // without what was asked: another tool's --port would leave the
            // default device to be opened and programmed.
            if (optopt == 'd') fail(255, "ERROR: '--device' needs the path of the serial device\n");
            fail(255, "ERROR: see --help for the options\n");
        default:
            // An action option (stored by getopt itself): go on.
            break;
        }
    }
    run.action = actionFlag;
    // A bench with one adapter can name it once for every run; --device wins.
    const char* fromEnvironment = std::getenv("BOOTLINK_DEVICE");
    if (!run.device_given && fromEnvironment && *fromEnvironment) {
        storePath(run.dev, fromEnvironment, "device");
        out("using device %s for serial comms (from BOOTLINK_DEVICE)\n", run.dev.c_str());
    }
}

constexpr uint32_t bit(int32_t action) { return 1u << action; }
constexpr uint32_t ALL_ACTIONS = ~0u;
// What the actions beyond the original five do not take from the original
// options: --program has no --bytes. The original actions go on ignoring
// what they always ignored.
constexpr uint32_t NEW_WITHOUT_RANGE =
    bit(ACTION_PROGRAM) | bit(ACTION_VERIFY) | bit(ACTION_READ_CONFIG) | bit(ACTION_CHECK);

// Each option beyond the original ones and the actions that use it: given
// with another, the run would quietly do less than was asked.
struct option_use {
    const char* name;
    bool (*given)(const settings&);
    uint32_t actions;
};
constexpr option_use optionUses[] = {
    {"run", [](const settings& r) { return r.run_after; }, bit(ACTION_PROGRAM)},
    {"skip-unchanged", [](const settings& r) { return r.skip_unchanged; }, bit(ACTION_PROGRAM)},
    {"write-config", [](const settings& r) { return r.write_config; }, bit(ACTION_PROGRAM) | bit(ACTION_CHECK)},
    {"output", [](const settings& r) { return r.output_given; },
     bit(ACTION_READ_FLASH) | bit(ACTION_READ_EEPROM) | bit(ACTION_READ_CONFIG)},
    {"trace", [](const settings& r) { return r.trace; },
     bit(ACTION_PROGRAM) | bit(ACTION_VERIFY) | bit(ACTION_WRITE_EEPROM) | bit(ACTION_ERASE_EEPROM)},
    {"eeprom-size", [](const settings& r) { return r.eeprom_size_given; },
     bit(ACTION_READ_EEPROM) | bit(ACTION_WRITE_EEPROM) | bit(ACTION_ERASE_EEPROM) | bit(ACTION_PROGRAM) |
         bit(ACTION_VERIFY) | bit(ACTION_CHECK)},
    {"retries", [](const settings& r) { return r.retries >= 0; }, ALL_ACTIONS & ~bit(ACTION_RESET) & ~bit(ACTION_CHECK)},
    {"bytes", [](const settings& r) { return r.bytes_given; }, ALL_ACTIONS & ~NEW_WITHOUT_RANGE},
    {"startaddr", [](const settings& r) { return r.startaddr_given; }, ALL_ACTIONS & ~NEW_WITHOUT_RANGE},
    {"rows", [](const settings& r) { return r.rows_given; }, ALL_ACTIONS & ~NEW_WITHOUT_RANGE},
    {"hexfile", [](const settings& r) { return !r.hexfile.empty(); }, ALL_ACTIONS & ~bit(ACTION_READ_CONFIG)},
};

const char* actionOption(int32_t action) {
    for (const auto& o : long_options)
        if (o.name && o.flag == &actionFlag && o.val == action) return o.name;
    return "?";
}

// Refuses an option the chosen action would not use, before anything is opened.
void checkOptionsFit(const settings& run) {
    if (static_cast<uint32_t>(run.action) > static_cast<uint32_t>(ACTION_LAST)) return;  // usage says so later
    for (const auto& use : optionUses)
        if (use.given(run) && !(use.actions & bit(run.action)))
            fail(255, "ERROR: '--%s' is not used by --%s: see --help for the options\n", use.name,
                 actionOption(run.action));
}

// With standard output closed, the device would be opened as descriptor 1
// and the trace sent down the line: hold 0, 1 and 2 with /dev/null first.
void holdStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        const int held = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (held >= 0 && held != fd) close(held);  // cannot happen: the lowest free number is fd
    }
}

// Synchronous writes, added to what the caller's descriptor already has:
// clearing O_APPEND would write over the start of a log we are appended to.
void syncStandardOutput() {
    const int flags = fcntl(1, F_GETFL);
    if (flags != -1) fcntl(1, F_SETFL, flags | O_SYNC);  // a pipe or file may refuse it
}

// The status a run ends with, once its output is out: a lost log must not
// pass for success.
int finish(int status) {
    flush();
    // Here, not earlier: a stop signal still pending may end the process now.
    struct release {
        ~release() { releaseStopSignals(); }
    } releaseAfter;
    if (const int e = outputError()) {
        std::fprintf(stderr, "bootlink: write error on standard output: %s\n", std::strerror(e));
        if (status == 0) status = 255;
    }
    return status;
}

void dispatch(serial_link& line, const settings& run, const flash_image& image, output_file* saved) {
    switch (run.action) {
    case ACTION_WRITE_FLASH:
        out("action: write flash\n");
        main_writeflash(line, run);
        break;
    case ACTION_READ_FLASH:
        out("action: read flash\n");
        main_readflash(line, run, *saved);
        break;
    case ACTION_ERASE_FLASH:
        out("action: erase flash\n");
        main_eraseflash(line, run);
        break;
    case ACTION_WRITE_EEPROM:
        out("action: write eeprom\n");
        main_writeeeprom(line, run, image);
        break;
    case ACTION_READ_EEPROM:
        out("action: read eeprom\n");
        main_readeeprom(line, run, saved);
        break;
    case ACTION_ERASE_EEPROM:
        out("action: erase eeprom\n");
        main_eraseeeprom(line, run);
        break;
    case ACTION_RESET:
        out("resetting device\n");
        reset_device(line);
        break;
    case ACTION_PROGRAM:
        out("action: program flash\n");
        main_program(line, run, image);
        break;
    case ACTION_VERIFY:
        out("action: verify flash\n");
        main_verify(line, run, image);
        break;
    case ACTION_READ_CONFIG:
        out("action: read configuration\n");
        main_readconfig(line, saved);
        break;
    }
}

}  // namespace

std::vector<std::string> optionNames() {
    std::vector<std::string> names;
    for (const auto& o : long_options)
        if (o.name) names.push_back(o.name);
    return names;
}

int32_t number_arg(const char* text) {
    const std::size_t len = std::strlen(text);
    if (len > MAX_NUMBER_ARG) {
        out("ERROR: option too long\n");
        return -1;
    }
    if (len > 2 && text[0] == '0' && text[1] == 'x') {
        // Kept as scanf reads it ("0x-5" is -5, "0x 1f" is 31): scripts rely on it.
        unsigned int value = 0;
        if (std::sscanf(text, "0x%x", &value) != 1) return -1;
        return static_cast<int32_t>(value);
    }
    // atoi's rules (blanks, sign, stop at the first non-digit, wrap on overflow).
    return static_cast<int32_t>(std::strtol(text, nullptr, 10));
}

void usage(const char* name) {
    for (const char* text : usageLines) {
        // Every line has at most one "%s", the program's name.
        if (std::strstr(text, "%s"))
            out(text, name);
        else
            out("%s", text);
    }
    throw fatal{255};
}

int run(int argc, char** argv) {
    holdStandardDescriptors();
    syncStandardOutput();
    // A reader of our output that goes away (| head) must not kill the run
    // halfway through programming: writes fail instead, reported at the end.
    std::signal(SIGPIPE, SIG_IGN);
    settings run;
    serial_link line;
    catchStopSignals();
    try {
        scanOptions(argc, argv, run);
        checkOptionsFit(run);
        // The file before the device: a bad one sends nothing, not even the wake byte.
        const flash_image image = loadsImage(run.action) ? checkedImage(run) : flash_image{};
        if (run.action == ACTION_CHECK) {  // the file alone: no device is opened
            out("action: check hexfile\n");
            main_check(run, image);
            return finish(0);
        }
        // And the output: one that cannot be written is refused before the read.
        std::optional<output_file> saved;
        if (savesOutput(run.action, run.output_given)) saved.emplace(run.output);
        openline(line, run.dev, run.lock);
        setline(line, run.flags, run.speed);
        if (run.baud != 0) setbaud(line, run.dev, run.baud);
        line.pace_ms = run.pace_ms;
        const bool fresh = isNewAction(run.action);
        line.timeout_ms = run.timeout_ms ? run.timeout_ms : fresh ? NEW_ACTION_TIMEOUT_MS : WAIT_FOREVER;
        line.retries = run.retries >= 0 ? run.retries : fresh ? NEW_ACTION_RETRIES : 0;
        line.baud = run.baud ? run.baud : 19200;
        line.trace = !run.quiet;
        discardInput(line);
        // What an interrupted run's device still sends must not be read as our reply.
        if (!waitQuiet(line)) fail(255, "[ERROR, the line does not go quiet: the device keeps sending]\n");
        wakeDevice(line);
        if (optind < argc) {
            out("unknown arguments: ");
            for (int i = optind; i < argc; ++i) out("%s ", argv[i]);
            out("\n");
            usage(argv[0]);
        }
        // Compared unsigned, so the unset -1 fails too.
        if (static_cast<uint32_t>(run.action) > static_cast<uint32_t>(ACTION_LAST)) {
            out("You need to specify the action to take\n");
            usage(argv[0]);
        }
        dispatch(line, run, image, saved ? &*saved : nullptr);
        line.close();
        return finish(0);
    } catch (const fatal& f) {
        line.close();
        return finish(f.status);
    }
}

}  // namespace bootlink
