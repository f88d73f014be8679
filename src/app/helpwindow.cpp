#include "app/helpwindow.h"

#include <QDir>
#include <QFileInfo>
#include <QTextBrowser>
#include <QVBoxLayout>

namespace sl::app {

const QString THelpWindow::kHelpPage = QStringLiteral("qrc:/help/help.html");

THelpWindow::THelpWindow(QWidget* owner) : QWidget(owner, Qt::Window) {
  setObjectName(QStringLiteral("HelpWindow"));
  setWindowTitle(QStringLiteral("Sonolabel ヘルプ"));
  resize(560, 460);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  Browser = new QTextBrowser(this);
  Browser->setObjectName(QStringLiteral("HelpBrowser"));
  // Links to the outside world open in the desktop's browser, not here.
  Browser->setOpenExternalLinks(true);
  Browser->setSource(QUrl(kHelpPage));
  layout->addWidget(Browser);
}

QString FindHelpFile(const QStringList& folders) {
  for (const QString& folder : folders) {
    if (folder.isEmpty()) continue;
    const QFileInfo file(QDir(folder).filePath(QStringLiteral("tunedex.chm")));
    if (file.isFile() && file.isReadable()) return file.absoluteFilePath();
  }
  return {};
}

}  // namespace sl::app
