// Starts simulated panels on pseudo-terminals for any test program, with
// or without a test framework (POSIX only).
#pragma once

#include <memory>
#include <string>

#include "sim/sim_panel.h"
#include "tests/support/panels.h"

namespace tarvex::test {

// A started panel, or null with the reason in *error.
std::unique_ptr<sim::SimPanel> StartSimPanel(sim::PanelConfig cfg, std::string* error);

}  // namespace tarvex::test
