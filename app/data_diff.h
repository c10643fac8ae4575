// What differs between two data images of one layout: field by field for
// the small layout (header, users, keys, key data), record by record in
// each region for the large one. Codes are shown as stars unless revealed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace tarvex {

struct TDifference {
  enum class TWhat { Header, User, Key, KeyData, Record };
  TWhat What = TWhat::Header;
  size_t Number = 0;  // user, key or region
  size_t Record = 0;  // large layout: the record within the region
  // Header: "model", "firmware", "description"; user: "name", "code",
  // "main", "attributes"; key: "name", "value", "flags", "flags23"; key
  // data and records: "bytes".
  std::string Field;
  // The two sides as shown (UTF-8 names, codes as stars unless revealed);
  // for "bytes", how many bytes differ is in Bytes instead.
  std::string Before, After;
  size_t Bytes = 0;
};

struct TDiffOptions {
  bool RevealCodes = false;
  // The header (model, firmware, description) is compared too. Off for a
  // send, which writes no header.
  bool Header = true;
};

// False when the images are not both of the small or both of the large
// layout; out is then empty.
bool DiffImages(std::span<const uint8_t> before, std::span<const uint8_t> after, const TDiffOptions& options,
                std::vector<TDifference>* out);

// One line of text for a difference: user 3: name "BOB" -> "ROBERT".
std::string DifferenceLine(const TDifference& d);

}  // namespace tarvex
