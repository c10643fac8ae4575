// Command line of the panel simulator program.
#pragma once

#include <string>
#include <vector>

#include "sim/sim_panel.h"

namespace tarvex::sim {

struct SimOptions {
  PanelConfig config;
  std::string linkPath;  // symbolic link to the device, empty for none
  bool help = false;
};

// Parses the arguments that follow the program name. False, with a reason,
// on an unknown option, a missing or malformed value, an unknown model or
// fault name, or a main code that is not 0 to 6 digits.
bool ParseSimOptions(const std::vector<std::string>& args, SimOptions* out, std::string* error);

// no-echo, echo-case, bad-check, missing-check-byte, noise, stall, close-line,
// corrupt-data.
bool ParseFaultKind(const std::string& name, FaultKind* kind);

// One line naming every option.
std::string SimUsage();
// The usage line, then every option and every fault with what it does
// (--help).
std::string SimHelp();

}  // namespace tarvex::sim
