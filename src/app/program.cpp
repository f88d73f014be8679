#include "app/program.h"

#include <QCoreApplication>
#include <utility>

#include "app/aboutbox.h"
#include "app/mainwindow.h"
#include "app/matchdialog.h"
#include "app/optionsdialog.h"
#include "platform/pump.h"

namespace sl::app {

Program::Program(mainform::Environment env) {
  // The core's waits (network, drives) keep the window live through this
  // pump: widgets follow the model, then pending events run.
  platform::SetMessagePump([this] {
    if (window_) window_->SyncFromModel();
    QCoreApplication::processEvents();
  });
  try {
    window_ = std::make_unique<MainWindow>(std::move(env));
    matchDialog_ = new MatchDialog(window_.get());
    optionsDialog_ = new OptionsDialog(window_.get());
    aboutBox_ = new AboutBox(window_.get());
  } catch (...) {
    platform::SetMessagePump({});
    throw;
  }
  window_->SetDialogs(matchDialog_, optionsDialog_, aboutBox_);
}

Program::~Program() {
  platform::SetMessagePump({});
  window_.reset();
}

}  // namespace sl::app
