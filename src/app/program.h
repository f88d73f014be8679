// The running program's four forms, created in the order the program
// defines (main window, match dialog, options dialog, version dialog) and
// kept until it ends, plus the message pump the core waits with.
#pragma once

#include <memory>

#include "mainform/mainform.h"

namespace sl::app {

class AboutBox;
class MainWindow;
class OptionsDialog;
class MatchDialog;

class Program {
 public:
  explicit Program(mainform::Environment env);
  ~Program();
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  MainWindow& Window() { return *window_; }
  MatchDialog& MatchChooser() { return *matchDialog_; }
  OptionsDialog& OptionsWindow() { return *optionsDialog_; }
  AboutBox& AboutWindow() { return *aboutBox_; }

 private:
  std::unique_ptr<MainWindow> window_;
  // Owned by the main window (their parent).
  MatchDialog* matchDialog_ = nullptr;
  OptionsDialog* optionsDialog_ = nullptr;
  AboutBox* aboutBox_ = nullptr;
};

}  // namespace sl::app
