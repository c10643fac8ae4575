// The two main-user-code edits: at most six characters, each shown as "*",
// and a digit filter. A code is 0 to 6 decimal digits; anything typed,
// pasted or dropped that would make it something else is refused whole,
// so a pasted "1234567" does not quietly become "123456".
#pragma once

#include <QLineEdit>
#include <QValidator>

namespace tarvex {

// The digit filter (EUserCodeKeyPress): a text is acceptable when it is 0
// to 6 decimal digits; backspace always leaves such a text.
class TDigitValidator : public QValidator {
 public:
  using QValidator::QValidator;
  State validate(QString& input, int& pos) const override;
};

class TCodeEdit : public QLineEdit {
  Q_OBJECT
 public:
  explicit TCodeEdit(QWidget* parent = nullptr);

  // Inserts text at the cursor (over the selection) when the result is
  // still a code; otherwise changes nothing and emits inputRejected.
  // Every way of pasting goes through here.
  void PasteText(const QString& text);

 protected:
  void keyPressEvent(QKeyEvent* e) override;
  void mouseReleaseEvent(QMouseEvent* e) override;
  void contextMenuEvent(QContextMenuEvent* e) override;
  void dropEvent(QDropEvent* e) override;
};

}  // namespace tarvex
