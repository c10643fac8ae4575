// tarvex.exe: the window, native Win32.
//
//   tarvex.exe               the window on this machine's serial ports (COM1 to COM256)
//   tarvex.exe --demo        two simulated panels listed first in the ports
//   tarvex.exe --demo-fast   the same panels, answering at once (no line time)
//   tarvex.exe --trace FILE  a trace of the panel line into FILE, for support
//                            (--trace-data: with the data bytes, which hold codes)
//   tarvex.exe --version     the program's version
//   tarvex.exe --help        what the options do
//
// The options are the Qt window's too (app/start_options.h); this window
// makes no screenshots and says so when asked.
#include "serial/windows_api.h"

#include <cctype>
#include <string>
#include <vector>

#include "app/start_options.h"
#include "app/window_model.h"
#include "demo/demo_panels.h"
#include "serial/windows_text.h"
#include "win32/main_window.h"

using namespace tarvex;

namespace {

constexpr TWindowAbilities kAbilities{/*screenshots=*/false};

// The usage as a box shows it: \r\n between lines.
std::string Usage() {
  std::string out;
  for (char c : StartOptionsHelp("tarvex.exe", kAbilities, THelpLayout::Tabs)) {
    if (c == '\n') out += '\r';
    out += c;
  }
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

void Box(TBoxKind kind, const std::string& text) {
  ::MessageBoxW(nullptr, WideFromUtf8(text).c_str(), WideFromUtf8(BoxTitle(kind)).c_str(),
                MB_OK | (kind == TBoxKind::Error ? MB_ICONERROR : MB_ICONINFORMATION));
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
  std::vector<std::string> args = CommandLineUtf8();
  if (!args.empty()) args.erase(args.begin());  // the program's name
  const TStartParse parsed = ParseStartOptions(args, kAbilities);
  if (!parsed.Ok()) {
    std::string error = parsed.error;
    if (!error.empty()) error[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(error[0])));
    Box(TBoxKind::Error, error + "\r\n\r\n" + Usage());
    return 2;
  }
  const TStartOptions& o = parsed.options;
  if (o.help) {
    Box(TBoxKind::Information, Usage());
    return 0;
  }
  if (o.version) {
    Box(TBoxKind::Information, WindowTitle());
    return 0;
  }

  win32::TMainWindowOptions options;
  if (!o.tracePath.empty()) {
    std::string error;
    options.model.trace = OpenLineTrace(o.tracePath, o.traceData, "tarvex.exe", &error);
    if (!options.model.trace) {
      Box(TBoxKind::Error, "The line trace cannot be written: " + error);
      return 2;
    }
  }
  // The demo's panels outlive the window, whose operations use them.
  TDemoPanels panels;
  if (o.demo) {
    std::string error;
    if (!panels.Start(!o.demoAtOnce, &error)) {
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
