#include "app/session.h"

#include "app/messages.h"

namespace tarvex {

void TSession::OnProgress(const TProgressEvent& e) {
  const TTexts texts{LangStrings, ExtraStrings};
  switch (e.kind) {
    case TProgressEvent::TKind::Phase:
      ShowStatus(PhaseText(e.phase, texts));
      Notify(ProgressSetRange, e.value);
      break;
    case TProgressEvent::TKind::Range: Notify(ProgressSetRange, e.value); break;
    case TProgressEvent::TKind::Step: Notify(ProgressStep, e.value); break;
    case TProgressEvent::TKind::Clear: Notify(ProgressClear); break;
    case TProgressEvent::TKind::OpenFailed:
      // Shown at once, whatever else the operation holds back: the user
      // chose this port.
      Box(TBoxKind::Warning, OpenFailureText(texts, Link.PanelPort));
      break;
  }
}

bool EnsurePortOpen(TSession& s) {
  if (OpenLink(s.Link.PanelPort)) return true;
  s.Box(TBoxKind::Warning, OpenFailureText(TTexts{s.LangStrings, s.ExtraStrings}, s.Link.PanelPort));
  return false;
}

}  // namespace tarvex
