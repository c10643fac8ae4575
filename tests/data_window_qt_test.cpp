// The data window in the Qt face, end to end on the in-process demo panels:
// it opens after a read and after a load, a user is renamed and a code
// changed in place, undone and redone from the keyboard, a refused edit
// says why under its table, the changes are saved and seen again after a
// load, and a send writes them into the panel. Runs on the offscreen
// platform.
#include <QAbstractItemView>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QEventLoop>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>
#include <string>
#include <vector>

#include "app/keyfile.h"
#include "demo/demo_panels.h"
#include "protocol/panel_image.h"
#include "protocol/text.h"
#include "qt/code_edit.h"
#include "qt/data_window.h"
#include "qt/main_window.h"
#include "qt/message_presenter.h"
#include "sim/panel_config.h"
#include "sim/panel_engine.h"
#include "sim/sim_line.h"
#include "tests/test_time.h"

using namespace tarvex;

namespace {

class TRecordingPresenter : public TMessagePresenter {
 public:
  void Show(QWidget*, TBoxKind kind, const QString& text) override {
    boxes << QString::fromLatin1(BoxTitle(kind)) + QStringLiteral(": ") + text;
  }
  // A question is recorded with its buttons' captions; the answer is the
  // next one the test gave, or the last button's (the box closed).
  TAnswer Ask(QWidget*, TBoxKind kind, const QString& text, const std::vector<TQuestionButton>& buttons) override {
    QStringList captions;
    for (const TQuestionButton& b : buttons) captions << QString::fromStdString(b.caption);
    questions << QString::fromLatin1(BoxTitle(kind)) + QStringLiteral(": ") + text + QStringLiteral(" [") +
                     captions.join(QStringLiteral(" | ")) + QLatin1Char(']');
    if (!answers.empty()) {
      const TAnswer a = answers.front();
      answers.erase(answers.begin());
      return a;
    }
    return buttons.empty() ? TAnswer::Cancel : buttons.back().answer;
  }
  QStringList boxes;
  QStringList questions;
  std::vector<TAnswer> answers;
};

bool WaitForOperation(TfrmMain& w, int limitMs = 30000) {
  if (!w.OperationRunning()) return true;
  QEventLoop loop;
  QObject::connect(&w, &TfrmMain::OperationFinished, &loop, &QEventLoop::quit);
  QTimer::singleShot(static_cast<int>(tarvex::test::ScaledMs(limitMs)), &loop, &QEventLoop::quit);
  loop.exec();
  return !w.OperationRunning();
}

// The row of the user whose code opens the panel, as the table shows it.
int MainUserRow(const TDataWindowModel& m) {
  for (size_t r = 0; r < m.RowCount(TDataTable::Users); ++r) {
    const TUserRow u = m.Data().User(m.RowNumber(TDataTable::Users, r));
    if (u.Main && u.HasCode) return static_cast<int>(r);
  }
  return -1;
}

// The editor hands its text over, and the window repaints, from events
// queued behind the key: let them run.
void Settle() {
  for (int i = 0; i < 3; ++i) QCoreApplication::processEvents();
}

QString Cell(QTableView* v, int row, int column) { return v->model()->index(row, column).data().toString(); }

}  // namespace

class TDataWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase();
  void cleanupTestCase();
  void init();
  void cleanup();
  void showDataButtonFollowsTheData();
  void editUndoRedoSaveAndReloadInEnglish();
  void refusedEditsShowTheirReasonInItalian();
  void keyboardReachesEverything();
  void sharedCodesAreMarkedOnBothRows();
  void aSendWritesTheEditedData();
  void unsavedChangesAreAskedAboutBeforeAReadOrAClose();
  void unsavedChangesAreAskedAboutBeforeALoad();
  void theLargeImageIsShownReadOnly();

 private:
  // Checks the demo panel i and, for the VYR8, reads it with its code.
  void Check(int port);
  void Read();
  // Opens the data window with the main window's button.
  TfrmData* Open();
  // Edits a cell through its editor, as the user types it and presses Enter.
  void EditCell(QTableView* v, int row, int column, const QString& text);

  QTemporaryDir dir_;
  QByteArray dataHome_;
  bool hadDataHome_ = false;
  std::unique_ptr<TDemoPanels> demo_;
  std::unique_ptr<TfrmMain> w_;
  TRecordingPresenter* presenter_ = nullptr;
};

void TDataWindowTest::initTestCase() {
  QVERIFY(dir_.isValid());
  hadDataHome_ = qEnvironmentVariableIsSet("XDG_DATA_HOME");
  dataHome_ = qgetenv("XDG_DATA_HOME");
  qputenv("XDG_DATA_HOME", dir_.path().toLocal8Bit());
  QCOMPARE(QGuiApplication::platformName(), QStringLiteral("offscreen"));
}

void TDataWindowTest::cleanupTestCase() {
  if (hadDataHome_) qputenv("XDG_DATA_HOME", dataHome_);
  else qunsetenv("XDG_DATA_HOME");
}

void TDataWindowTest::init() {
  demo_ = std::make_unique<TDemoPanels>();
  std::string why;
  QVERIFY2(demo_->Start(false, &why), why.c_str());
  TWindowOptions options;
  options.leadingPorts = demo_->Entries();
  options.deviceFolder.clear();
  auto presenter = std::make_unique<TRecordingPresenter>();
  presenter_ = presenter.get();
  options.presenter = std::move(presenter);
  w_ = std::make_unique<TfrmMain>(std::move(options));
  w_->show();
}

void TDataWindowTest::cleanup() {
  w_.reset();
  demo_.reset();
}

void TDataWindowTest::Check(int port) {
  w_->cbSerial->setCurrentIndex(port);
  w_->btnCheckConnection->click();
  QVERIFY(WaitForOperation(*w_));
  QVERIFY(w_->ControlStates().UserCode);
}

void TDataWindowTest::Read() {
  w_->EUserCode->setText(QStringLiteral("1234"));
  w_->btnUserCode->click();
  QVERIFY(WaitForOperation(*w_));
  QVERIFY(w_->ControlStates().SaveGroup);
}

TfrmData* TDataWindowTest::Open() {
  if (!w_->btnShowData->isEnabled()) return nullptr;
  w_->btnShowData->click();
  TfrmData* d = w_->DataWindow();
  if (d) QCoreApplication::processEvents();
  return d;
}

void TDataWindowTest::EditCell(QTableView* v, int row, int column, const QString& text) {
  const QModelIndex i = v->model()->index(row, column);
  v->setCurrentIndex(i);
  v->setFocus();
  QTest::keyClick(v, Qt::Key_F2);
  auto* editor = v->findChild<QLineEdit*>(QStringLiteral("edCell"));
  QVERIFY2(editor, "no editor opened");
  editor->selectAll();
  QTest::keyClick(editor, Qt::Key_Backspace);
  // Typed key by key; a character no key of the test's keyboard makes comes
  // as an input method would give it.
  for (const QChar c : text) {
    if (c.unicode() < 0x80) QTest::keyClicks(editor, QString(c));
    else editor->insert(QString(c));
  }
  QTest::keyClick(editor, Qt::Key_Return);
  Settle();
}

void TDataWindowTest::showDataButtonFollowsTheData() {
  TfrmMain& w = *w_;
  QVERIFY(w.btnShowData);
  QCOMPARE(w.btnShowData->text(), QStringLiteral("Mostra dati"));
  QCOMPARE(w.btnShowData->geometry(), QRect(10, 215, 87, 41));
  QCOMPARE(w.btnShowData->parentWidget(), static_cast<QWidget*>(&w));
  QVERIFY(!w.btnShowData->isEnabled());
  Check(0);
  QVERIFY(!w.btnShowData->isEnabled());
  Read();
  QVERIFY(w.btnShowData->isEnabled());

  TfrmData* d = Open();
  QVERIFY(d);
  QVERIFY(d->isVisible());
  QVERIFY(!d->isModal());
  QCOMPARE(d->windowTitle(), QStringLiteral("VYR8 v.2.10 - Dati"));
  QCOMPARE(d->tvUsers->model()->rowCount(), 24);
  QCOMPARE(d->tvUsers->model()->headerData(1, Qt::Horizontal).toString(), QStringLiteral("Nome"));
  QVERIFY(!d->cbShowCodes->isChecked());
  QCOMPARE(d->cbShowCodes->text(), QStringLiteral("Mostra codici"));
  const int main = MainUserRow(d->Model());
  QVERIFY(main >= 0);
  QCOMPARE(Cell(d->tvUsers, main, UserColCode), QStringLiteral("****"));
  d->cbShowCodes->click();
  QCOMPARE(Cell(d->tvUsers, main, UserColCode), QStringLiteral("1234"));
  d->btnClose->click();
  QVERIFY(!d->isVisible());

  // After a save the main window is back to No panel; the data is still
  // there, and the window opens again with codes hidden.
  w.eSaveToFile->setText(dir_.filePath(QStringLiteral("site")));
  w.btnSaveToFile->click();
  QVERIFY(!w.ControlStates().SaveGroup);
  QVERIFY(!w.gbAction->isEnabled());
  QVERIFY(w.btnShowData->isEnabled());
  d = Open();
  QVERIFY(d && d->isVisible());
  QVERIFY(!d->cbShowCodes->isChecked());
  QCOMPARE(Cell(d->tvUsers, main, UserColCode), QStringLiteral("****"));
  QCOMPARE(d->windowTitle(), QStringLiteral("site.tvx - Dati"));

  // After a load of that file into the other panel.
  d->close();
  Check(1);
  w.eLoadFromFile->setText(dir_.filePath(QStringLiteral("site.tvx")));
  w.btnLoadFromFile->click();
  QVERIFY(w.ControlStates().SendGroup);
  d = Open();
  QVERIFY(d && d->isVisible());
  QCOMPARE(d->windowTitle(), QStringLiteral("site.tvx - Dati"));
  QVERIFY(presenter_->boxes.isEmpty());
}

void TDataWindowTest::editUndoRedoSaveAndReloadInEnglish() {
  TfrmMain& w = *w_;
  w.cbLingua->setCurrentIndex(0);
  Check(0);
  Read();
  TfrmData* d = Open();
  QVERIFY(d);
  QCOMPARE(d->windowTitle(), QStringLiteral("VYR8 v.2.10 - Data"));
  QCOMPARE(d->btnUndo->text(), QStringLiteral("Undo"));
  QVERIFY(!d->btnUndo->isEnabled());
  const int main = MainUserRow(d->Model());
  const int other = main == 1 ? 2 : 1;
  SmallPanelImage& image = *w.Session().Small;

  EditCell(d->tvUsers, other, UserColName, QStringLiteral("Receptionist"));
  QCOMPARE(Cell(d->tvUsers, other, UserColName), QStringLiteral("Receptionist"));
  QCOMPARE(image.User(static_cast<size_t>(other)).Name(), std::string("Receptionist"));
  QCOMPARE(d->windowTitle(), QStringLiteral("*VYR8 v.2.10 - Data"));
  QVERIFY(d->btnUndo->isEnabled());

  // A new code typed while codes are hidden: the editor shows stars.
  d->tvUsers->setCurrentIndex(d->tvUsers->model()->index(other, UserColCode));
  d->tvUsers->setFocus();
  QTest::keyClick(d->tvUsers, Qt::Key_F2);
  auto* editor = d->tvUsers->findChild<QLineEdit*>(QStringLiteral("edCell"));
  QVERIFY(editor);
  QCOMPARE(editor->text(), QString());
  QCOMPARE(editor->echoMode(), QLineEdit::Password);
  QTest::keyClicks(editor, QStringLiteral("97x531"));
  QCOMPARE(editor->text(), QStringLiteral("97531"));
  QTest::keyClick(editor, Qt::Key_Return);
  Settle();
  QCOMPARE(Cell(d->tvUsers, other, UserColCode), QStringLiteral("*****"));
  QCOMPARE(image.User(static_cast<size_t>(other)).Code(), std::string("97531FFF"));

  // Ctrl+Z twice, Ctrl+Y once.
  d->tvUsers->setFocus();
  QTest::keyClick(d->tvUsers, Qt::Key_Z, Qt::ControlModifier);
  QVERIFY(image.User(static_cast<size_t>(other)).Code() != "97531FFF");
  QCOMPARE(Cell(d->tvUsers, other, UserColName), QStringLiteral("Receptionist"));
  QTest::keyClick(d->tvUsers, Qt::Key_Z, Qt::ControlModifier);
  QVERIFY(Cell(d->tvUsers, other, UserColName) != QStringLiteral("Receptionist"));
  QCOMPARE(d->windowTitle(), QStringLiteral("VYR8 v.2.10 - Data"));
  QVERIFY(!d->btnUndo->isEnabled());
  QVERIFY(d->btnRedo->isEnabled());
  QTest::keyClick(d->tvUsers, Qt::Key_Y, Qt::ControlModifier);
  QCOMPARE(Cell(d->tvUsers, other, UserColName), QStringLiteral("Receptionist"));
  QCOMPARE(d->windowTitle(), QStringLiteral("*VYR8 v.2.10 - Data"));
  // The redo button does the same as Ctrl+Y.
  d->btnRedo->click();
  QCOMPARE(Cell(d->tvUsers, other, UserColCode), QStringLiteral("*****"));

  // Saved to the save group's name, as the main window would save it.
  const QString site = dir_.filePath(QStringLiteral("edited"));
  w.eSaveToFile->setText(site);
  d->btnSave->click();
  QVERIFY(presenter_->boxes.isEmpty());
  QCOMPARE(d->windowTitle(), QStringLiteral("edited.tvx - Data"));
  std::vector<uint8_t> saved;
  std::string error;
  QVERIFY2(DecodeKeyCodeFile((site + QStringLiteral(".tvx")).toStdString(), &saved, &error), error.c_str());
  QCOMPARE(saved.size(), kSmallImageSize);

  // Loaded again into the other panel: the change is there.
  d->close();
  Check(1);
  w.eLoadFromFile->setText(site + QStringLiteral(".tvx"));
  w.btnLoadFromFile->click();
  QVERIFY(w.ControlStates().SendGroup);
  d = Open();
  QVERIFY(d);
  QCOMPARE(Cell(d->tvUsers, other, UserColName), QStringLiteral("Receptionist"));
  d->cbShowCodes->click();
  QCOMPARE(Cell(d->tvUsers, other, UserColCode), QStringLiteral("97531"));
  QCOMPARE(d->windowTitle(), QStringLiteral("edited.tvx - Data"));
}

void TDataWindowTest::refusedEditsShowTheirReasonInItalian() {
  Check(0);
  Read();
  TfrmData* d = Open();
  QVERIFY(d);
  const int main = MainUserRow(d->Model());
  const int other = main == 1 ? 2 : 1;
  const QString before = Cell(d->tvUsers, other, UserColName);

  EditCell(d->tvUsers, other, UserColName, QStringLiteral(" Anna"));
  QCOMPARE(d->lblUsersRefusal->text(), QStringLiteral("Il nome non può iniziare o finire con uno spazio."));
  QVERIFY(d->lblUsersRefusal->isVisible());
  QCOMPARE(Cell(d->tvUsers, other, UserColName), before);
  QVERIFY(!d->btnUndo->isEnabled());
  QCOMPARE(d->windowTitle(), QStringLiteral("VYR8 v.2.10 - Dati"));

  // The main user's code cannot go: codes revealed, emptied, refused.
  d->cbShowCodes->click();
  EditCell(d->tvUsers, main, UserColCode, QString());
  QCOMPARE(d->lblUsersRefusal->text(),
           QStringLiteral("Nessun utente principale avrebbe un codice: la centrale non si potrebbe più aprire con "
                          "questo programma."));
  QCOMPARE(Cell(d->tvUsers, main, UserColCode), QStringLiteral("1234"));

  // A key's name with a character the panel cannot hold; the reason stands
  // under the keys' table.
  d->cbShowUnusedKeys->click();
  QCOMPARE(d->tvKeys->model()->rowCount(), 128);
  EditCell(d->tvKeys, 0, KeyColName, QStringLiteral("Porta \u2603"));
  QCOMPARE(d->lblKeysRefusal->text(), QStringLiteral("Il nome contiene un carattere che la centrale non può memorizzare."));
  QCOMPARE(d->lblUsersRefusal->text(), QString());

  // A good edit clears the reason.
  EditCell(d->tvKeys, 0, KeyColName, QStringLiteral("Porta"));
  QCOMPARE(d->lblKeysRefusal->text(), QString());
  QCOMPARE(Cell(d->tvKeys, 0, KeyColName), QStringLiteral("Porta"));
  // Never a box for any of it.
  QVERIFY(presenter_->boxes.isEmpty());

  // The language switches with the main window's.
  w_->cbLingua->setCurrentIndex(2);
  QCOMPARE(d->cbShowCodes->text(), QStringLiteral("Afficher les codes"));
  QCOMPARE(d->tvUsers->model()->headerData(UserColMain, Qt::Horizontal).toString(), QStringLiteral("Principal"));
  QCOMPARE(d->windowTitle(), QStringLiteral("*VYR8 v.2.10 - Données"));
}

void TDataWindowTest::keyboardReachesEverything() {
  Check(0);
  Read();
  // "Show data" takes the keyboard's focus like every button of the window.
  QVERIFY(w_->btnShowData->focusPolicy() & Qt::TabFocus);
  TfrmData* d = Open();
  QVERIFY(d);
  for (QWidget* c : {static_cast<QWidget*>(d->cbShowCodes), static_cast<QWidget*>(d->cbShowUnusedKeys),
                     static_cast<QWidget*>(d->tvUsers), static_cast<QWidget*>(d->tvKeys),
                     static_cast<QWidget*>(d->btnClearUser), static_cast<QWidget*>(d->btnUndo),
                     static_cast<QWidget*>(d->btnRedo), static_cast<QWidget*>(d->btnSave),
                     static_cast<QWidget*>(d->btnClose)})
    QVERIFY2(c->focusPolicy() & Qt::TabFocus, qPrintable(c->objectName()));
  // Tab leaves the table rather than walking its cells.
  QVERIFY(!d->tvUsers->tabKeyNavigation());
  // Clear user acts on the current row.
  const int main = MainUserRow(d->Model());
  const int other = main == 1 ? 2 : 1;
  d->tvUsers->setCurrentIndex(d->tvUsers->model()->index(other, UserColName));
  QVERIFY(d->btnClearUser->isEnabled());
  d->btnClearUser->click();
  QCOMPARE(Cell(d->tvUsers, other, UserColName), QString());
  QCOMPARE(Cell(d->tvUsers, other, UserColCode), QString());
  QVERIFY(d->btnUndo->isEnabled());
  // Only names and codes open an editor.
  d->tvUsers->setCurrentIndex(d->tvUsers->model()->index(other, UserColMain));
  d->tvUsers->setFocus();
  QTest::keyClick(d->tvUsers, Qt::Key_F2);
  QVERIFY(!d->tvUsers->findChild<QLineEdit*>(QStringLiteral("edCell")));
}

void TDataWindowTest::sharedCodesAreMarkedOnBothRows() {
  w_->cbLingua->setCurrentIndex(0);
  Check(0);
  Read();
  TfrmData* d = Open();
  QVERIFY(d);
  const int main = MainUserRow(d->Model());
  const int other = main == 1 ? 2 : 1;
  auto tip = [d](int row) { return d->tvUsers->model()->index(row, UserColCode).data(Qt::ToolTipRole).toString(); };
  auto marked = [d](int row) { return d->tvUsers->model()->index(row, UserColName).data(Qt::BackgroundRole).isValid(); };
  QCOMPARE(tip(main), QString());
  QVERIFY(!marked(main));
  EditCell(d->tvUsers, other, UserColCode, QStringLiteral("1234"));
  QCOMPARE(tip(main), QStringLiteral("Another user has the same code."));
  QCOMPARE(tip(other), QStringLiteral("Another user has the same code."));
  QVERIFY(marked(main));
  QVERIFY(marked(other));
  QVERIFY(!d->tvUsers->model()->index(main, UserColCode).data(Qt::DecorationRole).isNull());
  // Allowed, not refused: nothing under the table.
  QCOMPARE(d->lblUsersRefusal->text(), QString());
  QTest::keyClick(d->tvUsers, Qt::Key_Z, Qt::ControlModifier);
  QCOMPARE(tip(main), QString());
  QVERIFY(!marked(other));
}

void TDataWindowTest::aSendWritesTheEditedData() {
  TfrmMain& w = *w_;
  Check(0);
  Read();
  const QString site = dir_.filePath(QStringLiteral("send"));
  w.eSaveToFile->setText(site);
  w.btnSaveToFile->click();
  Check(1);
  w.eLoadFromFile->setText(site + QStringLiteral(".tvx"));
  w.btnLoadFromFile->click();
  TfrmData* d = Open();
  QVERIFY(d);
  const int main = MainUserRow(d->Model());
  const int other = main == 1 ? 2 : 1;
  EditCell(d->tvUsers, other, UserColName, QStringLiteral("Installer"));
  QCOMPARE(d->windowTitle(), QStringLiteral("*send.tvx - Dati"));

  w.eUserCodeSend->setText(QStringLiteral("5678"));
  w.btnSendCodes->click();
  // While the send runs the window holds nothing that can be edited.
  QVERIFY(!d->btnUndo->isEnabled());
  QCOMPARE(d->tvUsers->model()->rowCount(), 0);
  QVERIFY(WaitForOperation(w));
  QCOMPARE(d->tvUsers->model()->rowCount(), 24);
  QVERIFY(!presenter_->boxes.isEmpty());
  QVERIFY2(presenter_->boxes.last().startsWith(QStringLiteral("Information: Dati trasferiti con successo!")),
           qPrintable(presenter_->boxes.join(QStringLiteral(" | "))));

  // The VYR32 holds the new name; the file on disk does not.
  const sim::SimBlockMap* map = sim::BlockMapFor("VYR32");
  const auto names = demo_->Line(1).Engine().ReadMemory(map->UserNamesAddr, map->UserNamesLen);
  QCOMPARE(PrintableField(names, 16 * static_cast<size_t>(other), 16), std::string("Installer"));
  std::vector<uint8_t> file;
  std::string error;
  QVERIFY(DecodeKeyCodeFile((site + QStringLiteral(".tvx")).toStdString(), &file, &error));
  SmallPanelImage onDisk;
  std::copy(file.begin(), file.end(), onDisk.Bytes().begin());
  QVERIFY(onDisk.User(static_cast<size_t>(other)).Name() != "Installer");
  QCOMPARE(d->windowTitle(), QStringLiteral("*send.tvx - Dati"));
}

void TDataWindowTest::unsavedChangesAreAskedAboutBeforeAReadOrAClose() {
  TfrmMain& w = *w_;
  Check(0);
  Read();
  TfrmData* d = Open();
  QVERIFY(d);
  const int main = MainUserRow(d->Model());
  const int other = main == 1 ? 2 : 1;
  const QString before = Cell(d->tvUsers, other, UserColName);
  EditCell(d->tvUsers, other, UserColName, QStringLiteral("Cambiato"));

  // Cancel: no read, the change stays.
  presenter_->answers = {TAnswer::Cancel};
  w.btnUserCode->click();
  QVERIFY(!w.OperationRunning());
  QCOMPARE(presenter_->questions,
           QStringList{QStringLiteral("Warning: Salvare le modifiche a VYR8 v.2.10? [Salva | Non salvare | Annulla]")});
  QCOMPARE(Cell(d->tvUsers, other, UserColName), QStringLiteral("Cambiato"));
  // The main window does not close on Cancel.
  presenter_->answers = {TAnswer::Cancel};
  QVERIFY(!w.close());
  QVERIFY(w.isVisible());
  QVERIFY(d->isVisible());
  QCOMPARE(presenter_->questions.size(), 2);

  // Don't save: the read goes on and brings the panel's name back.
  presenter_->answers = {TAnswer::Discard};
  w.btnUserCode->click();
  QVERIFY(WaitForOperation(w));
  QCOMPARE(presenter_->questions.size(), 3);
  QCOMPARE(Cell(d->tvUsers, other, UserColName), before);
  QCOMPARE(d->windowTitle(), QStringLiteral("VYR8 v.2.10 - Dati"));

  // In English, Save before closing: the file holds the change and the
  // window goes.
  w.cbLingua->setCurrentIndex(0);
  EditCell(d->tvUsers, other, UserColName, QStringLiteral("Kept"));
  const QString site = dir_.filePath(QStringLiteral("closing"));
  w.eSaveToFile->setText(site);
  presenter_->answers = {TAnswer::Save};
  QVERIFY(w.close());
  QCOMPARE(presenter_->questions.last(),
           QStringLiteral("Warning: Save the changes to VYR8 v.2.10? [Save | Don't save | Cancel]"));
  QVERIFY(!d->isVisible());
  std::vector<uint8_t> file;
  std::string error;
  QVERIFY2(DecodeKeyCodeFile((site + QStringLiteral(".tvx")).toStdString(), &file, &error), error.c_str());
  SmallPanelImage saved;
  std::copy(file.begin(), file.end(), saved.Bytes().begin());
  QCOMPARE(saved.User(static_cast<size_t>(other)).Name(), std::string("Kept"));
  QVERIFY(presenter_->boxes.isEmpty());
}

void TDataWindowTest::unsavedChangesAreAskedAboutBeforeALoad() {
  TfrmMain& w = *w_;
  Check(0);
  Read();
  const QString site = dir_.filePath(QStringLiteral("load"));
  w.eSaveToFile->setText(site);
  w.btnSaveToFile->click();
  Check(1);
  w.eLoadFromFile->setText(site + QStringLiteral(".tvx"));
  w.btnLoadFromFile->click();
  TfrmData* d = Open();
  QVERIFY(d);
  const int main = MainUserRow(d->Model());
  const int other = main == 1 ? 2 : 1;
  const QString before = Cell(d->tvUsers, other, UserColName);

  // Cancel: nothing is loaded.
  EditCell(d->tvUsers, other, UserColName, QStringLiteral("Primo"));
  presenter_->answers = {TAnswer::Cancel};
  w.btnLoadFromFile->click();
  QCOMPARE(presenter_->questions.size(), 1);
  QCOMPARE(Cell(d->tvUsers, other, UserColName), QStringLiteral("Primo"));
  QVERIFY(d->btnUndo->isEnabled());
  // Don't save: the file's data comes back.
  presenter_->answers = {TAnswer::Discard};
  w.btnLoadFromFile->click();
  QCOMPARE(Cell(d->tvUsers, other, UserColName), before);
  QVERIFY(!d->btnUndo->isEnabled());
  // Save: the file is written first, so the load brings the change.
  EditCell(d->tvUsers, other, UserColName, QStringLiteral("Secondo"));
  presenter_->answers = {TAnswer::Save};
  w.btnLoadFromFile->click();
  QCOMPARE(presenter_->questions.size(), 3);
  QCOMPARE(presenter_->questions.last(),
           QStringLiteral("Warning: Salvare le modifiche a load.tvx? [Salva | Non salvare | Annulla]"));
  QCOMPARE(Cell(d->tvUsers, other, UserColName), QStringLiteral("Secondo"));
  QCOMPARE(d->windowTitle(), QStringLiteral("load.tvx - Dati"));
  QVERIFY(!d->btnUndo->isEnabled());
  QVERIFY(presenter_->boxes.isEmpty());
}

void TDataWindowTest::theLargeImageIsShownReadOnly() {
  LargePanelImage large;
  SetImageModel(large.Bytes(), 6);
  SetImageDescription(large.Bytes(), "VYR 320 v.2.05");
  large.Region(3)[0] = 0x00;
  TDataModel data;
  data.AttachLarge(large.Bytes());
  data.SetSource("big.tvx");
  TDataWindowModel model(data, TLanguage::English);
  model.Opened();
  int saves = 0;
  TfrmData d(model, [&saves] {
    ++saves;
    return true;
  });
  d.show();
  QCOMPARE(d.windowTitle(), QStringLiteral("big.tvx - Data"));
  QVERIFY(d.lblHeader->text().contains(QStringLiteral("Model: VYR 320 (6)")));
  QVERIFY(d.tvRegions->isVisible());
  QVERIFY(!d.tvUsers->isVisible());
  QVERIFY(!d.tvKeys->isVisible());
  QVERIFY(!d.cbShowCodes->isVisible());
  QVERIFY(!d.btnClearUser->isVisible());
  QCOMPARE(d.tvRegions->model()->rowCount(), 7);
  QCOMPARE(d.tvRegions->model()->headerData(RegionColRecordsInUse, Qt::Horizontal).toString(), QStringLiteral("In use"));
  QCOMPARE(Cell(d.tvRegions, 3, RegionColRecordsInUse), QStringLiteral("1"));
  QCOMPARE(Cell(d.tvRegions, 2, RegionColRecordsInUse), QStringLiteral("0"));
  for (int c = 0; c < d.tvRegions->model()->columnCount(); ++c)
    QVERIFY(!(d.tvRegions->model()->index(0, c).flags() & Qt::ItemIsEditable));
  d.tvRegions->setCurrentIndex(d.tvRegions->model()->index(0, RegionColRecords));
  d.tvRegions->setFocus();
  QTest::keyClick(d.tvRegions, Qt::Key_F2);
  QVERIFY(!d.tvRegions->findChild<QLineEdit*>(QStringLiteral("edCell")));
  QVERIFY(!d.btnUndo->isEnabled());
  // Saved as it stands, through the main window's save.
  QVERIFY(d.btnSave->isEnabled());
  d.btnSave->click();
  QCOMPARE(saves, 1);
}

QTEST_MAIN(TDataWindowTest)
#include "data_window_qt_test.moc"
