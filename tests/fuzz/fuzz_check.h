// What the fuzz targets share: the invariant check, a reader over the fuzz
// input, and check-byte and text helpers written independently of the
// protocol code, so that a target never proves the code with itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

// A violated invariant is a bug as real as a crash: say which one, then
// stop the way libFuzzer recognises, so that the input is saved.
#define FUZZ_CHECK(cond)                                                                  \
  do {                                                                                    \
    if (!(cond)) {                                                                        \
      std::fprintf(stderr, "%s:%d: invariant violated: %s\n", __FILE__, __LINE__, #cond); \
      std::fflush(stderr);                                                                \
      __builtin_trap();                                                                   \
    }                                                                                     \
  } while (0)

// The references below are oracles, not code under test: left out of the
// coverage map, they neither slow every case down nor steer the fuzzer.
#define FUZZ_ORACLE __attribute__((no_sanitize("coverage")))

namespace tarvex::fuzz {

// Hands out the fuzz input front to back. Reads past the end give zeros,
// so a short input still describes a complete (if dull) case.
class TInput {
 public:
  TInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  bool Empty() const { return pos_ >= size_; }
  size_t Remaining() const { return size_ - pos_; }

  uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint16_t Word() { return static_cast<uint16_t>(Byte() | (Byte() << 8)); }
  uint32_t Dword() { return static_cast<uint32_t>(Word()) | (static_cast<uint32_t>(Word()) << 16); }

  // Up to n bytes; fewer when the input ends.
  std::vector<uint8_t> Take(size_t n) {
    const size_t k = n < Remaining() ? n : Remaining();
    std::vector<uint8_t> out(data_ + pos_, data_ + pos_ + k);
    pos_ += k;
    return out;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

FUZZ_ORACLE inline uint8_t RefSum8(const uint8_t* p, size_t n) {
  unsigned sum = 0;
  for (size_t i = 0; i < n; ++i) sum += p[i];
  return static_cast<uint8_t>(sum & 0xFF);
}

// CRC-16/CMS from a table of the polynomial's 256 byte remainders (the
// link's code works bit against bit); both must agree.
struct TCrcTable {
  uint16_t v[256];
  constexpr TCrcTable() : v() {
    for (uint32_t b = 0; b < 256; ++b) {
      uint32_t crc = b << 8;
      for (int i = 0; i < 8; ++i) crc = (crc & 0x8000) ? ((crc << 1) ^ 0x8005) : (crc << 1);
      v[b] = static_cast<uint16_t>(crc & 0xFFFF);
    }
  }
};
inline constexpr TCrcTable kCrcTable{};

FUZZ_ORACLE inline uint16_t RefCrc16Cms(const uint8_t* p, size_t n) {
  uint16_t crc = 0xFFFF;
  for (size_t i = 0; i < n; ++i) crc = static_cast<uint16_t>((crc << 8) ^ kCrcTable.v[(crc >> 8) ^ p[i]]);
  return crc;
}

// The echo rule: same length, ASCII letters equal without regard to case,
// every other byte exactly.
FUZZ_ORACLE inline bool RefEchoEqual(const uint8_t* a, const uint8_t* b, size_t n) {
  auto up = [](uint8_t c) { return (c >= 'a' && c <= 'z') ? static_cast<uint8_t>(c - 'a' + 'A') : c; };
  for (size_t i = 0; i < n; ++i)
    if (up(a[i]) != up(b[i])) return false;
  return true;
}

// A fixed-width panel field as text: bytes below 32 dropped, spaces
// trimmed at both ends.
FUZZ_ORACLE inline std::string RefPrintable(const uint8_t* p, size_t n) {
  std::string kept;
  for (size_t i = 0; i < n; ++i)
    if (p[i] >= 32) kept.push_back(static_cast<char>(p[i]));
  size_t b = 0, e = kept.size();
  while (b < e && kept[b] == ' ') ++b;
  while (e > b && kept[e - 1] == ' ') --e;
  return kept.substr(b, e - b);
}

// What every printable field must look like, whatever the panel sent.
FUZZ_ORACLE inline bool IsCleanField(const std::string& t, size_t maxLen) {
  if (t.size() > maxLen) return false;
  for (char c : t)
    if (static_cast<uint8_t>(c) < 32) return false;
  return t.empty() || (t.front() != ' ' && t.back() != ' ');
}

// Well-formed UTF-8 of at most three-byte sequences, no surrogates.
FUZZ_ORACLE inline bool IsUtf8(const std::string& s, size_t* codePoints) {
  size_t i = 0, cps = 0;
  while (i < s.size()) {
    const uint8_t c = static_cast<uint8_t>(s[i]);
    size_t len = 0;
    uint32_t cp = 0;
    if (c < 0x80) {
      len = 1, cp = c;
    } else if ((c & 0xE0) == 0xC0) {
      len = 2, cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      len = 3, cp = c & 0x0F;
    } else {
      return false;
    }
    if (i + len > s.size()) return false;
    for (size_t k = 1; k < len; ++k) {
      const uint8_t d = static_cast<uint8_t>(s[i + k]);
      if ((d & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (d & 0x3F);
    }
    if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += len;
    ++cps;
  }
  *codePoints = cps;
  return true;
}

}  // namespace tarvex::fuzz
