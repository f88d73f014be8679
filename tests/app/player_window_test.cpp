// The window (offscreen) importing from and exporting to the reference
// player running as its own process; a Close arriving while the export's
// question is open.
#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QTableView>
#include <chrono>
#include <thread>

#include "app/mainwindow.h"
#include "app_fixture.h"
#include "ipc/ipc.h"
#include "support/dsmp_process.h"
#include "support/scoped_env.h"

namespace sl::test {
namespace {

const char* kList =
    "{\"version\":6100,\"accepts_level\":true,\"refuse\":\"\",\"playlist\":{\"name\":\"/m/l.dpl\","
    "\"title\":\"\",\"tracks\":[{\"title\":\"Uno\",\"file\":\"D:\\\\Track01.cda\",\"kind\":16},"
    "{\"title\":\"\",\"file\":\"D:\\\\Track02.cda\",\"kind\":16},"
    "{\"title\":\"Tres\",\"file\":\"D:\\\\Track03.cda\",\"kind\":16}]},\"saves\":[]}";

class PlayerWindow : public AppTest {
 protected:
  void SetUp() override {
    AppTest::SetUp();
    link.PlayerProgram("").TimeoutMs(500);
    env.Set("SONOLABEL_IPC_TIMEOUT_MS", "500");  // the players it starts
  }
  // Runs the event loop until `done`, for at most `ms` of wall time (a
  // loaded machine may need many more rounds than an idle one).
  bool Loop(const std::function<bool()>& done, int ms = 10000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done() && std::chrono::steady_clock::now() < deadline) {
      QApplication::processEvents(QEventLoop::AllEvents, 5);
      ipc::PumpUntil([] { return true; }, 0);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return done();
  }
  ScopedEnv env;
  ScopedLinkSettings link;
  PrivateRuntime runtime;
};

void Click(QWidget* widget, QMessageBox::StandardButton which) {
  auto* box = qobject_cast<QMessageBox*>(widget);
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(box->text(), "アーティスト名も登録しますか？。");
  EXPECT_EQ(box->icon(), QMessageBox::Question);
  box->button(which)->click();
}

TEST_F(PlayerWindow, ImportAndExportThroughTheMenus) {
  if (!HaveSimLayer()) GTEST_SKIP();
  DsmpProcess sim(kList);
  auto program = MakeProgram();
  auto& w = program->Window();
  w.show();
  w.PickDrive(0);
  w.MenuAction(shell::MenuId::ImportFromPlayer)->trigger();
  EXPECT_EQ(w.statusPanel->text(), "DSMPからリスト取込完了");
  auto* model = w.trackGrid->model();
  EXPECT_EQ(model->index(0, 1).data().toString(), "Uno");
  EXPECT_EQ(model->index(2, 1).data().toString(), "Tres");

  // Export: the window's title and row 2 fill what the list lacks.
  w.titleEdit->setText("Window title");
  w.Model().Table().SetCell(1, 2, "Dos");
  w.Model().SetEnabled(shell::MenuId::ExportToPlayer, true);
  w.SyncFromModel(true);
  modal->Then([](QWidget* box) { Click(box, QMessageBox::No); });
  w.MenuAction(shell::MenuId::ExportToPlayer)->trigger();
  EXPECT_TRUE(modal->AllAnswered());
  EXPECT_EQ(w.statusPanel->text(), "DSMPに転送完了しました。");
  EXPECT_FALSE(w.MenuAction(shell::MenuId::ExportToPlayer)->isEnabled());
  auto state = sim.State();
  EXPECT_EQ(platform::JsonText(state["playlist"], "title"), "Window title");
  EXPECT_EQ(platform::JsonText(state["playlist"]["tracks"][1], "title"), "Dos");
  EXPECT_EQ(modal->Unexpected(), 0);
}

TEST_F(PlayerWindow, ACloseWhileTheQuestionIsOpenIsHandledByTheDialogsLoop) {
  if (!HaveSimLayer()) GTEST_SKIP();
  DsmpProcess sim(kList);
  auto program = MakeProgram();
  auto& w = program->Window();
  w.show();
  w.Model().SetEnabled(shell::MenuId::ExportToPlayer, true);
  w.SyncFromModel(true);
  bool unboundWhileOpen = false;
  modal->Then([&](QWidget* box) {
    sim.Command("close");
    // Only the dialog's event loop runs here: it delivers the notification.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (w.Core().playerLink().Bound() && std::chrono::steady_clock::now() < deadline) {
      QApplication::processEvents(QEventLoop::AllEvents, 5);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    unboundWhileOpen = !w.Core().playerLink().Bound();
    Click(box, QMessageBox::Yes);
  });
  w.MenuAction(shell::MenuId::ExportToPlayer)->trigger();
  EXPECT_TRUE(unboundWhileOpen);
  EXPECT_EQ(w.statusPanel->text(), "DSMPに転送完了しました。");
  EXPECT_FALSE(w.Model().CommandRunning());
  // The window stays usable: the next import reports the player gone.
  ASSERT_TRUE(Loop([&] { return sim.Exited(); }));
  w.MenuAction(shell::MenuId::ImportFromPlayer)->trigger();
  EXPECT_EQ(w.statusPanel->text(), "DSMPと接続できません。");
}

}  // namespace
}  // namespace sl::test
