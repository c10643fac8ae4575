#include "qt/icons.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

namespace tarvex {

namespace {

const QColor kPanelBody{0xD9, 0xE3, 0xEE};
const QColor kPanelEdge{0x3B, 0x5A, 0x82};
const QColor kKey{0x5F, 0x7F, 0xA6};
const QColor kReadArrow{0x2E, 0x9E, 0x4F};
const QColor kSendArrow{0xE0, 0x7A, 0x1F};

QPixmap Blank(int w, int h) {
  QPixmap p(w, h);
  p.fill(Qt::transparent);
  return p;
}

// An alarm keypad: a rounded body, a display and a 3 x 3 key grid.
void DrawPanel(QPainter& g, const QRectF& r) {
  QLinearGradient body(r.topLeft(), r.bottomLeft());
  body.setColorAt(0, kPanelBody.lighter(108));
  body.setColorAt(1, kPanelBody.darker(112));
  g.setPen(QPen(kPanelEdge, 1.2));
  g.setBrush(body);
  g.drawRoundedRect(r, 2.5, 2.5);
  const QRectF display(r.left() + r.width() * 0.15, r.top() + r.height() * 0.12, r.width() * 0.7,
                       r.height() * 0.2);
  g.setPen(Qt::NoPen);
  g.setBrush(QColor(0x9F, 0xD3, 0x8F));
  g.drawRect(display);
  g.setBrush(kKey);
  const double kw = r.width() * 0.16, gap = r.width() * 0.07;
  const double x0 = r.left() + (r.width() - 3 * kw - 2 * gap) / 2;
  const double y0 = display.bottom() + r.height() * 0.1;
  for (int row = 0; row < 3; ++row)
    for (int col = 0; col < 3; ++col)
      g.drawRect(QRectF(x0 + col * (kw + gap), y0 + row * (kw * 0.8 + gap * 0.8), kw, kw * 0.8));
}

// A thick arrow from a to b.
void DrawArrow(QPainter& g, QPointF a, QPointF b, const QColor& c) {
  const double head = 7.5;
  QLineF back(b, a);
  back.setLength(head);
  QLineF left = back, right = back;
  left.setAngle(back.angle() + 35);
  right.setAngle(back.angle() - 35);
  g.setPen(QPen(c.darker(130), 1));
  g.setBrush(c);
  QPainterPath path;
  QLineF shaft(a, back.p2());
  QLineF n = shaft.normalVector();
  n.setLength(2.4);
  const QPointF off = n.p2() - n.p1();
  path.moveTo(a + off);
  path.lineTo(back.p2() + off);
  path.lineTo(left.p2());
  path.lineTo(b);
  path.lineTo(right.p2());
  path.lineTo(back.p2() - off);
  path.lineTo(a - off);
  path.closeSubpath();
  g.drawPath(path);
}

void DrawDisk(QPainter& g, const QRectF& r) {
  QPainterPath body;
  body.moveTo(r.topLeft());
  body.lineTo(r.right() - 4, r.top());
  body.lineTo(r.topRight() + QPointF(0, 4));
  body.lineTo(r.bottomRight());
  body.lineTo(r.bottomLeft());
  body.closeSubpath();
  g.setPen(QPen(QColor(0x1F, 0x3A, 0x5F), 1.2));
  g.setBrush(QColor(0x3F, 0x6E, 0xB0));
  g.drawPath(body);
  g.setPen(Qt::NoPen);
  g.setBrush(QColor(0xE8, 0xEE, 0xF5));
  g.drawRect(QRectF(r.left() + r.width() * 0.2, r.top() + 1.5, r.width() * 0.55, r.height() * 0.32));
  g.setBrush(QColor(0x1F, 0x3A, 0x5F));
  g.drawRect(QRectF(r.left() + r.width() * 0.55, r.top() + 3, r.width() * 0.12, r.height() * 0.22));
  g.setBrush(Qt::white);
  g.drawRect(QRectF(r.left() + r.width() * 0.15, r.top() + r.height() * 0.55, r.width() * 0.7,
                    r.height() * 0.4));
  g.setPen(QPen(QColor(0xA0, 0xB0, 0xC8), 1));
  for (int i = 1; i <= 2; ++i) {
    const double y = r.top() + r.height() * (0.55 + 0.13 * i);
    g.drawLine(QPointF(r.left() + r.width() * 0.22, y), QPointF(r.right() - r.width() * 0.22, y));
  }
}

void DrawFolder(QPainter& g, const QRectF& r) {
  QPainterPath back;
  back.moveTo(r.left(), r.top() + r.height() * 0.15);
  back.lineTo(r.left() + r.width() * 0.38, r.top() + r.height() * 0.15);
  back.lineTo(r.left() + r.width() * 0.48, r.top() + r.height() * 0.3);
  back.lineTo(r.right(), r.top() + r.height() * 0.3);
  back.lineTo(r.bottomRight());
  back.lineTo(r.bottomLeft());
  back.closeSubpath();
  g.setPen(QPen(QColor(0x9A, 0x6B, 0x10), 1));
  g.setBrush(QColor(0xE8, 0xB8, 0x3A));
  g.drawPath(back);
  QPainterPath front;
  front.moveTo(r.left() + r.width() * 0.1, r.top() + r.height() * 0.45);
  front.lineTo(r.right() + r.width() * 0.05, r.top() + r.height() * 0.45);
  front.lineTo(r.right() - r.width() * 0.05, r.bottom());
  front.lineTo(r.left(), r.bottom());
  front.closeSubpath();
  QLinearGradient shade(r.topLeft(), r.bottomLeft());
  shade.setColorAt(0, QColor(0xFF, 0xD8, 0x6A));
  shade.setColorAt(1, QColor(0xF0, 0xB8, 0x40));
  g.setBrush(shade);
  g.drawPath(front);
}

}  // namespace

QPixmap ButtonPicture(TButtonPicture which) {
  QPixmap p = Blank(32, 32);
  QPainter g(&p);
  g.setRenderHint(QPainter::Antialiasing);
  switch (which) {
    case TButtonPicture::ReadFromPanel:
      DrawPanel(g, QRectF(2.5, 2.5, 18, 24));
      DrawArrow(g, QPointF(15, 15), QPointF(30, 29), kReadArrow);
      break;
    case TButtonPicture::SaveToFile:
      DrawDisk(g, QRectF(3.5, 3.5, 25, 25));
      break;
    case TButtonPicture::LoadFromFile:
      DrawFolder(g, QRectF(2.5, 8.5, 26, 20));
      DrawArrow(g, QPointF(17, 17), QPointF(17, 1), kReadArrow);
      break;
    case TButtonPicture::SendToPanel:
      DrawPanel(g, QRectF(11.5, 5.5, 18, 24));
      DrawArrow(g, QPointF(1, 4), QPointF(17, 19), kSendArrow);
      break;
  }
  return p;
}

QIcon BrowsePicture() {
  QPixmap p = Blank(16, 16);
  QPainter g(&p);
  g.setRenderHint(QPainter::Antialiasing);
  DrawFolder(g, QRectF(1.5, 2.5, 13, 11));
  return QIcon(p);
}

QIcon InfoPicture() {
  QPixmap p = Blank(16, 15);
  QPainter g(&p);
  g.setRenderHint(QPainter::Antialiasing);
  g.setPen(QPen(kPanelEdge.darker(120), 1));
  g.setBrush(kPanelEdge);
  g.drawEllipse(QRectF(1, 0.5, 14, 14));
  g.setPen(Qt::NoPen);
  g.setBrush(Qt::white);
  g.drawEllipse(QRectF(7, 2.8, 2.2, 2.2));
  g.drawRoundedRect(QRectF(7.1, 6, 2, 6.4), 0.6, 0.6);
  return QIcon(p);
}

QIcon ProgramIcon() {
  QIcon icon;
  for (int size : {16, 32, 48}) {
    QPixmap p = Blank(size, size);
    QPainter g(&p);
    g.setRenderHint(QPainter::Antialiasing);
    const double m = size * 0.12;
    DrawPanel(g, QRectF(m, m * 0.5, size - 2 * m, size - m));
    icon.addPixmap(p);
  }
  return icon;
}

}  // namespace tarvex
