// The standard exception box: what the program shows when an exception
// escapes a handler. The program goes on afterwards.
#pragma once

#include <QString>

namespace sl::app {

// The box's text: the message with a full stop appended when it is not empty
// and its last character sorts after ".".
QString ExceptionText(const QString& message);

// Shows the error box (title "Sonolabel", one OK button) over the active
// window.
void ShowException(const QString& message);

}  // namespace sl::app
