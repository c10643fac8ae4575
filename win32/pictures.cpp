#include "win32/pictures.h"

#include <shlwapi.h>

#include <cstdint>
#include <cstring>
#include <string>

// GDI+'s headers use min and max unqualified and need the COM interfaces
// that WIN32_LEAN_AND_MEAN leaves out.
#include <objidl.h>

#include <algorithm>
namespace Gdiplus {
using std::max;
using std::min;
}  // namespace Gdiplus
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-parameter"
#include <gdiplus.h>
#pragma GCC diagnostic pop

namespace tarvex::win32 {

namespace {

// The scales each picture was rendered at, in percent of its size at
// 96 DPI, smallest first (win32/CMakeLists.txt).
constexpr int kPercents[] = {TARVEX_PICTURE_PERCENTS};

// The picture's name among the resources: <name>_<percent>.
const wchar_t* ResourceName(TPicture which) {
  switch (which) {
    case TPicture::ReadFromPanel: return L"READ";
    case TPicture::SaveToFile: return L"SAVE";
    case TPicture::LoadFromFile: return L"LOAD";
    case TPicture::SendToPanel: return L"SEND";
    case TPicture::Browse: return L"BROWSE";
    case TPicture::Info: return L"INFO";
  }
  return L"";
}

// The scale to load for a picture of width x height: the one rendered at
// exactly that size, else the smallest larger one (scaled down), else the
// largest (scaled up).
int PercentFor(SIZE design, int width, int height) {
  for (int p : kPercents)
    if (::MulDiv(design.cx, p, 100) == width && ::MulDiv(design.cy, p, 100) == height) return p;
  for (int p : kPercents)
    if (::MulDiv(design.cx, p, 100) >= width && ::MulDiv(design.cy, p, 100) >= height) return p;
  return kPercents[std::size(kPercents) - 1];
}

// A 32-bit top-down DIB section; bits receives its pixels.
HBITMAP MakeDib(int width, int height, void** bits) {
  BITMAPINFO bi{};
  bi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  bi.bmiHeader.biWidth = width;
  bi.bmiHeader.biHeight = -height;
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 32;
  bi.bmiHeader.biCompression = BI_RGB;
  return ::CreateDIBSection(nullptr, &bi, DIB_RGB_COLORS, bits, nullptr, 0);
}

// Copies a bitmap's pixels as premultiplied BGRA into out (width x height).
bool CopyPixels(Gdiplus::Bitmap& bitmap, int width, int height, uint32_t* out) {
  Gdiplus::BitmapData data{};
  Gdiplus::Rect all(0, 0, width, height);
  if (bitmap.LockBits(&all, Gdiplus::ImageLockModeRead, PixelFormat32bppPARGB, &data) != Gdiplus::Ok) return false;
  for (int y = 0; y < height; ++y)
    std::memcpy(out + static_cast<size_t>(y) * width, static_cast<const uint8_t*>(data.Scan0) + y * data.Stride,
                static_cast<size_t>(width) * 4);
  bitmap.UnlockBits(&data);
  return true;
}

// Decodes the PNG resource `name` and puts it, at width x height, into out
// as premultiplied BGRA.
bool LoadPng(const std::wstring& name, int width, int height, uint32_t* out) {
  HMODULE module = ::GetModuleHandleW(nullptr);
  HRSRC found = ::FindResourceW(module, name.c_str(), MAKEINTRESOURCEW(10) /* RT_RCDATA */);
  if (!found) return false;
  HGLOBAL loaded = ::LoadResource(module, found);
  const void* bytes = loaded ? ::LockResource(loaded) : nullptr;
  const DWORD size = ::SizeofResource(module, found);
  if (!bytes || size == 0) return false;
  // GDI+ reads the picture from the stream for as long as the bitmap lives.
  IStream* stream = ::SHCreateMemStream(static_cast<const BYTE*>(bytes), size);
  if (!stream) return false;
  bool done = false;
  {
    Gdiplus::Bitmap png(stream);
    if (png.GetLastStatus() == Gdiplus::Ok) {
      const int w = static_cast<int>(png.GetWidth()), h = static_cast<int>(png.GetHeight());
      if (w == width && h == height) {
        done = CopyPixels(png, width, height, out);
      } else if (w > 0 && h > 0) {
        Gdiplus::Bitmap scaled(width, height, PixelFormat32bppPARGB);
        if (scaled.GetLastStatus() == Gdiplus::Ok) {
          {
            Gdiplus::Graphics g(&scaled);
            g.Clear(Gdiplus::Color(0, 0, 0, 0));
            g.SetInterpolationMode(Gdiplus::InterpolationModeHighQualityBicubic);
            g.SetPixelOffsetMode(Gdiplus::PixelOffsetModeHalf);
            // Edge pixels scaled against themselves, not against a
            // transparent border.
            Gdiplus::ImageAttributes edges;
            edges.SetWrapMode(Gdiplus::WrapModeTileFlipXY);
            g.DrawImage(&png, Gdiplus::Rect(0, 0, width, height), 0, 0, w, h, Gdiplus::UnitPixel, &edges);
          }
          done = CopyPixels(scaled, width, height, out);
        }
      }
    }
  }
  stream->Release();
  return done;
}

// Grey and faded, as a disabled button shows its picture.
void Grey(uint32_t* pixels, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    const uint32_t p = pixels[i];
    const uint32_t a = p >> 24, r = (p >> 16) & 0xFF, g = (p >> 8) & 0xFF, b = p & 0xFF;
    // Premultiplied: the grey of the colour, then lightened towards the
    // alpha (white at that coverage) and faded to half.
    const uint32_t l = (r * 30 + g * 59 + b * 11) / 100;
    const uint32_t light = (l + a) / 2;
    pixels[i] = ((a / 2) << 24) | ((light / 2) << 16) | ((light / 2) << 8) | (light / 2);
  }
}

}  // namespace

TGdiplus::TGdiplus() {
  Gdiplus::GdiplusStartupInput input;
  if (Gdiplus::GdiplusStartup(&token_, &input, nullptr) != Gdiplus::Ok) token_ = 0;
}

TGdiplus::~TGdiplus() {
  if (token_) Gdiplus::GdiplusShutdown(token_);
}

SIZE PictureSize(TPicture which) {
  switch (which) {
    case TPicture::Browse:
      return SIZE{16, 16};
    case TPicture::Info:
      return SIZE{16, 15};
    default:
      return SIZE{32, 32};
  }
}

HBITMAP MakePicture(TPicture which, int dpi, bool disabled) {
  const SIZE design = PictureSize(which);
  const int width = ::MulDiv(design.cx, dpi, 96), height = ::MulDiv(design.cy, dpi, 96);
  if (width <= 0 || height <= 0) return nullptr;
  void* bits = nullptr;
  HBITMAP dib = MakeDib(width, height, &bits);
  if (!dib) return nullptr;
  auto* pixels = static_cast<uint32_t*>(bits);
  const std::wstring name =
      std::wstring(ResourceName(which)) + L"_" + std::to_wstring(PercentFor(design, width, height));
  if (!LoadPng(name, width, height, pixels)) {
    ::DeleteObject(dib);
    return nullptr;
  }
  if (disabled) Grey(pixels, static_cast<size_t>(width) * height);
  return dib;
}

void DrawPicture(HDC dc, HBITMAP picture, int x, int y) {
  if (!picture) return;
  BITMAP bm{};
  ::GetObjectW(picture, sizeof bm, &bm);
  HDC source = ::CreateCompatibleDC(dc);
  HGDIOBJ old = ::SelectObject(source, picture);
  BLENDFUNCTION blend{AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
  ::GdiAlphaBlend(dc, x, y, bm.bmWidth, bm.bmHeight, source, 0, 0, bm.bmWidth, bm.bmHeight, blend);
  ::SelectObject(source, old);
  ::DeleteDC(source);
}

}  // namespace tarvex::win32
