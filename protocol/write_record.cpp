#include "protocol/write_record.h"

#include "protocol/wipe.h"

namespace tarvex {

void TWriteRecord::Wrote(uint32_t address, const uint8_t* data, size_t n) {
  for (size_t i = 0; i < n; ++i) bytes_[address + static_cast<uint32_t>(i)] = {data[i], true};
}

void TWriteRecord::MarkPanelOwned(uint32_t address, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    auto it = bytes_.find(address + static_cast<uint32_t>(i));
    if (it != bytes_.end()) it->second.compared = false;
  }
}

void TWriteRecord::Clear() {
  for (auto& entry : bytes_) WipeBytes(&entry.second.value, sizeof entry.second.value);
  bytes_.clear();
}

std::vector<TWriteRecord::TRange> TWriteRecord::Ranges() const {
  std::vector<TRange> out;
  for (const auto& [address, byte] : bytes_) {
    if (!out.empty() && out.back().start + out.back().count == address) {
      ++out.back().count;
    } else {
      out.push_back({address, 1});
    }
  }
  return out;
}

bool TWriteRecord::FirstDifference(const TRange& range, const uint8_t* readBack, uint32_t* address) const {
  for (uint32_t i = 0; i < range.count; ++i) {
    const auto it = bytes_.find(range.start + i);
    if (it == bytes_.end() || !it->second.compared) continue;
    if (it->second.value != readBack[i]) {
      *address = range.start + i;
      return true;
    }
  }
  return false;
}

}  // namespace tarvex
