#pragma once

// --json: what a run does as JSON Lines on standard output, for a program
// that drives the tool (a farm, a line supervisor, a GUI). One object a
// line, each with "event": one "start", "phase" and "progress" as the work
// goes, "retry" and "note" as the text would say them, "board" for each
// board of many, and one "end" with the outcome (the report's fields and
// the exit status). The text is not printed. schemas/events.schema.json
// describes every event; SCHEMA_VERSION changes when a field changes
// meaning or goes away.

#include <string>

#include "commands/settings.hpp"
#include "image/image.hpp"
#include "report/outcome.hpp"

namespace bootlink {

constexpr int SCHEMA_VERSION = 1;

// Whether the command line asks for events: looked at before the options are
// read, so that not even their echo is printed as text. --help, --version,
// --list-devices and --show-config print their text as ever.
bool eventsAsked(int argc, char** argv);

// From here on the text is turned into events.
void startEvents();

// The run's first event: the tool, the device (none for many boards), the
// action, the file and its SHA-256, the line's settings and where each came
// from.
void startEvent(const settings& run, const flash_image& image);

// The last: the outcome as the report has it, and the exit status.
void endEvent(const settings& run, const outcome& result, int status);

// A board of many started, or ended with `status` (how, from its own events).
void boardEvent(const std::string& board, bool started, int status);

// An event a board's process wrote, with the board's name put in; a line
// that is not an event (a board that wrote text) becomes a note.
std::string eventOfBoard(const std::string& board, const std::string& line);

}  // namespace bootlink
