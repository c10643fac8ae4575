// How the window shows a message box. The panel code expects each box to be
// modal and to return only once the user has closed it; the presenter is
// replaceable so that tests can record the boxes without a user to close
// them.
#pragma once

#include <QString>

#include "app/user_interface.h"

class QWidget;

namespace tarvex {

class TMessagePresenter {
 public:
  virtual ~TMessagePresenter() = default;
  // Shows one box and returns when it has been closed. text is ready to
  // show (line breaks as \n).
  virtual void Show(QWidget* parent, TBoxKind kind, const QString& text) = 0;
};

// A modal QMessageBox with the kind's icon, its untranslated title and one
// OK button.
class TMessageBoxPresenter : public TMessagePresenter {
 public:
  void Show(QWidget* parent, TBoxKind kind, const QString& text) override;
};

}  // namespace tarvex
