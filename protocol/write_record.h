// What a send wrote into the panel, byte by byte, so that it can be read
// back and compared. A write exchange is acknowledged by the echo of its
// header alone: the panel never says whether it kept the data, and a block
// it discarded (a byte hit by noise on the way) would otherwise pass for
// written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

namespace tarvex {

// The bytes held are the panel's codes among the rest: they are wiped
// before the record lets them go, by Clear() and when the record ends.
class TWriteRecord {
 public:
  TWriteRecord() = default;
  TWriteRecord(const TWriteRecord&) = default;
  TWriteRecord& operator=(const TWriteRecord&) = default;
  ~TWriteRecord() { Clear(); }

  // n bytes written from address on; a later write of the same address
  // replaces what an earlier one wrote there.
  void Wrote(uint32_t address, const uint8_t* data, size_t n);
  // Bytes that were written back exactly as read from the same panel: they
  // belong to the panel, which may change them itself, and are not compared
  // unless a later write covers them.
  void MarkPanelOwned(uint32_t address, size_t n);
  // Forgets everything written, wiping each byte first.
  void Clear();
  bool Empty() const { return bytes_.empty(); }

  struct TRange {
    uint32_t start = 0;
    uint32_t count = 0;
    bool operator==(const TRange&) const = default;
  };
  // The addresses written, as runs of consecutive addresses, ascending.
  std::vector<TRange> Ranges() const;
  // Total bytes written.
  size_t Size() const { return bytes_.size(); }

  // The lowest address whose byte read back (readBack[i] is the byte of
  // address range.start + i) differs from what was written there, among the
  // bytes that are compared; false when there is none.
  bool FirstDifference(const TRange& range, const uint8_t* readBack, uint32_t* address) const;

 private:
  struct TByte {
    uint8_t value = 0;
    bool compared = true;
  };
  std::map<uint32_t, TByte> bytes_;
};

}  // namespace tarvex
