#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace tarvex::test {

std::unique_ptr<sim::SimPanel> StartPanel(sim::PanelConfig cfg) {
  auto panel = std::make_unique<sim::SimPanel>(std::move(cfg));
  std::string error;
  EXPECT_TRUE(panel->Start(&error)) << error;
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
