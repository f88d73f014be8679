// The program's own help, shown when no "tunedex.chm" can be opened: the
// HTML page built into the program, in a plain browser window.
#pragma once

#include <QString>
#include <QStringList>
#include <QWidget>

class QTextBrowser;

namespace sl::app {

class THelpWindow : public QWidget {
  Q_OBJECT

 public:
  // The built-in help page.
  static const QString kHelpPage;

  explicit THelpWindow(QWidget* owner);

  QTextBrowser* Browser = nullptr;
};

// The first existing "tunedex.chm" in `folders`, or an empty string.
QString FindHelpFile(const QStringList& folders);

}  // namespace sl::app
