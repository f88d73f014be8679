// The running program's four forms, created in the order the program
// defines (main window, match dialog, options dialog, version dialog) and
// kept until it ends, plus the message pump the core waits with.
#pragma once

#include <memory>

#include "mainform/mainform.h"

namespace sl::app {

class TAboutBox;
class TFormMain;
class TFormOption;
class TFormSearch;

class Program {
 public:
  explicit Program(mainform::Environment env);
  ~Program();
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  TFormMain& FormMain() { return *formMain_; }
  TFormSearch& FormSearch() { return *formSearch_; }
  TFormOption& FormOption() { return *formOption_; }
  TAboutBox& AboutBox() { return *aboutBox_; }

 private:
  std::unique_ptr<TFormMain> formMain_;
  // Owned by the main window (their parent).
  TFormSearch* formSearch_ = nullptr;
  TFormOption* formOption_ = nullptr;
  TAboutBox* aboutBox_ = nullptr;
};

}  // namespace sl::app
