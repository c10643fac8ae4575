// tarvex: the window.
//
//   tarvex                    the window on this machine's serial ports
//   tarvex --demo             two simulated panels listed first in the ports
//   tarvex --demo-fast        the same panels, answering at once
//   tarvex --screenshots DIR  writes pictures of the windows and ends
//   tarvex --trace FILE       a trace of the panel line into FILE, for
//                             support (--trace-data: with the data bytes)
//
// The options are the Win32 window's too (app/start_options.h).
#include <QApplication>
#include <QFile>
#include <QStyleFactory>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/start_options.h"
#include "app/version.h"
#include "demo/demo_panels.h"
#include "qt/icons.h"
#include "qt/main_window.h"
#include "qt/screenshots.h"

using namespace tarvex;

namespace {

constexpr TWindowAbilities kAbilities{/*screenshots=*/true};

void Usage(std::FILE* to) { std::fputs(StartOptionsHelp("tarvex", kAbilities).c_str(), to); }

}  // namespace

int main(int argc, char** argv) {
  // Pictures need no display: unless told otherwise they are drawn on the
  // offscreen platform. Decided before the application object exists.
  for (int i = 1; i < argc; ++i)
    if ((std::strcmp(argv[i], "--screenshots") == 0 || std::strncmp(argv[i], "--screenshots=", 14) == 0) &&
        qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
      qputenv("QT_QPA_PLATFORM", "offscreen");

  // Qt takes its own options (-platform, -style, ...) out of argv here.
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Tarvex"));
  QApplication::setApplicationVersion(QString::fromLatin1(kTarvexVersion));
  QApplication::setWindowIcon(ProgramIcon());
  // One look everywhere: the colours of the window are chosen for it.
  if (QStyle* fusion = QStyleFactory::create(QStringLiteral("Fusion"))) QApplication::setStyle(fusion);

  // File names as the system gives them (the locale's encoding), which is
  // what opening them takes.
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  const TStartParse parsed = ParseStartOptions(args, kAbilities);
  if (!parsed.Ok()) {
    std::fprintf(stderr, "tarvex: %s\n\n", parsed.error.c_str());
    Usage(stderr);
    return 2;
  }
  const TStartOptions& o = parsed.options;
  if (o.help) {
    Usage(stdout);
    return 0;
  }
  if (o.version) {
    std::printf("Tarvex %s\n", kTarvexVersion);
    return 0;
  }

  if (!o.screenshotsDir.empty()) {
    QString error;
    const QStringList files = MakeScreenshots(QFile::decodeName(o.screenshotsDir.c_str()), &error);
    if (files.isEmpty()) {
      std::fprintf(stderr, "tarvex: %s\n", qPrintable(error));
      return 1;
    }
    for (const QString& f : files) std::printf("%s\n", qPrintable(f));
    return 0;
  }

  TWindowOptions options;
  if (!o.tracePath.empty()) {
    std::string error;
    options.trace = OpenLineTrace(o.tracePath, o.traceData, "tarvex", &error);
    if (!options.trace) {
      std::fprintf(stderr, "tarvex: cannot write the line trace: %s\n", error.c_str());
      return 2;
    }
  }
  // The demo's panels outlive the window, whose operations use them.
  TDemoPanels demo;
  if (o.demo) {
    std::string error;
    if (!demo.Start(!o.demoAtOnce, &error)) {
      std::fprintf(stderr, "tarvex: the demo panels cannot start: %s\n", error.c_str());
      return 1;
    }
    options.leadingPorts = demo.Entries();
  }
  TfrmMain w(std::move(options));
  w.show();
  return app.exec();
}
