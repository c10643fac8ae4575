// The pictures of the window, drawn at start-up: no image files to ship or
// to lose.
#pragma once

#include <QIcon>
#include <QPixmap>

namespace tarvex {

enum class TButtonPicture {
  ReadFromPanel = 0,  // btnUserCode
  SaveToFile = 1,     // btnSaveToFile
  LoadFromFile = 2,   // btnLoadFromFile
  SendToPanel = 3,    // btnSendCodes
};

// 32 x 32.
QPixmap ButtonPicture(TButtonPicture which);
// The file-name edits' browse action, 16 x 16.
QIcon BrowsePicture();
// The supported-panels button, 16 x 15.
QIcon InfoPicture();
// The program's icon: a keypad panel.
QIcon ProgramIcon();

}  // namespace tarvex
