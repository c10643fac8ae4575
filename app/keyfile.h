// Key-code data files (".tvx"): the data image with every byte stored as
// two file bytes, each carrying one nibble of data beside one nibble of
// random filler. 8416 bytes for the small layout, 920496 for the large.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "app/session.h"

namespace tarvex {

inline constexpr size_t kSmallFileSize = 2 * kSmallImageSize;  // 8416
inline constexpr size_t kLargeFileSize = 2 * kLargeImageSize;  // 920496

// The filler generator: seed := seed x 134775813 + 1 per draw, the drawn
// byte is the top eight bits; the seed also steps by 1 after every file
// byte written.
class TFillerGenerator {
 public:
  explicit TFillerGenerator(uint32_t seed) : seed_(seed) {}
  uint8_t Draw();
  void Advance() { ++seed_; }
  uint32_t Seed() const { return seed_; }

 private:
  uint32_t seed_;
};

// A fresh seed from the high-resolution clock.
uint32_t NewFillerSeed();

// Encodes the image into 2 x image.size() file bytes with the given seed.
std::vector<uint8_t> EncodeImage(std::span<const uint8_t> image, uint32_t seed);
// Decodes file bytes into image (file.size() must be 2 x image.size()).
void DecodeImage(std::span<const uint8_t> file, std::span<uint8_t> image);

// The name a save writes: the extension (what follows the last dot, when
// no folder separator stands after it; '\\', ':' and on POSIX '/' count as
// separators) becomes ".tvx", or ".tvx" is appended.
std::string SaveFileName(const std::string& name);

// Fills the image header from the session (model, firmware version,
// description cut to 100 characters), then writes the file of the save-name
// rule. The file is written to a temporary file in the same folder, flushed
// and renamed over the target, owner-only: on failure an earlier file of
// that name is unchanged and no partial file is left. On failure an error
// box carries the system's description. writtenPath receives the path.
bool SaveSmallFile(TSession& s, const std::string& name, std::string* writtenPath = nullptr);
bool SaveLargeFile(TSession& s, const std::string& name, std::string* writtenPath = nullptr);

// Encodes the image (as it stands, header included) and writes it to
// exactly this path, safely as above. On failure error receives the path and
// the system's description, and nothing is shown.
bool WriteKeyCodeFile(std::span<const uint8_t> image, const std::string& path, std::string* error);

enum class TLoadResult {
  Loaded,          // the image now holds the file
  NotFound,        // FileNotFound box; nothing changed
  NotKeyCodeFile,  // wrong length; error box; nothing changed
  IoError,         // error box with the system's description; nothing changed
  Mismatch,        // PanelMismatch box; the image is unchanged; the window resets
};

// Loads exactly the named file into the image of the connected panel's
// class. All or nothing: the file is decoded into a scratch image, and only
// a complete file of the connected class replaces the image. A small load
// empties the names of keys 16 to 127.
TLoadResult LoadSmallFile(TSession& s, const std::string& name);
TLoadResult LoadLargeFile(TSession& s, const std::string& name);

// For tools that look at a file without a panel: reads and decodes a file
// of either length. False (with a reason) for any other length or an I/O
// failure.
bool DecodeKeyCodeFile(const std::string& path, std::vector<uint8_t>* image, std::string* error);

}  // namespace tarvex
