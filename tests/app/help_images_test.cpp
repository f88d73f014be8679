// Pictures for the help guide (docs/help/images/), taken of the program as a
// user meets it in demo mode: the first start, the drive box, a disc read,
// a lookup, the match dialog and the menus. Runs only when
// SONOLABEL_HELP_IMAGES names a folder, on a real display:
//   SONOLABEL_HELP_IMAGES=docs/help/images SONOLABEL_TEST_QPA=xcb xvfb-run -a
//     -s "-screen 0 1024x768x24" build/bin/test_app --gtest_filter='HelpImages.*'
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QInputDialog>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QTableWidget>
#include <cstdlib>

#include "app/formmain.h"
#include "app/formsearch.h"
#include "app_fixture.h"
#include "demo/demo.h"
#include "pictures.h"
#include "support/scoped_env.h"

namespace sl::test {
namespace {

using shell::MenuId;

class HelpImages : public AppTest {
 protected:
  void SetUp() override {
    if (!folder_.Given()) GTEST_SKIP() << "SONOLABEL_HELP_IMAGES is not set";
    AppTest::SetUp();
  }
  void TearDown() override {
    if (folder_.Given()) AppTest::TearDown();
  }
  void Save(const QPixmap& pixmap, const char* name) { folder_.Save(pixmap, name); }

  PictureFolder folder_{"SONOLABEL_HELP_IMAGES"};
};

TEST_F(HelpImages, DemoWalkThrough) {
  // A demo of its own, as on a first start.
  ScopedEnv env;
  env.Set("XDG_STATE_HOME", dir.File("state").c_str());
  for (const char* name : {"SONOLABEL_ASPI", "SONOLABEL_SIM_DRIVES", "SONOLABEL_INI", "SONOLABEL_WINDIR",
                           "SONOLABEL_DSMP", "DSMP_SIM_STATE", "XDG_RUNTIME_DIR"})
    env.Set(name, std::getenv(name));
  demo::DemoSession demo;
  std::string why;
  ASSERT_TRUE(demo.Start(SONOLABEL_BIN_DIR, why)) << why;
  app::Program program(mainform::Environment::FromProcess());
  app::TFormMain& w = program.FormMain();

  // The first start asks for the e-mail address.
  modal->Then([&](QWidget* box) {
    auto* input = qobject_cast<QInputDialog*>(box);
    ASSERT_NE(input, nullptr);
    input->setTextValue(QStringLiteral("you@example.jp"));
    Settle();
    Save(box->grab(), "first-start.png");
    input->accept();
  });
  w.show();
  w.move(40, 40);
  Settle(40);
  ASSERT_TRUE(modal->AllAnswered());
  Save(w.grab(), "main-window.png");

  // The drive box open.
  w.ComboBox1->showPopup();
  Settle();
  Save(Screen(&w, w.frameGeometry().width(), 260), "drive-list.png");
  w.ComboBox1->hidePopup();

  // The Japanese disc read, then looked up.
  w.ComboBox1->setCurrentIndex(1);
  w.ComboBox1Pick(1);
  Settle();
  Save(w.grab(), "disc-read.png");
  auto acceptBox = [](QWidget* box) {
    ASSERT_NE(qobject_cast<QMessageBox*>(box), nullptr);
    qobject_cast<QMessageBox*>(box)->accept();
  };
  modal->Then(acceptBox);
  w.MenuAction(MenuId::C1)->trigger();
  Settle();
  Save(w.grab(), "lookup.png");

  // The disc with two entries: the match dialog.
  w.ComboBox1->setCurrentIndex(2);
  w.ComboBox1Pick(2);
  modal->Then([&](QWidget* dialog) {
    auto* search = qobject_cast<app::TFormSearch*>(dialog);
    ASSERT_NE(search, nullptr);
    search->StringGrid1->selectRow(0);
    Settle();
    Save(search->grab(), "matches.png");
    search->Button2->click();
  });
  modal->Then(acceptBox);
  w.MenuAction(MenuId::C1)->trigger();
  Settle();
  ASSERT_TRUE(modal->AllAnswered());
  Save(w.grab(), "match-chosen.png");

  // The menus: a menu and the submenu under it, as the pointer opens them.
  QMenuBar* bar = w.menuBar();
  auto openMenu = [&](MenuId top, MenuId item, const char* name) {
    QAction* topAction = w.MenuAction(top);
    QMenu* menu = topAction->menu();
    menu->popup(bar->mapToGlobal(bar->actionGeometry(topAction).bottomLeft()));
    Settle();
    QAction* itemAction = w.MenuAction(item);
    menu->setActiveAction(itemAction);
    itemAction->menu()->popup(menu->mapToGlobal(menu->actionGeometry(itemAction).topRight()));
    Settle();
    Save(Screen(&w, 520, 200), name);
    itemAction->menu()->hide();
    menu->hide();
    Settle();
  };
  openMenu(MenuId::F1, MenuId::S3, "localdb-menu.png");
  openMenu(MenuId::E1, MenuId::N3, "server-menu.png");
  w.close();
  Settle();
}

}  // namespace
}  // namespace sl::test
