#include "qt/message_presenter.h"

#include <QMessageBox>
#include <QPushButton>

#include <utility>

#include "qt/style.h"

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

QMessageBox::StandardButton StandardButtonOf(TAnswer answer) {
  switch (answer) {
    case TAnswer::Yes: return QMessageBox::Yes;
    case TAnswer::No: return QMessageBox::No;
    case TAnswer::Save: return QMessageBox::Save;
    case TAnswer::Discard: return QMessageBox::Discard;
    case TAnswer::Cancel: return QMessageBox::Cancel;
  }
  return QMessageBox::NoButton;
}

}  // namespace

TAnswer TMessageBoxPresenter::Ask(QWidget* parent, TBoxKind kind, const QString& text,
                                  const std::vector<TQuestionButton>& buttons) {
  QMessageBox box(IconOf(kind), QString::fromLatin1(BoxTitle(kind)), text, QMessageBox::NoButton, parent);
  box.setObjectName(QStringLiteral("questionBox"));
  std::vector<std::pair<QAbstractButton*, TAnswer>> answers;
  for (size_t i = 0; i < buttons.size(); ++i) {
    QPushButton* b = box.addButton(StandardButtonOf(buttons[i].answer));
    b->setText(UiText(buttons[i].caption));
    answers.emplace_back(b, buttons[i].answer);
    if (i == 0) box.setDefaultButton(b);
    if (i + 1 == buttons.size()) box.setEscapeButton(b);
  }
  box.exec();
  for (const auto& [button, answer] : answers)
    if (box.clickedButton() == button) return answer;
  return buttons.empty() ? TAnswer::Cancel : buttons.back().answer;
}

void TMessageBoxPresenter::Show(QWidget* parent, TBoxKind kind, const QString& text) {
  QMessageBox box(IconOf(kind), QString::fromLatin1(BoxTitle(kind)), text, QMessageBox::Ok, parent);
  box.setObjectName(QStringLiteral("messageBox"));
  box.exec();
}

}  // namespace tarvex
