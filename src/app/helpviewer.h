// The program's own help, shown when no "tunedex.chm" can be opened: the
// HTML guide built into the program (docs/help/: pages and their images,
// under qrc:/help/), in a browser window with back, forward and contents
// buttons. The same pages are installed under share/doc/sonolabel/help/.
#pragma once

#include <QString>
#include <QStringList>
#include <QWidget>

class QTextBrowser;
class QToolButton;

namespace sl::app {

class HelpViewer : public QWidget {
  Q_OBJECT

 public:
  // The guide's first page (its contents).
  static const QString kHelpPage;

  explicit HelpViewer(QWidget* owner);

  QTextBrowser* Browser = nullptr;
  QToolButton* BackButton = nullptr;
  QToolButton* ForwardButton = nullptr;
  QToolButton* HomeButton = nullptr;
};

// The first existing "tunedex.chm" in `folders`, or an empty string.
QString FindHelpFile(const QStringList& folders);

}  // namespace sl::app
