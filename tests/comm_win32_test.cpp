// The Windows serial layer against stand-ins for its system calls: device
// names, the control block it writes, the errors it tells apart (a port held
// by another program answers "access denied", which no Wine port does), the
// queue count and the waits, and the port list built on top of it. The
// stand-ins keep a virtual clock (the layer's performance counter and its
// sleeps), so the whole-second waits are checked to the millisecond without
// waiting; one smoke test runs a wait on the real clock.
#include <gtest/gtest.h>

#include "serial/comm.h"
#include "serial/comm_win32_api.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "app/connection.h"
#include "app/languages.h"
#include "app/session.h"
#include "tests/test_session.h"
#include "tests/test_time.h"

namespace tarvex {
namespace {

using Clock = std::chrono::steady_clock;

// What the stand-ins answer, and what they were asked.
struct TFakeSerial {
  // Devices that open; any other name fails with missingError.
  std::vector<std::string> present;
  // Devices that fail to open with their own error.
  std::map<std::string, DWORD> openErrors;
  DWORD missingError = ERROR_FILE_NOT_FOUND;
  DWORD getStateError = 0;  // non-zero: GetCommState fails with it
  std::map<std::string, DWORD> setStateErrors;  // per device
  bool closeFails = false;
  bool statusFails = false;
  DWORD readLimit = 0xFFFFFFFF;  // most bytes one ReadFile hands out
  DCB reported{};                // what GetCommState reports

  std::deque<uint8_t> input;
  // Bytes that reach the input queue only at a given time of the virtual
  // clock (milliseconds).
  std::vector<std::pair<int64_t, uint8_t>> later;

  // The virtual clock, in microseconds, as the performance counter reads it
  // (1 MHz); Sleep moves it on. Every sleep is kept.
  int64_t nowUs = 7'000'000;
  std::vector<DWORD> sleeps;
  // Counter reads since the last sleep: a wait that never sleeps would
  // read it for ever. Past a million reads the clock moves on by itself
  // (so such a wait still ends) and spun is set.
  int readsSinceSleep = 0;
  bool spun = false;
  int64_t NowMs() const { return nowUs / 1000; }
  std::vector<uint8_t> written;

  std::vector<std::string> calls;
  std::vector<std::string> openedNames;
  DWORD openAccess = 0, openShare = 0xFFFF, openDisposition = 0, openFlags = 0xFFFF;
  std::vector<DCB> setStates;
  std::vector<std::pair<DWORD, DWORD>> queueSizes;
  std::map<HANDLE, std::string> handles;  // open handles and their devices
  int statusCalls = 0;
  int nextHandle = 0x100;

  // The device manager's ports class: what SetupAPI lists.
  struct TDevice {
    std::wstring portName;    // the PortName value of its key; empty: no key
    std::wstring friendly;    // empty: no friendly name
    std::wstring instanceId;
    bool terminated = true;   // whether the registry value ends with its NUL
  };
  std::vector<TDevice> devices;
  bool noDeviceList = false;
  const GUID* askedClass = nullptr;
  DWORD askedFlags = 0;
  int listsOpen = 0;
  int keysOpen = 0;

  void Arrive() {
    const int64_t now = NowMs();
    for (auto it = later.begin(); it != later.end();) {
      if (it->first <= now) {
        input.push_back(it->second);
        it = later.erase(it);
      } else {
        ++it;
      }
    }
  }
};

TFakeSerial* fake = nullptr;

// The port list probes its ports side by side: the stand-ins take turns,
// and each thread has its own last error, as the system's.
std::recursive_mutex& FakeLock() {
  static std::recursive_mutex m;
  return m;
}
thread_local DWORD fakeLastError = 0;

HANDLE WINAPI FakeCreateFile(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES, DWORD disposition,
                             DWORD flags, HANDLE) {
  const std::lock_guard<std::recursive_mutex> guard(FakeLock());
  const std::string device = name;
  fake->calls.push_back("CreateFile " + device);
  fake->openedNames.push_back(device);
  fake->openAccess = access;
  fake->openShare = share;
  fake->openDisposition = disposition;
  fake->openFlags = flags;
  if (auto it = fake->openErrors.find(device); it != fake->openErrors.end()) {
    fakeLastError = it->second;
    return INVALID_HANDLE_VALUE;
  }
  if (std::find(fake->present.begin(), fake->present.end(), device) == fake->present.end()) {
    fakeLastError = fake->missingError;
    return INVALID_HANDLE_VALUE;
  }
  const HANDLE h = reinterpret_cast<HANDLE>(static_cast<intptr_t>(fake->nextHandle++));
  fake->handles[h] = device;
  return h;
}

DWORD WINAPI FakeGetLastError() { return fakeLastError; }

BOOL WINAPI FakeQueryPerformanceFrequency(LARGE_INTEGER* f) {
  const std::lock_guard<std::recursive_mutex> guard(FakeLock());
  f->QuadPart = 1'000'000;
  return TRUE;
}

BOOL WINAPI FakeQueryPerformanceCounter(LARGE_INTEGER* c) {
  const std::lock_guard<std::recursive_mutex> guard(FakeLock());
  if (++fake->readsSinceSleep > 1'000'000) {
    fake->spun = true;
    fake->nowUs += 1000;
  }
  c->QuadPart = fake->nowUs;
  return TRUE;
}

VOID WINAPI FakeSleep(DWORD ms) {
  const std::lock_guard<std::recursive_mutex> guard(FakeLock());
  fake->sleeps.push_back(ms);
  fake->readsSinceSleep = 0;
  fake->nowUs += int64_t{ms} * 1000;
}

BOOL WINAPI FakeGetCommState(HANDLE h, LPDCB dcb) {
  const std::lock_guard<std::recursive_mutex> guard(FakeLock());
  fake->calls.push_back("GetCommState");
  EXPECT_TRUE(fake->handles.count(h)) << "GetCommState on a handle that is not open";
  EXPECT_EQ(dcb->DCBlength, sizeof(DCB)) << "the caller sets the length before asking";
  if (fake->getStateError) {
    fakeLastError = fake->getStateError;
    return FALSE;
  }
  *dcb = fake->reported;
  dcb->DCBlength = sizeof(DCB);
  return TRUE;
}

BOOL WINAPI FakeSetCommState(HANDLE h, LPDCB dcb) {
  const std::lock_guard<std::recursive_mutex> guard(FakeLock());
  fake->calls.push_back("SetCommState");
  fake->setStates.push_back(*dcb);
  if (auto it = fake->setStateErrors.find(fake->handles[h]); it != fake->setStateErrors.end()) {
    fakeLastError = it->second;
    return FALSE;
  }
  return TRUE;
}

BOOL WINAPI FakeSetupComm(HANDLE, DWORD in, DWORD out) {
  const std::lock_guard<std::recursive_mutex> guard(FakeLock());
  fake->calls.push_back("SetupComm");
  fake->queueSizes.emplace_back(in, out);
  return TRUE;
}

BOOL WINAPI FakeClearCommError(HANDLE h, LPDWORD errors, LPCOMSTAT status) {
  const std::lock_guard<std::recursive_mutex> guard(FakeLock());
  ++fake->statusCalls;
  EXPECT_TRUE(fake->handles.count(h)) << "status of a handle that is not open";
  if (fake->statusFails) {
    fakeLastError = ERROR_BAD_COMMAND;
    return FALSE;
  }
  fake->Arrive();
  if (errors) *errors = 0;
  if (status) {
    *status = COMSTAT{};
    status->cbInQue = static_cast<DWORD>(fake->input.size());
  }
  return TRUE;
}

BOOL WINAPI FakeReadFile(HANDLE, LPVOID dst, DWORD count, LPDWORD got, LPOVERLAPPED overlapped) {
  const std::lock_guard<std::recursive_mutex> guard(FakeLock());
  EXPECT_EQ(overlapped, nullptr);
  const DWORD n = std::min<DWORD>({count, fake->readLimit, static_cast<DWORD>(fake->input.size())});
  for (DWORD i = 0; i < n; ++i) {
    static_cast<uint8_t*>(dst)[i] = fake->input.front();
    fake->input.pop_front();
  }
  *got = n;
  return TRUE;
}

BOOL WINAPI FakeWriteFile(HANDLE, LPCVOID src, DWORD count, LPDWORD done, LPOVERLAPPED overlapped) {
  const std::lock_guard<std::recursive_mutex> guard(FakeLock());
  EXPECT_EQ(overlapped, nullptr);
  const auto* bytes = static_cast<const uint8_t*>(src);
  // Half of it at a time: the layer must go on until everything is out.
  const DWORD n = count > 1 ? count / 2 : count;
  fake->written.insert(fake->written.end(), bytes, bytes + n);
  *done = n;
  return TRUE;
}

BOOL WINAPI FakeCloseHandle(HANDLE h) {
  const std::lock_guard<std::recursive_mutex> guard(FakeLock());
  fake->calls.push_back("CloseHandle");
  if (fake->closeFails) {
    fakeLastError = ERROR_GEN_FAILURE;
    return FALSE;
  }
  EXPECT_EQ(fake->handles.erase(h), 1u) << "closing a handle that is not open";
  return TRUE;
}

constexpr ULONG_PTR kDeviceList = 0x5000;

HDEVINFO WINAPI FakeGetClassDevs(const GUID* cls, PCWSTR enumerator, HWND, DWORD flags) {
  const std::lock_guard<std::recursive_mutex> guard(FakeLock());
  fake->askedClass = cls;
  fake->askedFlags = flags;
  EXPECT_EQ(enumerator, nullptr);
  if (fake->noDeviceList) {
    fakeLastError = ERROR_INVALID_DATA;
    return INVALID_HANDLE_VALUE;
  }
  ++fake->listsOpen;
  return reinterpret_cast<HDEVINFO>(kDeviceList);
}

// The member's index travels in DevInst.
const TFakeSerial::TDevice* Member(HDEVINFO set, PSP_DEVINFO_DATA data) {
  EXPECT_EQ(reinterpret_cast<ULONG_PTR>(set), kDeviceList);
  if (!data || data->DevInst >= fake->devices.size()) return nullptr;
  return &fake->devices[data->DevInst];
}

BOOL WINAPI FakeEnumDeviceInfo(HDEVINFO set, DWORD index, PSP_DEVINFO_DATA data) {
  const std::lock_guard<std::recursive_mutex> guard(FakeLock());
  EXPECT_EQ(reinterpret_cast<ULONG_PTR>(set), kDeviceList);
  EXPECT_EQ(data->cbSize, sizeof(SP_DEVINFO_DATA)) << "the caller sets the size before asking";
  if (index >= fake->devices.size()) {
    fakeLastError = ERROR_NO_MORE_ITEMS;
    return FALSE;
  }
  data->DevInst = index;
  return TRUE;
}

BOOL WINAPI FakeGetDeviceRegistryProperty(HDEVINFO set, PSP_DEVINFO_DATA data, DWORD property, PDWORD type,
                                          PBYTE buffer, DWORD size, PDWORD required) {
  const std::lock_guard<std::recursive_mutex> guard(FakeLock());
  const TFakeSerial::TDevice* d = Member(set, data);
  EXPECT_EQ(property, static_cast<DWORD>(SPDRP_FRIENDLYNAME));
  if (!d || d->friendly.empty()) {
    fakeLastError = ERROR_INVALID_DATA;
    return FALSE;
  }
  const DWORD bytes = static_cast<DWORD>((d->friendly.size() + 1) * sizeof(wchar_t));
  if (required) *required = bytes;
  if (size < bytes) {
    fakeLastError = ERROR_INSUFFICIENT_BUFFER;
    return FALSE;
  }
  std::memcpy(buffer, d->friendly.c_str(), bytes);
  if (type) *type = REG_SZ;
  return TRUE;
}

BOOL WINAPI FakeGetDeviceInstanceId(HDEVINFO set, PSP_DEVINFO_DATA data, PWSTR buffer, DWORD chars, PDWORD required) {
  const std::lock_guard<std::recursive_mutex> guard(FakeLock());
  const TFakeSerial::TDevice* d = Member(set, data);
  if (!d) return FALSE;
  if (required) *required = static_cast<DWORD>(d->instanceId.size() + 1);
  if (chars < d->instanceId.size() + 1) {
    fakeLastError = ERROR_INSUFFICIENT_BUFFER;
    return FALSE;
  }
  std::memcpy(buffer, d->instanceId.c_str(), (d->instanceId.size() + 1) * sizeof(wchar_t));
  return TRUE;
}

HKEY WINAPI FakeOpenDevRegKey(HDEVINFO set, PSP_DEVINFO_DATA data, DWORD scope, DWORD, DWORD keyType, REGSAM access) {
  const std::lock_guard<std::recursive_mutex> guard(FakeLock());
  const TFakeSerial::TDevice* d = Member(set, data);
  EXPECT_EQ(scope, static_cast<DWORD>(DICS_FLAG_GLOBAL));
  EXPECT_EQ(keyType, static_cast<DWORD>(DIREG_DEV)) << "PortName lives in the device's hardware key";
  EXPECT_EQ(access & KEY_WRITE & ~KEY_READ, 0u) << "read only";
  if (!d || d->portName.empty()) {
    fakeLastError = ERROR_FILE_NOT_FOUND;
    return reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE);
  }
  ++fake->keysOpen;
  return reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x7000 + data->DevInst));
}

LONG WINAPI FakeRegQueryValue(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE buffer, LPDWORD size) {
  const std::lock_guard<std::recursive_mutex> guard(FakeLock());
  EXPECT_EQ(reserved, nullptr);
  EXPECT_EQ(std::wstring(name), L"PortName");
  const size_t index = reinterpret_cast<ULONG_PTR>(key) - 0x7000;
  if (index >= fake->devices.size()) return ERROR_INVALID_HANDLE;
  const TFakeSerial::TDevice& d = fake->devices[index];
  // The registry hands out what was stored: a value written without its
  // terminating NUL comes back without it.
  const DWORD bytes = static_cast<DWORD>((d.portName.size() + (d.terminated ? 1 : 0)) * sizeof(wchar_t));
  if (*size < bytes) {
    *size = bytes;
    return ERROR_MORE_DATA;
  }
  std::memcpy(buffer, d.portName.c_str(), bytes);
  *size = bytes;
  if (type) *type = REG_SZ;
  return ERROR_SUCCESS;
}

LONG WINAPI FakeRegCloseKey(HKEY) {
  const std::lock_guard<std::recursive_mutex> guard(FakeLock());
  --fake->keysOpen;
  return ERROR_SUCCESS;
}

BOOL WINAPI FakeDestroyDeviceInfoList(HDEVINFO set) {
  const std::lock_guard<std::recursive_mutex> guard(FakeLock());
  EXPECT_EQ(reinterpret_cast<ULONG_PTR>(set), kDeviceList);
  --fake->listsOpen;
  return TRUE;
}

// Puts the stand-ins into the layer's table for the life of a test.
class Win32Comm : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = win32::SerialApi();
    fake = &sys;
    win32::TSerialApi& api = win32::SerialApi();
    api.createFile = FakeCreateFile;
    api.getLastError = FakeGetLastError;
    api.getCommState = FakeGetCommState;
    api.setCommState = FakeSetCommState;
    api.setupComm = FakeSetupComm;
    api.clearCommError = FakeClearCommError;
    api.readFile = FakeReadFile;
    api.writeFile = FakeWriteFile;
    api.closeHandle = FakeCloseHandle;
    api.getClassDevs = FakeGetClassDevs;
    api.enumDeviceInfo = FakeEnumDeviceInfo;
    api.getDeviceRegistryProperty = FakeGetDeviceRegistryProperty;
    api.getDeviceInstanceId = FakeGetDeviceInstanceId;
    api.openDevRegKey = FakeOpenDevRegKey;
    api.regQueryValue = FakeRegQueryValue;
    api.regCloseKey = FakeRegCloseKey;
    api.destroyDeviceInfoList = FakeDestroyDeviceInfoList;
    api.queryPerformanceCounter = FakeQueryPerformanceCounter;
    api.queryPerformanceFrequency = FakeQueryPerformanceFrequency;
    api.sleep = FakeSleep;
  }
  void TearDown() override {
    // A probe left behind by the port list must not outlive the stand-ins.
    WaitForPortProbes();
    win32::SerialApi() = saved_;
    fake = nullptr;
  }

  // The panel link's record: 115200 baud, even parity, 8 bits, one stop bit.
  static TComm PanelLink(int32_t port) {
    TComm c;
    c.Port = port;
    return c;
  }

  TFakeSerial sys;

 private:
  win32::TSerialApi saved_;
};

// The flag word of a control block: the 32 bits after BaudRate.
uint32_t FlagWord(const DCB& d) {
  uint32_t word = 0;
  std::memcpy(&word, reinterpret_cast<const char*>(&d) + offsetof(DCB, BaudRate) + sizeof(DWORD), sizeof word);
  return word;
}

TEST(Win32DeviceName, EveryPortGoesThroughTheDeviceNamespace) {
  EXPECT_EQ(win32::DeviceName(3, ""), "\\\\.\\COM3");
  EXPECT_EQ(win32::DeviceName(12, ""), "\\\\.\\COM12");
  EXPECT_EQ(win32::DeviceName(256, ""), "\\\\.\\COM256");
  EXPECT_EQ(win32::DeviceName(0, ""), "") << "no port selected";
  // A device name wins over the number.
  EXPECT_EQ(win32::DeviceName(1, "COM12"), "\\\\.\\COM12");
  EXPECT_EQ(win32::DeviceName(0, "com7"), "\\\\.\\COM7");
  EXPECT_EQ(win32::DeviceName(0, "COM10:"), "\\\\.\\COM10") << "the old DOS form";
  EXPECT_EQ(win32::DeviceName(0, "\\\\.\\COM42"), "\\\\.\\COM42");
  EXPECT_EQ(win32::DeviceName(0, "CNCA0"), "\\\\.\\CNCA0") << "virtual ports of other names";
}

TEST_F(Win32Comm, OpensExclusiveSynchronousAndExistingOnly) {
  sys.present = {"\\\\.\\COM12"};
  TComm c = PanelLink(12);
  ASSERT_TRUE(OpenComm(c)) << DescribeCommError(c);
  EXPECT_EQ(sys.openedNames, std::vector<std::string>{"\\\\.\\COM12"});
  EXPECT_EQ(sys.openAccess, static_cast<DWORD>(GENERIC_READ | GENERIC_WRITE));
  EXPECT_EQ(sys.openShare, 0u) << "no sharing";
  EXPECT_EQ(sys.openDisposition, static_cast<DWORD>(OPEN_EXISTING));
  EXPECT_EQ(sys.openFlags, 0u) << "not overlapped";
  EXPECT_NE(c.Handle, -1);
  EXPECT_EQ(c.LastError, TCommError::None);
  EXPECT_EQ(sys.calls, (std::vector<std::string>{"CreateFile \\\\.\\COM12", "GetCommState", "SetCommState", "SetupComm"}));
  EXPECT_EQ(sys.queueSizes, (std::vector<std::pair<DWORD, DWORD>>{{1200, 1200}}));
  CloseComm(c);
  EXPECT_EQ(c.Handle, -1);
  EXPECT_TRUE(sys.handles.empty());
}

TEST_F(Win32Comm, WritesTheLineSettingsAndFlagWord131) {
  sys.present = {"\\\\.\\COM3"};
  // Whatever the port held before: every flag set, another format.
  std::memset(&sys.reported, 0xFF, sizeof sys.reported);
  sys.reported.BaudRate = 1200;
  sys.reported.XonLim = 77;
  sys.reported.XoffLim = 88;
  sys.reported.ByteSize = 7;
  sys.reported.Parity = ODDPARITY;
  sys.reported.StopBits = TWOSTOPBITS;
  sys.reported.XonChar = 0x11;
  sys.reported.XoffChar = 0x13;
  sys.reported.EofChar = 0x1A;
  sys.reported.EvtChar = 0x7E;

  TComm c = PanelLink(3);
  ASSERT_TRUE(OpenComm(c));
  ASSERT_EQ(sys.setStates.size(), 1u);
  const DCB& d = sys.setStates[0];
  EXPECT_EQ(d.DCBlength, sizeof(DCB));
  EXPECT_EQ(d.BaudRate, 115200u);
  EXPECT_EQ(d.Parity, EVENPARITY);
  EXPECT_EQ(d.ByteSize, 8);
  EXPECT_EQ(d.StopBits, ONESTOPBIT);
  EXPECT_EQ(FlagWord(d), 131u);
  // The same word, flag by flag: raw bytes, parity checked, no handshaking,
  // DTR and RTS held inactive.
  EXPECT_EQ(d.fBinary, 1u);
  EXPECT_EQ(d.fParity, 1u);
  EXPECT_EQ(d.fOutxCtsFlow, 0u);
  EXPECT_EQ(d.fOutxDsrFlow, 0u);
  EXPECT_EQ(d.fDtrControl, static_cast<DWORD>(DTR_CONTROL_DISABLE));
  EXPECT_EQ(d.fDsrSensitivity, 0u);
  EXPECT_EQ(d.fTXContinueOnXoff, 1u);
  EXPECT_EQ(d.fOutX, 0u);
  EXPECT_EQ(d.fInX, 0u);
  EXPECT_EQ(d.fErrorChar, 0u);
  EXPECT_EQ(d.fNull, 0u);
  EXPECT_EQ(d.fRtsControl, static_cast<DWORD>(RTS_CONTROL_DISABLE));
  EXPECT_EQ(d.fAbortOnError, 0u);
  // The rest stays as the port reported it.
  EXPECT_EQ(d.XonLim, 77);
  EXPECT_EQ(d.XoffLim, 88);
  EXPECT_EQ(d.XonChar, 0x11);
  EXPECT_EQ(d.XoffChar, 0x13);
  EXPECT_EQ(d.EofChar, 0x1A);
  EXPECT_EQ(d.EvtChar, 0x7E);
  // The record keeps the block as written.
  static_assert(sizeof(c.DCB) == sizeof(DCB));
  EXPECT_EQ(std::memcmp(&c.DCB, &d, sizeof d), 0);
  CloseComm(c);
}

TEST_F(Win32Comm, EveryIndexMapsToTheSystemsValueAndOthersKeepWhatWasReported) {
  sys.present = {"\\\\.\\COM1"};
  const DWORD rates[13] = {110, 300, 600, 1200, 2400, 4800, 9600, 14400, 19200, 38400, 57600, 115200, 256000};
  for (uint8_t i = 0; i < 13; ++i) {
    TComm c = PanelLink(1);
    c.BaudIndex = i;
    ASSERT_TRUE(OpenComm(c));
    EXPECT_EQ(sys.setStates.back().BaudRate, rates[i]) << "index " << int{i};
    CloseComm(c);
  }
  const BYTE parities[5] = {NOPARITY, ODDPARITY, EVENPARITY, MARKPARITY, SPACEPARITY};
  for (uint8_t i = 0; i < 5; ++i) {
    TComm c = PanelLink(1);
    c.ParityIndex = i;
    c.DataBitsIndex = i;
    c.StopBitsIndex = static_cast<uint8_t>(i % 3);
    ASSERT_TRUE(OpenComm(c));
    EXPECT_EQ(sys.setStates.back().Parity, parities[i]);
    EXPECT_EQ(sys.setStates.back().ByteSize, i + 4) << "index " << int{i} << " stands for " << i + 4 << " bits";
    const BYTE stops[3] = {ONESTOPBIT, ONE5STOPBITS, TWOSTOPBITS};
    EXPECT_EQ(sys.setStates.back().StopBits, stops[i % 3]);
    CloseComm(c);
  }

  sys.reported.BaudRate = 4321;
  sys.reported.Parity = SPACEPARITY;
  sys.reported.ByteSize = 6;
  sys.reported.StopBits = ONE5STOPBITS;
  TComm c = PanelLink(1);
  c.BaudIndex = 13;
  c.ParityIndex = 5;
  c.DataBitsIndex = 5;
  c.StopBitsIndex = 3;
  ASSERT_TRUE(OpenComm(c));
  const DCB& d = sys.setStates.back();
  EXPECT_EQ(d.BaudRate, 4321u);
  EXPECT_EQ(d.Parity, SPACEPARITY);
  EXPECT_EQ(d.ByteSize, 6);
  EXPECT_EQ(d.StopBits, ONE5STOPBITS);
  EXPECT_EQ(FlagWord(d), 131u) << "the flag word is set whatever the indices";
  CloseComm(c);
}

TEST_F(Win32Comm, APortHeldByAnotherProgramIsInUse) {
  sys.openErrors["\\\\.\\COM4"] = ERROR_ACCESS_DENIED;
  TComm c = PanelLink(4);
  EXPECT_FALSE(OpenComm(c));
  EXPECT_EQ(c.Handle, -1);
  EXPECT_EQ(c.LastError, TCommError::InUse);
  EXPECT_EQ(c.LastSystemError, 5);
  EXPECT_EQ(sys.calls, std::vector<std::string>{"CreateFile \\\\.\\COM4"}) << "nothing more is asked of it";
  const std::string text = DescribeCommError(c);
  EXPECT_NE(text.find("COM4"), std::string::npos) << text;
  EXPECT_NE(text.find("in use"), std::string::npos) << text;
}

TEST_F(Win32Comm, MissingPortsAndOtherFailures) {
  TComm c = PanelLink(9);
  EXPECT_FALSE(OpenComm(c));
  EXPECT_EQ(c.LastError, TCommError::NoDevice);
  EXPECT_EQ(c.LastSystemError, static_cast<int>(ERROR_FILE_NOT_FOUND));

  sys.missingError = ERROR_PATH_NOT_FOUND;
  EXPECT_FALSE(OpenComm(c));
  EXPECT_EQ(c.LastError, TCommError::NoDevice);

  sys.missingError = ERROR_GEN_FAILURE;
  EXPECT_FALSE(OpenComm(c));
  EXPECT_EQ(c.LastError, TCommError::Other);
  EXPECT_EQ(c.LastSystemError, static_cast<int>(ERROR_GEN_FAILURE));
  EXPECT_FALSE(c.LastErrorText.empty()) << "the system's own words";
  EXPECT_EQ(c.Handle, -1);

  sys.calls.clear();
  TComm none;  // no port chosen
  EXPECT_FALSE(OpenComm(none));
  EXPECT_EQ(none.LastError, TCommError::NoDevice);
  EXPECT_TRUE(sys.calls.empty()) << "nothing to open";
}

TEST_F(Win32Comm, ARefusedControlBlockKeepsTheHandleUntilClosed) {
  sys.present = {"\\\\.\\COM2", "\\\\.\\COM5"};
  sys.getStateError = ERROR_INVALID_FUNCTION;
  TComm c = PanelLink(2);
  EXPECT_FALSE(OpenComm(c));
  EXPECT_EQ(c.LastError, TCommError::NotSerial);
  EXPECT_NE(c.Handle, -1) << "the record counts as open";
  EXPECT_EQ(sys.handles.size(), 1u);
  EXPECT_EQ(std::count(sys.calls.begin(), sys.calls.end(), "SetCommState"), 0);
  CloseComm(c);
  EXPECT_EQ(c.Handle, -1);
  EXPECT_TRUE(sys.handles.empty());

  sys.getStateError = 0;
  sys.setStateErrors["\\\\.\\COM5"] = ERROR_INVALID_PARAMETER;
  sys.calls.clear();
  TComm d = PanelLink(5);
  EXPECT_FALSE(OpenComm(d));
  EXPECT_EQ(d.LastError, TCommError::Settings);
  EXPECT_EQ(d.LastSystemError, static_cast<int>(ERROR_INVALID_PARAMETER));
  EXPECT_NE(d.Handle, -1);
  EXPECT_EQ(std::count(sys.calls.begin(), sys.calls.end(), "SetupComm"), 0);
  CloseComm(d);
  EXPECT_TRUE(sys.handles.empty());
}

TEST_F(Win32Comm, OpeningAnOpenRecordReopensItWithTheCurrentSettings) {
  sys.present = {"\\\\.\\COM6"};
  TComm c = PanelLink(6);
  c.BaudIndex = 6;
  ASSERT_TRUE(OpenComm(c));
  c.BaudIndex = 10;
  ASSERT_TRUE(OpenComm(c));
  EXPECT_EQ(sys.calls, (std::vector<std::string>{"CreateFile \\\\.\\COM6", "GetCommState", "SetCommState", "SetupComm",
                                                  "CloseHandle", "CreateFile \\\\.\\COM6", "GetCommState",
                                                  "SetCommState", "SetupComm"}));
  ASSERT_EQ(sys.setStates.size(), 2u);
  EXPECT_EQ(sys.setStates[0].BaudRate, 9600u);
  EXPECT_EQ(sys.setStates[1].BaudRate, 57600u);
  EXPECT_EQ(sys.handles.size(), 1u);
  CloseComm(c);
}

TEST_F(Win32Comm, ARefusedCloseLeavesTheRecordOpenButClosePortMarksItClosed) {
  sys.present = {"\\\\.\\COM8"};
  TComm c = PanelLink(8);
  ASSERT_TRUE(OpenComm(c));
  const intptr_t held = c.Handle;
  sys.closeFails = true;
  CloseComm(c);
  EXPECT_EQ(c.Handle, held);
  ClosePort(c);
  EXPECT_EQ(c.Handle, -1);
  sys.handles.clear();
}

TEST_F(Win32Comm, QueuedBytesAreCountedReadWrittenAndFlushed) {
  sys.present = {"\\\\.\\COM3"};
  TComm c = PanelLink(3);
  EXPECT_EQ(BytesWaiting(c), 0);
  EXPECT_EQ(sys.statusCalls, 0) << "a closed record asks the system nothing";
  uint8_t untouched[2] = {7, 7};
  ReadComm(c, untouched, 2);
  EXPECT_EQ(untouched[0], 7);

  ASSERT_TRUE(OpenComm(c));
  sys.input = {0x00, 0x41, 0x42, 0x43, 0x44};
  sys.readLimit = 2;  // the layer must go on until it has them all
  EXPECT_EQ(BytesWaiting(c), 5);
  EXPECT_EQ(ReadCharTimed(c, 1), std::string(1, '\0')) << "a zero byte is a character like any other";
  uint8_t got[3] = {};
  ReadComm(c, got, 3);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(got), 3), "ABC");
  EXPECT_EQ(BytesWaiting(c), 1);
  FlushInput(c);
  EXPECT_EQ(BytesWaiting(c), 0);

  const uint8_t out[5] = {0xF0, 0x00, 0x01, 0x0B, 0xFF};
  WriteComm(c, out, 5);
  EXPECT_EQ(sys.written, std::vector<uint8_t>(out, out + 5));
  EXPECT_FALSE(c.LineLost);
  CloseComm(c);
}

TEST_F(Win32Comm, AStatusQueryThatFailsMeansTheLineIsGone) {
  sys.present = {"\\\\.\\COM3"};
  TComm c = PanelLink(3);
  ASSERT_TRUE(OpenComm(c));
  sys.statusFails = true;
  const int64_t t0 = sys.nowUs;
  EXPECT_EQ(ReadCharTimed(c, 2), "");
  EXPECT_EQ(sys.nowUs, t0) << "no wait at all";
  EXPECT_TRUE(sys.sleeps.empty());
  EXPECT_TRUE(c.LineLost);
  CloseComm(c);
}

TEST_F(Win32Comm, WaitsEndAtTheFirstWholeSecondAboveTheLimitWithoutSpinning) {
  sys.present = {"\\\\.\\COM3"};
  TComm c = PanelLink(3);
  ASSERT_TRUE(OpenComm(c));
  struct TCase {
    double limitSeconds;
    int64_t waitedMs;
  };
  for (const TCase w : {TCase{0, 1000}, TCase{0.5, 1000}, TCase{1.9, 2000}, TCase{2, 3000}}) {
    SCOPED_TRACE(w.limitSeconds);
    sys.sleeps.clear();
    sys.statusCalls = 0;
    const int64_t t0 = sys.nowUs;
    EXPECT_EQ(ReadCharTimed(c, w.limitSeconds), "");
    EXPECT_EQ(sys.nowUs - t0, w.waitedMs * 1000);
    // The count is polled with a 1 ms sleep after every look: as many
    // sleeps as milliseconds waited, each of 1 ms, and a look before each
    // sleep and after the last. A spinning wait would look without sleeping.
    EXPECT_EQ(sys.sleeps.size(), static_cast<size_t>(w.waitedMs));
    EXPECT_TRUE(std::all_of(sys.sleeps.begin(), sys.sleeps.end(), [](DWORD ms) { return ms == 1; }));
    EXPECT_LE(sys.statusCalls, w.waitedMs + 3);
    EXPECT_FALSE(sys.spun);
  }
  CloseComm(c);
}

TEST_F(Win32Comm, AByteThatArrivesDuringTheWaitIsTakenAtOnce) {
  sys.present = {"\\\\.\\COM3"};
  TComm c = PanelLink(3);
  ASSERT_TRUE(OpenComm(c));
  const int64_t t0 = sys.NowMs();
  sys.later.emplace_back(t0 + 300, 0x5A);
  EXPECT_EQ(ReadCharTimed(c, 2), "\x5A");
  EXPECT_EQ(sys.NowMs() - t0, 300) << "seen at the first look after it came";
  EXPECT_FALSE(sys.spun);
  CloseComm(c);
}

// Processor time of this process, user and kernel, in milliseconds.
double CpuMs() {
  FILETIME created, exited, kernel, user;
  ::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel, &user);
  auto ms = [](const FILETIME& f) {
    return static_cast<double>((uint64_t{f.dwHighDateTime} << 32) | f.dwLowDateTime) / 10'000.0;
  };
  return ms(kernel) + ms(user);
}

int64_t MsSince(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

// The same wait on the system's own clock and sleep: a smoke test. At
// least the whole second (the layer's clock counts whole milliseconds, so
// a wait may end up to one millisecond before the mark by this finer
// clock); the upper bound only tells it from a wait that ran on; and the
// processor time stays a small share of the wall time, which a spinning
// wait would burn however loaded the machine is.
TEST_F(Win32Comm, TheSystemsClockWaitsTheWholeSecond) {
  win32::TSerialApi& api = win32::SerialApi();
  api.queryPerformanceCounter = &::QueryPerformanceCounter;
  api.queryPerformanceFrequency = &::QueryPerformanceFrequency;
  api.sleep = &::Sleep;
  sys.present = {"\\\\.\\COM3"};
  TComm c = PanelLink(3);
  ASSERT_TRUE(OpenComm(c));
  const double cpuBefore = CpuMs();
  const auto t = Clock::now();
  EXPECT_EQ(ReadCharTimed(c, 0.5), "");
  const int64_t wallMs = MsSince(t);
  const double cpu = CpuMs() - cpuBefore;
  EXPECT_GE(wallMs, 999);
  EXPECT_LT(wallMs, test::ScaledMs(3000));
  EXPECT_LT(cpu, 0.25 * static_cast<double>(wallMs));
  CloseComm(c);
}

TEST_F(Win32Comm, ThePortListProbesPorts1To256AndMarksBusyOnes) {
  sys.present = {"\\\\.\\COM3", "\\\\.\\COM12", "\\\\.\\COM200"};
  sys.openErrors["\\\\.\\COM105"] = ERROR_ACCESS_DENIED;
  sys.openErrors["\\\\.\\COM7"] = ERROR_GEN_FAILURE;
  // A port that opens but refuses the settings is left out, and released.
  sys.setStateErrors["\\\\.\\COM200"] = ERROR_INVALID_PARAMETER;
  TLanguageStrings texts;
  texts.AlreadyOpen = "In uso";

  const std::vector<TPortEntry> list = BuildPortList(texts, TExtraStrings{});
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0].Label, "Com 3");
  EXPECT_EQ(list[0].Device, "COM3");
  EXPECT_EQ(list[0].State, TPortState::Free);
  EXPECT_EQ(list[1].Label, "Com 12");
  EXPECT_EQ(list[1].Device, "COM12");
  EXPECT_EQ(list[2].Label, "Com 105 - In uso");
  EXPECT_EQ(list[2].Device, "COM105");
  EXPECT_EQ(list[2].State, TPortState::InUse);

  // Every port once, in whatever order the side-by-side probes came.
  std::set<std::string> opened(sys.openedNames.begin(), sys.openedNames.end());
  ASSERT_EQ(sys.openedNames.size(), 256u);
  ASSERT_EQ(opened.size(), 256u);
  for (int n = 1; n <= 256; ++n) EXPECT_EQ(opened.count("\\\\.\\COM" + std::to_string(n)), 1u) << n;
  // The scratch settings: 115200 baud, no parity, 8 bits, one stop bit.
  ASSERT_EQ(sys.setStates.size(), 3u);
  for (const DCB& d : sys.setStates) {
    EXPECT_EQ(d.BaudRate, 115200u);
    EXPECT_EQ(d.Parity, NOPARITY);
    EXPECT_EQ(d.ByteSize, 8);
    EXPECT_EQ(d.StopBits, ONESTOPBIT);
  }
  EXPECT_TRUE(sys.handles.empty()) << "every probed port is closed again";

  // The device of an entry is what the open takes.
  TComm chosen;
  chosen.Device = list[1].Device;
  sys.calls.clear();
  ASSERT_TRUE(OpenComm(chosen));
  EXPECT_EQ(sys.calls.front(), "CreateFile \\\\.\\COM12");
  CloseComm(chosen);
}

// A port whose open hangs in its driver (a paired Bluetooth port calling
// its device), held here until the test lets it go.
struct THangingOpen {
  std::string device;
  std::mutex m;
  std::condition_variable cv;
  bool entered = false, released = false;
  void Release() {
    {
      std::lock_guard<std::mutex> lock(m);
      released = true;
    }
    cv.notify_all();
  }
};
THangingOpen* hanging = nullptr;

HANDLE WINAPI HangingCreateFile(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa, DWORD disposition,
                                DWORD flags, HANDLE templ) {
  if (hanging && name == hanging->device) {
    std::unique_lock<std::mutex> lock(hanging->m);
    hanging->entered = true;
    hanging->cv.notify_all();
    hanging->cv.wait(lock, [] { return hanging->released; });
  }
  return FakeCreateFile(name, access, share, sa, disposition, flags, templ);
}

TEST_F(Win32Comm, APortWhoseOpenHangsIsListedAsNotAnsweringWithoutDelayingTheOthers) {
  sys.present = {"\\\\.\\COM3", "\\\\.\\COM9", "\\\\.\\COM40"};
  THangingOpen slow;
  slow.device = "\\\\.\\COM9";
  hanging = &slow;
  win32::SerialApi().createFile = HangingCreateFile;
  const std::vector<TPortEntry> list = BuildPortList(LanguageStrings(TLanguage::French), ExtraStrings(TLanguage::French));
  {
    std::lock_guard<std::mutex> lock(slow.m);
    EXPECT_TRUE(slow.entered);
    EXPECT_FALSE(slow.released) << "the list came while COM9's open still hung";
  }
  std::vector<std::string> labels;
  for (const TPortEntry& e : list) labels.push_back(e.Label);
  EXPECT_EQ(labels, (std::vector<std::string>{"Com 3", "Com 9 - ne répond pas", "Com 40"}));
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[1].State, TPortState::NotAnswering);
  EXPECT_EQ(list[1].Device, "COM9");
  // Let go, the open ends and its probe closes the port it opened.
  slow.Release();
  WaitForPortProbes();
  hanging = nullptr;
  const std::lock_guard<std::recursive_mutex> guard(FakeLock());
  EXPECT_TRUE(sys.handles.empty());
  EXPECT_EQ(std::count(sys.openedNames.begin(), sys.openedNames.end(), "\\\\.\\COM9"), 1);
}

TEST_F(Win32Comm, ThePortListNamesPortsAsTheDeviceManagerDoes) {
  sys.present = {"\\\\.\\COM3", "\\\\.\\COM4", "\\\\.\\COM12"};
  sys.openErrors["\\\\.\\COM105"] = ERROR_ACCESS_DENIED;
  sys.devices = {
      {L"COM3", L"USB Serial Port (COM3)", L"FTDIBUS\\VID_0403+PID_6001+A50285BIA\\0000"},
      // Printers share the class.
      {L"LPT1", L"Printer Port (LPT1)", L"ACPI\\PNP0401\\4&1D401FB5&0"},
      {L"COM4", L"Silicon Labs CP210x USB to UART Bridge (COM4)", L"USB\\VID_10C4&PID_EA60\\0001"},
      // A serial number the system made up: no serial number.
      {L"COM105", L"Prolific USB-to-Serial Comm Port (COM105)", L"USB\\VID_067B&PID_2303\\5&2B1C3D&0&2"},
      // The device manager knows a port that does not open: the probe
      // decides what is listed.
      {L"COM7", L"Communications Port (COM7)", L"ACPI\\PNP0501\\1"},
  };
  TLanguageStrings texts;
  texts.AlreadyOpen = "In uso";

  const std::vector<TPortEntry> list = BuildPortList(texts, TExtraStrings{});
  std::vector<std::string> labels;
  for (const TPortEntry& e : list) labels.push_back(e.Label);
  EXPECT_EQ(labels, (std::vector<std::string>{"Com 3 - USB Serial Port",
                                              "Com 4 - Silicon Labs CP210x USB to UART Bridge", "Com 12",
                                              "Com 105 - Prolific USB-to-Serial Comm Port - In uso"}));
  ASSERT_EQ(list.size(), 4u);
  EXPECT_EQ(list[0].Device, "COM3");
  EXPECT_EQ(list[0].Description, "USB Serial Port");
  EXPECT_EQ(list[0].Vid, "0403");
  EXPECT_EQ(list[0].Pid, "6001");
  EXPECT_EQ(list[0].Serial, "") << "the FTDI driver's id carries no plain serial number";
  EXPECT_EQ(list[0].State, TPortState::Free);
  EXPECT_EQ(list[1].Vid, "10c4");
  EXPECT_EQ(list[1].Pid, "ea60");
  EXPECT_EQ(list[1].Serial, "0001");
  EXPECT_EQ(list[2].Description, "");
  EXPECT_EQ(list[3].Device, "COM105");
  EXPECT_EQ(list[3].State, TPortState::InUse);
  EXPECT_EQ(list[3].Serial, "");
  EXPECT_EQ(list[3].Vid, "067b");

  // The ports class, present devices only; everything given back.
  ASSERT_NE(sys.askedClass, nullptr);
  EXPECT_TRUE(IsEqualGUID(*sys.askedClass, win32::kPortsClassGuid));
  EXPECT_EQ(sys.askedFlags & DIGCF_PRESENT, static_cast<DWORD>(DIGCF_PRESENT));
  EXPECT_EQ(sys.listsOpen, 0);
  EXPECT_EQ(sys.keysOpen, 0);
  EXPECT_TRUE(sys.handles.empty());
}

TEST_F(Win32Comm, FriendlyNamesAreTakenAsTheSystemStoresThem) {
  sys.devices = {
      // A registry value stored without its NUL; a name with no suffix.
      {L"COM9", L"Virtual Serial Link", L"ROOT\\PORTS\\0000", false},
      // No PortName: the number from the name's suffix.
      {L"", L"Bluetooth Link (COM21)", L"BTHENUM\\{00001101}\\7&1"},
      // Letters beyond ASCII arrive as UTF-8.
      {L"COM5", L"P\u00e9riph\u00e9rique s\u00e9rie USB (COM5)", L"USB\\VID_0403&PID_6015\\DN02ABCD"},
      // A suffix naming another port is part of the name.
      {L"COM6", L"Modem (COM5)", L"PCI\\VEN_1"},
      // Neither a PortName nor a number in the name: not a numbered port.
      {L"", L"Printer", L"X"},
  };
  const std::vector<win32::TPortDevice> devices = win32::PortDevices();
  ASSERT_EQ(devices.size(), 4u);
  EXPECT_EQ(devices[0].Port, 9);
  EXPECT_EQ(devices[0].FriendlyName, "Virtual Serial Link");
  EXPECT_EQ(devices[0].Vid, "");
  EXPECT_EQ(devices[1].Port, 21);
  EXPECT_EQ(devices[1].FriendlyName, "Bluetooth Link");
  EXPECT_EQ(devices[2].Port, 5);
  EXPECT_EQ(devices[2].FriendlyName, "P\xc3\xa9riph\xc3\xa9rique s\xc3\xa9rie USB");
  EXPECT_EQ(devices[2].Serial, "DN02ABCD");
  EXPECT_EQ(devices[3].Port, 6);
  EXPECT_EQ(devices[3].FriendlyName, "Modem (COM5)");
  EXPECT_EQ(sys.listsOpen, 0);
  EXPECT_EQ(sys.keysOpen, 0);
}

TEST_F(Win32Comm, WithoutTheDeviceManagersListThePortsAreListedAsBefore) {
  sys.present = {"\\\\.\\COM3"};
  sys.openErrors["\\\\.\\COM4"] = ERROR_SHARING_VIOLATION;
  sys.noDeviceList = true;
  TLanguageStrings texts;
  texts.AlreadyOpen = "Already open";
  const std::vector<TPortEntry> list = BuildPortList(texts, TExtraStrings{});
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].Label, "Com 3");
  EXPECT_EQ(list[1].Label, "Com 4 - Already open");
  EXPECT_EQ(sys.listsOpen, 0);
}

TEST_F(Win32Comm, APortHeldByAnotherProgramSaysSoInTheBox) {
  // Windows cannot tell who holds a port: the box says what to do anyway.
  sys.openErrors["\\\\.\\COM3"] = ERROR_ACCESS_DENIED;
  test::TTestSession t;
  ApplyLanguageTexts(t.s, TLanguage::Italian);
  TSession& s = t.s;
  s.Link.PanelPort.Device = "COM3";
  EXPECT_FALSE(EnsurePortOpen(s));
  // An adapter pulled out: its number is gone.
  s.Link.PanelPort.Device = "COM4";
  EXPECT_FALSE(EnsurePortOpen(s));
  EXPECT_EQ(t.ui.Boxes(), (std::vector<std::string>{
                          "Warning: Errore apertura porta seriale!\r\nUn altro programma sta usando la porta: chiuderlo.",
                          "Warning: Errore apertura porta seriale!\r\nL'adattatore \xc3\xa8 stato scollegato? Ricollegarlo e "
                          "riprovare."}));
}

}  // namespace
}  // namespace tarvex
