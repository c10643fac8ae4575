// The main window's controls, described once for every face: what each
// one is, where it stands, which group box holds it, which caption it
// shows, whose enabled state it follows and where the keyboard stops. The
// Qt window and the Win32 window both build their controls from this
// table, so a control moves, changes its caption or joins another group
// in one place, and the two windows cannot drift apart.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "app/languages.h"
#include "app/window_layout.h"

namespace tarvex {

// The controls, named as the window names them. The order is the table's:
// the order in which the controls are made and the keyboard's tab order;
// each group box stands before the controls inside it, and each browse
// button before its file-name edit.
enum class TControlId : int {
  gbGeneral,
  lblLingua,
  cbLingua,
  lblSerial,
  cbSerial,
  gbLinkedPanel,
  btnCheckConnection,
  lblLinkedPanel,
  TsSupportedPanels,
  gbUserCode,
  btnUserCode,
  lblUserCode,
  EUserCode,
  gbAction,
  actBrowseSave,
  eSaveToFile,
  btnSaveToFile,
  btnShowData,
  gbLoadFromFile,
  actBrowseLoad,
  eLoadFromFile,
  btnLoadFromFile,
  gbSendToPanel,
  btnSendCodes,
  lblUserCodeSend,
  eUserCodeSend,
  pbProgress,
  lblProgress,
  None,  // no control: a control outside every group, or following none
};
inline constexpr size_t kControlCount = static_cast<size_t>(TControlId::None);

enum class TControlKind {
  Group,          // a group box with a caption
  Caption,        // a caption label above or beside a field
  List,           // a drop-down list (language, port)
  Button,         // a push button with a caption
  PictureButton,  // a push button with a caption and a 32 x 32 picture
  InfoButton,     // the small "i" button that opens the supported-panels window
  BrowseButton,   // the picture at a file-name edit's right end that opens a file dialog
  CodeEdit,       // a main user code: digits only, shown as *
  FileEdit,       // a file name
  LinkedPanel,    // the connected panel's description: bold, centred, wrapped
  ProgressBar,
  StatusLine,     // the status line: the status font, one line
};

// Which of the window's captions (TCaptions) a control shows.
enum class TCaptionId {
  None,
  LinguaLabel,
  SerialLabel,
  General,
  LinkedPanel,
  CheckConnection,
  UserCodeGroup,
  UserCodeButton,
  UserCodeLabel,
  SaveGroup,
  SaveButton,
  LoadGroup,
  LoadButton,
  SendGroup,
  SendButton,
  ShowData,
};

// The caption's text in a language's captions; null for None.
const std::string* CaptionText(const TCaptions& captions, TCaptionId id);

struct TRect {
  int x = 0, y = 0, w = 0, h = 0;
  constexpr bool operator==(const TRect&) const = default;
};

struct TControlSpec {
  TControlId id;
  const char* name;  // the control's name: the Qt object name, the Win32 tests' name
  TControlKind kind;
  TRect rect;        // in the window's client area, pixels at 96 DPI
  TControlId group;  // the group box it stands in; None for the window itself
  TCaptionId caption;
  // Takes input exactly when this control does: a caption its field, a
  // browse button its file-name edit. None: it follows the window's state
  // itself (TControlEnables) or always takes input.
  TControlId follows;
  bool tabStop;     // the Tab key stops on it
  bool alignRight;  // its text stands at its right end
};

// The table, in the order of TControlId, written with short names.
namespace control_table {
using namespace layout;
inline constexpr int kFileEditLeft = (kColumn - kFileEditWidth) / 2;
inline constexpr int kFileButtonLeft = (kColumn - kFileButtonWidth) / 2;
inline constexpr int kCodeEditLeft = kColumn - 10 - kCodeEditWidth;
inline constexpr int kBrowseLeft = kFileEditLeft + kFileEditWidth - 2 - kBrowseWidth;
inline constexpr int kStatusLeft = 4 + kProgressWidth + 8;
// The room between the save group's left edge and its button.
inline constexpr int kShowDataWidth = kFileButtonLeft - 14;
using I = TControlId;
using K = TControlKind;
using C = TCaptionId;
inline constexpr TControlSpec kControls[kControlCount] = {
    // ---- Top band: language and port; the connection check ----
    {I::gbGeneral, "gbGeneral", K::Group, {0, 0, kGeneralWidth, kTopBand},
     I::None, C::General, I::None, false, false},
    {I::lblLingua, "lblLingua", K::Caption, {10, 22, kLinguaWidth, kCaptionHeight},
     I::gbGeneral, C::LinguaLabel, I::cbLingua, false, false},
    {I::cbLingua, "cbLingua", K::List, {10, 40, kLinguaWidth, kListHeight},
     I::gbGeneral, C::None, I::None, true, false},
    {I::lblSerial, "lblSerial", K::Caption, {165, 22, kSerialWidth, kCaptionHeight},
     I::gbGeneral, C::SerialLabel, I::cbSerial, false, false},
    {I::cbSerial, "cbSerial", K::List, {165, 40, kSerialWidth, kListHeight},
     I::gbGeneral, C::None, I::None, true, false},
    {I::gbLinkedPanel, "gbLinkedPanel", K::Group,
     {kLinkedLeft, 0, kLinkedWidth, kTopBand}, I::None, C::LinkedPanel,
     I::None, false, false},
    {I::btnCheckConnection, "btnCheckConnection", K::Button,
     {kLinkedLeft + 10, 28, kBigButtonWidth, kBigButtonHeight}, I::gbLinkedPanel,
     C::CheckConnection, I::None, true, false},
    {I::lblLinkedPanel, "lblLinkedPanel", K::LinkedPanel,
     {kLinkedLeft + 110, 24, kLinkedLabelWidth, 49}, I::gbLinkedPanel, C::None,
     I::None, false, false},
    {I::TsSupportedPanels, "TsSupportedPanels", K::InfoButton,
     {kLinkedLeft + kLinkedWidth - 24, 0, 22, 20}, I::gbLinkedPanel, C::None,
     I::None, true, false},
    // ---- Left column: read from the panel, then save ----
    {I::gbUserCode, "gbUserCode", K::Group,
     {0, kFirstRow, kColumn, kCodeGroupHeight}, I::None, C::UserCodeGroup,
     I::None, false, false},
    {I::btnUserCode, "btnUserCode", K::PictureButton,
     {10, kFirstRow + 20, kBigButtonWidth, kBigButtonHeight}, I::gbUserCode,
     C::UserCodeButton, I::None, true, false},
    {I::lblUserCode, "lblUserCode", K::Caption,
     {110, kFirstRow + 20, 196, kCaptionHeight}, I::gbUserCode, C::UserCodeLabel,
     I::EUserCode, false, true},
    {I::EUserCode, "EUserCode", K::CodeEdit,
     {kCodeEditLeft, kFirstRow + 38, kCodeEditWidth, kEditHeight},
     I::gbUserCode, C::None, I::None, true, false},
    {I::gbAction, "gbAction", K::Group,
     {0, kLeftSecondRow, kColumn, kFileGroupHeight}, I::None, C::SaveGroup,
     I::None, false, false},
    {I::actBrowseSave, "actBrowseSave", K::BrowseButton,
     {kBrowseLeft, kLeftSecondRow + 21 + 2, kBrowseWidth, kBrowseHeight},
     I::gbAction, C::None, I::eSaveToFile, false, false},
    {I::eSaveToFile, "eSaveToFile", K::FileEdit,
     {kFileEditLeft, kLeftSecondRow + 21, kFileEditWidth, kEditHeight},
     I::gbAction, C::None, I::None, true, false},
    {I::btnSaveToFile, "btnSaveToFile", K::PictureButton,
     {kFileButtonLeft, kLeftSecondRow + 48, kFileButtonWidth, kBigButtonHeight},
     I::gbAction, C::SaveButton, I::None, true, false},
    // Opens the data window. It stands in the free room left of the save
    // button but belongs to no group: it follows its own rule (an image
    // holds data), and a disabled save group must not take it along.
    {I::btnShowData, "btnShowData", K::Button,
     {10, kLeftSecondRow + 48, kShowDataWidth, kBigButtonHeight}, I::None,
     C::ShowData, I::None, true, false},
    // ---- Right column: load a file, then send ----
    {I::gbLoadFromFile, "gbLoadFromFile", K::Group,
     {kRightColumn, kFirstRow, kColumn, kFileGroupHeight}, I::None,
     C::LoadGroup, I::None, false, false},
    {I::actBrowseLoad, "actBrowseLoad", K::BrowseButton,
     {kRightColumn + kBrowseLeft, kFirstRow + 21 + 2, kBrowseWidth,
      kBrowseHeight},
     I::gbLoadFromFile, C::None, I::eLoadFromFile, false, false},
    {I::eLoadFromFile, "eLoadFromFile", K::FileEdit,
     {kRightColumn + kFileEditLeft, kFirstRow + 21, kFileEditWidth,
      kEditHeight},
     I::gbLoadFromFile, C::None, I::None, true, false},
    {I::btnLoadFromFile, "btnLoadFromFile", K::PictureButton,
     {kRightColumn + kFileButtonLeft, kFirstRow + 48, kFileButtonWidth,
      kBigButtonHeight},
     I::gbLoadFromFile, C::LoadButton, I::None, true, false},
    {I::gbSendToPanel, "gbSendToPanel", K::Group,
     {kRightColumn, kRightSecondRow, kColumn, kCodeGroupHeight}, I::None,
     C::SendGroup, I::None, false, false},
    {I::btnSendCodes, "btnSendCodes", K::PictureButton,
     {kRightColumn + 10, kRightSecondRow + 20, kBigButtonWidth, kBigButtonHeight},
     I::gbSendToPanel, C::SendButton, I::None, true, false},
    {I::lblUserCodeSend, "lblUserCodeSend", K::Caption,
     {kRightColumn + 110, kRightSecondRow + 20, 196, kCaptionHeight},
     I::gbSendToPanel, C::UserCodeLabel, I::eUserCodeSend, false, true},
    {I::eUserCodeSend, "eUserCodeSend", K::CodeEdit,
     {kRightColumn + kCodeEditLeft, kRightSecondRow + 38, kCodeEditWidth,
      kEditHeight},
     I::gbSendToPanel, C::None, I::None, true, false},
    // ---- Status bar ----
    {I::pbProgress, "pbProgress", K::ProgressBar,
     {4, kStatusTop + 4, kProgressWidth, kStatusBand - 8}, I::None, C::None,
     I::None, false, false},
    {I::lblProgress, "lblProgress", K::StatusLine,
     {kStatusLeft, kStatusTop, kClientWidth - kStatusLeft - 4, kStatusBand},
     I::None, C::None, I::None, false, false},
};
}  // namespace control_table

inline constexpr const auto& kMainWindowControls = control_table::kControls;

constexpr const TControlSpec& ControlSpec(TControlId id) { return kMainWindowControls[static_cast<size_t>(id)]; }

// The control's place inside its group box (a face whose controls are
// children of their group box); the window's for a control of no group.
constexpr TRect RectInGroup(const TControlSpec& c) {
  if (c.group == TControlId::None) return c.rect;
  const TRect& g = ControlSpec(c.group).rect;
  return TRect{c.rect.x - g.x, c.rect.y - g.y, c.rect.w, c.rect.h};
}

// The controls that a group box holds, in table order.
std::vector<TControlId> ControlsInGroup(TControlId group);

// The control whose enabled state a control follows (a caption its field, a
// browse button its edit), or the control itself.
constexpr TControlId EnableSource(TControlId id) {
  const TControlId f = ControlSpec(id).follows;
  return f == TControlId::None ? id : f;
}

}  // namespace tarvex
