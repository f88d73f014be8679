#include "app/helpviewer.h"

#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QTextBrowser>
#include <QToolButton>
#include <QVBoxLayout>

namespace sl::app {

const QString HelpViewer::kHelpPage = QStringLiteral("qrc:/help/index.html");

namespace {

QToolButton* NavigationButton(QWidget* parent, const char* name, const QString& text) {
  auto* button = new QToolButton(parent);
  button->setObjectName(QString::fromLatin1(name));
  button->setText(text);
  button->setToolButtonStyle(Qt::ToolButtonTextOnly);
  return button;
}

}  // namespace

HelpViewer::HelpViewer(QWidget* owner) : QWidget(owner, Qt::Window) {
  setObjectName(QStringLiteral("helpViewer"));
  setWindowTitle(QStringLiteral("Sonolabel ヘルプ"));
  // Wide enough for the pictures of the main window beside nothing else.
  resize(700, 560);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  auto* bar = new QHBoxLayout;
  bar->setContentsMargins(4, 4, 4, 4);
  BackButton = NavigationButton(this, "BackButton", QStringLiteral("← 戻る"));
  ForwardButton = NavigationButton(this, "ForwardButton", QStringLiteral("進む →"));
  HomeButton = NavigationButton(this, "HomeButton", QStringLiteral("目次"));
  bar->addWidget(BackButton);
  bar->addWidget(ForwardButton);
  bar->addWidget(HomeButton);
  bar->addStretch();
  layout->addLayout(bar);
  Browser = new QTextBrowser(this);
  Browser->setObjectName(QStringLiteral("HelpBrowser"));
  // Links to the outside world open in the desktop's browser, not here.
  Browser->setOpenExternalLinks(true);
  layout->addWidget(Browser);
  BackButton->setEnabled(false);
  ForwardButton->setEnabled(false);
  connect(BackButton, &QToolButton::clicked, Browser, &QTextBrowser::backward);
  connect(ForwardButton, &QToolButton::clicked, Browser, &QTextBrowser::forward);
  connect(HomeButton, &QToolButton::clicked, Browser, &QTextBrowser::home);
  connect(Browser, &QTextBrowser::backwardAvailable, BackButton, &QToolButton::setEnabled);
  connect(Browser, &QTextBrowser::forwardAvailable, ForwardButton, &QToolButton::setEnabled);
  // The window's title follows the page's.
  connect(Browser, &QTextBrowser::sourceChanged, this, [this] {
    const QString title = Browser->documentTitle();
    setWindowTitle(title.isEmpty() ? QStringLiteral("Sonolabel ヘルプ") : title);
  });
  Browser->setSource(QUrl(kHelpPage));
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
