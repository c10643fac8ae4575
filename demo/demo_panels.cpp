#include "demo/demo_panels.h"

#include "sim/sim_panel.h"

namespace tarvex {

struct TDemoPanels::TRunning {
  TDemoPanel made;
  std::unique_ptr<sim::SimPanel> panel;
  std::string device;
};

std::vector<TDemoPanels::TDemoPanel> TDemoPanels::DefaultPanels() {
  return {{"VYR8", "2.10", "1234"}, {"VYR32", "2.10", "5678"}};
}

TDemoPanels::TDemoPanels() = default;

TDemoPanels::~TDemoPanels() { Stop(); }

bool TDemoPanels::Start(bool wireTime, std::string* error, const std::vector<TDemoPanel>& panels) {
  Stop();
  uint32_t seed = 1;
  for (const TDemoPanel& p : panels) {
    sim::PanelConfig cfg;
    cfg.model = p.model;
    cfg.firmware = p.firmware;
    cfg.mainCode = p.mainCode;
    cfg.wireTime = wireTime;
    // Different users and keys in each panel, so that a send visibly
    // changes the target.
    cfg.seed = seed++;
    auto running = std::make_unique<TRunning>();
    running->made = p;
    running->panel = std::make_unique<sim::SimPanel>(cfg);
    if (!running->panel->Start(error)) {
      Stop();
      return false;
    }
    running->device = running->panel->DevicePath();
    running_.push_back(std::move(running));
  }
  return true;
}

void TDemoPanels::Stop() {
  for (auto& r : running_) r->panel->Stop();
  running_.clear();
}


std::vector<TPortEntry> TDemoPanels::Entries() const {
  std::vector<TPortEntry> entries;
  for (const auto& r : running_)
    entries.push_back({r->device, false, r->device + " (demo " + r->made.model + ", code " + r->made.mainCode + ")"});
  return entries;
}

}  // namespace tarvex
