// How the window shows a message box. The panel code expects each box to be
// modal and to return only once the user has closed it; the presenter is
// replaceable so that tests can record the boxes without a user to close
// them.
#pragma once

#include <QString>

#include <vector>

#include "app/user_interface.h"

class QWidget;

namespace tarvex {

class TMessagePresenter {
 public:
  virtual ~TMessagePresenter() = default;
  // Shows one box and returns when it has been closed. text is ready to
  // show (line breaks as \n).
  virtual void Show(QWidget* parent, TBoxKind kind, const QString& text) = 0;
  // Shows one box whose text ends with a question, with these buttons in
  // place of OK (the first the default, the last what Escape or closing
  // the box answers), and returns the answer once it has been closed.
  virtual TAnswer Ask(QWidget* parent, TBoxKind kind, const QString& text,
                      const std::vector<TQuestionButton>& buttons) = 0;
};

// A modal QMessageBox with the kind's icon, its untranslated title and one
// OK button; a question's box has the standard buttons of its answers
// (Yes, No; Save, Discard, Cancel) with our captions, so that they read as
// in the Win32 window whatever Qt's own translations.
class TMessageBoxPresenter : public TMessagePresenter {
 public:
  void Show(QWidget* parent, TBoxKind kind, const QString& text) override;
  TAnswer Ask(QWidget* parent, TBoxKind kind, const QString& text,
              const std::vector<TQuestionButton>& buttons) override;
};

}  // namespace tarvex
