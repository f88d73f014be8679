// The application object and the program's start-up.
#pragma once

#include <QApplication>
#include <QIcon>
#include <QTranslator>

namespace sl::app {

// Catches what escapes an event handler: the standard exception box is shown
// and the event loop goes on.
class SonolabelApplication : public QApplication {
  Q_OBJECT

 public:
  SonolabelApplication(int& argc, char** argv);
  bool notify(QObject* receiver, QEvent* event) override;

  // Whether Qt's own Japanese texts (standard buttons, dialogs) were found.
  bool QtTranslationLoaded() const { return qtTranslationLoaded_; }

 private:
  QTranslator qtTranslation_;
  bool qtTranslationLoaded_ = false;
};

// Maps the forms' interface font to the installed Japanese font with the
// same metrics and makes it the application's font (12 pixels).
void InstallInterfaceFont();

// The program's icon in every size it comes in.
QIcon ProgramIcon();

// Whether the command line asks for demo mode ("--demo").
bool WantsDemo(int argc, char** argv);

// The whole program: application object, the four forms, the event loop.
// Returns the process's exit code: 0, or 1 when demo mode was asked for
// and could not start (a box has said why).
int RunSonolabel(int argc, char** argv);

}  // namespace sl::app
