// The connection check and the list of serial ports, shared by the window
// and the command-line tool.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/session.h"

namespace tarvex {

// The connection check: 9600 baud, quiet identification of a small panel,
// then of the large panel with its baud search; the status line ends on
// Ready, the pointer normal and the port closed. True when a panel was
// identified (its description is in Panel.PanelDescription). The
// window resets its controls before and shows the result after.
bool CheckConnection(TSession& s);

// What the probe of a listed port found.
enum class TPortState {
  Free,          // it opened
  InUse,         // another program holds it
  NoPermission,  // this user may not open it
  NotAnswering,  // its open did not end within the probe's limit
};

struct TPortEntry {
  std::string Device;  // what to open: TComm.Device
  // What the list shows: the device (Linux: its path; Windows: "Com 3"),
  // then " - " and its description where the system has one, then " - "
  // and AlreadyOpen or NoPermission where the probe found it so.
  std::string Label;
  // The system layer that serves the port: null for the platform's serial
  // ports, a simulated line for the demo panels.
  TCommSystem* System = nullptr;
  // What the system knows of the device: a USB adapter's maker and
  // product ("FTDI FT232R USB UART"), or Windows' friendly name ("USB
  // Serial Port"); empty when it knows nothing.
  // (Initialized, so that entries written as {device, label} stay
  // complete.)
  std::string Description{};
  std::string Vid{}, Pid{};  // four lower-case hex digits, for a USB device
  std::string Serial{};      // the USB device's serial number, when it has one
  TPortState State = TPortState::Free;
};

// Where the port list looks. The defaults are the system's own; tests
// point them at folders of their own.
struct TPortSources {
  std::string DeviceFolder = "/dev";  // POSIX: the serial devices
  std::string SysfsRoot = "/sys";     // POSIX: what the kernel knows of them
  // What the probes open through; the platform's serial layer when null.
  // The probes run at the same time, each on a thread of its own: the layer
  // must take calls from several threads at once.
  TCommSystem* System = nullptr;
  // How long a port's probe may take, from its own start. A driver can
  // hold an open for seconds (a paired Bluetooth port calls its device
  // first); such a port is listed as not answering once this has passed,
  // and its probe is left to end on its own, closing the port if it opened.
  int64_t ProbeLimitMs = 2000;
};

// The serial devices of the system in ascending order, each probed with a
// scratch record (115200 baud, no parity, 8 data bits, one stop bit):
// listed when it opens, listed as in use when another program holds it,
// listed as "no permission" when the system refuses this user, listed as
// "not answering" when its probe did not end within ProbeLimitMs, left
// out otherwise. The probes run side by side (a few ports at a time, each
// on a thread of its own), so that a slow port never delays the others: the
// list is ready once every port has answered or been given up on.
//
// POSIX: the serial devices found in DeviceFolder, labelled with their
// paths and what sysfs tells of their USB device: "/dev/ttyUSB0 - FTDI
// FT232R USB UART (0403:6001, A50285BI)". A device refused for permission
// is listed too, except an on-board UART's node (ttyS*: the kernel makes
// them whether or not a UART answers) unless sysfs shows a UART behind it.
// Windows: ports 1 to 256, labelled "Com 3" with Device "COM3", followed
// by the device manager's name for it: "Com 3 - USB Serial Port".
std::vector<TPortEntry> BuildPortList(const TLanguageStrings& texts, const TExtraStrings& extra,
                                      const TPortSources& sources = {});
// The candidate devices, in ascending order (before probing).
std::vector<std::string> SerialDeviceCandidates(const std::string& devDir = "/dev");

// Returns once every port probe that BuildPortList started has ended,
// those it stopped waiting for too (for tests, whose system layers must
// outlive the probes).
void WaitForPortProbes();

// The state as machine-readable output names it: "free", "in use",
// "no permission", "not answering".
const char* PortStateName(TPortState state);

// The highest port number that the Windows port list probes.
inline constexpr int32_t kLastListedPort = 256;

// The number of a Windows port given as "3" or "COM3" (any letter case);
// 0 for anything else.
int32_t PortNumberFromName(const std::string& name);

}  // namespace tarvex
