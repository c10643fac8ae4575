#include "qt/message_presenter.h"

#include <QMessageBox>

namespace tarvex {

namespace {

QMessageBox::Icon IconOf(TBoxKind kind) {
  switch (kind) {
    case TBoxKind::Warning: return QMessageBox::Warning;
    case TBoxKind::Error: return QMessageBox::Critical;
    case TBoxKind::Information: return QMessageBox::Information;
  }
  return QMessageBox::NoIcon;
}

}  // namespace

void TMessageBoxPresenter::Show(QWidget* parent, TBoxKind kind, const QString& text) {
  QMessageBox box(IconOf(kind), QString::fromLatin1(BoxTitle(kind)), text, QMessageBox::Ok, parent);
  box.setObjectName(QStringLiteral("messageBox"));
  box.exec();
}

}  // namespace tarvex
