// The window end to end: what the installer sees at start-up, in each
// language and through every change of the control states, driven through
// the window's own handlers against simulated panels on pseudo-terminals.
// Runs on the offscreen platform.
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QStyle>
#include <QStyleOptionFrame>
#include <QTemporaryDir>
#include <QFileInfo>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <mutex>
#include <vector>

#include "app/keyfile.h"
#include "app/window_controls.h"
#include "qt/code_edit.h"
#include "demo/demo_panels.h"
#include "qt/main_window.h"
#include "qt/message_presenter.h"
#include "qt/style.h"
#include "qt/supported_panels.h"
#include "protocol/panel_image.h"
#include "serial/comm.h"
#include "sim/sim_panel.h"
#include "tests/support/fake_system.h"
#include "tests/support/held_port.h"
#include "tests/support/key_file.h"
#include "tests/support/send_plan.h"
#include "tests/support/sim_panels.h"
#include "tests/test_time.h"

using namespace tarvex;

namespace {

// Italian texts the installer sees first.
const QString kPronto = QStringLiteral("Pronto");
const QString kNessuna = QStringLiteral("Nessuna centrale connessa");
const QString kErroreApertura = QStringLiteral("Errore apertura porta seriale!");
const QString kErroreLettura = QStringLiteral("Errore in lettura su porta seriale!");
const QString kCodiceNonValido = QStringLiteral("Codice non valido!");

// A port that this test holds: the warning's second line names the holder,
// this process, as other programs see it.
QString HeldHere(const char* usingThePort) {
  QFile comm(QStringLiteral("/proc/self/comm"));
  const QString self = comm.open(QIODevice::ReadOnly) ? QString::fromUtf8(comm.readLine()).trimmed() : QString();
  return self + QStringLiteral(" (pid %1) ").arg(QCoreApplication::applicationPid()) + QString::fromUtf8(usingThePort);
}
const QString kApertaQui = HeldHere("sta usando la porta: chiuderlo o fermare quel servizio.");
const QString kOpenHere = HeldHere("is using the port; close it or stop that service.");

// Records every box as "Title: text" and returns at once, as if the user
// had pressed OK; a test can also act while a box is "open".
class TRecordingPresenter : public TMessagePresenter {
 public:
  void Show(QWidget*, TBoxKind kind, const QString& text) override {
    boxes << QString::fromLatin1(BoxTitle(kind)) + QStringLiteral(": ") + text;
    if (whileOpen) whileOpen();
  }
  // A question is recorded as a box is, with its buttons' captions; the
  // answer is the test's (the last button's, as Escape, unless told).
  TAnswer Ask(QWidget*, TBoxKind kind, const QString& text, const std::vector<TQuestionButton>& buttons) override {
    boxes << QString::fromLatin1(BoxTitle(kind)) + QStringLiteral(": ") + text;
    QStringList captions;
    for (const TQuestionButton& b : buttons) captions << QString::fromStdString(b.caption);
    questions << captions.join(QLatin1Char('/'));
    if (whileOpen) whileOpen();
    if (answer) return *answer;
    return buttons.empty() ? TAnswer::Cancel : buttons.back().answer;
  }
  QStringList boxes;
  QStringList questions;
  std::optional<TAnswer> answer;
  std::function<void()> whileOpen;
};

struct TWindow {
  std::unique_ptr<TfrmMain> w;
  TRecordingPresenter* presenter = nullptr;
  TfrmMain* operator->() const { return w.get(); }
  TfrmMain& operator*() const { return *w; }
  QStringList Boxes() const { return presenter->boxes; }
};

// A list entry of a device and its label; every other field as a fresh
// entry has it.
TPortEntry Entry(const std::string& device, const std::string& label) {
  TPortEntry e;
  e.Device = device;
  e.Label = label;
  return e;
}

TPortEntry EntryFor(const sim::SimPanel& panel) { return Entry(panel.DevicePath(), panel.DevicePath()); }

// A window on the given ports only (no probing of this machine's devices),
// with recorded boxes.
TWindow MakeWindow(std::vector<TPortEntry> ports = {}, const std::string& deviceFolder = std::string()) {
  TWindowOptions options;
  options.leadingPorts = std::move(ports);
  options.deviceFolder = deviceFolder;
  auto presenter = std::make_unique<TRecordingPresenter>();
  TWindow t;
  t.presenter = presenter.get();
  options.presenter = std::move(presenter);
  t.w = std::make_unique<TfrmMain>(std::move(options));
  return t;
}

std::unique_ptr<sim::SimPanel> StartPanel(const std::string& model, const std::string& code, uint32_t seed = 1,
                                          const std::string& firmware = "2.10") {
  std::string error;
  auto panel = test::StartSimPanel(test::PanelOf(model, code, seed, firmware), &error);
  if (!panel) qWarning("cannot start a simulated %s: %s", model.c_str(), error.c_str());
  return panel;
}

// Runs the event loop until the running operation has ended; the limit is
// stretched by TARVEX_TEST_TIME_SCALE on a slow machine.
bool WaitForOperation(TfrmMain& w, int limitMs = 30000) {
  if (!w.OperationRunning()) return true;
  QEventLoop loop;
  QObject::connect(&w, &TfrmMain::OperationFinished, &loop, &QEventLoop::quit);
  QTimer::singleShot(static_cast<int>(tarvex::test::ScaledMs(limitMs)), &loop, &QEventLoop::quit);
  loop.exec();
  return !w.OperationRunning();
}

// Runs the event loop until the port list is complete (its probe has
// ended); the limit is only a safety net.
bool WaitForPorts(TfrmMain& w) {
  QElapsedTimer clock;
  clock.start();
  while (!w.Model().State().portsComplete && clock.elapsed() < tarvex::test::ScaledMs(60000))
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 20);
  return w.Model().State().portsComplete;
}

QString Describe(const TControlStates& c) {
  QStringList on;
  if (c.UserCode) on << QStringLiteral("UserCode");
  if (c.SaveGroup) on << QStringLiteral("SaveGroup");
  if (c.SaveButton) on << QStringLiteral("SaveButton");
  if (c.LoadGroup) on << QStringLiteral("LoadGroup");
  if (c.SendGroup) on << QStringLiteral("SendGroup");
  return on.isEmpty() ? QStringLiteral("(all off)") : on.join(QLatin1Char(' '));
}

// The states the model is in, as a test row names them; then every
// control that does not show what the model says (each control's own
// enabled flag against the model's enables for it, so a control inside an
// off group must have been switched itself), and whether an operation runs
// when it should not or the other way round. The state table itself is
// the model's test's (tests/window_model_test.cpp); here the binding.
QString Seen(TfrmMain& w, bool expectIdle = true) {
  const TWindowState& s = w.Model().State();
  QStringList problems;
  if (s.busy == expectIdle) problems << (expectIdle ? QStringLiteral("busy") : QStringLiteral("idle"));
  for (const TControlSpec& c : kMainWindowControls) {
    QWidget* widget = w.Control(c.id);
    if (!widget) continue;
    if (widget->isEnabledTo(widget->parentWidget()) != ControlEnabled(s.enables, c.id))
      problems << QLatin1String(c.name);
  }
  return Describe(s.controls) +
         (problems.isEmpty() ? QString() : QStringLiteral(" [") + problems.join(QStringLiteral("; ")) + QLatin1Char(']'));
}

TControlStates NoPanel() { return {}; }
TControlStates PanelIdentified() { return {true, false, false, true, false}; }

#define CHECK_STATES(window, expected) QCOMPARE(Seen(window), Describe(expected))

// Gives user u of a simulated small panel a code and a first attribute byte.
void SetPanelUser(sim::SimPanel& panel, const std::string& model, int u, const std::string& code, uint8_t attr0) {
  const sim::SimBlockMap* map = sim::BlockMapFor(model);
  const auto bytes = sim::EncodeCode(model, code);
  panel.WriteMemory(map->CodesAddr + static_cast<uint32_t>(u * bytes.size()), bytes);
  panel.WriteMemory(map->UserAttrAddr + static_cast<uint32_t>(u * 10), {attr0});
}

// A key-code file of the given layout whose model field says model.
std::string WriteKeyCodeFile(const QTemporaryDir& dir, const char* name, size_t imageSize, int32_t model) {
  std::vector<uint8_t> image(imageSize, 0xFF);
  SetImageModel(image, model);
  const std::string path = dir.filePath(QLatin1String(name)).toStdString();
  if (!test::WriteKeyFile(path, image, 12345)) qWarning("cannot write %s", path.c_str());
  return path;
}

using test::THeldPort;

// Runs check on the modal window that appears next, then closes it.
void OnNextModal(std::function<void(QWidget*)> check) {
  auto* poll = new QTimer;
  poll->setInterval(10);
  QObject::connect(poll, &QTimer::timeout, [poll, check] {
    QWidget* modal = QApplication::activeModalWidget();
    if (!modal) return;
    poll->stop();
    poll->deleteLater();
    check(modal);
    modal->close();
  });
  poll->start();
}

// Types a name into a file dialog's name field, as the user would; the
// dialog's own selection follows its folder listing, which loads later.
void TypeFileName(QFileDialog* d, const QString& path) {
  auto* name = d->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
  QVERIFY(name);
  name->setText(path);
}

std::vector<uint8_t> NamesOf(const sim::SimPanel& panel, const std::string& model) {
  const sim::SimBlockMap* map = sim::BlockMapFor(model);
  return panel.ReadMemory(map->UserNamesAddr, map->UserNamesLen);
}

}  // namespace

// Counts the ticks of a 20 ms timer while it lives: proof that the event
// loop ran, without timing it.
class TTicker {
 public:
  TTicker() {
    timer_.setInterval(20);
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      ++ticks;
      if (onTick) onTick();
    });
    timer_.start();
  }
  int ticks = 0;
  std::function<void()> onTick;

 private:
  QTimer timer_;
};

class TWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase();
  void cleanupTestCase();
  void startUpInItalianWithEverythingOff();
  void layoutOutline();
  void noSerialPortAtAll();
  void portListFromTheDeviceFolder();
  void portsProbedOffTheWindowThread();
  void progressNotices();
  void everyProgressNoticeReachesTheBar();
  void connectionCheck();
  void readSaveLoadSendAcrossTwoPanels();
  void readFailuresLeaveTheStates();
  void sendFailuresEndInNoPanel();
  void loadFailures();
  void largePanel();
  void languageSwitching();
  void supportedPanelsWindow();
  void supportedPanelsWindowOpensWithF1();
  void digitFilter();
  void codeEditsOfTheWindow();
  void fileDialogs();
  void realMessageBoxes();
  void realQuestionBoxes();
  void recoveryAfterASendThatStoppedPartWay();
  void workerBoxBlocksTheOperation();
  void eventLoopRunsWhileTheEchoNeverComes();
  void destroyedDuringAnOperation();
  void demoPanels();

 private:
  QTemporaryDir dir_;
  bool hadDataHome_ = false;
  QByteArray dataHome_;
};

void TWindowTest::initTestCase() {
  QVERIFY(dir_.isValid());
  // Backups before every send go to the test's own folder (removed with
  // it); the variable is put back at the end.
  hadDataHome_ = qEnvironmentVariableIsSet("XDG_DATA_HOME");
  dataHome_ = qgetenv("XDG_DATA_HOME");
  qputenv("XDG_DATA_HOME", dir_.path().toLocal8Bit());
  QCOMPARE(QGuiApplication::platformName(), QStringLiteral("offscreen"));
}

void TWindowTest::cleanupTestCase() {
  if (hadDataHome_) qputenv("XDG_DATA_HOME", dataHome_);
  else qunsetenv("XDG_DATA_HOME");
}

void TWindowTest::startUpInItalianWithEverythingOff() {
  TWindow t = MakeWindow();
  TfrmMain& w = *t;
  QCOMPARE(w.windowTitle(), QStringLiteral("Tarvex v.2.04"));
  QCOMPARE(w.objectName(), QStringLiteral("frmMain"));
  for (const char* name : {"gbGeneral", "cbLingua", "cbSerial", "btnCheckConnection", "gbLinkedPanel",
                           "lblLinkedPanel", "gbUserCode", "btnUserCode", "EUserCode", "gbAction", "eSaveToFile",
                           "btnSaveToFile", "gbLoadFromFile", "eLoadFromFile", "btnLoadFromFile", "gbSendToPanel",
                           "btnSendCodes", "eUserCodeSend", "pbProgress", "lblProgress", "TsSupportedPanels"})
    QVERIFY2(w.findChild<QWidget*>(QLatin1String(name)), name);

  QCOMPARE(w.cbLingua->count(), 3);
  QCOMPARE(w.cbLingua->itemText(0), QStringLiteral("English"));
  QCOMPARE(w.cbLingua->itemText(1), QStringLiteral("Italiano"));
  QCOMPARE(w.cbLingua->itemText(2), QStringLiteral("Francais"));
  QCOMPARE(w.cbLingua->currentText(), QStringLiteral("Italiano"));

  QCOMPARE(w.lblLingua->text(), QStringLiteral("Lingua (Language)"));
  QCOMPARE(w.lblSerial->text(), QStringLiteral("Porta seriale"));
  QCOMPARE(w.gbGeneral->title(), QStringLiteral("Opzioni generali"));
  QCOMPARE(w.gbLinkedPanel->title(), QStringLiteral("Centrale connessa"));
  QCOMPARE(w.btnCheckConnection->text(), QStringLiteral("Verifica connessione"));
  QCOMPARE(w.gbUserCode->title(), QStringLiteral("Carica dati dalla centrale"));
  QCOMPARE(w.btnUserCode->text(), QStringLiteral("Carica dati"));
  QCOMPARE(w.lblUserCode->text(), QStringLiteral("Codice utente principale"));
  QCOMPARE(w.gbAction->title(), QStringLiteral("Salva dati su file"));
  QCOMPARE(w.btnSaveToFile->text(), QStringLiteral("Salva su file"));
  QCOMPARE(w.gbLoadFromFile->title(), QStringLiteral("Carica dati da file"));
  QCOMPARE(w.btnLoadFromFile->text(), QStringLiteral("Carica file"));
  QCOMPARE(w.gbSendToPanel->title(), QStringLiteral("Invia dati alla centrale"));
  QCOMPARE(w.btnSendCodes->text(), QStringLiteral("Invia dati"));
  QCOMPARE(w.lblUserCodeSend->text(), QStringLiteral("Codice utente principale"));
  QCOMPARE(w.lblLinkedPanel->text(), kNessuna);
  QCOMPARE(w.lblProgress->text(), kPronto);
  QCOMPARE(w.pbProgress->value(), 0);
  CHECK_STATES(w, NoPanel());
  QVERIFY(w.EUserCode->text().isEmpty());
  QVERIFY(w.eUserCodeSend->text().isEmpty());
  QVERIFY(t.Boxes().isEmpty());

  // The link state the window set up.
  const TSession& s = w.Session();
  QCOMPARE(s.LangStrings.Ready, std::string("Pronto"));
  QCOMPARE(s.StatusText, std::string("Pronto"));
  QCOMPARE(s.Link.Tuning.SuccessPauseMs, 50);
  QCOMPARE(s.Link.Tuning.Attempts, 1);
  QCOMPARE(s.Link.Tuning.RetryPauseMs, 700);
  QCOMPARE(s.Link.PanelPort.Handle, intptr_t{-1});
  QCOMPARE(int(s.Link.PanelPort.BaudIndex), 11);
  QCOMPARE(int(s.Link.PanelPort.ParityIndex), 2);
  QCOMPARE(int(s.Link.PanelPort.DataBitsIndex), 4);
  QCOMPARE(int(s.Link.PanelPort.StopBitsIndex), 0);
  const auto small = s.Small->Bytes();
  QVERIFY(std::all_of(small.begin(), small.end(), [](uint8_t b) { return b == 0xFF; }));
  const auto large = s.Large->Bytes();
  QCOMPARE(large.size(), kLargeImageSize);
  QVERIFY(std::all_of(large.begin(), large.end(), [](uint8_t b) { return b == 0xFF; }));

  // Closing an idle window closes it.
  w.show();
  QVERIFY(w.close());
  QVERIFY(!w.isVisible());
}

void TWindowTest::layoutOutline() {
  TWindow t = MakeWindow();
  TfrmMain& w = *t;
  w.show();
  QVERIFY(QTest::qWaitForWindowExposed(&w));
  QCOMPARE(w.size(), QSize(638, 295));
  QCOMPARE(w.minimumSize(), w.maximumSize());
  QVERIFY(!(w.windowFlags() & Qt::WindowMinimizeButtonHint));
  QVERIFY(!(w.windowFlags() & Qt::WindowMaximizeButtonHint));

  // Every control of the table is there under its name, inside its group
  // box; a browse button is an action of its file-name edit.
  for (const TControlSpec& c : kMainWindowControls) {
    QWidget* widget = w.Control(c.id);
    if (c.kind == TControlKind::BrowseButton) {
      QVERIFY2(!widget, c.name);
      QVERIFY2(w.Control(c.follows)->findChild<QAction*>(QLatin1String(c.name)), c.name);
      continue;
    }
    QVERIFY2(widget, c.name);
    QCOMPARE(widget->objectName(), QLatin1String(c.name));
    QCOMPARE(widget->parentWidget(), c.group == TControlId::None ? static_cast<QWidget*>(&w) : w.Control(c.group));
  }
  QCOMPARE(w.gbGeneral->geometry(), QRect(0, 0, 308, 85));
  QCOMPARE(w.gbLinkedPanel->geometry(), QRect(314, 0, 324, 85));
  QCOMPARE(w.cbLingua->width(), 145);
  QCOMPARE(w.cbSerial->width(), 133);
  QVERIFY(w.cbSerial->x() >= w.cbLingua->geometry().right());
  QVERIFY(w.lblLingua->geometry().bottom() <= w.cbLingua->y());
  QVERIFY(w.lblSerial->geometry().bottom() <= w.cbSerial->y());
  QCOMPARE(w.btnCheckConnection->size(), QSize(93, 41));
  QCOMPARE(w.lblLinkedPanel->width(), 197);
  QVERIFY(w.lblLinkedPanel->x() > w.btnCheckConnection->geometry().right());
  QCOMPARE(w.lblLinkedPanel->alignment(), Qt::AlignCenter);
  QVERIFY(w.lblLinkedPanel->font().bold());

  // Middle band: two columns of 316 with a 6-px gap, read path on the
  // left, send path on the right, inside 85..269.
  QCOMPARE(w.gbUserCode->geometry().size(), QSize(316, 70));
  QCOMPARE(w.gbAction->geometry().size(), QSize(316, 94));
  QCOMPARE(w.gbLoadFromFile->geometry().size(), QSize(316, 94));
  QCOMPARE(w.gbSendToPanel->geometry().size(), QSize(316, 70));
  QCOMPARE(w.gbUserCode->x(), 0);
  QCOMPARE(w.gbAction->x(), 0);
  QCOMPARE(w.gbLoadFromFile->x(), 322);
  QCOMPARE(w.gbSendToPanel->x(), 322);
  QVERIFY(w.gbUserCode->y() >= 85 && w.gbAction->y() > w.gbUserCode->geometry().bottom());
  QVERIFY(w.gbSendToPanel->y() > w.gbLoadFromFile->geometry().bottom());
  QVERIFY(w.gbAction->geometry().bottom() < 269 && w.gbSendToPanel->geometry().bottom() < 269);
  QCOMPARE(w.btnUserCode->size(), QSize(93, 41));
  QCOMPARE(w.btnSendCodes->size(), QSize(93, 41));
  QCOMPARE(w.EUserCode->width(), 89);
  QCOMPARE(w.eUserCodeSend->width(), 89);
  QVERIFY(w.EUserCode->x() > w.btnUserCode->geometry().right());
  QCOMPARE(w.eSaveToFile->width(), 285);
  QCOMPARE(w.btnSaveToFile->size(), QSize(113, 41));
  auto centred = [](QWidget* c) {
    const int left = c->x(), right = c->parentWidget()->width() - c->geometry().right() - 1;
    return std::abs(left - right) <= 1;
  };
  QVERIFY(centred(w.btnSaveToFile));
  QVERIFY(centred(w.btnLoadFromFile));
  QVERIFY(centred(w.eSaveToFile));
  QVERIFY(w.btnSaveToFile->y() > w.eSaveToFile->geometry().bottom());

  // Status bar.
  QCOMPARE(w.pbProgress->width(), 325);
  QVERIFY(w.pbProgress->y() >= 269 && w.lblProgress->y() >= 269);
  QVERIFY(w.lblProgress->x() > w.pbProgress->geometry().right());
  QVERIFY(w.lblProgress->font().bold());
  QCOMPARE(w.pbProgress->minimum(), 0);

  // Colours and the interface font.
  const QColor field(0xEA, 0xF2, 0xFB), caption(0x3B, 0x5A, 0x82);
  for (QWidget* e : std::initializer_list<QWidget*>{w.EUserCode, w.eUserCodeSend, w.eSaveToFile, w.eLoadFromFile,
                                                     w.cbLingua, w.cbSerial})
    QCOMPARE(e->palette().color(QPalette::Active, QPalette::Base), field);
  for (QWidget* l : std::initializer_list<QWidget*>{w.lblLingua, w.lblSerial, w.lblUserCode, w.lblUserCodeSend,
                                                     w.lblLinkedPanel, w.lblProgress})
    QCOMPARE(l->palette().color(QPalette::Active, QPalette::WindowText), caption);
  QCOMPARE(w.font().family(), QStringLiteral("Arial"));
  QCOMPARE(w.font().pixelSize(), 13);

  // The four pictures are 32 x 32; the check button has none.
  for (QPushButton* b : {w.btnUserCode, w.btnSaveToFile, w.btnLoadFromFile, w.btnSendCodes}) {
    QVERIFY(!b->icon().isNull());
    QCOMPARE(b->iconSize(), QSize(32, 32));
    QCOMPARE(b->icon().pixmap(32, 32).size(), QSize(32, 32));
  }
  QVERIFY(w.btnCheckConnection->icon().isNull());
  QVERIFY(w.TsSupportedPanels->isVisible());
}

void TWindowTest::noSerialPortAtAll() {
  TWindow t = MakeWindow();
  TfrmMain& w = *t;
  QCOMPARE(w.cbSerial->count(), 0);
  QCOMPARE(w.cbSerial->currentIndex(), -1);
  QVERIFY(w.Session().Link.PanelPort.Device.empty());
  w.btnCheckConnection->click();
  QVERIFY(WaitForOperation(w));
  QCOMPARE(t.Boxes(), QStringList{QStringLiteral("Warning: ") + kErroreApertura});
  QCOMPARE(w.lblLinkedPanel->text(), kNessuna);
  QCOMPARE(w.lblProgress->text(), kPronto);
  QCOMPARE(w.pbProgress->value(), 0);
  QVERIFY(!QApplication::overrideCursor());
  QCOMPARE(w.Session().Link.PanelPort.Handle, intptr_t{-1});
  CHECK_STATES(w, NoPanel());
}

void TWindowTest::portListFromTheDeviceFolder() {
  auto free = StartPanel("VYR8", "1234");
  auto busy = StartPanel("VYR8", "1234", 2);
  auto first = StartPanel("VYR32", "5678");
  QVERIFY(free && busy && first);
  QTemporaryDir devices;
  std::filesystem::create_symlink(free->DevicePath(), devices.filePath(QStringLiteral("ttyS1")).toStdString());
  std::filesystem::create_symlink(busy->DevicePath(), devices.filePath(QStringLiteral("ttyS10")).toStdString());
  // Names that are no serial device of this system are not probed.
  std::ofstream(devices.filePath(QStringLiteral("notes.txt")).toStdString()) << "x";
  THeldPort holder(busy->DevicePath());
  QVERIFY(holder.ok);

  TWindow t = MakeWindow({Entry(first->DevicePath(), "first (demo)")}, devices.path().toStdString());
  TfrmMain& w = *t;
  QVERIFY(WaitForPorts(w));
  const QString ttyS1 = devices.filePath(QStringLiteral("ttyS1"));
  const QString ttyS10 = devices.filePath(QStringLiteral("ttyS10"));
  QCOMPARE(w.cbSerial->count(), 3);
  QCOMPARE(w.cbSerial->itemText(0), QStringLiteral("first (demo)"));
  QCOMPARE(w.cbSerial->itemText(1), ttyS1);
  QCOMPARE(w.cbSerial->itemText(2), ttyS10 + QStringLiteral(" - In uso"));
  QCOMPARE(w.cbSerial->currentIndex(), 0);
  QCOMPARE(w.Session().Link.PanelPort.Device, first->DevicePath());

  w.cbSerial->setCurrentIndex(2);
  QCOMPARE(w.Session().Link.PanelPort.Device, ttyS10.toStdString());
  CHECK_STATES(w, NoPanel());
  QCOMPARE(w.lblProgress->text(), kPronto);

  // The list is not rebuilt: the busy entry keeps the start-up language.
  w.cbLingua->setCurrentIndex(0);
  QCOMPARE(w.cbSerial->itemText(2), ttyS10 + QStringLiteral(" - In uso"));
  w.btnCheckConnection->click();
  QVERIFY(WaitForOperation(w));
  QCOMPARE(t.Boxes(), QStringList{QStringLiteral("Warning: Error opening Com port!\n") + kOpenHere});
  CHECK_STATES(w, NoPanel());

  // The free device through its link identifies the panel behind it.
  w.cbSerial->setCurrentIndex(1);
  w.btnCheckConnection->click();
  QVERIFY(WaitForOperation(w));
  QCOMPARE(w.lblLinkedPanel->text(), QStringLiteral("VYR8 v.2.10"));
  CHECK_STATES(w, PanelIdentified());

  // Choosing a port changes the port and nothing else.
  w.cbSerial->setCurrentIndex(0);
  QCOMPARE(w.Session().Link.PanelPort.Device, first->DevicePath());
  QCOMPARE(w.Session().Link.PanelPort.Handle, intptr_t{-1});
  QCOMPARE(w.lblLinkedPanel->text(), QStringLiteral("VYR8 v.2.10"));
  CHECK_STATES(w, PanelIdentified());
}

void TWindowTest::portsProbedOffTheWindowThread() {
  // Three device nodes; the open of ttyUSB1 hangs in its driver, as a
  // paired Bluetooth port's does while it calls its device, until the test
  // lets it go.
  QTemporaryDir devices;
  for (const char* name : {"ttyUSB0", "ttyUSB1", "ttyUSB2"})
    std::ofstream(devices.filePath(QString::fromLatin1(name)).toStdString()) << "";
  const std::string slow = devices.filePath(QStringLiteral("ttyUSB1")).toStdString();
  test::TFakeSystem system;
  std::mutex m;
  std::condition_variable cv;
  bool slowEntered = false, released = false;
  system.beforeOpen = [&](const std::string& device) {
    if (device != slow) return;
    std::unique_lock<std::mutex> lock(m);
    slowEntered = true;
    cv.notify_all();
    cv.wait(lock, [&] { return released; });
  };
  auto release = [&] {
    {
      std::lock_guard<std::mutex> lock(m);
      released = true;
    }
    cv.notify_all();
    WaitForPortProbes();
  };

  TWindowOptions options;
  options.leadingPorts = {Entry("demo", "first (demo)")};
  options.deviceFolder = devices.path().toStdString();
  options.probeSystem = &system;
  options.presenter = std::make_unique<TRecordingPresenter>();
  auto w = std::make_unique<TfrmMain>(std::move(options));
  w->show();
  // The window is there before the probe has ended: the leading port only,
  // and no check until the list is complete.
  {
    std::unique_lock<std::mutex> lock(m);
    cv.wait(lock, [&] { return slowEntered; });
  }
  QVERIFY(QTest::qWaitForWindowExposed(w.get()));
  QCOMPARE(w->cbSerial->count(), 1);
  QCOMPARE(w->cbSerial->currentIndex(), 0);
  QVERIFY(!w->btnCheckConnection->isEnabled());
  QVERIFY(w->cbLingua->isEnabled());
  QVERIFY(w->cbSerial->isEnabled());
  w->btnCheckConnection->click();
  QVERIFY(!w->OperationRunning());
  // It answers the user meanwhile: another language, at once.
  w->cbLingua->setCurrentIndex(0);
  QCOMPARE(w->lblLinkedPanel->text(), QStringLiteral("No panel connected"));
  QVERIFY(!w->Model().State().portsComplete);

  // The hanging port is listed as not answering once its limit has passed;
  // the others as they answered.
  QVERIFY(WaitForPorts(*w));
  QCOMPARE(w->cbSerial->count(), 4);
  const QString d = devices.path();
  QCOMPARE(w->cbSerial->itemText(1), d + QStringLiteral("/ttyUSB0"));
  QCOMPARE(w->cbSerial->itemText(2), d + QStringLiteral("/ttyUSB1 - non risponde"));
  QCOMPARE(w->cbSerial->itemText(3), d + QStringLiteral("/ttyUSB2"));
  QCOMPARE(w->cbSerial->currentIndex(), 0);
  QVERIFY(w->btnCheckConnection->isEnabled());
  w.reset();
  release();
}

void TWindowTest::everyProgressNoticeReachesTheBar() {
  auto panel = StartPanel("VYR32", "1234");
  QVERIFY(panel);
  TWindow t = MakeWindow({EntryFor(*panel)});
  TfrmMain& w = *t;
  w.show();
  w.btnCheckConnection->click();
  QVERIFY(WaitForOperation(w));
  CHECK_STATES(w, PanelIdentified());
  // What the bar shows when each notice has been handled, against the bar
  // that the notices alone make.
  struct TSeen {
    int code, value, shown, maximum;
  };
  std::vector<TSeen> seen;
  connect(&w, &TfrmMain::TransferProgressHandled, &w, [&](int code, int value) {
    seen.push_back({code, value, w.pbProgress->value(), w.pbProgress->maximum()});
  });
  QTest::keyClicks(w.EUserCode, QStringLiteral("1234"));
  w.btnUserCode->click();
  QVERIFY(WaitForOperation(w, 60000));
  QVERIFY(t.Boxes().isEmpty());
  TProgressBar expected;
  int steps = 0;
  for (size_t i = 0; i < seen.size(); ++i) {
    const TSeen& n = seen[i];
    if (n.code == ProgressSetRange) expected.SetRange(n.value);
    else if (n.code == ProgressStep) {
      expected.Step(n.value);
      ++steps;
    } else if (n.code == ProgressClear) expected.Clear();
    else continue;
    QVERIFY2(n.shown == expected.position && n.maximum == std::max(expected.maximum, 1),
             qPrintable(QStringLiteral("notice %1 (code %2, value %3): the bar shows %4 of %5, not %6 of %7")
                            .arg(i).arg(n.code).arg(n.value).arg(n.shown).arg(n.maximum)
                            .arg(expected.position).arg(expected.maximum)));
  }
  // A read of the VYR32 steps through its blocks one by one.
  QVERIFY2(steps >= 8, qPrintable(QString::number(steps)));
}

void TWindowTest::progressNotices() {
  TWindow t = MakeWindow();
  TfrmMain& w = *t;
  QSignalSpy handled(&w, &TfrmMain::TransferProgressHandled);
  w.HandleTransferProgress(ProgressShowStatus, 0, QStringLiteral("Lettura codici"));
  QCOMPARE(w.lblProgress->text(), QStringLiteral("Lettura codici"));
  w.HandleTransferProgress(ProgressSetRange, 100, QString());
  QCOMPARE(w.pbProgress->maximum(), 100);
  w.HandleTransferProgress(ProgressStep, 30, QString());
  w.HandleTransferProgress(ProgressStep, 30, QString());
  QCOMPARE(w.pbProgress->value(), 60);
  w.HandleTransferProgress(ProgressStep, 64, QString());
  QCOMPARE(w.pbProgress->value(), 100);  // held at the maximum
  w.HandleTransferProgress(99, 7, QStringLiteral("ignored"));
  QCOMPARE(w.pbProgress->value(), 100);
  QCOMPARE(w.pbProgress->maximum(), 100);
  QCOMPARE(w.lblProgress->text(), QStringLiteral("Lettura codici"));
  w.HandleTransferProgress(ProgressStep, -1, QString());
  QCOMPARE(w.pbProgress->value(), 0);
  w.HandleTransferProgress(ProgressStep, 10, QString());
  w.HandleTransferProgress(ProgressSetRange, 4, QString());
  QCOMPARE(w.pbProgress->maximum(), 4);
  QCOMPARE(w.pbProgress->value(), 4);
  // A phase of no steps shows an empty bar, not a busy animation.
  w.HandleTransferProgress(ProgressSetRange, 0, QString());
  QVERIFY(w.pbProgress->maximum() > w.pbProgress->minimum());
  QCOMPARE(w.pbProgress->value(), 0);
  w.HandleTransferProgress(ProgressSetRange, 50, QString());
  w.HandleTransferProgress(ProgressStep, 20, QString());
  w.HandleTransferProgress(ProgressClear, 0, QStringLiteral("ignored"));
  QVERIFY(w.lblProgress->text().isEmpty());
  QCOMPARE(w.pbProgress->value(), 0);
  QCOMPARE(handled.count(), 13);
  QCOMPARE(handled.at(5).at(0).toInt(), 99);
}

void TWindowTest::connectionCheck() {
  auto panel = StartPanel("VYR8", "1234");
  QVERIFY(panel);
  TWindow t = MakeWindow({EntryFor(*panel)});
  TfrmMain& w = *t;

  // Watched at the first progress notice of the check, while it runs.
  QString during, cursorDuring, statusDuring;
  bool captionsGreyDuring = false;
  QMetaObject::Connection watch = connect(&w, &TfrmMain::TransferProgressHandled, &w, [&](int code, int) {
    if (!during.isEmpty() || code != ProgressShowStatus) return;
    during = Seen(w, false);
    captionsGreyDuring = !w.lblLingua->isEnabled() && !w.lblSerial->isEnabled() && !w.cbLingua->isEnabled();
    cursorDuring = QApplication::overrideCursor() && QApplication::overrideCursor()->shape() == Qt::WaitCursor
                       ? QStringLiteral("busy")
                       : QStringLiteral("normal");
    statusDuring = w.lblProgress->text();
  });
  QSignalSpy started(&w, &TfrmMain::OperationStarted);
  w.btnCheckConnection->click();
  QCOMPARE(started.count(), 1);
  QVERIFY(w.OperationRunning());
  // A second press while the first runs starts nothing.
  w.btnCheckConnectionClick();
  QCOMPARE(started.count(), 1);
  QVERIFY(WaitForOperation(w));
  disconnect(watch);
  QCOMPARE(during, Describe(NoPanel()));
  // The language and port captions grey out with their lists.
  QVERIFY(captionsGreyDuring);
  QVERIFY(w.lblLingua->isEnabled() && w.lblSerial->isEnabled());
  QCOMPARE(cursorDuring, QStringLiteral("busy"));
  QCOMPARE(statusDuring, QStringLiteral("Apertura seriale"));

  QCOMPARE(w.lblLinkedPanel->text(), QStringLiteral("VYR8 v.2.10"));
  CHECK_STATES(w, PanelIdentified());
  QCOMPARE(w.lblProgress->text(), kPronto);
  QCOMPARE(w.pbProgress->value(), 0);
  QVERIFY(!QApplication::overrideCursor());
  QCOMPARE(w.Session().Link.PanelPort.Handle, intptr_t{-1});
  QCOMPARE(w.Session().Panel.ConnectedModel, 24);
  QVERIFY(t.Boxes().isEmpty());

  // The check starts from No panel: code edits emptied, groups off; when
  // it fails it stays there.
  QTest::keyClicks(w.EUserCode, QStringLiteral("12"));
  QCOMPARE(w.EUserCode->text(), QStringLiteral("12"));
  THeldPort holder(panel->DevicePath());
  QVERIFY(holder.ok);
  w.btnCheckConnection->click();
  QCOMPARE(Seen(w, false), Describe(NoPanel()));
  QVERIFY(w.EUserCode->text().isEmpty());
  QVERIFY(WaitForOperation(w));
  CHECK_STATES(w, NoPanel());
  QCOMPARE(w.lblLinkedPanel->text(), kNessuna);
  QCOMPARE(t.Boxes(), QStringList{QStringLiteral("Warning: ") + kErroreApertura + QStringLiteral("\n") + kApertaQui});
  QCOMPARE(w.lblProgress->text(), kPronto);
}

void TWindowTest::readSaveLoadSendAcrossTwoPanels() {
  auto source = StartPanel("VYR8", "1234", 1);
  auto target = StartPanel("VYR32", "5678", 7);
  QVERIFY(source && target);
  QVERIFY(NamesOf(*source, "VYR8") != NamesOf(*target, "VYR32"));
  const std::string earlier = WriteKeyCodeFile(dir_, "earlier.tvx", kSmallImageSize, 23);
  TWindow t = MakeWindow({EntryFor(*source), EntryFor(*target)});
  TfrmMain& w = *t;

  w.btnCheckConnection->click();
  QVERIFY(WaitForOperation(w));
  CHECK_STATES(w, PanelIdentified());

  // File loaded, then a read: the send group is kept.
  w.eLoadFromFile->setText(QString::fromStdString(earlier));
  w.btnLoadFromFile->click();
  CHECK_STATES(w, (TControlStates{true, false, false, true, true}));
  QVERIFY(t.Boxes().isEmpty());

  QTest::keyClicks(w.EUserCode, QStringLiteral("1234"));
  QSignalSpy steps(&w, &TfrmMain::TransferProgressHandled);
  w.btnUserCode->click();
  QCOMPARE(Seen(w, false), Describe(TControlStates{true, false, false, true, true}));
  QVERIFY(WaitForOperation(w));
  QVERIFY(steps.count() > 20);
  QCOMPARE(w.lblProgress->text(), kPronto);
  CHECK_STATES(w, (TControlStates{true, true, false, true, true}));  // Data read
  QCOMPARE(w.EUserCode->text(), QStringLiteral("1234"));
  QCOMPARE(w.Session().Link.PanelPort.Handle, intptr_t{-1});

  // A save to a folder that does not exist: the box, nothing else.
  w.eSaveToFile->setText(QStringLiteral("/nonexistent-folder/site1"));
  CHECK_STATES(w, (TControlStates{true, true, true, true, true}));  // Save ready
  w.btnSaveToFile->click();
  QCOMPARE(t.Boxes().size(), 1);
  QVERIFY2(t.Boxes().first().startsWith(QStringLiteral("Error: /nonexistent-folder/")),
           qPrintable(t.Boxes().first()));
  CHECK_STATES(w, (TControlStates{true, true, true, true, true}));

  // A load in Save ready keeps the save group and button.
  w.btnLoadFromFile->click();
  CHECK_STATES(w, (TControlStates{true, true, true, true, true}));

  // A second read (which replaces what the load put in the image) keeps
  // the save button on.
  w.btnUserCode->click();
  QVERIFY(WaitForOperation(w));
  CHECK_STATES(w, (TControlStates{true, true, true, true, true}));

  const QString name = dir_.filePath(QStringLiteral("site1.dat"));
  w.eSaveToFile->setText(name);
  w.btnSaveToFile->click();
  const QString saved = dir_.filePath(QStringLiteral("site1.tvx"));
  QVERIFY(QFileInfo::exists(saved));
  QCOMPARE(QFileInfo(saved).size(), qint64(kSmallFileSize));
  QVERIFY(!QFileInfo::exists(name));
  CHECK_STATES(w, NoPanel());
  QCOMPARE(w.lblLinkedPanel->text(), kNessuna);
  QVERIFY(w.EUserCode->text().isEmpty());
  QCOMPARE(w.eSaveToFile->text(), name);  // the reset leaves file names alone
  QCOMPARE(t.Boxes().size(), 1);

  // The other panel: check, load the file just saved, send.
  w.cbSerial->setCurrentIndex(1);
  w.btnCheckConnection->click();
  QVERIFY(WaitForOperation(w));
  QCOMPARE(w.lblLinkedPanel->text(), QStringLiteral("VYR32 v.2.10"));
  CHECK_STATES(w, PanelIdentified());
  w.eLoadFromFile->setText(saved);
  w.btnLoadFromFile->click();
  CHECK_STATES(w, (TControlStates{true, false, false, true, true}));  // File loaded
  QTest::keyClicks(w.eUserCodeSend, QStringLiteral("5678"));
  w.btnSendCodes->click();
  QCOMPARE(Seen(w, false), Describe(TControlStates{true, false, false, true, true}));
  QVERIFY(WaitForOperation(w, 60000));
  // The box names the backup of the target's previous data, saved before
  // the first write.
  QCOMPARE(t.Boxes().size(), 2);
  const QString ok = t.Boxes().at(1);
  const QString prefix = QStringLiteral("Information: Dati trasferiti con successo!\nCopia dei dati precedenti della centrale: ");
  QVERIFY2(ok.startsWith(prefix), qPrintable(ok));
  const QString backup = ok.mid(prefix.size());
  QVERIFY2(backup.startsWith(dir_.path() + QStringLiteral("/tarvex/backups/VYR32-")), qPrintable(backup));
  QVERIFY(QFileInfo::exists(backup));
  QVERIFY2(w.btnSendCodes->toolTip().endsWith(dir_.path() + QStringLiteral("/tarvex/backups")),
           qPrintable(w.btnSendCodes->toolTip()));
  CHECK_STATES(w, NoPanel());
  QCOMPARE(w.lblLinkedPanel->text(), kNessuna);
  QVERIFY(w.eUserCodeSend->text().isEmpty());
  QCOMPARE(w.Session().Link.PanelPort.Handle, intptr_t{-1});
  QCOMPARE(NamesOf(*target, "VYR32"), NamesOf(*source, "VYR8"));
}

void TWindowTest::readFailuresLeaveTheStates() {
  auto panel = StartPanel("VYR8", "1234");
  QVERIFY(panel);
  SetPanelUser(*panel, "VYR8", 3, "4321", 0);
  TWindow t = MakeWindow({EntryFor(*panel)});
  TfrmMain& w = *t;
  w.Session().Link.Tuning.SuccessPauseMs = 5;  // the pauses are not under test here
  w.btnCheckConnection->click();
  QVERIFY(WaitForOperation(w));
  CHECK_STATES(w, PanelIdentified());

  // A code stored nowhere: every read worked, so the code is refused, not
  // the line blamed.
  QTest::keyClicks(w.EUserCode, QStringLiteral("9999"));
  w.btnUserCode->click();
  QVERIFY(WaitForOperation(w));
  QCOMPARE(w.lblProgress->text(), kCodiceNonValido);
  QVERIFY(t.Boxes().isEmpty());
  CHECK_STATES(w, PanelIdentified());
  QCOMPARE(w.lblLinkedPanel->text(), QStringLiteral("VYR8 v.2.10"));

  // A stored code of a user who is not the main user.
  w.EUserCode->clear();
  QTest::keyClicks(w.EUserCode, QStringLiteral("4321"));
  w.btnUserCode->click();
  QVERIFY(WaitForOperation(w));
  QCOMPARE(w.lblProgress->text(), kCodiceNonValido);
  CHECK_STATES(w, PanelIdentified());
  QVERIFY(t.Boxes().isEmpty());

  // The port held by another program: the warning twice, states kept. Two
  // boxes are the window's rule: the open shows its warning, and the read
  // whose open failed shows the window's own after it (a connection check
  // shows only the first, connectionCheck above).
  {
    THeldPort holder(panel->DevicePath());
    QVERIFY(holder.ok);
    w.btnUserCode->click();
    QVERIFY(WaitForOperation(w));
  }
  const QString warning = QStringLiteral("Warning: ") + kErroreApertura + QStringLiteral("\n") + kApertaQui;
  QCOMPARE(t.Boxes(), (QStringList{warning, warning}));
  CHECK_STATES(w, PanelIdentified());
  QCOMPARE(w.Session().Link.PanelPort.Handle, intptr_t{-1});
}

void TWindowTest::sendFailuresEndInNoPanel() {
  auto panel = StartPanel("VYR32", "5678");
  QVERIFY(panel);
  SetPanelUser(*panel, "VYR32", 2, "2468", 0);
  const std::string file = WriteKeyCodeFile(dir_, "send.tvx", kSmallImageSize, 24);
  TWindow t = MakeWindow({EntryFor(*panel)});
  TfrmMain& w = *t;
  w.Session().Link.Tuning.SuccessPauseMs = 5;
  auto readyToSend = [&](const QString& code) {
    w.btnCheckConnection->click();
    if (!WaitForOperation(w)) return false;
    w.eLoadFromFile->setText(QString::fromStdString(file));
    w.btnLoadFromFile->click();
    QTest::keyClicks(w.eUserCodeSend, code);
    return w.ControlStates().SendGroup && w.eUserCodeSend->text() == code;
  };

  // A code stored nowhere in the target: the status line, no box, as for
  // a code that is not the main user's.
  QVERIFY(readyToSend(QStringLiteral("1111")));
  w.btnSendCodes->click();
  QVERIFY(WaitForOperation(w));
  QVERIFY(t.Boxes().isEmpty());
  QCOMPARE(w.lblProgress->text(), kCodiceNonValido);
  CHECK_STATES(w, NoPanel());

  // A stored code that is not the main user's: the status line, no box.
  QVERIFY(readyToSend(QStringLiteral("2468")));
  w.btnSendCodes->click();
  QVERIFY(WaitForOperation(w));
  QVERIFY(t.Boxes().isEmpty());
  QCOMPARE(w.lblProgress->text(), kCodiceNonValido);
  CHECK_STATES(w, NoPanel());

  // The port held by another program: as for a read, the open's warning
  // and then the window's own.
  QVERIFY(readyToSend(QStringLiteral("5678")));
  {
    THeldPort holder(panel->DevicePath());
    QVERIFY(holder.ok);
    w.btnSendCodes->click();
    QVERIFY(WaitForOperation(w));
  }
  const QString warning = QStringLiteral("Warning: ") + kErroreApertura + QStringLiteral("\n") + kApertaQui;
  // The send's own box adds that nothing was written.
  QCOMPARE(t.Boxes(), (QStringList{warning, warning + QStringLiteral("\nNessun dato è stato scritto nella centrale.")}));
  CHECK_STATES(w, NoPanel());
  QCOMPARE(w.lblLinkedPanel->text(), kNessuna);
  QCOMPARE(w.Session().Link.PanelPort.Handle, intptr_t{-1});
}

void TWindowTest::loadFailures() {
  auto panel = StartPanel("VYR4", "1234");
  QVERIFY(panel);
  TWindow t = MakeWindow({EntryFor(*panel)});
  TfrmMain& w = *t;
  w.btnCheckConnection->click();
  QVERIFY(WaitForOperation(w));
  CHECK_STATES(w, PanelIdentified());

  // Missing: the box, no change.
  w.eLoadFromFile->setText(dir_.filePath(QStringLiteral("missing.tvx")));
  w.btnLoadFromFile->click();
  QCOMPARE(t.Boxes(), QStringList{QStringLiteral("Error: File non trovato!")});
  CHECK_STATES(w, PanelIdentified());

  // Not a key-code file: a box, no change.
  const QString odd = dir_.filePath(QStringLiteral("odd.tvx"));
  std::ofstream(odd.toStdString()) << "not a key-code file";
  w.eLoadFromFile->setText(odd);
  w.btnLoadFromFile->click();
  QCOMPARE(t.Boxes().size(), 2);
  QCOMPARE(t.Boxes().at(1), QStringLiteral("Error: Il file non contiene dati di codici!"));
  CHECK_STATES(w, PanelIdentified());

  // A file of the large panel's class while a small panel is connected:
  // the box on two lines, then No panel.
  const std::string large = WriteKeyCodeFile(dir_, "as-large.tvx", kSmallImageSize, kLargeModel);
  w.eLoadFromFile->setText(QString::fromStdString(large));
  w.btnLoadFromFile->click();
  QCOMPARE(t.Boxes().size(), 3);
  QCOMPARE(t.Boxes().at(2), QStringLiteral("Error: La centrale connessa non corrisponde\nai dati salvati sul file! "
                                           "L'operazione verrà annullata"));
  CHECK_STATES(w, NoPanel());
  QCOMPARE(w.lblLinkedPanel->text(), kNessuna);
}

void TWindowTest::largePanel() {
  sim::PanelConfig cfg;
  cfg.model = "VYR 320";
  cfg.firmware = "2.05";
  cfg.baud = 9600;  // found first by the baud search
  std::string error;
  const auto started = test::StartSimPanel(cfg, &error);
  QVERIFY2(started, error.c_str());
  sim::SimPanel& panel = *started;
  const std::string largeFile = WriteKeyCodeFile(dir_, "large.tvx", kLargeImageSize, kLargeModel);
  TWindow t = MakeWindow({EntryFor(panel)});
  TfrmMain& w = *t;
  w.cbLingua->setCurrentIndex(0);
  w.btnCheckConnection->click();
  QVERIFY(WaitForOperation(w, 60000));
  QCOMPARE(w.lblLinkedPanel->text(), QStringLiteral("VYR 320 v.2.05"));
  CHECK_STATES(w, PanelIdentified());

  // Only the code's length is checked, and three digits are too few.
  QTest::keyClicks(w.EUserCode, QStringLiteral("123"));
  w.btnUserCode->click();
  QVERIFY(WaitForOperation(w));
  QCOMPARE(w.lblProgress->text(), QStringLiteral("Invalid code!"));
  CHECK_STATES(w, PanelIdentified());

  // The large layout is loaded while the large panel is connected.
  w.eLoadFromFile->setText(QString::fromStdString(largeFile));
  w.btnLoadFromFile->click();
  QVERIFY(t.Boxes().isEmpty());
  CHECK_STATES(w, (TControlStates{true, false, false, true, true}));

  QTest::keyClicks(w.eUserCodeSend, QStringLiteral("12"));
  w.btnSendCodes->click();
  QVERIFY(WaitForOperation(w));
  QCOMPARE(t.Boxes(), QStringList{QStringLiteral("Information: Invalid code!\nNothing was written into the panel.")});
  CHECK_STATES(w, NoPanel());
  QCOMPARE(w.Session().Link.PanelPort.Handle, intptr_t{-1});
}

void TWindowTest::languageSwitching() {
  auto panel = StartPanel("VYR8", "1234");
  QVERIFY(panel);
  TWindow t = MakeWindow({EntryFor(*panel)});
  TfrmMain& w = *t;
  w.btnCheckConnection->click();
  QVERIFY(WaitForOperation(w));
  CHECK_STATES(w, PanelIdentified());
  w.HandleTransferProgress(ProgressShowStatus, 0, QStringLiteral("Lettura codici"));

  w.cbLingua->setCurrentIndex(0);
  QCOMPARE(w.lblLingua->text(), QStringLiteral("Language"));
  QCOMPARE(w.lblSerial->text(), QStringLiteral("Serial port"));
  QCOMPARE(w.gbGeneral->title(), QStringLiteral("General options"));
  QCOMPARE(w.gbLinkedPanel->title(), QStringLiteral("Connected panel"));
  QCOMPARE(w.btnCheckConnection->text(), QStringLiteral("Check panel connection"));
  QCOMPARE(w.gbUserCode->title(), QStringLiteral("Load data from panel"));
  QCOMPARE(w.btnUserCode->text(), QStringLiteral("Load data"));
  QCOMPARE(w.gbAction->title(), QStringLiteral("Save data to file"));
  QCOMPARE(w.btnSaveToFile->text(), QStringLiteral("Save to file"));
  QCOMPARE(w.gbLoadFromFile->title(), QStringLiteral("Load data from file"));
  QCOMPARE(w.btnLoadFromFile->text(), QStringLiteral("Load from file"));
  QCOMPARE(w.gbSendToPanel->title(), QStringLiteral("Send data to panel"));
  QCOMPARE(w.btnSendCodes->text(), QStringLiteral("Send data"));
  QCOMPARE(w.lblUserCode->text(), QStringLiteral("Main user code"));
  QCOMPARE(w.lblUserCodeSend->text(), QStringLiteral("Main user code"));
  QCOMPARE(w.lblLinkedPanel->text(), QStringLiteral("No panel connected"));
  QCOMPARE(w.lblProgress->text(), QStringLiteral("Ready"));
  QCOMPARE(w.Session().LangStrings.ErrorOpeningPort, std::string("Error opening Com port!"));
  CHECK_STATES(w, PanelIdentified());

  w.cbLingua->setCurrentIndex(2);
  QCOMPARE(w.lblLingua->text(), QStringLiteral("Langue (Language)"));
  QCOMPARE(w.gbGeneral->title(), QStringLiteral("Options générales"));
  QCOMPARE(w.gbLoadFromFile->title(), QStringLiteral("Charger des données à partir d'un fichier"));
  QCOMPARE(w.lblUserCode->text(), QStringLiteral("Code d'utilisateur principal"));
  QCOMPARE(w.lblUserCodeSend->text(), QStringLiteral("Code d'utilisateur principal"));
  QCOMPARE(w.lblLinkedPanel->text(), QStringLiteral("Aucun dispositif connecté"));
  QCOMPARE(w.lblProgress->text(), QStringLiteral("Prêt"));
  CHECK_STATES(w, PanelIdentified());

  // No selection reads as English.
  w.cbLingua->setCurrentIndex(-1);
  QCOMPARE(w.gbGeneral->title(), QStringLiteral("General options"));
  QCOMPARE(w.lblProgress->text(), QStringLiteral("Ready"));

  w.cbLingua->setCurrentIndex(1);
  QCOMPARE(w.gbGeneral->title(), QStringLiteral("Opzioni generali"));
  QCOMPARE(w.lblLinkedPanel->text(), kNessuna);
  QCOMPARE(w.lblProgress->text(), kPronto);
  CHECK_STATES(w, PanelIdentified());
  QVERIFY(t.Boxes().isEmpty());
}

void TWindowTest::supportedPanelsWindow() {
  TWindow t = MakeWindow();
  TfrmMain& w = *t;
  w.show();
  struct TCase {
    int index;
    QString caption, overview, heading, infoStart;
  };
  const TCase cases[] = {
      {0, QStringLiteral("Info"), QStringLiteral("General overview"), QStringLiteral("Currently supported panels"),
       QStringLiteral("Using this software")},
      {1, QStringLiteral("Informazioni"), QStringLiteral("Informazioni generali"),
       QStringLiteral("Centrali attualmente supportate"), QStringLiteral("Questo programma")},
      {2, QStringLiteral("vue "), QStringLiteral("Aperçu général"), QStringLiteral("Centrales actuellement supporté"),
       QStringLiteral("En utilisant ce logiciel")},
      {-1, QStringLiteral("Info"), QStringLiteral("General overview"), QStringLiteral("Currently supported panels"),
       QStringLiteral("Using this software")},
  };
  QPointer<TfrmSupportedPanels> previous;
  for (const TCase& c : cases) {
    w.cbLingua->setCurrentIndex(c.index);
    QStringList seen;
    bool checked = false;
    OnNextModal([&](QWidget* modal) {
      auto* info = qobject_cast<TfrmSupportedPanels*>(modal);
      QVERIFY(info);
      QCOMPARE(w.SupportedPanelsWindow(), info);
      QVERIFY(info->isModal());
      QCOMPARE(info->LanguageIndex, c.index);
      QCOMPARE(info->windowTitle(), c.caption);
      QCOMPARE(info->size(), QSize(451, 301));
      QCOMPARE(info->minimumSize(), info->maximumSize());
      QCOMPARE(info->gbOverview->title(), c.overview);
      QVERIFY(info->gbOverview->font().bold());
      QVERIFY(!info->lblInfo->font().bold());
      QVERIFY(info->gbOverview->height() >= 129);
      QVERIFY(info->lblInfo->wordWrap());
      QVERIFY(info->lblInfo->text().startsWith(c.infoStart));
      QCOMPARE(info->lblInfo->text().count(QLatin1Char('\n')), 2);
      QVERIFY(!info->lblInfo->text().contains(QLatin1Char('\r')));
      QCOMPARE(info->lblInfo->palette().color(QPalette::Active, QPalette::WindowText), QColor(59, 90, 130));
      QVERIFY(info->sMemo1->isReadOnly());
      QCOMPARE(info->sMemo1->palette().color(QPalette::Base), QColor(234, 242, 251));
      QCOMPARE(info->sMemo1->document()->blockCount(), 7);
      seen = info->sMemo1->toPlainText().split(QLatin1Char('\n'));
      // The user cannot change the list.
      QTest::keyClicks(info->sMemo1, QStringLiteral("xyz"));
      QCOMPARE(info->sMemo1->toPlainText().split(QLatin1Char('\n')), seen);
      previous = info;
      checked = true;
    });
    w.TsSupportedPanels->click();
    QVERIFY(checked);
    QVERIFY(previous.isNull());  // destroyed once closed
    QVERIFY(!w.SupportedPanelsWindow());
    const QStringList expected{c.heading,
                               QString(),
                               QStringLiteral("VYR4 VYR8 VYR8G v. 2.xx"),
                               QStringLiteral("VYR8W VYR8GW VYR32 VYR32G v. 2.xx"),
                               QStringLiteral("VYR16D v. 1.xx"),
                               QString(),
                               QStringLiteral("VYR320 v. 2.xx")};
    QCOMPARE(seen, expected);
  }
  QVERIFY(t.Boxes().isEmpty());
}

void TWindowTest::supportedPanelsWindowOpensWithF1() {
  TWindow t = MakeWindow();
  TfrmMain& w = *t;
  w.show();
  w.activateWindow();
  QVERIFY(QTest::qWaitForWindowActive(&w));
  w.cbLingua->setCurrentIndex(2);
  QString caption;
  OnNextModal([&](QWidget* modal) { caption = modal->windowTitle(); });
  QTest::keyClick(&w, Qt::Key_F1);
  QCOMPARE(caption, QStringLiteral("vue "));
  QVERIFY(!w.SupportedPanelsWindow());
}

void TWindowTest::digitFilter() {
  TCodeEdit e;
  e.show();
  QCOMPARE(e.maxLength(), 6);
  QCOMPARE(e.echoMode(), QLineEdit::Password);
  QTest::keyClicks(&e, QStringLiteral("1a2 -3.,+"));
  QCOMPARE(e.text(), QStringLiteral("123"));
  QCOMPARE(e.displayText(), QStringLiteral("***"));
  QTest::keyClicks(&e, QStringLiteral("4567"));
  QCOMPARE(e.text(), QStringLiteral("123456"));  // the seventh digit is refused
  QTest::keyClick(&e, Qt::Key_Backspace);
  QCOMPARE(e.text(), QStringLiteral("12345"));
  QCOMPARE(e.displayText(), QStringLiteral("*****"));

  QSignalSpy rejected(&e, &QLineEdit::inputRejected);
  QClipboard* clipboard = QGuiApplication::clipboard();
  e.clear();
  clipboard->setText(QStringLiteral("12a"));
  QTest::keySequence(&e, QKeySequence::Paste);
  QCOMPARE(e.text(), QString());
  clipboard->setText(QStringLiteral("1234567"));
  QTest::keySequence(&e, QKeySequence::Paste);
  QCOMPARE(e.text(), QString());  // refused whole, not cut to six
  QCOMPARE(rejected.count(), 2);
  clipboard->setText(QStringLiteral("42"));
  QTest::keySequence(&e, QKeySequence::Paste);
  QCOMPARE(e.text(), QStringLiteral("42"));
  clipboard->setText(QStringLiteral("12345"));
  QTest::keySequence(&e, QKeySequence::Paste);
  QCOMPARE(e.text(), QStringLiteral("42"));  // would make seven digits
  e.selectAll();
  QTest::keySequence(&e, QKeySequence::Paste);
  QCOMPARE(e.text(), QStringLiteral("12345"));  // replaces the selection

  // The context menu's paste goes through the same filter.
  auto pasteFromMenu = [&](const QString& text) {
    clipboard->setText(text);
    QContextMenuEvent ask(QContextMenuEvent::Mouse, QPoint(5, 5), e.mapToGlobal(QPoint(5, 5)));
    QApplication::sendEvent(&e, &ask);
    auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    QVERIFY(menu);
    QAction* paste = nullptr;
    for (QAction* a : menu->actions())
      if (a->text().startsWith(QLatin1String("&Paste"))) paste = a;
    QVERIFY(paste);
    paste->trigger();
    menu->close();
  };
  pasteFromMenu(QStringLiteral(" 9"));
  QCOMPARE(e.text(), QStringLiteral("12345"));
  pasteFromMenu(QStringLiteral("9"));
  QCOMPARE(e.text(), QStringLiteral("123459"));
}

void TWindowTest::codeEditsOfTheWindow() {
  TWindow t = MakeWindow();
  TfrmMain& w = *t;
  for (QLineEdit* e : {static_cast<QLineEdit*>(w.EUserCode), static_cast<QLineEdit*>(w.eUserCodeSend)}) {
    QVERIFY(qobject_cast<TCodeEdit*>(e));
    QCOMPARE(e->maxLength(), 6);
    QCOMPARE(e->echoMode(), QLineEdit::Password);
    e->setText(QStringLiteral("1234"));
    QCOMPARE(e->displayText(), QStringLiteral("****"));
    e->clear();
    QTest::keyClicks(e, QStringLiteral("12b4"));
    QCOMPARE(e->text(), QString());  // inside a disabled group nothing is typed
  }
  QCOMPARE(w.eSaveToFile->maxLength(), 255);
  QCOMPARE(w.eLoadFromFile->maxLength(), 255);
  // The save button waits for a change of the name only in Data read.
  w.eSaveToFile->setText(QStringLiteral("x"));
  CHECK_STATES(w, NoPanel());
}

void TWindowTest::fileDialogs() {
  TWindow t = MakeWindow();
  TfrmMain& w = *t;
  std::unique_ptr<QFileDialog> save = w.MakeSaveDialog();
  QCOMPARE(save->acceptMode(), QFileDialog::AcceptSave);
  QCOMPARE(save->nameFilters(), QStringList{QStringLiteral("Key-Codes (.tvx) (*.tvx)")});
  QVERIFY(save->testOption(QFileDialog::DontConfirmOverwrite));
  QVERIFY(save->testOption(QFileDialog::HideNameFilterDetails));
  std::unique_ptr<QFileDialog> open = w.MakeOpenDialog();
  QCOMPARE(open->acceptMode(), QFileDialog::AcceptOpen);
  QCOMPARE(open->fileMode(), QFileDialog::ExistingFile);
  QCOMPARE(open->nameFilters(), QStringList{QStringLiteral("* (*)")});

  // The browse picture of each name edit opens its dialog; what is chosen
  // becomes the name.
  const QString chosen = dir_.filePath(QStringLiteral("chosen.tvx"));
  OnNextModal([&](QWidget* modal) {
    auto* d = qobject_cast<QFileDialog*>(modal);
    QVERIFY(d);
    QCOMPARE(d->acceptMode(), QFileDialog::AcceptSave);
    TypeFileName(d, chosen);
    static_cast<QDialog*>(d)->accept();
  });
  w.eSaveToFile->findChild<QAction*>(QStringLiteral("actBrowseSave"))->trigger();
  QCOMPARE(w.eSaveToFile->text(), chosen);
  std::ofstream(chosen.toStdString()) << "x";
  OnNextModal([&](QWidget* modal) {
    auto* d = qobject_cast<QFileDialog*>(modal);
    QVERIFY(d);
    QCOMPARE(d->acceptMode(), QFileDialog::AcceptOpen);
    TypeFileName(d, chosen);
    static_cast<QDialog*>(d)->accept();
  });
  w.eLoadFromFile->findChild<QAction*>(QStringLiteral("actBrowseLoad"))->trigger();
  QCOMPARE(w.eLoadFromFile->text(), chosen);
}

void TWindowTest::realMessageBoxes() {
  TMessageBoxPresenter presenter;
  struct TCase {
    TBoxKind kind;
    QString title;
    QMessageBox::Icon icon;
  };
  for (const TCase& c : {TCase{TBoxKind::Warning, QStringLiteral("Warning"), QMessageBox::Warning},
                         TCase{TBoxKind::Error, QStringLiteral("Error"), QMessageBox::Critical},
                         TCase{TBoxKind::Information, QStringLiteral("Information"), QMessageBox::Information}}) {
    bool checked = false;
    OnNextModal([&](QWidget* modal) {
      auto* box = qobject_cast<QMessageBox*>(modal);
      QVERIFY(box);
      QCOMPARE(box->windowTitle(), c.title);
      QCOMPARE(box->icon(), c.icon);
      QCOMPARE(box->text(), QStringLiteral("first line\nsecond line"));
      QCOMPARE(box->standardButtons(), QMessageBox::StandardButtons(QMessageBox::Ok));
      QCOMPARE(box->buttons().size(), 1);
      checked = true;
    });
    presenter.Show(nullptr, c.kind, UiText("first line\r\nsecond line"));
    QVERIFY(checked);
  }
}

void TWindowTest::realQuestionBoxes() {
  TMessageBoxPresenter presenter;
  struct TCase {
    TQuestion question;
    int language;
    QStringList captions;
    QList<QMessageBox::StandardButton> standard;
    int press;  // index of the button pressed; -1 for Escape
    TAnswer expected;
  };
  const TCase cases[] = {
      {TQuestion::YesNo, 1, {QStringLiteral("Sì"), QStringLiteral("No")}, {QMessageBox::Yes, QMessageBox::No}, 0,
       TAnswer::Yes},
      {TQuestion::YesNo, 2, {QStringLiteral("Oui"), QStringLiteral("Non")}, {QMessageBox::Yes, QMessageBox::No}, 1,
       TAnswer::No},
      {TQuestion::YesNo, 0, {QStringLiteral("Yes"), QStringLiteral("No")}, {QMessageBox::Yes, QMessageBox::No}, -1,
       TAnswer::No},
      {TQuestion::SaveDiscardCancel,
       0,
       {QStringLiteral("Save"), QStringLiteral("Don't save"), QStringLiteral("Cancel")},
       {QMessageBox::Save, QMessageBox::Discard, QMessageBox::Cancel},
       1,
       TAnswer::Discard},
      {TQuestion::SaveDiscardCancel,
       1,
       {QStringLiteral("Salva"), QStringLiteral("Non salvare"), QStringLiteral("Annulla")},
       {QMessageBox::Save, QMessageBox::Discard, QMessageBox::Cancel},
       0,
       TAnswer::Save},
      {TQuestion::SaveDiscardCancel,
       2,
       {QStringLiteral("Enregistrer"), QStringLiteral("Ne pas enregistrer"), QStringLiteral("Annuler")},
       {QMessageBox::Save, QMessageBox::Discard, QMessageBox::Cancel},
       -1,
       TAnswer::Cancel},
  };
  for (const TCase& c : cases) {
    bool checked = false;
    OnNextModal([&](QWidget* modal) {
      auto* box = qobject_cast<QMessageBox*>(modal);
      QVERIFY(box);
      QCOMPARE(box->windowTitle(), QStringLiteral("Warning"));
      QCOMPARE(box->icon(), QMessageBox::Warning);
      QCOMPARE(box->text(), QStringLiteral("first line\nthe question?"));
      QCOMPARE(box->buttons().size(), c.captions.size());
      for (int i = 0; i < c.captions.size(); ++i) {
        QAbstractButton* b = box->button(c.standard[i]);
        QVERIFY(b);
        QCOMPARE(b->text(), c.captions[i]);
      }
      QCOMPARE(box->defaultButton(), box->button(c.standard.first()));
      QCOMPARE(box->escapeButton(), box->button(c.standard.last()));
      checked = true;
      if (c.press >= 0) box->button(c.standard[c.press])->click();
      else QTest::keyClick(box, Qt::Key_Escape);
    });
    const TAnswer answer = presenter.Ask(nullptr, TBoxKind::Warning, UiText("first line\r\nthe question?"),
                                         QuestionButtons(c.question, c.language));
    QVERIFY(checked);
    QCOMPARE(int(answer), int(c.expected));
  }
}

// A send that stops just after it wrote the code block: the box names the
// backup and asks; Yes puts the backup back, proving the sent file's code,
// which the panel took with the code block.
void TWindowTest::recoveryAfterASendThatStoppedPartWay() {
  auto source = StartPanel("VYR8", "1234", 1);
  const sim::PanelConfig targetConfig = test::PanelOf("VYR32", "5678", 7, "2.10");
  std::string error;
  auto target = test::StartSimPanel(targetConfig, &error);
  QVERIFY2(source && target, error.c_str());
  TWindow t = MakeWindow({EntryFor(*source), EntryFor(*target)});
  TfrmMain& w = *t;
  w.btnCheckConnection->click();
  QVERIFY(WaitForOperation(w));
  QTest::keyClicks(w.EUserCode, QStringLiteral("1234"));
  w.btnUserCode->click();
  QVERIFY(WaitForOperation(w));
  const QString saved = dir_.filePath(QStringLiteral("recovery.tvx"));
  w.eSaveToFile->setText(saved);
  w.btnSaveToFile->click();
  QVERIFY(QFileInfo::exists(saved));

  w.cbSerial->setCurrentIndex(1);
  w.btnCheckConnection->click();
  QVERIFY(WaitForOperation(w));
  w.eLoadFromFile->setText(saved);
  w.btnLoadFromFile->click();
  CHECK_STATES(w, (TControlStates{true, false, false, true, true}));
  const int write = test::FirstWriteAfterCodeBlock(targetConfig, saved.toStdString(), "5678");
  QVERIFY(write > 0);
  target->SetFault({sim::FaultKind::NoEcho, target->ExchangeCount() + write});
  t.presenter->answer = TAnswer::Yes;
  QTest::keyClicks(w.eUserCodeSend, QStringLiteral("5678"));
  w.btnSendCodes->click();
  QVERIFY(WaitForOperation(w, 120000));

  // The sequence's box; the send's own, naming the backup, with the
  // question last; then the restore's outcome, as a send's.
  const QStringList boxes = t.Boxes();
  QCOMPARE(boxes.size(), 3);
  QCOMPARE(t.presenter->questions, QStringList{QStringLiteral("Sì/No")});
  const QString prefix = QStringLiteral("L'invio si è interrotto dopo aver scritto una parte dei dati; i dati "
                                        "precedenti della centrale sono nel backup: ");
  const QString question = QStringLiteral("\nRipristinare ora i dati precedenti della centrale?");
  const QString system = QStringLiteral("Errore in scrittura su porta seriale!");
  QCOMPARE(boxes[0], QStringLiteral("Warning: ") + system);
  const QString head = QStringLiteral("Error: ") + system + QStringLiteral("\n") + prefix;
  QVERIFY2(boxes[1].startsWith(head), qPrintable(boxes[1]));
  QVERIFY2(boxes[1].endsWith(question), qPrintable(boxes[1]));
  const QString backup = boxes[1].mid(head.size()).chopped(question.size());
  QVERIFY2(backup.startsWith(dir_.path() + QStringLiteral("/tarvex/backups/VYR32-")), qPrintable(backup));
  QCOMPARE(boxes[2], QStringLiteral("Information: Dati trasferiti con successo!"));
  for (const QString& b : boxes) {
    QVERIFY2(!b.contains(QStringLiteral("1234")) && !b.contains(QStringLiteral("5678")), qPrintable(b));
  }
  QVERIFY(!w.lblProgress->text().contains(QStringLiteral("5678")));
  CHECK_STATES(w, NoPanel());
  QCOMPARE(w.lblLinkedPanel->text(), kNessuna);

  // The panel holds what a plain send of the backup writes into a panel
  // like it as it was before, byte for byte.
  const std::vector<uint8_t> expected = test::MemoryAfterSend(targetConfig, backup.toStdString(), "5678");
  QCOMPARE(expected.size(), size_t{65536});
  QVERIFY(target->ReadMemory(0, 65536) == expected);
  QFile::remove(backup);
}

void TWindowTest::workerBoxBlocksTheOperation() {
  // The real box, raised from the worker thread: the operation waits for it.
  auto panel = StartPanel("VYR8", "1234");
  QVERIFY(panel);
  THeldPort holder(panel->DevicePath());
  QVERIFY(holder.ok);
  TWindowOptions options;
  options.leadingPorts = {EntryFor(*panel)};
  options.deviceFolder.clear();
  TfrmMain w(std::move(options));
  w.show();
  bool checked = false;
  OnNextModal([&](QWidget* modal) {
    auto* box = qobject_cast<QMessageBox*>(modal);
    QVERIFY(box);
    QCOMPARE(box->windowTitle(), QStringLiteral("Warning"));
    QCOMPARE(box->text(), kErroreApertura + QStringLiteral("\n") + kApertaQui);
    // Held open while the event loop runs on (a timer ticks five times):
    // the worker, waiting for the box, does not go on meanwhile.
    TTicker ticker;
    QTRY_VERIFY_WITH_TIMEOUT(ticker.ticks >= 5, static_cast<int>(test::ScaledMs(5000)));
    QVERIFY(w.OperationRunning());
    QCOMPARE(w.lblProgress->text(), QStringLiteral("Apertura seriale"));
    checked = true;
  });
  w.btnCheckConnection->click();
  QVERIFY(WaitForOperation(w));
  QVERIFY(checked);
  QCOMPARE(w.lblProgress->text(), kPronto);
  CHECK_STATES(w, NoPanel());
}

void TWindowTest::eventLoopRunsWhileTheEchoNeverComes() {
  auto panel = StartPanel("VYR8", "1234");
  QVERIFY(panel);
  TWindow t = MakeWindow({EntryFor(*panel)});
  TfrmMain& w = *t;
  w.show();
  w.btnCheckConnection->click();
  QVERIFY(WaitForOperation(w));
  CHECK_STATES(w, PanelIdentified());

  panel->SetFault({sim::FaultKind::NoEcho, 0});
  QTest::keyClicks(w.EUserCode, QStringLiteral("1234"));
  // The user closes the window while the failure's box is open: the close
  // waits for the operation, the operation waits for the box.
  bool closedDuringBox = true;
  bool runningDuringBox = false;
  int noticesDuringBox = -1;
  bool boxShown = false;
  QString closeSaid;
  QSignalSpy notices(&w, &TfrmMain::TransferProgressHandled);
  t.presenter->whileOpen = [&] {
    boxShown = true;
    closedDuringBox = w.close();
    // The close is not lost: the status line says when it comes.
    closeSaid = w.lblProgress->text();
    runningDuringBox = w.OperationRunning();
    const int before = notices.count();
    // The event loop runs on while the box is open (five ticks of a
    // timer); no notice of the worker comes meanwhile.
    TTicker ticker;
    QTRY_VERIFY_WITH_TIMEOUT(ticker.ticks >= 5, static_cast<int>(test::ScaledMs(5000)));
    noticesDuringBox = notices.count() - before;
  };
  // The worker waits for the echo from the moment the panel has heard the
  // read's first header until the failure's box: the timer must tick
  // during that wait. A loop held up by the wait would tick once at most
  // (missed ticks are not made up), however long the wait.
  const int heardBefore = panel->ExchangeCount();
  int ticksWhileWaiting = 0;
  TTicker ticker;
  ticker.onTick = [&] {
    if (!boxShown && panel->ExchangeCount() > heardBefore) ++ticksWhileWaiting;
  };
  QElapsedTimer clock;
  clock.start();
  w.btnUserCode->click();
  QVERIFY(WaitForOperation(w, 20000));
  const qint64 ms = clock.elapsed();

  // The echo wait runs out after whole seconds (at the least).
  QVERIFY2(ms >= 2000, qPrintable(QString::number(ms)));
  QVERIFY2(ticksWhileWaiting >= 3, qPrintable(QStringLiteral("%1 ticks in %2 ms").arg(ticksWhileWaiting).arg(ms)));
  QCOMPARE(t.Boxes(), QStringList{QStringLiteral("Warning: ") + kErroreLettura});
  QVERIFY(!closedDuringBox);
  QCOMPARE(closeSaid, QStringLiteral("La finestra si chiuderà al termine dell'operazione in corso."));
  QVERIFY(runningDuringBox);
  QCOMPARE(noticesDuringBox, 0);
  // Closed once the operation was over, with the port released.
  QVERIFY(!w.isVisible());
  QCOMPARE(w.Session().Link.PanelPort.Handle, intptr_t{-1});
  QCOMPARE(w.lblProgress->text(), kErroreLettura);
  CHECK_STATES(w, PanelIdentified());
  THeldPort after(panel->DevicePath());
  QVERIFY(after.ok);
}

void TWindowTest::destroyedDuringAnOperation() {
  auto panel = StartPanel("VYR8", "1234");
  QVERIFY(panel);
  {
    TWindow t = MakeWindow({EntryFor(*panel)});
    t->btnCheckConnection->click();
    QVERIFY(WaitForOperation(*t));
    panel->SetFault({sim::FaultKind::NoEcho, 0});
    const int heardBefore = panel->ExchangeCount();
    t->btnUserCode->click();
    QVERIFY(t->OperationRunning());
    // Once the panel has heard the read's header, the worker waits for an
    // echo that never comes.
    QTRY_VERIFY_WITH_TIMEOUT(panel->ExchangeCount() > heardBefore, static_cast<int>(test::ScaledMs(10000)));
    QVERIFY(t->OperationRunning());
  }  // the window goes away while its worker waits for the echo
  QVERIFY(!QApplication::overrideCursor());
  THeldPort after(panel->DevicePath());
  QVERIFY(after.ok);  // the port was released
}

void TWindowTest::demoPanels() {
  TDemoPanels demo;
  std::string error;
  QVERIFY2(demo.Start(false, &error), error.c_str());
  const std::vector<TPortEntry> entries = demo.Entries();
  QCOMPARE(entries.size(), size_t{2});
  // Served in-process: no serial port or pseudo-terminal stands behind them.
  QCOMPARE(QString::fromStdString(entries[0].Label), QStringLiteral("Demo VYR8 (code 1234)"));
  QCOMPARE(QString::fromStdString(entries[1].Label), QStringLiteral("Demo VYR32 (code 5678)"));
  QVERIFY(entries[0].System && entries[1].System && entries[0].System != entries[1].System);
  TWindow t = MakeWindow(entries);
  TfrmMain& w = *t;
  QCOMPARE(w.cbSerial->itemText(0), QString::fromStdString(entries[0].Label));
  QCOMPARE(w.Session().Link.PanelPort.Device, entries[0].Device);
  w.cbSerial->setCurrentIndex(1);
  QCOMPARE(w.Session().Link.PanelPort.Device, entries[1].Device);
  QCOMPARE(w.Session().Link.PanelPort.System, entries[1].System);
  w.btnCheckConnection->click();
  QVERIFY(WaitForOperation(w));
  QCOMPARE(w.lblLinkedPanel->text(), QStringLiteral("VYR32 v.2.10"));
}

QTEST_MAIN(TWindowTest)
#include "window_test.moc"
