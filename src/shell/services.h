// What the core asks of whoever shows the window: message boxes, the input
// box, the busy cursor and the modal match dialog. The Qt face answers with
// widgets, the command line with stderr and stdin, tests with a recorder.
#pragma once

#include <string>

#include "shell/model.h"
#include "shell/optiondialog.h"

namespace sl::shell {

enum class MsgIcon { Information, Warning, Error };
enum class MsgButtons { YesNo, YesNoCancel };
enum class MsgAnswer { Yes, No, Cancel };

class ShellServices {
 public:
  virtual ~ShellServices() = default;

  // A modal box with one OK button.
  virtual void MessageBox(MsgIcon icon, const std::string& text) = 0;

  // A modal question box with a question icon and the given buttons;
  // `caption` empty means the program's title. A face that cannot ask
  // answers No.
  virtual MsgAnswer QuestionBox(const std::string& caption, const std::string& text, MsgButtons buttons) {
    (void)caption;
    (void)text;
    (void)buttons;
    return MsgAnswer::No;
  }

  // The exclamation beep that comes before some boxes.
  virtual void Beep() {}

  // A modal input box; returns the edited text on OK and `placeholder`
  // unchanged on Cancel.
  virtual std::string InputBox(const std::string& caption, const std::string& prompt,
                               const std::string& placeholder) = 0;

  // The arrow-with-hourglass cursor while a request runs.
  virtual void SetBusyCursor(bool busy) = 0;

  // Shows the match dialog modally over `dialog` (already filled) and returns
  // its result: the chosen grid row (1 or more) or -1 for Cancel. The face
  // keeps dialog.currentRow up to date.
  virtual int ShowMatchDialog(MatchDialogModel& dialog) = 0;

  // Shows the options dialog modally over `dialog` (its edits already
  // filled): runs dialog.FillFromSettings and HandleActivation, mirrors dialog.state,
  // forwards the user's gestures to its handlers, and returns kModalOk or
  // kModalCancel. A face without the dialog answers Cancel.
  virtual int ShowOptionDialog(OptionDialog& dialog) {
    (void)dialog;
    return kModalCancel;
  }
};

}  // namespace sl::shell
