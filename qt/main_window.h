// The main window, frmMain, in Qt: a face of the window model
// (app/window_model.h). It lays out the controls, paints what the model's
// state says and forwards the user's events to the model, which decides
// everything else: the start-up sequence, the captions, the enabled states,
// the progress bar, the operations and a close during one.
//
// Panel operations (check, read, send) run on a worker thread (a QThread);
// the model's calls from it reach the window's thread through blocking
// queued calls. File operations run on the window's thread.
#pragma once

#include <QPointer>
#include <QString>
#include <QWidget>

#include <array>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/window_layout.h"
#include "app/window_model.h"
#include "qt/message_presenter.h"

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
class TfrmData;
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
  // The line trace of --trace; null for none (TWindowModelOptions::trace).
  std::shared_ptr<TLineTrace> trace;
  // What the port probes open through; the platform's layer when null
  // (TWindowModelOptions::probeSystem).
  TCommSystem* probeSystem = nullptr;
};

class TfrmMain : public QWidget {
  Q_OBJECT
 public:
  static constexpr int kClientWidth = layout::kClientWidth;
  static constexpr int kClientHeight = layout::kClientHeight;

  explicit TfrmMain(TWindowOptions options = {}, QWidget* parent = nullptr);
  ~TfrmMain() override;

  TWindowModel& Model() { return model_; }
  TSession& Session() { return model_.Session(); }
  const TSession& Session() const { return model_.Session(); }
  // The enabled states the window is in (while an operation runs, its
  // buttons are off on top of these).
  const TControlStates& ControlStates() const { return model_.State().controls; }
  bool OperationRunning() const { return model_.OperationRunning(); }
  // The supported-panels window while it is open, else null.
  TfrmSupportedPanels* SupportedPanelsWindow() const;
  // The data window once "Show data" has opened it, else null.
  TfrmData* DataWindow() const;

  // The file dialogs of the two file-name edits, set up but not shown.
  std::unique_ptr<QFileDialog> MakeSaveDialog();
  std::unique_ptr<QFileDialog> MakeOpenDialog();

  // The progress notice, on the window's thread.
  void HandleTransferProgress(int code, int32_t value, const QString& statusText);
  // A modal box through the presenter; returns when it has been closed.
  void ShowMessage(TBoxKind kind, const QString& text);

  // A control of the table (app/window_controls.h); null for a browse
  // button, which is an action of its file-name edit here.
  QWidget* Control(TControlId id) const { return controls_[static_cast<size_t>(id)]; }

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
  QPushButton* btnShowData = nullptr;
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
  void cbLinguaChange(int index);
  void cbSerialChange(int index);
  void btnCheckConnectionClick();
  void btnUserCodeClick();
  void eSaveToFileChange(const QString& text);
  void btnSaveToFileClick();
  void btnLoadFromFileClick();
  void btnSendCodesClick();
  void btnShowDataClick();
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
  // The window as the model sees it.
  class TView : public TWindowView {
   public:
    explicit TView(TfrmMain& w) : w_(w) {}
    void Show(const TWindowState& state, unsigned parts) override { w_.Paint(state, parts); }
    void ShowMessageBox(TBoxKind kind, const std::string& text) override;
    TAnswer Ask(TBoxKind kind, const std::string& text, TQuestion question) override;
    void ShowBusyCursor(bool busy) override { w_.SetBusyCursor(busy); }
    void ShowSupportedPanels(int languageIndex) override { w_.OpenSupportedPanels(languageIndex); }
    void RunOffThread(std::function<void()> work, std::function<void()> done) override {
      w_.StartWorker(std::move(work), std::move(done));
    }
    void RunOnWindowThread(const std::function<void()>& f) override;
    void CloseWindow() override { w_.close(); }
    void ShowDataWindow() override { w_.OpenDataWindow(); }
    bool ChooseSaveFileName(std::string* name) override { return w_.ChooseSaveFileName(name); }
    void ProgressHandled(int code, int32_t value) override { emit w_.TransferProgressHandled(code, value); }
    void OperationStarted() override { emit w_.OperationStarted(); }
    void OperationFinished() override { emit w_.OperationFinished(); }

   private:
    TfrmMain& w_;
  };

  void BuildControls();
  QWidget* MakeControl(const TControlSpec& c);
  void Paint(const TWindowState& state, unsigned parts);
  void PaintEnables(const TControlEnables& e);
  void PaintBar(const TProgressBar& bar);
  void SetBusyCursor(bool busy);
  void OpenSupportedPanels(int languageIndex);
  void OpenDataWindow();
  bool ChooseSaveFileName(std::string* name);
  void StartWorker(std::function<void()> work, std::function<void()> done);
  void WorkerEnded();

  std::array<QWidget*, kControlCount> controls_{};
  std::unique_ptr<TMessagePresenter> presenter_;
  TView view_;
  TWindowModel model_;
  bool busyCursor_ = false;
  QThread* worker_ = nullptr;
  std::function<void()> done_;
  QPointer<TfrmSupportedPanels> frmSupportedPanels_;
  QPointer<TfrmData> frmData_;
};

}  // namespace tarvex
