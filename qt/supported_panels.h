// The supported-panels window, frmSupportedPanels: a few sentences on what
// the program does and the panel models and firmware versions it serves,
// in the language chosen in the main window when it opens. The main window
// makes a new one for every opening and destroys it once it has closed.
#pragma once

#include <QDialog>

#include "app/window_layout.h"

class QGroupBox;
class QLabel;
class QPlainTextEdit;

namespace tarvex {

class TfrmSupportedPanels : public QDialog {
  Q_OBJECT
 public:
  static constexpr int kClientWidth = layout::kInfoClientWidth;
  static constexpr int kClientHeight = layout::kInfoClientHeight;

  explicit TfrmSupportedPanels(QWidget* parent = nullptr);

  // The main window's language list index when it opened: 1 Italian,
  // 2 French, anything else English. Set before the window shows.
  int LanguageIndex = 0;

  QGroupBox* gbOverview = nullptr;
  QLabel* lblInfo = nullptr;
  QWidget* sPanel1 = nullptr;
  QPlainTextEdit* sMemo1 = nullptr;

  // Fills every text from LanguageIndex; runs each time the window shows.
  void FormShow();

 protected:
  void showEvent(QShowEvent* e) override;
};

}  // namespace tarvex
