// The fonts of the Win32 windows at one DPI, made once for it: Arial 13 px
// for the interface, Arial bold for the connected panel's label and the
// overview's caption, Tahoma 11 px bold for the status line. Where a face
// is missing the system substitutes another of its family (swiss).
#pragma once

#include "serial/windows_api.h"

namespace tarvex::win32 {

class TFonts {
 public:
  TFonts() = default;
  ~TFonts() { Free(); }
  TFonts(const TFonts&) = delete;
  TFonts& operator=(const TFonts&) = delete;

  void Make(int dpi);
  // Trades fonts with other: a window makes its new fonts beside the old
  // ones, gives them to its controls and only then lets the old ones go,
  // so that no control ever draws with a deleted font.
  void Swap(TFonts& other) noexcept;
  HFONT Interface() const { return interface_; }
  HFONT Bold() const { return bold_; }
  HFONT Status() const { return status_; }

 private:
  void Free();
  HFONT interface_ = nullptr;
  HFONT bold_ = nullptr;
  HFONT status_ = nullptr;
};

}  // namespace tarvex::win32
