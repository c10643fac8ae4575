// tarvex-cli: the command-line front end.
//
//   tarvex-cli [--lang en|it|fr] ports
//   tarvex-cli [--lang en|it|fr] identify --port DEVICE
//   tarvex-cli [--lang en|it|fr] read --port DEVICE --out FILE [--code CODE]
//   tarvex-cli [--lang en|it|fr] send --port DEVICE --in FILE [--code CODE] [--no-backup]
//   tarvex-cli [--lang en|it|fr] show FILE [--json] [--reveal-codes]
//
// DEVICE is a device path such as /dev/ttyUSB0; on Windows a port number
// (3) or name (COM3).
//
// Exit status: 0 success, 1 the operation failed, 2 bad usage.
#ifdef _WIN32
#include "serial/windows_api.h"
#else
#include <termios.h>
#include <unistd.h>
#endif

#include <CLI/CLI.hpp>

#include <cstdio>
#include <iostream>
#include <string>

#include "app/backup.h"
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

#ifdef _WIN32
const char* const kPortHelp = "Serial port: its number (3) or name (COM3)";
// Windows ports are numbered; anything else would only fail at the open.
CLI::Validator PortCheck() {
  return CLI::Validator(
      [](std::string& name) { return PortNumberFromName(name) > 0 ? std::string() : "not a serial port: " + name; },
      "PORT");
}
#else
const char* const kPortHelp = "Serial device (e.g. /dev/ttyUSB0)";
CLI::Validator PortCheck() {
  return CLI::Validator([](std::string&) { return std::string(); }, "DEVICE");
}
#endif

// Points the record at the port the user named.
void SelectPort(TComm& port, const std::string& name) {
#ifdef _WIN32
  port.Port = PortNumberFromName(name);
  port.Device = "COM" + std::to_string(port.Port);
#else
  port.Device = name;
#endif
}

// The connection check, with the reason of an open failure spelled out.
bool Identify(TSession& s, const std::string& device) {
  SelectPort(s.PanelPort, device);
  const bool ok = CheckConnection(s);
  if (s.PanelPort.LastError != TCommError::None) std::cerr << DescribeCommError(s.PanelPort) << "\n";
  return ok;
}

int RunIdentify(TSession& s, const std::string& device) {
  if (!Identify(s, device)) return kExitFailed;
  std::cout << s.SystemFlags.PanelDescription << std::endl;
  return kExitOk;
}

// Turns the echo of standard input off while it lives, when that is a
// terminal.
class TQuietInput {
 public:
  TQuietInput() {
#ifdef _WIN32
    input_ = ::GetStdHandle(STD_INPUT_HANDLE);
    terminal_ = ::GetConsoleMode(input_, &saved_) != 0;
    if (terminal_) ::SetConsoleMode(input_, saved_ & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
#else
    terminal_ = ::isatty(STDIN_FILENO) == 1;
    if (terminal_) {
      ::tcgetattr(STDIN_FILENO, &saved_);
      termios quiet = saved_;
      quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
      ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
#endif
  }
  ~TQuietInput() {
    if (!terminal_) return;
#ifdef _WIN32
    ::SetConsoleMode(input_, saved_);
#else
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved_);
#endif
  }
  TQuietInput(const TQuietInput&) = delete;
  TQuietInput& operator=(const TQuietInput&) = delete;
  bool Terminal() const { return terminal_; }

 private:
  bool terminal_ = false;
#ifdef _WIN32
  HANDLE input_ = nullptr;
  DWORD saved_ = 0;
#else
  termios saved_{};
#endif
};

// Reads the code as one line of standard input, without echo on a
// terminal, so that it never shows in a process list or on the screen.
bool ReadCodeFromInput(std::string* code) {
  std::string line;
  bool got = false;
  {
    TQuietInput quiet;
    if (quiet.Terminal()) std::cerr << "Main user code: " << std::flush;
    got = static_cast<bool>(std::getline(std::cin, line));
    if (quiet.Terminal()) std::cerr << "\n";
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  *code = line;
  const bool any = got || !line.empty();
  WipeString(line);
  return any;
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
            const std::string& code, bool backup) {
  if (!Identify(s, device)) return kExitFailed;
  const TLoadResult loaded = s.IsLargePanel() ? LoadLargeFile(s, in) : LoadSmallFile(s, in);
  if (loaded != TLoadResult::Loaded) return kExitFailed;
  TSendOptions options;
  if (backup) {
    options.backupFolder = DefaultBackupFolder();
    // Printed before the first write, so the path is known even if the
    // send is interrupted.
    options.backupSaved = [](const std::string& path) { std::cout << "backup: " << path << std::endl; };
  }
  const TSendOutcome r = SendToPanel(s, code, options);
  if (r.status) ui.Status(*r.status);
  return r.ok ? kExitOk : kExitFailed;
}

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
  // Texts go out as UTF-8, as to the terminals of other platforms.
  ::SetConsoleOutputCP(CP_UTF8);
#endif
  CLI::App app{"Tarvex: identify VYR alarm panels, read and write their codes and keys"};
  app.require_subcommand(1);
  std::string lang = "en";
  app.add_option("--lang", lang, "Language of messages: en, it or fr")
      ->check(CLI::IsMember({"en", "it", "fr"}, CLI::ignore_case));

  CLI::App* ports = app.add_subcommand("ports", "List the serial ports");

  std::string device;
  CLI::App* identify = app.add_subcommand("identify", "Identify the panel on a port");
  identify->add_option("--port", device, kPortHelp)->required()->check(PortCheck());

  std::string outFile, inFile, code;
  CLI::App* read = app.add_subcommand("read", "Read a panel's users, codes, keys and cards into a file");
  read->add_option("--port", device, kPortHelp)->required()->check(PortCheck());
  read->add_option("--out", outFile, "Key-code file to write (its extension becomes .tvx)")->required();
  CLI::Option* readCode = read->add_option("--code", code, "Main user code (else read from standard input)");

  CLI::App* send = app.add_subcommand("send", "Write a key-code file into a panel");
  send->add_option("--port", device, kPortHelp)->required()->check(PortCheck());
  send->add_option("--in", inFile, "Key-code file to load")->required();
  CLI::Option* sendCode = send->add_option("--code", code, "Main user code of the target panel (else standard input)");
  bool noBackup = false;
  send->add_flag("--no-backup", noBackup,
                 "Do not save the target panel's data before writing (by default it is saved in " +
                     DefaultBackupFolder() + ")");

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
    const int rc = RunRead(session, ui, device, outFile, code);
    WipeString(code);
    return rc;
  }
  if (*send) {
    if (!TakeCode(sendCode, &code)) return kExitUsage;
    const int rc = RunSend(session, ui, device, inFile, code, !noBackup);
    WipeString(code);
    return rc;
  }
  if (*show) return ShowKeyCodeFile(session, showFile, json, reveal, std::cout) ? kExitOk : kExitFailed;
  return kExitUsage;
}
