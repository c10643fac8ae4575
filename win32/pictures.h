// The pictures of the Win32 window, drawn at run time with GDI+ after the
// designs of the Qt window (qt/icons.cpp): no image files to ship or lose,
// and sharp at any DPI because they are drawn at the size they are shown.
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
// alpha, for AlphaBlend; greyed out when disabled. Null if GDI+ failed.
HBITMAP MakePicture(TPicture which, int dpi, bool disabled);

// Draws a picture made by MakePicture with its top left corner at x, y.
void DrawPicture(HDC dc, HBITMAP picture, int x, int y);

// The program's icon (a keypad panel) at a square size, for the window's
// title bar and task bar when the executable carries none.
HICON MakeProgramIcon(int size);

}  // namespace tarvex::win32
