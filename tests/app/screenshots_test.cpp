// Pictures of the grid's editing mode, its pop-up menu in both modes, the
// options dialog's tabs, the box of a server's refusal and the window filled
// from the disc's CD-Text and from MusicBrainz for the documentation. Runs only when
// SONOLABEL_SCREENSHOT_DIR names a folder, on a real display:
//   SONOLABEL_SCREENSHOT_DIR=docs SONOLABEL_TEST_QPA=xcb xvfb-run -a
//     -s "-screen 0 1024x768x24" build/bin/test_app --gtest_filter='Screenshots.*'
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTabWidget>

#include <chrono>
#include <string>
#include <thread>

#include "app/mainwindow.h"
#include "app/matchdialog.h"
#include "app/optionsdialog.h"
#include "app_fixture.h"
#include "mbsim.h"
#include "pictures.h"
#include "support/recorder.h"
#include "support/refusing_server.h"

namespace sl::test {
namespace {

class Screenshots : public AppTest {
 protected:
  void SetUp() override {
    if (!folder_.Given()) GTEST_SKIP() << "SONOLABEL_SCREENSHOT_DIR is not set";
    AppTest::SetUp();
  }
  void TearDown() override {
    if (folder_.Given()) AppTest::TearDown();
  }
  void Save(const QPixmap& pixmap, const char* name) { folder_.Save(pixmap, name); }

  PictureFolder folder_{"SONOLABEL_SCREENSHOT_DIR"};
};

// A disc read with Japanese titles, as after a lookup.
app::MainWindow& Filled(app::Program& program) {
  app::MainWindow& w = program.Window();
  w.move(0, 0);
  w.show();
  w.PickDrive(0);
  auto& t = w.Model().Table();
  t.SetCategory("misc");
  t.SetGenre("Jpop");
  t.SetArtist("月島ソラ");
  t.SetTitle("表参道ラプソディ");
  t.SetYear("2003");
  const char* titles[] = {"春の歌", "夏の扉", "可能性の扉"};
  for (int row = 1; row <= 3; ++row) t.SetCell(1, row, titles[row - 1]);
  t.SetCell(2, 2, "ｹﾞｽﾄ");
  w.SyncFromModel();
  return w;
}

TEST_F(Screenshots, GridModesAndPopups) {
  auto program = MakeProgram();
  app::MainWindow& w = Filled(*program);
  app::TrackGridView* g = w.trackGrid;
  Settle();

  // Selection mode: two rows selected, the pop-up offers grid copy/paste.
  g->setCurrentIndex(g->model()->index(0, 1));
  g->selectionModel()->select(QItemSelection(g->model()->index(0, 1), g->model()->index(1, 2)),
                              QItemSelectionModel::ClearAndSelect);
  const QRect cell = g->visualRect(g->model()->index(1, 1));
  g->gridPopupMenu->popup(g->viewport()->mapToGlobal(cell.center()));
  Settle();
  Save(Screen(&w), "grid-popup-selection.png");
  g->gridPopupMenu->hide();

  // Editing mode: the third title open in the in-place editor.
  g->setCurrentIndex(g->model()->index(2, 1));
  QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
  QApplication::sendEvent(g, &enter);
  ASSERT_TRUE(g->Modes().Editing());
  ASSERT_NE(g->Editor(), nullptr);
  g->Editor()->setText("可能性の扉（リミックス）");
  g->Editor()->setSelection(5, 7);
  Settle();
  Save(w.grab(), "grid-editing.png");

  const QRect edited = g->visualRect(g->model()->index(2, 1));
  g->gridPopupMenu->popup(g->viewport()->mapToGlobal(edited.center()));
  Settle();
  Save(Screen(&w), "grid-popup-editing.png");
  g->gridPopupMenu->hide();
}

TEST_F(Screenshots, OptionsTabs) {
  auto program = MakeProgram();
  app::MainWindow& w = Filled(*program);
  app::OptionsDialog& o = program->OptionsWindow();
  Settle();
  modal->Then([&](QWidget*) {
    o.proxyHostEdit->setText("proxy.example.jp");
    emit o.proxyHostEdit->textEdited(o.proxyHostEdit->text());
    o.proxyPortEdit->setText("8080");
    emit o.proxyPortEdit->textEdited(o.proxyPortEdit->text());
    Settle();
    Save(o.grab(), "options-proxy.png");
    o.tabs->setCurrentIndex(1);
    o.serverHostBox->setCurrentIndex(1);
    emit o.serverHostBox->activated(1);
    Settle();
    Save(o.grab(), "options-server.png");
    o.tabs->setCurrentIndex(2);
    Settle();
    Save(o.grab(), "options-email.png");
    o.tabs->setCurrentIndex(3);
    Settle();
    Save(o.grab(), "options-sources.png");
    o.cancelButton->click();
  });
  w.MenuAction(shell::MenuId::Options)->trigger();
  EXPECT_TRUE(modal->AllAnswered());
}

// gnudb's refusal of an unregistered client: the box over the window.
TEST_F(Screenshots, ServerRefusalBox) {
  RefusingCddbServer server;
  auto program = MakeProgram();
  app::MainWindow& w = Filled(*program);
  w.Core().SetServerUrl(server.CgiUrl());
  Settle();
  QString text;
  modal->Then([&](QWidget* box) {
    auto* message = qobject_cast<QMessageBox*>(box);
    ASSERT_NE(message, nullptr);
    text = message->text();
    Settle();
    Save(Screen(&w), "server-refusal.png");
    message->accept();
  });
  w.MenuAction(shell::MenuId::LookUpDisc)->trigger();
  Settle();
  EXPECT_TRUE(modal->AllAnswered());
  EXPECT_TRUE(text.startsWith(QStringLiteral("サーバからの応答：500 Unknown developer email\n")))
      << text.toStdString();
}

// The two other sources of titles on the demo discs: the Japanese disc
// that carries CD-Text, as its read fills the window, then the same disc
// after MusicBrainz answered, and the match dialog for a disc MusicBrainz
// knows three releases of.
TEST_F(Screenshots, TitleSources) {
  mbsim::Server service(std::string(SONOLABEL_SOURCE_DIR) + "/tools/mbsim/data");
  std::string why;
  ASSERT_TRUE(service.Listen(0, why)) << why;
  std::thread serving([&service] { service.Run(std::chrono::seconds(120)); });
  struct Join {
    mbsim::Server& s;
    std::thread& t;
    ~Join() {
      s.Stop();
      t.join();
    }
  } join{service, serving};
  ::setenv("SONOLABEL_SIM_DRIVES", (std::string(SONOLABEL_SOURCE_DIR) + "/demo/drives.ini").c_str(), 1);
  WriteFileBytes(dir.File("sonolabel.INI"),
                 "[tunedex]\r\nemail=tester@example.com\r\nselectserver=0\r\nservercount=0\r\n"
                 "[musicbrainz]\r\nuse=1\r\nserver=http://127.0.0.1:" +
                     std::to_string(service.Port()) + "\r\n");
  constexpr int kJpopDrive = 1;
  constexpr int kCdTextDrive = 4;

  auto program = MakeProgram();
  app::MainWindow& w = program->Window();
  w.move(0, 0);
  w.show();
  w.PickDrive(kCdTextDrive);
  Settle();
  EXPECT_EQ(w.statusPanel->text(), QStringLiteral("CD-Textから読み込み"));
  Save(w.grab(), "cdtext-window.png");

  auto* lookUp = w.findChild<QAction*>(QStringLiteral("musicBrainzLookupItem"));
  ASSERT_NE(lookUp, nullptr);
  lookUp->trigger();
  Settle();
  EXPECT_EQ(w.statusPanel->text(), QStringLiteral("MusicBrainz取得完了"));
  Save(w.grab(), "musicbrainz-window.png");

  w.PickDrive(kJpopDrive);
  Settle();
  modal->Then([&](QWidget* dialog) {
    Settle();
    Save(Screen(dialog), "musicbrainz-matches.png");
    program->MatchChooser().takeMatchButton->click();
  });
  lookUp->trigger();
  Settle();
  EXPECT_TRUE(modal->AllAnswered());
}

}  // namespace
}  // namespace sl::test
