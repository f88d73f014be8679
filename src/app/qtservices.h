// The shell services answered with Qt widgets: message boxes, the input box,
// the busy cursor and the match dialog.
#pragma once

#include <QPointer>
#include <QWidget>
#include <functional>
#include <string>

#include "shell/services.h"

namespace sl::app {

class OptionsDialog;
class MatchDialog;

class QtShellServices : public shell::ShellServices {
 public:
  QtShellServices() = default;
  ~QtShellServices() override;
  QtShellServices(const QtShellServices&) = delete;
  QtShellServices& operator=(const QtShellServices&) = delete;

  // The window the boxes belong to; none before the main window exists.
  void SetOwner(QWidget* owner) { owner_ = owner; }
  // The match dialog, created after the main window.
  void SetMatchDialog(MatchDialog* dialog);
  // The options dialog, created after the main window.
  void SetOptionDialog(OptionsDialog* dialog) { optionDialog_ = dialog; }
  // Runs before a box opens: the window shows (and paints) what the command
  // has set so far, such as the status text the box is about.
  void SetBeforeBox(std::function<void()> beforeBox) { beforeBox_ = std::move(beforeBox); }

  void MessageBox(shell::MsgIcon icon, const std::string& text) override;
  std::string InputBox(const std::string& caption, const std::string& prompt,
                       const std::string& placeholder) override;
  void SetBusyCursor(bool busy) override;
  int ShowMatchDialog(shell::MatchDialogModel& dialog) override;
  shell::MsgAnswer QuestionBox(const std::string& caption, const std::string& text,
                               shell::MsgButtons buttons) override;
  void Beep() override;
  int ShowOptionDialog(shell::OptionDialog& dialog) override;

  // How many busy requests are outstanding (the override cursor is pushed
  // once per request).
  int BusyDepth() const { return busyDepth_; }

 private:
  QPointer<QWidget> owner_;
  MatchDialog* matchDialog_ = nullptr;
  OptionsDialog* optionDialog_ = nullptr;
  int busyDepth_ = 0;
  std::function<void()> beforeBox_;
};

}  // namespace sl::app
