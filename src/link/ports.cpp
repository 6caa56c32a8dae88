#include <string>

#include "link/network.hpp"
#include "link/terminal.hpp"
#include "link/transport.hpp"

// The one place a device's name chooses its transport.

namespace bootlink {

port_kind portKind(const std::string& device) {
    if (isNetworkPort(device)) return {true, false, device.rfind("rfc2217://", 0) == 0};
    return {false, true, true};
}

std::unique_ptr<transport> openLink(const std::string& device, bool exclusive, int timeoutMs) {
    // The server owns a network port and keeps it to one client: no lock here.
    if (isNetworkPort(device)) return openNetworkPort(device, timeoutMs);
    return openTerminal(device, exclusive);
}

}  // namespace bootlink
