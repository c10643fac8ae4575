// The main window, frmMain: language and port choice, the connection check,
// reading a panel into the image, saving and loading key-code files, and
// sending the image into a panel.
//
// Panel operations (check, read, send) run on a worker thread that has the
// session's port to itself until the operation ends; the window stays live
// meanwhile, with every control that could start another operation or
// change what the worker reads (the language, the port, the file buttons)
// switched off. File operations are quick and run on the window's thread.
#pragma once

#include <QPointer>
#include <QString>
#include <QWidget>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/backup.h"
#include "app/connection.h"
#include "qt/message_presenter.h"
#include "qt/window_ui.h"
#include "app/workflows.h"
#include "protocol/session.h"

class QComboBox;
class QFileDialog;
class QGroupBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QThread;
class QToolButton;

namespace tarvex {

class TCodeEdit;
class TfrmSupportedPanels;

struct TWindowOptions {
  // Listed first in the port list, ahead of the probed devices (the demo's
  // simulated panels, the tests' panels).
  std::vector<TPortEntry> leadingPorts;
  // Where serial devices are probed at start-up; empty probes nothing.
  std::string deviceFolder = "/dev";
  // Shows the message boxes; a modal QMessageBox when none is given.
  std::unique_ptr<TMessagePresenter> presenter;
  // Where the target panel's data is saved before every send.
  std::string backupFolder = DefaultBackupFolder();
};

class TfrmMain : public QWidget {
  Q_OBJECT
 public:
  static constexpr int kClientWidth = 638;
  static constexpr int kClientHeight = 295;

  explicit TfrmMain(TWindowOptions options = {}, QWidget* parent = nullptr);
  ~TfrmMain() override;

  TSession& Session() { return session_; }
  const TSession& Session() const { return session_; }
  // The enabled states the window is in (while an operation runs, its
  // buttons are off on top of these).
  const TControlStates& ControlStates() const { return controls_; }
  bool OperationRunning() const { return busy_; }
  // The supported-panels window while it is open, else null.
  TfrmSupportedPanels* SupportedPanelsWindow() const;

  // The file dialogs of the two file-name edits, set up but not shown.
  std::unique_ptr<QFileDialog> MakeSaveDialog();
  std::unique_ptr<QFileDialog> MakeOpenDialog();

  // The progress notice (WM_TRANSFER_PROGRESS), on the window's thread.
  void HandleTransferProgress(int code, int32_t value, const QString& statusText);
  // A modal box through the presenter; returns when it has been closed.
  void ShowMessage(TBoxKind kind, const QString& text);
  // The busy pointer for the whole program.
  void SetBusyCursor(bool busy);

  // The controls, under the names the handlers and the tests use.
  QGroupBox* gbGeneral = nullptr;
  QLabel* lblLingua = nullptr;
  QComboBox* cbLingua = nullptr;
  QLabel* lblSerial = nullptr;
  QComboBox* cbSerial = nullptr;
  QGroupBox* gbLinkedPanel = nullptr;
  QPushButton* btnCheckConnection = nullptr;
  QLabel* lblLinkedPanel = nullptr;
  QToolButton* TsSupportedPanels = nullptr;
  QGroupBox* gbUserCode = nullptr;
  QPushButton* btnUserCode = nullptr;
  QLabel* lblUserCode = nullptr;
  TCodeEdit* EUserCode = nullptr;
  QGroupBox* gbAction = nullptr;
  QLineEdit* eSaveToFile = nullptr;
  QPushButton* btnSaveToFile = nullptr;
  QGroupBox* gbLoadFromFile = nullptr;
  QLineEdit* eLoadFromFile = nullptr;
  QPushButton* btnLoadFromFile = nullptr;
  QGroupBox* gbSendToPanel = nullptr;
  QPushButton* btnSendCodes = nullptr;
  QLabel* lblUserCodeSend = nullptr;
  TCodeEdit* eUserCodeSend = nullptr;
  QProgressBar* pbProgress = nullptr;
  QLabel* lblProgress = nullptr;

 public slots:
  void ApplyLanguage();
  void ResetWindow();
  void cbLinguaChange(int index);
  void cbSerialChange(int index);
  void btnCheckConnectionClick();
  void btnUserCodeClick();
  void eSaveToFileChange(const QString& text);
  void btnSaveToFileClick();
  void btnLoadFromFileClick();
  void btnSendCodesClick();
  // Opens the supported-panels window (the TsSupportedPanels button, F1).
  void sSkinProvider1TitleButtons0MouseDown();
  void BrowseSaveFile();
  void BrowseLoadFile();

 signals:
  void OperationStarted();
  void OperationFinished();
  // After every progress notice has been handled.
  void TransferProgressHandled(int code, int value);

 protected:
  void closeEvent(QCloseEvent* e) override;

 private:
  void FormCreate();
  void BuildControls();
  void BuildPortList();
  void ApplyControlStates();
  // Runs work on a worker thread, then done on the window's thread.
  void RunPanelOperation(std::function<void()> work, std::function<void()> done);
  void OperationEnded();
  void ShowBar();

  TWindowOptions options_;
  std::unique_ptr<TMessagePresenter> presenter_;
  TWindowUserInterface ui_;
  TSession session_;
  TControlStates controls_;
  int32_t barMaximum_ = 100;
  int32_t barPosition_ = 0;
  bool busy_ = false;
  bool closePending_ = false;
  bool busyCursor_ = false;
  bool destroying_ = false;
  QThread* worker_ = nullptr;
  std::function<void()> done_;
  QPointer<TfrmSupportedPanels> frmSupportedPanels_;
};

}  // namespace tarvex
