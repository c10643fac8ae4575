#include "app/display_text.h"

#include <cstdint>
#include <utility>

namespace tarvex {

namespace {

// Windows-1252 0x80..0x9F; 0 where the code page leaves a byte undefined.
constexpr char16_t kHigh[32] = {0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
                                0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

}  // namespace

std::string Cp1252ToUtf8(const std::string& bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (unsigned char b : bytes) {
    if (b < 0x20 || b == 0x7F) {
      out.push_back('?');
    } else if (b >= 0x80 && b <= 0x9F) {
      const char16_t c = kHigh[b - 0x80];
      if (c == 0) out.push_back('?');
      else AppendUtf8(out, c);
    } else {
      AppendUtf8(out, b);
    }
  }
  return out;
}

TPanelTextResult Utf8ToCp1252(const std::string& utf8, std::string* out) {
  std::string bytes;
  bytes.reserve(utf8.size());
  bool outside = false;
  for (size_t i = 0; i < utf8.size();) {
    const unsigned char lead = static_cast<unsigned char>(utf8[i]);
    char32_t c;
    size_t n;
    if (lead < 0x80) {
      c = lead;
      n = 1;
    } else if ((lead & 0xE0) == 0xC0) {
      c = lead & 0x1F;
      n = 2;
    } else if ((lead & 0xF0) == 0xE0) {
      c = lead & 0x0F;
      n = 3;
    } else if ((lead & 0xF8) == 0xF0) {
      c = lead & 0x07;
      n = 4;
    } else {
      return TPanelTextResult::NotUtf8;
    }
    if (i + n > utf8.size()) return TPanelTextResult::NotUtf8;
    for (size_t j = 1; j < n; ++j) {
      const unsigned char cont = static_cast<unsigned char>(utf8[i + j]);
      if ((cont & 0xC0) != 0x80) return TPanelTextResult::NotUtf8;
      c = (c << 6) | (cont & 0x3F);
    }
    // Overlong forms, surrogates and values past the last code point are
    // not UTF-8.
    static constexpr char32_t kMinimum[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (c < kMinimum[n] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return TPanelTextResult::NotUtf8;
    i += n;

    if (c < 0x20 || c == 0x7F || (c >= 0x80 && c <= 0x9F)) return TPanelTextResult::Control;
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) {
      bytes.push_back(static_cast<char>(c));
      continue;
    }
    bool found = false;
    for (size_t k = 0; k < 32; ++k) {
      if (kHigh[k] != 0 && kHigh[k] == c) {
        bytes.push_back(static_cast<char>(0x80 + k));
        found = true;
        break;
      }
    }
    // A control character later in the text still counts as the reason,
    // so keep looking rather than stop here.
    if (!found) outside = true;
  }
  if (outside) return TPanelTextResult::NotInCharacterSet;
  *out = std::move(bytes);
  return TPanelTextResult::Ok;
}

}  // namespace tarvex
