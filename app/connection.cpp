#include "app/connection.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "app/messages.h"
#include "protocol/identify.h"
#ifdef _WIN32
#include "serial/comm_win32_api.h"
#endif

namespace tarvex {

bool CheckConnection(TSession& s) {
  TLink& link = s.Link;
  TComm& port = link.PanelPort;
  const TTexts texts{s.LangStrings, s.ExtraStrings};
  s.UI->SetBusyCursor(true);
  s.ShowStatus(PhaseText(TPhase::OpeningPort, texts));
  port.BaudIndex = 6;  // 9600 baud
  bool identified = false;
  // The check holds back the identifications' boxes: a failed check shows
  // as "no panel". It shows the port's own failures (the user chose the
  // port) and a large panel's unknown firmware.
  if (EnsurePortOpen(s)) {
    SleepOn(port, 500, "for the panel after the port opened");
    identified = IdentifySmallPanel(link, s.Panel).Ok();
    // A line that went away (an adapter pulled out) answers nobody: the
    // large panel's baud search would only fail to reopen it at every rate,
    // with a warning each time.
    if (!identified && !port.LineLost) {
      const TOutcome large = IdentifyLargePanel(link, s.Panel);
      identified = large.Ok();
      if (large.result == TResult::UnknownFirmware) {
        const TMessage m = MessageFor(large, texts);
        s.Box(m.kind, m.text);
      }
      s.UI->SetBusyCursor(false);
    }
  }
  s.Notify(ProgressClear);
  s.ShowStatus(PhaseText(TPhase::Ready, texts));
  s.UI->SetBusyCursor(false);
  ClosePort(port);
  return identified;
}

namespace {

enum class TProbe { Free, Busy, NoPermission, Absent, NotAnswering };

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
  if (scratch.LastError == TCommError::InUse) return TProbe::Busy;
  if (scratch.LastError == TCommError::AccessDenied) return TProbe::NoPermission;
  return TProbe::Absent;
}

// "<name> - <description> - <mark>", each part only where there is one.
void Label(TPortEntry& e, const std::string& name, const std::string& detail, const TLanguageStrings& texts,
           const TExtraStrings& extra) {
  e.Label = name;
  if (!detail.empty()) e.Label += " - " + detail;
  if (e.State == TPortState::InUse) e.Label += " - " + texts.AlreadyOpen;
  if (e.State == TPortState::NoPermission) e.Label += " - " + extra.NoPermission;
  if (e.State == TPortState::NotAnswering) e.Label += " - " + extra.NotAnswering;
}

TPortState StateOf(TProbe probe) {
  if (probe == TProbe::Busy) return TPortState::InUse;
  if (probe == TProbe::NoPermission) return TPortState::NoPermission;
  if (probe == TProbe::NotAnswering) return TPortState::NotAnswering;
  return TPortState::Free;
}

// The probe threads still running, those left behind included.
struct TProbeCount {
  std::mutex m;
  std::condition_variable cv;
  int running = 0;
};
TProbeCount& ProbeCount() {
  static TProbeCount* count = new TProbeCount;  // never destroyed: a thread left behind may outlive main
  return *count;
}

// What one port's probe needs to open it.
struct TProbeTarget {
  std::string device;  // POSIX: its path; Windows: empty
  int32_t port = 0;    // Windows: its number
  TCommSystem* system = nullptr;
};

// The probes of one listing, shared with the threads that run them: a
// thread left behind still has it to write into when its open ends at last.
struct TProbeBoard {
  using TClock = std::chrono::steady_clock;
  std::mutex m;
  std::condition_variable cv;
  std::vector<TProbeTarget> targets;
  std::vector<TProbe> results;
  std::vector<TClock::time_point> started;
  std::vector<bool> begun, ended;  // ended: answered, or given up on
  size_t next = 0;                 // the next target to take
  size_t left = 0;                 // targets not ended
};

// At most this many ports are opened at once: enough that a few hanging
// ports hold nobody up, few enough that a system answering 256 absent
// ports does not start 256 threads.
constexpr size_t kProbeThreads = 16;

void StartProbeThread(const std::shared_ptr<TProbeBoard>& board);

// A probe thread: takes the next target, probes it, and goes on until none
// is left, or until the port it probed was given up on (another thread has
// taken its place meanwhile).
void ProbeThread(const std::shared_ptr<TProbeBoard>& board) {
  std::unique_lock<std::mutex> lock(board->m);
  while (board->next < board->targets.size()) {
    const size_t i = board->next++;
    board->begun[i] = true;
    board->started[i] = TProbeBoard::TClock::now();
    const TProbeTarget target = board->targets[i];
    lock.unlock();
    TComm scratch;
    scratch.Device = target.device;
    scratch.Port = target.port;
    scratch.System = target.system;
    const TProbe probe = Probe(scratch);
    lock.lock();
    if (board->ended[i]) break;  // given up on: its place is taken
    board->results[i] = probe;
    board->ended[i] = true;
    --board->left;
    board->cv.notify_all();
  }
}

#ifdef _WIN32
DWORD WINAPI DetachedMain(void* p) {
  const std::unique_ptr<std::function<void()>> f(static_cast<std::function<void()>*>(p));
  (*f)();
  return 0;
}
#endif

// Runs f on a thread that nobody waits for; false when no thread could be
// had. Windows: a thread of the system's own, its handle let go at once
// (detaching a short-lived std::thread there can race with its end).
bool StartDetached(const std::function<void()>& f) {
#ifdef _WIN32
  auto* copy = new std::function<void()>(f);
  const HANDLE h = ::CreateThread(nullptr, 0, DetachedMain, copy, 0, nullptr);
  if (!h) {
    delete copy;
    return false;
  }
  ::CloseHandle(h);
  return true;
#else
  try {
    std::thread(f).detach();
    return true;
  } catch (const std::system_error&) {
    return false;
  }
#endif
}

void StartProbeThread(const std::shared_ptr<TProbeBoard>& board) {
  {
    TProbeCount& count = ProbeCount();
    std::lock_guard<std::mutex> lock(count.m);
    ++count.running;
  }
  auto run = [board] {
    ProbeThread(board);
    TProbeCount& c = ProbeCount();
    std::lock_guard<std::mutex> lock(c.m);
    --c.running;
    c.cv.notify_all();
  };
  if (!StartDetached(run)) {
    // No thread to be had: the caller's thread probes, without a limit.
    run();
  }
}

// Probes every target, a few at a time, each on a thread of its own, and
// returns once every port has answered or has been given up on: a probe
// still running limitMs after its own start counts as not answering, and a
// new thread takes its place for the ports still waiting.
std::vector<TProbe> ProbeAll(const std::vector<TProbeTarget>& targets, int64_t limitMs) {
  auto board = std::make_shared<TProbeBoard>();
  board->targets = targets;
  board->results.assign(targets.size(), TProbe::NotAnswering);
  board->started.assign(targets.size(), TProbeBoard::TClock::time_point{});
  board->begun.assign(targets.size(), false);
  board->ended.assign(targets.size(), false);
  board->left = targets.size();
  const auto limit = std::chrono::milliseconds(std::max<int64_t>(limitMs, 0));
  for (size_t t = 0; t < std::min(kProbeThreads, targets.size()); ++t) StartProbeThread(board);
  std::unique_lock<std::mutex> lock(board->m);
  while (board->left > 0) {
    // The earliest moment a running probe runs out of time.
    auto until = TProbeBoard::TClock::time_point::max();
    const auto now = TProbeBoard::TClock::now();
    size_t givenUp = 0;
    for (size_t i = 0; i < targets.size(); ++i) {
      if (!board->begun[i] || board->ended[i]) continue;
      if (now - board->started[i] >= limit) {
        board->ended[i] = true;  // NotAnswering stays its result
        --board->left;
        ++givenUp;
      } else {
        until = std::min(until, board->started[i] + limit);
      }
    }
    if (givenUp > 0) {
      lock.unlock();
      for (size_t g = 0; g < givenUp; ++g) StartProbeThread(board);
      lock.lock();
      continue;
    }
    if (until == TProbeBoard::TClock::time_point::max()) board->cv.wait(lock);
    else board->cv.wait_until(lock, until);
  }
  return board->results;
}

}  // namespace

void WaitForPortProbes() {
  TProbeCount& count = ProbeCount();
  std::unique_lock<std::mutex> lock(count.m);
  count.cv.wait(lock, [&] { return count.running == 0; });
}

const char* PortStateName(TPortState state) {
  switch (state) {
    case TPortState::InUse: return "in use";
    case TPortState::NoPermission: return "no permission";
    case TPortState::NotAnswering: return "not answering";
    case TPortState::Free: break;
  }
  return "free";
}

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

std::vector<TPortEntry> BuildPortList(const TLanguageStrings& texts, const TExtraStrings& extra,
                                      const TPortSources& sources) {
  // The device manager's names only decorate: which ports are listed is
  // the probe's answer, as before, so that a port the device manager does
  // not know (a virtual port's driver) is still offered.
  const std::vector<win32::TPortDevice> devices = win32::PortDevices();
  std::vector<TProbeTarget> targets;
  for (int32_t n = 1; n <= kLastListedPort; ++n) targets.push_back({std::string(), n, sources.System});
  const std::vector<TProbe> probes = ProbeAll(targets, sources.ProbeLimitMs);
  std::vector<TPortEntry> list;
  for (int32_t n = 1; n <= kLastListedPort; ++n) {
    const TProbe probe = probes[static_cast<size_t>(n - 1)];
    if (probe == TProbe::Absent) continue;
    TPortEntry e;
    e.Device = "COM" + std::to_string(n);
    e.State = StateOf(probe);
    for (const win32::TPortDevice& d : devices) {
      if (d.Port != n) continue;
      e.Description = d.FriendlyName;
      e.Vid = d.Vid;
      e.Pid = d.Pid;
      e.Serial = d.Serial;
      break;
    }
    Label(e, "Com " + std::to_string(n), e.Description, texts, extra);
    list.push_back(std::move(e));
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

namespace fs = std::filesystem;

// A sysfs attribute's text: its first line, without control characters or
// the spaces around it, at most 126 bytes (a USB string descriptor's
// length), cut before a character that would not fit whole. Empty when it
// cannot be read.
std::string Attribute(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  if (!in || !std::getline(in, line)) return std::string();
  if (line.size() > 126) {
    // The kernel cuts these texts by bytes: half a UTF-8 character would
    // make the label, and the JSON list, invalid text. A character's
    // continuation bytes are 10xxxxxx; step back to where it starts.
    size_t cut = 126;
    for (int i = 0; i < 3 && cut > 0 && (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80; ++i) --cut;
    line.resize(cut);
  }
  std::string out;
  for (const char c : line)
    if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7F) out.push_back(c);
  const size_t first = out.find_first_not_of(' ');
  if (first == std::string::npos) return std::string();
  return out.substr(first, out.find_last_not_of(' ') - first + 1);
}

std::string LowerHex4(const std::string& text) {
  if (text.size() != 4 || !std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isxdigit(c); }))
    return std::string();
  std::string out = text;
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

struct TSysfsInfo {
  bool Usb = false;
  std::string Description, Vid, Pid, Serial;
};

// What sysfs tells of the tty device name: /sys/class/tty/<name>/device
// leads to the device behind it, the USB serial port (ttyUSB) under its
// USB interface or the interface itself (ttyACM); the USB device, a level
// or two up, holds idVendor, idProduct, manufacturer, product and serial.
TSysfsInfo SysfsInfo(const std::string& sysfsRoot, const std::string& name) {
  TSysfsInfo info;
  std::error_code ec;
  fs::path dir = fs::canonical(fs::path(sysfsRoot) / "class" / "tty" / name / "device", ec);
  if (ec) return info;
  for (int up = 0; up < 3 && dir.has_relative_path(); ++up, dir = dir.parent_path()) {
    const std::string vid = LowerHex4(Attribute(dir / "idVendor"));
    const std::string pid = LowerHex4(Attribute(dir / "idProduct"));
    if (vid.empty() || pid.empty()) continue;
    info.Usb = true;
    info.Vid = vid;
    info.Pid = pid;
    info.Serial = Attribute(dir / "serial");
    const std::string maker = Attribute(dir / "manufacturer");
    const std::string product = Attribute(dir / "product");
    // Products often start with their maker's name already.
    if (maker.empty() || product.rfind(maker, 0) == 0) info.Description = product;
    else if (product.empty()) info.Description = maker;
    else info.Description = maker + " " + product;
    break;
  }
  return info;
}

// Whether a device this user may not open is really there. An on-board
// UART's node exists whether or not a UART answers behind it (the kernel
// makes ttyS0 to ttyS31); its sysfs type is that of the UART found, 0 for
// none. Other nodes exist only while their device does.
bool PresentBehindRefusal(const std::string& sysfsRoot, const std::string& name, const TSysfsInfo& info) {
  if (info.Usb || name.rfind("ttyS", 0) != 0) return true;
  const std::string type = Attribute(fs::path(sysfsRoot) / "class" / "tty" / name / "type");
  return !type.empty() && std::all_of(type.begin(), type.end(), [](unsigned char c) { return std::isdigit(c); }) &&
         std::stol(type.substr(0, 9)) != 0;
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

std::vector<TPortEntry> BuildPortList(const TLanguageStrings& texts, const TExtraStrings& extra,
                                      const TPortSources& sources) {
  const std::vector<std::string> devices = SerialDeviceCandidates(sources.DeviceFolder);
  std::vector<TProbeTarget> targets;
  for (const std::string& device : devices) targets.push_back({device, 0, sources.System});
  const std::vector<TProbe> probes = ProbeAll(targets, sources.ProbeLimitMs);
  std::vector<TPortEntry> list;
  for (size_t i = 0; i < devices.size(); ++i) {
    const std::string& device = devices[i];
    const TProbe probe = probes[i];
    if (probe == TProbe::Absent) continue;
    const std::string name = fs::path(device).filename().string();
    const TSysfsInfo info = SysfsInfo(sources.SysfsRoot, name);
    if (probe == TProbe::NoPermission && !PresentBehindRefusal(sources.SysfsRoot, name, info)) continue;
    TPortEntry e;
    e.Device = device;
    e.State = StateOf(probe);
    e.Description = info.Description;
    e.Vid = info.Vid;
    e.Pid = info.Pid;
    e.Serial = info.Serial;
    // "FTDI FT232R USB UART (0403:6001, A50285BI)"
    std::string ids = info.Usb ? info.Vid + ":" + info.Pid : std::string();
    if (!ids.empty() && !info.Serial.empty()) ids += ", " + info.Serial;
    std::string detail = info.Description;
    if (!ids.empty()) detail = detail.empty() ? ids : detail + " (" + ids + ")";
    Label(e, device, detail, texts, extra);
    list.push_back(std::move(e));
  }
  return list;
}

#endif

}  // namespace tarvex
