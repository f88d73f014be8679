// The options dialog on screen, opened from the menu and worked like a user.
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>

#include "app/formmain.h"
#include "app/formoption.h"
#include "app_fixture.h"
#include "settings/settings.h"

namespace sl::test {
namespace {

using app::TFormMain;
using app::TFormOption;

class Options : public AppTest {
 protected:
  static void Type(QLineEdit* edit, const QString& text) {
    for (const QChar c : text) {
      QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(c));
      QApplication::sendEvent(edit, &press);
    }
  }
  std::string Setting(const char* section, const char* key) const {
    settings::SettingsFile f(dir.File("sonolabel.INI"));
    return f.ReadString(section, key, "<none>");
  }
};

TEST_F(Options, LayoutCaptionsAndStartState) {
  auto program = MakeProgram();
  TFormOption& o = program->FormOption();
  EXPECT_EQ(o.windowTitle(), "オプション");
  EXPECT_EQ(o.size(), QSize(516, 193));
  EXPECT_EQ(o.Button1->text(), "OK");
  EXPECT_EQ(o.Button1->geometry(), QRect(432, 22, 75, 25));
  EXPECT_TRUE(o.Button1->isDefault());
  EXPECT_EQ(o.Button2->text(), "キャンセル");
  EXPECT_EQ(o.Button2->geometry(), QRect(432, 52, 75, 25));
  EXPECT_EQ(o.PageControl1->size(), QSize(425, 193));
  ASSERT_EQ(o.PageControl1->count(), 3);
  EXPECT_EQ(o.PageControl1->tabText(0), "プロクシ");
  EXPECT_EQ(o.PageControl1->tabText(1), "tunedexサーバ");
  EXPECT_EQ(o.PageControl1->tabText(2), "メールアドレス");
  EXPECT_EQ(o.Edit1->width(), 289);
  EXPECT_EQ(o.Edit2->width(), 81);
  EXPECT_EQ(o.ComboBox1->width(), 209);
  EXPECT_TRUE(o.ComboBox1->isEditable());
  EXPECT_EQ(o.ComboBox1->completer(), nullptr);
  EXPECT_EQ(o.Edit3->width(), 209);
  EXPECT_EQ(o.Edit4->width(), 249);
  EXPECT_EQ(o.Button4->text(), "追加");
  EXPECT_EQ(o.Button5->text(), "適用");
  EXPECT_EQ(o.CheckBox1->text(), "2ﾊﾞｲﾄ文字");
}

TEST_F(Options, AddAServerAndChangeProxyAndAddressFromTheMenu) {
  auto program = MakeProgram();
  TFormMain& w = program->FormMain();
  TFormOption& o = program->FormOption();
  w.show();
  w.move(30, 20);
  modal->Then([&](QWidget* dialog) {
    EXPECT_EQ(dialog, &o);
    EXPECT_EQ(o.pos(), w.pos());  // the main window's top-left corner
    EXPECT_EQ(o.PageControl1->currentIndex(), 0);
    EXPECT_EQ(o.Edit1->text(), "");
    EXPECT_EQ(o.Edit4->text(), "tester@example.com");
    EXPECT_EQ(o.ComboBox1->count(), 2);
    EXPECT_EQ(o.ComboBox1->currentText(), "127.0.0.1");
    EXPECT_FALSE(o.Button5->isEnabled());
    EXPECT_FALSE(o.CheckBox1->isEnabled());
    EXPECT_EQ(o.Edit3->text(), "/~cddb/cddb.cgi?");

    o.Edit1->setText("proxy.example");
    emit o.Edit1->textEdited(o.Edit1->text());
    o.Edit2->setText("3128");
    emit o.Edit2->textEdited(o.Edit2->text());
    o.PageControl1->setCurrentIndex(1);
    // Picking the second host shows its path and its code 1.
    o.ComboBox1->setCurrentIndex(1);
    emit o.ComboBox1->activated(1);
    EXPECT_TRUE(o.CheckBox1->isEnabled());
    EXPECT_FALSE(o.CheckBox1->isChecked());
    o.Button4->click();
    EXPECT_EQ(o.ComboBox1->currentText(), "");
    EXPECT_TRUE(o.CheckBox1->isEnabled());
    Type(o.ComboBox1->lineEdit(), "cddb.example.jp");
    EXPECT_TRUE(o.Button5->isEnabled());
    o.CheckBox1->click();
    o.Button5->click();
    EXPECT_FALSE(o.Button5->isEnabled());
    o.PageControl1->setCurrentIndex(2);
    o.Edit4->setText("new@example.org");
    emit o.Edit4->textEdited(o.Edit4->text());
    o.Button1->click();
  });
  w.MenuAction(shell::MenuId::O1)->trigger();
  EXPECT_TRUE(modal->AllAnswered());
  EXPECT_EQ(Setting("tunedex", "proxyIP"), "proxy.example");
  EXPECT_EQ(Setting("tunedex", "proxyport"), "3128");
  EXPECT_EQ(Setting("tunedex", "email"), "new@example.org");
  EXPECT_EQ(Setting("tunedex", "submitemail"), "submit@example.com");
  EXPECT_EQ(Setting("tunedex", "servercount"), "3");
  EXPECT_EQ(Setting("svr2", "host"), "cddb.example.jp");
  EXPECT_EQ(Setting("svr2", "code"), "2");
  // The server menu shows the new entry at once.
  ASSERT_EQ(w.N3Menu->actions().size(), 3);
  EXPECT_EQ(w.N3Menu->actions()[2]->text(), "cddb.example.jp");

  // The next time the dialog opens on the tab it was closed on; Escape
  // cancels.
  modal->Then([&](QWidget*) {
    EXPECT_EQ(o.PageControl1->currentIndex(), 2);
    EXPECT_EQ(o.Edit1->text(), "proxy.example");
    o.Edit4->setText("dropped@example.org");
    emit o.Edit4->textEdited(o.Edit4->text());
    QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QApplication::sendEvent(&o, &esc);
  });
  w.MenuAction(shell::MenuId::O1)->trigger();
  EXPECT_TRUE(modal->AllAnswered());
  EXPECT_EQ(Setting("tunedex", "email"), "new@example.org");
}

TEST_F(Options, APortThatIsNoNumberStopsWithAnErrorBox) {
  auto program = MakeProgram();
  TFormMain& w = program->FormMain();
  TFormOption& o = program->FormOption();
  w.show();
  QString boxText;
  modal->Then([&](QWidget*) {
    o.Edit1->setText("proxy.example");
    emit o.Edit1->textEdited(o.Edit1->text());
    o.Edit2->setText("80a");
    emit o.Edit2->textEdited(o.Edit2->text());
    o.Button1->click();
  });
  modal->Then([&](QWidget* box) {
    auto* mb = qobject_cast<QMessageBox*>(box);
    ASSERT_NE(mb, nullptr);
    boxText = mb->text();
    EXPECT_EQ(mb->icon(), QMessageBox::Critical);
    mb->accept();
  });
  w.MenuAction(shell::MenuId::O1)->trigger();
  EXPECT_TRUE(modal->AllAnswered());
  EXPECT_EQ(boxText, "ポート番号「80a」は整数ではありません。");
  EXPECT_EQ(Setting("tunedex", "proxyIP"), "<none>");
}

// Typed text equal to a stored host is typed text, not a pick: leaving the
// box for "適用" must not select that entry, so that after the refusal the
// next host typed is added as a new entry instead of renaming a stored one.
TEST_F(Options, TypedHostEqualToAStoredOneSelectsNoEntry) {
  auto program = MakeProgram();
  TFormMain& w = program->FormMain();
  TFormOption& o = program->FormOption();
  w.show();
  modal->Then([&](QWidget*) {
    ASSERT_TRUE(QTest::qWaitForWindowActive(&o));
    o.PageControl1->setCurrentIndex(1);
    QTest::mouseClick(o.Button4, Qt::LeftButton);
    QTest::mouseClick(o.ComboBox1->lineEdit(), Qt::LeftButton);
    ASSERT_TRUE(o.ComboBox1->hasFocus());
    QTest::keyClicks(QApplication::focusWidget(), "localhost");  // stored as svr1
    ASSERT_TRUE(o.Button5->isEnabled());
    QTest::mouseClick(o.Button5, Qt::LeftButton);  // refused: it is stored
    EXPECT_FALSE(o.ComboBox1->hasFocus());  // the click took the focus
    QTest::mouseClick(o.ComboBox1->lineEdit(), Qt::LeftButton);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(QApplication::focusWidget(), "jp.example.org");
    QTest::mouseClick(o.Button5, Qt::LeftButton);
    QTest::mouseClick(o.Button2, Qt::LeftButton);
  });
  w.MenuAction(shell::MenuId::O1)->trigger();
  EXPECT_TRUE(modal->AllAnswered());
  EXPECT_EQ(Setting("tunedex", "servercount"), "3");
  EXPECT_EQ(Setting("svr0", "host"), "127.0.0.1");
  EXPECT_EQ(Setting("svr1", "host"), "localhost");
  EXPECT_EQ(Setting("svr2", "host"), "jp.example.org");

  // A pick from the list (by the arrow key) still selects: its path shows.
  settings::SettingsFile(dir.File("sonolabel.INI")).WriteString("svr1", "path", "/picked?");
  modal->Then([&](QWidget*) {
    ASSERT_TRUE(QTest::qWaitForWindowActive(&o));
    QTest::mouseClick(o.ComboBox1->lineEdit(), Qt::LeftButton);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Down);
    EXPECT_EQ(o.ComboBox1->currentText(), "localhost");
    EXPECT_EQ(o.Edit3->text(), "/picked?");
    QTest::mouseClick(o.Button2, Qt::LeftButton);
  });
  w.MenuAction(shell::MenuId::O1)->trigger();
  EXPECT_TRUE(modal->AllAnswered());
}

// The "UTF-8" box shows the first entry's own charset when the dialog opens,
// so that OK after an edit of that entry keeps the key.
TEST_F(Options, Utf8BoxShowsTheShownEntryWhenTheDialogOpens) {
  {
    settings::SettingsFile ini(dir.File("sonolabel.INI"));
    ini.WriteString("svr0", "charset", "UTF-8");
    ini.WriteString("tunedex", "proxyport", "8080");  // OK goes through
  }
  auto program = MakeProgram();
  TFormMain& w = program->FormMain();
  TFormOption& o = program->FormOption();
  w.show();
  modal->Then([&](QWidget*) {
    ASSERT_TRUE(QTest::qWaitForWindowActive(&o));
    o.PageControl1->setCurrentIndex(1);
    EXPECT_EQ(o.ComboBox1->currentText(), "127.0.0.1");
    EXPECT_TRUE(o.CheckBox2->isChecked());
    // Retype the last character of the shown host: an edit is pending.
    QTest::mouseClick(o.ComboBox1->lineEdit(), Qt::LeftButton);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_End);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backspace);
    QTest::keyClicks(QApplication::focusWidget(), "1");
    EXPECT_TRUE(o.Button5->isEnabled());
    QTest::mouseClick(o.Button1, Qt::LeftButton);
  });
  w.MenuAction(shell::MenuId::O1)->trigger();
  EXPECT_TRUE(modal->AllAnswered());
  EXPECT_EQ(Setting("svr0", "charset"), "UTF-8");

  // Opened again on a file whose first entry has no charset: unticked.
  ASSERT_TRUE(settings::SettingsFile(dir.File("sonolabel.INI")).WriteSections({{"svr0", {}, {"charset"}}}));
  modal->Then([&](QWidget*) {
    EXPECT_FALSE(o.CheckBox2->isChecked());
    QTest::mouseClick(o.Button2, Qt::LeftButton);
  });
  w.MenuAction(shell::MenuId::O1)->trigger();
  EXPECT_TRUE(modal->AllAnswered());
}

}  // namespace
}  // namespace sl::test
