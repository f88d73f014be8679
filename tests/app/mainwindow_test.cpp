// The main window on an offscreen screen: layout, menus, hints, tab order,
// the grid, the model/widget mirror, drive picks, close and exit.
#include <gtest/gtest.h>

#include <unistd.h>
#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QFontDatabase>
#include <QFontInfo>
#include <QFrame>
#include <QGuiApplication>
#include <QHeaderView>
#include <QInputDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QStatusTipEvent>
#include <QTableView>
#include <QTextBrowser>
#include <QTimer>
#include <QWindow>
#include <cstdio>
#include <stdexcept>

#include "app/aboutbox.h"
#include "app/helpviewer.h"
#include "app/mainwindow.h"
#include "app/matchdialog.h"
#include "app/optionsdialog.h"
#include "app/program.h"
#include "app_fixture.h"
#include "mainform/outcome_texts.h"
#include "platform/pump.h"
#include "support/cddbd_process.h"
#include "support/refusing_server.h"

namespace sl::test {
namespace {

using app::MainWindow;
using shell::MenuId;

class MainWindowTest : public AppTest {};

QStringList ActionNames(const QMenu* menu) {
  QStringList names;
  for (const QAction* a : menu->actions())
    names << (a->isSeparator() ? QStringLiteral("-") + a->objectName() : a->objectName());
  return names;
}

TEST_F(MainWindowTest, FormsAndPanelLayout) {
  auto program = MakeProgram();
  MainWindow& w = program->Window();

  EXPECT_EQ(w.windowTitle(), "Sonolabel");
  EXPECT_EQ(QApplication::applicationName(), "Sonolabel");
  EXPECT_EQ(w.size(), QSize(625, 390));
  // The other three forms exist from the start, owned by the main window in
  // the order they were created.
  QStringList dialogs;
  for (QObject* child : w.children())
    if (qobject_cast<QDialog*>(child)) dialogs << child->objectName();
  EXPECT_EQ(dialogs, (QStringList{"matchDialog", "optionsDialog", "aboutBox"}));
  EXPECT_EQ(program->OptionsWindow().windowTitle(), "オプション");
  EXPECT_EQ(program->OptionsWindow().size(), QSize(516, 193));
  EXPECT_FALSE(program->OptionsWindow().isVisible());

  EXPECT_EQ(w.discPanel->height(), 81);
  struct Expect {
    QWidget* widget;
    int left, top, width;  // width -1: not fixed
  };
  const Expect controls[] = {
      {w.driveLabel, 8, 8, -1},     {w.driveBox, 8, 32, 233},     {w.categoryLabel, 248, 7, -1},
      {w.categoryBox, 304, 5, 105}, {w.genreLabel, 416, 7, -1},   {w.genreBox, 496, 5, 113},
      {w.artistLabel, 248, 32, -1}, {w.artistEdit, 304, 30, 305}, {w.titleLabel, 248, 58, -1},
      {w.titleEdit, 304, 56, 305},  {w.yearLabel, 128, 58, -1},   {w.yearEdit, 168, 56, 73},
  };
  for (const Expect& c : controls) {
    SCOPED_TRACE(c.widget->objectName().toStdString());
    EXPECT_EQ(c.widget->parentWidget(), w.discPanel);
    EXPECT_EQ(c.widget->pos(), QPoint(c.left, c.top));
    if (c.width >= 0) {
      EXPECT_EQ(c.widget->width(), c.width);
    }
    EXPECT_LE(c.widget->geometry().bottom(), 81);
  }
  struct LabelExpect {
    QLabel* label;
    const char* text;
    int rightLimit;  // left edge of the control the label names
  };
  const LabelExpect labels[] = {{w.driveLabel, "CD-ROMドライブ", 625}, {w.artistLabel, "ｱｰﾃｨｽﾄ", 304},
                                {w.categoryLabel, "ｼﾞｬﾝﾙ", 304},       {w.titleLabel, "ﾀｲﾄﾙ", 304},
                                {w.genreLabel, "詳細ｼﾞｬﾝﾙ", 496},      {w.yearLabel, "年号", 168}};
  for (const LabelExpect& l : labels) {
    SCOPED_TRACE(l.text);
    EXPECT_EQ(l.label->text(), QString::fromUtf8(l.text));
    EXPECT_EQ(l.label->font().pixelSize(), 16);
    EXPECT_EQ(l.label->font().bold(), l.label == w.driveLabel);
    // A label never runs into the control it names.
    EXPECT_LT(l.label->geometry().right(), l.rightLimit);
  }
  // driveLabel sits above the drive box.
  EXPECT_LT(w.driveLabel->geometry().bottom(), 32);
  EXPECT_EQ(w.artistEdit->font().pixelSize(), 12);

  // The interface font stands in for "ＭＳ Ｐゴシック" when it is installed.
  if (QFontDatabase::families().contains("IPAPGothic")) {
    EXPECT_EQ(QFontInfo(w.artistEdit->font()).family(), "IPAPGothic");
  }

  ASSERT_EQ(w.categoryBox->count(), 11);
  EXPECT_EQ(w.categoryBox->itemText(0), "blues");
  EXPECT_EQ(w.categoryBox->itemText(10), "misc");
  ASSERT_EQ(w.genreBox->count(), 150);
  EXPECT_EQ(w.genreBox->itemText(0), "Acapella");
  EXPECT_EQ(w.genreBox->itemText(149), "Vocal");
  for (QComboBox* box : {w.driveBox, w.categoryBox, w.genreBox}) {
    EXPECT_TRUE(box->isEditable());
    EXPECT_EQ(box->insertPolicy(), QComboBox::NoInsert);
  }
  // Nothing chosen at start: the boxes are as empty as the model.
  EXPECT_EQ(w.categoryBox->currentText(), "");
  EXPECT_EQ(w.genreBox->currentText(), "");

  // Status bar: panel 0 150 px with the state message, panel 1 50 px at
  // least, empty.
  w.show();
  EXPECT_EQ(w.statusPanel->width(), 150);
  EXPECT_GE(w.hintPanel->width(), 50);
  EXPECT_EQ(w.statusPanel->text(), "チェック完了");
  EXPECT_EQ(w.hintPanel->text(), "");
  EXPECT_EQ(w.statusPanel->parentWidget(), w.statusBar());
  EXPECT_EQ(w.statusBar()->objectName(), "statusBar");
}

TEST_F(MainWindowTest, MenusCaptionsHintsAndInitialStates) {
  auto program = MakeProgram();
  MainWindow& w = program->Window();

  QStringList top;
  for (const QAction* a : w.menuBar()->actions()) top << a->text();
  EXPECT_EQ(top, (QStringList{"ファイル(&F)", "データベース(&D)", "ヘルプ(&H)"}));

  const QMenu* f1 = w.MenuAction(MenuId::FileMenu)->menu();
  const QMenu* e1 = w.MenuAction(MenuId::DatabaseMenu)->menu();
  const QMenu* h1 = w.MenuAction(MenuId::HelpMenu)->menu();
  ASSERT_TRUE(f1 && e1 && h1);
  EXPECT_EQ(ActionNames(f1), (QStringList{"fetchServerListItem", "-N5", "saveListMenuItem",
                                          "loadListMenuItem", "-N1", "exitItem"}));
  EXPECT_EQ(ActionNames(w.MenuAction(MenuId::SaveListMenu)->menu()),
            (QStringList{"saveToLocalDatabaseItem", "exportToPlayerItem"}));
  EXPECT_EQ(ActionNames(w.MenuAction(MenuId::LoadListMenu)->menu()),
            (QStringList{"loadFromLocalDatabaseItem", "importFromPlayerItem"}));
  EXPECT_EQ(ActionNames(e1), (QStringList{"lookUpDiscItem", "submitEntryItem", "musicBrainzLookupItem",
                                          "musicBrainzSubmitItem", "-N2", "serverMenuItem", "optionsItem"}));
  // The MusicBrainz items, like the lookup, wait for a disc.
  const auto* musicBrainzLookup = e1->findChild<QAction*>("musicBrainzLookupItem");
  const auto* musicBrainzSubmit = e1->findChild<QAction*>("musicBrainzSubmitItem");
  ASSERT_TRUE(musicBrainzLookup && musicBrainzSubmit);
  EXPECT_EQ(musicBrainzLookup->text(), "MusicBrainzから受信(&M)");
  EXPECT_EQ(musicBrainzSubmit->text(), "MusicBrainzに登録(&B)…");
  EXPECT_FALSE(musicBrainzLookup->isEnabled());
  EXPECT_FALSE(musicBrainzSubmit->isEnabled());
  EXPECT_EQ(ActionNames(h1), (QStringList{"helpContentsItem", "-N4", "aboutItem"}));

  struct Item {
    MenuId id;
    const char* caption;
    const char* hint;
    bool enabled;
  };
  const Item items[] = {
      {MenuId::FetchServerList, "tunedexのサーバリスト取得(&S)",
       "サーバリスト取得 | tunedexのミラーサーバを取得します。", true},
      {MenuId::SaveListMenu, "リストの保存(&W)", "曲名データを保存します。", true},
      {MenuId::SaveToLocalDatabase, "ローカルデータベース(&L)", "", true},
      {MenuId::ExportToPlayer, "DSMP(&D)", "", false},
      {MenuId::LoadListMenu, "リストの読み込み(&R)", "曲名データを読み込みます。", true},
      {MenuId::LoadFromLocalDatabase, "ローカルデータベース(&L)", "", true},
      {MenuId::ImportFromPlayer, "DSMP(&D)", "", true},
      {MenuId::Exit, "終了(&X)", "終了 | プログラムを終了します。", true},
      {MenuId::LookUpDisc, "データベースから受信(&R)", "接続 | tunedexサーバに接続しCDタイトルを検索します。",
       false},
      {MenuId::SubmitEntry, "データベースに送信(&S)", "送信 | tunedexサーバにCD情報を送信します。", false},
      {MenuId::ServerMenu, "接続するデータベース(&N)", "接続先の選択 | 接続するtunedexサーバを選択します。",
       true},
      {MenuId::Options, "オプション(&O)...", "オプション | プロクシサーバの設定とバージョン情報の表示です。",
       true},
      {MenuId::HelpContents, "ヘルプ(&H)", "ヘルプ|ヘルプを表示します。", true},
      {MenuId::About, "バージョン情報(&A)", "バージョン情報 | バージョン情報です。", true},
  };
  for (const Item& item : items) {
    const QAction* a = w.MenuAction(item.id);
    ASSERT_NE(a, nullptr) << item.caption;
    EXPECT_EQ(a->text(), QString::fromUtf8(item.caption));
    EXPECT_EQ(a->statusTip(), QString::fromUtf8(item.hint)) << item.caption;
    EXPECT_EQ(a->isEnabled(), item.enabled) << item.caption;
  }
}

TEST_F(MainWindowTest, GridHeaderWidthsRowsAndFixedColumn) {
  auto program = MakeProgram();
  MainWindow& w = program->Window();
  QTableView* grid = w.trackGrid;
  QAbstractItemModel* m = grid->model();

  EXPECT_EQ(m->columnCount(), 3);
  EXPECT_EQ(m->rowCount(), 1);  // two grid rows: the header and one empty row
  EXPECT_EQ(m->headerData(0, Qt::Horizontal).toString(), "ﾄﾗｯｸ");
  EXPECT_EQ(m->headerData(1, Qt::Horizontal).toString(), "曲名");
  EXPECT_EQ(m->headerData(2, Qt::Horizontal).toString(), "ｱｰﾃｨｽﾄ");
  EXPECT_EQ(grid->columnWidth(0), 40);
  EXPECT_EQ(grid->columnWidth(1), 250);
  EXPECT_EQ(grid->columnWidth(2), 150);
  EXPECT_EQ(grid->rowHeight(0), 18);
  EXPECT_EQ(grid->horizontalHeader()->height(), 18);
  EXPECT_TRUE(grid->verticalHeader()->isHidden());
  EXPECT_EQ(grid->horizontalHeader()->sectionResizeMode(1), QHeaderView::Interactive);
  EXPECT_EQ(grid->selectionMode(), QAbstractItemView::ContiguousSelection);
  EXPECT_EQ(grid->editTriggers(), QAbstractItemView::NoEditTriggers);
  EXPECT_TRUE(grid->showGrid());

  // Column 0 is fixed: grey, neither editable nor selectable; the others are
  // editable cells.
  const QModelIndex number = m->index(0, 0);
  EXPECT_FALSE(m->flags(number) & Qt::ItemIsEditable);
  EXPECT_FALSE(m->flags(number) & Qt::ItemIsSelectable);
  EXPECT_TRUE(m->data(number, Qt::BackgroundRole).isValid());
  EXPECT_TRUE(m->flags(m->index(0, 1)) & Qt::ItemIsEditable);
  EXPECT_FALSE(m->data(m->index(0, 1), Qt::BackgroundRole).isValid());
  EXPECT_FALSE(m->setData(number, "7"));
  EXPECT_EQ(w.Model().Table().Cell(0, 1), "");
}

TEST_F(MainWindowTest, HintsReachStatusPanelOneAndShortHintsPopUp) {
  auto program = MakeProgram();
  MainWindow& w = program->Window();
  w.show();

  auto hover = [&](QObject* target, const QString& tip) {
    QStatusTipEvent event(tip);
    QApplication::sendEvent(target, &event);
    return w.hintPanel->text();
  };
  // A control's hint travels up to the window: the long part, unchanged.
  EXPECT_EQ(hover(w.artistEdit, w.artistEdit->statusTip()), " アーティスト名です。");
  EXPECT_EQ(hover(w.genreBox, w.genreBox->statusTip()), "細かなジャンルを示します。");
  EXPECT_EQ(w.Model().Status(1), "細かなジャンルを示します。");
  // Leaving a control clears the panel.
  EXPECT_EQ(hover(w.discPanel, QString()), "");
  // Menu items announce their hints the same way; one without a bar shows
  // whole.
  w.MenuAction(MenuId::SaveListMenu)->showStatusText(w.menuBar());
  EXPECT_EQ(w.hintPanel->text(), "曲名データを保存します。");
  w.MenuAction(MenuId::HelpContents)->showStatusText(w.menuBar());
  EXPECT_EQ(w.hintPanel->text(), "ヘルプを表示します。");
  // The status bar keeps both panels (no temporary message replaced them).
  EXPECT_TRUE(w.statusPanel->isVisible());
  EXPECT_EQ(w.statusPanel->text(), "チェック完了");

  EXPECT_EQ(w.driveBox->toolTip(), "CD-ROMドライブ ");
  EXPECT_EQ(w.artistEdit->toolTip(), "アーティスト ");
  EXPECT_EQ(w.titleEdit->toolTip(), "タイトル ");
  EXPECT_EQ(w.categoryBox->toolTip(), "");
  EXPECT_EQ(w.genreBox->toolTip(), "");
  EXPECT_EQ(w.yearEdit->toolTip(), "");
  EXPECT_EQ(w.yearEdit->statusTip(), "年号|発売された年（西暦)です。");
}

TEST_F(MainWindowTest, TabOrderFollowsTheForm) {
  auto program = MakeProgram();
  MainWindow& w = program->Window();
  w.show();
  w.activateWindow();
  w.driveBox->setFocus(Qt::TabFocusReason);
  QApplication::processEvents();

  auto owner = [&](QWidget* focus) -> QString {
    for (QWidget* c : std::initializer_list<QWidget*>{w.driveBox, w.categoryBox, w.genreBox, w.yearEdit,
                                                      w.artistEdit, w.titleEdit, w.trackGrid})
      if (focus == c || (focus && c->isAncestorOf(focus))) return c->objectName();
    return focus ? "other:" + focus->objectName() : QStringLiteral("none");
  };
  QStringList order{owner(QApplication::focusWidget())};
  for (int i = 0; i < 6; ++i) {
    QKeyEvent tab(QEvent::KeyPress, Qt::Key_Tab, Qt::NoModifier);
    QApplication::sendEvent(QApplication::focusWidget(), &tab);
    order << owner(QApplication::focusWidget());
  }
  EXPECT_EQ(order, (QStringList{"driveBox", "categoryBox", "genreBox", "artistEdit", "yearEdit", "titleEdit",
                                "trackGrid"}));
}

TEST_F(MainWindowTest, ShowCentresRunsSettingsAndSetsVersionOnce) {
  auto program = MakeProgram();
  MainWindow& w = program->Window();
  app::AboutBox& about = program->AboutWindow();
  EXPECT_EQ(about.Version->text(), "ver.");

  w.show();
  const QSize screen = QGuiApplication::primaryScreen()->geometry().size();
  EXPECT_EQ(w.frameGeometry().size(), QSize(625, 390));
  EXPECT_EQ(w.pos(), QPoint((screen.width() - 625) / 2, (screen.height() - 390) / 2));
  EXPECT_EQ(about.Version->text(), "ver.1.311");
  // The show handler read the stored servers and selected the first one.
  EXPECT_EQ(w.Core().ServerUrl(), "http://127.0.0.1/~cddb/cddb.cgi?");

  // Hiding and showing again (or restoring) does not run the handler again.
  w.hide();
  w.show();
  EXPECT_EQ(about.Version->text(), "ver.1.311");

  // The version dialog: not modal, fixed layout, centred when it appears,
  // closed by its default OK button.
  w.MenuAction(MenuId::About)->trigger();
  EXPECT_TRUE(about.isVisible());
  EXPECT_FALSE(about.isModal());
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
  EXPECT_EQ(about.windowTitle(), "バージョン情報");
  EXPECT_EQ(about.size(), QSize(298, 182));
  EXPECT_EQ(about.okButton->geometry(), QRect(111, 148, 75, 25));
  EXPECT_EQ(about.okButton->text(), "OK");
  EXPECT_TRUE(about.okButton->isDefault());
  EXPECT_FALSE(about.windowFlags() & Qt::WindowMinMaxButtonsHint);
  const QSize outer = about.frameGeometry().size();
  EXPECT_EQ(about.pos(),
            QPoint((screen.width() - outer.width()) / 2, (screen.height() - outer.height()) / 2));
  about.okButton->click();
  EXPECT_FALSE(about.isVisible());
}

TEST_F(MainWindowTest, FirstStartAsksForTheAddressWhileShowing) {
  // No settings file yet: the show handler prompts before the window is up.
  std::remove(dir.File("sonolabel.INI").c_str());
  auto program = MakeProgram();
  MainWindow& w = program->Window();
  bool windowUpDuringPrompt = true;
  modal->Then([&](QWidget* widget) {
    auto* box = qobject_cast<QInputDialog*>(widget);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->parentWidget(), &w);
    windowUpDuringPrompt = w.isVisible() && w.windowHandle() && w.windowHandle()->isExposed();
    box->setTextValue("first@example.jp");
    box->accept();
  });
  w.show();
  EXPECT_TRUE(modal->AllAnswered());
  EXPECT_FALSE(windowUpDuringPrompt);
  EXPECT_TRUE(w.isVisible());
  EXPECT_NE(ReadFileBytes(dir.File("sonolabel.INI")).find("email=first@example.jp"), std::string::npos);
  EXPECT_EQ(program->AboutWindow().Version->text(), "ver.1.311");
}

TEST_F(MainWindowTest, ModelChangesReachWidgetsOnPump) {
  auto program = MakeProgram();
  MainWindow& w = program->Window();
  w.show();
  shell::ShellModel& model = w.Model();

  model.Table().SetCategory("rock");
  model.Table().SetGenre("Jpop");
  model.Table().SetArtist("アーティストA");
  model.Table().SetTitle("タイトルB");
  model.Table().SetYear("1999");
  model.Table().SetRowCount(4);
  model.Table().SetCell(0, 3, "3");
  model.Table().SetCell(1, 3, "三曲目");
  model.SetStatus(0, "タイトル取得中");
  model.SetEnabled(MenuId::LookUpDisc, true);
  model.Menu(MenuId::LoadFromLocalDatabase).visible = false;
  model.SetEnabled(MenuId::SaveToLocalDatabase, false);
  // Nothing changes until the core pumps (or a handler returns).
  EXPECT_EQ(w.artistEdit->text(), "");
  platform::ProcessMessages();

  EXPECT_EQ(w.categoryBox->currentText(), "rock");
  EXPECT_EQ(w.genreBox->currentText(), "Jpop");
  EXPECT_EQ(w.artistEdit->text(), "アーティストA");
  EXPECT_EQ(w.titleEdit->text(), "タイトルB");
  EXPECT_EQ(w.yearEdit->text(), "1999");
  QAbstractItemModel* m = w.trackGrid->model();
  ASSERT_EQ(m->rowCount(), 3);
  EXPECT_EQ(m->data(m->index(2, 0)).toString(), "3");
  EXPECT_EQ(m->data(m->index(2, 1)).toString(), "三曲目");
  EXPECT_EQ(w.trackGrid->rowHeight(2), 18);
  EXPECT_EQ(w.statusPanel->text(), "タイトル取得中");
  EXPECT_TRUE(w.MenuAction(MenuId::LookUpDisc)->isEnabled());
  EXPECT_FALSE(w.MenuAction(MenuId::SaveToLocalDatabase)->isEnabled());
  EXPECT_FALSE(w.MenuAction(MenuId::LoadFromLocalDatabase)->isVisible());
  // Syncing wrote nothing back into the model.
  EXPECT_EQ(model.Table().Category(), "rock");

  // Fewer rows: the rows that went are gone from the view.
  model.Table().SetRowCount(2);
  platform::ProcessMessages();
  EXPECT_EQ(m->rowCount(), 1);
  EXPECT_EQ(m->data(m->index(0, 1)).toString(), "");
}

TEST_F(MainWindowTest, WidgetEditsReachTheModelAtOnce) {
  auto program = MakeProgram();
  MainWindow& w = program->Window();
  w.show();
  shell::ShellModel& model = w.Model();

  w.yearEdit->setText("2001");
  w.artistEdit->setText("Artist");
  w.titleEdit->setText("Title");
  EXPECT_EQ(model.Table().Year(), "2001");
  EXPECT_EQ(model.Table().Artist(), "Artist");
  EXPECT_EQ(model.Table().Title(), "Title");

  // Picking an item and typing both set the box's text in the model.
  w.categoryBox->setCurrentIndex(8);
  EXPECT_EQ(model.Table().Category(), "rock");
  w.categoryBox->lineEdit()->setText("mycat");
  EXPECT_EQ(model.Table().Category(), "mycat");
  w.genreBox->setCurrentIndex(w.genreBox->findText("Jpop"));
  EXPECT_EQ(model.Table().Genre(), "Jpop");
  w.genreBox->lineEdit()->setText("Shibuya-kei");
  EXPECT_EQ(model.Table().Genre(), "Shibuya-kei");

  // An edited grid cell goes straight into the table.
  QAbstractItemModel* m = w.trackGrid->model();
  EXPECT_TRUE(m->setData(m->index(0, 1), "一曲目"));
  EXPECT_TRUE(m->setData(m->index(0, 2), "歌手"));
  EXPECT_EQ(model.Table().Cell(1, 1), "一曲目");
  EXPECT_EQ(model.Table().Cell(2, 1), "歌手");

  // Edits survive the next sync (no echo overwrote them).
  model.SetStatus(0, "x");
  platform::ProcessMessages();
  EXPECT_EQ(w.artistEdit->text(), "Artist");
  EXPECT_EQ(w.categoryBox->currentText(), "mycat");
  EXPECT_EQ(m->data(m->index(0, 1)).toString(), "一曲目");

  // Typing into the drive box: typed text, no item chosen. No drive is
  // named, so nothing is read.
  w.driveBox->lineEdit()->clear();
  for (QChar c : QStringLiteral("E:")) {
    QKeyEvent key(QEvent::KeyPress, 0, Qt::NoModifier, QString(c));
    QApplication::sendEvent(w.driveBox->lineEdit(), &key);
  }
  EXPECT_EQ(model.DriveText(), "E:");
  EXPECT_EQ(model.DriveIndex(), -1);
  EXPECT_EQ(w.driveBox->currentText(), "E:");
  EXPECT_FALSE(w.MenuAction(MenuId::LookUpDisc)->isEnabled());
}

TEST_F(MainWindowTest, PickingDrivesReadsTheDiscOrReportsNone) {
  auto program = MakeProgram();
  MainWindow& w = program->Window();
  w.show();
  ASSERT_EQ(w.driveBox->count(), 2) << "drive scan of the simulated layer";

  w.driveBox->setCurrentIndex(0);
  w.PickDrive(0);
  EXPECT_EQ(w.statusPanel->text(), "DISCID : 23026203");
  QAbstractItemModel* m = w.trackGrid->model();
  ASSERT_EQ(m->rowCount(), 3);
  for (int r = 0; r < 3; ++r) EXPECT_EQ(m->data(m->index(r, 0)).toString(), QString::number(r + 1));
  EXPECT_TRUE(w.MenuAction(MenuId::LookUpDisc)->isEnabled());
  EXPECT_TRUE(w.MenuAction(MenuId::SubmitEntry)->isEnabled());  // a submission address is stored
  EXPECT_EQ(w.Model().DriveIndex(), 0);
  EXPECT_EQ(w.driveBox->currentIndex(), 0);

  // The empty tray: an error box, "CDなし", the grid as it was.
  modal->Then([](QWidget* box) {
    auto* mb = qobject_cast<QMessageBox*>(box);
    ASSERT_NE(mb, nullptr);
    EXPECT_EQ(mb->text(), "CDがセットされていません。");
    EXPECT_EQ(mb->icon(), QMessageBox::Critical);
    EXPECT_EQ(mb->windowTitle(), "Sonolabel");
    mb->accept();
  });
  w.driveBox->setCurrentIndex(1);
  w.PickDrive(1);
  EXPECT_TRUE(modal->AllAnswered());
  EXPECT_EQ(w.statusPanel->text(), "CDなし");
  EXPECT_EQ(m->rowCount(), 3);
}

TEST_F(MainWindowTest, ServerSubmenuHoldsRadioItemsFromTheModel) {
  auto program = MakeProgram();
  MainWindow& w = program->Window();
  w.show();
  QList<QAction*> items = w.serverMenu->actions();
  ASSERT_EQ(items.size(), 2);
  EXPECT_EQ(items[0]->text(), "127.0.0.1");
  EXPECT_EQ(items[1]->text(), "localhost");
  for (QAction* a : items) {
    EXPECT_TRUE(a->isCheckable());
    ASSERT_NE(a->actionGroup(), nullptr);
    EXPECT_TRUE(a->actionGroup()->isExclusive());  // drawn as radio items
  }
  EXPECT_TRUE(items[0]->isChecked());
  EXPECT_FALSE(items[1]->isChecked());

  items[1]->trigger();
  EXPECT_FALSE(items[0]->isChecked());
  EXPECT_TRUE(items[1]->isChecked());
  EXPECT_EQ(w.Core().ServerUrl(), "http://localhost:80/~cddb/cddb.cgi?");

  // A new list from the model replaces the items.
  w.Model().ClearServerItems();
  w.Model().AddServerItem({"cddb.example", 0, true});
  platform::ProcessMessages();
  items = w.serverMenu->actions();
  ASSERT_EQ(items.size(), 1);
  EXPECT_EQ(items[0]->text(), "cddb.example");
  EXPECT_TRUE(items[0]->isChecked());
}

// A server stored with its own port, picked from the menu, is used as it is;
// and while the lookup waits for the server the user can click the drive box
// and the server menu without moving the reply onto another disc or server.
TEST_F(MainWindowTest, LookupKeepsItsDiscAndServerWhileTheUserClicksAround) {
  test::CddbdProcess server({"--fault", "query delay 400"});
  const std::string host = "127.0.0.1:" + std::to_string(server.Port());
  WriteFileBytes(dir.File("sonolabel.INI"),
                 "[tunedex]\r\nemail=tester@example.com\r\nselectserver=1\r\nservercount=2\r\n"
                 "submitemail=submit@example.com\r\n[svr0]\r\nhost=" +
                     host +
                     "\r\npath=/~cddb/cddb.cgi?\r\n[svr1]\r\nhost=127.0.0.1:1\r\n"
                     "path=/~cddb/cddb.cgi?\r\n");
  auto program = MakeProgram();
  MainWindow& w = program->Window();
  w.show();
  QList<QAction*> items = w.serverMenu->actions();
  ASSERT_EQ(items.size(), 2);
  items[0]->trigger();
  EXPECT_EQ(w.Core().ServerUrl(), server.Url());

  w.driveBox->setCurrentIndex(0);
  w.PickDrive(0);
  bool clicked = false;
  QTimer::singleShot(150, &w, [&] {
    clicked = true;
    EXPECT_TRUE(w.Model().CommandRunning());
    EXPECT_TRUE(w.artistEdit->isReadOnly());
    w.driveBox->setCurrentIndex(1);
    emit w.driveBox->activated(1);
    items[1]->trigger();
  });
  modal->Then([](QWidget* box) {
    auto* mb = qobject_cast<QMessageBox*>(box);
    ASSERT_NE(mb, nullptr);
    EXPECT_EQ(mb->text(), "曲名取得完了しました。");
    mb->accept();
  });
  w.MenuAction(MenuId::LookUpDisc)->trigger();
  EXPECT_TRUE(clicked);
  EXPECT_TRUE(modal->AllAnswered());
  EXPECT_EQ(w.statusPanel->text(), "曲名取得完了");
  EXPECT_EQ(w.driveBox->currentIndex(), 0);
  EXPECT_FALSE(w.artistEdit->isReadOnly());
  EXPECT_TRUE(items[0]->isChecked());
  EXPECT_FALSE(items[1]->isChecked());
  EXPECT_EQ(w.Core().ServerUrl(), server.Url());
  EXPECT_EQ(w.trackGrid->model()->rowCount(), 3);
  const std::string ini = ReadFileBytes(dir.File("cdplayer.ini"));
  EXPECT_NE(ini.find("numtracks=3"), std::string::npos) << ini;
}

// gnudb's refusal of an unregistered client: one information box with the
// server's line and the hint, over the status the code gives.
TEST_F(MainWindowTest, RefusingServerShowsItsLineInOneBox) {
  test::RefusingCddbServer server;
  auto program = MakeProgram();
  MainWindow& w = program->Window();
  w.show();
  w.Core().SetServerUrl(server.CgiUrl());
  w.driveBox->setCurrentIndex(0);
  w.PickDrive(0);
  QString statusUnderBox;
  modal->Then([&](QWidget* box) {
    auto* mb = qobject_cast<QMessageBox*>(box);
    ASSERT_NE(mb, nullptr);
    EXPECT_EQ(mb->icon(), QMessageBox::Information);
    EXPECT_EQ(mb->text().toStdString(),
              std::string("サーバからの応答：500 Unknown developer email\n") + mainform::kUnknownClientHint);
    statusUnderBox = w.Model().Status(0).c_str();
    mb->accept();
  });
  w.MenuAction(MenuId::LookUpDisc)->trigger();
  EXPECT_TRUE(modal->AllAnswered());
  EXPECT_EQ(modal->Unexpected(), 0);
  EXPECT_EQ(statusUnderBox, "コマンドエラー");
  EXPECT_EQ(server.Connections(), 1);
  EXPECT_FALSE(QFile::exists(QString::fromStdString(dir.File("cdplayer.ini"))));
}

TEST_F(MainWindowTest, CloseBoxRunsFormCloseOnceAndNeverUnderARunningHandler) {
  auto program = MakeProgram();
  MainWindow& w = program->Window();
  int closed = 0;
  QObject::connect(&w, &MainWindow::formClosed, [&] { ++closed; });
  w.show();
  EXPECT_EQ(w.Core().StoredServerHosts().size(), 2u);

  // A close asked for while a handler runs waits until it has returned.
  w.RunHandler([&] {
    w.close();
    EXPECT_EQ(closed, 0);
    EXPECT_TRUE(w.isVisible());
    EXPECT_EQ(w.Core().StoredServerHosts().size(), 2u);  // settings still open
  });
  EXPECT_EQ(closed, 1);
  EXPECT_FALSE(w.isVisible());
  EXPECT_TRUE(w.Core().StoredServerHosts().empty());  // settings file released

  w.show();
  w.close();
  EXPECT_EQ(closed, 1);
}

TEST_F(MainWindowTest, ExitEndsTheProcessWithoutCloseHandling) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // Exit code 0 only if the exit item ends the process itself: the close handler would
  // end it with 5, falling through with 3.
  EXPECT_EXIT(
      {
        auto program = MakeProgram();
        MainWindow& w = program->Window();
        QObject::connect(&w, &MainWindow::formClosed, [] { ::_exit(5); });
        w.show();
        w.MenuAction(MenuId::Exit)->trigger();
        ::_exit(3);
      },
      testing::ExitedWithCode(0), "");
}

TEST_F(MainWindowTest, HelpOpensTheBuiltInPageWithoutAHelpFile) {
  auto program = MakeProgram();
  MainWindow& w = program->Window();
  w.show();
  EXPECT_EQ(w.HelpWindow(), nullptr);
  w.MenuAction(MenuId::HelpContents)->trigger();
  app::HelpViewer* help = w.HelpWindow();
  ASSERT_NE(help, nullptr);
  EXPECT_TRUE(help->isVisible());
  EXPECT_FALSE(help->isModal());
  const QString text = help->Browser->toPlainText();
  EXPECT_TRUE(text.contains("Sonolabel ヘルプ")) << text.left(200).toStdString();
  EXPECT_TRUE(text.contains("CD-ROMドライブ"));
  // A second use of the help item reuses the same window.
  w.MenuAction(MenuId::HelpContents)->trigger();
  EXPECT_EQ(w.HelpWindow(), help);
}

// An object whose event handler fails, standing in for a handler bug.
class Thrower : public QObject {
 public:
  bool event(QEvent* e) override {
    if (e->type() == QEvent::User) throw std::runtime_error("bad event");
    if (e->type() == QEvent::User + 1) throw 42;
    return QObject::event(e);
  }
};

TEST_F(MainWindowTest, EscapingExceptionsShowTheErrorBoxAndTheProgramGoesOn) {
  auto program = MakeProgram();
  MainWindow& w = program->Window();
  w.show();
  std::vector<QString> texts;
  auto record = [&](QWidget* box) {
    auto* mb = qobject_cast<QMessageBox*>(box);
    ASSERT_NE(mb, nullptr);
    EXPECT_EQ(mb->icon(), QMessageBox::Critical);
    EXPECT_EQ(mb->windowTitle(), "Sonolabel");
    EXPECT_EQ(mb->standardButtons(), QMessageBox::Ok);
    texts.push_back(mb->text());
    mb->accept();
  };
  for (int i = 0; i < 4; ++i) modal->Then(record);

  w.RunHandler([] { throw std::runtime_error("boom"); });
  w.RunHandler([] { throw 7; });
  Thrower thrower;
  QEvent user(QEvent::User);
  QApplication::sendEvent(&thrower, &user);
  QEvent other(static_cast<QEvent::Type>(QEvent::User + 1));
  QApplication::sendEvent(&thrower, &other);
  EXPECT_EQ(texts, (std::vector<QString>{"boom.", "", "bad event.", ""}));

  // The window still works afterwards.
  w.Model().SetStatus(0, "生きています");
  w.RunHandler([] {});
  EXPECT_EQ(w.statusPanel->text(), "生きています");
}

}  // namespace
}  // namespace sl::test
