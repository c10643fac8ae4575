// The Win32 window in this process, on its own thread's message loop: the
// start-up while a port's open hangs, the progress bar against every
// progress notice, and the supported-panels window across a change of the
// display's scaling. The serial calls go through the layer's table
// (serial/comm_win32_api.h), into which the tests put stand-ins. The
// windows need a display (Xvfb under Wine: scripts/test-windows).
#include "serial/windows_api.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "app/connection.h"
#include "app/window_layout.h"
#include "demo/demo_panels.h"
#include "serial/comm_win32_api.h"
#include "serial/windows_text.h"
#include "tests/support/scratch_dir.h"
#include "win32/control_ids.h"
#include "win32/main_window.h"
#include "win32/supported_panels.h"

namespace tarvex {
namespace {

// Dispatches this thread's messages until the condition holds; the limit
// is only a safety net for a window that never gets there.
bool PumpUntil(const std::function<bool()>& done, ULONGLONG safetyMs = 120000) {
  const ULONGLONG start = ::GetTickCount64();
  while (!done()) {
    if (::GetTickCount64() - start > safetyMs) return false;
    MSG m;
    while (::PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
      ::TranslateMessage(&m);
      ::DispatchMessageW(&m);
    }
    if (!done()) ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
  }
  return true;
}

std::string Text(HWND h) {
  const int n = ::GetWindowTextLengthW(h);
  std::wstring text(static_cast<size_t>(std::max(n, 0)) + 1, L'\0');
  text.resize(static_cast<size_t>(::GetWindowTextW(h, text.data(), n + 1)));
  return Utf8FromWide(text);
}

std::vector<std::string> ComboItems(HWND combo) {
  std::vector<std::string> items;
  const LRESULT count = ::SendMessageW(combo, CB_GETCOUNT, 0, 0);
  for (LRESULT i = 0; i < count; ++i) {
    const LRESULT n = ::SendMessageW(combo, CB_GETLBTEXTLEN, static_cast<WPARAM>(i), 0);
    std::wstring text(static_cast<size_t>(std::max<LRESULT>(n, 0)) + 1, L'\0');
    ::SendMessageW(combo, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(text.data()));
    text.resize(std::wcslen(text.c_str()));
    items.push_back(Utf8FromWide(text));
  }
  return items;
}

// ---- A machine whose COM5 hangs in its driver when opened ----

// COM2 is a port that opens; COM5's open hangs until the test lets it go
// (then it finds no device); no other port exists, and the device manager
// lists nothing.
HANDLE const kCom2 = reinterpret_cast<HANDLE>(static_cast<intptr_t>(0x4242));
HANDLE com5Released = nullptr;  // an event, set to let COM5's open end
volatile LONG com5Entered = 0;

HANDLE WINAPI HangingCreateFile(LPCSTR name, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) {
  const std::string device = name;
  if (device == "\\\\.\\COM2") return kCom2;
  if (device == "\\\\.\\COM5") {
    ::InterlockedExchange(&com5Entered, 1);
    ::WaitForSingleObject(com5Released, INFINITE);
  }
  ::SetLastError(ERROR_FILE_NOT_FOUND);
  return INVALID_HANDLE_VALUE;
}

BOOL WINAPI Com2GetCommState(HANDLE h, LPDCB dcb) {
  if (h != kCom2) return ::GetCommState(h, dcb);
  *dcb = DCB{};
  dcb->DCBlength = sizeof(DCB);
  dcb->BaudRate = CBR_9600;
  dcb->ByteSize = 8;
  return TRUE;
}
BOOL WINAPI Com2SetCommState(HANDLE h, LPDCB dcb) { return h == kCom2 ? TRUE : ::SetCommState(h, dcb); }
BOOL WINAPI Com2SetupComm(HANDLE h, DWORD in, DWORD out) { return h == kCom2 ? TRUE : ::SetupComm(h, in, out); }
BOOL WINAPI Com2CloseHandle(HANDLE h) { return h == kCom2 ? TRUE : ::CloseHandle(h); }
HDEVINFO WINAPI NoDeviceList(const GUID*, PCWSTR, HWND, DWORD) {
  ::SetLastError(ERROR_INVALID_DATA);
  return INVALID_HANDLE_VALUE;
}

TEST(Win32Window, ShowsAtOnceAndAnswersWhileAPortsOpenHangsWhichIsThenListedAsNotAnswering) {
  win32::TSerialApi& api = win32::SerialApi();
  const win32::TSerialApi saved = api;
  com5Released = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  com5Entered = 0;
  api.createFile = HangingCreateFile;
  api.getCommState = Com2GetCommState;
  api.setCommState = Com2SetCommState;
  api.setupComm = Com2SetupComm;
  api.closeHandle = Com2CloseHandle;
  api.getClassDevs = NoDeviceList;
  {
    test::TScratchDir scratch("tarvex-win32-probe");
    win32::TMainWindowOptions options;
    options.model.backupFolder = scratch.Folder().string();
    win32::TMainWindow window(std::move(options));
    ASSERT_TRUE(window.Create(::GetModuleHandleW(nullptr), SW_SHOWNORMAL));
    HWND main = window.Handle();
    HWND list = ::GetDlgItem(main, IDC_cbSerial);
    HWND check = ::GetDlgItem(main, IDC_btnCheckConnection);
    // The window is up while COM5's open still hangs: an empty list, and
    // no check until the list is complete.
    EXPECT_TRUE(::IsWindowVisible(main));
    EXPECT_TRUE(PumpUntil([] { return com5Entered != 0; }));
    EXPECT_EQ(::WaitForSingleObject(com5Released, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(::SendMessageW(list, CB_GETCOUNT, 0, 0), 0);
    EXPECT_FALSE(::IsWindowEnabled(check));
    EXPECT_TRUE(::IsWindowEnabled(::GetDlgItem(main, IDC_cbLingua)));
    // It answers meanwhile: the user's choice of English goes through the
    // message loop and changes the captions.
    HWND language = ::GetDlgItem(main, IDC_cbLingua);
    ::SendMessageW(language, CB_SETCURSEL, 0, 0);
    ::PostMessageW(main, WM_COMMAND, MAKEWPARAM(IDC_cbLingua, CBN_SELCHANGE), reinterpret_cast<LPARAM>(language));
    EXPECT_TRUE(PumpUntil([&] { return Text(check) == "Check panel connection"; }));
    EXPECT_FALSE(window.Model().State().portsComplete);
    EXPECT_EQ(::WaitForSingleObject(com5Released, 0), static_cast<DWORD>(WAIT_TIMEOUT));

    // Once COM5's limit has passed: the list, COM5 marked, the check on.
    EXPECT_TRUE(PumpUntil([&] { return window.Model().State().portsComplete; }));
    // Probed with the texts of the start-up language, Italian.
    EXPECT_EQ(ComboItems(list), (std::vector<std::string>{"Com 2", "Com 5 - non risponde"}));
    EXPECT_EQ(::SendMessageW(list, CB_GETCURSEL, 0, 0), 0);
    EXPECT_TRUE(::IsWindowEnabled(check));
    EXPECT_EQ(window.Model().Session().Link.PanelPort.Device, "COM2");
    ::SetEvent(com5Released);
    WaitForPortProbes();
  }
  api = saved;
  ::CloseHandle(com5Released);
  com5Released = nullptr;
}

TEST(Win32Window, EveryProgressNoticeReachesTheBarWithItsValueInOrder) {
  TDemoPanels demo;
  std::string error;
  ASSERT_TRUE(demo.Start(false, &error)) << error;
  test::TScratchDir scratch("tarvex-win32-bar");
  struct TSeen {
    int code;
    int32_t value;
    LRESULT shown, maximum;
  };
  std::vector<TSeen> seen;
  HWND bar = nullptr;
  win32::TMainWindowOptions options;
  options.model.leadingPorts = demo.Entries();
  options.model.deviceFolder.clear();
  options.model.backupFolder = scratch.Folder().string();
  options.progressHandled = [&](int code, int32_t value) {
    if (bar)
      seen.push_back({code, value, ::SendMessageW(bar, PBM_GETPOS, 0, 0), ::SendMessageW(bar, PBM_GETRANGE, FALSE, 0)});
  };
  win32::TMainWindow window(std::move(options));
  ASSERT_TRUE(window.Create(::GetModuleHandleW(nullptr), SW_SHOWNORMAL));
  bar = ::GetDlgItem(window.Handle(), IDC_pbProgress);
  EXPECT_TRUE(::GetWindowLongW(bar, GWL_STYLE) & PBS_SMOOTH);
  TWindowModel& m = window.Model();
  m.PortChosen(1);  // the VYR32
  m.CheckConnection();
  ASSERT_TRUE(PumpUntil([&] { return !m.OperationRunning(); }));
  ASSERT_TRUE(m.State().controls.UserCode) << m.State().linkedPanel;
  seen.clear();
  m.UserCodeEdited("5678");
  m.ReadFromPanel();
  ASSERT_TRUE(PumpUntil([&] { return !m.OperationRunning(); }));
  ASSERT_TRUE(m.State().controls.SaveGroup) << m.State().status;

  TProgressBar expected;
  int steps = 0;
  for (size_t i = 0; i < seen.size(); ++i) {
    const TSeen& n = seen[i];
    if (n.code == ProgressSetRange) {
      expected.SetRange(n.value);
    } else if (n.code == ProgressStep) {
      expected.Step(n.value);
      ++steps;
    } else if (n.code == ProgressClear) {
      expected.Clear();
    } else {
      continue;
    }
    EXPECT_EQ(n.shown, expected.position) << "notice " << i << " (code " << n.code << ", value " << n.value << ")";
    EXPECT_EQ(n.maximum, std::max(expected.maximum, 1)) << "notice " << i;
  }
  // A read of the VYR32 steps through its blocks one by one.
  EXPECT_GE(steps, 8);
}

// ---- The supported-panels window across a change of scaling ----

struct TDpiCheck {
  bool done = false;
  std::vector<HFONT> before, after;
  std::vector<LONG> heightsBefore, heightsAfter;
  std::vector<DWORD> oldTypesAfter;  // GetObjectType of the fonts given up
  RECT clientAfter{};
};
TDpiCheck* dpiCheck = nullptr;

constexpr int kChildren[] = {IDC_gbOverview, IDC_lblInfo, IDC_sMemo1};

LONG FontHeight(HFONT f) {
  LOGFONTW lf{};
  return ::GetObjectW(f, sizeof lf, &lf) == sizeof lf ? lf.lfHeight : 0;
}

void CALLBACK OnDpiTimer(HWND, UINT, UINT_PTR id, DWORD) {
  HWND w = ::FindWindowW(TARVEX_SUPPORTED_PANELS_CLASS, nullptr);
  if (!w || !::IsWindowVisible(w)) return;
  ::KillTimer(nullptr, id);
  TDpiCheck& c = *dpiCheck;
  for (int child : kChildren) {
    const auto f = reinterpret_cast<HFONT>(::SendMessageW(::GetDlgItem(w, child), WM_GETFONT, 0, 0));
    c.before.push_back(f);
    c.heightsBefore.push_back(FontHeight(f));
  }
  RECT suggested{};
  ::GetWindowRect(w, &suggested);
  ::SendMessageW(w, WM_DPICHANGED, MAKEWPARAM(192, 192), reinterpret_cast<LPARAM>(&suggested));
  for (int child : kChildren) {
    const auto f = reinterpret_cast<HFONT>(::SendMessageW(::GetDlgItem(w, child), WM_GETFONT, 0, 0));
    c.after.push_back(f);
    c.heightsAfter.push_back(FontHeight(f));
  }
  for (HFONT f : c.before) c.oldTypesAfter.push_back(::GetObjectType(f));
  ::GetClientRect(w, &c.clientAfter);
  c.done = true;
  ::PostMessageW(w, WM_CLOSE, 0, 0);
}

TEST(Win32Window, TheSupportedPanelsWindowFollowsADpiChangeWithFontsOfItsOwn) {
  // The quit that an earlier test's main window left behind would end the
  // window's loop at once.
  MSG left;
  while (::PeekMessageW(&left, nullptr, 0, 0, PM_REMOVE)) {
  }
  HWND owner = ::CreateWindowExW(0, L"STATIC", L"owner", WS_OVERLAPPEDWINDOW, 100, 100, 640, 480, nullptr, nullptr,
                                 ::GetModuleHandleW(nullptr), nullptr);
  ASSERT_NE(owner, nullptr);
  TDpiCheck check;
  dpiCheck = &check;
  const UINT_PTR timer = ::SetTimer(nullptr, 0, 20, OnDpiTimer);
  ASSERT_NE(timer, 0u);
  win32::RunSupportedPanels(owner, SupportedPanelsContent(0), 96, nullptr);
  dpiCheck = nullptr;
  ::DestroyWindow(owner);
  ASSERT_TRUE(check.done);
  const LONG at96 = -::MulDiv(layout::kInterfaceFontPx, 96, 96);
  const LONG at192 = -::MulDiv(layout::kInterfaceFontPx, 192, 96);
  for (size_t i = 0; i < std::size(kChildren); ++i) {
    EXPECT_EQ(check.heightsBefore[i], at96) << i;
    // A live font of the new height, made for the window: not the old one.
    EXPECT_NE(check.after[i], check.before[i]) << i;
    EXPECT_EQ(::GetObjectType(check.after[i]), 0u) << "the window's fonts go with it: " << i;
    EXPECT_EQ(check.heightsAfter[i], at192) << i;
    // The old ones were deleted once the controls had the new ones.
    EXPECT_EQ(check.oldTypesAfter[i], 0u) << i;
  }
  EXPECT_EQ(check.clientAfter.right, ::MulDiv(layout::kInfoClientWidth, 192, 96));
  EXPECT_EQ(check.clientAfter.bottom, ::MulDiv(layout::kInfoClientHeight, 192, 96));
}

}  // namespace
}  // namespace tarvex
