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
#include <type_traits>

#include "app/window_layout.h"
#include "qt/code_edit.h"
#include "qt/data_window.h"
#include "qt/icons.h"
#include "qt/style.h"
#include "qt/supported_panels.h"

namespace tarvex {

namespace {

using namespace layout;

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

QRect Rect(const TRect& r) { return QRect(r.x, r.y, r.w, r.h); }

// A file-name edit: the name is typed or chosen with the browse picture at
// its right end (the table's browse button, here an action of the edit).
void AddBrowseAction(QLineEdit* e, const char* browseName) {
  QAction* browse = e->addAction(BrowsePicture(), QLineEdit::TrailingPosition);
  browse->setObjectName(QLatin1String(browseName));
}

TButtonPicture PictureOf(TControlId id) {
  switch (id) {
    case TControlId::btnUserCode: return TButtonPicture::ReadFromPanel;
    case TControlId::btnSaveToFile: return TButtonPicture::SaveToFile;
    case TControlId::btnLoadFromFile: return TButtonPicture::LoadFromFile;
    default: return TButtonPicture::SendToPanel;
  }
}

}  // namespace

QWidget* TfrmMain::MakeControl(const TControlSpec& c) {
  QWidget* parent = c.group == TControlId::None ? static_cast<QWidget*>(this) : Control(c.group);
  QWidget* w = nullptr;
  switch (c.kind) {
    case TControlKind::Group:
      w = new QGroupBox(parent);
      break;
    case TControlKind::Caption: {
      auto* l = new QLabel(parent);
      if (c.alignRight) l->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
      PaintAsCaption(l);
      w = l;
      break;
    }
    case TControlKind::List: {
      auto* list = new QComboBox(parent);
      PaintAsField(list);
      w = list;
      break;
    }
    case TControlKind::Button:
      w = new TWrapButton(parent);
      break;
    case TControlKind::PictureButton: {
      auto* b = new TWrapButton(parent);
      b->setIcon(QIcon(ButtonPicture(PictureOf(c.id))));
      b->setIconSize(QSize(kButtonPicture, kButtonPicture));
      w = b;
      break;
    }
    case TControlKind::InfoButton: {
      auto* b = new QToolButton(parent);
      b->setIcon(InfoPicture());
      b->setIconSize(QSize(kInfoPictureWidth, kInfoPictureHeight));
      b->setAutoRaise(true);
      w = b;
      break;
    }
    case TControlKind::BrowseButton:
      // An action of its edit, added when the edit is made.
      return nullptr;
    case TControlKind::CodeEdit: {
      auto* e = new TCodeEdit(parent);
      PaintAsField(e);
      w = e;
      break;
    }
    case TControlKind::FileEdit: {
      auto* e = new QLineEdit(parent);
      e->setMaxLength(255);
      PaintAsField(e);
      for (const TControlSpec& b : kMainWindowControls)
        if (b.kind == TControlKind::BrowseButton && b.follows == c.id) AddBrowseAction(e, b.name);
      w = e;
      break;
    }
    case TControlKind::LinkedPanel: {
      auto* l = new QLabel(parent);
      l->setAlignment(Qt::AlignCenter);
      l->setWordWrap(true);
      QFont bold = InterfaceFont();
      bold.setBold(true);
      l->setFont(bold);
      PaintAsCaption(l);
      w = l;
      break;
    }
    case TControlKind::ProgressBar: {
      auto* bar = new QProgressBar(parent);
      bar->setTextVisible(false);
      bar->setRange(0, 100);
      w = bar;
      break;
    }
    case TControlKind::StatusLine: {
      auto* l = new QLabel(parent);
      l->setFont(StatusFont());
      l->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
      PaintAsCaption(l);
      w = l;
      break;
    }
  }
  w->setObjectName(QLatin1String(c.name));
  w->setGeometry(Rect(RectInGroup(c)));
  return w;
}

void TfrmMain::BuildControls() {
  setWindowTitle(QString::fromStdString(WindowTitle()));
  setWindowIcon(ProgramIcon());
  // A fixed dialog frame: no minimise, no maximise, no resizing.
  setWindowFlags(Qt::Window | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowCloseButtonHint);
  setFixedSize(kClientWidth, kClientHeight);
  setFont(InterfaceFont());

  // Made in table order, which is also the keyboard's tab order.
  for (const TControlSpec& c : kMainWindowControls) controls_[static_cast<size_t>(c.id)] = MakeControl(c);
  auto at = [this](auto*& member, TControlId id) {
    member = static_cast<std::remove_reference_t<decltype(member)>>(Control(id));
  };
  at(gbGeneral, TControlId::gbGeneral);
  at(lblLingua, TControlId::lblLingua);
  at(cbLingua, TControlId::cbLingua);
  at(lblSerial, TControlId::lblSerial);
  at(cbSerial, TControlId::cbSerial);
  at(gbLinkedPanel, TControlId::gbLinkedPanel);
  at(btnCheckConnection, TControlId::btnCheckConnection);
  at(lblLinkedPanel, TControlId::lblLinkedPanel);
  at(TsSupportedPanels, TControlId::TsSupportedPanels);
  at(gbUserCode, TControlId::gbUserCode);
  at(btnUserCode, TControlId::btnUserCode);
  at(lblUserCode, TControlId::lblUserCode);
  at(EUserCode, TControlId::EUserCode);
  at(gbAction, TControlId::gbAction);
  at(eSaveToFile, TControlId::eSaveToFile);
  at(btnSaveToFile, TControlId::btnSaveToFile);
  at(btnShowData, TControlId::btnShowData);
  at(gbLoadFromFile, TControlId::gbLoadFromFile);
  at(eLoadFromFile, TControlId::eLoadFromFile);
  at(btnLoadFromFile, TControlId::btnLoadFromFile);
  at(gbSendToPanel, TControlId::gbSendToPanel);
  at(btnSendCodes, TControlId::btnSendCodes);
  at(lblUserCodeSend, TControlId::lblUserCodeSend);
  at(eUserCodeSend, TControlId::eUserCodeSend);
  at(pbProgress, TControlId::pbProgress);
  at(lblProgress, TControlId::lblProgress);
  for (const char* item : kLanguageItems) cbLingua->addItem(QString::fromLatin1(item));
  cbSerial->view()->setMinimumWidth(kPortListDropWidth);

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
  connect(btnShowData, &QPushButton::clicked, this, &TfrmMain::btnShowDataClick);
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
                                        std::move(options.backupFolder), std::move(options.trace),
                                        options.probeSystem}) {
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
  // The data window works on the model's data window model, which goes
  // before the widgets' children would.
  delete frmData_.data();
}

void TfrmMain::Paint(const TWindowState& state, unsigned parts) {
  auto q = [](const std::string& s) { return QString::fromStdString(s); };
  if (parts & PartCaptions) {
    {
      const QSignalBlocker quiet(cbLingua);
      cbLingua->setCurrentIndex(state.languageIndex);
    }
    for (const TControlSpec& c : kMainWindowControls) {
      const std::string* text = CaptionText(state.captions, c.caption);
      if (!text) continue;
      QWidget* w = Control(c.id);
      if (auto* g = qobject_cast<QGroupBox*>(w)) g->setTitle(q(*text));
      else if (auto* l = qobject_cast<QLabel*>(w)) l->setText(q(*text));
      else if (auto* b = qobject_cast<QAbstractButton*>(w)) b->setText(q(*text));
    }
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
  if ((parts & PartData) && frmData_) frmData_->Refresh();
}

void TfrmMain::PaintEnables(const TControlEnables& e) {
  for (const TEnableSwitch& sw : EnableSwitches(e))
    if (QWidget* w = Control(sw.id)) w->setEnabled(sw.on);
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

TAnswer TfrmMain::TView::Ask(TBoxKind kind, const std::string& text, TQuestion question) {
  return w_.presenter_->Ask(&w_, kind, UiText(text), QuestionButtons(question, w_.model_.State().languageIndex));
}

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
  if (!model_.CloseRequested()) {
    e->ignore();
    return;
  }
  if (frmData_) frmData_->close();
  e->accept();
}

void TfrmMain::cbLinguaChange(int index) { model_.LanguageChosen(index); }
void TfrmMain::cbSerialChange(int index) { model_.PortChosen(index); }
void TfrmMain::btnCheckConnectionClick() { model_.CheckConnection(); }
void TfrmMain::btnUserCodeClick() { model_.ReadFromPanel(); }
void TfrmMain::eSaveToFileChange(const QString& text) { model_.SaveNameEdited(text.toStdString()); }
void TfrmMain::btnSaveToFileClick() { model_.SaveToFile(); }
void TfrmMain::btnLoadFromFileClick() { model_.LoadFromFile(); }
void TfrmMain::btnSendCodesClick() { model_.SendToPanel(); }
void TfrmMain::btnShowDataClick() { model_.ShowDataRequested(); }
void TfrmMain::sSkinProvider1TitleButtons0MouseDown() { model_.SupportedPanelsRequested(); }

void TfrmMain::OpenSupportedPanels(int languageIndex) {
  QPointer<TfrmSupportedPanels> w = new TfrmSupportedPanels(this);
  frmSupportedPanels_ = w;
  w->LanguageIndex = languageIndex;
  w->exec();
  delete w.data();
}

TfrmSupportedPanels* TfrmMain::SupportedPanelsWindow() const { return frmSupportedPanels_.data(); }

TfrmData* TfrmMain::DataWindow() const { return frmData_.data(); }

void TfrmMain::OpenDataWindow() {
  if (!frmData_) frmData_ = new TfrmData(model_.DataWindow(), [this] { return model_.SaveData(); }, this);
  frmData_->Refresh();
  frmData_->show();
  frmData_->raise();
  frmData_->activateWindow();
}

bool TfrmMain::ChooseSaveFileName(std::string* name) {
  std::unique_ptr<QFileDialog> d = MakeSaveDialog();
  if (d->exec() != QDialog::Accepted || d->selectedFiles().isEmpty()) return false;
  *name = d->selectedFiles().first().toStdString();
  return true;
}

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
