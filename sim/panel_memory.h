// Layout and generated contents of the simulated panels' memory.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/panel_config.h"

namespace tarvex::sim::detail {

constexpr uint32_t kSmallMemorySize = 0x10000;    // 16-bit addresses
constexpr uint32_t kLargeMemorySize = 0x1000000;  // 24-bit addresses

// Large panel: the version block and the real-version text.
constexpr uint32_t kLargeVersionAddr = 5523;
constexpr uint32_t kLargeVersionLen = 17;
constexpr uint32_t kLargeRealVersionAddr = 65544;

struct LargeBlock {
  uint32_t addr;
  uint32_t len;
};
// The seven data blocks of the large panel (users, codes, keys and cards).
extern const std::array<LargeBlock, 7> kLargeBlocks;

// Users and keys of a small panel.
constexpr int kUsers = 24;
constexpr int kUserAttrBytes = 10;
constexpr int kNameBytes = 16;
constexpr int kKeyRecords = 128;
constexpr int kNamedKeys = 16;

// True for a text of 0 to 6 decimal digits.
bool IsValidCode(const std::string& digits);

// Memory of a small panel: identification block at 0, then the data blocks
// of its block map. Everything else reads FF.
void FillSmallMemory(const PanelConfig& cfg, const SimBlockMap& map, std::vector<uint8_t>& mem);

// Memory of the large panel: version block, real version, the seven blocks.
// Everything else reads FF.
void FillLargeMemory(const PanelConfig& cfg, std::vector<uint8_t>& mem);

}  // namespace tarvex::sim::detail
