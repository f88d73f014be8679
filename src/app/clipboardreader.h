// Reading the clipboard's text for a paste without freezing the window.
//
// On X11 the clipboard's text lives in the program that copied it and is
// asked for over the X server. Qt asks on the user-interface thread and
// waits up to five seconds per request without running the event loop, so
// a stopped or hung owner froze the window for many seconds. Here the
// request goes over an X connection of its own on a helper thread, while
// the window keeps painting; an owner that does not answer within the bound
// is reported as such. Elsewhere (Wayland, offscreen) Qt's clipboard is used.
#pragma once

#include <QClipboard>
#include <QString>
#include <chrono>
#include <cstddef>

namespace sl::app {

struct ClipboardRead {
  enum class Result {
    Text,      // `text` holds the clipboard's text (possibly empty)
    NoText,    // the clipboard is empty or holds no text
    NoAnswer,  // its owner did not answer within the bound
  };
  Result result = Result::NoText;
  QString text;
};

struct ClipboardLimits {
  // How long the owner may stay silent before the read gives up.
  std::chrono::milliseconds answerBound{2000};
  // The most bytes read; the rest of a longer text is left out (no paste
  // can use more than the grid holds).
  std::size_t maxBytes = 16u << 20;
};

// Reads the text of `mode` (the clipboard or, on X11, the selection). Runs
// the event loop while it waits, leaving out the user's input.
ClipboardRead ReadClipboardText(QClipboard::Mode mode, const ClipboardLimits& limits = {});

}  // namespace sl::app
