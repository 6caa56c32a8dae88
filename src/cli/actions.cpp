#include "cli/actions.hpp"

#include <iterator>

namespace bootlink {

namespace {

outcome checkOnly(action_context&) { return {}; }  // --check opens no device: the driver runs it apart

const action_entry actions[] = {
    {ACTION_WRITE_FLASH, "action: write flash\n", SINGLE_STEP_RULES, false, false, false, main_writeflash},
    {ACTION_READ_FLASH, "action: read flash\n", SINGLE_STEP_RULES, false, true, true, main_readflash},
    {ACTION_ERASE_FLASH, "action: erase flash\n", SINGLE_STEP_RULES, false, false, false, main_eraseflash},
    {ACTION_WRITE_EEPROM, "action: write eeprom\n", GUARDED_RULES, true, false, false, main_writeeeprom},
    {ACTION_READ_EEPROM, "action: read eeprom\n", SINGLE_STEP_RULES, false, true, false, main_readeeprom},
    {ACTION_ERASE_EEPROM, "action: erase eeprom\n", GUARDED_RULES, false, false, false, main_eraseeeprom},
    {ACTION_RESET, "resetting device\n", SINGLE_STEP_RULES, false, false, false, reset_device},
    {ACTION_PROGRAM, "action: program flash\n", GUARDED_RULES, true, false, false, main_program},
    {ACTION_VERIFY, "action: verify flash\n", GUARDED_RULES, true, false, false, main_verify},
    {ACTION_READ_CONFIG, "action: read configuration\n", GUARDED_READ_RULES, false, true, false, main_readconfig},
    {ACTION_CHECK, "action: check hexfile\n", GUARDED_RULES, true, false, false, checkOnly},
    {ACTION_READ_ALL, "action: read the whole board\n", GUARDED_RULES, false, true, false, main_readall},
};

// No action chosen: the usage text says so once the device is awake.
const action_entry none{ACTION_NONE, "", SINGLE_STEP_RULES, false, false, false, checkOnly};

}  // namespace

const action_entry& actionFor(int32_t code) {
    for (const auto& a : actions)
        if (a.code == code) return a;
    return none;
}

}  // namespace bootlink
