// Pictures for the help guide (docs/help/images/), taken of the program as a
// user meets it in demo mode: the first start, the drive box, a disc read,
// a lookup, the match dialog and the menus; editing titles and the
// clipboard; a submission and its check; the options dialog's tabs; the
// player link. Each test runs a demo of its own (local server and player),
// and checks that what it pictures really happened. Runs only when
// SONOLABEL_HELP_IMAGES names a folder, on a real display:
//   SONOLABEL_HELP_IMAGES=docs/help/images SONOLABEL_TEST_QPA=xcb xvfb-run -a
//     -s "-screen 0 1024x768x24" build/bin/test_app --gtest_filter='HelpImages.*'
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QDialog>
#include <QInputDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QTabWidget>
#include <QTableWidget>
#include <cstdlib>
#include <functional>
#include <memory>

#include "app/mainwindow.h"
#include "app/matchdialog.h"
#include "app/optionsdialog.h"
#include "app/trackgridview.h"
#include "app_fixture.h"
#include "demo/demo.h"
#include "pictures.h"
#include "platform/bounded_json.h"
#include "support/scoped_env.h"
#include "support/scoped_settings.h"

namespace sl::test {
namespace {

using shell::MenuId;

// The demo drives, as their box lists them.
constexpr int kRockDisc = 0;   // DEMO ROCK 3TRK: three tracks, the play list's disc
constexpr int kJpopDisc = 1;   // DEMO JPOP 12TRK: Japanese titles
constexpr int kMultiDisc = 2;  // DEMO MULTI 5TRK: two entries

class HelpImages : public AppTest {
 protected:
  // The program's side of the player link is opened once per process, in
  // the XDG_RUNTIME_DIR of that moment: every demo of these tests runs its
  // player in the same one, where the session has none of its own.
  static void SetUpTestSuite() {
    if (std::getenv("XDG_RUNTIME_DIR")) return;
    runtime_ = std::make_unique<TempDir>();
    ::setenv("XDG_RUNTIME_DIR", runtime_->Path().c_str(), 1);
  }
  static void TearDownTestSuite() {
    if (!runtime_) return;
    ::unsetenv("XDG_RUNTIME_DIR");
    runtime_.reset();
  }
  void SetUp() override {
    if (!folder_.Given()) GTEST_SKIP() << "SONOLABEL_HELP_IMAGES is not set";
    AppTest::SetUp();
  }
  void TearDown() override {
    if (!folder_.Given()) return;
    // The window goes before the server and player it talks to, and those
    // before the variables that pointed at them.
    program_.reset();
    demo_.reset();
    env_.reset();
    link_.reset();
    codePage_.reset();
    AppTest::TearDown();
  }

  void Save(const QPixmap& pixmap, const char* name) { folder_.Save(pixmap, name); }

  // A demo of its own, as on a first start: the window shown at (40, 40)
  // after the e-mail prompt, which `prompt` sees filled in before it is
  // answered.
  void StartDemo(const std::function<void(QInputDialog*)>& prompt = {}) {
    env_ = std::make_unique<ScopedEnv>();
    env_->Set("XDG_STATE_HOME", dir.File("state").c_str());
    for (const char* name : {"SONOLABEL_ASPI", "SONOLABEL_SIM_DRIVES", "SONOLABEL_INI", "SONOLABEL_WINDIR",
                             "SONOLABEL_DSMP", "DSMP_SIM_STATE", "XDG_RUNTIME_DIR"})
      env_->Set(name, std::getenv(name));
    demo_ = std::make_unique<demo::DemoSession>();
    std::string why;
    // As the program's start-up: the environment, the demo, the paths.
    config::Configuration configuration = config::ReadConfiguration(config::ProcessEnvironment());
    ASSERT_TRUE(demo_->Start(SONOLABEL_BIN_DIR, configuration, why)) << why;
    mainform::ResolvePaths(configuration);
    link_ = std::make_unique<ScopedLinkSettings>();
    codePage_ = std::make_unique<ScopedCodePage>();
    mainform::ApplyProcessWideSettings(configuration);
    program_ = std::make_unique<app::Program>(configuration);
    w_ = &program_->Window();
    modal->Then([prompt](QWidget* box) {
      auto* input = qobject_cast<QInputDialog*>(box);
      ASSERT_NE(input, nullptr);
      input->setTextValue(QStringLiteral("you@example.jp"));
      Settle();
      if (prompt) prompt(input);
      input->accept();
    });
    w_->show();
    w_->move(40, 40);
    Settle(40);
    ASSERT_TRUE(modal->AllAnswered());
  }

  app::MainWindow& W() { return *w_; }
  QString Status() const { return w_->statusPanel->text(); }
  std::string Cell(int col, int row) { return w_->Model().Table().Cell(col, row); }

  void PickDrive(int index) {
    w_->driveBox->setCurrentIndex(index);
    w_->PickDrive(index);
    Settle();
  }
  // データベースから受信 with one entry: its message box is accepted.
  void Lookup() {
    modal->Then(AcceptBox);
    w_->MenuAction(MenuId::LookUpDisc)->trigger();
    Settle();
    ASSERT_TRUE(modal->AllAnswered());
  }
  static void AcceptBox(QWidget* box) {
    auto* message = qobject_cast<QMessageBox*>(box);
    ASSERT_NE(message, nullptr);
    message->accept();
  }

  // A menu of the menu bar and the submenu under it, as the pointer opens
  // them, saved with the screen around them.
  void SaveMenu(MenuId top, MenuId item, const char* name) {
    QMenuBar* bar = w_->menuBar();
    QAction* topAction = w_->MenuAction(top);
    QMenu* menu = topAction->menu();
    menu->popup(bar->mapToGlobal(bar->actionGeometry(topAction).bottomLeft()));
    Settle();
    QAction* itemAction = w_->MenuAction(item);
    menu->setActiveAction(itemAction);
    itemAction->menu()->popup(menu->mapToGlobal(menu->actionGeometry(itemAction).topRight()));
    Settle();
    Save(Screen(w_, 520, 200), name);
    itemAction->menu()->hide();
    menu->hide();
    Settle();
  }

  // The grid's cells from (col, row) to (col2, row2), grid coordinates of
  // the table (row 1 is the first track).
  void SelectCells(int col, int row, int col2, int row2) {
    app::TrackGridView* g = w_->trackGrid;
    g->setCurrentIndex(g->model()->index(row - 1, col));
    g->selectionModel()->select(
        QItemSelection(g->model()->index(row - 1, col), g->model()->index(row2 - 1, col2)),
        QItemSelectionModel::ClearAndSelect);
    Settle();
  }
  // The grid's pop-up menu over cell (col, row).
  void PopUpOver(int col, int row) {
    app::TrackGridView* g = w_->trackGrid;
    const QRect cell = g->visualRect(g->model()->index(row - 1, col));
    g->gridPopupMenu->popup(g->viewport()->mapToGlobal(cell.center()));
    Settle();
  }
  static void Key(QWidget* target, int key) {
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
    QApplication::sendEvent(target, &press);
    Settle();
  }

  static inline std::unique_ptr<TempDir> runtime_;
  PictureFolder folder_{"SONOLABEL_HELP_IMAGES"};
  std::unique_ptr<ScopedEnv> env_;
  std::unique_ptr<ScopedLinkSettings> link_;
  std::unique_ptr<ScopedCodePage> codePage_;
  std::unique_ptr<demo::DemoSession> demo_;
  std::unique_ptr<app::Program> program_;
  app::MainWindow* w_ = nullptr;
};

TEST_F(HelpImages, DemoWalkThrough) {
  // The first start asks for the e-mail address.
  ASSERT_NO_FATAL_FAILURE(StartDemo([this](QInputDialog* box) { Save(box->grab(), "first-start.png"); }));
  app::MainWindow& w = W();
  Save(w.grab(), "main-window.png");

  // The drive box open.
  w.driveBox->showPopup();
  Settle();
  Save(Screen(&w, w.frameGeometry().width(), 260), "drive-list.png");
  w.driveBox->hidePopup();

  // The Japanese disc read, then looked up.
  PickDrive(kJpopDisc);
  Save(w.grab(), "disc-read.png");
  ASSERT_NO_FATAL_FAILURE(Lookup());
  Save(w.grab(), "lookup.png");

  // The disc with two entries: the match dialog.
  PickDrive(kMultiDisc);
  modal->Then([&](QWidget* dialog) {
    auto* search = qobject_cast<app::MatchDialog*>(dialog);
    ASSERT_NE(search, nullptr);
    search->matchGrid->selectRow(0);
    Settle();
    Save(search->grab(), "matches.png");
    search->takeMatchButton->click();
  });
  modal->Then(AcceptBox);
  w.MenuAction(MenuId::LookUpDisc)->trigger();
  Settle();
  ASSERT_TRUE(modal->AllAnswered());
  Save(w.grab(), "match-chosen.png");

  SaveMenu(MenuId::FileMenu, MenuId::SaveListMenu, "localdb-menu.png");
  SaveMenu(MenuId::DatabaseMenu, MenuId::ServerMenu, "server-menu.png");
  w.close();
  Settle();
}

TEST_F(HelpImages, EditingAndTheClipboard) {
  ASSERT_NO_FATAL_FAILURE(StartDemo());
  app::MainWindow& w = W();
  app::TrackGridView* g = w.trackGrid;
  PickDrive(kJpopDisc);
  ASSERT_NO_FATAL_FAILURE(Lookup());
  ASSERT_EQ(Cell(1, 3), "可能性の扉");

  // Selection mode: three rows of titles and artists selected, the pop-up
  // with the grid's copy and paste; the copy is tab-separated text.
  ASSERT_FALSE(g->Modes().Editing());
  SelectCells(1, 1, 2, 3);
  PopUpOver(1, 3);
  EXPECT_TRUE(g->gridCopyAction->isVisible());
  EXPECT_FALSE(g->editorCutAction->isVisible());
  Save(Screen(&w), "edit-selection-menu.png");
  g->gridPopupMenu->hide();
  g->gridCopyAction->trigger();
  EXPECT_EQ(QGuiApplication::clipboard()->text(),
            QStringLiteral("ソーダ水の午後\t\r\n表通りを抜けて\t\r\n可能性の扉\t\r\n"));

  // Editing mode: Enter opens the third title in place; part of the text
  // selected, the pop-up offers the editor's cut, copy and paste.
  g->setCurrentIndex(g->model()->index(2, 1));
  Settle();
  Key(g, Qt::Key_Return);
  ASSERT_TRUE(g->Modes().Editing());
  ASSERT_NE(g->Editor(), nullptr);
  g->Editor()->setText(QStringLiteral("可能性の扉（リミックス）"));
  g->Editor()->setSelection(6, 5);
  PopUpOver(1, 3);
  EXPECT_TRUE(g->editorCutAction->isVisible());
  EXPECT_TRUE(g->editorCutAction->isEnabled());
  EXPECT_FALSE(g->gridPasteAction->isVisible());
  Save(Screen(&w), "edit-mode-menu.png");
  g->gridPopupMenu->hide();
  Settle();
  // Enter again keeps the text and goes back to selection mode.
  Key(g->Editor(), Qt::Key_Return);
  Settle();
  EXPECT_FALSE(g->Modes().Editing());
  EXPECT_EQ(Cell(1, 3), "可能性の扉（リミックス）");

  // A disc the user names by hand: its artist and title typed in, then a
  // block copied from a spreadsheet (titles and artists of three tracks,
  // one line more than the disc has) pasted over the selected block.
  // (The fields above the grid keep the last disc's text until typed over.)
  PickDrive(kRockDisc);
  w.categoryBox->setEditText(QStringLiteral("misc"));
  w.genreBox->setEditText(QStringLiteral("Jpop"));
  w.artistEdit->setText(QStringLiteral("ループバック・トリオ"));
  w.titleEdit->setText(QStringLiteral("ローカル・ホスト・セッションズ"));
  w.yearEdit->setText(QStringLiteral("2003"));
  QGuiApplication::clipboard()->setText(
      QStringLiteral("夜明けのポート\t\n"
                     "ハンドシェイク・ブルース\tゲスト・スター\n"
                     "終端のドット\t\n"
                     "ボーナストラック\t\n"));
  SelectCells(1, 1, 2, 3);
  g->gridPasteAction->trigger();
  Settle();
  EXPECT_EQ(Cell(1, 1), "夜明けのポート");
  EXPECT_EQ(Cell(1, 2), "ハンドシェイク・ブルース");
  EXPECT_EQ(Cell(2, 2), "ゲスト・スター");
  EXPECT_EQ(Cell(2, 3), "");
  EXPECT_EQ(Cell(1, 3), "終端のドット");
  EXPECT_EQ(w.Model().Table().RowCount(), 4);
  Save(w.grab(), "edit-paste.png");

  w.close();
  Settle();
}

TEST_F(HelpImages, Submission) {
  ASSERT_NO_FATAL_FAILURE(StartDemo());
  app::MainWindow& w = W();
  PickDrive(kJpopDisc);
  ASSERT_NO_FATAL_FAILURE(Lookup());

  // A title left empty: the check stops the submission.
  auto& table = w.Model().Table();
  table.SetCell(1, 5, "");
  w.SyncFromModel();
  modal->Then([&](QWidget* box) {
    auto* message = qobject_cast<QMessageBox*>(box);
    ASSERT_NE(message, nullptr);
    EXPECT_EQ(message->text(), QStringLiteral("入力漏れがあるか全角文字があります。"));
    Settle();
    Save(Screen(&w), "submit-missing.png");
    message->accept();
  });
  w.MenuAction(MenuId::SubmitEntry)->trigger();
  Settle();
  ASSERT_TRUE(modal->AllAnswered());
  EXPECT_EQ(Status(), QStringLiteral("曲情報が不適切です"));

  // The title filled in and corrected: the demo server takes the entry, a
  // revision above the one read, and the status bar shows its answer.
  table.SetCell(1, 5, "予感（アルバム・バージョン）");
  w.SyncFromModel();
  w.MenuAction(MenuId::SubmitEntry)->trigger();
  Settle();
  EXPECT_TRUE(modal->AllAnswered());
  EXPECT_EQ(Status(), QStringLiteral("200 OK, submission has been sent."));
  EXPECT_EQ(w.Core().ReadRevision(), 1);
  Save(w.grab(), "submit-done.png");
  w.close();
  Settle();
}

TEST_F(HelpImages, OptionsTabs) {
  ASSERT_NO_FATAL_FAILURE(StartDemo());
  app::MainWindow& w = W();
  app::OptionsDialog& o = program_->OptionsWindow();
  modal->Then([&](QWidget* dialog) {
    ASSERT_EQ(dialog, &o);
    Settle();
    // A proxy as one would enter it; the dialog is cancelled at the end,
    // so the demo keeps going direct.
    o.tabs->setCurrentIndex(0);
    o.proxyHostEdit->setText(QStringLiteral("proxy.example.jp"));
    emit o.proxyHostEdit->textEdited(o.proxyHostEdit->text());
    o.proxyPortEdit->setText(QStringLiteral("8080"));
    emit o.proxyPortEdit->textEdited(o.proxyPortEdit->text());
    Settle();
    Save(o.grab(), "options-proxy.png");
    // The demo's one server: picked in the host box, it shows its path,
    // its double-byte and UTF-8 marks.
    o.tabs->setCurrentIndex(1);
    o.serverHostBox->setCurrentIndex(0);
    emit o.serverHostBox->activated(0);
    Settle();
    EXPECT_TRUE(o.doubleByteCheck->isEnabled());
    EXPECT_TRUE(o.doubleByteCheck->isChecked());
    EXPECT_TRUE(o.utf8Check->isChecked());
    Save(o.grab(), "options-server.png");
    o.tabs->setCurrentIndex(2);
    Settle();
    EXPECT_EQ(o.emailEdit->text(), QStringLiteral("you@example.jp"));
    Save(o.grab(), "options-email.png");
    // The demo asks its own MusicBrainz stand-in when the CDDB server has
    // no match; the address above is the contact sent.
    o.tabs->setCurrentIndex(3);
    Settle();
    EXPECT_EQ(o.musicBrainzUseBox->currentIndex(), 1);
    EXPECT_TRUE(o.musicBrainzServerEdit->text().startsWith(QStringLiteral("http://127.0.0.1:")));
    EXPECT_EQ(o.sentContactEdit->text(), QStringLiteral("you@example.jp"));
    Save(o.grab(), "options-sources.png");
    o.cancelButton->click();
  });
  w.MenuAction(MenuId::Options)->trigger();
  Settle();
  EXPECT_TRUE(modal->AllAnswered());
  w.close();
  Settle();
}

TEST_F(HelpImages, PlayerLink) {
  ASSERT_NO_FATAL_FAILURE(StartDemo());
  app::MainWindow& w = W();
  PickDrive(kRockDisc);
  SaveMenu(MenuId::FileMenu, MenuId::LoadListMenu, "player-menu.png");

  // The play list's titles taken into the window.
  w.MenuAction(MenuId::ImportFromPlayer)->trigger();
  Settle();
  EXPECT_EQ(Status(), QStringLiteral("DSMPからリスト取込完了"));
  EXPECT_EQ(Cell(1, 1), "My favourite take");
  Save(w.grab(), "player-import.png");

  // The disc looked up, then its titles (and artists) given to the play
  // list where it has none.
  ASSERT_NO_FATAL_FAILURE(Lookup());
  modal->Then([&](QWidget* box) {
    auto* question = qobject_cast<QMessageBox*>(box);
    ASSERT_NE(question, nullptr);
    EXPECT_EQ(question->text(), QStringLiteral("アーティスト名も登録しますか？。"));
    Settle();
    Save(Screen(&w), "player-export-question.png");
    question->button(QMessageBox::Yes)->click();
  });
  w.MenuAction(MenuId::ExportToPlayer)->trigger();
  Settle();
  ASSERT_TRUE(modal->AllAnswered());
  EXPECT_EQ(Status(), QStringLiteral("DSMPに転送完了しました。"));
  Save(w.grab(), "player-export.png");

  // What the player holds now.
  const std::string state = ReadFileBytes(demo_->StateDir() + "/playlist.json");
  const auto parsed = platform::ReadJson(state);
  ASSERT_TRUE(parsed.value) << state;
  const platform::Json* list = platform::JsonMember(*parsed.value, "playlist");
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(platform::JsonText(*list, "title"), "Local Host Sessions");
  ASSERT_NE(platform::JsonMember(*list, "tracks"), nullptr);
  const auto& tracks = *platform::JsonMember(*list, "tracks");
  ASSERT_EQ(tracks.size(), 3u);
  EXPECT_EQ(platform::JsonText(tracks[0], "title"), "My favourite take");
  EXPECT_EQ(platform::JsonText(tracks[0], "artist"), "The Loopback Trio");
  EXPECT_EQ(platform::JsonText(tracks[1], "title"), "Handshake Blues");
  EXPECT_EQ(platform::JsonText(tracks[1], "artist"), "Guest Star");
  EXPECT_EQ(platform::JsonText(tracks[2], "artist"), "The Loopback Trio");
  w.close();
  Settle();
}

}  // namespace
}  // namespace sl::test
