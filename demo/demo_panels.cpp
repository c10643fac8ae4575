#include "demo/demo_panels.h"

#include "sim/sim_line.h"

namespace tarvex {

struct TDemoPanels::TRunning {
  TDemoPanel made;
  std::unique_ptr<sim::TSimLine> line;
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
    running->line = std::make_unique<sim::TSimLine>(cfg, sim::SimClock::Real);
    if (!running->line->Engine().Valid(error)) {
      Stop();
      return false;
    }
    running_.push_back(std::move(running));
  }
  return true;
}

void TDemoPanels::Stop() { running_.clear(); }

std::vector<TPortEntry> TDemoPanels::Entries() const {
  std::vector<TPortEntry> entries;
  for (size_t i = 0; i < running_.size(); ++i) {
    const TRunning& r = *running_[i];
    TPortEntry e;
    e.Device = "DEMO" + std::to_string(i + 1);
    e.Label = "Demo " + r.made.model + " (code " + r.made.mainCode + ")";
    e.System = r.line.get();
    entries.push_back(std::move(e));
  }
  return entries;
}

sim::TSimLine& TDemoPanels::Line(size_t i) { return *running_.at(i)->line; }

}  // namespace tarvex
