#include "app/start_options.h"

#include <algorithm>

#include "app/version.h"
#include "serial/comm.h"

namespace tarvex {

namespace {

// An option that takes a value, given as "--name VALUE" or "--name=VALUE".
// True when args[i] is that option; value is then set, or error when the
// value is missing.
bool TakeValue(const std::vector<std::string>& args, size_t& i, const std::string& name, std::string* value,
               std::string* error) {
  const std::string& a = args[i];
  if (a.rfind(name + "=", 0) == 0) {
    *value = a.substr(name.size() + 1);
  } else if (a == name) {
    if (i + 1 >= args.size()) {
      *error = name + " needs a value";
      return true;
    }
    *value = args[++i];
  } else {
    return false;
  }
  if (value->empty()) *error = name + " needs a value";
  return true;
}

}  // namespace

std::string TraceOptionsError(bool traceGiven, bool traceData) {
  if (traceData && !traceGiven) return "--trace-data needs --trace FILE";
  return std::string();
}

TStartParse ParseStartOptions(const std::vector<std::string>& args, const TWindowAbilities& abilities) {
  TStartParse r;
  TStartOptions& o = r.options;
  bool traceGiven = false;
  for (size_t i = 0; i < args.size() && r.error.empty(); ++i) {
    const std::string& a = args[i];
    std::string value;
    if (a == "--help" || a == "-h" || a == "-?" || a == "/?") {
      o.help = true;
      return r;
    }
    if (a == "--version" || a == "-v") {
      o.version = true;
      return r;
    }
    if (a == "--demo") {
      o.demo = true;
    } else if (a == "--demo-fast") {
      o.demo = true;
      o.demoAtOnce = true;
    } else if (a == "--trace-data") {
      o.traceData = true;
    } else if (TakeValue(args, i, "--trace", &value, &r.error)) {
      o.tracePath = value;
      traceGiven = true;
    } else if (TakeValue(args, i, "--screenshots", &value, &r.error)) {
      if (!abilities.screenshots)
        r.error = "--screenshots: this window cannot make screenshots (the Qt window, tarvex, can)";
      o.screenshotsDir = value;
    } else {
      r.error = "unknown option: " + a;
    }
  }
  if (r.error.empty()) r.error = TraceOptionsError(traceGiven, o.traceData);
  return r;
}

std::string StartOptionsHelp(const std::string& program, const TWindowAbilities& abilities, THelpLayout layout) {
  std::string text = program + " [--demo | --demo-fast] [--trace FILE [--trace-data]]\n";
  if (abilities.screenshots) text += program + " --screenshots DIR\n";
  text += program + " --help | --version\n\n";
  struct TLine {
    const char* option;
    const char* what;
  };
  std::vector<TLine> lines = {
      {"--demo", "lists two simulated panels first: a VYR8 (code 1234) and a VYR32 (code 5678); every byte takes "
                 "its real time on the line"},
      {"--demo-fast", "the same panels, answering at once"},
      {"--trace FILE", "writes a trace of the panel line into FILE, for support; it holds no user codes"},
      {"--trace-data", "with --trace, the data bytes of every block too: the trace then holds user codes"},
  };
  if (abilities.screenshots) lines.push_back({"--screenshots DIR", "writes pictures of the windows into DIR and ends"});
  lines.push_back({"--version", "the program's version"});
  lines.push_back({"--help", "this text"});
  size_t width = 0;
  for (const TLine& l : lines) width = std::max(width, std::string(l.option).size());
  for (const TLine& l : lines) {
    const std::string option = l.option;
    if (layout == THelpLayout::Tabs) text += option + "\t" + l.what + "\n";
    else text += "  " + option + std::string(width + 2 - option.size(), ' ') + l.what + "\n";
  }
  return text;
}

std::unique_ptr<TTraceFile> OpenLineTrace(const std::string& path, bool withData, const std::string& program,
                                          std::string* error) {
  TTraceFileOptions options;
  options.withData = withData;
  options.program = program + " " + kTarvexVersion;
  options.clock = &PlatformCommSystem();
  return TTraceFile::Open(path, options, error);
}

}  // namespace tarvex
