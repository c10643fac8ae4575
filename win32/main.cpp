// tarvex.exe: the window, native Win32.
//
//   tarvex.exe               the window on this machine's serial ports (COM1 to COM256)
//   tarvex.exe --demo        two simulated panels listed first in the ports
//   tarvex.exe --demo-fast   the same panels, answering at once (no line time)
//   tarvex.exe --trace FILE  a trace of the panel line into FILE, for support
//                            (--trace-data: with the data bytes, which hold codes)
//   tarvex.exe --version     the program's version
//   tarvex.exe --help        what the options do
#include "serial/windows_api.h"
// After <windows.h>, which it needs.
#include <shellapi.h>

#include <string>
#include <vector>

#include "app/version.h"
#include "app/window_model.h"
#include "demo/demo_panels.h"
#include "serial/trace.h"
#include "win32/main_window.h"
#include "win32/text.h"

using namespace tarvex;

namespace {

constexpr const char* kUsage =
    "tarvex.exe [--demo | --demo-fast] [--trace FILE [--trace-data]]\r\n\r\n"
    "--demo\tlists two simulated panels first: a VYR8 (code 1234) and a VYR32 (code 5678); "
    "every byte takes its real time on the line\r\n"
    "--demo-fast\tthe same panels, answering at once (for tests)\r\n"
    "--trace FILE\twrites a trace of the panel line into FILE, for support; it holds no user codes\r\n"
    "--trace-data\twith --trace, the data bytes too: the trace then holds user codes\r\n"
    "--version\tthe program's version\r\n"
    "--help\tthis text";

void Box(TBoxKind kind, const std::string& text) {
  ::MessageBoxW(nullptr, WideFromUtf8(text).c_str(), WideFromUtf8(BoxTitle(kind)).c_str(),
                MB_OK | (kind == TBoxKind::Error ? MB_ICONERROR : MB_ICONINFORMATION));
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
  int argc = 0;
  wchar_t** argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
  std::vector<std::wstring> args;
  for (int i = 1; argv && i < argc; ++i) args.emplace_back(argv[i]);
  if (argv) ::LocalFree(argv);

  bool demo = false, wireTime = true, traceData = false;
  std::string tracePath;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::wstring& a = args[i];
    if (a == L"--trace" && i + 1 < args.size()) {
      tracePath = Utf8FromWide(args[++i]);
    } else if (a == L"--trace-data") {
      traceData = true;
    } else if (a == L"--demo") {
      demo = true;
    } else if (a == L"--demo-fast") {
      demo = true;
      wireTime = false;
    } else if (a == L"--version") {
      Box(TBoxKind::Information, WindowTitle());
      return 0;
    } else if (a == L"--help" || a == L"-h" || a == L"/?") {
      Box(TBoxKind::Information, kUsage);
      return 0;
    } else {
      Box(TBoxKind::Error, "Unknown option: " + Utf8FromWide(a) + "\r\n\r\n" + kUsage);
      return 2;
    }
  }

  win32::TMainWindowOptions options;
  if (traceData && tracePath.empty()) {
    Box(TBoxKind::Error, std::string("--trace-data needs --trace FILE\r\n\r\n") + kUsage);
    return 2;
  }
  if (!tracePath.empty()) {
    TTraceFileOptions trace;
    trace.withData = traceData;
    trace.program = std::string("tarvex.exe ") + kTarvexVersion;
    trace.clock = &PlatformCommSystem();
    std::string error;
    options.model.trace = TTraceFile::Open(tracePath, trace, &error);
    if (!options.model.trace) {
      Box(TBoxKind::Error, "The line trace cannot be written: " + error);
      return 2;
    }
  }
  // The demo's panels outlive the window, whose operations use them.
  TDemoPanels panels;
  if (demo) {
    std::string error;
    if (!panels.Start(wireTime, &error)) {
      Box(TBoxKind::Error, "The demo panels cannot start: " + error);
      return 1;
    }
    options.model.leadingPorts = panels.Entries();
  }
  win32::TMainWindow window(std::move(options));
  if (!window.Create(instance, showCommand)) {
    Box(TBoxKind::Error, "The window cannot be made.");
    return 1;
  }
  return window.Run();
}
