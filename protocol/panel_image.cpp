#include "protocol/panel_image.h"

#include <cstring>

namespace tarvex {

std::string GetShortString(std::span<const uint8_t> field, size_t maxChars) {
  if (field.empty()) return std::string();
  const size_t n = std::min<size_t>({field[0], maxChars, field.size() - 1});
  return std::string(reinterpret_cast<const char*>(field.data() + 1), n);
}

void PutShortString(std::span<uint8_t> field, size_t maxChars, const std::string& text) {
  const size_t n = std::min({text.size(), maxChars, field.size() - 1});
  field[0] = static_cast<uint8_t>(n);
  std::memcpy(field.data() + 1, text.data(), n);
}

std::string UserEntry::Name() const { return GetShortString(b_.subspan(kUserNameOffset), kUserNameMax); }
void UserEntry::SetName(const std::string& name) { PutShortString(b_.subspan(kUserNameOffset), kUserNameMax, name); }
std::string UserEntry::Code() const { return GetShortString(b_.subspan(kUserCodeOffset), kUserCodeMax); }
void UserEntry::SetCode(const std::string& code) { PutShortString(b_.subspan(kUserCodeOffset), kUserCodeMax, code); }
std::string KeyEntry::Name() const { return GetShortString(b_.subspan(kKeyNameOffset), kKeyNameMax); }
void KeyEntry::SetName(const std::string& name) { PutShortString(b_.subspan(kKeyNameOffset), kKeyNameMax, name); }

int32_t ImageModel(std::span<const uint8_t> image) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | image[kHeaderModelOffset + i];
  return static_cast<int32_t>(v);
}

void SetImageModel(std::span<uint8_t> image, int32_t model) {
  const uint32_t v = static_cast<uint32_t>(model);
  for (int i = 0; i < 4; ++i) image[kHeaderModelOffset + i] = static_cast<uint8_t>(v >> (8 * i));
}

double ImageFirmware(std::span<const uint8_t> image) {
  uint64_t bits = 0;
  for (int i = 7; i >= 0; --i) bits = (bits << 8) | image[kHeaderFirmwareOffset + i];
  double v;
  std::memcpy(&v, &bits, sizeof v);
  return v;
}

void SetImageFirmware(std::span<uint8_t> image, double version) {
  uint64_t bits;
  std::memcpy(&bits, &version, sizeof bits);
  for (int i = 0; i < 8; ++i) image[kHeaderFirmwareOffset + i] = static_cast<uint8_t>(bits >> (8 * i));
}

std::string ImageDescription(std::span<const uint8_t> image) {
  return GetShortString(image.subspan(kHeaderDescriptionOffset, kHeaderDescriptionMax + 1), kHeaderDescriptionMax);
}

void SetImageDescription(std::span<uint8_t> image, const std::string& text) {
  PutShortString(image.subspan(kHeaderDescriptionOffset, kHeaderDescriptionMax + 1), kHeaderDescriptionMax, text);
}

}  // namespace tarvex
