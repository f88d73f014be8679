#include "app/formmain.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QFrame>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QShowEvent>
#include <QSignalBlocker>
#include <QSocketNotifier>
#include <QStatusBar>
#include <QStatusTipEvent>
#include <QTableView>
#include <QUrl>
#include <QVBoxLayout>
#include <exception>
#include <unistd.h>
#include <utility>

#include "app/aboutbox.h"
#include "app/exceptionbox.h"
#include "app/formoption.h"
#include "app/formsearch.h"
#include "ipc/ipc.h"
#include "app/helpwindow.h"
#include "app/hints.h"
#include "app/texts.h"
#include "app/trackgridmodel.h"
#include "app/trackgridview.h"
#include "app/window_position.h"
#include "app/stringgrid.h"
#include "platform/install_paths.h"

namespace sl::app {

namespace {

using shell::MenuId;

// Height of the edits and combo boxes on Panel1.
constexpr int kFieldHeight = 20;

QLabel* MakeLabel(QWidget* parent, const char* name, const QString& text, int left, int top,
                  bool bold = false) {
  auto* label = new QLabel(text, parent);
  label->setObjectName(QString::fromLatin1(name));
  QFont font = label->font();
  font.setPixelSize(kLabelFontPx);
  font.setBold(bold);
  label->setFont(font);
  label->adjustSize();
  label->move(left, top);
  return label;
}

QComboBox* MakeCombo(QWidget* parent, const char* name, int left, int top, int width,
                     const QString& hint) {
  auto* box = new QComboBox(parent);
  box->setObjectName(QString::fromLatin1(name));
  box->setEditable(true);
  // Typed text is the box's text; it never becomes a new item.
  box->setInsertPolicy(QComboBox::NoInsert);
  box->setGeometry(left, top, width, kFieldHeight);
  box->setStatusTip(hint);
  return box;
}

QLineEdit* MakeEdit(QWidget* parent, const char* name, int left, int top, int width,
                    const QString& hint) {
  auto* edit = new QLineEdit(parent);
  edit->setObjectName(QString::fromLatin1(name));
  edit->setGeometry(left, top, width, kFieldHeight);
  edit->setStatusTip(hint);
  return edit;
}

void SetLineText(QLineEdit* edit, const std::string& text) {
  const QString value = QString::fromStdString(text);
  if (edit->text() == value) return;
  const QSignalBlocker block(edit);
  edit->setText(value);
  if (!edit->hasFocus()) edit->setCursorPosition(0);
}

void SetComboText(QComboBox* box, const std::string& text) {
  const QString value = QString::fromStdString(text);
  if (box->currentText() == value) return;
  const QSignalBlocker block(box);
  const QSignalBlocker blockEdit(box->lineEdit());
  box->setEditText(value);
  // A text set by the program shows its beginning, like one typed in.
  if (!box->lineEdit()->hasFocus()) box->lineEdit()->setCursorPosition(0);
}

void SetLabelText(QLabel* label, const std::string& text) {
  const QString value = QString::fromStdString(text);
  if (label->text() != value) label->setText(value);
}

bool SameServers(const std::vector<shell::ServerMenuItem>& a,
                 const std::vector<shell::ServerMenuItem>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (a[i].caption != b[i].caption || a[i].tag != b[i].tag) return false;
  return true;
}

}  // namespace

TFormMain::TFormMain(mainform::Environment env, QWidget* parent) : QMainWindow(parent) {
  setObjectName(QStringLiteral("FormMain"));
  setWindowTitle(kAppTitle);
  resize(kWidth, kHeight);

  BuildPanel();
  BuildGrid();
  BuildStatusBar();

  auto* central = new QWidget(this);
  auto* layout = new QVBoxLayout(central);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  layout->addWidget(Panel1);
  layout->addWidget(StringGrid1, 1);
  setCentralWidget(central);

  // The core window: fields, ASPI, drive scan, "チェック完了", grid header.
  // Its boxes (a missing ASPI layer) appear now, before the window shows.
  core_ = std::make_unique<mainform::TFormMain>(services_, std::move(env));
  services_.SetOwner(this);

  grid_ = new TrackGridModel(Model().Table(), this);
  StringGrid1->Attach(Model(), grid_);
  connect(StringGrid1, &TrackGridView::edited, this, [this] { SyncFromModel(); });
  connect(StringGrid1, &TrackGridView::message, this, [this](const QString& text) {
    services_.MessageBox(shell::MsgIcon::Warning, text.toStdString());
  });
  // A box a command opens comes after what the command has shown so far:
  // the status text it set is on screen before the box.
  services_.SetBeforeBox([this] {
    SyncFromModel();
    StatusPanel0->repaint();
    StatusPanel1->repaint();
  });
  StringGrid1->setColumnWidth(0, 40);
  StringGrid1->setColumnWidth(1, 250);
  StringGrid1->setColumnWidth(2, 150);

  BuildMenus();
  SetTabOrder();
  SyncFromModel(true);

  RunHandler([this] { core_->FormCreate(); });

  // The player's notifications arrive on the IPC: the event loop (and every
  // modal dialog's loop) hands them to the player link as they come.
  if (const int fd = ipc::WakeFd(); fd >= 0) {
    ipcNotifier_ = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(ipcNotifier_, &QSocketNotifier::activated, this, [this] {
      ipc::Dispatch();
      SyncFromModel();
    });
  }
}

TFormMain::~TFormMain() {
  services_.SetMatchDialog(nullptr);
  services_.SetOptionDialog(nullptr);
  services_.SetOwner(nullptr);
  // The widgets read the core's model, which goes with core_ before the
  // QWidget base would delete them: take them down while it still exists.
  StringGrid1->setModel(nullptr);
  qDeleteAll(findChildren<QWidget*>(Qt::FindDirectChildrenOnly));
  delete grid_;
}

void TFormMain::SetForms(TFormSearch* search, TFormOption* option, TAboutBox* about) {
  formSearch_ = search;
  formOption_ = option;
  aboutBox_ = about;
  services_.SetMatchDialog(search);
  services_.SetOptionDialog(option);
}

void TFormMain::BuildPanel() {
  Panel1 = new QFrame(this);
  Panel1->setObjectName(QStringLiteral("Panel1"));
  Panel1->setFrameStyle(QFrame::Panel | QFrame::Raised);
  Panel1->setFixedHeight(81);

  Label1 = MakeLabel(Panel1, "Label1", QStringLiteral("CD-ROMドライブ"), 8, 8, true);
  ComboBox1 = MakeCombo(Panel1, "ComboBox1", 8, 32, 233,
                        QStringLiteral("CD-ROMドライブ | CDをセットしたドライブを選択します。 "));
  // Each typed character is a drive change of its own; completing the text
  // would run the handler on text the user never typed.
  ComboBox1->setCompleter(nullptr);
  Label3 = MakeLabel(Panel1, "Label3", QStringLiteral("ｼﾞｬﾝﾙ"), 248, 7);
  ComboBox2 = MakeCombo(Panel1, "ComboBox2", 304, 5, 105,
                        QStringLiteral("ジャンル|データ検索に使用する大まかなジャンルです。"));
  ComboBox2->addItems(Categories());
  Label5 = MakeLabel(Panel1, "Label5", QStringLiteral("詳細ｼﾞｬﾝﾙ"), 416, 7);
  ComboBox3 = MakeCombo(Panel1, "ComboBox3", 496, 5, 113,
                        QStringLiteral("詳細ジャンル|細かなジャンルを示します。"));
  ComboBox3->addItems(DetailedGenres());
  Label2 = MakeLabel(Panel1, "Label2", QStringLiteral("ｱｰﾃｨｽﾄ"), 248, 32);
  Edit2 = MakeEdit(Panel1, "Edit2", 304, 30, 305,
                   QStringLiteral("アーティスト | アーティスト名です。"));
  Label4 = MakeLabel(Panel1, "Label4", QStringLiteral("ﾀｲﾄﾙ"), 248, 58);
  Edit3 = MakeEdit(Panel1, "Edit3", 304, 56, 305, QStringLiteral("タイトル | CDのタイトルです。"));
  Label6 = MakeLabel(Panel1, "Label6", QStringLiteral("年号"), 128, 58);
  Edit1 = MakeEdit(Panel1, "Edit1", 168, 56, 73,
                   QStringLiteral("年号|発売された年（西暦)です。"));

  // Boxes start with no item chosen: their text is what the model says.
  ComboBox2->setCurrentIndex(-1);
  ComboBox3->setCurrentIndex(-1);

  // Pop-up hints (the short part) only where the form shows them.
  for (QWidget* w : std::initializer_list<QWidget*>{ComboBox1, Edit2, Edit3})
    w->setToolTip(ShortHint(w->statusTip()));

  // Edits reach the model at once.
  connect(ComboBox1, &QComboBox::activated, this, [this](int index) { ComboBox1Pick(index); });
  connect(ComboBox1->lineEdit(), &QLineEdit::textEdited, this,
          [this](const QString& text) { ComboBox1Type(text); });
  // While a command runs the fields are read-only; a pick from a category
  // or genre list is put back at once.
  auto field = [this](void (shell::TrackTitleTable::*set)(std::string)) {
    return [this, set](const QString& t) {
      if (Model().CommandRunning()) {
        SyncFromModel(true);
        return;
      }
      (Model().Table().*set)(t.toStdString());
    };
  };
  connect(ComboBox2, &QComboBox::editTextChanged, this, field(&shell::TrackTitleTable::SetCategory));
  connect(ComboBox3, &QComboBox::editTextChanged, this, field(&shell::TrackTitleTable::SetGenre));
  connect(Edit1, &QLineEdit::textChanged, this, field(&shell::TrackTitleTable::SetYear));
  connect(Edit2, &QLineEdit::textChanged, this, field(&shell::TrackTitleTable::SetArtist));
  connect(Edit3, &QLineEdit::textChanged, this, field(&shell::TrackTitleTable::SetTitle));
}

void TFormMain::BuildGrid() {
  StringGrid1 = new TrackGridView(this);
  StringGrid1->setObjectName(QStringLiteral("StringGrid1"));
  SetUpStringGrid(StringGrid1);
  StringGrid1->horizontalHeader()->setSectionsClickable(false);
  StringGrid1->setSelectionBehavior(QAbstractItemView::SelectItems);
  StringGrid1->setSelectionMode(QAbstractItemView::ContiguousSelection);
  // Editing starts switched off; the grid's editing mode turns it on.
  StringGrid1->setEditTriggers(QAbstractItemView::NoEditTriggers);
  StringGrid1->setTabKeyNavigation(true);
}

void TFormMain::BuildStatusBar() {
  QStatusBar* bar = statusBar();
  bar->setObjectName(QStringLiteral("StatusBar1"));
  StatusPanel0 = new QLabel(bar);
  StatusPanel0->setObjectName(QStringLiteral("StatusPanel0"));
  StatusPanel0->setFixedWidth(150);
  StatusPanel1 = new QLabel(bar);
  StatusPanel1->setObjectName(QStringLiteral("StatusPanel1"));
  // The last panel is 50 pixels at least and takes the rest of the bar, so
  // a long hint is clipped rather than widening the window.
  StatusPanel1->setMinimumWidth(50);
  StatusPanel1->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  bar->addWidget(StatusPanel0, 0);
  bar->addWidget(StatusPanel1, 1);
}

QAction* TFormMain::AddItem(QMenu* menu, MenuId id, const char* name, const QString& caption,
                            const QString& hint, std::function<void()> handler) {
  QAction* action = menu->addAction(caption);
  action->setObjectName(QString::fromLatin1(name));
  action->setStatusTip(hint);
  if (handler)
    connect(action, &QAction::triggered, this,
            [this, handler = std::move(handler)] { RunHandler(handler); });
  actions_[static_cast<int>(id)] = action;
  return action;
}

QMenu* TFormMain::AddSubmenu(QMenu* menu, MenuId id, const char* name, const QString& caption,
                             const QString& hint) {
  QMenu* sub = menu->addMenu(caption);
  sub->setObjectName(QString::fromLatin1(name));
  sub->menuAction()->setObjectName(QString::fromLatin1(name));
  sub->menuAction()->setStatusTip(hint);
  actions_[static_cast<int>(id)] = sub->menuAction();
  return sub;
}

void TFormMain::BuildMenus() {
  QMenuBar* bar = menuBar();
  bar->setObjectName(QStringLiteral("MainMenu1"));

  QMenu* f1 = bar->addMenu(QStringLiteral("ファイル(&F)"));
  f1->setObjectName(QStringLiteral("F1"));
  f1->menuAction()->setObjectName(QStringLiteral("F1"));
  actions_[static_cast<int>(MenuId::F1)] = f1->menuAction();
  AddItem(f1, MenuId::tunedexS2, "tunedexS2", QStringLiteral("tunedexのサーバリスト取得(&S)"),
          QStringLiteral("サーバリスト取得 | tunedexのミラーサーバを取得します。"),
          [this] { core_->tunedexS2Click(); });
  f1->addSeparator()->setObjectName(QStringLiteral("N5"));
  QMenu* s3 = AddSubmenu(f1, MenuId::S3, "S3", QStringLiteral("リストの保存(&W)"),
                         QStringLiteral("曲名データを保存します。"));
  AddItem(s3, MenuId::L1, "L1", QStringLiteral("ローカルデータベース(&L)"), QString(),
          [this] { core_->MenuSaveFileClick(); });
  AddItem(s3, MenuId::MenuDSMPExport, "MenuDSMPExport", QStringLiteral("DSMP(&D)"), QString(),
          [this] { core_->MenuDSMPExportClick(); });
  QMenu* r1 = AddSubmenu(f1, MenuId::R1, "R1", QStringLiteral("リストの読み込み(&R)"),
                         QStringLiteral("曲名データを読み込みます。"));
  AddItem(r1, MenuId::L2, "L2", QStringLiteral("ローカルデータベース(&L)"), QString(),
          [this] { core_->MenuReadFileClick(); });
  AddItem(r1, MenuId::MenuDSMPImport, "MenuDSMPImport", QStringLiteral("DSMP(&D)"), QString(),
          [this] { core_->MenuDSMPImportClick(); });
  f1->addSeparator()->setObjectName(QStringLiteral("N1"));
  // Exit ends the process outright; it does not go through RunHandler.
  QAction* x1 = f1->addAction(QStringLiteral("終了(&X)"));
  x1->setObjectName(QStringLiteral("X1"));
  x1->setStatusTip(QStringLiteral("終了 | プログラムを終了します。"));
  connect(x1, &QAction::triggered, this, [this] { X1Click(); });
  actions_[static_cast<int>(MenuId::X1)] = x1;

  QMenu* e1 = bar->addMenu(QStringLiteral("データベース(&D)"));
  e1->setObjectName(QStringLiteral("E1"));
  e1->menuAction()->setObjectName(QStringLiteral("E1"));
  actions_[static_cast<int>(MenuId::E1)] = e1->menuAction();
  AddItem(e1, MenuId::C1, "C1", QStringLiteral("データベースから受信(&R)"),
          QStringLiteral("接続 | tunedexサーバに接続しCDタイトルを検索します。"),
          [this] { core_->C1Click(); });
  AddItem(e1, MenuId::S1, "S1", QStringLiteral("データベースに送信(&S)"),
          QStringLiteral("送信 | tunedexサーバにCD情報を送信します。"), [this] { S1Click(); });
  e1->addSeparator()->setObjectName(QStringLiteral("N2"));
  N3Menu = AddSubmenu(e1, MenuId::N3, "N3", QStringLiteral("接続するデータベース(&N)"),
                      QStringLiteral("接続先の選択 | 接続するtunedexサーバを選択します。"));
  serverGroup_ = new QActionGroup(this);
  serverGroup_->setExclusionPolicy(QActionGroup::ExclusionPolicy::ExclusiveOptional);
  AddItem(e1, MenuId::O1, "O1", QStringLiteral("オプション(&O)..."),
          QStringLiteral("オプション | プロクシサーバの設定とバージョン情報の表示です。"),
          [this] { O1Click(); });

  QMenu* h1 = bar->addMenu(QStringLiteral("ヘルプ(&H)"));
  h1->setObjectName(QStringLiteral("H1"));
  h1->menuAction()->setObjectName(QStringLiteral("H1"));
  actions_[static_cast<int>(MenuId::H1)] = h1->menuAction();
  AddItem(h1, MenuId::H2, "H2", QStringLiteral("ヘルプ(&H)"),
          QStringLiteral("ヘルプ|ヘルプを表示します。"), [this] { H2Click(); });
  h1->addSeparator()->setObjectName(QStringLiteral("N4"));
  AddItem(h1, MenuId::A1, "A1", QStringLiteral("バージョン情報(&A)"),
          QStringLiteral("バージョン情報 | バージョン情報です。"), [this] { A1Click(); });
}

void TFormMain::SetTabOrder() {
  setTabOrder(ComboBox1, ComboBox2);
  setTabOrder(ComboBox2, ComboBox3);
  setTabOrder(ComboBox3, Edit2);
  setTabOrder(Edit2, Edit1);
  setTabOrder(Edit1, Edit3);
  setTabOrder(Edit3, StringGrid1);
}

QAction* TFormMain::MenuAction(MenuId id) const {
  const int i = static_cast<int>(id);
  if (i < 0 || i >= static_cast<int>(actions_.size())) return nullptr;
  return actions_[static_cast<std::size_t>(i)];
}

void TFormMain::SyncFromModel(bool force) {
  shell::ShellModel& model = Model();
  if (!force && model.Generation() == syncedGeneration_) return;
  syncedGeneration_ = model.Generation();

  const bool locked = model.CommandRunning();
  // An editor still open when a command starts is closed with its text
  // written into the cell, before the grid turns read-only.
  if (locked && StringGrid1->EditorOpen()) StringGrid1->CloseEditorKeepingText();
  for (QLineEdit* edit : {Edit1, Edit2, Edit3, ComboBox2->lineEdit(), ComboBox3->lineEdit()})
    if (edit->isReadOnly() != locked) edit->setReadOnly(locked);
  grid_->SetReadOnly(locked);

  const shell::TrackTitleTable& table = model.Table();
  SetComboText(ComboBox2, table.Category());
  SetComboText(ComboBox3, table.Genre());
  SetLineText(Edit1, table.Year());
  SetLineText(Edit2, table.Artist());
  SetLineText(Edit3, table.Title());
  grid_->Sync();

  // Drive box: items, then the chosen item or the typed text.
  {
    const QSignalBlocker block(ComboBox1);
    const QSignalBlocker blockEdit(ComboBox1->lineEdit());
    const auto& items = model.DriveItems();
    bool same = ComboBox1->count() == static_cast<int>(items.size());
    for (int i = 0; same && i < ComboBox1->count(); ++i)
      same = ComboBox1->itemText(i) == QString::fromStdString(items[static_cast<std::size_t>(i)]);
    if (!same) {
      ComboBox1->clear();
      for (const auto& item : items) ComboBox1->addItem(QString::fromStdString(item));
    }
    if (ComboBox1->currentIndex() != model.DriveIndex())
      ComboBox1->setCurrentIndex(model.DriveIndex());
    const QString text = QString::fromStdString(model.DriveText());
    if (ComboBox1->currentText() != text) ComboBox1->setEditText(text);
  }

  SetLabelText(StatusPanel0, model.Status(0));
  SetLabelText(StatusPanel1, model.Status(1));

  for (int i = 0; i < static_cast<int>(MenuId::Count); ++i) {
    QAction* action = actions_[static_cast<std::size_t>(i)];
    if (!action) continue;
    const shell::MenuItemState& state = model.Menu(static_cast<MenuId>(i));
    // A command refused while another runs is shown disabled meanwhile.
    const bool enabled = state.enabled && !(locked && shell::RefusedWhileCommandRuns(static_cast<MenuId>(i)));
    if (action->isEnabled() != enabled) action->setEnabled(enabled);
    if (action->isVisible() != state.visible) action->setVisible(state.visible);
  }
  SyncServerMenu();
}

void TFormMain::SyncServerMenu() {
  const auto& items = Model().ServerItems();
  if (!SameServers(items, shownServers_)) {
    for (QAction* action : serverGroup_->actions()) {
      serverGroup_->removeAction(action);
      N3Menu->removeAction(action);
      action->deleteLater();
    }
    for (std::size_t i = 0; i < items.size(); ++i) {
      QAction* action = N3Menu->addAction(QString::fromStdString(items[i].caption));
      action->setCheckable(true);
      action->setData(items[i].tag);
      serverGroup_->addAction(action);
      const int index = static_cast<int>(i);
      connect(action, &QAction::triggered, this, [this, index] { ServerItemClick(index); });
    }
  }
  shownServers_ = items;
  const QList<QAction*> actions = serverGroup_->actions();
  for (int i = 0; i < actions.size() && i < static_cast<int>(items.size()); ++i) {
    const bool checked = items[static_cast<std::size_t>(i)].checked;
    if (actions[i]->isChecked() != checked) {
      const QSignalBlocker block(actions[i]);
      actions[i]->setChecked(checked);
    }
  }
}

void TFormMain::RunHandler(const std::function<void()>& handler) {
  // A handler works on the grid as the user left it: text typed into an
  // open editor is in its cell first.
  if (handlerDepth_ == 0 && StringGrid1->EditorOpen()) StringGrid1->CloseEditorKeepingText();
  ++handlerDepth_;
  try {
    handler();
  } catch (const std::exception& e) {
    ShowException(QString::fromStdString(e.what()));
  } catch (...) {
    ShowException(QString());
  }
  --handlerDepth_;
  SyncFromModel();
  // A close asked for while a handler was still running happens now, once
  // nothing of the core is on the stack any more.
  if (handlerDepth_ == 0 && closePending_) {
    closePending_ = false;
    close();
  }
}

void TFormMain::ComboBox1Pick(int index) {
  RunHandler([this, index] {
    Model().SetDriveIndex(index);
    core_->ComboBox1Change();
  });
}

void TFormMain::ComboBox1Type(const QString& text) {
  RunHandler([this, text] {
    Model().SetDriveText(text.toStdString());
    core_->ComboBox1Change();
  });
}

bool TFormMain::event(QEvent* event) {
  if (event->type() == QEvent::StatusTip) {
    AppHint(static_cast<QStatusTipEvent*>(event)->tip());
    return true;
  }
  return QMainWindow::event(event);
}

void TFormMain::AppHint(const QString& hint) {
  Model().SetStatus(1, LongHint(hint).toStdString());
  SyncFromModel();
}

void TFormMain::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  // Restoring a minimized window is a show too; the window is shown once.
  if (event->spontaneous() || shown_) return;
  shown_ = true;
  FormShow();
}

void TFormMain::FormShow() {
  // 625 x 390 is the outer size: where the frame is already known, the
  // client area gives way to it.
  const QSize frame = frameGeometry().size() - size();
  if (frame.width() > 0 || frame.height() > 0) resize(kWidth - frame.width(), kHeight - frame.height());
  move(CentredOnScreen(*this));
  RunHandler([this] { core_->FormShow(); });
  if (aboutBox_) aboutBox_->Version->setText(aboutBox_->Version->text() + mainform::kVersion);
}

void TFormMain::closeEvent(QCloseEvent* event) {
  if (handlerDepth_ > 0) {
    // Closing from inside a wait (a lookup pumping messages) would pull the
    // settings file and the ASPI layer from under the running handler.
    closePending_ = true;
    event->ignore();
    return;
  }
  FormClose();
  event->accept();
}

void TFormMain::FormClose() {
  if (closed_) return;
  closed_ = true;
  RunHandler([this] { core_->FormClose(); });
  emit formClosed();
}

void TFormMain::X1Click() {
  // Ends the process at once: no close handling, nothing is pending.
  ::_exit(0);
}

void TFormMain::A1Click() {
  if (!aboutBox_) return;
  aboutBox_->show();
  aboutBox_->raise();
  aboutBox_->activateWindow();
}

void TFormMain::H2Click() {
  // Beside the program, in its installed data folder, in the folder of
  // "cdplayer.ini".
  const QString exeDir = QCoreApplication::applicationDirPath();
  const QString chm = FindHelpFile(
      {exeDir,
       QString::fromStdString(platform::InstalledDir(exeDir.toStdString(), platform::ProgramDir::Data)),
       QString::fromStdString(core_->Env().windowsDir)});
  if (!chm.isEmpty() && QDesktopServices::openUrl(QUrl::fromLocalFile(chm))) return;
  if (!helpWindow_) helpWindow_ = new THelpWindow(this);
  helpWindow_->show();
  helpWindow_->raise();
  helpWindow_->activateWindow();
}

void TFormMain::O1Click() { core_->O1Click(); }

void TFormMain::S1Click() { core_->S1Click(); }

void TFormMain::ServerItemClick(int index) {
  RunHandler([this, index] {
    Model().ToggleServerItem(index);
    core_->ChangeServer(index);
  });
}

}  // namespace sl::app
