#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <stdexcept>

#include "tests/support/sim_panels.h"

namespace tarvex::test {

std::unique_ptr<sim::SimPanel> StartPanel(sim::PanelConfig cfg) {
  std::string error;
  auto panel = StartSimPanel(std::move(cfg), &error);
  if (!panel) throw std::runtime_error("cannot start a simulated panel: " + error);
  return panel;
}

void OpenOn(TSession& s, const sim::SimPanel& panel, uint8_t baudIndex) {
  s.Link.PanelPort.Device = panel.DevicePath();
  s.Link.PanelPort.BaudIndex = baudIndex;
  ASSERT_TRUE(OpenComm(s.Link.PanelPort)) << DescribeCommError(s.Link.PanelPort);
}

TEnvGuard::TEnvGuard(std::string name) : name_(std::move(name)) {
  if (const char* v = std::getenv(name_.c_str())) saved_ = v;
}

TEnvGuard::~TEnvGuard() {
  if (saved_) {
    ::setenv(name_.c_str(), saved_->c_str(), 1);
  } else {
    ::unsetenv(name_.c_str());
  }
}

}  // namespace tarvex::test
