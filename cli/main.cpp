// tarvex-cli: the command-line front end.
//
//   tarvex-cli [--lang en|it|fr] ports [--json]
//   (and before any subcommand: --trace FILE [--trace-data], a line trace)
//   tarvex-cli [--lang en|it|fr] identify --port DEVICE
//   tarvex-cli [--lang en|it|fr] read --port DEVICE --out FILE [--code CODE]
//   tarvex-cli [--lang en|it|fr] send --port DEVICE --in FILE [--code CODE] [--no-backup] [--no-verify] [--dry-run]
//   tarvex-cli [--lang en|it|fr] show FILE [--json | --csv] [--reveal-codes]
//   tarvex-cli [--lang en|it|fr] edit FILE [--out NEWFILE]
//              (--user N (--name TEXT | --code-stdin | --clear) | --key N --name TEXT)...
//   tarvex-cli [--lang en|it|fr] diff A B [--json] [--reveal-codes]
//   tarvex-cli --version
//
// DEVICE is a device path such as /dev/ttyUSB0; on Windows a port number
// (3) or name (COM3).
//
// Exit status: 0 success, 1 the operation failed, 2 bad usage. edit: 0
// saved, 1 a file error, 2 an edit refused. diff: 0 equal, 1 different, 2
// an error.
#ifdef _WIN32
#include "serial/windows_api.h"
#include "serial/windows_text.h"
#else
#include <termios.h>
#include <unistd.h>
#endif

#include <CLI/CLI.hpp>

#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "app/backup.h"
#include "app/connection.h"
#include "app/display_text.h"
#include "app/keyfile.h"
#include "app/languages.h"
#include "app/start_options.h"
#include "app/version.h"
#include "app/workflows.h"
#include "cli/console_ui.h"
#include "cli/data_commands.h"
#include "protocol/identify.h"
#include "cli/show.h"
#include "serial/trace.h"

using namespace tarvex;

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// Where the ports are looked for. TARVEX_DEVICE_DIR and TARVEX_SYSFS_ROOT
// are for tests, which list folders of their own instead of the machine's.
TPortSources PortSources() {
  TPortSources sources;
  if (const char* dir = std::getenv("TARVEX_DEVICE_DIR"); dir && *dir) sources.DeviceFolder = dir;
  if (const char* root = std::getenv("TARVEX_SYSFS_ROOT"); root && *root) sources.SysfsRoot = root;
  return sources;
}

int RunPorts(const TSession& s, bool json) {
  const std::vector<TPortEntry> list = BuildPortList(s.LangStrings, s.ExtraStrings, PortSources());
  if (!json) {
    for (const TPortEntry& e : list) std::cout << e.Label << "\n";
    return kExitOk;
  }
  using Json = nlohmann::ordered_json;
  auto text = [](const std::string& value) { return value.empty() ? Json() : Json(value); };
  Json out = Json::array();
  for (const TPortEntry& e : list)
    out.push_back({{"path", e.Device},
                   {"description", text(e.Description)},
                   {"vid", text(e.Vid)},
                   {"pid", text(e.Pid)},
                   {"serial", text(e.Serial)},
                   {"state", PortStateName(e.State)}});
  // The descriptions are the devices' own texts: a byte that is not UTF-8
  // shows as a replacement character instead of stopping the list.
  std::cout << out.dump(2, ' ', false, Json::error_handler_t::replace) << "\n";
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
bool Identify(TSession& s, TConsoleUserInterface& ui, const std::string& device) {
  SelectPort(s.Link.PanelPort, device);
  const bool ok = CheckConnection(s);
  ui.EndLine();
  if (s.Link.PanelPort.LastError != TCommError::None) std::cerr << OpenFailureReason(s.Link.PanelPort, s.ExtraStrings) << "\n";
  return ok;
}

int RunIdentify(TSession& s, TConsoleUserInterface& ui, const std::string& device) {
  const bool identified = Identify(s, ui, device);
  if (!identified) return kExitFailed;
  // The panel's text as the window shows it (Windows-1252 on the panel).
  std::cout << Cp1252ToUtf8(s.Panel.PanelDescription) << std::endl;
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
  if (!Identify(s, ui, device)) return kExitFailed;
  const TReadOutcome r = ReadFromPanel(s, code);
  ui.EndLine();
  if (!r.ok()) {
    if (const auto status = StatusAfterRead(r.outcome, TTexts{s.LangStrings, s.ExtraStrings})) ui.Status(*status);
    return kExitFailed;
  }
  std::string written;
  const bool saved = s.IsLargePanel() ? SaveLargeFile(s, out, &written) : SaveSmallFile(s, out, &written);
  if (!saved) return kExitFailed;
  std::cout << written << std::endl;
  return kExitOk;
}

// Sends the file into the identified panel.
int SendLoaded(TSession& s, TConsoleUserInterface& ui, const std::string& in, const std::string& code, bool backup,
               bool verify, bool dryRun = false) {
  const TLoadResult loaded = s.IsLargePanel() ? LoadLargeFile(s, in) : LoadSmallFile(s, in);
  if (loaded != TLoadResult::Loaded) return kExitFailed;
  if (dryRun) {
    const TDryRunOutcome r = DryRunSend(s, code);
    ui.EndLine();
    if (const auto status = StatusAfterSend(r.outcome, TTexts{s.LangStrings, s.ExtraStrings})) ui.Status(*status);
    if (!r.ok()) return kExitFailed;
    PrintDryRun(r, std::cout);
    return kExitOk;
  }
  TSendOptions options;
  options.backup = backup;
  options.verify = verify;
  if (backup) {
    options.backupFolder = DefaultBackupFolder();
    // Printed before the first write, so the path is known even if the
    // send is interrupted.
    options.backupSaved = [&ui](const std::string& path) {
      ui.EndLine();
      std::cout << "backup: " << path << std::endl;
    };
  }
  const TSendOutcome r = SendToPanel(s, code, options);
  ui.EndLine();
  if (const auto status = StatusAfterSend(r.outcome, TTexts{s.LangStrings, s.ExtraStrings})) ui.Status(*status);
  return r.ok() ? kExitOk : kExitFailed;
}

int RunSend(TSession& s, TConsoleUserInterface& ui, const std::string& device, const std::string& in,
            const std::string& code, bool backup, bool verify, bool dryRun) {
  if (!Identify(s, ui, device)) return kExitFailed;
  return SendLoaded(s, ui, in, code, backup, verify, dryRun);
}

// One line of standard input for a user's new code, without echo on a
// terminal; false when the input has ended.
bool ReadEditCode(size_t user, std::string* code) {
  std::string line;
  bool got = false;
  {
    TQuietInput quiet;
    if (quiet.Terminal()) std::cerr << "New code for user " << user << ": " << std::flush;
    got = static_cast<bool>(std::getline(std::cin, line));
    if (quiet.Terminal()) std::cerr << "\n";
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  *code = line;
  WipeString(line);
  return got;
}

// The edits in the order given: each --user or --key names the row the
// options after it change. Codes are read from standard input here, one
// line each, in that order. False (usage) with the reason on standard
// error.
bool CollectEdits(const CLI::App& edit, std::vector<TDataEdit>* edits) {
  const CLI::Option* user = edit.get_option("--user");
  const CLI::Option* key = edit.get_option("--key");
  const CLI::Option* name = edit.get_option("--name");
  const CLI::Option* codeStdin = edit.get_option("--code-stdin");
  const CLI::Option* clear = edit.get_option("--clear");
  size_t nextUser = 0, nextKey = 0, nextName = 0;
  bool haveRow = false, isKey = false, rowUsed = true;
  size_t row = 0;
  for (const CLI::Option* o : edit.parse_order()) {
    // The file and --out are not changes.
    if (o != user && o != key && o != name && o != codeStdin && o != clear) continue;
    if (o == user || o == key) {
      if (!rowUsed) {
        std::cerr << (isKey ? "--key " : "--user ") << row << " changes nothing: give --name"
                  << (isKey ? "" : ", --code-stdin or --clear") << " after it.\n";
        return false;
      }
      const std::string text = o == user ? o->results().at(nextUser++) : o->results().at(nextKey++);
      isKey = o == key;
      const size_t limit = isKey ? kKeyCount : kUserCount;
      char* end = nullptr;
      const unsigned long n = std::strtoul(text.c_str(), &end, 10);
      if (text.empty() || *end != '\0' || text[0] == '-' || n >= limit) {
        std::cerr << (isKey ? "--key" : "--user") << " takes a number from 0 to " << limit - 1 << ".\n";
        return false;
      }
      row = n;
      haveRow = true;
      rowUsed = false;
      continue;
    }
    if (!haveRow) {
      std::cerr << "Name the user (--user N) or the key (--key N) before what changes.\n";
      return false;
    }
    rowUsed = true;
    if (o == name) {
      edits->push_back({isKey ? TDataEdit::TKind::KeyName : TDataEdit::TKind::UserName, row, o->results().at(nextName++)});
    } else if (isKey) {
      std::cerr << "A key's name is all that can be changed (--key N --name TEXT).\n";
      return false;
    } else if (o == codeStdin) {
      TDataEdit e{TDataEdit::TKind::UserCode, row, {}};
      if (!ReadEditCode(row, &e.Text)) {
        std::cerr << "No line on standard input for the new code of user " << row << ".\n";
        return false;
      }
      edits->push_back(std::move(e));
    } else if (o == clear) {
      edits->push_back({TDataEdit::TKind::ClearUser, row, {}});
    }
  }
  if (!rowUsed) {
    std::cerr << (isKey ? "--key " : "--user ") << row << " changes nothing: give --name"
              << (isKey ? "" : ", --code-stdin or --clear") << " after it.\n";
    return false;
  }
  if (edits->empty()) {
    std::cerr << "No change given: --user N (--name TEXT | --code-stdin | --clear) or --key N --name TEXT.\n";
    return false;
  }
  return true;
}

void WipeEdits(std::vector<TDataEdit>& edits) {
  for (TDataEdit& e : edits) WipeString(e.Text);
}

// Puts a backup back into the panel it came from: the newest backup of the
// identified model unless one is named. It is sent like any file, read
// back and compared, without a new backup over the one being restored.
int RunRestore(TSession& s, TConsoleUserInterface& ui, const std::string& device, std::string backup,
               const std::string& code) {
  if (!Identify(s, ui, device)) return kExitFailed;
  if (backup.empty()) {
    const std::string folder = DefaultBackupFolder();
    const std::string model = ModelName(s.Panel.ConnectedModel);
    backup = NewestBackupOf(folder, model);
    if (backup.empty()) {
      std::cerr << "No backup of a " << model << " in " << (folder.empty() ? std::string("(no folder)") : folder)
                << ".\n";
      return kExitFailed;
    }
  }
  std::cout << "restoring: " << backup << std::endl;
  TRestoreOptions options;
  options.identify = false;  // just done, to choose the backup
  std::vector<std::string> codes{code};
  const TSendOutcome r = RestoreBackup(s, backup, codes, options);
  for (std::string& c : codes) WipeString(c);
  ui.EndLine();
  if (const auto status = StatusAfterSend(r.outcome, TTexts{s.LangStrings, s.ExtraStrings})) ui.Status(*status);
  return r.ok() ? kExitOk : kExitFailed;
}

// The backups, newest first: date, model, size and path a line, or one JSON
// array.
int RunBackups(bool json) {
  const std::vector<TBackupFile> list = ListBackups(DefaultBackupFolder());
  if (!json) {
    for (const TBackupFile& b : list)
      std::cout << b.date << "  " << b.model << "  " << b.size << " bytes  " << b.path << "\n";
    return kExitOk;
  }
  using Json = nlohmann::ordered_json;
  Json out = Json::array();
  for (const TBackupFile& b : list)
    out.push_back(Json{{"path", b.path}, {"model", b.model}, {"date", b.date}, {"size", b.size}});
  std::cout << out.dump(2, ' ', false, Json::error_handler_t::replace) << "\n";
  return kExitOk;
}

// The line trace of --trace, times counted from now; null (with the reason
// on standard error) when the file cannot be made.
std::unique_ptr<TTraceFile> OpenTrace(const std::string& path, bool withData) {
  std::string error;
  std::unique_ptr<TTraceFile> trace = OpenLineTrace(path, withData, "tarvex-cli", &error);
  if (!trace) std::cerr << "Cannot write the line trace: " << error << "\n";
  return trace;
}

int Run(int argc, char** argv) {
#ifdef _WIN32
  // Texts go out as UTF-8, as to the terminals of other platforms.
  ::SetConsoleOutputCP(CP_UTF8);
  // Arguments come in as UTF-8 too: file names in any script stay the
  // names the user typed, not their code-page approximation.
  const std::vector<std::string> utf8Args = CommandLineUtf8();
  std::vector<char*> utf8Argv;
  for (const std::string& a : utf8Args) utf8Argv.push_back(const_cast<char*>(a.c_str()));
  utf8Argv.push_back(nullptr);
  if (!utf8Args.empty()) {
    argc = static_cast<int>(utf8Args.size());
    argv = utf8Argv.data();
  }
#endif
  CLI::App app{"Tarvex: identify VYR alarm panels, read and write their codes and keys"};
  app.require_subcommand(1);
  app.set_version_flag("--version", std::string("tarvex-cli ") + kTarvexVersion, "Print the version and exit");
  std::string lang = "en";
  app.add_option("--lang", lang, "Language of messages: en, it or fr")
      ->check(CLI::IsMember({"en", "it", "fr"}, CLI::ignore_case));
  std::string tracePath;
  bool traceData = false;
  CLI::Option* traceOption = app.add_option(
      "--trace", tracePath,
      "Write a trace of the panel line into FILE, for support: every byte's role, wait, pause and outcome; "
      "it holds no user codes");
  // Its rule (it needs --trace) is the windows' too, checked after parsing.
  app.add_flag("--trace-data", traceData,
               "With --trace, write the data bytes of every block too: the trace then holds user codes");

  CLI::App* ports = app.add_subcommand("ports", "List the serial ports");
  bool portsJson = false;
  ports->add_flag("--json", portsJson,
                  "One JSON array: path, description, vid, pid, serial (null where unknown) and state (\"free\", "
                  "\"in use\" or \"no permission\") of each port");

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
  const std::string backups = DefaultBackupFolder();
  send->add_flag("--no-backup", noBackup,
                 "Do not save the target panel's data before writing (by default it is saved " +
                     (backups.empty() ? "first; " + ExtraStrings(TLanguage::English).NoBackupFolder + " A send "
                                                                                               "with a backup is refused"
                                      : "in " + backups) +
                     ")");
  bool noVerify = false;
  send->add_flag("--no-verify", noVerify,
                 "Do not read back what was written to check that the panel holds it (by default every send is "
                 "verified)");
  bool dryRun = false;
  send->add_flag("--dry-run", dryRun,
                 "Write nothing: prove the code, read what the send would overwrite and print what it would change "
                 "in the panel (codes as stars)");

  CLI::App* restore = app.add_subcommand(
      "restore", "Put a backup back into the panel it was taken from (read back and compared, no new backup)");
  std::string backupFile;
  restore->add_option("--port", device, kPortHelp)->required()->check(PortCheck());
  restore->add_option("--backup", backupFile,
                      "Backup to send (by default the newest backup of the identified panel's model)");
  CLI::Option* restoreCode =
      restore->add_option("--code", code, "Main user code of the panel (else standard input)");

  CLI::App* backupsCommand = app.add_subcommand("backups", "List the backups, newest first");
  bool backupsJson = false;
  backupsCommand->add_flag("--json", backupsJson, "One JSON array: path, model, date and size of each backup");

  std::string showFile;
  bool json = false, reveal = false;
  CLI::App* show = app.add_subcommand("show", "Show what a key-code file holds");
  show->add_option("FILE", showFile, "Key-code file")->required();
  CLI::Option* showJson = show->add_flag("--json", json, "One JSON object instead of text");
  bool csv = false;
  show->add_flag("--csv", csv,
                 "Users and keys as CSV (kind, number, name, main, code, attributes, value, flags, flags23, in_use); "
                 "the regions for a large panel's file")
      ->excludes(showJson);
  show->add_flag("--reveal-codes", reveal, "Show the user codes instead of one * per digit");

  CLI::App* edit = app.add_subcommand(
      "edit",
      "Change names and codes in a key-code file: --user N followed by --name TEXT, --code-stdin (the new code as "
      "one line of standard input, never on the command line) or --clear (no name, no code); --key N --name TEXT "
      "for keys 0 to 15. Several changes are applied all or none; exit 0 saved, 1 file error, 2 a change refused "
      "(the file is untouched)");
  std::string editFile, editOut;
  edit->add_option("FILE", editFile, "Key-code file")->required();
  edit->add_option("--out", editOut, "Save to this file instead of changing FILE");
  std::vector<std::string> editUsers, editKeys, editNames;
  edit->add_option("--user", editUsers, "The user (0 to 23) the options after it change")
      ->expected(1)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  edit->add_option("--key", editKeys, "The key (0 to 15) whose name the --name after it sets")
      ->expected(1)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  edit->add_option("--name", editNames, "New name: at most 16 characters the panel can hold, no spaces at the ends")
      ->expected(1)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  edit->add_flag("--code-stdin")->description("New code (0 to 6 digits, empty removes it) read as one line of standard input");
  edit->add_flag("--clear")->description("Remove the user's name and code");

  CLI::App* diff = app.add_subcommand(
      "diff", "Show what differs between two key-code files; exit 0 equal, 1 different, 2 error");
  std::string diffA, diffB;
  diff->add_option("A", diffA, "First key-code file")->required();
  diff->add_option("B", diffB, "Second key-code file")->required();
  bool diffJson = false, diffReveal = false;
  diff->add_flag("--json", diffJson, "One JSON object instead of text");
  diff->add_flag("--reveal-codes", diffReveal, "Show the user codes instead of one * per digit");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int rc = app.exit(e);
    return rc == 0 ? kExitOk : kExitUsage;
  }

  if (const std::string error = TraceOptionsError(traceOption->count() > 0, traceData); !error.empty()) {
    std::cerr << error << "\nRun with --help for more information.\n";
    return kExitUsage;
  }

  TLanguage language = TLanguage::English;
  LanguageFromCode(lang, &language);
  // Made before the session, so it outlives every use of the port.
  std::unique_ptr<TTraceFile> trace;
  if (traceOption->count() > 0 && !(trace = OpenTrace(tracePath, traceData))) return kExitUsage;
  TConsoleUserInterface ui;
  TSession session(ui);
  ApplyLanguageTexts(session, language);
  session.Link.PanelPort.Trace = trace.get();

  if (*ports) return RunPorts(session, portsJson);
  if (*identify) return RunIdentify(session, ui, device);
  if (*read) {
    if (!TakeCode(readCode, &code)) return kExitUsage;
    const int rc = RunRead(session, ui, device, outFile, code);
    WipeString(code);
    return rc;
  }
  if (*send) {
    if (!TakeCode(sendCode, &code)) return kExitUsage;
    const int rc = RunSend(session, ui, device, inFile, code, !noBackup, !noVerify, dryRun);
    WipeString(code);
    return rc;
  }
  if (*restore) {
    if (!TakeCode(restoreCode, &code)) return kExitUsage;
    const int rc = RunRestore(session, ui, device, backupFile, code);
    WipeString(code);
    return rc;
  }
  if (*backupsCommand) return RunBackups(backupsJson);
  if (*show) {
    const bool shown = csv ? ShowKeyCodeFileCsv(session, showFile, reveal, std::cout)
                           : ShowKeyCodeFile(session, showFile, json, reveal, std::cout);
    return shown ? kExitOk : kExitFailed;
  }
  if (*edit) {
    std::vector<TDataEdit> edits;
    if (!CollectEdits(*edit, &edits)) {
      WipeEdits(edits);
      return kExitUsage;
    }
    std::string written;
    const int rc = EditKeyCodeFile(session, language, editFile, editOut, edits, std::cerr, &written);
    WipeEdits(edits);
    if (rc == kEditSaved) std::cout << written << std::endl;
    return rc;
  }
  if (*diff) return DiffKeyCodeFiles(session, diffA, diffB, diffJson, diffReveal, std::cout, std::cerr);
  return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
  // Nothing may end the program with an abort and a core dump: a failure
  // that escapes is said in words, with the failure's exit status.
  try {
    return Run(argc, argv);
  } catch (const std::exception& e) {
    std::cout.flush();
    std::cerr << "\ntarvex-cli: the operation stopped on an unexpected error: " << e.what() << "\n";
  } catch (...) {
    std::cout.flush();
    std::cerr << "\ntarvex-cli: the operation stopped on an unexpected error\n";
  }
  return kExitFailed;
}
