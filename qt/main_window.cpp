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
#include <QTimer>
#include <QToolButton>

#include <algorithm>

#include "app/window_layout.h"
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
  b->setIconSize(QSize(layout::kButtonPicture, layout::kButtonPicture));
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

using namespace layout;

}  // namespace

void TfrmMain::BuildControls() {
  setWindowTitle(QString::fromStdString(WindowTitle()));
  setWindowIcon(ProgramIcon());
  // A fixed dialog frame: no minimise, no maximise, no resizing.
  setWindowFlags(Qt::Window | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowCloseButtonHint);
  setFixedSize(kClientWidth, kClientHeight);
  setFont(InterfaceFont());

  // ---- Top band: language and port; the connection check ----
  gbGeneral = MakeGroup(this, "gbGeneral", QRect(0, 0, kGeneralWidth, kTopBand));
  lblLingua = MakeCaption(gbGeneral, "lblLingua");
  lblLingua->setGeometry(10, 22, kLinguaWidth, 16);
  cbLingua = new QComboBox(gbGeneral);
  cbLingua->setObjectName(QStringLiteral("cbLingua"));
  cbLingua->setGeometry(10, 40, kLinguaWidth, 24);
  for (const char* item : kLanguageItems) cbLingua->addItem(QString::fromLatin1(item));
  PaintAsField(cbLingua);
  lblSerial = MakeCaption(gbGeneral, "lblSerial");
  lblSerial->setGeometry(165, 22, kSerialWidth, 16);
  cbSerial = new QComboBox(gbGeneral);
  cbSerial->setObjectName(QStringLiteral("cbSerial"));
  cbSerial->setGeometry(165, 40, kSerialWidth, 24);
  // Device paths and the demo's descriptions are longer than the list.
  cbSerial->view()->setMinimumWidth(260);
  PaintAsField(cbSerial);

  const int linkedWidth = kLinkedWidth;
  gbLinkedPanel = MakeGroup(this, "gbLinkedPanel", QRect(kGeneralWidth + kGap, 0, linkedWidth, kTopBand));
  btnCheckConnection = MakeButton(gbLinkedPanel, "btnCheckConnection", QRect(10, 28, kBigButtonWidth, kBigButtonHeight));
  lblLinkedPanel = new QLabel(gbLinkedPanel);
  lblLinkedPanel->setObjectName(QStringLiteral("lblLinkedPanel"));
  lblLinkedPanel->setGeometry(110, 24, kLinkedLabelWidth, 49);
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

  // ---- Left column: read from the panel, then save ----
  gbUserCode = MakeGroup(this, "gbUserCode", QRect(0, kFirstRow, kColumn, kCodeGroupHeight));
  btnUserCode = MakePictureButton(gbUserCode, "btnUserCode", QRect(10, 20, kBigButtonWidth, kBigButtonHeight),
                                  TButtonPicture::ReadFromPanel);
  lblUserCode = MakeCaption(gbUserCode, "lblUserCode");
  lblUserCode->setGeometry(110, 20, 196, 16);
  lblUserCode->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  EUserCode = new TCodeEdit(gbUserCode);
  EUserCode->setObjectName(QStringLiteral("EUserCode"));
  EUserCode->setGeometry(kColumn - 10 - kCodeEditWidth, 38, kCodeEditWidth, kEditHeight);
  PaintAsField(EUserCode);

  gbAction = MakeGroup(this, "gbAction", QRect(0, kLeftSecondRow, kColumn, kFileGroupHeight));
  eSaveToFile = MakeFileEdit(gbAction, "eSaveToFile", QRect((kColumn - kFileEditWidth) / 2, 21, kFileEditWidth, kEditHeight), "actBrowseSave");
  btnSaveToFile = MakePictureButton(gbAction, "btnSaveToFile",
                                    QRect((kColumn - kFileButtonWidth) / 2, 48, kFileButtonWidth, kBigButtonHeight),
                                    TButtonPicture::SaveToFile);

  // ---- Right column: load a file, then send ----
  gbLoadFromFile = MakeGroup(this, "gbLoadFromFile", QRect(kColumn + kGap, kFirstRow, kColumn, kFileGroupHeight));
  eLoadFromFile = MakeFileEdit(gbLoadFromFile, "eLoadFromFile", QRect((kColumn - kFileEditWidth) / 2, 21, kFileEditWidth, kEditHeight), "actBrowseLoad");
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
  eUserCodeSend->setGeometry(kColumn - 10 - kCodeEditWidth, 38, kCodeEditWidth, kEditHeight);
  PaintAsField(eUserCodeSend);

  // ---- Status bar ----
  pbProgress = new QProgressBar(this);
  pbProgress->setObjectName(QStringLiteral("pbProgress"));
  pbProgress->setGeometry(4, kStatusTop + 4, kProgressWidth, kStatusBand - 8);
  pbProgress->setTextVisible(false);
  pbProgress->setRange(0, 100);
  lblProgress = new QLabel(this);
  lblProgress->setObjectName(QStringLiteral("lblProgress"));
  lblProgress->setGeometry(4 + kProgressWidth + 8, kStatusTop, kClientWidth - (4 + kProgressWidth + 8) - 4, kStatusBand);
  lblProgress->setFont(StatusFont());
  lblProgress->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  PaintAsCaption(lblProgress);

  connect(cbLingua, &QComboBox::currentIndexChanged, this, &TfrmMain::cbLinguaChange);
  connect(cbSerial, &QComboBox::currentIndexChanged, this, &TfrmMain::cbSerialChange);
  connect(EUserCode, &QLineEdit::textChanged, this,
          [this](const QString& text) { model_.UserCodeEdited(text.toStdString()); });
  connect(eUserCodeSend, &QLineEdit::textChanged, this,
          [this](const QString& text) { model_.SendCodeEdited(text.toStdString()); });
  connect(eLoadFromFile, &QLineEdit::textChanged, this,
          [this](const QString& text) { model_.LoadNameEdited(text.toStdString()); });
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

TfrmMain::TfrmMain(TWindowOptions options, QWidget* parent)
    : QWidget(parent),
      presenter_(std::move(options.presenter)),
      view_(*this),
      model_(view_, TWindowModelOptions{std::move(options.leadingPorts), std::move(options.deviceFolder),
                                        std::move(options.backupFolder), std::move(options.trace)}) {
  if (!presenter_) presenter_ = std::make_unique<TMessageBoxPresenter>();
  setObjectName(QStringLiteral("frmMain"));
  BuildControls();
  model_.Start();
}

TfrmMain::~TfrmMain() {
  // The port is closed by the operation itself on every path; let it get
  // there. Calls it makes from now on reach nothing, and one already queued
  // is let through by the events processed here.
  model_.Shutdown([this] {
    if (!worker_) return;
    disconnect(worker_, nullptr, this, nullptr);
    while (!worker_->isFinished()) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    worker_->wait();
    delete worker_;
    worker_ = nullptr;
  });
}

void TfrmMain::Paint(const TWindowState& state, unsigned parts) {
  auto q = [](const std::string& s) { return QString::fromStdString(s); };
  if (parts & PartCaptions) {
    {
      const QSignalBlocker quiet(cbLingua);
      cbLingua->setCurrentIndex(state.languageIndex);
    }
    const TCaptions& c = state.captions;
    lblLingua->setText(q(c.LinguaLabel));
    lblSerial->setText(q(c.SerialLabel));
    gbGeneral->setTitle(q(c.General));
    gbLinkedPanel->setTitle(q(c.LinkedPanel));
    btnCheckConnection->setText(q(c.CheckConnection));
    gbUserCode->setTitle(q(c.UserCodeGroup));
    btnUserCode->setText(q(c.UserCodeButton));
    lblUserCode->setText(q(c.UserCodeLabel));
    gbAction->setTitle(q(c.SaveGroup));
    btnSaveToFile->setText(q(c.SaveButton));
    gbLoadFromFile->setTitle(q(c.LoadGroup));
    btnLoadFromFile->setText(q(c.LoadButton));
    gbSendToPanel->setTitle(q(c.SendGroup));
    btnSendCodes->setText(q(c.SendButton));
    lblUserCodeSend->setText(q(c.UserCodeLabel));
    gbSendToPanel->setToolTip(q(state.sendToolTip));
    btnSendCodes->setToolTip(q(state.sendToolTip));
    TsSupportedPanels->setToolTip(q(state.supportedPanelsToolTip));
  }
  if (parts & PartPorts) {
    const QSignalBlocker quiet(cbSerial);
    cbSerial->clear();
    for (const TPortEntry& e : state.ports) cbSerial->addItem(q(e.Label), q(e.Device));
    cbSerial->setCurrentIndex(state.selectedPort);
  }
  if (parts & PartLinkedPanel) lblLinkedPanel->setText(q(state.linkedPanel));
  if (parts & PartStatus) lblProgress->setText(UiText(state.status));
  if (parts & PartBar) PaintBar(state.bar);
  if (parts & PartCodes) {
    for (auto [edit, text] : {std::pair{static_cast<QLineEdit*>(EUserCode), &state.userCode},
                              std::pair{static_cast<QLineEdit*>(eUserCodeSend), &state.sendCode}}) {
      const QString shown = q(*text);
      if (edit->text() != shown) edit->setText(shown);
    }
  }
  if (parts & PartFileNames) {
    if (eSaveToFile->text() != q(state.saveFileName)) eSaveToFile->setText(q(state.saveFileName));
    if (eLoadFromFile->text() != q(state.loadFileName)) eLoadFromFile->setText(q(state.loadFileName));
  }
  if (parts & PartControls) PaintEnables(state.enables);
}

void TfrmMain::PaintEnables(const TControlEnables& e) {
  // Controls inside a group go off before their group, and come on after it.
  auto group = [](QGroupBox* g, bool groupOn, std::initializer_list<std::pair<QWidget*, bool>> inside) {
    if (groupOn) g->setEnabled(true);
    for (auto [w, on] : inside) w->setEnabled(on);
    if (!groupOn) g->setEnabled(false);
  };
  group(gbUserCode, e.gbUserCode, {{lblUserCode, e.EUserCode}, {EUserCode, e.EUserCode}, {btnUserCode, e.btnUserCode}});
  group(gbAction, e.gbAction, {{eSaveToFile, e.eSaveToFile}, {btnSaveToFile, e.btnSaveToFile}});
  group(gbLoadFromFile, e.gbLoadFromFile, {{eLoadFromFile, e.eLoadFromFile}, {btnLoadFromFile, e.btnLoadFromFile}});
  group(gbSendToPanel, e.gbSendToPanel,
        {{lblUserCodeSend, e.eUserCodeSend}, {eUserCodeSend, e.eUserCodeSend}, {btnSendCodes, e.btnSendCodes}});
  cbLingua->setEnabled(e.cbLingua);
  cbSerial->setEnabled(e.cbSerial);
  btnCheckConnection->setEnabled(e.btnCheckConnection);
}

void TfrmMain::PaintBar(const TProgressBar& bar) {
  // A QProgressBar whose maximum equals its minimum turns into a "busy"
  // animation; a phase announced with no steps shows an empty bar instead.
  pbProgress->setRange(0, std::max(bar.maximum, 1));
  pbProgress->setValue(std::max(bar.position, 0));
  pbProgress->repaint();
}

void TfrmMain::HandleTransferProgress(int code, int32_t value, const QString& statusText) {
  model_.HandleTransferProgress(code, value, statusText.toStdString());
}

void TfrmMain::ShowMessage(TBoxKind kind, const QString& text) { presenter_->Show(this, kind, text); }

void TfrmMain::TView::ShowMessageBox(TBoxKind kind, const std::string& text) { w_.ShowMessage(kind, UiText(text)); }

void TfrmMain::TView::RunOnWindowThread(const std::function<void()>& f) {
  if (QThread::currentThread() == w_.thread()) {
    f();
    return;
  }
  QMetaObject::invokeMethod(&w_, [&f] { f(); }, Qt::BlockingQueuedConnection);
}

void TfrmMain::SetBusyCursor(bool busy) {
  if (busy == busyCursor_) return;
  busyCursor_ = busy;
  if (busy) QApplication::setOverrideCursor(Qt::WaitCursor);
  else QApplication::restoreOverrideCursor();
}

void TfrmMain::StartWorker(std::function<void()> work, std::function<void()> done) {
  done_ = std::move(done);
  worker_ = QThread::create(std::move(work));
  worker_->setObjectName(QStringLiteral("panel operation"));
  connect(worker_, &QThread::finished, this, &TfrmMain::WorkerEnded);
  worker_->start();
}

void TfrmMain::WorkerEnded() {
  if (!worker_) return;
  worker_->wait();
  delete worker_;
  worker_ = nullptr;
  std::function<void()> done = std::move(done_);
  done_ = nullptr;
  if (done) done();
}

void TfrmMain::closeEvent(QCloseEvent* e) {
  if (model_.CloseRequested()) e->accept();
  else e->ignore();
}

void TfrmMain::cbLinguaChange(int index) { model_.LanguageChosen(index); }
void TfrmMain::cbSerialChange(int index) { model_.PortChosen(index); }
void TfrmMain::btnCheckConnectionClick() { model_.CheckConnection(); }
void TfrmMain::btnUserCodeClick() { model_.ReadFromPanel(); }
void TfrmMain::eSaveToFileChange(const QString& text) { model_.SaveNameEdited(text.toStdString()); }
void TfrmMain::btnSaveToFileClick() { model_.SaveToFile(); }
void TfrmMain::btnLoadFromFileClick() { model_.LoadFromFile(); }
void TfrmMain::btnSendCodesClick() { model_.SendToPanel(); }
void TfrmMain::sSkinProvider1TitleButtons0MouseDown() { model_.SupportedPanelsRequested(); }

void TfrmMain::OpenSupportedPanels(int languageIndex) {
  QPointer<TfrmSupportedPanels> w = new TfrmSupportedPanels(this);
  frmSupportedPanels_ = w;
  w->LanguageIndex = languageIndex;
  w->exec();
  delete w.data();
}

TfrmSupportedPanels* TfrmMain::SupportedPanelsWindow() const { return frmSupportedPanels_.data(); }

std::unique_ptr<QFileDialog> TfrmMain::MakeSaveDialog() {
  auto d = std::make_unique<QFileDialog>(this);
  d->setObjectName(QStringLiteral("dlgSaveToFile"));
  d->setAcceptMode(QFileDialog::AcceptSave);
  d->setFileMode(QFileDialog::AnyFile);
  d->setNameFilter(QString::fromLatin1(kSaveFilterName) + QStringLiteral(" (") + QString::fromLatin1(kSaveFilterPattern) +
                   QLatin1Char(')'));
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
