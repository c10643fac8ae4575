// tarvex-win32-window-bench: how long the Win32 window's message loop can go
// without running while a panel is checked and read. The window is made
// with the demo panels at their real line speed (every byte takes 11 bit
// times at 9600 baud); its buttons are clicked as a user's clicks arrive
// (BM_CLICK); a helper thread posts a ping message every millisecond and
// the window procedure records when each one is handled. The longest gap
// between two handled pings during a check and a full read of the VYR8 is
// what a user would feel as the window freezing. Target: under 100 ms for
// the median of the rounds (argument 1, default 5). The same pings on the
// idle window first show what the machine alone allows.
//
// A benchmark, not a test: run it by hand, under Wine for example:
//   wine build-win/win32/tarvex-win32-window-bench.exe 5
#include "serial/windows_api.h"

#include <commctrl.h>
#include <mmsystem.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <thread>
#include <vector>

#include "demo/demo_panels.h"
#include "win32/control_ids.h"
#include "win32/main_window.h"

using namespace tarvex;

namespace {

constexpr UINT kPing = WM_APP + 50;

double Now() {
  static const double perSecond = [] {
    LARGE_INTEGER f;
    ::QueryPerformanceFrequency(&f);
    return static_cast<double>(f.QuadPart);
  }();
  LARGE_INTEGER c;
  ::QueryPerformanceCounter(&c);
  return static_cast<double>(c.QuadPart) / perSecond;
}

// The gaps between handled pings.
struct TLoopWatch {
  double last = 0, longest = 0, longestAt = 0, start = 0;
  long pings = 0;
  void Start() {
    start = last = Now();
    longest = longestAt = 0;
    pings = 0;
  }
  void Ping() {
    const double now = Now();
    if (now - last > longest) {
      longest = now - last;
      longestAt = last - start;
    }
    last = now;
    ++pings;
  }
  void Stop() { Ping(); }  // the gap up to the end counts as well
};

TLoopWatch watch;

LRESULT CALLBACK PingProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, UINT_PTR, DWORD_PTR) {
  if (msg == kPing) {
    watch.Ping();
    return 0;
  }
  return ::DefSubclassProc(hwnd, msg, wp, lp);
}

// Runs the message loop until done() holds (or a minute passes).
bool Pump(const std::function<bool()>& done) {
  const double limit = Now() + 120;
  MSG msg;
  while (!done()) {
    if (Now() > limit) return false;
    if (::MsgWaitForMultipleObjects(0, nullptr, FALSE, 100, QS_ALLINPUT) == WAIT_OBJECT_0) {
      while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        ::TranslateMessage(&msg);
        ::DispatchMessageW(&msg);
      }
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;

  TDemoPanels panels;
  std::string error;
  if (!panels.Start(true, &error)) {
    std::fprintf(stderr, "the demo panels cannot start: %s\n", error.c_str());
    return 1;
  }
  std::atomic<bool> running{false};
  int notices = 0;
  win32::TMainWindowOptions options;
  options.model.leadingPorts = panels.Entries();
  options.model.deviceFolder.clear();
  options.operationFinished = [&] { running = false; };
  options.progressHandled = [&](int, int32_t) { ++notices; };
  win32::TMainWindow window(std::move(options));
  if (!window.Create(::GetModuleHandleW(nullptr), SW_SHOWNOACTIVATE)) {
    std::fprintf(stderr, "the window cannot be made\n");
    return 1;
  }
  HWND main = window.Handle();
  ::SetWindowSubclass(main, PingProc, 1, 0);

  // The pings, every millisecond.
  ::timeBeginPeriod(1);
  std::atomic<bool> pinging{true};
  std::thread pinger([&] {
    while (pinging) {
      ::PostMessageW(main, kPing, 0, 0);
      ::Sleep(1);
    }
  });

  // What the machine itself allows: the idle window.
  watch.Start();
  const double idleEnd = Now() + 2;
  Pump([&] { return Now() > idleEnd; });
  watch.Stop();
  const double idleGap = watch.longest;

  auto operate = [&](int button) {
    running = true;
    ::PostMessageW(::GetDlgItem(main, button), BM_CLICK, 0, 0);
    return Pump([&] { return !running; });
  };
  std::vector<double> gaps;
  double seconds = 0, worstAt = 0;
  int failures = 0;
  for (int r = 0; r < rounds; ++r) {
    watch.Start();
    const double begin = Now();
    const bool checked = operate(IDC_btnCheckConnection) && ::IsWindowEnabled(::GetDlgItem(main, IDC_btnUserCode));
    ::SetWindowTextW(::GetDlgItem(main, IDC_EUserCode), L"1234");
    const bool read = checked && operate(IDC_btnUserCode) && ::IsWindowEnabled(::GetDlgItem(main, IDC_gbAction));
    watch.Stop();
    if (!read) {
      ++failures;
      continue;
    }
    if (gaps.empty() || watch.longest > *std::max_element(gaps.begin(), gaps.end())) worstAt = watch.longestAt;
    gaps.push_back(watch.longest);
    seconds += Now() - begin;
  }
  pinging = false;
  pinger.join();
  ::timeEndPeriod(1);
  ::DestroyWindow(main);

  if (gaps.empty() || failures) {
    std::fprintf(stderr, "%d of %d rounds failed to check and read the demo VYR8\n", failures, rounds);
    return 1;
  }
  std::vector<double> sorted = gaps;
  std::sort(sorted.begin(), sorted.end());
  const double median = sorted[sorted.size() / 2];
  std::printf("Win32 window: check and full read of a VYR8 at 9600 baud with wire time (%d rounds)\n", rounds);
  std::printf("  check + read wall time, mean %8.2f s (%d progress notices per round)\n", seconds / rounds,
              notices / rounds);
  std::printf("  idle window, longest gap     %8.1f ms (2 s with nothing to do)\n", idleGap * 1e3);
  std::printf("  longest message-loop gap     %8.1f ms median, %.1f ms worst (at %.2f s into its round)\n",
              median * 1e3, sorted.back() * 1e3, worstAt);
  std::printf("  each round                  ");
  for (double g : gaps) std::printf(" %.1f", g * 1e3);
  std::printf(" ms\n                               target < 100 ms\n");
  return median < 0.1 ? 0 : 2;
}
