// Writes files for the loaders under test: raw bytes, or a panel image as
// a key-code file (every image byte as two file bytes around filler
// nibbles drawn from a seed, so a test's file is the same on every run).
// Header-only and free of any test framework.
#pragma once

#include <cstdint>
#include <fstream>
#include <span>
#include <string>
#include <vector>

#include "app/keyfile.h"

namespace tarvex::test {

// Creates or replaces the file with exactly these bytes; false when it
// cannot be written.
inline bool WriteBytes(const std::string& path, std::span<const uint8_t> bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  out.close();
  return !out.fail();
}

// The image as a key-code file.
inline bool WriteKeyFile(const std::string& path, std::span<const uint8_t> image, uint32_t fillerSeed) {
  const std::vector<uint8_t> file = EncodeImage(image, fillerSeed);
  return WriteBytes(path, file);
}

}  // namespace tarvex::test
