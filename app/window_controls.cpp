#include "app/window_controls.h"

namespace tarvex {

namespace {

// The table is indexed by TControlId: every row must stand at its own id.
constexpr bool RowsInIdOrder() {
  for (size_t i = 0; i < kControlCount; ++i)
    if (static_cast<size_t>(kMainWindowControls[i].id) != i) return false;
  return true;
}
static_assert(RowsInIdOrder(), "kMainWindowControls must list the controls in the order of TControlId");

// A group box stands before the controls inside it, so that a face can
// make the controls in table order.
constexpr bool GroupsBeforeTheirControls() {
  for (size_t i = 0; i < kControlCount; ++i) {
    const TControlId g = kMainWindowControls[i].group;
    if (g == TControlId::None) continue;
    if (static_cast<size_t>(g) >= i || ControlSpec(g).kind != TControlKind::Group) return false;
  }
  return true;
}
static_assert(GroupsBeforeTheirControls(), "a control's group must be a group box listed before it");

}  // namespace

const std::string* CaptionText(const TCaptions& c, TCaptionId id) {
  switch (id) {
    case TCaptionId::None: return nullptr;
    case TCaptionId::LinguaLabel: return &c.LinguaLabel;
    case TCaptionId::SerialLabel: return &c.SerialLabel;
    case TCaptionId::General: return &c.General;
    case TCaptionId::LinkedPanel: return &c.LinkedPanel;
    case TCaptionId::CheckConnection: return &c.CheckConnection;
    case TCaptionId::UserCodeGroup: return &c.UserCodeGroup;
    case TCaptionId::UserCodeButton: return &c.UserCodeButton;
    case TCaptionId::UserCodeLabel: return &c.UserCodeLabel;
    case TCaptionId::SaveGroup: return &c.SaveGroup;
    case TCaptionId::SaveButton: return &c.SaveButton;
    case TCaptionId::LoadGroup: return &c.LoadGroup;
    case TCaptionId::LoadButton: return &c.LoadButton;
    case TCaptionId::SendGroup: return &c.SendGroup;
    case TCaptionId::SendButton: return &c.SendButton;
    case TCaptionId::ShowData: return &c.ShowData;
  }
  return nullptr;
}

std::vector<TControlId> ControlsInGroup(TControlId group) {
  std::vector<TControlId> out;
  for (const TControlSpec& c : kMainWindowControls)
    if (c.group == group && group != TControlId::None) out.push_back(c.id);
  return out;
}

}  // namespace tarvex
