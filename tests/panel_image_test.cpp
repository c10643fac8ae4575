// The image layouts are file-format offsets: these pin them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "protocol/link.h"
#include "protocol/wipe.h"
#include "protocol/panel_image.h"

namespace tarvex {
namespace {

TEST(SmallImage, LayoutOffsets) {
  SmallPanelImage img;
  auto b = img.Bytes();
  EXPECT_EQ(b.size(), 4208u);
  for (uint8_t v : b) ASSERT_EQ(v, 0xFF);

  img.User(3).SetName("Mario");
  EXPECT_EQ(b[120 + 37 * 3 + 1], 5);
  EXPECT_EQ(std::memcmp(&b[120 + 37 * 3 + 2], "Mario", 5), 0);
  EXPECT_EQ(b[120 + 37 * 3 + 7], 0xFF) << "bytes after the name are left as they were";
  img.User(23).SetAttr(0, 1);
  EXPECT_EQ(b[120 + 37 * 23 + 18], 1);
  EXPECT_TRUE(img.User(23).IsMainUser());
  img.User(0).SetCode("1234FFFF");
  EXPECT_EQ(b[120 + 28], 8);
  EXPECT_EQ(b[120 + 29], '1');
  EXPECT_EQ(img.User(0).Code(), "1234FFFF");

  img.Key(5).SetName("Front door");
  EXPECT_EQ(b[1009 + 21 * 5], 10);
  img.Key(127).SetValue(0x42);
  img.Key(127).SetFlags(0xC3);
  img.Key(127).SetFlags23(0x0C);
  EXPECT_EQ(b[1008 + 21 * 127 + 18], 0x42);
  EXPECT_EQ(b[1008 + 21 * 127 + 19], 0xC3);
  EXPECT_EQ(b[1008 + 21 * 127 + 20], 0x0C);
  img.KeyData()[0] = 0x44;
  EXPECT_EQ(b[3696], 0x44) << "the key data follows the 128 key records";
  img.KeyData()[511] = 0x33;
  EXPECT_EQ(b[4207], 0x33);
}

// The program's layout constants are the file format's numbers, and the
// parts follow one another without a gap or an overlap.
TEST(SmallImage, LayoutConstants) {
  EXPECT_EQ(kHeaderSize, 120u);
  EXPECT_EQ(kUserTableOffset, 120u);
  EXPECT_EQ(kUserCount, 24u);
  EXPECT_EQ(kUserEntrySize, 37u);
  EXPECT_EQ(kKeyTableOffset, 1008u);
  EXPECT_EQ(kKeyCount, 128u);
  EXPECT_EQ(kKeyEntrySize, 21u);
  EXPECT_EQ(kKeyDataOffset, 3696u);
  EXPECT_EQ(kKeyDataSize, 512u);
  EXPECT_EQ(kSmallImageSize, 4208u);
  EXPECT_EQ(kUserTableOffset, kHeaderSize);
  EXPECT_EQ(kUserTableOffset + kUserCount * kUserEntrySize, kKeyTableOffset);
  EXPECT_EQ(kKeyTableOffset + kKeyCount * kKeyEntrySize, kKeyDataOffset);
  EXPECT_EQ(kKeyDataOffset + kKeyDataSize, kSmallImageSize);
}

TEST(SmallImage, ShortStringsAreCutAndClamped) {
  SmallPanelImage img;
  img.User(0).SetName("ABCDEFGHIJKLMNOPQRSTU");
  EXPECT_EQ(img.User(0).Name(), "ABCDEFGHIJKLMNOP");
  // A length byte of FF (an empty image) reads as at most the field width.
  EXPECT_EQ(img.User(1).Name().size(), 16u);
  EXPECT_EQ(img.User(1).Code().size(), 8u);
}

TEST(ImageHeader, LittleEndianFields) {
  SmallPanelImage img;
  auto b = img.Bytes();
  SetImageModel(b, 24);
  EXPECT_EQ(b[0], 24);
  EXPECT_EQ(b[3], 0);
  EXPECT_EQ(ImageModel(b), 24);
  EXPECT_EQ(b[4], 0xFF);
  SetImageFirmware(b, 2.1);
  double d = 2.1;
  uint8_t expect[8];
  std::memcpy(expect, &d, 8);
  EXPECT_EQ(std::memcmp(&b[8], expect, 8), 0);
  EXPECT_DOUBLE_EQ(ImageFirmware(b), 2.1);
  SetImageDescription(b, std::string(120, 'x'));
  EXPECT_EQ(b[16], 100);
  EXPECT_EQ(b[117], 0xFF);
  EXPECT_EQ(ImageDescription(b), std::string(100, 'x'));
  // A fresh image reads as model -1, not the large panel.
  SmallPanelImage fresh;
  EXPECT_EQ(ImageModel(fresh.Bytes()), -1);
}

TEST(LargeImage, RegionsAtTheirOffsets) {
  LargePanelImage img;
  EXPECT_EQ(img.Bytes().size(), 460248u);
  const size_t imageOffsets[7] = {1485, 67022, 132559, 198096, 263633, 329170, 394706};
  const uint32_t sizes[7] = {1200, 17600, 1600, 2000, 800, 2000, 12000};
  const uint32_t addresses[7] = {0xE5095C, 0xE1BA92, 0xE4CAA8, 0xE4C2D8, 0xE50E0C, 0xE4E5C7, 0xE1225A};
  for (size_t r = 0; r < 7; ++r) {
    EXPECT_EQ(img.Region(r).data() - img.Bytes().data(), static_cast<ptrdiff_t>(imageOffsets[r]));
    EXPECT_EQ(img.Region(r).size(), sizes[r]);
    EXPECT_EQ(LargePanelMap[r].PanelAddress, addresses[r]);
  }
  EXPECT_EQ(kLargeRegionsOffset, 1485u);
  EXPECT_EQ(kLargeImageSize, 460248u);
  // Each region's block ends before the next region starts, and the last
  // one inside the image.
  for (size_t r = 0; r < kLargeRegionCount; ++r) {
    const size_t end = kLargeRegionsOffset + LargePanelMap[r].RegionOffset + LargePanelMap[r].Bytes;
    const size_t next =
        r + 1 < kLargeRegionCount ? kLargeRegionsOffset + LargePanelMap[r + 1].RegionOffset : kLargeImageSize;
    EXPECT_LE(end, next) << "region " << r;
  }
}

TEST(BlockMaps, KeyDataEndsWhereTheKeyTableBegins) {
  for (const TBlockMap* m : {&kBlockMap1, &kBlockMap2, &kBlockMap3}) {
    EXPECT_EQ(m->KeyDataAddr + 512, m->KeyTableAddr);
  }
  EXPECT_GT(kBlockMap3.CodesAddr + kBlockMap3.CodesLen, kBlockMap3.UserAttrAddr);
}

TEST(Secrets, WipesClearEveryByteAndOnlyThose) {
  std::vector<uint8_t> bytes(kLargeImageSize + 2, 0xA5);
  WipeBytes(bytes.data() + 1, kLargeImageSize);
  EXPECT_EQ(bytes.front(), 0xA5);
  EXPECT_EQ(bytes.back(), 0xA5);
  EXPECT_EQ(std::count(bytes.begin() + 1, bytes.end() - 1, 0), static_cast<ptrdiff_t>(kLargeImageSize));
  WipeBytes(nullptr, 0);

  std::string code = "123456";
  WipeString(code);
  EXPECT_TRUE(code.empty());
  std::vector<uint8_t> buffer(8, 0x31);
  {
    TWipeOnExit wipe(buffer);
  }
  EXPECT_EQ(buffer, std::vector<uint8_t>(8, 0));
}

}  // namespace
}  // namespace tarvex
