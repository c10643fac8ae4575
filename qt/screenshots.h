// Pictures of the windows for docs/, made by the program itself
// on demo panels (usually on the offscreen platform): the main window in
// each language and in the middle of a read, the data window over what was
// read (codes hidden) and the supported-panels window.
#pragma once

#include <QString>
#include <QStringList>

namespace tarvex {

// Writes the PNG files into dir (made when missing). Needs a QApplication.
// Returns the files written; on failure, an empty list and the reason.
QStringList MakeScreenshots(const QString& dir, QString* error);

}  // namespace tarvex
