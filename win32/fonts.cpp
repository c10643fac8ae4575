#include "win32/fonts.h"

#include <initializer_list>
#include <utility>

#include "app/window_layout.h"

namespace tarvex::win32 {

namespace {

// A font of a pixel size (the character height, as Qt's pixel sizes are).
HFONT MakeFont(const wchar_t* face, int pixels, int dpi, bool bold) {
  return ::CreateFontW(-::MulDiv(pixels, dpi, 96), 0, 0, 0, bold ? FW_BOLD : FW_NORMAL, FALSE, FALSE, FALSE,
                       DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY,
                       VARIABLE_PITCH | FF_SWISS, face);
}

}  // namespace

void TFonts::Make(int dpi) {
  Free();
  interface_ = MakeFont(L"Arial", layout::kInterfaceFontPx, dpi, false);
  bold_ = MakeFont(L"Arial", layout::kInterfaceFontPx, dpi, true);
  status_ = MakeFont(L"Tahoma", layout::kStatusFontPx, dpi, true);
}

void TFonts::Swap(TFonts& other) noexcept {
  std::swap(interface_, other.interface_);
  std::swap(bold_, other.bold_);
  std::swap(status_, other.status_);
}

void TFonts::Free() {
  for (HFONT* f : {&interface_, &bold_, &status_}) {
    if (*f) ::DeleteObject(*f);
    *f = nullptr;
  }
}

}  // namespace tarvex::win32
