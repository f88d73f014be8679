#include "app/optionsdialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QEvent>
#include <QFocusEvent>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTabWidget>

#include "app/texts.h"

namespace sl::app {

namespace {

constexpr int kFieldHeight = 20;

QGroupBox* MakeGroup(QWidget* page, const QString& caption) {
  auto* group = new QGroupBox(caption, page);
  group->setGeometry(8, 8, 400, 144);
  return group;
}

QLabel* MakeLabel(QWidget* parent, const QString& text, int left, int top) {
  auto* label = new QLabel(text, parent);
  QFont font = label->font();
  font.setPixelSize(kLabelFontPx);
  label->setFont(font);
  label->adjustSize();
  label->move(left, top);
  return label;
}

QLineEdit* MakeEdit(QWidget* parent, const char* name, int left, int top, int width) {
  auto* edit = new QLineEdit(parent);
  edit->setObjectName(QString::fromLatin1(name));
  edit->setGeometry(left, top, width, kFieldHeight);
  return edit;
}

QPushButton* MakeButton(QWidget* parent, const char* name, const QString& caption, int left, int top) {
  auto* button = new QPushButton(caption, parent);
  button->setObjectName(QString::fromLatin1(name));
  button->setGeometry(left, top, 75, 25);
  button->setAutoDefault(false);
  return button;
}

QCheckBox* MakeCheck(QWidget* parent, const char* name, const QString& caption, int left, int top) {
  auto* check = new QCheckBox(caption, parent);
  check->setObjectName(QString::fromLatin1(name));
  check->adjustSize();
  check->move(left, top);
  return check;
}

// A page of the tab control, named for the tests.
QWidget* MakePage(const char* name) {
  auto* page = new QWidget;
  page->setObjectName(QString::fromLatin1(name));
  return page;
}

// The server host box. Qt's editable combo box takes a typed text equal to
// one of its items for a pick of that item when the edit loses focus or
// Enter is pressed, and says so with the same `activated` signal as a pick
// from the list. Here only a pick from the drop-down list selects an entry:
// the box tells which `activated` comes from the edit finishing.
class HostComboBox : public QComboBox {
 public:
  using QComboBox::QComboBox;
  bool EditFinishing() const { return finishing_ > 0; }

 protected:
  void focusOutEvent(QFocusEvent* event) override {
    ++finishing_;
    QComboBox::focusOutEvent(event);
    --finishing_;
  }
  void keyPressEvent(QKeyEvent* event) override {
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (enter) ++finishing_;
    QComboBox::keyPressEvent(event);
    if (enter) --finishing_;
  }

 private:
  int finishing_ = 0;
};

void SetEditText(QLineEdit* edit, const std::string& text) {
  const QString value = QString::fromStdString(text);
  if (edit->text() == value) return;
  const QSignalBlocker block(edit);
  edit->setText(value);
}

}  // namespace

OptionsDialog::OptionsDialog(QWidget* mainWindow)
    : QDialog(mainWindow, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                              Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      mainWindow_(mainWindow) {
  setObjectName(QStringLiteral("optionsDialog"));
  setWindowTitle(QStringLiteral("オプション"));
  setFixedSize(516, 193);

  okButton = MakeButton(this, "okButton", QStringLiteral("OK"), 432, 22);
  okButton->setDefault(true);
  cancelButton = MakeButton(this, "cancelButton", QStringLiteral("キャンセル"), 432, 52);

  BuildTabs();
  ConnectGestures();
}

void OptionsDialog::BuildTabs() {
  tabs = new QTabWidget(this);
  tabs->setObjectName(QStringLiteral("tabs"));
  tabs->setGeometry(0, 0, 425, 193);

  proxyTab = MakePage("proxyTab");
  QGroupBox* proxy = MakeGroup(proxyTab, QStringLiteral("プロクシ"));
  MakeLabel(proxy, QStringLiteral("ﾌﾟﾛｸｼIP"), 16, 30);
  proxyHostEdit = MakeEdit(proxy, "proxyHostEdit", 96, 28, 289);
  MakeLabel(proxy, QStringLiteral("ﾎﾟｰﾄ番号"), 16, 62);
  proxyPortEdit = MakeEdit(proxy, "proxyPortEdit", 96, 60, 81);
  tabs->addTab(proxyTab, QStringLiteral("プロクシ"));

  serverTab = MakePage("serverTab");
  QGroupBox* servers = MakeGroup(serverTab, QStringLiteral("tunedexサーバ"));
  MakeLabel(servers, QStringLiteral("ﾎｽﾄIP"), 16, 30);
  serverHostBox = new HostComboBox(servers);
  serverHostBox->setObjectName(QStringLiteral("serverHostBox"));
  serverHostBox->setEditable(true);
  serverHostBox->setInsertPolicy(QComboBox::NoInsert);
  serverHostBox->setCompleter(nullptr);  // no auto-completion
  serverHostBox->setGeometry(96, 28, 209, kFieldHeight);
  MakeLabel(servers, QStringLiteral("PATH"), 16, 62);
  serverPathEdit = MakeEdit(servers, "serverPathEdit", 96, 60, 209);
  addServerButton = MakeButton(servers, "addServerButton", QStringLiteral("追加"), 314, 26);
  applyServerButton = MakeButton(servers, "applyServerButton", QStringLiteral("適用"), 314, 58);
  doubleByteCheck = MakeCheck(servers, "doubleByteCheck", QStringLiteral("2ﾊﾞｲﾄ文字"), 96, 94);
  utf8Check =
      MakeCheck(servers, "utf8Check", QStringLiteral("UTF-8"), 96 + doubleByteCheck->width() + 16, 94);
  tabs->addTab(serverTab, QStringLiteral("tunedexサーバ"));

  emailTab = MakePage("emailTab");
  QGroupBox* mail = MakeGroup(emailTab, QStringLiteral("E-Mail"));
  MakeLabel(mail, QStringLiteral("ｱﾄﾞﾚｽ"), 16, 30);
  emailEdit = MakeEdit(mail, "emailEdit", 96, 28, 249);
  tabs->addTab(emailTab, QStringLiteral("メールアドレス"));

  sourcesTab = MakePage("sourcesTab");
  QGroupBox* sources = MakeGroup(sourcesTab, QStringLiteral("MusicBrainz・CD-Text"));
  MakeLabel(sources, QStringLiteral("MusicBrainz"), 16, 22);
  musicBrainzUseBox = new QComboBox(sources);
  musicBrainzUseBox->setObjectName(QStringLiteral("musicBrainzUseBox"));
  // In the order of the stored values 0, 1, 2.
  musicBrainzUseBox->addItems({QStringLiteral("使わない"), QStringLiteral("CDDBサーバに該当がないとき"),
                               QStringLiteral("CDDBサーバより先に")});
  musicBrainzUseBox->setGeometry(120, 20, 265, kFieldHeight);
  MakeLabel(sources, QStringLiteral("サーバ"), 16, 46);
  musicBrainzServerEdit = MakeEdit(sources, "musicBrainzServerEdit", 120, 44, 265);
  MakeLabel(sources, QStringLiteral("連絡先"), 16, 70);
  musicBrainzContactEdit = MakeEdit(sources, "musicBrainzContactEdit", 120, 68, 265);
  musicBrainzContactEdit->setPlaceholderText(QStringLiteral("空欄: メールアドレスを送ります"));
  MakeLabel(sources, QStringLiteral("送る連絡先"), 16, 94);
  sentContactEdit = MakeEdit(sources, "sentContactEdit", 120, 92, 265);
  sentContactEdit->setReadOnly(true);
  sentContactEdit->setFocusPolicy(Qt::NoFocus);  // shown, not edited: Tab passes it by
  sentContactEdit->setPlaceholderText(QStringLiteral("（なし）"));
  cdTextCheck = MakeCheck(sources, "cdTextCheck", QStringLiteral("CDのCD-Textを読む"), 120, 118);
  tabs->addTab(sourcesTab, QStringLiteral("情報源"));
}

// The user's gestures go to the dialog's handlers; typed text goes straight
// into its state.
void OptionsDialog::ConnectGestures() {
  // The host box was made a HostComboBox by BuildTabs.
  auto* hostBox = static_cast<HostComboBox*>(serverHostBox);
  auto text = [this](QLineEdit* edit, std::string shell::OptionDialogState::*field) {
    connect(edit, &QLineEdit::textEdited, this, [this, field](const QString& t) {
      if (dialog_) dialog_->state.*field = t.toStdString();
    });
  };
  text(proxyHostEdit, &shell::OptionDialogState::proxyHost);
  text(proxyPortEdit, &shell::OptionDialogState::proxyPort);
  text(serverPathEdit, &shell::OptionDialogState::serverPath);
  text(musicBrainzServerEdit, &shell::OptionDialogState::musicBrainzServer);
  // The e-mail address and the contact decide the read-only contact line.
  auto contact = [this](QLineEdit* edit, std::string shell::OptionDialogState::*field) {
    connect(edit, &QLineEdit::textEdited, this, [this, field](const QString& t) {
      Handle([this, field, t] {
        dialog_->state.*field = t.toStdString();
        dialog_->EditContact();
      });
    });
  };
  contact(emailEdit, &shell::OptionDialogState::email);
  contact(musicBrainzContactEdit, &shell::OptionDialogState::musicBrainzContact);
  connect(musicBrainzUseBox, &QComboBox::activated, this, [this](int index) {
    if (dialog_) dialog_->state.musicBrainzUse = index;
  });
  connect(cdTextCheck, &QCheckBox::toggled, this, [this](bool on) {
    if (dialog_) dialog_->state.cdTextUse = on;
  });
  connect(doubleByteCheck, &QCheckBox::toggled, this, [this](bool on) {
    if (dialog_) dialog_->state.doubleByteChecked = on;
  });
  connect(utf8Check, &QCheckBox::clicked, this, [this](bool on) {
    Handle([this, on] {
      dialog_->state.utf8Checked = on;
      dialog_->ToggleUtf8();
    });
  });
  connect(tabs, &QTabWidget::currentChanged, this, [this](int tab) {
    if (dialog_) dialog_->state.activeTab = tab;
  });
  connect(serverHostBox, &QComboBox::activated, this, [this, hostBox](int index) {
    // Typed text that happens to equal a stored host is still typed text
    // (EditServerHost has seen it): it selects no entry.
    if (hostBox->EditFinishing()) return;
    Handle([this, index] { dialog_->SelectServerHost(index); });
  });
  connect(serverHostBox->lineEdit(), &QLineEdit::textEdited, this, [this](const QString& t) {
    Handle([this, t] {
      dialog_->state.hostText = t.toStdString();
      dialog_->EditServerHost();
    });
  });
  connect(addServerButton, &QPushButton::clicked, this, [this] { Handle([this] { dialog_->AddServer(); }); });
  connect(applyServerButton, &QPushButton::clicked, this,
          [this] { Handle([this] { dialog_->ApplyServer(); }); });
  connect(okButton, &QPushButton::clicked, this, [this] {
    if (!dialog_) return;
    const int result = dialog_->AcceptOptions();
    if (result != shell::kModalStay) done(result);
  });
  connect(cancelButton, &QPushButton::clicked, this, [this] { reject(); });
}

template <typename F>
void OptionsDialog::Handle(F&& handler) {
  if (!dialog_) return;
  handler();
  Sync();
}

int OptionsDialog::Show(shell::OptionDialog& dialog) {
  dialog_ = &dialog;
  dialog.FillFromSettings();
  Sync();
  const int result = exec();
  dialog_ = nullptr;
  return result == shell::kModalOk ? shell::kModalOk : shell::kModalCancel;
}

void OptionsDialog::reject() { done(dialog_ ? dialog_->CancelOptions() : shell::kModalCancel); }

void OptionsDialog::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  HandleActivation();
}

void OptionsDialog::changeEvent(QEvent* event) {
  QDialog::changeEvent(event);
  if (event->type() == QEvent::ActivationChange && isActiveWindow()) HandleActivation();
}

void OptionsDialog::HandleActivation() {
  if (mainWindow_) move(mainWindow_->pos());
  Handle([this] { dialog_->HandleActivation(); });
}

void OptionsDialog::Sync() {
  if (!dialog_) return;
  const shell::OptionDialogState& s = dialog_->state;
  {
    const QSignalBlocker block(tabs);
    if (s.activeTab >= 0 && s.activeTab < tabs->count()) tabs->setCurrentIndex(s.activeTab);
  }
  SetEditText(proxyHostEdit, s.proxyHost);
  SetEditText(proxyPortEdit, s.proxyPort);
  SetEditText(serverPathEdit, s.serverPath);
  SetEditText(emailEdit, s.email);
  SetEditText(musicBrainzServerEdit, s.musicBrainzServer);
  SetEditText(musicBrainzContactEdit, s.musicBrainzContact);
  SetEditText(sentContactEdit, s.sentContact);
  {
    const QSignalBlocker block(musicBrainzUseBox);
    if (s.musicBrainzUse >= 0 && s.musicBrainzUse < musicBrainzUseBox->count())
      musicBrainzUseBox->setCurrentIndex(s.musicBrainzUse);
  }
  {
    const QSignalBlocker block(cdTextCheck);
    cdTextCheck->setChecked(s.cdTextUse);
  }
  {
    const QSignalBlocker block(serverHostBox);
    const QSignalBlocker blockEdit(serverHostBox->lineEdit());
    bool same = serverHostBox->count() == static_cast<int>(s.hosts.size());
    for (int i = 0; same && i < serverHostBox->count(); ++i)
      same = serverHostBox->itemText(i) == QString::fromStdString(s.hosts[static_cast<std::size_t>(i)]);
    if (!same) {
      serverHostBox->clear();
      for (const auto& host : s.hosts) serverHostBox->addItem(QString::fromStdString(host));
    }
    // Text the user is typing is left alone, so the cursor stays put.
    const QString host = QString::fromStdString(s.hostText);
    if (s.hostIndex >= 0 && serverHostBox->currentIndex() != s.hostIndex)
      serverHostBox->setCurrentIndex(s.hostIndex);
    if (serverHostBox->currentText() != host) {
      if (s.hostIndex < 0) serverHostBox->setCurrentIndex(-1);
      serverHostBox->setEditText(host);
    }
  }
  {
    const QSignalBlocker block(doubleByteCheck);
    doubleByteCheck->setEnabled(s.doubleByteEnabled);
    doubleByteCheck->setChecked(s.doubleByteChecked);
  }
  {
    const QSignalBlocker block(utf8Check);
    utf8Check->setChecked(s.utf8Checked);
  }
  applyServerButton->setEnabled(s.applyEnabled);
}

}  // namespace sl::app
