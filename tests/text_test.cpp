#include <gtest/gtest.h>

#include <clocale>
#include <string>

#include "protocol/text.h"

namespace tarvex {
namespace {

std::vector<uint8_t> B(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

TEST(PrintableField, DropsControlBytesThenTrims) {
  const auto b = B(std::string("\x01 VYR8\x00\x00  ", 10) + "2.10");
  EXPECT_EQ(PrintableField(b, 0, 6), "VYR8");
  EXPECT_EQ(PrintableField(b, 10, 4), "2.10");
  EXPECT_EQ(PrintableField(B("A\x1F" "B C  "), 0, 6), "AB C");
  EXPECT_EQ(PrintableField(B("   "), 0, 3), "");
  // Bytes above 127 are kept as they are (Windows-1252 text of the panel).
  EXPECT_EQ(PrintableField(B("Caf\xE9 "), 0, 5), "Caf\xE9");
  // A field reaching past the buffer stops at its end.
  EXPECT_EQ(PrintableField(B("AB"), 1, 16), "B");
  EXPECT_EQ(PrintableField(B("AB"), 5, 16), "");
}

TEST(PadText, NeverCuts) {
  EXPECT_EQ(PadRight("12", 8, 'F'), "12FFFFFF");
  EXPECT_EQ(PadRight("", 8, 'F'), "FFFFFFFF");
  EXPECT_EQ(PadRight("123456789", 8, 'F'), "123456789");
  EXPECT_EQ(PadRight("1.5", 4, '0'), "1.50");
  EXPECT_EQ(PadLeft("7", 3, '0'), "007");
  EXPECT_EQ(PadLeft("1234", 3, '0'), "1234");
}

// Puts a locale in force for one test and the earlier one back after it.
class TLocaleGuard {
 public:
  explicit TLocaleGuard(const char* name) {
    if (const char* now = std::setlocale(LC_ALL, nullptr)) saved_ = now;
    ok_ = std::setlocale(LC_ALL, name) != nullptr;
  }
  ~TLocaleGuard() { std::setlocale(LC_ALL, saved_.c_str()); }
  TLocaleGuard(const TLocaleGuard&) = delete;
  TLocaleGuard& operator=(const TLocaleGuard&) = delete;
  bool ok() const { return ok_; }

 private:
  std::string saved_ = "C";
  bool ok_ = false;
};

TEST(Version, ParsesWithAFullStopWhateverTheLocaleAndFormatsTwoDecimals) {
  // Italian writes 2,10: a version must still read and print with its full
  // stop. scripts/install-deps generates this locale.
  TLocaleGuard italian("it_IT.UTF-8");
  if (!italian.ok()) GTEST_SKIP() << "the it_IT.UTF-8 locale is not installed (scripts/install-deps makes it)";
  ASSERT_EQ(std::localeconv()->decimal_point, std::string(",")) << "a locale with a decimal comma";
  EXPECT_DOUBLE_EQ(ParseVersion("2.10"), 2.1);
  EXPECT_GE(ParseVersion("2.10"), 2.1);
  EXPECT_DOUBLE_EQ(ParseVersion("1.5"), 1.5);
  EXPECT_DOUBLE_EQ(ParseVersion("2,10"), 0) << "not wholly a number";
  EXPECT_DOUBLE_EQ(ParseVersion("2.1x"), 0);
  EXPECT_DOUBLE_EQ(ParseVersion(""), 0);
  EXPECT_DOUBLE_EQ(ParseVersion("nan"), 0);
  EXPECT_EQ(FormatVersion(2.1), "2.10");
  EXPECT_EQ(FormatVersion(2.05), "2.05");
  EXPECT_EQ(FormatVersion(0), "0.00");
  EXPECT_EQ(FormatVersion(12.5), "12.50");
}

// The same in the locale every program starts in.
TEST(Version, ParsesAndFormatsInTheCLocale) {
  TLocaleGuard c("C");
  ASSERT_TRUE(c.ok());
  EXPECT_DOUBLE_EQ(ParseVersion("2.10"), 2.1);
  EXPECT_DOUBLE_EQ(ParseVersion("2,10"), 0);
  EXPECT_EQ(FormatVersion(2.05), "2.05");
}

}  // namespace
}  // namespace tarvex

#include "app/display_text.h"

namespace tarvex {
namespace {

TEST(DisplayText, Windows1252BecomesUtf8AndControlBytesAreMadeHarmless) {
  EXPECT_EQ(Cp1252ToUtf8("Mario Rossi"), "Mario Rossi");
  EXPECT_EQ(Cp1252ToUtf8("Caf\xE9"), "Café");
  EXPECT_EQ(Cp1252ToUtf8("\x80 5"), "€ 5");
  EXPECT_EQ(Cp1252ToUtf8("\x9C"), "œ");
  EXPECT_EQ(Cp1252ToUtf8("A\x1B[2JB"), "A?[2JB") << "no terminal escapes from a panel";
  EXPECT_EQ(Cp1252ToUtf8(std::string("\x00\x7F\x81", 3)), "???");
  EXPECT_EQ(Cp1252ToUtf8("\xFF"), "ÿ");
}

}  // namespace
}  // namespace tarvex
