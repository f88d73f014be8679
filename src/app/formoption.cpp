#include "app/formoption.h"

#include <QCheckBox>
#include <QComboBox>
#include <QEvent>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QGroupBox>
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

QPushButton* MakeButton(QWidget* parent, const char* name, const QString& caption, int left,
                        int top) {
  auto* button = new QPushButton(caption, parent);
  button->setObjectName(QString::fromLatin1(name));
  button->setGeometry(left, top, 75, 25);
  button->setAutoDefault(false);
  return button;
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

TFormOption::TFormOption(QWidget* mainWindow)
    : QDialog(mainWindow, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                              Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      mainWindow_(mainWindow) {
  setObjectName(QStringLiteral("FormOption"));
  setWindowTitle(QStringLiteral("オプション"));
  setFixedSize(516, 193);

  Button1 = MakeButton(this, "Button1", QStringLiteral("OK"), 432, 22);
  Button1->setDefault(true);
  Button2 = MakeButton(this, "Button2", QStringLiteral("キャンセル"), 432, 52);

  PageControl1 = new QTabWidget(this);
  PageControl1->setObjectName(QStringLiteral("PageControl1"));
  PageControl1->setGeometry(0, 0, 425, 193);

  TabSheet1 = new QWidget;
  TabSheet1->setObjectName(QStringLiteral("TabSheet1"));
  QGroupBox* proxy = MakeGroup(TabSheet1, QStringLiteral("プロクシ"));
  MakeLabel(proxy, QStringLiteral("ﾌﾟﾛｸｼIP"), 16, 30);
  Edit1 = MakeEdit(proxy, "Edit1", 96, 28, 289);
  MakeLabel(proxy, QStringLiteral("ﾎﾟｰﾄ番号"), 16, 62);
  Edit2 = MakeEdit(proxy, "Edit2", 96, 60, 81);
  PageControl1->addTab(TabSheet1, QStringLiteral("プロクシ"));

  TabSheet2 = new QWidget;
  TabSheet2->setObjectName(QStringLiteral("TabSheet2"));
  QGroupBox* servers = MakeGroup(TabSheet2, QStringLiteral("tunedexサーバ"));
  MakeLabel(servers, QStringLiteral("ﾎｽﾄIP"), 16, 30);
  auto* hostBox = new HostComboBox(servers);
  ComboBox1 = hostBox;
  ComboBox1->setObjectName(QStringLiteral("ComboBox1"));
  ComboBox1->setEditable(true);
  ComboBox1->setInsertPolicy(QComboBox::NoInsert);
  ComboBox1->setCompleter(nullptr);  // no auto-completion
  ComboBox1->setGeometry(96, 28, 209, kFieldHeight);
  MakeLabel(servers, QStringLiteral("PATH"), 16, 62);
  Edit3 = MakeEdit(servers, "Edit3", 96, 60, 209);
  Button4 = MakeButton(servers, "Button4", QStringLiteral("追加"), 314, 26);
  Button5 = MakeButton(servers, "Button5", QStringLiteral("適用"), 314, 58);
  CheckBox1 = new QCheckBox(QStringLiteral("2ﾊﾞｲﾄ文字"), servers);
  CheckBox1->setObjectName(QStringLiteral("CheckBox1"));
  CheckBox1->adjustSize();
  CheckBox1->move(96, 94);
  CheckBox2 = new QCheckBox(QStringLiteral("UTF-8"), servers);
  CheckBox2->setObjectName(QStringLiteral("CheckBox2"));
  CheckBox2->adjustSize();
  CheckBox2->move(96 + CheckBox1->width() + 16, 94);
  PageControl1->addTab(TabSheet2, QStringLiteral("tunedexサーバ"));

  TabSheet3 = new QWidget;
  TabSheet3->setObjectName(QStringLiteral("TabSheet3"));
  QGroupBox* mail = MakeGroup(TabSheet3, QStringLiteral("E-Mail"));
  MakeLabel(mail, QStringLiteral("ｱﾄﾞﾚｽ"), 16, 30);
  Edit4 = MakeEdit(mail, "Edit4", 96, 28, 249);
  PageControl1->addTab(TabSheet3, QStringLiteral("メールアドレス"));

  // The user's gestures go to the dialog's handlers; typed text goes
  // straight into its state.
  auto text = [this](QLineEdit* edit, std::string shell::OptionDialogState::*field) {
    connect(edit, &QLineEdit::textEdited, this, [this, field](const QString& t) {
      if (dialog_) dialog_->state.*field = t.toStdString();
    });
  };
  text(Edit1, &shell::OptionDialogState::Edit1);
  text(Edit2, &shell::OptionDialogState::Edit2);
  text(Edit3, &shell::OptionDialogState::Edit3);
  text(Edit4, &shell::OptionDialogState::Edit4);
  connect(CheckBox1, &QCheckBox::toggled, this, [this](bool on) {
    if (dialog_) dialog_->state.CheckBox1Checked = on;
  });
  connect(CheckBox2, &QCheckBox::clicked, this, [this](bool on) {
    Handle([this, on] {
      dialog_->state.CheckBox2Checked = on;
      dialog_->CheckBox2Click();
    });
  });
  connect(PageControl1, &QTabWidget::currentChanged, this, [this](int tab) {
    if (dialog_) dialog_->state.activeTab = tab;
  });
  connect(ComboBox1, &QComboBox::activated, this, [this, hostBox](int index) {
    // Typed text that happens to equal a stored host is still typed text
    // (ComboBox1Change has seen it): it selects no entry.
    if (hostBox->EditFinishing()) return;
    Handle([this, index] { dialog_->ComboBox1Select(index); });
  });
  connect(ComboBox1->lineEdit(), &QLineEdit::textEdited, this, [this](const QString& t) {
    Handle([this, t] {
      dialog_->state.hostText = t.toStdString();
      dialog_->ComboBox1Change();
    });
  });
  connect(Button4, &QPushButton::clicked, this, [this] { Handle([this] { dialog_->Button4Click(); }); });
  connect(Button5, &QPushButton::clicked, this, [this] { Handle([this] { dialog_->Button5Click(); }); });
  connect(Button1, &QPushButton::clicked, this, [this] {
    if (dialog_) done(dialog_->Button1Click());
  });
  connect(Button2, &QPushButton::clicked, this, [this] { reject(); });
}

template <typename F>
void TFormOption::Handle(F&& handler) {
  if (!dialog_) return;
  handler();
  Sync();
}

int TFormOption::Show(shell::OptionDialog& dialog) {
  dialog_ = &dialog;
  dialog.FormShow();
  Sync();
  const int result = exec();
  dialog_ = nullptr;
  return result == shell::kModalOk ? shell::kModalOk : shell::kModalCancel;
}

void TFormOption::reject() {
  done(dialog_ ? dialog_->Button2Click() : shell::kModalCancel);
}

void TFormOption::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  FormActivate();
}

void TFormOption::changeEvent(QEvent* event) {
  QDialog::changeEvent(event);
  if (event->type() == QEvent::ActivationChange && isActiveWindow()) FormActivate();
}

void TFormOption::FormActivate() {
  if (mainWindow_) move(mainWindow_->pos());
  Handle([this] { dialog_->FormActivate(); });
}

void TFormOption::Sync() {
  if (!dialog_) return;
  const shell::OptionDialogState& s = dialog_->state;
  {
    const QSignalBlocker block(PageControl1);
    if (s.activeTab >= 0 && s.activeTab < PageControl1->count()) PageControl1->setCurrentIndex(s.activeTab);
  }
  SetEditText(Edit1, s.Edit1);
  SetEditText(Edit2, s.Edit2);
  SetEditText(Edit3, s.Edit3);
  SetEditText(Edit4, s.Edit4);
  {
    const QSignalBlocker block(ComboBox1);
    const QSignalBlocker blockEdit(ComboBox1->lineEdit());
    bool same = ComboBox1->count() == static_cast<int>(s.hosts.size());
    for (int i = 0; same && i < ComboBox1->count(); ++i)
      same = ComboBox1->itemText(i) == QString::fromStdString(s.hosts[static_cast<std::size_t>(i)]);
    if (!same) {
      ComboBox1->clear();
      for (const auto& host : s.hosts) ComboBox1->addItem(QString::fromStdString(host));
    }
    // Text the user is typing is left alone, so the cursor stays put.
    const QString host = QString::fromStdString(s.hostText);
    if (s.hostIndex >= 0 && ComboBox1->currentIndex() != s.hostIndex)
      ComboBox1->setCurrentIndex(s.hostIndex);
    if (ComboBox1->currentText() != host) {
      if (s.hostIndex < 0) ComboBox1->setCurrentIndex(-1);
      ComboBox1->setEditText(host);
    }
  }
  {
    const QSignalBlocker block(CheckBox1);
    CheckBox1->setEnabled(s.CheckBox1Enabled);
    CheckBox1->setChecked(s.CheckBox1Checked);
  }
  {
    const QSignalBlocker block(CheckBox2);
    CheckBox2->setChecked(s.CheckBox2Checked);
  }
  Button5->setEnabled(s.Button5Enabled);
}

}  // namespace sl::app
