#include "protocol/text.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace tarvex {

std::string PrintableField(std::span<const uint8_t> buffer, size_t offset, size_t count) {
  std::string out;
  for (size_t i = 0; i < count && offset + i < buffer.size(); ++i) {
    const uint8_t c = buffer[offset + i];
    if (c >= 32) out.push_back(static_cast<char>(c));
  }
  const size_t first = out.find_first_not_of(' ');
  if (first == std::string::npos) return std::string();
  const size_t last = out.find_last_not_of(' ');
  return out.substr(first, last - first + 1);
}

std::string PadRight(const std::string& text, size_t width, char fill) {
  if (text.size() >= width) return text;
  return text + std::string(width - text.size(), fill);
}

std::string PadLeft(const std::string& text, size_t width, char fill) {
  if (text.size() >= width) return text;
  return std::string(width - text.size(), fill) + text;
}

double ParseVersion(const std::string& text) {
  // from_chars always uses the full stop, whatever the locale.
  double v = 0;
  const char* b = text.data();
  const char* e = text.data() + text.size();
  while (b < e && *b == ' ') ++b;
  while (e > b && e[-1] == ' ') --e;
  const auto r = std::from_chars(b, e, v, std::chars_format::fixed);
  if (r.ec != std::errc() || r.ptr != e || !std::isfinite(v)) return 0;
  return v;
}

std::string FormatVersion(double version) {
  char buf[64];
  // The panel shows two decimals; a full stop whatever the locale.
  std::snprintf(buf, sizeof buf, "%.2f", version);
  std::string s = buf;
  for (char& c : s)
    if (c == ',') c = '.';
  return s;
}

}  // namespace tarvex
