// The application object and the program's start-up.
#pragma once

#include <QApplication>

namespace sl::app {

// Catches what escapes an event handler: the standard exception box is shown
// and the event loop goes on.
class SonolabelApplication : public QApplication {
  Q_OBJECT

 public:
  SonolabelApplication(int& argc, char** argv);
  bool notify(QObject* receiver, QEvent* event) override;
};

// Maps the forms' interface font to the installed Japanese font with the
// same metrics and makes it the application's font (12 pixels).
void InstallInterfaceFont();

// The whole program: application object, the four forms, the event loop.
// Always returns 0, as the process's exit code.
int RunSonolabel(int argc, char** argv);

}  // namespace sl::app
