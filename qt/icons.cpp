#include "qt/icons.h"

#include <QFile>
#include <QString>

namespace tarvex {

namespace {

// The scales each window picture was rendered at, in percent of its size
// at 96 DPI, and the sizes of the program's icon (qt/CMakeLists.txt).
constexpr int kPercents[] = {TARVEX_PICTURE_PERCENTS};
constexpr int kIconSizes[] = {TARVEX_ICON_SIZES};

// :/window/<name>-<percent>.png at every scale. A picture missing from the
// resources gives a null icon, which the window shows as no picture.
QIcon WindowPicture(const char* name) {
  QIcon icon;
  for (int percent : kPercents) {
    const QString file = QStringLiteral(":/window/%1-%2.png").arg(QLatin1String(name)).arg(percent);
    if (QFile::exists(file)) icon.addFile(file);
  }
  return icon;
}

}  // namespace

QIcon ButtonPicture(TButtonPicture which) {
  switch (which) {
    case TButtonPicture::ReadFromPanel:
      return WindowPicture("read");
    case TButtonPicture::SaveToFile:
      return WindowPicture("save");
    case TButtonPicture::LoadFromFile:
      return WindowPicture("load");
    case TButtonPicture::SendToPanel:
      return WindowPicture("send");
  }
  return QIcon();
}

QIcon BrowsePicture() { return WindowPicture("browse"); }

QIcon InfoPicture() { return WindowPicture("info"); }

QIcon ProgramIcon() {
  QIcon icon;
  for (int size : kIconSizes) {
    const QString file = QStringLiteral(":/hicolor/%1x%1/apps/tarvex.png").arg(size);
    if (QFile::exists(file)) icon.addFile(file);
  }
  return icon;
}

}  // namespace tarvex
