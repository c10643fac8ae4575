#include "win32/pictures.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

// GDI+'s headers use min and max unqualified and need the COM interfaces
// that WIN32_LEAN_AND_MEAN leaves out.
#include <objidl.h>
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

using Gdiplus::Color;
using Gdiplus::GraphicsPath;
using Gdiplus::PointF;
using Gdiplus::RectF;

// The colours of qt/icons.cpp; the lighter and darker shades are Qt's
// lighter(108) and darker(112) of the panel body, worked out once.
const Color kPanelBodyLight{0xFF, 235, 245, 255};
const Color kPanelBodyDark{0xFF, 194, 203, 213};
const Color kPanelEdge{0xFF, 0x3B, 0x5A, 0x82};
const Color kPanelEdgeDark{0xFF, 49, 75, 108};
const Color kDisplay{0xFF, 0x9F, 0xD3, 0x8F};
const Color kKey{0xFF, 0x5F, 0x7F, 0xA6};
const Color kReadArrow{0xFF, 0x2E, 0x9E, 0x4F};
const Color kReadArrowEdge{0xFF, 0x23, 0x79, 0x3C};
const Color kSendArrow{0xFF, 0xE0, 0x7A, 0x1F};
const Color kSendArrowEdge{0xFF, 0xAC, 0x5E, 0x18};

// A rectangle with rounded corners.
void AddRoundedRect(GraphicsPath& path, const RectF& r, float radius) {
  const float d = 2 * radius;
  path.AddArc(r.X, r.Y, d, d, 180, 90);
  path.AddArc(r.X + r.Width - d, r.Y, d, d, 270, 90);
  path.AddArc(r.X + r.Width - d, r.Y + r.Height - d, d, d, 0, 90);
  path.AddArc(r.X, r.Y + r.Height - d, d, d, 90, 90);
  path.CloseFigure();
}

// An alarm keypad: a rounded body, a display and a 3 x 3 key grid.
void DrawPanel(Gdiplus::Graphics& g, const RectF& r) {
  Gdiplus::LinearGradientBrush body(PointF(r.X, r.Y - 0.5f), PointF(r.X, r.Y + r.Height + 0.5f), kPanelBodyLight,
                                    kPanelBodyDark);
  GraphicsPath outline;
  AddRoundedRect(outline, r, 2.5f);
  g.FillPath(&body, &outline);
  Gdiplus::Pen edge(kPanelEdge, 1.2f);
  g.DrawPath(&edge, &outline);
  const RectF display(r.X + r.Width * 0.15f, r.Y + r.Height * 0.12f, r.Width * 0.7f, r.Height * 0.2f);
  Gdiplus::SolidBrush displayBrush(kDisplay);
  g.FillRectangle(&displayBrush, display);
  Gdiplus::SolidBrush key(kKey);
  const float kw = r.Width * 0.16f, gap = r.Width * 0.07f;
  const float x0 = r.X + (r.Width - 3 * kw - 2 * gap) / 2;
  const float y0 = display.Y + display.Height + r.Height * 0.1f;
  for (int row = 0; row < 3; ++row)
    for (int col = 0; col < 3; ++col)
      g.FillRectangle(&key, x0 + col * (kw + gap), y0 + row * (kw * 0.8f + gap * 0.8f), kw, kw * 0.8f);
}

// A thick arrow from a to b: a shaft 4.8 wide and a head 7.5 long whose
// wings stand 35 degrees off the shaft.
void DrawArrow(Gdiplus::Graphics& g, PointF a, PointF b, const Color& fill, const Color& edge) {
  const float head = 7.5f;
  const float dx = a.X - b.X, dy = a.Y - b.Y;
  const float length = std::sqrt(dx * dx + dy * dy);
  const float ux = dx / length, uy = dy / length;  // from the tip back
  const float px = -uy, py = ux;                   // across the shaft
  const float angle = 35.0f * 3.14159265f / 180.0f;
  const float along = head * std::cos(angle), across = head * std::sin(angle);
  const PointF back(b.X + ux * head, b.Y + uy * head);
  const PointF wingA(b.X + ux * along + px * across, b.Y + uy * along + py * across);
  const PointF wingB(b.X + ux * along - px * across, b.Y + uy * along - py * across);
  const float half = 2.4f;
  const PointF points[] = {
      PointF(a.X + px * half, a.Y + py * half),       PointF(back.X + px * half, back.Y + py * half), wingA, b, wingB,
      PointF(back.X - px * half, back.Y - py * half), PointF(a.X - px * half, a.Y - py * half),
  };
  GraphicsPath path;
  path.AddPolygon(points, 7);
  Gdiplus::SolidBrush brush(fill);
  g.FillPath(&brush, &path);
  Gdiplus::Pen pen(edge, 1.0f);
  g.DrawPath(&pen, &path);
}

void DrawDisk(Gdiplus::Graphics& g, const RectF& r) {
  const float right = r.X + r.Width, bottom = r.Y + r.Height;
  const PointF outline[] = {PointF(r.X, r.Y), PointF(right - 4, r.Y), PointF(right, r.Y + 4), PointF(right, bottom),
                            PointF(r.X, bottom)};
  GraphicsPath body;
  body.AddPolygon(outline, 5);
  Gdiplus::SolidBrush bodyBrush(Color(0xFF, 0x3F, 0x6E, 0xB0));
  g.FillPath(&bodyBrush, &body);
  Gdiplus::Pen bodyPen(Color(0xFF, 0x1F, 0x3A, 0x5F), 1.2f);
  g.DrawPath(&bodyPen, &body);
  Gdiplus::SolidBrush shutter(Color(0xFF, 0xE8, 0xEE, 0xF5));
  g.FillRectangle(&shutter, r.X + r.Width * 0.2f, r.Y + 1.5f, r.Width * 0.55f, r.Height * 0.32f);
  Gdiplus::SolidBrush slot(Color(0xFF, 0x1F, 0x3A, 0x5F));
  g.FillRectangle(&slot, r.X + r.Width * 0.55f, r.Y + 3, r.Width * 0.12f, r.Height * 0.22f);
  Gdiplus::SolidBrush label(Color(0xFF, 0xFF, 0xFF, 0xFF));
  g.FillRectangle(&label, r.X + r.Width * 0.15f, r.Y + r.Height * 0.55f, r.Width * 0.7f, r.Height * 0.4f);
  Gdiplus::Pen lines(Color(0xFF, 0xA0, 0xB0, 0xC8), 1.0f);
  for (int i = 1; i <= 2; ++i) {
    const float y = r.Y + r.Height * (0.55f + 0.13f * i);
    g.DrawLine(&lines, r.X + r.Width * 0.22f, y, right - r.Width * 0.22f, y);
  }
}

void DrawFolder(Gdiplus::Graphics& g, const RectF& r) {
  const float right = r.X + r.Width, bottom = r.Y + r.Height;
  Gdiplus::Pen edge(Color(0xFF, 0x9A, 0x6B, 0x10), 1.0f);
  const PointF backPoints[] = {PointF(r.X, r.Y + r.Height * 0.15f),
                               PointF(r.X + r.Width * 0.38f, r.Y + r.Height * 0.15f),
                               PointF(r.X + r.Width * 0.48f, r.Y + r.Height * 0.3f),
                               PointF(right, r.Y + r.Height * 0.3f),
                               PointF(right, bottom),
                               PointF(r.X, bottom)};
  GraphicsPath back;
  back.AddPolygon(backPoints, 6);
  Gdiplus::SolidBrush backBrush(Color(0xFF, 0xE8, 0xB8, 0x3A));
  g.FillPath(&backBrush, &back);
  g.DrawPath(&edge, &back);
  const PointF frontPoints[] = {PointF(r.X + r.Width * 0.1f, r.Y + r.Height * 0.45f),
                                PointF(right + r.Width * 0.05f, r.Y + r.Height * 0.45f),
                                PointF(right - r.Width * 0.05f, bottom), PointF(r.X, bottom)};
  GraphicsPath front;
  front.AddPolygon(frontPoints, 4);
  Gdiplus::LinearGradientBrush shade(PointF(r.X, r.Y - 0.5f), PointF(r.X, bottom + 0.5f), Color(0xFF, 0xFF, 0xD8, 0x6A),
                                     Color(0xFF, 0xF0, 0xB8, 0x40));
  g.FillPath(&shade, &front);
  g.DrawPath(&edge, &front);
}

void DrawInfo(Gdiplus::Graphics& g) {
  Gdiplus::SolidBrush disc(kPanelEdge);
  g.FillEllipse(&disc, 1.0f, 0.5f, 14.0f, 14.0f);
  Gdiplus::Pen edge(kPanelEdgeDark, 1.0f);
  g.DrawEllipse(&edge, 1.0f, 0.5f, 14.0f, 14.0f);
  Gdiplus::SolidBrush white(Color(0xFF, 0xFF, 0xFF, 0xFF));
  g.FillEllipse(&white, 7.0f, 2.8f, 2.2f, 2.2f);
  GraphicsPath stem;
  AddRoundedRect(stem, RectF(7.1f, 6.0f, 2.0f, 6.4f), 0.6f);
  g.FillPath(&white, &stem);
}

void Draw(Gdiplus::Graphics& g, TPicture which) {
  switch (which) {
    case TPicture::ReadFromPanel:
      DrawPanel(g, RectF(2.5f, 2.5f, 18, 24));
      DrawArrow(g, PointF(15, 15), PointF(30, 29), kReadArrow, kReadArrowEdge);
      break;
    case TPicture::SaveToFile:
      DrawDisk(g, RectF(3.5f, 3.5f, 25, 25));
      break;
    case TPicture::LoadFromFile:
      DrawFolder(g, RectF(2.5f, 8.5f, 26, 20));
      DrawArrow(g, PointF(17, 17), PointF(17, 1), kReadArrow, kReadArrowEdge);
      break;
    case TPicture::SendToPanel:
      DrawPanel(g, RectF(11.5f, 5.5f, 18, 24));
      DrawArrow(g, PointF(1, 4), PointF(17, 19), kSendArrow, kSendArrowEdge);
      break;
    case TPicture::Browse:
      DrawFolder(g, RectF(1.5f, 2.5f, 13, 11));
      break;
    case TPicture::Info:
      DrawInfo(g);
      break;
  }
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

// Renders a drawing at a scale into premultiplied BGRA pixels (width x
// height, rows of width pixels).
template <typename F>
bool Render(int width, int height, float scale, F draw, uint32_t* out) {
  Gdiplus::Bitmap bitmap(width, height, PixelFormat32bppPARGB);
  if (bitmap.GetLastStatus() != Gdiplus::Ok) return false;
  {
    Gdiplus::Graphics g(&bitmap);
    g.Clear(Color(0, 0, 0, 0));
    g.SetSmoothingMode(Gdiplus::SmoothingModeAntiAlias);
    // Pixel centres at .5, as the designs (made with QPainter) assume.
    g.SetPixelOffsetMode(Gdiplus::PixelOffsetModeHalf);
    g.ScaleTransform(scale, scale);
    draw(g);
  }
  Gdiplus::BitmapData data{};
  Gdiplus::Rect all(0, 0, width, height);
  if (bitmap.LockBits(&all, Gdiplus::ImageLockModeRead, PixelFormat32bppPARGB, &data) != Gdiplus::Ok) return false;
  for (int y = 0; y < height; ++y)
    std::memcpy(out + static_cast<size_t>(y) * width, static_cast<const uint8_t*>(data.Scan0) + y * data.Stride,
                static_cast<size_t>(width) * 4);
  bitmap.UnlockBits(&data);
  return true;
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
  void* bits = nullptr;
  HBITMAP dib = MakeDib(width, height, &bits);
  if (!dib) return nullptr;
  auto* pixels = static_cast<uint32_t*>(bits);
  if (!Render(width, height, dpi / 96.0f, [which](Gdiplus::Graphics& g) { Draw(g, which); }, pixels)) {
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

HICON MakeProgramIcon(int size) {
  void* bits = nullptr;
  HBITMAP colour = MakeDib(size, size, &bits);
  if (!colour) return nullptr;
  const float m = size * 0.12f;
  const bool drawn = Render(
      size, size, 1.0f,
      [size, m](Gdiplus::Graphics& g) { DrawPanel(g, RectF(m, m * 0.5f, size - 2 * m, size - m)); },
      static_cast<uint32_t*>(bits));
  HICON icon = nullptr;
  if (drawn) {
    // A 32-bit colour bitmap carries its own transparency; the mask is
    // only there because an icon must have one.
    const std::vector<uint8_t> clear(static_cast<size_t>((size + 15) / 16) * 2 * size, 0);
    HBITMAP mask = ::CreateBitmap(size, size, 1, 1, clear.data());
    ICONINFO info{};
    info.fIcon = TRUE;
    info.hbmColor = colour;
    info.hbmMask = mask;
    icon = ::CreateIconIndirect(&info);
    ::DeleteObject(mask);
  }
  ::DeleteObject(colour);
  return icon;
}

}  // namespace tarvex::win32
