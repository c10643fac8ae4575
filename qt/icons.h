// The pictures of the window, loaded from the program's resources: PNG
// files rendered at build time from pictures/*.svg, one per picture and
// scale, so that each screen gets a picture made for its pixel ratio.
#pragma once

#include <QIcon>

namespace tarvex {

enum class TButtonPicture {
  ReadFromPanel = 0,  // btnUserCode
  SaveToFile = 1,     // btnSaveToFile
  LoadFromFile = 2,   // btnLoadFromFile
  SendToPanel = 3,    // btnSendCodes
};

// 32 x 32.
QIcon ButtonPicture(TButtonPicture which);
// The file-name edits' browse action, 16 x 16.
QIcon BrowsePicture();
// The supported-panels button, 16 x 15.
QIcon InfoPicture();
// The program's icon: a keypad panel, 16 to 256 pixels.
QIcon ProgramIcon();

}  // namespace tarvex
