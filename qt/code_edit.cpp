#include "qt/code_edit.h"

#include <QClipboard>
#include <QContextMenuEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QMimeData>

#include "app/workflows.h"

namespace tarvex {

QValidator::State TDigitValidator::validate(QString& input, int&) const {
  return IsValidCode(input.toStdString()) ? Acceptable : Invalid;
}

TCodeEdit::TCodeEdit(QWidget* parent) : QLineEdit(parent) {
  setMaxLength(static_cast<int>(kMaxCodeDigits));
  setEchoMode(QLineEdit::Password);
  setValidator(new TDigitValidator(this));
  // The style's own mask character differs between styles; the installer's
  // manual and the panels' keypads show codes as asterisks.
  setStyleSheet(QStringLiteral("QLineEdit { lineedit-password-character: 42; }"));
}

void TCodeEdit::PasteText(const QString& text) {
  if (isReadOnly()) return;
  QString result = this->text();
  if (hasSelectedText()) result.remove(selectionStart(), selectedText().size());
  const int at = hasSelectedText() ? selectionStart() : cursorPosition();
  result.insert(at, text);
  // The length limit would otherwise cut a long paste down to six digits.
  if (!IsValidCode(text.toStdString()) || !IsValidCode(result.toStdString())) {
    emit inputRejected();
    return;
  }
  insert(text);
}

void TCodeEdit::keyPressEvent(QKeyEvent* e) {
  if (e->matches(QKeySequence::Paste)) {
    PasteText(QGuiApplication::clipboard()->text(QClipboard::Clipboard));
    e->accept();
    return;
  }
  QLineEdit::keyPressEvent(e);
}

void TCodeEdit::mouseReleaseEvent(QMouseEvent* e) {
  QClipboard* clipboard = QGuiApplication::clipboard();
  if (e->button() == Qt::MiddleButton && clipboard->supportsSelection()) {
    PasteText(clipboard->text(QClipboard::Selection));
    e->accept();
    return;
  }
  QLineEdit::mouseReleaseEvent(e);
}

void TCodeEdit::contextMenuEvent(QContextMenuEvent* e) {
  QMenu* menu = createStandardContextMenu();
  menu->setAttribute(Qt::WA_DeleteOnClose);
  // The standard paste action is told apart by what it is connected to.
  for (QAction* a : menu->actions()) {
    if (!disconnect(a, &QAction::triggered, this, &QLineEdit::paste)) continue;
    connect(a, &QAction::triggered, this,
            [this] { PasteText(QGuiApplication::clipboard()->text(QClipboard::Clipboard)); });
  }
  menu->popup(e->globalPos());
}

void TCodeEdit::dropEvent(QDropEvent* e) {
  if (!e->mimeData()->hasText()) {
    e->ignore();
    return;
  }
  setCursorPosition(cursorPositionAt(e->position().toPoint()));
  deselect();
  PasteText(e->mimeData()->text());
  e->acceptProposedAction();
}

}  // namespace tarvex
