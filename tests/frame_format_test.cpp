// Command frames byte for byte, the check bytes and the echo rule: no
// panel needed, so these run in the Windows build too.
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "protocol/frames.h"

namespace tarvex {
namespace {

std::vector<uint8_t> Bytes(const THeader& h) { return std::vector<uint8_t>(h.begin(), h.end()); }
std::vector<uint8_t> Bytes(std::initializer_list<int> v) {
  std::vector<uint8_t> out;
  for (int b : v) out.push_back(static_cast<uint8_t>(b));
  return out;
}

TEST(Frames, SmallHeadersOfTheWorkedExamples) {
  EXPECT_EQ(Bytes(MakeSmallHeader(0xF0, 0x1234, 15)), Bytes({0xF0, 0x34, 0x12, 0x0F, 0x00, 0x45}));
  EXPECT_EQ(Bytes(MakeSmallHeader(0x0F, 0x1234, 15)), Bytes({0x0F, 0x34, 0x12, 0x0F, 0x00, 0x64}));
  EXPECT_EQ(Bytes(MakeSmallHeader(0xF0, 0x0100, 0)), Bytes({0xF0, 0x00, 0x01, 0x00, 0x00, 0xF1}));
}

TEST(Frames, LargeHeadersCarryTheHighLastIndexInTheCommandByte) {
  EXPECT_EQ(Bytes(MakeLargeHeader(0xF8, 0xE1BA92, 1022)), Bytes({0xFB, 0xFE, 0xE1, 0xBA, 0x92, 0x26}));
  EXPECT_EQ(Bytes(MakeLargeHeader(0xA8, 0xE5095C, 15)), Bytes({0xA8, 0x0F, 0xE5, 0x09, 0x5C, 0x01}));
  EXPECT_EQ(Bytes(MakeLargeHeader(0xA8, 0xE1BA92, 1022)), Bytes({0xAB, 0xFE, 0xE1, 0xBA, 0x92, 0xD6}));
}

TEST(Frames, ChecksAndEchoRule) {
  const std::string digits = "123456789";
  EXPECT_EQ(Crc16Cms(reinterpret_cast<const uint8_t*>(digits.data()), digits.size()), 0xAEE7);
  EXPECT_EQ(Crc16Cms(nullptr, 0), 0xFFFF);
  // The table-driven check against the polynomial worked bit by bit, over
  // a full large block of every byte value.
  std::vector<uint8_t> block;
  for (int i = 0; i < 1023; ++i) block.push_back(static_cast<uint8_t>(i * 37 + 11));
  uint16_t bitwise = 0xFFFF;
  for (const uint8_t byte : block)
    for (int bit = 7; bit >= 0; --bit) {
      const bool flip = (((byte >> bit) ^ (bitwise >> 15)) & 1) != 0;
      bitwise = static_cast<uint16_t>(bitwise << 1);
      if (flip) bitwise ^= 0x8005;
    }
  EXPECT_EQ(Crc16Cms(block.data(), block.size()), bitwise);
  const uint8_t data[3] = {0xFF, 0x02, 0x01};
  EXPECT_EQ(Sum8(data, 3), 0x02);

  const THeader h{0xF0, 0x61, 0x41, 0x7A, 0x00, 0x5B};
  EXPECT_TRUE(EchoMatches(h, std::string("\xF0\x61\x41\x7A\x00\x5B", 6)));
  EXPECT_TRUE(EchoMatches(h, std::string("\xF0\x41\x61\x5A\x00\x5B", 6))) << "letters match in either case";
  EXPECT_FALSE(EchoMatches(h, std::string("\xF0\x61\x41\x7A\x00\x7B", 6))) << "0x5B is not a letter";
  EXPECT_FALSE(EchoMatches(h, std::string("\xD0\x61\x41\x7A\x00\x5B", 6))) << "0xF0 is not a letter";
  EXPECT_FALSE(EchoMatches(h, std::string("\xF0\x61\x41\x7A\x00", 5)));
  EXPECT_FALSE(EchoMatches(h, std::string()));
}

TEST(Frames, ReadEchoLimits) {
  EXPECT_EQ(ReadEchoLimitSeconds(63), 3);     // 3630 ms
  EXPECT_EQ(ReadEchoLimitSeconds(1022), 13);  // 13220 ms
  EXPECT_EQ(ReadEchoLimitSeconds(65536), 30); // capped at 30000 ms
}

}  // namespace
}  // namespace tarvex
