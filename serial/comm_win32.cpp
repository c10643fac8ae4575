// Windows platform file of the serial layer: every system call of the layer
// is here, made through the table of comm_win32_api.h.
//
// The port is a synchronous (not overlapped) handle and the program sets no
// read time-outs: it only ever reads bytes that ClearCommError has counted,
// so a read returns at once. Waiting for input is a poll of that count with
// 1 ms sleeps between polls; the timer resolution is raised to 1 ms while a
// port is open, or each sleep would last a whole 15.6 ms scheduler tick.
#include "serial/comm.h"
#include "serial/comm_win32_api.h"
#include "serial/windows_text.h"

#include <mmsystem.h>

#include <algorithm>
#include <bit>
#include <cctype>
#include <cstddef>
#include <cwchar>
#include <iterator>
#include <limits>

namespace tarvex {
namespace win32 {

TSerialApi& SerialApi() {
  static TSerialApi api;
  return api;
}

namespace {

constexpr const char* kDeviceNamespace = "\\\\.\\";

// "COM12", any letter case, with or without the old trailing colon: 12.
// 0 when the name is not of that form.
int32_t ComNumber(const std::string& name) {
  if (name.size() < 4) return 0;
  for (size_t i = 0; i < 3; ++i)
    if (std::toupper(static_cast<unsigned char>(name[i])) != "COM"[i]) return 0;
  size_t end = name.size();
  if (name.back() == ':') --end;
  if (end <= 3 || end - 3 > 9) return 0;
  int32_t n = 0;
  for (size_t i = 3; i < end; ++i) {
    if (!std::isdigit(static_cast<unsigned char>(name[i]))) return 0;
    n = n * 10 + (name[i] - '0');
  }
  return n;
}

}  // namespace

std::string DeviceName(int32_t port, const std::string& device) {
  if (device.empty()) return port > 0 ? kDeviceNamespace + std::string("COM") + std::to_string(port) : std::string();
  if (device.rfind(kDeviceNamespace, 0) == 0) return device;
  // "COM3:" is how the old DOS names were written; in the device namespace
  // only COM3 exists.
  const int32_t n = ComNumber(device);
  if (n > 0) return kDeviceNamespace + std::string("COM") + std::to_string(n);
  // Ports of other names (virtual port drivers) live in the same namespace.
  return kDeviceNamespace + device;
}

namespace {

// UTF-8, as every text of the program; control characters (a driver's
// stray line end) become spaces, since names go into one-line labels.
std::string OneLineUtf8(const wchar_t* text, size_t length) {
  while (length > 0 && text[length - 1] == L'\0') --length;
  std::string out = Utf8FromWide(std::wstring(text, length));
  for (char& c : out)
    if (static_cast<unsigned char>(c) < 0x20) c = ' ';
  return out;
}

// A string value read into a buffer of wide characters; empty when it is
// missing, of another type or longer than the buffer.
constexpr DWORD kTextChars = 512;

// "COM3" from a friendly name's end: "USB Serial Port (COM3)".
int32_t PortInName(const std::string& name) {
  const size_t open = name.rfind('(');
  if (open == std::string::npos || name.empty() || name.back() != ')') return 0;
  return ComNumber(name.substr(open + 1, name.size() - open - 2));
}

// The friendly name without the " (COM3)" that the ports class appends:
// the label shows the number already.
std::string WithoutPortSuffix(std::string name, int32_t port) {
  const size_t open = name.rfind('(');
  if (open != std::string::npos && PortInName(name) == port) {
    name.erase(open);
    while (!name.empty() && name.back() == ' ') name.pop_back();
  }
  return name;
}

std::string LowerHex4(const std::string& id, const char* key) {
  const size_t at = id.find(key);
  if (at == std::string::npos || at + 8 > id.size()) return std::string();
  std::string hex = id.substr(at + 4, 4);
  for (char& c : hex) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return std::string();
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return hex;
}

// A device instance id: "USB\VID_0403&PID_6001\A50285BI" for a USB
// device, whose last part is its serial number, or a number the system
// made up ("5&2B1C3D&0&2") when the device has none. Other buses (an FTDI
// driver's "FTDIBUS\VID_0403+PID_6001+A50285BIA\0000") name their
// vendor and product the same way.
void ReadInstanceId(const std::string& id, TPortDevice& d) {
  std::string upper = id;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  d.Vid = LowerHex4(upper, "VID_");
  d.Pid = LowerHex4(upper, "PID_");
  if (upper.rfind("USB\\", 0) == 0) {
    const size_t last = id.rfind('\\');
    if (last > 4 && last + 1 < id.size()) {
      const std::string serial = id.substr(last + 1);
      if (serial.find('&') == std::string::npos) d.Serial = serial;
    }
  }
}

}  // namespace

std::vector<TPortDevice> PortDevices() {
  TSerialApi& api = SerialApi();
  std::vector<TPortDevice> devices;
  const HDEVINFO set = api.getClassDevs(&kPortsClassGuid, nullptr, nullptr, DIGCF_PRESENT);
  if (set == INVALID_HANDLE_VALUE) return devices;
  // A bound, in case a list never says it has ended.
  for (DWORD i = 0; i < 4096; ++i) {
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    if (!api.enumDeviceInfo(set, i, &data)) break;
    TPortDevice d;
    wchar_t text[kTextChars + 1] = {};
    DWORD type = 0;

    // The port's name as the system assigned it, in the device's key.
    const HKEY key = api.openDevRegKey(set, &data, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key != nullptr && key != INVALID_HANDLE_VALUE) {
      DWORD bytes = kTextChars * sizeof(wchar_t);
      if (api.regQueryValue(key, L"PortName", nullptr, &type, reinterpret_cast<BYTE*>(text), &bytes) == ERROR_SUCCESS &&
          type == REG_SZ)
        d.Port = ComNumber(OneLineUtf8(text, bytes / sizeof(wchar_t)));
      api.regCloseKey(key);
    }

    std::fill(std::begin(text), std::end(text), L'\0');
    DWORD bytes = 0;
    if (api.getDeviceRegistryProperty(set, &data, SPDRP_FRIENDLYNAME, &type, reinterpret_cast<BYTE*>(text),
                                      kTextChars * sizeof(wchar_t), &bytes) &&
        type == REG_SZ) {
      const std::string name = OneLineUtf8(text, std::min<DWORD>(bytes, kTextChars * sizeof(wchar_t)) / sizeof(wchar_t));
      if (d.Port == 0) d.Port = PortInName(name);
      d.FriendlyName = WithoutPortSuffix(name, d.Port);
    }

    std::fill(std::begin(text), std::end(text), L'\0');
    if (api.getDeviceInstanceId(set, &data, text, kTextChars, nullptr))
      ReadInstanceId(OneLineUtf8(text, std::wcslen(text)), d);

    // LPT ports share the class; only numbered serial ports are listed.
    if (d.Port > 0) devices.push_back(d);
  }
  api.destroyDeviceInfoList(set);
  return devices;
}

}  // namespace win32

namespace {

using win32::SerialApi;

// The record mirrors the DCB field for field (comm.h keeps <windows.h> out
// of every other file); the two are copied bit for bit.
static_assert(sizeof(TDeviceControlBlock) == sizeof(DCB));
static_assert(offsetof(TDeviceControlBlock, BaudRate) == offsetof(DCB, BaudRate));
static_assert(offsetof(TDeviceControlBlock, Flags) == offsetof(DCB, BaudRate) + sizeof(DWORD));
static_assert(offsetof(TDeviceControlBlock, wReserved) == offsetof(DCB, wReserved));
static_assert(offsetof(TDeviceControlBlock, XonLim) == offsetof(DCB, XonLim));
static_assert(offsetof(TDeviceControlBlock, XoffLim) == offsetof(DCB, XoffLim));
static_assert(offsetof(TDeviceControlBlock, ByteSize) == offsetof(DCB, ByteSize));
static_assert(offsetof(TDeviceControlBlock, Parity) == offsetof(DCB, Parity));
static_assert(offsetof(TDeviceControlBlock, StopBits) == offsetof(DCB, StopBits));
static_assert(offsetof(TDeviceControlBlock, XonChar) == offsetof(DCB, XonChar));
static_assert(offsetof(TDeviceControlBlock, EvtChar) == offsetof(DCB, EvtChar));
static_assert(offsetof(TDeviceControlBlock, wReserved1) == offsetof(DCB, wReserved1));
// The record's indices are the system's own codes.
static_assert(NOPARITY == 0 && ODDPARITY == 1 && EVENPARITY == 2 && MARKPARITY == 3 && SPACEPARITY == 4);
static_assert(ONESTOPBIT == 0 && ONE5STOPBITS == 1 && TWOSTOPBITS == 2);

// The DCB's one-bit flags as one word: binary mode (bit 0), parity checking
// (bit 1) and transmission going on after XOFF (bit 7); no CTS, DSR or
// XON/XOFF handshaking, DTR and RTS disabled, no byte replaced or dropped on
// a parity error, no abort on errors.
constexpr uint32_t kFlagWord = 131;
constexpr DWORD kQueueBytes = 1200;  // holds the largest reply, 1031 bytes
constexpr DWORD kPollMs = 1;

HANDLE Handle(const TComm& comm) { return reinterpret_cast<HANDLE>(comm.Handle); }

void Fail(TComm& comm, TCommError kind, DWORD err) {
  comm.LastError = kind;
  comm.LastSystemError = static_cast<int>(err);
  comm.LastErrorText = err ? SystemErrorText(err, true) : std::string();
}

// Errors of an open handle that mean the device is gone (a USB adapter
// pulled out) rather than one failed transfer.
bool LineGone(DWORD err) {
  switch (err) {
    case ERROR_BAD_COMMAND:
    case ERROR_GEN_FAILURE:
    case ERROR_DEVICE_REMOVED:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_NOT_READY:
    case ERROR_INVALID_HANDLE:
    case ERROR_ACCESS_DENIED:
    case ERROR_OPERATION_ABORTED: return true;
    default: return false;
  }
}

void ApplySettings(const TComm& comm, TDeviceControlBlock& d) {
  d.Flags = kFlagWord;
  if (comm.BaudIndex < kBaudIndexCount) d.BaudRate = static_cast<uint32_t>(kBaudTable[comm.BaudIndex]);
  if (comm.ParityIndex <= 4) d.Parity = comm.ParityIndex;
  if (comm.DataBitsIndex <= 4) d.ByteSize = static_cast<uint8_t>(comm.DataBitsIndex + 4);
  if (comm.StopBitsIndex <= 2) d.StopBits = comm.StopBitsIndex;
}

class TWin32CommSystem final : public TCommSystem {
 public:
  bool Open(TComm& comm) override;
  void Close(TComm& comm) override;
  int32_t Queued(TComm& comm) override;
  void Write(TComm& comm, const uint8_t* src, uint16_t count) override;
  void Read(TComm& comm, uint8_t* dst, uint16_t count) override;
  void WaitForInput(TComm& comm, int64_t timeoutMs) override;
  int64_t NowMs() override;
  void SleepMs(int64_t ms) override;
  std::string Describe(const TComm& comm) override;
};

}  // namespace

TCommSystem& PlatformCommSystem() {
  static TWin32CommSystem system;
  return system;
}

bool TWin32CommSystem::Open(TComm& comm) {
  win32::TSerialApi& api = SerialApi();
  const std::string name = win32::DeviceName(comm.Port, comm.Device);
  if (name.empty()) {
    Fail(comm, TCommError::NoDevice, 0);
    comm.LastErrorText = "no serial port selected";
    return false;
  }
  // Exclusive (no sharing), existing devices only, synchronous.
  const HANDLE h = api.createFile(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD err = api.getLastError();
    TCommError kind = TCommError::Other;
    // Windows answers "access denied" for a port that another program holds.
    if (err == ERROR_ACCESS_DENIED || err == ERROR_SHARING_VIOLATION) kind = TCommError::InUse;
    else if (err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND) kind = TCommError::NoDevice;
    Fail(comm, kind, err);
    return false;
  }
  comm.Handle = reinterpret_cast<intptr_t>(h);
  ::timeBeginPeriod(kPollMs);

  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!api.getCommState(h, &dcb)) {
    // A handle that has no control block is not a serial port (a printer,
    // NUL). The handle stays held until CloseComm.
    const DWORD err = api.getLastError();
    Fail(comm, err == ERROR_INVALID_FUNCTION || err == ERROR_NOT_SUPPORTED ? TCommError::NotSerial : TCommError::Settings,
         err);
    return false;
  }
  comm.DCB = std::bit_cast<TDeviceControlBlock>(dcb);
  ApplySettings(comm, comm.DCB);
  dcb = std::bit_cast<DCB>(comm.DCB);
  if (!api.setCommState(h, &dcb)) {
    Fail(comm, TCommError::Settings, api.getLastError());
    return false;
  }
  // A request: drivers may keep queues of their own size.
  api.setupComm(h, kQueueBytes, kQueueBytes);
  return true;
}

void TWin32CommSystem::Close(TComm& comm) {
  if (!SerialApi().closeHandle(Handle(comm))) return;
  comm.Handle = -1;
  ::timeEndPeriod(kPollMs);
}

int32_t TWin32CommSystem::Queued(TComm& comm) {
  win32::TSerialApi& api = SerialApi();
  DWORD errors = 0;
  COMSTAT status{};
  // Also clears pending line errors (parity, framing, overrun): the
  // protocol's check bytes catch the bytes they spoilt.
  if (!api.clearCommError(Handle(comm), &errors, &status)) {
    // A healthy port always answers its status; one that does not is gone.
    comm.LineLost = true;
    return 0;
  }
  return static_cast<int32_t>(std::min<DWORD>(status.cbInQue, std::numeric_limits<int32_t>::max()));
}

void TWin32CommSystem::Write(TComm& comm, const uint8_t* src, uint16_t count) {
  win32::TSerialApi& api = SerialApi();
  DWORD done = 0;
  while (done < count) {
    DWORD n = 0;
    if (!api.writeFile(Handle(comm), src + done, count - done, &n, nullptr)) {
      if (LineGone(api.getLastError())) comm.LineLost = true;
      return;
    }
    // Nothing written: a write time-out left by another program. The
    // protocol sees the missing bytes as a missing echo.
    if (n == 0) return;
    done += n;
  }
}

void TWin32CommSystem::Read(TComm& comm, uint8_t* dst, uint16_t count) {
  win32::TSerialApi& api = SerialApi();
  DWORD done = 0;
  while (done < count) {
    DWORD n = 0;
    if (!api.readFile(Handle(comm), dst + done, count - done, &n, nullptr)) {
      if (LineGone(api.getLastError())) comm.LineLost = true;
      return;
    }
    if (n == 0) return;
    done += n;
  }
}

void TWin32CommSystem::WaitForInput(TComm& comm, int64_t timeoutMs) {
  // Synchronous handles offer no wait with a time limit (WaitCommEvent would
  // block until a byte comes, however long), so poll the count.
  const int64_t deadline = NowMs() + timeoutMs;
  for (;;) {
    if (Queued(comm) > 0 || comm.LineLost) return;
    const int64_t left = deadline - NowMs();
    if (left <= 0) return;
    SerialApi().sleep(static_cast<DWORD>(std::min<int64_t>(left, kPollMs)));
  }
}

int64_t TWin32CommSystem::NowMs() {
  win32::TSerialApi& api = SerialApi();
  // Asked every time (it costs next to nothing): a test's clock may count
  // at a rate of its own.
  LARGE_INTEGER f{};
  api.queryPerformanceFrequency(&f);
  const int64_t frequency = f.QuadPart > 0 ? static_cast<int64_t>(f.QuadPart) : 1000;
  LARGE_INTEGER c{};
  api.queryPerformanceCounter(&c);
  const int64_t ticks = c.QuadPart;
  // In two steps, so that the multiplication cannot overflow.
  return ticks / frequency * 1000 + ticks % frequency * 1000 / frequency;
}

void TWin32CommSystem::SleepMs(int64_t ms) {
  while (ms > 0) {
    // INFINITE is a DWORD too: stay below it.
    const DWORD piece = static_cast<DWORD>(std::min<int64_t>(ms, 0x7FFFFFFF));
    SerialApi().sleep(piece);
    ms -= piece;
  }
}

std::string TWin32CommSystem::Describe(const TComm& comm) {
  std::string dev = comm.Device;
  if (dev.empty()) dev = comm.Port > 0 ? "COM" + std::to_string(comm.Port) : std::string("(none)");
  switch (comm.LastError) {
    case TCommError::None: return std::string();
    case TCommError::NoDevice: return dev + ": no such serial port";
    case TCommError::InUse: return dev + ": the port is in use by another program";
    case TCommError::AccessDenied: return dev + ": access denied";
    case TCommError::NotSerial: return dev + ": not a serial port";
    case TCommError::Settings: return dev + ": the port refused the line settings (" + comm.LastErrorText + ")";
    case TCommError::Other: break;
  }
  return dev + ": " + comm.LastErrorText;
}

}  // namespace tarvex
