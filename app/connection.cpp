#include "app/connection.h"

#include <algorithm>
#include <cctype>
#include <filesystem>

#include "protocol/identify.h"

namespace tarvex {

bool CheckConnection(TSession& s) {
  s.SystemFlags.QuietErrors = true;
  s.UI->SetBusyCursor(true);
  s.ShowStatus(s.LangStrings.OpeningPort);
  s.PanelPort.BaudIndex = 6;  // 9600 baud
  bool identified = false;
  if (EnsurePortOpen(s, s.PanelPort)) {
    SleepOn(s.PanelPort, 500);
    identified = IdentifySmallPanel(s, s.PanelPort) == 0;
    // A line that went away (an adapter pulled out) answers nobody: the
    // large panel's baud search would only fail to reopen it at every rate,
    // with a warning each time.
    if (!identified && !s.PanelPort.LineLost) identified = IdentifyLargePanel(s, s.PanelPort) == 0;
  }
  s.Notify(ProgressClear);
  s.ShowStatus(s.LangStrings.Ready);
  s.UI->SetBusyCursor(false);
  s.SystemFlags.QuietErrors = false;
  ClosePort(s.PanelPort);
  return identified;
}

namespace {

enum class TProbe { Free, Busy, Absent };

// Opens and closes the port with the scratch settings (115200 baud, no
// parity, 8 data bits, one stop bit).
TProbe Probe(TComm& scratch) {
  scratch.BaudIndex = 11;
  scratch.ParityIndex = 0;
  scratch.DataBitsIndex = 4;
  scratch.StopBitsIndex = 0;
  const bool opened = OpenComm(scratch);
  // Also after a failure: a port that refused the settings is still held.
  CloseComm(scratch);
  if (opened) return TProbe::Free;
  return scratch.LastError == TCommError::InUse ? TProbe::Busy : TProbe::Absent;
}

}  // namespace

int32_t PortNumberFromName(const std::string& name) {
  size_t i = 0;
  if (name.size() > 3 && std::toupper(static_cast<unsigned char>(name[0])) == 'C' &&
      std::toupper(static_cast<unsigned char>(name[1])) == 'O' &&
      std::toupper(static_cast<unsigned char>(name[2])) == 'M')
    i = 3;
  if (i == name.size() || name.size() - i > 5) return 0;
  int32_t n = 0;
  for (; i < name.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(name[i]))) return 0;
    n = n * 10 + (name[i] - '0');
  }
  return n;
}

#ifdef _WIN32

// Windows numbers its serial ports; every number that a port list offers is
// probed, whether or not a device stands behind it.
std::vector<std::string> SerialDeviceCandidates(const std::string&) {
  std::vector<std::string> names;
  for (int32_t n = 1; n <= kLastListedPort; ++n) names.push_back("COM" + std::to_string(n));
  return names;
}

std::vector<TPortEntry> BuildPortList(const TLanguageStrings& texts, const std::string&) {
  std::vector<TPortEntry> list;
  for (int32_t n = 1; n <= kLastListedPort; ++n) {
    TComm scratch;
    scratch.Port = n;
    const std::string label = "Com " + std::to_string(n);
    switch (Probe(scratch)) {
      case TProbe::Free: list.push_back({"COM" + std::to_string(n), false, label}); break;
      case TProbe::Busy: list.push_back({"COM" + std::to_string(n), true, label + " - " + texts.AlreadyOpen}); break;
      case TProbe::Absent: break;
    }
  }
  return list;
}

#else

namespace {

// Names of serial devices on Linux: on-board UARTs, USB adapters, modems,
// Bluetooth and board UARTs.
constexpr const char* kSerialPrefixes[] = {"ttyS", "ttyUSB", "ttyACM", "ttyAMA", "ttymxc", "rfcomm", "ttyXRUSB"};

// Orders ttyS2 before ttyS10: prefix first, then the number.
bool NaturalLess(const std::string& a, const std::string& b) {
  auto split = [](const std::string& s) {
    size_t i = s.size();
    while (i > 0 && std::isdigit(static_cast<unsigned char>(s[i - 1]))) --i;
    const std::string digits = s.substr(i);
    return std::make_pair(s.substr(0, i), digits.empty() ? -1L : std::stol(digits.substr(0, 9)));
  };
  return split(a) < split(b);
}

}  // namespace

std::vector<std::string> SerialDeviceCandidates(const std::string& devDir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(devDir, ec)) {
    const std::string name = entry.path().filename().string();
    for (const char* prefix : kSerialPrefixes) {
      const std::string p = prefix;
      if (name.size() > p.size() && name.compare(0, p.size(), p) == 0 &&
          std::all_of(name.begin() + static_cast<long>(p.size()), name.end(),
                      [](unsigned char c) { return std::isdigit(c); })) {
        names.push_back(name);
        break;
      }
    }
  }
  std::sort(names.begin(), names.end(), NaturalLess);
  std::vector<std::string> paths;
  for (const auto& n : names) paths.push_back(devDir + "/" + n);
  return paths;
}

std::vector<TPortEntry> BuildPortList(const TLanguageStrings& texts, const std::string& devDir) {
  std::vector<TPortEntry> list;
  for (const std::string& device : SerialDeviceCandidates(devDir)) {
    TComm scratch;
    scratch.Device = device;
    switch (Probe(scratch)) {
      case TProbe::Free: list.push_back({device, false, device}); break;
      case TProbe::Busy: list.push_back({device, true, device + " - " + texts.AlreadyOpen}); break;
      case TProbe::Absent: break;
    }
  }
  return list;
}

#endif

}  // namespace tarvex
