#include "qt/style.h"

#include <QPalette>
#include <QWidget>

namespace tarvex {

QFont InterfaceFont() {
  QFont f(QStringLiteral("Arial"));
  f.setPixelSize(layout::kInterfaceFontPx);
  // Explicit, so that a control inside a bold group keeps the normal weight.
  f.setBold(false);
  f.setStyleHint(QFont::SansSerif);
  return f;
}

QFont StatusFont() {
  QFont f(QStringLiteral("Tahoma"));
  f.setPixelSize(layout::kStatusFontPx);
  f.setBold(true);
  f.setStyleHint(QFont::SansSerif);
  return f;
}

QString UiText(const std::string& coreText) {
  QString t = QString::fromStdString(coreText);
  t.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  return t;
}

void PaintAsField(QWidget* w) {
  QPalette p = w->palette();
  p.setColor(QPalette::Base, kFieldBackground);
  // A list that cannot be typed into draws its face with the button role.
  p.setColor(QPalette::Button, kFieldBackground);
  w->setPalette(p);
}

void PaintAsCaption(QWidget* w) {
  QPalette p = w->palette();
  // A caption inside a disabled group greys out with it.
  p.setColor(QPalette::Active, QPalette::WindowText, kCaptionColour);
  p.setColor(QPalette::Inactive, QPalette::WindowText, kCaptionColour);
  w->setPalette(p);
}

}  // namespace tarvex
