#include <cmath>

#include "commands/commands.hpp"
#include "commands/transfer.hpp"
#include "image/image.hpp"
#include "report/output.hpp"

namespace bootlink {

// What --program would send, from the very plan it runs, and about how long
// that takes at the run's line speed and pace.
outcome main_check(const settings& run, const flash_image& image) {
    const programming_plan plan = planProgramming(image, false, run.write_config);
    const plan_cost cost = costOf(plan, image);
    if (!image.rows.empty()) {
        out("program memory: %s in %s, %zu of them given in part (read first)\n",
            counted(image.given_bytes(), "byte").c_str(), counted(image.rows.size(), "row").c_str(),
            plan.partial.size());
        out("  erase %s in %s, write %s in %s, read back %s\n", counted(image.rows.size(), "row").c_str(),
            counted(cost.erases, "request").c_str(), counted(cost.written, "byte").c_str(),
            counted(cost.writes, "request").c_str(), counted(cost.read_back, "byte").c_str());
    }
    if (!image.eeprom.empty())
        out("EEPROM: write %s in %s, read them back\n", counted(image.eeprom.size(), "byte").c_str(),
            counted(plan.eeprom_writes.size(), "request").c_str());
    if (!image.config.empty())
        out("configuration: %s %s\n", counted(image.config.size(), "byte").c_str(),
            run.write_config ? "written and read back" : "read and compared");
    const double byteSeconds = 10.0 / run.baud;
    const double seconds = static_cast<double>(cost.sent) * std::max(byteSeconds, run.pace_ms / 1000.0) +
                           static_cast<double>(cost.received) * byteSeconds + static_cast<double>(cost.busy_us) / 1e6;
    out("about %s, %s sent and %llu received: about %.0f s at %d bit/s with a %d ms pace\n",
        counted(cost.requests, "request").c_str(), counted(cost.sent, "byte").c_str(),
        static_cast<unsigned long long>(cost.received), std::ceil(seconds), run.baud, run.pace_ms);
    outcome result;
    result.message = "[OK => the hexfile can be programmed]\n";
    return result;
}

}  // namespace bootlink
