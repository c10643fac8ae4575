// Helpers for the fixed-width text fields of panel memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace tarvex {

// The count bytes from offset, bytes below 32 dropped, then trimmed of
// leading and trailing spaces. Bytes past the end of the buffer are ignored.
std::string PrintableField(std::span<const uint8_t> buffer, size_t offset, size_t count);
// Text followed (PadRight) or preceded (PadLeft) by fill characters up to
// width; text of width or more characters is returned unchanged.
std::string PadRight(const std::string& text, size_t width, char fill);
std::string PadLeft(const std::string& text, size_t width, char fill);

// Parses a version text such as "2.10" with the full stop as the decimal
// point whatever the locale. A text that is not wholly a number gives 0,
// which no firmware rule accepts.
double ParseVersion(const std::string& text);
// "##0.00": at least one integer digit, exactly two decimals.
std::string FormatVersion(double version);

}  // namespace tarvex
