// The user interface the panel code sees while the window drives it.
//
// Panel operations run on a worker thread so that the window never stops
// painting or answering; the panel code, however, is written for a
// synchronous window: a progress notice is handled before the sender goes
// on, and a message box returns only when the user has closed it. Every
// call made from the worker is therefore carried to the window's thread and
// waited for (Qt::BlockingQueuedConnection). Calls made on the window's own
// thread (the file operations, the language change) go straight through.
#pragma once

#include <QObject>

#include <atomic>

#include "protocol/user_interface.h"

namespace tarvex {

class TfrmMain;

class TWindowUserInterface : public QObject, public TUserInterface {
  Q_OBJECT
 public:
  explicit TWindowUserInterface(TfrmMain& window);

  void TransferProgress(int code, int32_t value, const std::string& statusText) override;
  void MessageBox(TBoxKind kind, const std::string& text) override;
  void SetBusyCursor(bool busy) override;
  // The window's event loop keeps running during an operation; there is
  // nothing to pump.
  void PumpEvents() override {}

  // From now on nothing reaches the window and boxes count as closed: the
  // window is going away and waits for its worker to end.
  void Detach() { detached_ = true; }

 private:
  template <class F>
  void OnWindowThread(F&& f);

  TfrmMain& window_;
  std::atomic<bool> detached_{false};
};

}  // namespace tarvex
