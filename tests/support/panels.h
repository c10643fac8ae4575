// The panel configuration most tests want: a model, its main user code, a
// seed for its data and a firmware version (empty: one the program
// accepts). Header-only; it serves the
// in-process panels (every platform) and the pty panels alike.
#pragma once

#include <cstdint>
#include <string>

#include "sim/panel_config.h"

namespace tarvex::test {

inline sim::PanelConfig PanelOf(const std::string& model, const std::string& mainCode, uint32_t seed = 1,
                                const std::string& firmware = "") {
  sim::PanelConfig cfg;
  cfg.model = model;
  cfg.firmware = firmware;
  cfg.mainCode = mainCode;
  cfg.seed = seed;
  return cfg;
}

}  // namespace tarvex::test
