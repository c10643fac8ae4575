// The connection check and the list of serial ports, shared by the window
// and the command-line tool.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "protocol/session.h"

namespace tarvex {

// The connection check: 9600 baud, quiet identification of a small panel,
// then of the large panel with its baud search; the status line ends on
// Ready, the pointer normal and the port closed. True when a panel was
// identified (its description is in SystemFlags.PanelDescription). The
// window resets its controls before and shows the result after.
bool CheckConnection(TSession& s);

struct TPortEntry {
  std::string Device;  // what to open: TComm.Device
  bool Busy = false;   // held by another program
  std::string Label;   // the device, or the device + " - " + AlreadyOpen
};

// The serial devices of the system in ascending order, each probed with a
// scratch record (115200 baud, no parity, 8 data bits, one stop bit):
// listed when it opens, listed as busy when another program holds it,
// left out otherwise.
//
// POSIX: the serial devices found in devDir, labelled with their paths.
// Windows: ports 1 to 256, labelled "Com 3" with Device "COM3"; devDir is
// not used.
std::vector<TPortEntry> BuildPortList(const TLanguageStrings& texts, const std::string& devDir = "/dev");
// The candidate devices, in ascending order (before probing).
std::vector<std::string> SerialDeviceCandidates(const std::string& devDir = "/dev");

// The highest port number that the Windows port list probes.
inline constexpr int32_t kLastListedPort = 256;

// The number of a Windows port given as "3" or "COM3" (any letter case);
// 0 for anything else.
int32_t PortNumberFromName(const std::string& name);

}  // namespace tarvex
