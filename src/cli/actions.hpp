#pragma once

// The actions, one entry each: the option that chooses it, how it is
// announced, the rules it runs under, what it needs before the line is
// opened, and the command that carries it out.

#include <cstdint>

#include "commands/commands.hpp"
#include "commands/settings.hpp"

namespace bootlink {

struct action_entry {
    action_code code;
    const char* announce;    // "action: read flash"
    action_rules rules;
    bool loads_image;        // reads and checks the whole hex file before the line is opened
    bool saves;              // saves what it reads (to --output; --readflash to out.hex by default)
    bool saves_by_default;
    outcome (*carry_out)(action_context& ctx);
};

// The entry for `code`; an unknown code gets one that loads nothing.
const action_entry& actionFor(int32_t code);

}  // namespace bootlink
