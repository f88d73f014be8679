// Shell services for tests: records every box, answers input boxes and the
// match dialog from queues, and can run a callback while "showing" a dialog
// to test re-entrance.
#pragma once

#include <array>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "shell/services.h"

namespace sl::test {

class RecordingServices : public shell::ShellServices {
 public:
  struct Box {
    shell::MsgIcon icon;
    std::string text;
  };
  std::vector<Box> boxes;
  std::vector<std::string> inputPrompts;
  std::deque<std::string> inputAnswers;  // empty queue: Cancel (placeholder returned)
  std::deque<int> matchAnswers;          // empty queue: Cancel (-1)
  std::vector<std::vector<std::array<std::string, 3>>> matchDialogs;  // rows shown, row 0 excluded
  int busyDepth = 0;
  int busyCalls = 0;
  std::function<void()> duringBox;  // run inside MessageBox, if set
  struct Question {
    std::string caption;
    std::string text;
    shell::MsgButtons buttons;
  };
  std::vector<Question> questions;
  std::deque<shell::MsgAnswer> questionAnswers;  // empty queue: No
  std::function<void()> duringQuestion;          // run inside QuestionBox, if set
  int beeps = 0;
  // Plays the user's part in the options dialog (after FillFromSettings and
  // HandleActivation have run) and returns its result; unset: Cancel.
  std::function<int(shell::OptionDialog&)> optionDialog;
  int optionDialogs = 0;  // times the options dialog was shown

  void MessageBox(shell::MsgIcon icon, const std::string& text) override;
  std::string InputBox(const std::string& caption, const std::string& prompt,
                       const std::string& placeholder) override;
  void SetBusyCursor(bool busy) override;
  int ShowMatchDialog(shell::MatchDialogModel& dialog) override;
  shell::MsgAnswer QuestionBox(const std::string& caption, const std::string& text,
                               shell::MsgButtons buttons) override;
  void Beep() override { ++beeps; }
  int ShowOptionDialog(shell::OptionDialog& dialog) override;

  // Texts of all boxes, in order.
  std::vector<std::string> BoxTexts() const;
};

// A fresh empty folder under the system temp folder, removed on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& Path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& bytes);

}  // namespace sl::test
