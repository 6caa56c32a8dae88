#include "cli/defaults.hpp"

#include <cstdlib>
#include <filesystem>
#include <toml++/toml.h>

#include "cli/options.hpp"
#include "commands/files.hpp"
#include "report/fatal.hpp"
#include "report/output.hpp"

namespace bootlink {

namespace {

namespace fs = std::filesystem;

// The keys are the options' names, where the option table lets the file give it.
using known_key = option_entry;

const known_key* keyNamed(std::string_view name, bool inDeviceTable) {
    for (const auto& o : optionTable())
        if (o.key != in_file::no && name == o.name && (!inDeviceTable || o.key == in_file::top_and_device)) return &o;
    return nullptr;
}

bool isFile(const std::string& path) {
    std::error_code ec;
    return fs::is_regular_file(path, ec);
}

[[noreturn]] void badValue(const std::string& file, const toml::node& value, std::string_view key, const char* why) {
    fail(result_kind::refused, "ERROR: %s line %u: '%.*s' %s\n", file.c_str(), value.source().begin.line,
         static_cast<int>(key.size()), key.data(), why);
}

// The value of one key, checked, as the option's argument would give it.
std::string checkedValue(const std::string& file, const known_key& key, const toml::node& value) {
    if (key.fills == setting_id::device) {
        const auto path = value.value<std::string>();
        if (!path || path->empty()) badValue(file, value, key.name, "takes the path of the serial device, in quotes");
        return *path;
    }
    const auto number = value.value_exact<int64_t>();
    char why[160];
    const char* problem = number ? numberProblem(key.fills, static_cast<long>(*number)) : "";
    if (number && !problem) return std::to_string(*number);
    std::snprintf(why, sizeof why, "takes %s", number ? problem : numberProblem(key.fills, -1));
    badValue(file, value, key.name, why);
}

// Every key is checked before any is used: a bad file changes nothing.
void checkTable(const std::string& file, const toml::table& table, bool deviceTable) {
    for (const auto& [name, value] : table) {
        if (!deviceTable && value.is_table()) {
            checkTable(file, *value.as_table(), true);
            continue;
        }
        const known_key* key = keyNamed(name.str(), deviceTable);
        if (!key)
            badValue(file, value, name.str(),
                     deviceTable ? "is not a setting of a device's own (baud, pace, timeout, retries)"
                                 : "is not a setting the file of defaults takes");
        checkedValue(file, *key, value);
    }
}

void applyTable(settings& run, const std::string& file, const toml::table& table) {
    for (const auto& [name, value] : table) {
        const known_key* key = value.is_table() ? nullptr : keyNamed(name.str(), false);
        if (key) applyDefault(run, key->fills, checkedValue(file, *key, value), file, origin::file);
    }
}

// The device's own table: named by its path, or by another name of the same
// device (a by-id link and the node it points to).
const toml::table* deviceTable(const toml::table& top, const std::string& device) {
    for (const auto& [name, value] : top) {
        if (!value.is_table()) continue;
        std::error_code ec;
        if (name.str() == device || fs::equivalent(std::string(name.str()), device, ec)) return value.as_table();
    }
    return nullptr;
}

const char* environmentName(setting_id id) {
    const option_entry* o = optionFilling(id);
    return o && o->environment ? o->environment : "?";
}

}  // namespace

std::string defaultsFile(const settings& run) {
    if (!run.read_defaults) return {};
    if (const char* named = std::getenv("BOOTLINK_CONFIG"); named && *named) {
        if (!isFile(named))
            fail(result_kind::refused, "ERROR: BOOTLINK_CONFIG names '%s', which is not a file that can be read\n",
                 named);
        return named;
    }
    if (isFile("bootlink.toml")) return "./bootlink.toml";
    const std::string path = userDefaultsFile();
    return !path.empty() && isFile(path) ? path : std::string();
}

void readDefaults(settings& run) {
    const std::string file = defaultsFile(run);
    if (file.empty()) return;
    toml::table top;
    const file_text read = readWholeFile(file, SMALL_FILE_LIMIT);
    if (read.failed != file_text::problem::none)
        fail(result_kind::refused, "ERROR: could not read the file of defaults '%s' (%s)\n", file.c_str(),
             read.why.c_str());
    try {
        top = toml::parse(read.text, file);
    } catch (const toml::parse_error& e) {
        fail(result_kind::refused, "ERROR: %s line %u: %.*s\n", file.c_str(), e.source().begin.line,
             static_cast<int>(e.description().size()), e.description().data());
    }
    checkTable(file, top, false);
    run.defaults_file = file;
    // The device first: its own table comes before the file's general values.
    if (const auto* device = top.get("device"))
        applyDefault(run, setting_id::device, checkedValue(file, *keyNamed("device", false), *device), file,
                     origin::file);
    if (const toml::table* own = deviceTable(top, run.dev)) applyTable(run, file + " [" + run.dev + "]", *own);
    applyTable(run, file, top);
}

void readDeviceDefaults(settings& run) {
    if (run.defaults_file.empty()) return;
    const file_text read = readWholeFile(run.defaults_file, SMALL_FILE_LIMIT);
    toml::table top;
    try {
        top = toml::parse(read.text, run.defaults_file);
    } catch (const toml::parse_error&) {
        return;  // checked whole when the run began; changed since, it is not read again
    }
    const toml::table* own = deviceTable(top, run.dev);
    if (!own) return;
    // The device's own values come before the file's general ones: those
    // give way, what the command line or the variables say does not.
    for (const auto& [name, value] : *own)
        if (const known_key* key = keyNamed(name.str(), true); key && run.source(key->fills) == origin::file)
            run.mark(key->fills, origin::builtin);
    applyTable(run, run.defaults_file + " [" + run.dev + "]", *own);
}

std::string originText(const settings& run, setting_id id) {
    switch (run.source(id)) {
    case origin::builtin: return "built in";
    case origin::environment: return std::string("from ") + environmentName(id);
    case origin::file: return "from " + run.defaults_file;
    case origin::command_line: return "from the command line";
    }
    return {};
}

void showConfig(const settings& run) {
    auto from = [&](setting_id id) { return originText(run, id); };
    out("file of defaults: %s\n", run.defaults_file.empty() ? "none" : run.defaults_file.c_str());
    // Every setting the file of defaults may give, in the option table's order.
    for (const auto& o : optionTable())
        if (o.key != in_file::no && o.shown)
            out("%-12s %-28s (%s)\n", o.name, o.shown(run).c_str(), from(o.fills).c_str());
    throw fatal{0, result_kind::ok, {}};
}

}  // namespace bootlink
