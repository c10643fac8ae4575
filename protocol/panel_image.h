// Panel data images: the byte-exact copy of one panel's users, codes, keys
// and cards. The same bytes, scrambled, are the content of a key-code file,
// so every offset here is a file-format offset and must never move.
// Multi-byte numbers are little-endian.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace tarvex {

// ---- Common header (both layouts, image offsets 0 to 119) ----
inline constexpr size_t kHeaderModelOffset = 0;        // int32: ConnectedModel at save
inline constexpr size_t kHeaderFirmwareOffset = 8;     // double: FirmwareVersion at save
inline constexpr size_t kHeaderDescriptionOffset = 16; // short string, at most 100 chars
inline constexpr size_t kHeaderDescriptionMax = 100;
inline constexpr size_t kHeaderSize = 120;

// ---- Small layout ----
inline constexpr size_t kSmallImageSize = 4208;
inline constexpr size_t kUserCount = 24;
inline constexpr size_t kUserEntrySize = 37;
inline constexpr size_t kUserTableOffset = 120;
inline constexpr size_t kUserTableSize = kUserCount * kUserEntrySize;  // 888
inline constexpr size_t kKeyCount = 128;
inline constexpr size_t kKeyEntrySize = 21;
inline constexpr size_t kKeyTableOffset = 1008;
inline constexpr size_t kKeyDataOffset = 3696;
inline constexpr size_t kKeyDataSize = 512;
inline constexpr size_t kNamedKeys = 16;  // only keys 0 to 15 carry names

// Offsets within a UserEntry.
inline constexpr size_t kUserNameOffset = 1;   // short string, at most 16
inline constexpr size_t kUserNameMax = 16;
inline constexpr size_t kUserAttrOffset = 18;  // 10 raw bytes; byte 18 == 1: main user
inline constexpr size_t kUserAttrSize = 10;
inline constexpr size_t kUserCodeOffset = 28;  // short string, at most 8
inline constexpr size_t kUserCodeMax = 8;

// Offsets within a KeyEntry.
inline constexpr size_t kKeyNameOffset = 1;    // short string, at most 16
inline constexpr size_t kKeyNameMax = 16;
inline constexpr size_t kKeyValueOffset = 18;
inline constexpr size_t kKeyFlagsOffset = 19;  // bits 0, 1, 6, 7 of the record's flags
inline constexpr size_t kKeyFlags23Offset = 20;  // bits 2 and 3 of the record's flags

// ---- Large layout ----
inline constexpr size_t kLargeImageSize = 460248;
inline constexpr size_t kLargeRegionsOffset = 1485;
inline constexpr size_t kLargeRegionCount = 7;

struct TLargeRegion {
  uint32_t RegionOffset;  // from the start of the regions (image offset 1485)
  uint32_t PanelAddress;  // large-panel memory address
  uint32_t Bytes;         // bytes of the block copied to the start of the region
};

// Record sizes and counts of the large panel's blocks, each held as the
// count minus one, as the panel's tables keep them.
inline constexpr uint16_t kLarge200Records = 199;
inline constexpr uint16_t kLarge500Records = 499;
inline constexpr uint16_t kLargeRegion0Record = 5;
inline constexpr uint16_t kLargeRegion1Record = 87;
inline constexpr uint16_t kLargeRegion4Record = 3;
inline constexpr uint16_t kLargeRegion6Record = 23;
inline constexpr uint16_t kLargeRegion5Length = 2000;
inline constexpr uint16_t kLargeRegion2Record = 8;
inline constexpr uint16_t kLargeRegion3Record = 4;

inline constexpr std::array<TLargeRegion, kLargeRegionCount> LargePanelMap = {{
    {0, 0xE5095C, (kLargeRegion0Record + 1u) * (kLarge200Records + 1u)},       // 1200
    {65537, 0xE1BA92, (kLargeRegion1Record + 1u) * (kLarge200Records + 1u)},   // 17600
    {131074, 0xE4CAA8, kLargeRegion2Record * (kLarge200Records + 1u)},         // 1600
    {196611, 0xE4C2D8, kLargeRegion3Record * (kLarge500Records + 1u)},         // 2000
    {262148, 0xE50E0C, (kLargeRegion4Record + 1u) * (kLarge200Records + 1u)},  // 800
    {327685, 0xE4E5C7, kLargeRegion5Length},                                   // 2000
    {393221, 0xE1225A, (kLargeRegion6Record + 1u) * (kLarge500Records + 1u)},  // 12000
}};

// A short string: one length byte, then the characters. Reading clamps a
// length byte larger than the field to the field's width.
std::string GetShortString(std::span<const uint8_t> field, size_t maxChars);
// Writes the length byte and the characters (cut to maxChars); bytes after
// the last character are left as they were.
void PutShortString(std::span<uint8_t> field, size_t maxChars, const std::string& text);

// A view of one UserEntry (37 bytes) inside a user table.
class UserEntry {
 public:
  explicit UserEntry(std::span<uint8_t, kUserEntrySize> bytes) : b_(bytes) {}
  std::string Name() const;
  void SetName(const std::string& name);
  uint8_t Attr(size_t i) const { return b_[kUserAttrOffset + i]; }  // i = 0..9
  void SetAttr(size_t i, uint8_t v) { b_[kUserAttrOffset + i] = v; }
  bool IsMainUser() const { return b_[kUserAttrOffset] == 1; }
  std::string Code() const;
  void SetCode(const std::string& code);
  std::span<uint8_t, kUserEntrySize> Bytes() const { return b_; }

 private:
  std::span<uint8_t, kUserEntrySize> b_;
};

// 24 UserEntry records, 888 bytes: inside the small image, or on its own
// (TargetUsers).
class UserTable {
 public:
  explicit UserTable(std::span<uint8_t, kUserTableSize> bytes) : b_(bytes) {}
  UserEntry User(size_t u) const {
    return UserEntry(b_.subspan(u * kUserEntrySize).first<kUserEntrySize>());
  }
  std::span<uint8_t, kUserTableSize> Bytes() const { return b_; }

 private:
  std::span<uint8_t, kUserTableSize> b_;
};

class KeyEntry {
 public:
  explicit KeyEntry(std::span<uint8_t, kKeyEntrySize> bytes) : b_(bytes) {}
  std::string Name() const;
  void SetName(const std::string& name);
  void ClearName() { b_[kKeyNameOffset] = 0; }
  uint8_t Value() const { return b_[kKeyValueOffset]; }
  void SetValue(uint8_t v) { b_[kKeyValueOffset] = v; }
  uint8_t Flags() const { return b_[kKeyFlagsOffset]; }
  void SetFlags(uint8_t v) { b_[kKeyFlagsOffset] = v; }
  uint8_t Flags23() const { return b_[kKeyFlags23Offset]; }
  void SetFlags23(uint8_t v) { b_[kKeyFlags23Offset] = v; }
  std::span<uint8_t, kKeyEntrySize> Bytes() const { return b_; }

 private:
  std::span<uint8_t, kKeyEntrySize> b_;
};

// Header accessors shared by both layouts.
int32_t ImageModel(std::span<const uint8_t> image);
void SetImageModel(std::span<uint8_t> image, int32_t model);
double ImageFirmware(std::span<const uint8_t> image);
void SetImageFirmware(std::span<uint8_t> image, double version);
std::string ImageDescription(std::span<const uint8_t> image);
void SetImageDescription(std::span<uint8_t> image, const std::string& text);

// The small layout, 4208 bytes, filled with FF when made.
class SmallPanelImage {
 public:
  SmallPanelImage() { Fill(); }
  void Fill() { bytes_.fill(0xFF); }
  std::span<uint8_t, kSmallImageSize> Bytes() { return bytes_; }
  std::span<const uint8_t, kSmallImageSize> Bytes() const { return bytes_; }
  UserTable Users() {
    return UserTable(std::span<uint8_t>(bytes_).subspan(kUserTableOffset).first<kUserTableSize>());
  }
  UserEntry User(size_t u) { return Users().User(u); }
  KeyEntry Key(size_t k) {
    return KeyEntry(std::span<uint8_t>(bytes_).subspan(kKeyTableOffset + k * kKeyEntrySize).first<kKeyEntrySize>());
  }
  std::span<uint8_t, kKeyDataSize> KeyData() {
    return std::span<uint8_t>(bytes_).subspan(kKeyDataOffset).first<kKeyDataSize>();
  }

 private:
  std::array<uint8_t, kSmallImageSize> bytes_{};
};

// The large layout, 460248 bytes, filled with FF when made.
class LargePanelImage {
 public:
  LargePanelImage() : bytes_(kLargeImageSize, 0xFF) {}
  void Fill() { std::fill(bytes_.begin(), bytes_.end(), 0xFF); }
  std::span<uint8_t> Bytes() { return bytes_; }
  std::span<const uint8_t> Bytes() const { return bytes_; }
  // The seven regions start here (image offset 1485).
  std::span<uint8_t> Regions() { return std::span<uint8_t>(bytes_).subspan(kLargeRegionsOffset); }
  std::span<uint8_t> Region(size_t r) {
    return Regions().subspan(LargePanelMap[r].RegionOffset, LargePanelMap[r].Bytes);
  }

 private:
  std::vector<uint8_t> bytes_;
};

// A user table outside the images: the target panel's users and codes,
// read during a send so that the small image is not disturbed.
struct TTargetUsers {
  TTargetUsers() { bytes.fill(0xFF); }
  std::array<uint8_t, kUserTableSize> bytes{};
  UserTable Table() { return UserTable(bytes); }
};

}  // namespace tarvex
