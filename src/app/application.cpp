#include "app/application.h"

#include <QFont>
#include <QIcon>
#include <QLibraryInfo>
#include <QLocale>
#include <QMessageBox>
#include <cstring>
#include <exception>
#include <filesystem>
#include <string>

#include "app/automation.h"
#include "app/exceptionbox.h"
#include "app/mainwindow.h"
#include "app/program.h"
#include "app/texts.h"
#include "demo/demo.h"
#include "platform/install_paths.h"

namespace sl::app {

SonolabelApplication::SonolabelApplication(int& argc, char** argv) : QApplication(argc, argv) {
  setApplicationName(kAppTitle);
  // The desktop entry this program is started from (its icon and name in
  // the desktop's task list), and the icon of its windows.
  setDesktopFileName(kDesktopId);
  setWindowIcon(ProgramIcon());
  // The main window's close box ends the program (after its close handler),
  // not the last window that happens to close.
  setQuitOnLastWindowClosed(false);
  // The window speaks Japanese whatever the user's locale, and so do the
  // buttons and dialogs Qt makes for it (OK/Cancel, Yes/No): Qt's own
  // Japanese translations (Debian qt6-translations-l10n).
  qtTranslationLoaded_ =
      qtTranslation_.load(QLocale(QLocale::Japanese, QLocale::Japan), QStringLiteral("qtbase"),
                          QStringLiteral("_"), QLibraryInfo::path(QLibraryInfo::TranslationsPath));
  if (qtTranslationLoaded_) installTranslator(&qtTranslation_);
}

bool SonolabelApplication::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (const std::exception& e) {
    ShowException(QString::fromStdString(e.what()));
  } catch (...) {
    ShowException(QString());
  }
  return false;
}

void InstallInterfaceFont() {
  QFont::insertSubstitution(kInterfaceFont, kInterfaceFontSubstitute);
  QFont font(kInterfaceFont);
  font.setPixelSize(kInterfaceFontPx);
  QApplication::setFont(font);
}

QIcon ProgramIcon() {
  QIcon icon;
  for (int size : {16, 22, 24, 32, 48, 64, 128, 256})
    icon.addFile(QStringLiteral(":/icons/sonolabel-%1.png").arg(size), QSize(size, size));
  return icon;
}

bool WantsDemo(int argc, char** argv) {
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], "--demo") == 0) return true;
  return false;
}

int RunSonolabel(int argc, char** argv) {
  const auto mainEntered = std::chrono::steady_clock::now();
  // The configuration, read once here before any thread exists: the
  // environment, then the demo's changes to it (the demo starts first; its
  // server stops when this returns), then the paths.
  config::Configuration configuration = config::ReadConfiguration(config::ProcessEnvironment());
  demo::DemoSession demo;
  std::string demoError;
  if (WantsDemo(argc, argv)) {
    const std::string exe = platform::RunningExecutable();
    demo.Start(std::filesystem::path(exe).parent_path().string(), configuration, demoError);
  }
  mainform::ResolvePaths(configuration);
  mainform::ApplyProcessWideSettings(configuration);
  SonolabelApplication app(argc, argv);
  InstallInterfaceFont();
  if (!demoError.empty()) {
    QMessageBox::critical(nullptr, kAppTitle, QString::fromStdString(demoError));
    return 1;
  }
  try {
    Program program(configuration);
    QObject::connect(&program.Window(), &MainWindow::formClosed, &app, &QCoreApplication::quit,
                     Qt::QueuedConnection);
    InstallAutomation(program, configuration.automation, mainEntered);
    program.Window().show();
    app.exec();
  } catch (const std::exception& e) {
    ShowException(QString::fromStdString(e.what()));
  } catch (...) {
    ShowException(QString());
  }
  return 0;
}

}  // namespace sl::app
