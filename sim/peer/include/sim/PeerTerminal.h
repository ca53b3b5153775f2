// The pseudo-terminal a simulated peer serves the device on, and its entry in the port map.
#pragma once
#include <string>

namespace sim {

// A raw pseudo-terminal: the master side non-blocking for the peer, the slave side held open so the
// master stays readable while the device has the port closed. False (fds left for the caller to
// close) when any step fails.
bool OpenPeerTerminal(int& master, int& slave, std::string& slavePath);
// Clears COM`port` in the port map while it still names slavePath: another peer may have taken the
// port since, and its entry stays.
void ReleasePortMapping(int port, const std::string& slavePath);

}  // namespace sim
