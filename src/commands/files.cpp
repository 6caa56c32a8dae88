#include "commands/files.hpp"

#include <filesystem>
#include <system_error>

namespace bootlink {

std::string lowerHex(const unsigned char* bytes, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(2 * n);
    for (size_t i = 0; i < n; ++i) {
        hex += digits[bytes[i] >> 4];
        hex += digits[bytes[i] & 0x0f];
    }
    return hex;
}

bool keepRead(file_text& f, const char* data, size_t n, size_t limit) {
    if (f.text.size() + n > limit) {
        f.failed = file_text::problem::too_large;
        f.why = "larger than " + std::to_string(limit) + " bytes";
        return false;
    }
    f.text.append(data, n);
    return true;
}

std::string notWritable(const std::string& path, const std::string& device, const std::string& hexfile) {
    if (sameFile(path, device)) return "it is the serial device '" + device + "' of this run";
    if (sameFile(path, hexfile)) return "it is the hexfile '" + hexfile + "' of this run";
    std::error_code ec;
    const auto st = std::filesystem::status(path, ec);
    if (ec || !std::filesystem::exists(st) || std::filesystem::is_regular_file(st)) return {};
    return std::filesystem::is_directory(st) ? "a directory" : "not a regular file";
}

}  // namespace bootlink
