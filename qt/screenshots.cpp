#include "qt/screenshots.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QEventLoop>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QFile>
#include <QTimer>

#include <cstdio>

#include "qt/code_edit.h"
#include "qt/data_window.h"
#include "demo/demo_panels.h"
#include "qt/main_window.h"
#include "qt/supported_panels.h"

namespace tarvex {

namespace {

// No one is there to close a box: say what it said and go on.
class TLoggingPresenter : public TMessagePresenter {
 public:
  void Show(QWidget*, TBoxKind kind, const QString& text) override {
    std::fprintf(stderr, "%s: %s\n", BoxTitle(kind), qPrintable(text));
  }
  // The pictures are made of walks that never need the answer: the box's
  // text is logged and the question closed.
  TAnswer Ask(QWidget* parent, TBoxKind kind, const QString& text,
              const std::vector<TQuestionButton>& buttons) override {
    Show(parent, kind, text);
    return buttons.empty() ? TAnswer::Cancel : buttons.back().answer;
  }
};

void Settle() {
  for (int i = 0; i < 5; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
}

// Runs the event loop until the window's operation has ended.
bool WaitForOperation(TfrmMain& w, int limitMs) {
  if (!w.OperationRunning()) return true;
  QEventLoop loop;
  QTimer limit;
  limit.setSingleShot(true);
  QObject::connect(&w, &TfrmMain::OperationFinished, &loop, &QEventLoop::quit);
  QObject::connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
  limit.start(limitMs);
  loop.exec();
  return !w.OperationRunning();
}

}  // namespace

QStringList MakeScreenshots(const QString& dir, QString* error) {
  QStringList written;
  auto fail = [&](const QString& why) {
    *error = why;
    return QStringList();
  };
  if (!QDir().mkpath(dir)) return fail(QStringLiteral("cannot make the folder ") + dir);
  auto save = [&](QWidget& w, const QString& name) {
    const QString path = QDir(dir).filePath(name);
    if (!w.grab().save(path, "PNG")) return false;
    written << path;
    return true;
  };

  TDemoPanels demo;
  std::string why;
  if (!demo.Start(false, &why)) return fail(QString::fromStdString(why));
  // A folder of a fixed name, so that the pictures show the same file name
  // on every run.
  QDir scratch(QDir(QDir::tempPath()).filePath(QStringLiteral("tarvex-demo")));
  if (!scratch.mkpath(QStringLiteral("."))) return fail(QStringLiteral("no temporary folder"));

  TWindowOptions options;
  options.leadingPorts = demo.Entries();
  options.deviceFolder.clear();  // the pictures show the demo panels only
  options.presenter = std::make_unique<TLoggingPresenter>();
  TfrmMain w(std::move(options));
  w.show();
  Settle();
  if (!save(w, QStringLiteral("main-it.png"))) return fail(QStringLiteral("cannot write main-it.png"));

  // Italian, reading the VYR8: the picture is taken while the keys are
  // read, with the bar part-way.
  bool shot = false;
  const QMetaObject::Connection midRead =
      QObject::connect(&w, &TfrmMain::TransferProgressHandled, &w, [&](int code, int) {
        const QProgressBar* bar = w.pbProgress;
        if (shot || code != ProgressStep || bar->maximum() < 300) return;
        const double part = double(bar->value()) / bar->maximum();
        if (part >= 0.4 && part <= 0.7) shot = save(w, QStringLiteral("main-reading.png"));
      });
  w.btnCheckConnection->click();
  if (!WaitForOperation(w, 20000) || !w.ControlStates().UserCode)
    return fail(QStringLiteral("the demo VYR8 was not identified"));
  w.EUserCode->setText(QStringLiteral("1234"));
  w.btnUserCode->click();
  if (!WaitForOperation(w, 60000) || !w.ControlStates().SaveGroup)
    return fail(QStringLiteral("the demo VYR8 could not be read"));
  QObject::disconnect(midRead);
  if (!shot) return fail(QStringLiteral("no progress step fell in the middle of the read"));

  // English: the same panel checked and read again, a file name typed.
  w.cbLingua->setCurrentIndex(0);
  w.btnCheckConnection->click();
  WaitForOperation(w, 20000);
  w.EUserCode->setText(QStringLiteral("1234"));
  w.btnUserCode->click();
  WaitForOperation(w, 60000);
  const QString file = scratch.filePath(QStringLiteral("site1.tvx"));
  w.eSaveToFile->setText(file);
  Settle();
  if (!save(w, QStringLiteral("main-en.png"))) return fail(QStringLiteral("cannot write main-en.png"));

  // The data window over what was read; codes as stars, as it opens.
  w.btnShowData->click();
  TfrmData* data = w.DataWindow();
  if (!data || data->Model().CodesShown()) return fail(QStringLiteral("the data window did not open with codes hidden"));
  Settle();
  if (!save(*data, QStringLiteral("data-en.png"))) return fail(QStringLiteral("cannot write data-en.png"));
  data->close();
  w.btnSaveToFile->click();

  // French: the VYR32 checked, the file loaded, its code typed, ready to send.
  w.cbLingua->setCurrentIndex(2);
  w.cbSerial->setCurrentIndex(1);
  w.btnCheckConnection->click();
  WaitForOperation(w, 20000);
  w.eLoadFromFile->setText(file);
  w.btnLoadFromFile->click();
  w.eUserCodeSend->setText(QStringLiteral("5678"));
  Settle();
  if (!w.ControlStates().SendGroup) return fail(QStringLiteral("the saved file did not load"));
  if (!save(w, QStringLiteral("main-fr.png"))) return fail(QStringLiteral("cannot write main-fr.png"));

  const char* languages[] = {"en", "it", "fr"};
  for (int index = 0; index < 3; ++index) {
    TfrmSupportedPanels info;
    info.LanguageIndex = index;
    info.show();
    Settle();
    const QString name = QStringLiteral("supported-panels-%1.png").arg(QLatin1String(languages[index]));
    if (!save(info, name)) return fail(QStringLiteral("cannot write ") + name);
  }
  w.close();
  QFile::remove(file);
  QDir().rmdir(scratch.path());
  return written;
}

}  // namespace tarvex
