// Shared set-up for the widget tests: one offscreen application object for
// the whole test program, a temporary program folder with a settings file
// and simulated drives, and a driver that answers modal dialogs as they
// appear.
#pragma once

#include <gtest/gtest.h>

#include <QPointer>
#include <QString>
#include <QTimer>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

#include "app/program.h"
#include "mainform/mainform.h"
#include "support/recorder.h"

class QWidget;

namespace sl::test {

// Creates the application (offscreen, or the platform SONOLABEL_TEST_QPA
// names; interface font installed) on first use.
void EnsureQtApp();

// Answers modal dialogs while they run: each time a modal widget is up, the
// next queued answer gets it. A modal widget with no answer queued is counted
// as unexpected and dismissed (message boxes accepted, everything else
// rejected or cancelled), so a test never hangs on one.
class ModalDriver {
 public:
  using Answer = std::function<void(QWidget*)>;
  ModalDriver();
  ~ModalDriver();
  ModalDriver(const ModalDriver&) = delete;
  ModalDriver& operator=(const ModalDriver&) = delete;

  void Then(Answer answer) { answers_.push_back(std::move(answer)); }
  int Unexpected() const { return unexpected_; }
  // Texts of the message boxes dismissed without an answer.
  const std::vector<QString>& DismissedTexts() const { return dismissed_; }
  bool AllAnswered() const { return answers_.empty(); }

 private:
  void Tick();
  QTimer timer_;
  std::deque<Answer> answers_;
  int unexpected_ = 0;
  std::vector<QString> dismissed_;
};

// A program folder with "sonolabel.INI" (e-mail set, two servers) and a
// simulated drives file (a 3-track disc at 0:0:0, an empty tray at 0:1:0).
class AppTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  mainform::Environment Env() const;
  // The four forms over this folder's files.
  std::unique_ptr<app::Program> MakeProgram();
  // Shows `w`, reads the 3-track disc and fills in titles "t1".."t3" and
  // artists "a1".."a3".
  static void ShowWithTitles(app::MainWindow& w);
  // Whether the simulated ASPI layer has been built.
  static bool HaveSimLayer();

  TempDir dir;
  std::unique_ptr<ModalDriver> modal;
};

}  // namespace sl::test
