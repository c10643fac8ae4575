// tarvex: the window.
//
//   tarvex                    the window on this machine's serial ports
//   tarvex --demo             two simulated panels listed first in the ports
//   tarvex --screenshots DIR  writes pictures of the windows and ends
#include <QApplication>
#include <QCommandLineParser>
#include <QStyleFactory>

#include <cstdio>
#include <cstring>

#include "demo/demo_panels.h"
#include "qt/icons.h"
#include "qt/main_window.h"
#include "qt/screenshots.h"

using namespace tarvex;

int main(int argc, char** argv) {
  // Pictures need no display: unless told otherwise they are drawn on the
  // offscreen platform. Decided before the application object exists.
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], "--screenshots") == 0 && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
      qputenv("QT_QPA_PLATFORM", "offscreen");

  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Tarvex"));
  QApplication::setApplicationVersion(QStringLiteral("2.04"));
  QApplication::setWindowIcon(ProgramIcon());
  // One look everywhere: the colours of the window are chosen for it.
  if (QStyle* fusion = QStyleFactory::create(QStringLiteral("Fusion"))) QApplication::setStyle(fusion);

  QCommandLineParser parser;
  parser.setApplicationDescription(QStringLiteral("Copies user codes, keys and cards between VYR alarm panels."));
  parser.addHelpOption();
  parser.addVersionOption();
  const QCommandLineOption demoOption(QStringLiteral("demo"),
                                      QStringLiteral("List two simulated panels first: a VYR8 (code 1234) "
                                                     "and a VYR32 (code 5678)."));
  const QCommandLineOption shotsOption(QStringLiteral("screenshots"),
                                       QStringLiteral("Write pictures of the windows into <dir> and end."),
                                       QStringLiteral("dir"));
  parser.addOption(demoOption);
  parser.addOption(shotsOption);
  parser.process(app);

  if (parser.isSet(shotsOption)) {
    QString error;
    const QStringList files = MakeScreenshots(parser.value(shotsOption), &error);
    if (files.isEmpty()) {
      std::fprintf(stderr, "tarvex: %s\n", qPrintable(error));
      return 1;
    }
    for (const QString& f : files) std::printf("%s\n", qPrintable(f));
    return 0;
  }

  TDemoPanels demo;
  TWindowOptions options;
  if (parser.isSet(demoOption)) {
    std::string error;
    if (!demo.Start(true, &error)) {
      std::fprintf(stderr, "tarvex: the demo panels cannot start: %s\n", error.c_str());
      return 1;
    }
    options.leadingPorts = demo.Entries();
  }
  TfrmMain w(std::move(options));
  w.show();
  return app.exec();
}
