// Placing top-level windows the way the forms do it.
#pragma once

#include <QPoint>
#include <QSize>

class QWidget;

namespace sl::app {

// Top-left corner that centres a window of `outer` size on a screen of
// `screen` size: each coordinate is (screen - window) / 2, truncated toward
// zero (so a window larger than the screen gets a negative coordinate).
QPoint CentredPosition(QSize screen, QSize outer);

// The same for `window` (its outer size, frame included when known) on the
// primary screen.
QPoint CentredOnScreen(const QWidget& window);

}  // namespace sl::app
