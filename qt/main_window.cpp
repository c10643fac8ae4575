#include "qt/main_window.h"

#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QStyleOptionButton>
#include <QStylePainter>
#include <QThread>
#include <QToolButton>

#include <algorithm>

#include "app/display_text.h"
#include "app/keyfile.h"
#include "app/languages.h"
#include "qt/code_edit.h"
#include "qt/icons.h"
#include "qt/style.h"
#include "qt/supported_panels.h"

namespace tarvex {

namespace {

// A push button whose caption wraps onto a second line beside its picture,
// as the captions of the three languages need within the buttons' fixed
// sizes.
class TWrapButton : public QPushButton {
 public:
  using QPushButton::QPushButton;

 protected:
  void paintEvent(QPaintEvent*) override {
    QStylePainter p(this);
    QStyleOptionButton opt;
    initStyleOption(&opt);
    const QString caption = opt.text;
    const QIcon picture = opt.icon;
    opt.text.clear();
    opt.icon = QIcon();
    p.drawControl(QStyle::CE_PushButton, opt);
    QRect r = style()->subElementRect(QStyle::SE_PushButtonContents, &opt, this);
    const QIcon::Mode mode = isEnabled() ? QIcon::Normal : QIcon::Disabled;
    if (!picture.isNull()) {
      const QSize s = iconSize();
      const QRect pr(r.left() + 1, r.center().y() - s.height() / 2 + 1, s.width(), s.height());
      picture.paint(&p, pr, Qt::AlignCenter, mode);
      r.setLeft(pr.right() + 3);
    }
    p.setPen(palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::ButtonText));
    p.drawText(r, Qt::AlignCenter | Qt::TextWordWrap, caption);
  }
};

QLabel* MakeCaption(QWidget* parent, const char* name) {
  auto* l = new QLabel(parent);
  l->setObjectName(QLatin1String(name));
  PaintAsCaption(l);
  return l;
}

QPushButton* MakeButton(QWidget* parent, const char* name, const QRect& geometry) {
  auto* b = new TWrapButton(parent);
  b->setObjectName(QLatin1String(name));
  b->setGeometry(geometry);
  return b;
}

QPushButton* MakePictureButton(QWidget* parent, const char* name, const QRect& geometry, TButtonPicture picture) {
  QPushButton* b = MakeButton(parent, name, geometry);
  b->setIcon(QIcon(ButtonPicture(picture)));
  b->setIconSize(QSize(32, 32));
  return b;
}

QGroupBox* MakeGroup(QWidget* parent, const char* name, const QRect& geometry) {
  auto* g = new QGroupBox(parent);
  g->setObjectName(QLatin1String(name));
  g->setGeometry(geometry);
  return g;
}

// A file-name edit: the name is typed or chosen with the browse picture at
// its right end.
QLineEdit* MakeFileEdit(QWidget* parent, const char* name, const QRect& geometry, const char* browseName) {
  auto* e = new QLineEdit(parent);
  e->setObjectName(QLatin1String(name));
  e->setGeometry(geometry);
  e->setMaxLength(255);
  PaintAsField(e);
  QAction* browse = e->addAction(BrowsePicture(), QLineEdit::TrailingPosition);
  browse->setObjectName(QLatin1String(browseName));
  return e;
}

// Geometry of the window, in client pixels.
constexpr int kTopBand = 85;
constexpr int kMiddleTop = kTopBand;
constexpr int kMiddleBand = 184;
constexpr int kColumn = 316;
constexpr int kGap = 6;
constexpr int kGeneralWidth = 308;
constexpr int kStatusTop = kMiddleTop + kMiddleBand;
constexpr int kStatusBand = 26;
constexpr int kCodeGroupHeight = 70;
constexpr int kFileGroupHeight = 94;
// The groups of the middle band stand 6 px below the top band and 6 px
// apart; what is left stays under them.
constexpr int kFirstRow = kMiddleTop + kGap;
constexpr int kLeftSecondRow = kFirstRow + kCodeGroupHeight + kGap;
constexpr int kRightSecondRow = kFirstRow + kFileGroupHeight + kGap;
constexpr int kBigButtonWidth = 93;
constexpr int kBigButtonHeight = 41;
constexpr int kFileButtonWidth = 113;

}  // namespace

TfrmMain::TfrmMain(TWindowOptions options, QWidget* parent)
    : QWidget(parent), options_(std::move(options)), ui_(*this), session_(ui_) {
  presenter_ = std::move(options_.presenter);
  if (!presenter_) presenter_ = std::make_unique<TMessageBoxPresenter>();
  setObjectName(QStringLiteral("frmMain"));
  BuildControls();
  FormCreate();
}

TfrmMain::~TfrmMain() {
  destroying_ = true;
  if (worker_) {
    // The port is closed by the operation itself on every path; let it get
    // there. Calls it makes from now on reach nothing, and one already
    // queued is let through by the events processed here.
    ui_.Detach();
    disconnect(worker_, nullptr, this, nullptr);
    while (!worker_->isFinished()) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    worker_->wait();
    delete worker_;
    worker_ = nullptr;
  }
  SetBusyCursor(false);
}

void TfrmMain::BuildControls() {
  setWindowTitle(QStringLiteral("Tarvex v.2.04"));
  setWindowIcon(ProgramIcon());
  // A fixed dialog frame: no minimise, no maximise, no resizing.
  setWindowFlags(Qt::Window | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowCloseButtonHint);
  setFixedSize(kClientWidth, kClientHeight);
  setFont(InterfaceFont());

  // ---- Top band: language and port; the connection check ----
  gbGeneral = MakeGroup(this, "gbGeneral", QRect(0, 0, kGeneralWidth, kTopBand));
  lblLingua = MakeCaption(gbGeneral, "lblLingua");
  lblLingua->setGeometry(10, 22, 145, 16);
  cbLingua = new QComboBox(gbGeneral);
  cbLingua->setObjectName(QStringLiteral("cbLingua"));
  cbLingua->setGeometry(10, 40, 145, 24);
  cbLingua->addItems({QStringLiteral("English"), QStringLiteral("Italiano"), QStringLiteral("Francais")});
  PaintAsField(cbLingua);
  lblSerial = MakeCaption(gbGeneral, "lblSerial");
  lblSerial->setGeometry(165, 22, 133, 16);
  cbSerial = new QComboBox(gbGeneral);
  cbSerial->setObjectName(QStringLiteral("cbSerial"));
  cbSerial->setGeometry(165, 40, 133, 24);
  // Device paths and the demo's descriptions are longer than the list.
  cbSerial->view()->setMinimumWidth(260);
  PaintAsField(cbSerial);

  const int linkedWidth = kClientWidth - kGeneralWidth - kGap;
  gbLinkedPanel = MakeGroup(this, "gbLinkedPanel", QRect(kGeneralWidth + kGap, 0, linkedWidth, kTopBand));
  btnCheckConnection = MakeButton(gbLinkedPanel, "btnCheckConnection", QRect(10, 28, kBigButtonWidth, kBigButtonHeight));
  lblLinkedPanel = new QLabel(gbLinkedPanel);
  lblLinkedPanel->setObjectName(QStringLiteral("lblLinkedPanel"));
  lblLinkedPanel->setGeometry(110, 24, 197, 49);
  lblLinkedPanel->setAlignment(Qt::AlignCenter);
  lblLinkedPanel->setWordWrap(true);
  QFont bold = InterfaceFont();
  bold.setBold(true);
  lblLinkedPanel->setFont(bold);
  PaintAsCaption(lblLinkedPanel);
  TsSupportedPanels = new QToolButton(gbLinkedPanel);
  TsSupportedPanels->setObjectName(QStringLiteral("TsSupportedPanels"));
  TsSupportedPanels->setIcon(InfoPicture());
  TsSupportedPanels->setIconSize(QSize(16, 15));
  TsSupportedPanels->setAutoRaise(true);
  TsSupportedPanels->setGeometry(linkedWidth - 24, 0, 22, 20);
  TsSupportedPanels->setToolTip(QStringLiteral("Info (F1)"));

  // ---- Left column: read from the panel, then save ----
  gbUserCode = MakeGroup(this, "gbUserCode", QRect(0, kFirstRow, kColumn, kCodeGroupHeight));
  btnUserCode = MakePictureButton(gbUserCode, "btnUserCode", QRect(10, 20, kBigButtonWidth, kBigButtonHeight),
                                  TButtonPicture::ReadFromPanel);
  lblUserCode = MakeCaption(gbUserCode, "lblUserCode");
  lblUserCode->setGeometry(110, 20, 196, 16);
  lblUserCode->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  EUserCode = new TCodeEdit(gbUserCode);
  EUserCode->setObjectName(QStringLiteral("EUserCode"));
  EUserCode->setGeometry(kColumn - 10 - 89, 38, 89, 23);
  PaintAsField(EUserCode);

  gbAction = MakeGroup(this, "gbAction", QRect(0, kLeftSecondRow, kColumn, kFileGroupHeight));
  eSaveToFile = MakeFileEdit(gbAction, "eSaveToFile", QRect((kColumn - 285) / 2, 21, 285, 23), "actBrowseSave");
  btnSaveToFile = MakePictureButton(gbAction, "btnSaveToFile",
                                    QRect((kColumn - kFileButtonWidth) / 2, 48, kFileButtonWidth, kBigButtonHeight),
                                    TButtonPicture::SaveToFile);

  // ---- Right column: load a file, then send ----
  gbLoadFromFile = MakeGroup(this, "gbLoadFromFile", QRect(kColumn + kGap, kFirstRow, kColumn, kFileGroupHeight));
  eLoadFromFile = MakeFileEdit(gbLoadFromFile, "eLoadFromFile", QRect((kColumn - 285) / 2, 21, 285, 23), "actBrowseLoad");
  btnLoadFromFile = MakePictureButton(
      gbLoadFromFile, "btnLoadFromFile",
      QRect((kColumn - kFileButtonWidth) / 2, 48, kFileButtonWidth, kBigButtonHeight), TButtonPicture::LoadFromFile);

  gbSendToPanel = MakeGroup(this, "gbSendToPanel", QRect(kColumn + kGap, kRightSecondRow, kColumn, kCodeGroupHeight));
  btnSendCodes = MakePictureButton(gbSendToPanel, "btnSendCodes", QRect(10, 20, kBigButtonWidth, kBigButtonHeight),
                                   TButtonPicture::SendToPanel);
  lblUserCodeSend = MakeCaption(gbSendToPanel, "lblUserCodeSend");
  lblUserCodeSend->setGeometry(110, 20, 196, 16);
  lblUserCodeSend->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  eUserCodeSend = new TCodeEdit(gbSendToPanel);
  eUserCodeSend->setObjectName(QStringLiteral("eUserCodeSend"));
  eUserCodeSend->setGeometry(kColumn - 10 - 89, 38, 89, 23);
  PaintAsField(eUserCodeSend);

  // ---- Status bar ----
  pbProgress = new QProgressBar(this);
  pbProgress->setObjectName(QStringLiteral("pbProgress"));
  pbProgress->setGeometry(4, kStatusTop + 4, 325, kStatusBand - 8);
  pbProgress->setTextVisible(false);
  pbProgress->setRange(0, barMaximum_);
  lblProgress = new QLabel(this);
  lblProgress->setObjectName(QStringLiteral("lblProgress"));
  lblProgress->setGeometry(4 + 325 + 8, kStatusTop, kClientWidth - (4 + 325 + 8) - 4, kStatusBand);
  lblProgress->setFont(StatusFont());
  lblProgress->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  PaintAsCaption(lblProgress);

  connect(btnCheckConnection, &QPushButton::clicked, this, &TfrmMain::btnCheckConnectionClick);
  connect(btnUserCode, &QPushButton::clicked, this, &TfrmMain::btnUserCodeClick);
  connect(eSaveToFile, &QLineEdit::textChanged, this, &TfrmMain::eSaveToFileChange);
  connect(btnSaveToFile, &QPushButton::clicked, this, &TfrmMain::btnSaveToFileClick);
  connect(btnLoadFromFile, &QPushButton::clicked, this, &TfrmMain::btnLoadFromFileClick);
  connect(btnSendCodes, &QPushButton::clicked, this, &TfrmMain::btnSendCodesClick);
  connect(TsSupportedPanels, &QToolButton::clicked, this, &TfrmMain::sSkinProvider1TitleButtons0MouseDown);
  connect(eSaveToFile->actions().constFirst(), &QAction::triggered, this, &TfrmMain::BrowseSaveFile);
  connect(eLoadFromFile->actions().constFirst(), &QAction::triggered, this, &TfrmMain::BrowseLoadFile);
  auto* help = new QShortcut(QKeySequence(Qt::Key_F1), this);
  help->setObjectName(QStringLiteral("scSupportedPanels"));
  connect(help, &QShortcut::activated, this, &TfrmMain::sSkinProvider1TitleButtons0MouseDown);

  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    const QRect area = screen->availableGeometry();
    move(area.center() - QPoint(kClientWidth / 2, kClientHeight / 2));
  }
}

void TfrmMain::FormCreate() {
  session_.Notify(ProgressClear);
  session_.SystemFlags.SuccessPauseMs = 50;
  session_.SystemFlags.Attempts = 1;
  session_.SystemFlags.RetryPauseMs = 700;
  TComm& port = session_.PanelPort;
  port.Handle = -1;
  port.BaudIndex = 11;  // 115200 baud
  port.ParityIndex = 2;  // even
  port.DataBitsIndex = 4;  // 8 bits
  port.StopBitsIndex = 0;  // one stop bit
  // Every run starts in Italian; the texts are in place before the port
  // list is built, so busy ports carry the Italian suffix.
  {
    const QSignalBlocker quiet(cbLingua);
    cbLingua->setCurrentIndex(1);
  }
  connect(cbLingua, &QComboBox::currentIndexChanged, this, &TfrmMain::cbLinguaChange);
  cbLinguaChange(cbLingua->currentIndex());
  BuildPortList();
  connect(cbSerial, &QComboBox::currentIndexChanged, this, &TfrmMain::cbSerialChange);
  cbSerialChange(cbSerial->currentIndex());
  // The two images are part of the session, allocated and filled with FF.
  ResetWindow();
}

void TfrmMain::BuildPortList() {
  const QSignalBlocker quiet(cbSerial);
  cbSerial->clear();
  std::vector<TPortEntry> entries = options_.leadingPorts;
  if (!options_.deviceFolder.empty()) {
    std::vector<TPortEntry> probed = ::tarvex::BuildPortList(session_.LangStrings, options_.deviceFolder);
    entries.insert(entries.end(), probed.begin(), probed.end());
  }
  for (const TPortEntry& e : entries)
    cbSerial->addItem(QString::fromStdString(e.Label), QString::fromStdString(e.Device));
  cbSerial->setCurrentIndex(entries.empty() ? -1 : 0);
}

void TfrmMain::cbLinguaChange(int) {
  if (busy_) return;
  ApplyLanguage();
}

void TfrmMain::ApplyLanguage() {
  const TLanguage lang = LanguageFromIndex(cbLingua->currentIndex());
  ApplyLanguageTexts(session_, lang);
  const TCaptions c = Captions(lang);
  auto q = [](const std::string& s) { return QString::fromStdString(s); };
  lblLingua->setText(q(c.LinguaLabel));
  lblSerial->setText(q(c.SerialLabel));
  gbGeneral->setTitle(q(c.General));
  gbLinkedPanel->setTitle(q(c.LinkedPanel));
  btnCheckConnection->setText(q(c.CheckConnection));
  lblLinkedPanel->setText(q(session_.LangStrings.NoPanelConnected));
  gbUserCode->setTitle(q(c.UserCodeGroup));
  btnUserCode->setText(q(c.UserCodeButton));
  lblUserCode->setText(q(c.UserCodeLabel));
  gbAction->setTitle(q(c.SaveGroup));
  btnSaveToFile->setText(q(c.SaveButton));
  gbLoadFromFile->setTitle(q(c.LoadGroup));
  btnLoadFromFile->setText(q(c.LoadButton));
  gbSendToPanel->setTitle(q(c.SendGroup));
  btnSendCodes->setText(q(c.SendButton));
  lblUserCodeSend->setText(lblUserCode->text());
  // Where the target's data goes before every send.
  const QString backups = q(session_.ExtraStrings.BackupFolder) + QString::fromStdString(options_.backupFolder);
  gbSendToPanel->setToolTip(backups);
  btnSendCodes->setToolTip(backups);
  TsSupportedPanels->setToolTip(q(SupportedTexts(lang).WindowCaption) + QStringLiteral(" (F1)"));
  session_.ShowStatus(session_.LangStrings.Ready);
}

void TfrmMain::cbSerialChange(int index) {
  if (busy_) return;
  // No entry (a machine without serial ports): no device, so that any
  // later open ends with the ErrorOpeningPort warning.
  session_.PanelPort.Device = index < 0 ? std::string() : cbSerial->itemData(index).toString().toStdString();
  session_.PanelPort.Port = 0;
}

void TfrmMain::ResetWindow() {
  lblLinkedPanel->setText(QString::fromStdString(session_.LangStrings.NoPanelConnected));
  controls_.Reset();
  ApplyControlStates();
  EUserCode->clear();
  eUserCodeSend->clear();
}

void TfrmMain::ApplyControlStates() {
  const bool idle = !busy_;
  // Controls inside a group go off before their group, and come on after it.
  auto group = [](QGroupBox* g, std::initializer_list<QWidget*> inside, bool on) {
    if (on) g->setEnabled(true);
    for (QWidget* w : inside) w->setEnabled(on);
    if (!on) g->setEnabled(false);
  };
  group(gbUserCode, {lblUserCode, EUserCode}, controls_.UserCode);
  btnUserCode->setEnabled(controls_.UserCode && idle);
  group(gbAction, {eSaveToFile}, controls_.SaveGroup);
  btnSaveToFile->setEnabled(controls_.SaveButton && idle);
  group(gbLoadFromFile, {eLoadFromFile}, controls_.LoadGroup);
  btnLoadFromFile->setEnabled(controls_.LoadGroup && idle);
  group(gbSendToPanel, {lblUserCodeSend, eUserCodeSend}, controls_.SendGroup);
  btnSendCodes->setEnabled(controls_.SendGroup && idle);
  // The worker reads the texts and the port of the session: neither may
  // change under it.
  cbLingua->setEnabled(idle);
  cbSerial->setEnabled(idle);
  btnCheckConnection->setEnabled(idle);
}

void TfrmMain::HandleTransferProgress(int code, int32_t value, const QString& statusText) {
  switch (code) {
    case ProgressShowStatus:
      lblProgress->setText(statusText);
      break;
    case ProgressSetRange:
      barMaximum_ = value;
      barPosition_ = std::min(barPosition_, barMaximum_);
      ShowBar();
      break;
    case ProgressStep:
      barPosition_ = value == -1 ? 0 : std::clamp(barPosition_ + value, 0, std::max(barMaximum_, 0));
      ShowBar();
      break;
    case ProgressClear:
      lblProgress->clear();
      barPosition_ = 0;
      ShowBar();
      break;
    default:  // ProgressPump and unknown codes change nothing visible
      break;
  }
  emit TransferProgressHandled(code, value);
}

void TfrmMain::ShowBar() {
  // A QProgressBar whose maximum equals its minimum turns into a "busy"
  // animation; a phase announced with no steps shows an empty bar instead.
  pbProgress->setRange(0, std::max(barMaximum_, 1));
  pbProgress->setValue(std::max(barPosition_, 0));
  pbProgress->repaint();
}

void TfrmMain::ShowMessage(TBoxKind kind, const QString& text) { presenter_->Show(this, kind, text); }

void TfrmMain::SetBusyCursor(bool busy) {
  if (busy == busyCursor_) return;
  busyCursor_ = busy;
  if (busy) QApplication::setOverrideCursor(Qt::WaitCursor);
  else QApplication::restoreOverrideCursor();
}

void TfrmMain::RunPanelOperation(std::function<void()> work, std::function<void()> done) {
  busy_ = true;
  ApplyControlStates();
  done_ = std::move(done);
  worker_ = QThread::create(std::move(work));
  worker_->setObjectName(QStringLiteral("panel operation"));
  connect(worker_, &QThread::finished, this, &TfrmMain::OperationEnded);
  emit OperationStarted();
  worker_->start();
}

void TfrmMain::OperationEnded() {
  if (destroying_ || !worker_) return;
  worker_->wait();
  delete worker_;
  worker_ = nullptr;
  std::function<void()> done = std::move(done_);
  done_ = nullptr;
  if (done) done();
  busy_ = false;
  ApplyControlStates();
  emit OperationFinished();
  if (closePending_) {
    closePending_ = false;
    close();
  }
}

void TfrmMain::closeEvent(QCloseEvent* e) {
  if (busy_) {
    // The port belongs to the worker until the operation ends, and a box of
    // the operation may be waiting for the user: close once it is over.
    closePending_ = true;
    e->ignore();
    return;
  }
  e->accept();
}

void TfrmMain::btnCheckConnectionClick() {
  if (busy_) return;
  ResetWindow();
  auto identified = std::make_shared<bool>(false);
  RunPanelOperation([this, identified] { *identified = CheckConnection(session_); },
                    [this, identified] {
                      if (*identified) {
                        lblLinkedPanel->setText(
                            QString::fromStdString(Cp1252ToUtf8(session_.SystemFlags.PanelDescription)));
                        controls_.PanelIdentified();
                      } else {
                        lblLinkedPanel->setText(QString::fromStdString(session_.LangStrings.NoPanelConnected));
                      }
                      ApplyControlStates();
                    });
}

void TfrmMain::btnUserCodeClick() {
  if (busy_ || !controls_.UserCode) return;
  const std::string code = EUserCode->text().toStdString();
  auto outcome = std::make_shared<TReadOutcome>();
  RunPanelOperation([this, code, outcome] { *outcome = ReadFromPanel(session_, code); },
                    [this, outcome] {
                      if (outcome->status) lblProgress->setText(QString::fromStdString(*outcome->status));
                      if (outcome->ok) {
                        controls_.DataRead();
                        ApplyControlStates();
                      }
                    });
}

void TfrmMain::eSaveToFileChange(const QString&) {
  controls_.SaveNameChanged();
  ApplyControlStates();
}

void TfrmMain::btnSaveToFileClick() {
  if (busy_ || !controls_.SaveButton) return;
  const std::string name = eSaveToFile->text().toStdString();
  const bool saved = session_.IsLargePanel() ? SaveLargeFile(session_, name) : SaveSmallFile(session_, name);
  if (saved) ResetWindow();
}

void TfrmMain::btnLoadFromFileClick() {
  if (busy_ || !controls_.LoadGroup) return;
  const std::string name = eLoadFromFile->text().toStdString();
  const TLoadResult r = session_.IsLargePanel() ? LoadLargeFile(session_, name) : LoadSmallFile(session_, name);
  if (r == TLoadResult::Loaded) {
    controls_.FileLoaded();
    ApplyControlStates();
  } else if (r == TLoadResult::Mismatch) {
    ResetWindow();
  }
}

void TfrmMain::btnSendCodesClick() {
  if (busy_ || !controls_.SendGroup) return;
  const std::string code = eUserCodeSend->text().toStdString();
  auto outcome = std::make_shared<TSendOutcome>();
  TSendOptions send;
  send.backupFolder = options_.backupFolder;
  RunPanelOperation([this, code, outcome, send] { *outcome = SendToPanel(session_, code, send); },
                    [this, outcome] {
                      if (outcome->status) lblProgress->setText(QString::fromStdString(*outcome->status));
                      ResetWindow();
                    });
}

void TfrmMain::sSkinProvider1TitleButtons0MouseDown() {
  if (frmSupportedPanels_) return;
  QPointer<TfrmSupportedPanels> w = new TfrmSupportedPanels(this);
  frmSupportedPanels_ = w;
  w->LanguageIndex = cbLingua->currentIndex();
  w->exec();
  delete w.data();
}

TfrmSupportedPanels* TfrmMain::SupportedPanelsWindow() const { return frmSupportedPanels_.data(); }

std::unique_ptr<QFileDialog> TfrmMain::MakeSaveDialog() {
  auto d = std::make_unique<QFileDialog>(this);
  d->setObjectName(QStringLiteral("dlgSaveToFile"));
  d->setAcceptMode(QFileDialog::AcceptSave);
  d->setFileMode(QFileDialog::AnyFile);
  d->setNameFilter(QStringLiteral("Key-Codes (.tvx) (*.tvx)"));
  // The filter's own name already says what it lists.
  d->setOption(QFileDialog::HideNameFilterDetails, true);
  // The save replaces an existing file of that name without a question.
  d->setOption(QFileDialog::DontConfirmOverwrite, true);
  if (!eSaveToFile->text().isEmpty()) d->selectFile(eSaveToFile->text());
  return d;
}

std::unique_ptr<QFileDialog> TfrmMain::MakeOpenDialog() {
  auto d = std::make_unique<QFileDialog>(this);
  d->setObjectName(QStringLiteral("dlgLoadFromFile"));
  d->setAcceptMode(QFileDialog::AcceptOpen);
  d->setFileMode(QFileDialog::ExistingFile);
  // Any file may hold key codes: the load checks the content, not the name.
  d->setNameFilter(QStringLiteral("* (*)"));
  if (!eLoadFromFile->text().isEmpty()) d->selectFile(eLoadFromFile->text());
  return d;
}

void TfrmMain::BrowseSaveFile() {
  std::unique_ptr<QFileDialog> d = MakeSaveDialog();
  if (d->exec() == QDialog::Accepted && !d->selectedFiles().isEmpty()) eSaveToFile->setText(d->selectedFiles().first());
}

void TfrmMain::BrowseLoadFile() {
  std::unique_ptr<QFileDialog> d = MakeOpenDialog();
  if (d->exec() == QDialog::Accepted && !d->selectedFiles().isEmpty())
    eLoadFromFile->setText(d->selectedFiles().first());
}

}  // namespace tarvex
