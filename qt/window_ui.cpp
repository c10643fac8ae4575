#include "qt/window_ui.h"

#include <QThread>

#include "qt/main_window.h"
#include "qt/style.h"

namespace tarvex {

TWindowUserInterface::TWindowUserInterface(TfrmMain& window) : window_(window) {}

template <class F>
void TWindowUserInterface::OnWindowThread(F&& f) {
  if (detached_) return;
  auto guarded = [this, &f] {
    // Checked again here: the window may have started to go away while the
    // call was queued.
    if (!detached_) f();
  };
  if (QThread::currentThread() == thread()) {
    guarded();
    return;
  }
  QMetaObject::invokeMethod(this, guarded, Qt::BlockingQueuedConnection);
}

void TWindowUserInterface::TransferProgress(int code, int32_t value, const std::string& statusText) {
  OnWindowThread([&] { window_.HandleTransferProgress(code, value, QString::fromStdString(statusText)); });
}

void TWindowUserInterface::MessageBox(TBoxKind kind, const std::string& text) {
  OnWindowThread([&] { window_.ShowMessage(kind, UiText(text)); });
}

void TWindowUserInterface::SetBusyCursor(bool busy) {
  OnWindowThread([&] { window_.SetBusyCursor(busy); });
}

}  // namespace tarvex
