#include "tests/support/sim_panels.h"

#include <utility>

namespace tarvex::test {

std::unique_ptr<sim::SimPanel> StartSimPanel(sim::PanelConfig cfg, std::string* error) {
  auto panel = std::make_unique<sim::SimPanel>(std::move(cfg));
  std::string why;
  if (!panel->Start(&why)) {
    if (error) *error = why.empty() ? "the simulated panel did not start" : why;
    return nullptr;
  }
  return panel;
}

}  // namespace tarvex::test
