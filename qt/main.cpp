// tarvex: the window.
//
//   tarvex                    the window on this machine's serial ports
//   tarvex --demo             two simulated panels listed first in the ports
//   tarvex --screenshots DIR  writes pictures of the windows and ends
//   tarvex --trace FILE       a trace of the panel line into FILE, for
//                             support (--trace-data: with the data bytes)
#include <QApplication>
#include <QCommandLineParser>
#include <QFile>
#include <QStyleFactory>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "app/version.h"

#include "demo/demo_panels.h"
#include "qt/icons.h"
#include "qt/main_window.h"
#include "qt/screenshots.h"
#include "serial/trace.h"

using namespace tarvex;

int main(int argc, char** argv) {
  // Pictures need no display: unless told otherwise they are drawn on the
  // offscreen platform. Decided before the application object exists.
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], "--screenshots") == 0 && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
      qputenv("QT_QPA_PLATFORM", "offscreen");

  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Tarvex"));
  QApplication::setApplicationVersion(QString::fromLatin1(kTarvexVersion));
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
  const QCommandLineOption traceOption(QStringLiteral("trace"),
                                       QStringLiteral("Write a trace of the panel line into <file>, for support; "
                                                      "it holds no user codes."),
                                       QStringLiteral("file"));
  const QCommandLineOption traceDataOption(QStringLiteral("trace-data"),
                                           QStringLiteral("With --trace, write the data bytes of every block "
                                                          "too: the trace then holds user codes."));
  parser.addOption(demoOption);
  parser.addOption(shotsOption);
  parser.addOption(traceOption);
  parser.addOption(traceDataOption);
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

  TWindowOptions options;
  if (parser.isSet(traceDataOption) && !parser.isSet(traceOption)) {
    std::fprintf(stderr, "tarvex: --trace-data needs --trace FILE\n");
    return 2;
  }
  if (parser.isSet(traceOption)) {
    TTraceFileOptions traceOptions;
    traceOptions.withData = parser.isSet(traceDataOption);
    traceOptions.program = std::string("tarvex ") + kTarvexVersion;
    traceOptions.clock = &PlatformCommSystem();
    std::string error;
    options.trace = TTraceFile::Open(QFile::encodeName(parser.value(traceOption)).toStdString(), traceOptions, &error);
    if (!options.trace) {
      std::fprintf(stderr, "tarvex: cannot write the line trace: %s\n", error.c_str());
      return 2;
    }
  }
  TDemoPanels demo;
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
