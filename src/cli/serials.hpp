#pragma once

// Serial numbers for a line's boards: each board gets the next one, written
// with the firmware and verified with it. Kept in a file (--serial-file),
// the next number survives reruns and is shared by stations (through links
// too: the file they name is locked and replaced); a number goes back to the
// file when its board fails before any write reached it, and none is ever
// given twice.

#include <cstdint>
#include <optional>
#include <string>

#include "commands/settings.hpp"
#include "image/image.hpp"

namespace bootlink {


// What can be checked before any number is taken, for `boards` boards: the
// place (in a memory, clear of the file's bytes), the file (it parses; a
// --serial that differs from its next number is refused) and that the
// numbers fit --serial-bytes. A refused run leaves the file as it was.
void checkSerialPlan(const flash_image& image, const settings& run, size_t boards);

// Takes the `k`-th board's number (the file's next one, or a number given
// back; else --serial + k); nothing when no --serial-at was given. Boards
// of many take theirs in the order they are listed or start.
std::optional<uint64_t> takeSerial(const settings& run, int k);

// Puts number `n` into `image` and says where; a number that cannot go
// there is given back and ends the run before anything is opened.
void serialInto(flash_image& image, const settings& run, uint64_t n);

// Gives a failed board's number back to the file: only while no write of
// the run has gone to the board (after that the number may be on it).
void giveBackSerial(const settings& run, uint64_t number);

// For --check: where the number goes and which one would be next, put into
// `image` (so a clash with the file is refused as the run would refuse it).
void showSerial(flash_image& image, const settings& run);

}  // namespace bootlink
