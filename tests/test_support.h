// Shared helpers of the GoogleTest programs: simulated panels on
// pseudo-terminals, on top of the recording user interface of
// test_session.h. The helpers free of any test framework are in
// tests/support/ (the fake system layer, pseudo-terminals, scratch
// folders, key-code files, the panel starter).
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "app/session.h"
#include "sim/sim_panel.h"
#include "tests/test_session.h"

namespace tarvex::test {

// Starts a simulated panel. When it cannot, the current test fails and
// stops there (the exception is caught by GoogleTest), so no caller ever
// holds a panel that is not running.
std::unique_ptr<sim::SimPanel> StartPanel(sim::PanelConfig cfg);

// Opens the session's port on a panel at a baud index (no message boxes).
void OpenOn(TSession& s, const sim::SimPanel& panel, uint8_t baudIndex);

// Keeps an environment variable's value (or its absence) and puts it back
// when it goes out of scope, so that a test that changes HOME or
// XDG_DATA_HOME leaves the process as it found it.
class TEnvGuard {
 public:
  explicit TEnvGuard(std::string name);
  ~TEnvGuard();
  TEnvGuard(const TEnvGuard&) = delete;
  TEnvGuard& operator=(const TEnvGuard&) = delete;

 private:
  std::string name_;
  std::optional<std::string> saved_;
};

}  // namespace tarvex::test
