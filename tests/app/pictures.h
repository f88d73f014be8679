// What the tests that take pictures of the program for its documentation
// share: a folder named by a variable (the test is skipped without it), an
// event loop that is let run until the window has painted, and the screen
// around a window, since pop-up menus and drop-down lists are windows of
// their own that a window's grab() leaves out.
#pragma once

#include <QPixmap>
#include <QString>

class QWidget;

namespace sl::test {

// Runs the event loop `rounds` times, 10 ms apart, so that layouts,
// pop-ups and repaints are done before a picture is taken.
void Settle(int rounds = 20);

// The screen from the top-left corner of `window`'s frame, `width` by
// `height` pixels.
QPixmap Screen(const QWidget* window, int width, int height);
// The screen under `window`'s frame and `extraHeight` pixels below it.
QPixmap Screen(const QWidget* window, int extraHeight = 0);

// The folder the pictures go to, from an environment variable.
class PictureFolder {
 public:
  explicit PictureFolder(const char* variable);
  // Whether the variable names a folder; without it there is nothing to do.
  bool Given() const { return !folder_.isEmpty(); }
  // Saves `pixmap` as PNG file `name` in the folder; a failure fails the
  // test.
  void Save(const QPixmap& pixmap, const char* name) const;

 private:
  QString folder_;
};

}  // namespace sl::test
