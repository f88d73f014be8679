// The help guide built into the program: every page is reached from the
// contents, every link and picture points at something that is there, no
// picture lies unused, and the help window's buttons move through the pages.
#include <gtest/gtest.h>

#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>
#include <QTextBrowser>
#include <QToolButton>
#include <deque>

#include "app/helpviewer.h"
#include "app_fixture.h"

namespace sl::test {
namespace {

QString ReadResource(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return {};
  return QString::fromUtf8(file.readAll());
}

TEST(HelpGuide, EveryPageIsReachedAndEveryLinkAndPictureResolves) {
  EnsureQtApp();
  const QString root = QStringLiteral(":/help/");
  QSet<QString> files;
  for (QDirIterator it(root, QDir::Files, QDirIterator::Subdirectories); it.hasNext();)
    files.insert(it.next().mid(root.size()));
  ASSERT_TRUE(files.contains("index.html"));

  const QRegularExpression attribute(QStringLiteral(R"re((href|src)="([^"]*)")re"));
  QSet<QString> reached{"index.html"}, used;
  QStringList broken;
  std::deque<QString> pending{"index.html"};
  while (!pending.empty()) {
    const QString page = pending.front();
    pending.pop_front();
    const QString html = ReadResource(root + page);
    EXPECT_FALSE(html.isEmpty()) << page.toStdString();
    EXPECT_TRUE(html.contains("<title>")) << page.toStdString();
    for (auto m = attribute.globalMatch(html); m.hasNext();) {
      const auto match = m.next();
      const QString target = match.captured(2);
      if (target.startsWith("http:") || target.startsWith("https:") || target.startsWith("mailto:")) continue;
      const QString file = target.section('#', 0, 0);
      const QString anchor = target.section('#', 1);
      const QString resolved = file.isEmpty() ? page : QDir::cleanPath(QFileInfo(page).path() + "/" + file);
      if (!files.contains(resolved)) {
        broken << page + " -> " + target;
        continue;
      }
      used.insert(resolved);
      if (!anchor.isEmpty() && !ReadResource(root + resolved).contains("name=\"" + anchor + "\""))
        broken << page + " -> " + target + " (no such anchor)";
      if (resolved.endsWith(".html") && !reached.contains(resolved)) {
        reached.insert(resolved);
        pending.push_back(resolved);
      }
    }
  }
  EXPECT_TRUE(broken.isEmpty()) << broken.join("\n").toStdString();
  for (const QString& file : files) {
    if (file.endsWith(".html")) {
      EXPECT_TRUE(reached.contains(file)) << "not linked: " << file.toStdString();
    }
    if (file.startsWith("images/")) {
      EXPECT_TRUE(used.contains(file)) << "not shown: " << file.toStdString();
    }
  }
}

TEST(HelpGuide, WindowButtonsMoveThroughThePages) {
  EnsureQtApp();
  app::HelpViewer help(nullptr);
  EXPECT_EQ(help.Browser->source().toString(), app::HelpViewer::kHelpPage);
  EXPECT_EQ(help.windowTitle(), QStringLiteral("Sonolabel ヘルプ"));
  EXPECT_FALSE(help.BackButton->isEnabled());
  EXPECT_FALSE(help.ForwardButton->isEnabled());

  // Following a link, as the browser resolves it: the page and its title,
  // and the way back.
  help.Browser->setSource(help.Browser->source().resolved(QUrl(QStringLiteral("drive.html"))));
  EXPECT_EQ(help.Browser->source().toString(), QStringLiteral("qrc:/help/drive.html"));
  EXPECT_TRUE(help.windowTitle().startsWith(QStringLiteral("CDを読み込む")))
      << help.windowTitle().toStdString();
  // Its picture was loaded from the resource, not left as a blank.
  const QVariant picture =
      help.Browser->document()->resource(QTextDocument::ImageResource, QUrl("images/drive-list.png"));
  EXPECT_TRUE(picture.isValid());
  EXPECT_TRUE(help.BackButton->isEnabled());
  help.BackButton->click();
  EXPECT_EQ(help.Browser->source().toString(), app::HelpViewer::kHelpPage);
  EXPECT_TRUE(help.ForwardButton->isEnabled());
  help.ForwardButton->click();
  EXPECT_EQ(help.Browser->source().toString(), QStringLiteral("qrc:/help/drive.html"));
  help.HomeButton->click();
  EXPECT_EQ(help.Browser->source().toString(), app::HelpViewer::kHelpPage);
}

}  // namespace
}  // namespace sl::test
