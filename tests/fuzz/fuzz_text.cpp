// Fuzzes the small parsers and formatters that panel bytes and file bytes
// pass through: PrintableField, PadRight/PadLeft, ParseVersion and
// FormatVersion, the echo test, the check sums and frame headers, short
// strings, code texts, the save-name rule and the code-page conversion.
//
// The first input byte picks the function, the rest is its material. Every
// result is held to what its caller relies on, mostly against a reference
// written here independently.
#include <cerrno>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/display_text.h"
#include "app/keyfile.h"
#include "protocol/frames.h"
#include "protocol/panel_image.h"
#include "protocol/text.h"
#include "protocol/transfer.h"
#include "tests/fuzz/fuzz_check.h"

namespace tarvex::fuzz {
namespace {

std::string Rest(TInput& in) {
  const std::vector<uint8_t> b = in.Take(in.Remaining());
  return std::string(b.begin(), b.end());
}

// An offset or count: mostly near the buffer, now and then anywhere up to
// the largest size_t, where offset + count overflows.
size_t Extent(TInput& in, size_t near) {
  const uint8_t how = in.Byte();
  if (how < 24) return static_cast<size_t>(in.Dword()) | (static_cast<size_t>(in.Dword()) << 32);
  if (how < 32) return SIZE_MAX - in.Byte();
  return in.Byte() % (near + 9);
}

void FuzzPrintableField(TInput& in) {
  const size_t offset = Extent(in, 32);
  const size_t count = Extent(in, 32);
  const std::vector<uint8_t> buf = in.Take(in.Remaining());
  const std::string out = PrintableField(buf, offset, count);
  const size_t begin = offset < buf.size() ? offset : buf.size();
  const size_t end = begin + std::min(count, buf.size() - begin);
  FUZZ_CHECK(out == RefPrintable(buf.data() + begin, end - begin));
  FUZZ_CHECK(IsCleanField(out, count));
  FUZZ_CHECK(out.size() <= end - begin);
}

void FuzzPad(TInput& in) {
  const uint8_t how = in.Byte();
  const size_t width = (how & 1) ? in.Word() : in.Byte() % 24;
  const char fill = static_cast<char>(in.Byte());
  const std::string text = Rest(in);
  const std::string right = PadRight(text, width, fill);
  const std::string left = PadLeft(text, width, fill);
  const size_t want = std::max(text.size(), width);
  FUZZ_CHECK(right.size() == want && left.size() == want);
  FUZZ_CHECK(right.compare(0, text.size(), text) == 0);
  FUZZ_CHECK(left.compare(want - text.size(), text.size(), text) == 0);
  for (size_t i = text.size(); i < want; ++i) FUZZ_CHECK(right[i] == fill && left[i - text.size()] == fill);
}

bool IsStrictDecimal(const std::string& t) {
  // -?digits(.digits)?
  size_t i = 0;
  if (i < t.size() && t[i] == '-') ++i;
  const size_t intStart = i;
  while (i < t.size() && t[i] >= '0' && t[i] <= '9') ++i;
  if (i == intStart) return false;
  if (i == t.size()) return true;
  if (t[i] != '.') return false;
  const size_t fracStart = ++i;
  while (i < t.size() && t[i] >= '0' && t[i] <= '9') ++i;
  return i > fracStart && i == t.size();
}

void FuzzParseVersion(TInput& in) {
  const std::string text = Rest(in);
  const double v = ParseVersion(text);
  FUZZ_CHECK(std::isfinite(v));
  size_t b = 0, e = text.size();
  while (b < e && text[b] == ' ') ++b;
  while (e > b && text[e - 1] == ' ') --e;
  const std::string t = text.substr(b, e - b);
  // Only digits, a full stop and a minus sign make a number; whatever the
  // locale, a comma never does.
  if (t.find_first_not_of("0123456789.-") != std::string::npos) {
    FUZZ_CHECK(v == 0);
    return;
  }
  // strtod in the "C" locale (the fuzzer never changes it) is the
  // reference for what is a number.
  char* stop = nullptr;
  errno = 0;
  const double ref = t.empty() ? 0 : std::strtod(t.c_str(), &stop);
  const bool outOfRange = errno == ERANGE;
  const bool whole = !t.empty() && stop == t.c_str() + t.size() && std::isfinite(ref);
  if (IsStrictDecimal(t) && !outOfRange) {
    FUZZ_CHECK(v == ref);
  } else {
    FUZZ_CHECK(v == 0 || (whole && v == ref));
  }
  // The version texts of panel fields are at most four characters: those
  // always format as "##0.00".
  if (t.size() <= 4) {
    const std::string f = FormatVersion(v);
    FUZZ_CHECK(f.size() >= 4 && f[f.size() - 3] == '.');
  }
}

bool LooksLikeTwoDecimals(const std::string& s) {
  size_t i = 0;
  if (i < s.size() && s[i] == '-') ++i;
  const size_t intStart = i;
  while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i;
  return i > intStart && s.size() == i + 3 && s[i] == '.' && s[i + 1] >= '0' && s[i + 1] <= '9' &&
         s[i + 2] >= '0' && s[i + 2] <= '9';
}

void FuzzFormatVersion(TInput& in) {
  uint64_t bits = in.Dword() | (static_cast<uint64_t>(in.Dword()) << 32);
  double v;
  std::memcpy(&v, &bits, sizeof v);
  // Half the time a plain version-sized number rather than random bits.
  if (in.Byte() & 1) v = static_cast<double>(static_cast<int32_t>(bits & 0xFFFFF)) / 1000.0;
  const std::string s = FormatVersion(v);
  FUZZ_CHECK(!s.empty() && s.size() < 64 && s.find(',') == std::string::npos);
  if (std::isfinite(v) && std::fabs(v) < 1e15) FUZZ_CHECK(LooksLikeTwoDecimals(s));
  if (std::isfinite(v) && std::fabs(v) < 1e6) {
    const double back = ParseVersion(s);
    FUZZ_CHECK(std::fabs(back - v) <= 0.0050001);
  }
}

void FuzzEcho(TInput& in) {
  THeader h;
  for (uint8_t& b : h) b = in.Byte();
  const std::string reply = Rest(in);
  const bool want = reply.size() == 6 && RefEchoEqual(h.data(), reinterpret_cast<const uint8_t*>(reply.data()), 6);
  FUZZ_CHECK(EchoMatches(h, reply) == want);
  // The header itself, and the header with its letters in the other case,
  // are always an echo.
  std::string same(h.begin(), h.end());
  FUZZ_CHECK(EchoMatches(h, same));
  for (char& c : same)
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) c = static_cast<char>(c ^ 0x20);
  FUZZ_CHECK(EchoMatches(h, same));
}

void FuzzChecks(TInput& in) {
  const uint32_t address = in.Dword();
  const uint32_t last = in.Word();
  std::vector<uint8_t> data = in.Take(in.Remaining());
  FUZZ_CHECK(Sum8(data.data(), data.size()) == RefSum8(data.data(), data.size()));
  const uint16_t crc = Crc16Cms(data.data(), data.size());
  FUZZ_CHECK(crc == RefCrc16Cms(data.data(), data.size()));
  // No reflection and no final XOR: the data followed by its CRC, high
  // byte first, leaves no remainder.
  data.push_back(static_cast<uint8_t>(crc >> 8));
  data.push_back(static_cast<uint8_t>(crc & 0xFF));
  FUZZ_CHECK(Crc16Cms(data.data(), data.size()) == 0);

  const THeader s = MakeSmallHeader(kSmallReadCommand, address, last);
  FUZZ_CHECK(s[0] == kSmallReadCommand && (s[1] | (s[2] << 8)) == (address & 0xFFFF) &&
             (s[3] | (s[4] << 8)) == (last & 0xFFFF) && s[5] == RefSum8(s.data(), 5));
  const uint32_t largeLast = last % LargeBlockSize;
  const THeader l = MakeLargeHeader(kLargeWriteCommand, address, largeLast);
  FUZZ_CHECK((l[0] & 0xFC) == kLargeWriteCommand && ((((l[0] & 3u) << 8) | l[1]) == largeLast) &&
             ((static_cast<uint32_t>(l[2]) << 16 | l[3] << 8 | l[4]) == (address & 0xFFFFFF)) &&
             l[5] == RefSum8(l.data(), 5));
}

void FuzzShortString(TInput& in) {
  const size_t maxChars = in.Byte() % 120;
  std::vector<uint8_t> field = in.Take(in.Remaining());
  const std::string got = GetShortString(field, maxChars);
  if (field.empty()) {
    FUZZ_CHECK(got.empty());
    return;
  }
  FUZZ_CHECK(got.size() <= maxChars && got.size() <= field[0] && got.size() <= field.size() - 1);
  FUZZ_CHECK(std::memcmp(got.data(), field.data() + 1, got.size()) == 0);
  // Writing back what was read gives the same text again.
  PutShortString(field, maxChars, got);
  FUZZ_CHECK(field[0] == got.size() && GetShortString(field, maxChars) == got);
}

void FuzzCodeTexts(TInput& in) {
  uint8_t bytes[6];
  for (uint8_t& b : bytes) b = in.Byte();
  for (bool perByte : {true, false}) {
    const std::string t = CodeTextFromPanel(bytes, perByte);
    // One or two digits per byte, or exactly two.
    FUZZ_CHECK(perByte ? (t.size() >= 6 && t.size() <= 12) : t.size() == 6);
    FUZZ_CHECK(t.find_first_not_of("0123456789ABCDEF") == std::string::npos);
  }
  const std::string code = Rest(in);
  const std::string digits = CodeTextToDigits(code);
  FUZZ_CHECK(digits.size() == 2 * code.size());
  for (size_t i = 0; i < code.size(); ++i) {
    FUZZ_CHECK(digits[2 * i + 1] == code[i]);
    FUZZ_CHECK(digits[2 * i] == ((code[i] == 'F' || code[i] == 'f') ? 'F' : '0'));
  }
}

void FuzzSaveName(TInput& in) {
  const std::string name = Rest(in);
  const std::string out = SaveFileName(name);
  FUZZ_CHECK(out.size() >= 4 && out.compare(out.size() - 4, 4, ".tvx") == 0);
  const std::string stem = out.substr(0, out.size() - 4);
  FUZZ_CHECK(name.compare(0, stem.size(), stem) == 0);
  // What was cut is the extension: one dot and no folder separator.
  const std::string cut = name.substr(stem.size());
  if (!cut.empty()) FUZZ_CHECK(cut[0] == '.' && cut.find_first_of("\\:/") == std::string::npos);
  if (cut.empty()) FUZZ_CHECK(stem == name);
}

void FuzzCodePage(TInput& in) {
  const std::string bytes = Rest(in);
  const std::string out = Cp1252ToUtf8(bytes);
  size_t codePoints = 0;
  FUZZ_CHECK(IsUtf8(out, &codePoints));
  FUZZ_CHECK(codePoints == bytes.size());
  for (char c : out) FUZZ_CHECK(static_cast<uint8_t>(c) >= 0x20 && c != 0x7F);
}

// The path identification takes: a 4-byte field of a reply, read as a
// version and shown again.
void FuzzVersionField(TInput& in) {
  const std::vector<uint8_t> buf = in.Take(in.Remaining());
  const std::string field = PrintableField(buf, 0, 4);
  FUZZ_CHECK(IsCleanField(field, 4));
  const double v = ParseVersion(field);
  FUZZ_CHECK(std::isfinite(v) && LooksLikeTwoDecimals(FormatVersion(v)));
}

}  // namespace
}  // namespace tarvex::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tarvex::fuzz;
  TInput in(data, size);
  switch (in.Byte() % 11) {
    case 0: FuzzPrintableField(in); break;
    case 1: FuzzPad(in); break;
    case 2: FuzzParseVersion(in); break;
    case 3: FuzzFormatVersion(in); break;
    case 4: FuzzEcho(in); break;
    case 5: FuzzChecks(in); break;
    case 6: FuzzShortString(in); break;
    case 7: FuzzCodeTexts(in); break;
    case 8: FuzzSaveName(in); break;
    case 9: FuzzCodePage(in); break;
    default: FuzzVersionField(in); break;
  }
  return 0;
}
