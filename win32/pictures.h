// The pictures of the Win32 window, loaded from the program's resources:
// PNG files rendered at build time from pictures/*.svg at several scales
// (win32/CMakeLists.txt puts them in as RCDATA), decoded with GDI+. Each
// DPI gets the picture made for it, or the nearest larger one scaled down.
#pragma once

#include "serial/windows_api.h"

namespace tarvex::win32 {

enum class TPicture {
  ReadFromPanel,  // btnUserCode, 32 x 32
  SaveToFile,     // btnSaveToFile, 32 x 32
  LoadFromFile,   // btnLoadFromFile, 32 x 32
  SendToPanel,    // btnSendCodes, 32 x 32
  Browse,         // the file-name edits' browse buttons, 16 x 16
  Info,           // TsSupportedPanels, 16 x 15
};

// GDI+ for the life of the program's windows.
class TGdiplus {
 public:
  TGdiplus();
  ~TGdiplus();
  TGdiplus(const TGdiplus&) = delete;
  TGdiplus& operator=(const TGdiplus&) = delete;
  bool Ready() const { return token_ != 0; }

 private:
  ULONG_PTR token_ = 0;
};

// The picture's size at 96 DPI.
SIZE PictureSize(TPicture which);

// The picture at the given DPI as a 32-bit top-down DIB with premultiplied
// alpha, for AlphaBlend; greyed out when disabled. Null if the program has
// no such picture among its resources or GDI+ failed.
HBITMAP MakePicture(TPicture which, int dpi, bool disabled);

// Draws a picture made by MakePicture with its top left corner at x, y.
void DrawPicture(HDC dc, HBITMAP picture, int x, int y);

}  // namespace tarvex::win32
