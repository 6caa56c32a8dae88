#pragma once

// What --program, --verify and the EEPROM actions share beyond program
// memory: comparing what was read with what must be there, and the EEPROM
// and configuration phases.

#include <cstdint>
#include <vector>

#include "commands/commands.hpp"
#include "image/image.hpp"

namespace bootlink {

struct difference {
    uint32_t address;  // as the hex file has it (0xF00000 up for EEPROM)
    uint8_t expected, read;
};

// Lists the first differences and their count; nothing when there are none.
void listDifferences(const std::vector<difference>& diffs);
// The same, then ends the run (255).
void reportDifferences(const std::vector<difference>& diffs);

// Writes `eeprom` (addresses as the file has them) in the requests `writes`
// names, then reads it back in those `reads` names and compares.
void writeEeprom(action_context& ctx, const byte_map& eeprom, const std::vector<span_request>& writes,
                 const std::vector<span_request>& reads, memory_work& work);
void verifyEeprom(action_context& ctx, const byte_map& eeprom, const std::vector<span_request>& reads,
                  memory_work& work);

// Reads the configuration bytes `config` gives and compares. For --program
// without configuration writes, differences are notes, and their count is
// returned. For --verify (no writes at all) a bit that reads 1 where the file
// has 0 fails the run, one that reads 0 where it has 1 is a note (bits a part
// does not implement read as 0). With writes planned, reads what was there,
// writes, and checks the read-back bit by bit: a 1 where 0 was written, or a
// 0 where 1 was written over a 1, fails the run; a bit that read 0 before and
// after is a note.
size_t checkConfig(action_context& ctx, const byte_map& config, const programming_plan& plan, memory_work& work);

}  // namespace bootlink
