// The programs' start-up options that the two windows share (tarvex, the Qt
// window, and tarvex.exe, the Win32 window), and the line trace that the
// windows and tarvex-cli open from --trace FILE [--trace-data].
//
// The windows take the same set: --demo, --demo-fast, --trace FILE,
// --trace-data, --screenshots DIR, --version, --help. A window that cannot
// do something (the Win32 window makes no screenshots) still knows the
// option and says so, rather than calling it unknown.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "serial/trace.h"

namespace tarvex {

// What a window can do beyond the options every window honours.
struct TWindowAbilities {
  bool screenshots = false;  // --screenshots DIR
};

struct TStartOptions {
  bool help = false;     // --help, -h, -?, /?
  bool version = false;  // --version, -v
  bool demo = false;     // --demo or --demo-fast: the two simulated panels
  bool demoAtOnce = false;  // --demo-fast: they answer at once, no line time
  std::string tracePath;    // --trace FILE; empty for none
  bool traceData = false;   // --trace-data
  std::string screenshotsDir;  // --screenshots DIR; empty for none
};

struct TStartParse {
  TStartOptions options;
  // Empty when the options are sound; else what is wrong with them, in one
  // line (the program adds its usage).
  std::string error;
  bool Ok() const { return error.empty(); }
};

// Reads a window's options (the arguments after the program's name). An
// option's value follows it ("--trace FILE") or is joined with "="
// ("--trace=FILE"). --help and --version win over everything after them.
TStartParse ParseStartOptions(const std::vector<std::string>& args, const TWindowAbilities& abilities);

// How the option lines of --help are laid out: in columns of spaces for a
// terminal, or with a tab between option and text for a message box.
enum class THelpLayout { Columns, Tabs };

// What the window's --help shows: the synopsis lines, an empty line, then
// one line per option that it takes; lines ended by \n.
std::string StartOptionsHelp(const std::string& program, const TWindowAbilities& abilities,
                             THelpLayout layout = THelpLayout::Columns);

// The rule of --trace-data, for every program: it needs --trace FILE.
// Empty when the pair is sound, else the error's text.
std::string TraceOptionsError(bool traceGiven, bool traceData);

// Opens the line trace of --trace FILE for a program ("tarvex-cli"), its
// times counted from now. Null, with the reason in error, when the file
// cannot be made.
std::unique_ptr<TTraceFile> OpenLineTrace(const std::string& path, bool withData, const std::string& program,
                                          std::string* error);

}  // namespace tarvex
