#pragma once

#include <memory>
#include <string>

#include "link/transport.hpp"

namespace bootlink {

// A serial port another machine exports over TCP (ser2net and the like):
//   socket://HOST:PORT   the bytes as they are
//   rfc2217://HOST:PORT  telnet with the COM-PORT option: the far end's line
//                        speed and format are set from here, its buffers
//                        purged, and 0xFF bytes doubled as telnet requires
bool isNetworkPort(const std::string& device);

// Connects within `timeoutMs`; TCP_NODELAY on, since every request of ours
// is a small write that waits for its reply. Every later wait is bounded by
// `timeoutMs` too: a peer that vanishes must not hang the run. A refused or
// timed-out connection prints "ERROR: ..." with the reason and ends the run.
std::unique_ptr<transport> openNetworkPort(const std::string& device, int timeoutMs);

}  // namespace bootlink
