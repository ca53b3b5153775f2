// The pseudo-terminal a simulated peer serves the device on, and its entry in the port map.
#pragma once
#include <string>
#include <thread>

namespace sim {

// A raw pseudo-terminal: the master side non-blocking for the peer, the slave side held open so the
// master stays readable while the device has the port closed. A peer that must see the device close
// the port (a power cut for the MCU) lets go of the slave: `slave` is then -1. False (fds left for the
// caller to close) when any step fails.
bool OpenPeerTerminal(int& master, int& slave, std::string& slavePath, bool holdSlave = true);
// Clears COM`port` in the port map while it still names slavePath: another peer may have taken the
// port since, and its entry stays.
void ReleasePortMapping(int port, const std::string& slavePath);
// Wakes the peer's worker through its eventfd and joins it.
void StopPeerWorker(std::thread& worker, int wake);

// The options every peer program takes: "--root DIR" (the device root, taken at once) and "--port N"
// (1-9). True when argv[i] was one of them; i then steps past its value.
bool TakePeerOption(int argc, char** argv, int& i, int& port);
// SIGINT, SIGTERM and SIGHUP end the program's wait instead of the program.
void CatchStopSignals();
// Returns once one of them has arrived.
void WaitForStopSignal();

}  // namespace sim
