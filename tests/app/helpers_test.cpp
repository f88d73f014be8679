// Hint splitting, the exception box's text, window centring and the help
// file search: the small rules the forms are built on.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

#include "app/exceptionbox.h"
#include "app/helpviewer.h"
#include "app/hints.h"
#include "app/window_position.h"
#include "support/recorder.h"

namespace sl::app {
namespace {

TEST(Hints, SplitAtFirstBarWithoutTrimming) {
  // Short and long parts keep their blanks, as written in the hint.
  const QString drive = QStringLiteral("CD-ROMドライブ | CDをセットしたドライブを選択します。 ");
  EXPECT_EQ(ShortHint(drive), QStringLiteral("CD-ROMドライブ "));
  EXPECT_EQ(LongHint(drive), QStringLiteral(" CDをセットしたドライブを選択します。 "));

  const QString help = QStringLiteral("ヘルプ|ヘルプを表示します。");
  EXPECT_EQ(ShortHint(help), QStringLiteral("ヘルプ"));
  EXPECT_EQ(LongHint(help), QStringLiteral("ヘルプを表示します。"));

  // No bar: both parts are the whole hint.
  const QString save = QStringLiteral("曲名データを保存します。");
  EXPECT_EQ(ShortHint(save), save);
  EXPECT_EQ(LongHint(save), save);

  // Only the first bar splits; later ones belong to the long part.
  EXPECT_EQ(LongHint(QStringLiteral("a|b|c")), QStringLiteral("b|c"));
  EXPECT_EQ(ShortHint(QStringLiteral("a|b|c")), QStringLiteral("a"));
  // Edge bars give empty parts, and an empty hint stays empty.
  EXPECT_EQ(ShortHint(QStringLiteral("|x")), QString());
  EXPECT_EQ(LongHint(QStringLiteral("x|")), QString());
  EXPECT_EQ(LongHint(QString()), QString());
}

TEST(ExceptionBox, FullStopAddedAfterCharactersSortingAfterDot) {
  EXPECT_EQ(ExceptionText(QStringLiteral("boom")), QStringLiteral("boom."));
  EXPECT_EQ(ExceptionText(QStringLiteral("done.")), QStringLiteral("done."));
  EXPECT_EQ(ExceptionText(QStringLiteral("what!")), QStringLiteral("what!"));  // '!' < '.'
  EXPECT_EQ(ExceptionText(QStringLiteral("失敗しました。")), QStringLiteral("失敗しました。."));
  EXPECT_EQ(ExceptionText(QString()), QString());
}

TEST(WindowPosition, CentresWithTruncationTowardZero) {
  EXPECT_EQ(CentredPosition(QSize(1024, 768), QSize(625, 390)), QPoint(199, 189));
  EXPECT_EQ(CentredPosition(QSize(800, 600), QSize(625, 390)), QPoint(87, 105));
  EXPECT_EQ(CentredPosition(QSize(1024, 768), QSize(298, 182)), QPoint(363, 293));
  // A window wider than the screen: (600 - 625) / 2 = -12.5 becomes -12.
  EXPECT_EQ(CentredPosition(QSize(600, 400), QSize(625, 390)), QPoint(-12, 5));
}

TEST(HelpFile, FoundInTheFirstFolderThatHasIt) {
  test::TempDir first, second;
  const QString a = QString::fromStdString(first.Path());
  const QString b = QString::fromStdString(second.Path());
  EXPECT_EQ(FindHelpFile({a, b}), QString());
  EXPECT_EQ(FindHelpFile({}), QString());
  test::WriteFileBytes(second.File("tunedex.chm"), "ITSF");
  EXPECT_EQ(FindHelpFile({QString(), a, b}), QDir(b).filePath("tunedex.chm"));
  test::WriteFileBytes(first.File("tunedex.chm"), "ITSF");
  EXPECT_EQ(FindHelpFile({a, b}), QDir(a).filePath("tunedex.chm"));
  // A folder of that name is not the help file.
  test::TempDir third;
  QDir(QString::fromStdString(third.Path())).mkdir("tunedex.chm");
  EXPECT_EQ(FindHelpFile({QString::fromStdString(third.Path())}), QString());
}

}  // namespace
}  // namespace sl::app
