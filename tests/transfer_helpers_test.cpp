// The small helpers of the transfer sequences: code texts, padded names and
// bits. No panel needed, so these run in the Windows build too.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/transfer.h"

namespace tarvex {
namespace {

using Bytes = std::vector<uint8_t>;

TEST(TransferHelpers, CodeTextToDigitsDoublesEveryCharacter) {
  EXPECT_EQ(CodeTextToDigits("1234FFFF"), "01020304FFFFFFFF");
  EXPECT_EQ(CodeTextToDigits("9f"), "09Ff");
  EXPECT_EQ(CodeTextToDigits("A"), "0A");
  EXPECT_EQ(CodeTextToDigits(""), "");
}

TEST(TransferHelpers, CodeTextFromPanelBytes) {
  const uint8_t perByte[6] = {0, 15, 255, 10, 1, 2};
  EXPECT_EQ(CodeTextFromPanel(perByte, true), "0FFFA12") << "no leading zeros, upper case";
  const uint8_t threeDigits[6] = {3, 1, 9, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(CodeTextFromPanel(threeDigits, true), "319FFFFFF");
  const uint8_t packed[3] = {0x00, 0x0A, 0xF0};
  EXPECT_EQ(CodeTextFromPanel(packed, false), "000AF0") << "always two digits a byte";
}

TEST(TransferHelpers, PutPaddedNameCutsAndPads) {
  TTransferBuffer buf;
  buf.fill(0xAA);
  PutPaddedName(buf, "Front door", 32, 16);
  EXPECT_EQ(Bytes(buf.begin() + 31, buf.begin() + 49),
            (Bytes{0xAA, 'F', 'r', 'o', 'n', 't', ' ', 'd', 'o', 'o', 'r', ' ', ' ', ' ', ' ', ' ', ' ', 0xAA}));
  PutPaddedName(buf, "A name far longer than sixteen", 0, 16);
  EXPECT_EQ(std::string(buf.begin(), buf.begin() + 16), "A name far longe");
  EXPECT_EQ(buf[16], 0xAA);
  PutPaddedName(buf, "", 64, 16);
  EXPECT_EQ(std::string(buf.begin() + 64, buf.begin() + 80), std::string(16, ' '));
  EXPECT_EQ(buf[80], 0xAA);
}

TEST(TransferHelpers, Bits) {
  uint8_t b = 0xF0;
  SetBit(b, 0, true);
  SetBit(b, 7, false);
  EXPECT_EQ(b, 0x71);
  SetBit(b, 0, true);
  EXPECT_EQ(b, 0x71) << "setting a set bit changes nothing";
  EXPECT_TRUE(TestBit(0x80000000u, 31));
  EXPECT_FALSE(TestBit(0x7FFFFFFFu, 31));
  EXPECT_TRUE(TestBit(0x71, 4));
  EXPECT_FALSE(TestBit(0x71, 3));
}

}  // namespace
}  // namespace tarvex
