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
#include <QTabBar>
#include <QTabWidget>
#include <QTest>
#include <QTimer>

#include "app/mainwindow.h"
#include "app/optionsdialog.h"
#include "app_fixture.h"
#include "settings/settings.h"
#include "support/recorder.h"

namespace sl::test {
namespace {

using app::MainWindow;
using app::OptionsDialog;

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
  OptionsDialog& o = program->OptionsWindow();
  EXPECT_EQ(o.windowTitle(), "オプション");
  EXPECT_EQ(o.size(), QSize(516, 193));
  EXPECT_EQ(o.okButton->text(), "OK");
  EXPECT_EQ(o.okButton->geometry(), QRect(432, 22, 75, 25));
  EXPECT_TRUE(o.okButton->isDefault());
  EXPECT_EQ(o.cancelButton->text(), "キャンセル");
  EXPECT_EQ(o.cancelButton->geometry(), QRect(432, 52, 75, 25));
  EXPECT_EQ(o.tabs->size(), QSize(425, 193));
  ASSERT_EQ(o.tabs->count(), 4);
  EXPECT_EQ(o.tabs->tabText(0), "プロクシ");
  EXPECT_EQ(o.tabs->tabText(1), "tunedexサーバ");
  EXPECT_EQ(o.tabs->tabText(2), "メールアドレス");
  EXPECT_EQ(o.tabs->tabText(3), "情報源");
  EXPECT_EQ(o.proxyHostEdit->width(), 289);
  EXPECT_EQ(o.proxyPortEdit->width(), 81);
  EXPECT_EQ(o.serverHostBox->width(), 209);
  EXPECT_TRUE(o.serverHostBox->isEditable());
  EXPECT_EQ(o.serverHostBox->completer(), nullptr);
  EXPECT_EQ(o.serverPathEdit->width(), 209);
  EXPECT_EQ(o.emailEdit->width(), 249);
  EXPECT_EQ(o.addServerButton->text(), "追加");
  EXPECT_EQ(o.applyServerButton->text(), "適用");
  EXPECT_EQ(o.doubleByteCheck->text(), "2ﾊﾞｲﾄ文字");
}

TEST_F(Options, AddAServerAndChangeProxyAndAddressFromTheMenu) {
  auto program = MakeProgram();
  MainWindow& w = program->Window();
  OptionsDialog& o = program->OptionsWindow();
  w.show();
  w.move(30, 20);
  modal->Then([&](QWidget* dialog) {
    EXPECT_EQ(dialog, &o);
    EXPECT_EQ(o.pos(), w.pos());  // the main window's top-left corner
    EXPECT_EQ(o.tabs->currentIndex(), 0);
    EXPECT_EQ(o.proxyHostEdit->text(), "");
    EXPECT_EQ(o.emailEdit->text(), "tester@example.com");
    EXPECT_EQ(o.serverHostBox->count(), 2);
    EXPECT_EQ(o.serverHostBox->currentText(), "127.0.0.1");
    EXPECT_FALSE(o.applyServerButton->isEnabled());
    EXPECT_FALSE(o.doubleByteCheck->isEnabled());
    EXPECT_EQ(o.serverPathEdit->text(), "/~cddb/cddb.cgi?");

    o.proxyHostEdit->setText("proxy.example");
    emit o.proxyHostEdit->textEdited(o.proxyHostEdit->text());
    o.proxyPortEdit->setText("3128");
    emit o.proxyPortEdit->textEdited(o.proxyPortEdit->text());
    o.tabs->setCurrentIndex(1);
    // Picking the second host shows its path and its code 1.
    o.serverHostBox->setCurrentIndex(1);
    emit o.serverHostBox->activated(1);
    EXPECT_TRUE(o.doubleByteCheck->isEnabled());
    EXPECT_FALSE(o.doubleByteCheck->isChecked());
    o.addServerButton->click();
    EXPECT_EQ(o.serverHostBox->currentText(), "");
    EXPECT_TRUE(o.doubleByteCheck->isEnabled());
    Type(o.serverHostBox->lineEdit(), "cddb.example.jp");
    EXPECT_TRUE(o.applyServerButton->isEnabled());
    o.doubleByteCheck->click();
    o.applyServerButton->click();
    EXPECT_FALSE(o.applyServerButton->isEnabled());
    o.tabs->setCurrentIndex(2);
    o.emailEdit->setText("new@example.org");
    emit o.emailEdit->textEdited(o.emailEdit->text());
    o.okButton->click();
  });
  w.MenuAction(shell::MenuId::Options)->trigger();
  EXPECT_TRUE(modal->AllAnswered());
  EXPECT_EQ(Setting("tunedex", "proxyIP"), "proxy.example");
  EXPECT_EQ(Setting("tunedex", "proxyport"), "3128");
  EXPECT_EQ(Setting("tunedex", "email"), "new@example.org");
  EXPECT_EQ(Setting("tunedex", "submitemail"), "submit@example.com");
  EXPECT_EQ(Setting("tunedex", "servercount"), "3");
  EXPECT_EQ(Setting("svr2", "host"), "cddb.example.jp");
  EXPECT_EQ(Setting("svr2", "code"), "2");
  // The server menu shows the new entry at once.
  ASSERT_EQ(w.serverMenu->actions().size(), 3);
  EXPECT_EQ(w.serverMenu->actions()[2]->text(), "cddb.example.jp");

  // The next time the dialog opens on the tab it was closed on; Escape
  // cancels.
  modal->Then([&](QWidget*) {
    EXPECT_EQ(o.tabs->currentIndex(), 2);
    EXPECT_EQ(o.proxyHostEdit->text(), "proxy.example");
    o.emailEdit->setText("dropped@example.org");
    emit o.emailEdit->textEdited(o.emailEdit->text());
    QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QApplication::sendEvent(&o, &esc);
  });
  w.MenuAction(shell::MenuId::Options)->trigger();
  EXPECT_TRUE(modal->AllAnswered());
  EXPECT_EQ(Setting("tunedex", "email"), "new@example.org");
}

TEST_F(Options, APortThatIsNoNumberStopsWithAnErrorBox) {
  auto program = MakeProgram();
  MainWindow& w = program->Window();
  OptionsDialog& o = program->OptionsWindow();
  w.show();
  QString boxText;
  modal->Then([&](QWidget*) {
    o.proxyHostEdit->setText("proxy.example");
    emit o.proxyHostEdit->textEdited(o.proxyHostEdit->text());
    o.proxyPortEdit->setText("80a");
    emit o.proxyPortEdit->textEdited(o.proxyPortEdit->text());
    o.okButton->click();
  });
  modal->Then([&](QWidget* box) {
    auto* mb = qobject_cast<QMessageBox*>(box);
    ASSERT_NE(mb, nullptr);
    boxText = mb->text();
    EXPECT_EQ(mb->icon(), QMessageBox::Critical);
    mb->accept();
  });
  w.MenuAction(shell::MenuId::Options)->trigger();
  EXPECT_TRUE(modal->AllAnswered());
  EXPECT_EQ(boxText, "ポート番号「80a」は整数ではありません。");
  EXPECT_EQ(Setting("tunedex", "proxyIP"), "<none>");
}

// Typed text equal to a stored host is typed text, not a pick: leaving the
// box for "適用" must not select that entry, so that after the refusal the
// next host typed is added as a new entry instead of renaming a stored one.
TEST_F(Options, TypedHostEqualToAStoredOneSelectsNoEntry) {
  auto program = MakeProgram();
  MainWindow& w = program->Window();
  OptionsDialog& o = program->OptionsWindow();
  w.show();
  modal->Then([&](QWidget*) {
    ASSERT_TRUE(QTest::qWaitForWindowActive(&o));
    o.tabs->setCurrentIndex(1);
    QTest::mouseClick(o.addServerButton, Qt::LeftButton);
    QTest::mouseClick(o.serverHostBox->lineEdit(), Qt::LeftButton);
    ASSERT_TRUE(o.serverHostBox->hasFocus());
    QTest::keyClicks(QApplication::focusWidget(), "localhost");  // stored as svr1
    ASSERT_TRUE(o.applyServerButton->isEnabled());
    QTest::mouseClick(o.applyServerButton, Qt::LeftButton);  // refused: it is stored
    EXPECT_FALSE(o.serverHostBox->hasFocus());               // the click took the focus
    QTest::mouseClick(o.serverHostBox->lineEdit(), Qt::LeftButton);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(QApplication::focusWidget(), "jp.example.org");
    QTest::mouseClick(o.applyServerButton, Qt::LeftButton);
    QTest::mouseClick(o.cancelButton, Qt::LeftButton);
  });
  w.MenuAction(shell::MenuId::Options)->trigger();
  EXPECT_TRUE(modal->AllAnswered());
  EXPECT_EQ(Setting("tunedex", "servercount"), "3");
  EXPECT_EQ(Setting("svr0", "host"), "127.0.0.1");
  EXPECT_EQ(Setting("svr1", "host"), "localhost");
  EXPECT_EQ(Setting("svr2", "host"), "jp.example.org");

  // A pick from the list (by the arrow key) still selects: its path shows.
  settings::SettingsFile(dir.File("sonolabel.INI")).WriteString("svr1", "path", "/picked?");
  modal->Then([&](QWidget*) {
    ASSERT_TRUE(QTest::qWaitForWindowActive(&o));
    QTest::mouseClick(o.serverHostBox->lineEdit(), Qt::LeftButton);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Down);
    EXPECT_EQ(o.serverHostBox->currentText(), "localhost");
    EXPECT_EQ(o.serverPathEdit->text(), "/picked?");
    QTest::mouseClick(o.cancelButton, Qt::LeftButton);
  });
  w.MenuAction(shell::MenuId::Options)->trigger();
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
  MainWindow& w = program->Window();
  OptionsDialog& o = program->OptionsWindow();
  w.show();
  modal->Then([&](QWidget*) {
    ASSERT_TRUE(QTest::qWaitForWindowActive(&o));
    o.tabs->setCurrentIndex(1);
    EXPECT_EQ(o.serverHostBox->currentText(), "127.0.0.1");
    EXPECT_TRUE(o.utf8Check->isChecked());
    // Retype the last character of the shown host: an edit is pending.
    QTest::mouseClick(o.serverHostBox->lineEdit(), Qt::LeftButton);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_End);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backspace);
    QTest::keyClicks(QApplication::focusWidget(), "1");
    EXPECT_TRUE(o.applyServerButton->isEnabled());
    QTest::mouseClick(o.okButton, Qt::LeftButton);
  });
  w.MenuAction(shell::MenuId::Options)->trigger();
  EXPECT_TRUE(modal->AllAnswered());
  EXPECT_EQ(Setting("svr0", "charset"), "UTF-8");

  // Opened again on a file whose first entry has no charset: unticked.
  ASSERT_TRUE(settings::SettingsFile(dir.File("sonolabel.INI")).WriteSections({{"svr0", {}, {"charset"}}}));
  modal->Then([&](QWidget*) {
    EXPECT_FALSE(o.utf8Check->isChecked());
    QTest::mouseClick(o.cancelButton, Qt::LeftButton);
  });
  w.MenuAction(shell::MenuId::Options)->trigger();
  EXPECT_TRUE(modal->AllAnswered());
}

// The "情報源" tab worked with the mouse and keyboard: its fields start from
// the settings, the read-only contact line follows the contact and e-mail
// boxes as they are typed, and OK stores the tab with the others.
TEST_F(Options, SourcesTabTypedAndClickedIsStoredOnOk) {
  settings::SettingsFile(dir.File("sonolabel.INI")).WriteString("tunedex", "proxyport", "8080");
  auto program = MakeProgram();
  MainWindow& w = program->Window();
  OptionsDialog& o = program->OptionsWindow();
  w.show();
  modal->Then([&](QWidget*) {
    ASSERT_TRUE(QTest::qWaitForWindowActive(&o));
    ASSERT_EQ(o.tabs->count(), 4);
    EXPECT_EQ(o.tabs->tabText(3), "情報源");
    QTest::mouseClick(o.tabs->tabBar(), Qt::LeftButton, {}, o.tabs->tabBar()->tabRect(3).center());
    ASSERT_EQ(o.tabs->currentWidget(), o.sourcesTab);
    // A file without the keys: never, the public server, CD-Text on, and
    // the e-mail address as the contact sent.
    EXPECT_EQ(o.musicBrainzUseBox->currentIndex(), 0);
    EXPECT_EQ(o.musicBrainzUseBox->count(), 3);
    EXPECT_EQ(o.musicBrainzServerEdit->text(), "https://musicbrainz.org");
    EXPECT_EQ(o.musicBrainzContactEdit->text(), "");
    EXPECT_EQ(o.sentContactEdit->text(), "tester@example.com");
    EXPECT_TRUE(o.sentContactEdit->isReadOnly());
    EXPECT_TRUE(o.cdTextCheck->isChecked());

    QTest::mouseClick(o.musicBrainzServerEdit, Qt::LeftButton);
    ASSERT_TRUE(o.musicBrainzServerEdit->hasFocus());
    QTest::keyClick(o.musicBrainzServerEdit, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(o.musicBrainzServerEdit, "http://127.0.0.1:5000/");
    // Tab to the contact; the line below it follows each key.
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    ASSERT_EQ(QApplication::focusWidget(), o.musicBrainzContactEdit);
    QTest::keyClicks(o.musicBrainzContactEdit, "me@");
    EXPECT_EQ(o.sentContactEdit->text(), "me@");
    QTest::keyClicks(o.musicBrainzContactEdit, "example.org");
    EXPECT_EQ(o.sentContactEdit->text(), "me@example.org");
    // Tab passes the read-only line by and reaches the CD-Text box.
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    ASSERT_EQ(QApplication::focusWidget(), o.cdTextCheck);
    QTest::keyClick(o.cdTextCheck, Qt::Key_Space);
    EXPECT_FALSE(o.cdTextCheck->isChecked());
    // Back to the use box and one step down with the arrow key.
    QTest::mouseClick(o.musicBrainzServerEdit, Qt::LeftButton);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab);
    ASSERT_EQ(QApplication::focusWidget(), o.musicBrainzUseBox);
    QTest::keyClick(o.musicBrainzUseBox, Qt::Key_Down);
    QTest::keyClick(o.musicBrainzUseBox, Qt::Key_Down);
    EXPECT_EQ(o.musicBrainzUseBox->currentText(), "CDDBサーバより先に");
    QTest::mouseClick(o.okButton, Qt::LeftButton);
  });
  w.MenuAction(shell::MenuId::Options)->trigger();
  EXPECT_TRUE(modal->AllAnswered());
  EXPECT_EQ(Setting("musicbrainz", "server"), "http://127.0.0.1:5000");
  EXPECT_EQ(Setting("musicbrainz", "contact"), "me@example.org");
  EXPECT_EQ(Setting("musicbrainz", "use"), "2");
  EXPECT_EQ(Setting("cdtext", "use"), "0");
  EXPECT_EQ(Setting("tunedex", "email"), "tester@example.com");

  // Emptying the contact shows the address again, and a new address typed
  // on the e-mail tab shows on the sources tab. Cancel stores none of it.
  modal->Then([&](QWidget*) {
    ASSERT_TRUE(QTest::qWaitForWindowActive(&o));
    ASSERT_EQ(o.tabs->currentWidget(), o.sourcesTab);  // the tab it was closed on
    EXPECT_EQ(o.musicBrainzUseBox->currentIndex(), 2);
    EXPECT_FALSE(o.cdTextCheck->isChecked());
    QTest::mouseClick(o.musicBrainzContactEdit, Qt::LeftButton);
    QTest::keyClick(o.musicBrainzContactEdit, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(o.musicBrainzContactEdit, Qt::Key_Backspace);
    EXPECT_EQ(o.sentContactEdit->text(), "tester@example.com");
    QTest::mouseClick(o.tabs->tabBar(), Qt::LeftButton, {}, o.tabs->tabBar()->tabRect(2).center());
    QTest::mouseClick(o.emailEdit, Qt::LeftButton);
    QTest::keyClick(o.emailEdit, Qt::Key_End);
    QTest::keyClicks(o.emailEdit, ".jp");
    QTest::mouseClick(o.tabs->tabBar(), Qt::LeftButton, {}, o.tabs->tabBar()->tabRect(3).center());
    EXPECT_EQ(o.sentContactEdit->text(), "tester@example.com.jp");
    QTest::mouseClick(o.cdTextCheck, Qt::LeftButton);
    EXPECT_TRUE(o.cdTextCheck->isChecked());
    QTest::mouseClick(o.cancelButton, Qt::LeftButton);
  });
  w.MenuAction(shell::MenuId::Options)->trigger();
  EXPECT_TRUE(modal->AllAnswered());
  EXPECT_EQ(Setting("musicbrainz", "contact"), "me@example.org");
  EXPECT_EQ(Setting("cdtext", "use"), "0");
  EXPECT_EQ(Setting("tunedex", "email"), "tester@example.com");
}

// A server that is not an http:// or https:// address is refused with a box
// that names it, and no tab's value is stored. The dialog stays open with
// what was typed: corrected, the same OK stores every tab.
TEST_F(Options, SourcesTabRefusesAServerThatIsNoWebAddress) {
  settings::SettingsFile(dir.File("sonolabel.INI")).WriteString("tunedex", "proxyport", "8080");
  auto program = MakeProgram();
  MainWindow& w = program->Window();
  OptionsDialog& o = program->OptionsWindow();
  w.show();
  const std::string before = test::ReadFileBytes(dir.File("sonolabel.INI"));
  QString boxText;
  modal->Then([&](QWidget*) {
    ASSERT_TRUE(QTest::qWaitForWindowActive(&o));
    QTest::mouseClick(o.proxyHostEdit, Qt::LeftButton);
    QTest::keyClicks(o.proxyHostEdit, "proxy.example");
    QTest::mouseClick(o.tabs->tabBar(), Qt::LeftButton, {}, o.tabs->tabBar()->tabRect(3).center());
    QTest::mouseClick(o.musicBrainzServerEdit, Qt::LeftButton);
    QTest::keyClick(o.musicBrainzServerEdit, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(o.musicBrainzServerEdit, "musicbrainz.org");
    QTest::keyClick(o.musicBrainzServerEdit, Qt::Key_Tab);
    QTest::keyClicks(QApplication::focusWidget(), "me@example.org");
    // Clicked from the event loop, as a user's click comes: the box it
    // opens is answered by the next step.
    QTimer::singleShot(0, o.okButton, [&o] { QTest::mouseClick(o.okButton, Qt::LeftButton); });
  });
  modal->Then([&](QWidget* box) {
    auto* mb = qobject_cast<QMessageBox*>(box);
    ASSERT_NE(mb, nullptr);
    boxText = mb->text();
    EXPECT_EQ(mb->icon(), QMessageBox::Critical);
    mb->accept();
  });
  modal->Then([&](QWidget* widget) {
    EXPECT_EQ(widget, &o);
    EXPECT_EQ(test::ReadFileBytes(dir.File("sonolabel.INI")), before);
    EXPECT_EQ(o.proxyHostEdit->text(), "proxy.example");
    EXPECT_EQ(o.musicBrainzServerEdit->text(), "musicbrainz.org");
    QTest::mouseClick(o.musicBrainzServerEdit, Qt::LeftButton);
    QTest::keyClick(o.musicBrainzServerEdit, Qt::Key_Home);
    QTest::keyClicks(o.musicBrainzServerEdit, "https://");
    QTest::mouseClick(o.okButton, Qt::LeftButton);
  });
  w.MenuAction(shell::MenuId::Options)->trigger();
  EXPECT_TRUE(modal->AllAnswered());
  EXPECT_EQ(modal->Unexpected(), 0);
  EXPECT_TRUE(boxText.contains(
      "MusicBrainzのサーバ「musicbrainz.org」は http:// か https:// で始まるURLではありません。"))
      << boxText.toStdString();
  EXPECT_EQ(Setting("musicbrainz", "server"), "https://musicbrainz.org");
  EXPECT_EQ(Setting("musicbrainz", "contact"), "me@example.org");
  EXPECT_EQ(Setting("tunedex", "proxyIP"), "proxy.example");
}

}  // namespace
}  // namespace sl::test
