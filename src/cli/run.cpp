#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "cli/actions.hpp"
#include "cli/cli.hpp"
#include "cli/defaults.hpp"
#include "cli/events.hpp"
#include "cli/jsonreport.hpp"
#include "cli/serials.hpp"
#include "cli/board.hpp"
#include "cli/children.hpp"
#include "cli/boards.hpp"
#include "cli/options.hpp"
#include "commands/commands.hpp"
#include "commands/files.hpp"
#include "link/bootloader.hpp"
#include "link/signals.hpp"
#include "link/transport.hpp"
#include "report/fatal.hpp"
#include "report/outcome.hpp"
#include "report/output.hpp"

namespace bootlink {

namespace {

// The files a run writes besides its output: each a regular file (or none
// yet), never a device node, a FIFO, a socket, the line or the hex file.
// Refused before anything is opened, naming the path.
void checkWrittenFiles(const settings& run) {
    const std::vector<std::string> lines = run.devices.empty() ? std::vector<std::string>{run.dev} : run.devices;
    auto check = [&](const std::string& path, const char* what) {
        for (const auto& device : lines)
            if (const std::string why = notWritable(path, device, run.hexfile); !why.empty())
                fail(result_kind::refused, "ERROR: %s '%s' is not a file the tool can write (%s)\n", what, path.c_str(),
                     why.c_str());
    };
    if (!run.report_file.empty()) check(run.report_file, "the report");
    if (!run.serial_file.empty()) check(run.serial_file, "the serial number file");
    if (!run.log_dir.empty())
        for (const auto& log : boardLogPaths(run.log_dir, run.devices)) check(log, "the log");
}

// Stray arguments and a missing action: the usage text, once the device is awake.
void checkArguments(int argc, char** argv, int first, const settings& run) {
    if (first < argc) {
        out("unknown arguments: ");
        for (int i = first; i < argc; ++i) out("%s ", argv[i]);
        out("\n");
        usage(argv[0]);
    }
    if (!chosen(run.action)) {
        out("You need to specify the action to take\n");
        usage(argv[0]);
    }
}

// A backup of the whole board must know how much program memory there is
// (no request tells), and where to go: nothing is opened without both.
void needWholeBoard(const settings& run) {
    if (!run.set(setting_id::flash_size))
        fail(result_kind::refused,
             "ERROR: --readall needs --flash-size N, the bytes of program memory of the part "
             "(on the command line or in the file of defaults)\n");
    if (!run.given(setting_id::output))
        fail(result_kind::refused, "ERROR: --readall needs --output F, the file to save the board to\n");
}

int runAction(int argc, char** argv, settings& run) {
    const int first = scanOptions(argc, argv, run);
    readEnvironment(run);
    readDefaults(run);
    if (run.show_config) showConfig(run);
    // The newer actions name the line they use even when nothing chose it
    // (the single steps print what they always have).
    if (chosen(run.action) && run.action != ACTION_CHECK &&
        !actionFor(run.action).rules.ignores_original_options && !run.set(setting_id::device) && run.devices.empty())
        out("using device %s for serial comms (the default)\n", run.dev.c_str());
    checkOptionsFit(run);
    checkOptionsTogether(run);
    checkWrittenFiles(run);
    const action_entry& action = actionFor(run.action);
    // The file before the device: a bad one sends nothing, not even the wake byte.
    flash_image image = action.loads_image ? checkedImage(run) : flash_image{};
    if (sendingEvents()) startEvent(run, image);
    if (run.action == ACTION_CHECK) {  // the file alone: no device is opened
        showSerial(image, run);
        out("%s", action.announce);
        const outcome result = main_check(run, image);
        report(result);
        return finish(result, run);
    }
    if (run.action == ACTION_READ_ALL) needWholeBoard(run);
    if (run.action == ACTION_PROGRAM) checkSerialPlan(image, run, std::max<size_t>(run.devices.size(), 1));
    const auto strays = [&] { checkArguments(argc, argv, first, run); };
    if (!run.devices.empty() || run.wait) {
        strays();  // before any board: each runs in a process of its own
        outcome all = programBoards(run, image);
        report(all);
        run.report_file.clear();  // each board has reported itself
        return finish(all, run);
    }
    return runBoard(run, image, run.action == ACTION_PROGRAM ? takeSerial(run, 0) : std::nullopt, strays).status;
}

// A board of many in a process of its own, started as this program again
// (where there is no fork): the options and the file read as the parent
// read them, silently (the parent has said it all), then the board's run;
// its outcome goes to the parent as its report line.
int runAsBoard(int argc, char** argv, const board_task& task) {
    settings run;
    flash_image image;
    std::string reportText;
    try {
        discardOutput(true);
        scanOptions(argc, argv, run);
        readEnvironment(run);
        readDefaults(run);
        run.dev = task.name;
        run.wait = false;
        if (actionFor(run.action).loads_image) image = checkedImage(run);
        discardOutput(false);
        // A file rewritten (or a pipe read empty) since the parent loaded it
        // is not what the parent checked and announced: nothing is sent.
        if (image.sha256 != task.file_sha256)
            fail(result_kind::bad_file, "Error: the hexfile '%s' is not what this run loaded (changed since, or a "
                                        "pipe that cannot be read again): nothing was sent\n",
                 run.hexfile.c_str());
    } catch (const fatal& f) {  // the file unreadable or changed since the parent read it
        discardOutput(false);
        if (eventsAsked(argc, argv)) startEvents();
        const outcome broken = failed(f);
        report(broken);
        const int status = finish(broken, run);
        sendBoardReport(reportLine(run, broken, status));
        return status;
    }
    if (eventsAsked(argc, argv)) startEvents();
    const int status = boardRun(run, image, task.serial, reportText);
    sendBoardReport(reportText);
    return status;
}

}  // namespace

int run(int argc, char** argv) {
    prepareStandardStreams();
    settings run;
    catchStopSignals();
    if (board_task task; boardOfThisProcess(task)) return runAsBoard(argc, argv, task);
    if (eventsAsked(argc, argv)) startEvents();
    try {
        return runAction(argc, argv, run);
    } catch (const fatal& f) {
        const outcome stopped = failed(f);
        report(stopped);
        return finish(stopped, run);
    }
}

}  // namespace bootlink
