// tarvex-cli: the command-line front end.
//
//   tarvex-cli [--lang en|it|fr] ports
//   tarvex-cli [--lang en|it|fr] identify --port DEVICE
//   tarvex-cli [--lang en|it|fr] read --port DEVICE --out FILE [--code CODE]
//   tarvex-cli [--lang en|it|fr] send --port DEVICE --in FILE [--code CODE]
//   tarvex-cli [--lang en|it|fr] show FILE [--json] [--reveal-codes]
//
// Exit status: 0 success, 1 the operation failed, 2 bad usage.
#include <termios.h>
#include <unistd.h>

#include <CLI/CLI.hpp>

#include <cstdio>
#include <iostream>
#include <string>

#include "app/connection.h"
#include "app/keyfile.h"
#include "app/languages.h"
#include "app/workflows.h"
#include "cli/console_ui.h"
#include "cli/show.h"

using namespace tarvex;

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

int RunPorts(const TLanguageStrings& texts) {
  for (const TPortEntry& e : BuildPortList(texts)) std::cout << e.Label << "\n";
  return kExitOk;
}

// The connection check, with the reason of an open failure spelled out.
bool Identify(TSession& s, const std::string& device) {
  s.PanelPort.Device = device;
  const bool ok = CheckConnection(s);
  if (s.PanelPort.LastError != TCommError::None) std::cerr << DescribeCommError(s.PanelPort) << "\n";
  return ok;
}

int RunIdentify(TSession& s, const std::string& device) {
  if (!Identify(s, device)) return kExitFailed;
  std::cout << s.SystemFlags.PanelDescription << std::endl;
  return kExitOk;
}

// Reads the code as one line of standard input, without echo on a
// terminal, so that it never shows in a process list or on the screen.
bool ReadCodeFromInput(std::string* code) {
  const bool terminal = ::isatty(STDIN_FILENO) == 1;
  termios saved{};
  if (terminal) {
    std::cerr << "Main user code: " << std::flush;
    ::tcgetattr(STDIN_FILENO, &saved);
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  }
  std::string line;
  const bool got = static_cast<bool>(std::getline(std::cin, line));
  if (terminal) {
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    std::cerr << "\n";
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  *code = line;
  return got || !line.empty();
}

// The code from --code or standard input; false (usage error) when it is
// not 0 to 6 decimal digits.
bool TakeCode(const CLI::Option* codeOption, std::string* code) {
  if (codeOption->count() == 0 && !ReadCodeFromInput(code)) {
    std::cerr << "No main user code given (--code, or one line on standard input).\n";
    return false;
  }
  if (!IsValidCode(*code)) {
    std::cerr << "The main user code must be 0 to 6 decimal digits.\n";
    return false;
  }
  return true;
}

int RunRead(TSession& s, TConsoleUserInterface& ui, const std::string& device, const std::string& out,
            const std::string& code) {
  if (!Identify(s, device)) return kExitFailed;
  const TReadOutcome r = ReadFromPanel(s, code);
  if (!r.ok) {
    if (r.status) ui.Status(*r.status);
    return kExitFailed;
  }
  std::string written;
  const bool saved = s.IsLargePanel() ? SaveLargeFile(s, out, &written) : SaveSmallFile(s, out, &written);
  if (!saved) return kExitFailed;
  std::cout << written << std::endl;
  return kExitOk;
}

int RunSend(TSession& s, TConsoleUserInterface& ui, const std::string& device, const std::string& in,
            const std::string& code) {
  if (!Identify(s, device)) return kExitFailed;
  const TLoadResult loaded = s.IsLargePanel() ? LoadLargeFile(s, in) : LoadSmallFile(s, in);
  if (loaded != TLoadResult::Loaded) return kExitFailed;
  const TSendOutcome r = SendToPanel(s, code);
  if (r.status) ui.Status(*r.status);
  return r.ok ? kExitOk : kExitFailed;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Tarvex: identify VYR alarm panels, read and write their codes and keys"};
  app.require_subcommand(1);
  std::string lang = "en";
  app.add_option("--lang", lang, "Language of messages: en, it or fr")
      ->check(CLI::IsMember({"en", "it", "fr"}, CLI::ignore_case));

  CLI::App* ports = app.add_subcommand("ports", "List the serial ports");

  std::string device;
  CLI::App* identify = app.add_subcommand("identify", "Identify the panel on a port");
  identify->add_option("--port", device, "Serial device (e.g. /dev/ttyUSB0)")->required();

  std::string outFile, inFile, code;
  CLI::App* read = app.add_subcommand("read", "Read a panel's users, codes, keys and cards into a file");
  read->add_option("--port", device, "Serial device")->required();
  read->add_option("--out", outFile, "Key-code file to write (its extension becomes .tvx)")->required();
  CLI::Option* readCode = read->add_option("--code", code, "Main user code (else read from standard input)");

  CLI::App* send = app.add_subcommand("send", "Write a key-code file into a panel");
  send->add_option("--port", device, "Serial device")->required();
  send->add_option("--in", inFile, "Key-code file to load")->required();
  CLI::Option* sendCode = send->add_option("--code", code, "Main user code of the target panel (else standard input)");

  std::string showFile;
  bool json = false, reveal = false;
  CLI::App* show = app.add_subcommand("show", "Show what a key-code file holds");
  show->add_option("FILE", showFile, "Key-code file")->required();
  show->add_flag("--json", json, "One JSON object instead of text");
  show->add_flag("--reveal-codes", reveal, "Show the user codes instead of one * per digit");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int rc = app.exit(e);
    return rc == 0 ? kExitOk : kExitUsage;
  }

  TLanguage language = TLanguage::English;
  LanguageFromCode(lang, &language);
  TConsoleUserInterface ui;
  TSession session(ui);
  ApplyLanguageTexts(session, language);

  if (*ports) return RunPorts(session.LangStrings);
  if (*identify) return RunIdentify(session, device);
  if (*read) {
    if (!TakeCode(readCode, &code)) return kExitUsage;
    return RunRead(session, ui, device, outFile, code);
  }
  if (*send) {
    if (!TakeCode(sendCode, &code)) return kExitUsage;
    return RunSend(session, ui, device, inFile, code);
  }
  if (*show) return ShowKeyCodeFile(session, showFile, json, reveal, std::cout) ? kExitOk : kExitFailed;
  return kExitUsage;
}
