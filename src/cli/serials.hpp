#pragma once

// Serial numbers for a line's boards: each board gets the next one, written
// with the firmware and verified with it. Kept in a file (--serial-file),
// the next number survives reruns and is shared by stations; a number goes
// back to the file when its board fails, so none is used up by a board that
// did not verify, and none is ever given twice.

#include <cstdint>
#include <optional>
#include <string>

#include "commands/settings.hpp"
#include "image/image.hpp"

namespace bootlink {

// Refuses --serial-at without a source of numbers, and the other way round.
void checkSerialOptions(const settings& run);

// Takes the `k`-th board's number (the file's next one, else --serial +
// k) and puts it into `image`; nothing when no --serial-at was given. A
// number that does not fit, or an address the file gives or no memory has,
// ends the run before anything is opened.
std::optional<uint64_t> serialInto(flash_image& image, const settings& run, int k);

// Gives a failed board's number back to the file.
void giveBackSerial(const settings& run, uint64_t number);

// For --check: where the number goes and which one would be next, put into
// `image` (so a clash with the file is refused as the run would refuse it).
void showSerial(flash_image& image, const settings& run);

}  // namespace bootlink
