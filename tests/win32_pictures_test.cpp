// The Win32 window's pictures as the window gets them: decoded from this
// program's resources (the pictures.rc that tarvex.exe has too) at a DPI,
// normal and greyed for a disabled control.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "win32/pictures.h"

namespace tarvex::win32 {
namespace {

const TPicture kAll[] = {TPicture::ReadFromPanel, TPicture::SaveToFile, TPicture::LoadFromFile,
                         TPicture::SendToPanel,   TPicture::Browse,     TPicture::Info};
// Windows' scales (100 % to 300 %), and DPIs between and beyond them.
const int kDpis[] = {96, 120, 144, 168, 192, 240, 288, 72, 110, 200, 384};

struct TPixels {
  int width = 0;
  int height = 0;
  std::vector<uint32_t> argb;  // premultiplied, rows top to bottom
};

// The pixels of a picture made by MakePicture (a top-down 32-bit DIB).
TPixels Read(HBITMAP picture) {
  TPixels p;
  DIBSECTION dib{};
  if (::GetObjectW(picture, sizeof dib, &dib) != sizeof dib || !dib.dsBm.bmBits || dib.dsBm.bmBitsPixel != 32)
    return p;
  p.width = dib.dsBm.bmWidth;
  p.height = dib.dsBm.bmHeight;
  const auto* bits = static_cast<const uint32_t*>(dib.dsBm.bmBits);
  p.argb.assign(bits, bits + static_cast<size_t>(p.width) * p.height);
  return p;
}

// The share of the picture's area that is covered: its mean alpha, which
// stays the same when the picture is scaled.
double Coverage(const TPixels& p) {
  double sum = 0;
  for (uint32_t px : p.argb) sum += (px >> 24) / 255.0;
  return p.argb.empty() ? 0 : sum / p.argb.size();
}

std::string Name(TPicture which, int dpi) {
  return "picture " + std::to_string(static_cast<int>(which)) + " at " + std::to_string(dpi) + " DPI";
}

class Win32Pictures : public ::testing::Test {
 protected:
  TGdiplus gdiplus_;
};

TEST_F(Win32Pictures, EveryPictureAtEveryDpiHasItsSizeAndIsDrawn) {
  ASSERT_TRUE(gdiplus_.Ready());
  for (TPicture which : kAll) {
    const SIZE design = PictureSize(which);
    double at96 = 0;
    for (int dpi : kDpis) {
      SCOPED_TRACE(Name(which, dpi));
      HBITMAP picture = MakePicture(which, dpi, false);
      ASSERT_NE(picture, nullptr);
      const TPixels p = Read(picture);
      ::DeleteObject(picture);
      EXPECT_EQ(p.width, ::MulDiv(design.cx, dpi, 96));
      EXPECT_EQ(p.height, ::MulDiv(design.cy, dpi, 96));
      ASSERT_FALSE(p.argb.empty());
      size_t clear = 0;
      for (uint32_t px : p.argb) {
        const uint32_t a = px >> 24;
        clear += a == 0;
        // Premultiplied alpha, as AlphaBlend needs it: no channel above it.
        ASSERT_LE((px >> 16) & 0xFF, a);
        ASSERT_LE((px >> 8) & 0xFF, a);
        ASSERT_LE(px & 0xFF, a);
      }
      // Every picture stands on a transparent ground and covers a good part
      // of its square, at any scale alike: the whole picture is scaled, not
      // a corner of it shown.
      EXPECT_GT(clear, 0u);
      const double share = Coverage(p);
      EXPECT_GT(share, 0.2);
      if (dpi == 96) at96 = share;
      EXPECT_NEAR(share, at96, 0.05);
    }
  }
}

TEST_F(Win32Pictures, DisabledIsTheSamePictureGreyAndFaded) {
  ASSERT_TRUE(gdiplus_.Ready());
  for (TPicture which : kAll) {
    for (int dpi : {96, 144}) {
      SCOPED_TRACE(Name(which, dpi));
      HBITMAP normal = MakePicture(which, dpi, false);
      HBITMAP disabled = MakePicture(which, dpi, true);
      ASSERT_NE(normal, nullptr);
      ASSERT_NE(disabled, nullptr);
      const TPixels n = Read(normal), d = Read(disabled);
      ::DeleteObject(normal);
      ::DeleteObject(disabled);
      ASSERT_EQ(n.argb.size(), d.argb.size());
      bool coloured = false;
      for (size_t i = 0; i < n.argb.size(); ++i) {
        const uint32_t a = d.argb[i] >> 24, r = (d.argb[i] >> 16) & 0xFF, g = (d.argb[i] >> 8) & 0xFF,
                       b = d.argb[i] & 0xFF;
        ASSERT_EQ(a, (n.argb[i] >> 24) / 2) << "pixel " << i;
        ASSERT_TRUE(r == g && g == b) << "pixel " << i;
        const uint32_t nr = (n.argb[i] >> 16) & 0xFF, ng = (n.argb[i] >> 8) & 0xFF, nb = n.argb[i] & 0xFF;
        coloured = coloured || nr != ng || ng != nb;
      }
      EXPECT_TRUE(coloured) << "the normal picture has no colour";
    }
  }
}

}  // namespace
}  // namespace tarvex::win32
