// The Qt window's pictures as the window gets them (qt/icons.h): from the
// program's resources, at every scale they were rendered at, each screen's
// pixel ratio served by the picture rendered for it.
#include <QGuiApplication>
#include <QIcon>
#include <QImage>
#include <QPixmap>
#include <QtTest>

#include "qt/icons.h"

namespace tarvex {
namespace {

struct TCase {
  const char* name;
  QIcon icon;
  QSize design;  // at 100 %
};

QList<TCase> WindowPictures() {
  return {
      {"read", ButtonPicture(TButtonPicture::ReadFromPanel), QSize(32, 32)},
      {"save", ButtonPicture(TButtonPicture::SaveToFile), QSize(32, 32)},
      {"load", ButtonPicture(TButtonPicture::LoadFromFile), QSize(32, 32)},
      {"send", ButtonPicture(TButtonPicture::SendToPanel), QSize(32, 32)},
      {"browse", BrowsePicture(), QSize(16, 16)},
      {"info", InfoPicture(), QSize(16, 15)},
  };
}

const int kPercents[] = {100, 125, 150, 175, 200, 250, 300};

// Rounded half up, as the pictures' sizes are.
QSize Scaled(QSize s, int percent) {
  return QSize((s.width() * percent + 50) / 100, (s.height() * percent + 50) / 100);
}

class PicturesTest : public QObject {
  Q_OBJECT

 private slots:
  // Each picture is there at every scale, at its size.
  void EveryScaleIsThere() {
    for (const TCase& c : WindowPictures()) {
      QVERIFY2(!c.icon.isNull(), c.name);
      QList<QSize> want;
      for (int p : kPercents) want << Scaled(c.design, p);
      QList<QSize> got = c.icon.availableSizes();
      std::sort(got.begin(), got.end(), [](QSize a, QSize b) { return a.width() < b.width(); });
      QCOMPARE(got, want);
    }
  }

  // A screen of pixel ratio 1, 1.5 or 2 gets the picture rendered for it,
  // pixel for pixel, not another one scaled.
  void EachPixelRatioGetsItsOwnPicture() {
    for (const TCase& c : WindowPictures()) {
      for (int p : {100, 150, 200}) {
        const QImage file(QStringLiteral(":/window/%1-%2.png").arg(QLatin1String(c.name)).arg(p));
        QVERIFY2(!file.isNull(), c.name);
        const QImage shown = c.icon.pixmap(c.design, p / 100.0).toImage();
        const QByteArray what = QByteArray(c.name) + " at " + QByteArray::number(p) + " %";
        QVERIFY2(shown.size() == Scaled(c.design, p), what);
        QVERIFY2(shown.convertToFormat(QImage::Format_ARGB32_Premultiplied) ==
                     file.convertToFormat(QImage::Format_ARGB32_Premultiplied), what);
      }
    }
  }

  // A picture is drawn on a transparent ground: some pixels clear, some
  // opaque.
  void PicturesAreDrawn() {
    for (const TCase& c : WindowPictures()) {
      const QImage image = c.icon.pixmap(c.design).toImage().convertToFormat(QImage::Format_ARGB32);
      QCOMPARE(image.size(), c.design);
      int clear = 0, opaque = 0;
      for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
          const int a = qAlpha(image.pixel(x, y));
          clear += a == 0;
          opaque += a == 255;
        }
      QVERIFY2(clear > 0, c.name);
      QVERIFY2(opaque > image.width() * image.height() / 5, c.name);
    }
  }

  // The program's icon at every size of the desktop's icon theme.
  void ProgramIconAtEverySize() {
    const QIcon icon = ProgramIcon();
    QVERIFY(!icon.isNull());
    QList<QSize> got = icon.availableSizes();
    std::sort(got.begin(), got.end(), [](QSize a, QSize b) { return a.width() < b.width(); });
    QList<QSize> want;
    for (int n : {16, 22, 24, 32, 48, 64, 128, 256}) want << QSize(n, n);
    QCOMPARE(got, want);
    for (int n : {16, 48, 256}) QCOMPARE(icon.pixmap(n, n).size(), QSize(n, n));
  }
};

}  // namespace
}  // namespace tarvex

QTEST_MAIN(tarvex::PicturesTest)
#include "pictures_test.moc"
