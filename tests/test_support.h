// Shared helpers of the test suite: simulated panels on pseudo-terminals,
// on top of the recording user interface of test_session.h.
#pragma once

#include <memory>

#include "protocol/session.h"
#include "sim/sim_panel.h"
#include "tests/test_session.h"

namespace tarvex::test {

// Starts a simulated panel; fails the current test when it cannot.
std::unique_ptr<sim::SimPanel> StartPanel(sim::PanelConfig cfg);

// Opens the session's port on a panel at a baud index (no message boxes).
void OpenOn(TSession& s, const sim::SimPanel& panel, uint8_t baudIndex);

}  // namespace tarvex::test
