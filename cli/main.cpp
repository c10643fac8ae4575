// tarvex-cli: the command-line front end.
//
//   tarvex-cli [--lang en|it|fr] ports
//   tarvex-cli [--lang en|it|fr] identify --port DEVICE
//
// Exit status: 0 success, 1 the operation failed, 2 bad usage.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <iostream>

#include "app/connection.h"
#include "app/languages.h"
#include "cli/console_ui.h"

using namespace tarvex;

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

int RunPorts(const TLanguageStrings& texts) {
  for (const TPortEntry& e : BuildPortList(texts)) std::cout << e.Label << "\n";
  return kExitOk;
}

int RunIdentify(TSession& s, const std::string& device) {
  s.PanelPort.Device = device;
  const bool ok = CheckConnection(s);
  if (s.PanelPort.LastError != TCommError::None) std::cerr << DescribeCommError(s.PanelPort) << "\n";
  if (!ok) return kExitFailed;
  std::cout << s.SystemFlags.PanelDescription << std::endl;
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Tarvex: identify VYR alarm panels, read and write their codes and keys"};
  app.require_subcommand(1);
  std::string lang = "en";
  app.add_option("--lang", lang, "Language of messages: en, it or fr")
      ->check(CLI::IsMember({"en", "it", "fr"}, CLI::ignore_case));

  CLI::App* ports = app.add_subcommand("ports", "List the serial ports");
  CLI::App* identify = app.add_subcommand("identify", "Identify the panel on a port");
  std::string device;
  identify->add_option("--port", device, "Serial device (e.g. /dev/ttyUSB0)")->required();

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? kExitOk : kExitUsage;
  }

  TLanguage language = TLanguage::English;
  LanguageFromCode(lang, &language);
  TConsoleUserInterface ui;
  TSession session(ui);
  session.LangStrings = LanguageStrings(language);

  if (*ports) return RunPorts(session.LangStrings);
  if (*identify) return RunIdentify(session, device);
  return kExitUsage;
}
