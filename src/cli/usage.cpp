#include <cstring>
#include <string>
#include <vector>

#include "cli/cli.hpp"
#include "cli/options.hpp"
#include "report/fatal.hpp"
#include "report/output.hpp"

namespace bootlink {

namespace {

// The bootloader's own actions, as their usage has always read.
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
};

// Every other option, a section a group, from the option table.
constexpr const char* groups[] = {"Programming a board:\n", "Serial numbers:\n", "Many boards:\n", "The line:\n", "Reading:\n",
                                   "Other:\n"};

constexpr const char* exampleLines[] = {
    "\nProgram a board, checked, in one command:\n",
    "  %s --device /dev/ttyUSB0 --baud 115200 --pace 0 --program --hexfile firmware.hex --run\n",
};

// Prints a usage line: at most one "%s" in it, the program's name.
void usageLine(const char* text, const char* name) {
    if (std::strstr(text, "%s"))
        out(text, name);
    else
        out("%s", text);
}

}  // namespace

std::vector<std::string> optionNames() {
    std::vector<std::string> names;
    for (const auto& o : optionTable()) names.push_back(o.name);
    return names;
}

void usage(const char* name) {
    for (const char* text : usageLines) usageLine(text, name);
    out("\nMore options:\n");
    for (const char* group : groups) {
        out("%s", group);
        for (const auto& o : optionTable())
            if (o.group && std::strcmp(o.group, group) == 0) {
                if (o.shown)  // its built-in value, as a run with nothing set has it
                    out(o.help, o.shown(settings{}).c_str());
                else
                    out("%s", o.help);
            }
    }
    for (const char* text : exampleLines) usageLine(text, name);
    throw fatal{255, result_kind::refused, {}};
}

}  // namespace bootlink
