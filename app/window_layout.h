// The windows' layout and colours, in client pixels at 96 DPI: the same for
// every face, so that the Qt window and the Win32 window look alike and a
// change of the layout is made once.
#pragma once

#include <cstdint>

namespace tarvex::layout {

// ---- The main window ----
inline constexpr int kClientWidth = 638;
inline constexpr int kClientHeight = 295;

// Three bands: language, port and connected panel on top; the read path
// down the left column and the send path down the right one; the status
// bar at the bottom.
inline constexpr int kTopBand = 85;
inline constexpr int kMiddleTop = kTopBand;
inline constexpr int kMiddleBand = 184;
inline constexpr int kColumn = 316;
inline constexpr int kGap = 6;
inline constexpr int kGeneralWidth = 308;
inline constexpr int kStatusTop = kMiddleTop + kMiddleBand;
inline constexpr int kStatusBand = 26;
inline constexpr int kCodeGroupHeight = 70;
inline constexpr int kFileGroupHeight = 94;
// The groups of the middle band stand 6 px below the top band and 6 px
// apart; what is left stays under them.
inline constexpr int kFirstRow = kMiddleTop + kGap;
inline constexpr int kLeftSecondRow = kFirstRow + kCodeGroupHeight + kGap;
inline constexpr int kRightSecondRow = kFirstRow + kFileGroupHeight + kGap;
inline constexpr int kRightColumn = kColumn + kGap;
inline constexpr int kLinkedLeft = kGeneralWidth + kGap;
inline constexpr int kLinkedWidth = kClientWidth - kGeneralWidth - kGap;

inline constexpr int kBigButtonWidth = 93;
inline constexpr int kBigButtonHeight = 41;
inline constexpr int kFileButtonWidth = 113;
inline constexpr int kLinguaWidth = 145;
inline constexpr int kSerialWidth = 133;
inline constexpr int kLinkedLabelWidth = 197;
inline constexpr int kCodeEditWidth = 89;
inline constexpr int kFileEditWidth = 285;
inline constexpr int kEditHeight = 23;
inline constexpr int kProgressWidth = 325;
inline constexpr int kButtonPicture = 32;  // the four buttons' pictures, square
// The drop-down lists' closed height.
inline constexpr int kListHeight = 24;
// The caption labels' height.
inline constexpr int kCaptionHeight = 16;
// The port list opens wider than itself: device paths and the demo's
// descriptions are longer than the list.
inline constexpr int kPortListDropWidth = 260;
// The browse button sits inside the right end of its file-name edit.
inline constexpr int kBrowseWidth = 20;
inline constexpr int kBrowseHeight = kEditHeight - 4;
// The "i" button's picture.
inline constexpr int kInfoPictureWidth = 16;
inline constexpr int kInfoPictureHeight = 15;

// Fonts: Arial for the interface, Tahoma bold for the status line.
inline constexpr int kInterfaceFontPx = 13;
inline constexpr int kStatusFontPx = 11;

// ---- The supported-panels window ----
inline constexpr int kInfoClientWidth = 451;
inline constexpr int kInfoClientHeight = 301;
inline constexpr int kInfoOverviewHeight = 129;
inline constexpr int kInfoSpacer = 6;

// ---- Colours ----
struct TRgb {
  uint8_t r, g, b;
};
// Edits, lists and the supported-panels list.
inline constexpr TRgb kFieldColour{0xEA, 0xF2, 0xFB};
// Captions above fields, the connected-panel label, the status line and
// the supported-panels text.
inline constexpr TRgb kCaptionColour{0x3B, 0x5A, 0x82};

}  // namespace tarvex::layout
