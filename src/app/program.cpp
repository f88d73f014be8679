#include "app/program.h"

#include <QCoreApplication>
#include <utility>

#include "app/aboutbox.h"
#include "app/formmain.h"
#include "app/formoption.h"
#include "app/formsearch.h"
#include "platform/pump.h"

namespace sl::app {

Program::Program(mainform::Environment env) {
  // The core's waits (network, drives) keep the window live through this
  // pump: widgets follow the model, then pending events run.
  platform::SetMessagePump([this] {
    if (formMain_) formMain_->SyncFromModel();
    QCoreApplication::processEvents();
  });
  try {
    formMain_ = std::make_unique<TFormMain>(std::move(env));
    formSearch_ = new TFormSearch(formMain_.get());
    formOption_ = new TFormOption(formMain_.get());
    aboutBox_ = new TAboutBox(formMain_.get());
  } catch (...) {
    platform::SetMessagePump({});
    throw;
  }
  formMain_->SetForms(formSearch_, formOption_, aboutBox_);
}

Program::~Program() {
  platform::SetMessagePump({});
  formMain_.reset();
}

}  // namespace sl::app
