#include "app/window_position.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

namespace sl::app {

QPoint CentredPosition(QSize screen, QSize outer) {
  // Integer division in C++ truncates toward zero, as the formula requires.
  return {(screen.width() - outer.width()) / 2, (screen.height() - outer.height()) / 2};
}

QPoint CentredOnScreen(const QWidget& window) {
  const QScreen* screen = QGuiApplication::primaryScreen();
  const QSize screenSize = screen ? screen->geometry().size() : QSize(0, 0);
  return CentredPosition(screenSize, window.frameGeometry().size());
}

}  // namespace sl::app
