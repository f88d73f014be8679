#include "app/application.h"

#include <QFont>
#include <exception>

#include "app/automation.h"
#include "app/exceptionbox.h"
#include "app/formmain.h"
#include "app/program.h"
#include "app/texts.h"

namespace sl::app {

SonolabelApplication::SonolabelApplication(int& argc, char** argv) : QApplication(argc, argv) {
  setApplicationName(kAppTitle);
  // The main window's close box ends the program (after its close handler),
  // not the last window that happens to close.
  setQuitOnLastWindowClosed(false);
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

int RunSonolabel(int argc, char** argv) {
  const auto mainEntered = std::chrono::steady_clock::now();
  SonolabelApplication app(argc, argv);
  InstallInterfaceFont();
  try {
    Program program(mainform::Environment::FromProcess());
    QObject::connect(&program.FormMain(), &TFormMain::formClosed, &app, &QCoreApplication::quit,
                     Qt::QueuedConnection);
    InstallAutomation(program, mainEntered);
    program.FormMain().show();
    app.exec();
  } catch (const std::exception& e) {
    ShowException(QString::fromStdString(e.what()));
  } catch (...) {
    ShowException(QString());
  }
  return 0;
}

}  // namespace sl::app
