#include "pictures.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QGuiApplication>
#include <QScreen>
#include <QThread>
#include <QWidget>
#include <cstdlib>

namespace sl::test {

void Settle(int rounds) {
  for (int i = 0; i < rounds; ++i) {
    QApplication::processEvents();
    QThread::msleep(10);
  }
}

QPixmap Screen(const QWidget* window, int width, int height) {
  const QRect r = window->frameGeometry();
  return QGuiApplication::primaryScreen()->grabWindow(0, r.x(), r.y(), width, height);
}

QPixmap Screen(const QWidget* window, int extraHeight) {
  const QRect r = window->frameGeometry();
  return Screen(window, r.width(), r.height() + extraHeight);
}

PictureFolder::PictureFolder(const char* variable) : folder_(QString::fromLocal8Bit(std::getenv(variable))) {}

void PictureFolder::Save(const QPixmap& pixmap, const char* name) const {
  const QString file = folder_ + "/" + name;
  EXPECT_FALSE(pixmap.isNull()) << file.toStdString();
  EXPECT_TRUE(pixmap.save(file, "PNG")) << file.toStdString();
}

}  // namespace sl::test
