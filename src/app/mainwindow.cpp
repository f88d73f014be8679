#include "app/mainwindow.h"

#include <unistd.h>
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
#include <utility>

#include "app/aboutbox.h"
#include "app/exceptionbox.h"
#include "app/helpviewer.h"
#include "app/hints.h"
#include "app/matchdialog.h"
#include "app/optionsdialog.h"
#include "app/stringgrid.h"
#include "app/texts.h"
#include "app/trackgridmodel.h"
#include "app/trackgridview.h"
#include "app/window_position.h"
#include "ipc/ipc.h"
#include "platform/install_paths.h"

namespace sl::app {

namespace {

using shell::MenuId;

// Height of the edits and combo boxes on discPanel.
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

QComboBox* MakeCombo(QWidget* parent, const char* name, int left, int top, int width, const QString& hint) {
  auto* box = new QComboBox(parent);
  box->setObjectName(QString::fromLatin1(name));
  box->setEditable(true);
  // Typed text is the box's text; it never becomes a new item.
  box->setInsertPolicy(QComboBox::NoInsert);
  box->setGeometry(left, top, width, kFieldHeight);
  box->setStatusTip(hint);
  return box;
}

QLineEdit* MakeEdit(QWidget* parent, const char* name, int left, int top, int width, const QString& hint) {
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

bool SameServers(const std::vector<shell::ServerMenuItem>& a, const std::vector<shell::ServerMenuItem>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (a[i].caption != b[i].caption || a[i].tag != b[i].tag) return false;
  return true;
}

}  // namespace

MainWindow::MainWindow(mainform::Environment env, QWidget* parent) : QMainWindow(parent) {
  setObjectName(QStringLiteral("mainWindow"));
  setWindowTitle(kAppTitle);
  resize(kWidth, kHeight);

  BuildPanel();
  BuildGrid();
  BuildStatusBar();

  auto* central = new QWidget(this);
  auto* layout = new QVBoxLayout(central);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  layout->addWidget(discPanel);
  layout->addWidget(trackGrid, 1);
  setCentralWidget(central);

  // The core window: fields, ASPI, drive scan, "チェック完了", grid header.
  // Its boxes (a missing ASPI layer) appear now, before the window shows.
  core_ = std::make_unique<mainform::MainWindowLogic>(services_, std::move(env));
  services_.SetOwner(this);

  grid_ = new TrackGridModel(Model().Table(), this);
  trackGrid->Attach(Model(), grid_);
  connect(trackGrid, &TrackGridView::edited, this, [this] { SyncFromModel(); });
  connect(trackGrid, &TrackGridView::message, this,
          [this](const QString& text) { services_.MessageBox(shell::MsgIcon::Warning, text.toStdString()); });
  // A box a command opens comes after what the command has shown so far:
  // the status text it set is on screen before the box.
  services_.SetBeforeBox([this] {
    SyncFromModel();
    statusPanel->repaint();
    hintPanel->repaint();
  });
  trackGrid->setColumnWidth(0, 40);
  trackGrid->setColumnWidth(1, 250);
  trackGrid->setColumnWidth(2, 150);

  BuildMenus();
  SetTabOrder();
  SyncFromModel(true);

  RunHandler([this] { core_->OpenSettingsFile(); });

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

MainWindow::~MainWindow() {
  services_.SetMatchDialog(nullptr);
  services_.SetOptionDialog(nullptr);
  services_.SetOwner(nullptr);
  // The widgets read the core's model, which goes with core_ before the
  // QWidget base would delete them: take them down while it still exists.
  trackGrid->setModel(nullptr);
  qDeleteAll(findChildren<QWidget*>(Qt::FindDirectChildrenOnly));
  delete grid_;
}

void MainWindow::SetDialogs(MatchDialog* search, OptionsDialog* option, AboutBox* about) {
  matchDialog_ = search;
  optionsDialog_ = option;
  aboutBox_ = about;
  services_.SetMatchDialog(search);
  services_.SetOptionDialog(option);
}

void MainWindow::BuildPanel() {
  discPanel = new QFrame(this);
  discPanel->setObjectName(QStringLiteral("discPanel"));
  discPanel->setFrameStyle(QFrame::Panel | QFrame::Raised);
  discPanel->setFixedHeight(81);

  driveLabel = MakeLabel(discPanel, "driveLabel", QStringLiteral("CD-ROMドライブ"), 8, 8, true);
  driveBox = MakeCombo(discPanel, "driveBox", 8, 32, 233,
                       QStringLiteral("CD-ROMドライブ | CDをセットしたドライブを選択します。 "));
  // Each typed character is a drive change of its own; completing the text
  // would run the handler on text the user never typed.
  driveBox->setCompleter(nullptr);
  categoryLabel = MakeLabel(discPanel, "categoryLabel", QStringLiteral("ｼﾞｬﾝﾙ"), 248, 7);
  categoryBox = MakeCombo(discPanel, "categoryBox", 304, 5, 105,
                          QStringLiteral("ジャンル|データ検索に使用する大まかなジャンルです。"));
  categoryBox->addItems(Categories());
  genreLabel = MakeLabel(discPanel, "genreLabel", QStringLiteral("詳細ｼﾞｬﾝﾙ"), 416, 7);
  genreBox = MakeCombo(discPanel, "genreBox", 496, 5, 113,
                       QStringLiteral("詳細ジャンル|細かなジャンルを示します。"));
  genreBox->addItems(DetailedGenres());
  artistLabel = MakeLabel(discPanel, "artistLabel", QStringLiteral("ｱｰﾃｨｽﾄ"), 248, 32);
  artistEdit =
      MakeEdit(discPanel, "artistEdit", 304, 30, 305, QStringLiteral("アーティスト | アーティスト名です。"));
  titleLabel = MakeLabel(discPanel, "titleLabel", QStringLiteral("ﾀｲﾄﾙ"), 248, 58);
  titleEdit = MakeEdit(discPanel, "titleEdit", 304, 56, 305, QStringLiteral("タイトル | CDのタイトルです。"));
  yearLabel = MakeLabel(discPanel, "yearLabel", QStringLiteral("年号"), 128, 58);
  yearEdit = MakeEdit(discPanel, "yearEdit", 168, 56, 73, QStringLiteral("年号|発売された年（西暦)です。"));

  // Boxes start with no item chosen: their text is what the model says.
  categoryBox->setCurrentIndex(-1);
  genreBox->setCurrentIndex(-1);

  // Pop-up hints (the short part) only where the form shows them.
  for (QWidget* w : std::initializer_list<QWidget*>{driveBox, artistEdit, titleEdit})
    w->setToolTip(ShortHint(w->statusTip()));

  // Edits reach the model at once.
  connect(driveBox, &QComboBox::activated, this, [this](int index) { PickDrive(index); });
  connect(driveBox->lineEdit(), &QLineEdit::textEdited, this,
          [this](const QString& text) { TypeDrive(text); });
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
  connect(categoryBox, &QComboBox::editTextChanged, this, field(&shell::TrackTitleTable::SetCategory));
  connect(genreBox, &QComboBox::editTextChanged, this, field(&shell::TrackTitleTable::SetGenre));
  connect(yearEdit, &QLineEdit::textChanged, this, field(&shell::TrackTitleTable::SetYear));
  connect(artistEdit, &QLineEdit::textChanged, this, field(&shell::TrackTitleTable::SetArtist));
  connect(titleEdit, &QLineEdit::textChanged, this, field(&shell::TrackTitleTable::SetTitle));
}

void MainWindow::BuildGrid() {
  trackGrid = new TrackGridView(this);
  trackGrid->setObjectName(QStringLiteral("trackGrid"));
  SetUpStringGrid(trackGrid);
  trackGrid->horizontalHeader()->setSectionsClickable(false);
  trackGrid->setSelectionBehavior(QAbstractItemView::SelectItems);
  trackGrid->setSelectionMode(QAbstractItemView::ContiguousSelection);
  // Editing starts switched off; the grid's editing mode turns it on.
  trackGrid->setEditTriggers(QAbstractItemView::NoEditTriggers);
  trackGrid->setTabKeyNavigation(true);
}

void MainWindow::BuildStatusBar() {
  QStatusBar* bar = statusBar();
  bar->setObjectName(QStringLiteral("statusBar"));
  statusPanel = new QLabel(bar);
  statusPanel->setObjectName(QStringLiteral("statusPanel"));
  statusPanel->setFixedWidth(150);
  hintPanel = new QLabel(bar);
  hintPanel->setObjectName(QStringLiteral("hintPanel"));
  // The last panel is 50 pixels at least and takes the rest of the bar, so
  // a long hint is clipped rather than widening the window.
  hintPanel->setMinimumWidth(50);
  hintPanel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  bar->addWidget(statusPanel, 0);
  bar->addWidget(hintPanel, 1);
}

QAction* MainWindow::AddItem(QMenu* menu, MenuId id, const char* name, const QString& caption,
                             const QString& hint, std::function<void()> handler) {
  QAction* action = menu->addAction(caption);
  action->setObjectName(QString::fromLatin1(name));
  action->setStatusTip(hint);
  if (handler)
    connect(action, &QAction::triggered, this, [this, handler = std::move(handler)] { RunHandler(handler); });
  actions_[static_cast<int>(id)] = action;
  return action;
}

QMenu* MainWindow::AddSubmenu(QMenu* menu, MenuId id, const char* name, const QString& caption,
                              const QString& hint) {
  QMenu* sub = menu->addMenu(caption);
  sub->setObjectName(QString::fromLatin1(name));
  sub->menuAction()->setObjectName(QString::fromLatin1(name));
  sub->menuAction()->setStatusTip(hint);
  actions_[static_cast<int>(id)] = sub->menuAction();
  return sub;
}

void MainWindow::BuildMenus() {
  QMenuBar* bar = menuBar();
  bar->setObjectName(QStringLiteral("mainMenu"));

  QMenu* f1 = bar->addMenu(QStringLiteral("ファイル(&F)"));
  f1->setObjectName(QStringLiteral("fileMenuItem"));
  f1->menuAction()->setObjectName(QStringLiteral("fileMenuItem"));
  actions_[static_cast<int>(MenuId::FileMenu)] = f1->menuAction();
  AddItem(f1, MenuId::FetchServerList, "fetchServerListItem", QStringLiteral("tunedexのサーバリスト取得(&S)"),
          QStringLiteral("サーバリスト取得 | tunedexのミラーサーバを取得します。"),
          [this] { core_->FetchServerList(); });
  f1->addSeparator()->setObjectName(QStringLiteral("N5"));
  QMenu* s3 = AddSubmenu(f1, MenuId::SaveListMenu, "saveListMenuItem", QStringLiteral("リストの保存(&W)"),
                         QStringLiteral("曲名データを保存します。"));
  AddItem(s3, MenuId::SaveToLocalDatabase, "saveToLocalDatabaseItem",
          QStringLiteral("ローカルデータベース(&L)"), QString(), [this] { core_->SaveTitles(); });
  AddItem(s3, MenuId::ExportToPlayer, "exportToPlayerItem", QStringLiteral("DSMP(&D)"), QString(),
          [this] { core_->ExportToPlayer(); });
  QMenu* r1 = AddSubmenu(f1, MenuId::LoadListMenu, "loadListMenuItem", QStringLiteral("リストの読み込み(&R)"),
                         QStringLiteral("曲名データを読み込みます。"));
  AddItem(r1, MenuId::LoadFromLocalDatabase, "loadFromLocalDatabaseItem",
          QStringLiteral("ローカルデータベース(&L)"), QString(), [this] { core_->LoadTitles(); });
  AddItem(r1, MenuId::ImportFromPlayer, "importFromPlayerItem", QStringLiteral("DSMP(&D)"), QString(),
          [this] { core_->ImportFromPlayer(); });
  f1->addSeparator()->setObjectName(QStringLiteral("N1"));
  // Exit ends the process outright; it does not go through RunHandler.
  QAction* x1 = f1->addAction(QStringLiteral("終了(&X)"));
  x1->setObjectName(QStringLiteral("exitItem"));
  x1->setStatusTip(QStringLiteral("終了 | プログラムを終了します。"));
  connect(x1, &QAction::triggered, this, [this] { CloseWindow(); });
  actions_[static_cast<int>(MenuId::Exit)] = x1;

  QMenu* e1 = bar->addMenu(QStringLiteral("データベース(&D)"));
  e1->setObjectName(QStringLiteral("databaseMenuItem"));
  e1->menuAction()->setObjectName(QStringLiteral("databaseMenuItem"));
  actions_[static_cast<int>(MenuId::DatabaseMenu)] = e1->menuAction();
  AddItem(e1, MenuId::LookUpDisc, "lookUpDiscItem", QStringLiteral("データベースから受信(&R)"),
          QStringLiteral("接続 | tunedexサーバに接続しCDタイトルを検索します。"),
          [this] { core_->LookUpDisc(); });
  AddItem(e1, MenuId::SubmitEntry, "submitEntryItem", QStringLiteral("データベースに送信(&S)"),
          QStringLiteral("送信 | tunedexサーバにCD情報を送信します。"), [this] { SubmitEntry(); });
  musicBrainzLookupItem_ = e1->addAction(QStringLiteral("MusicBrainzから受信(&M)"));
  musicBrainzLookupItem_->setObjectName(QStringLiteral("musicBrainzLookupItem"));
  musicBrainzLookupItem_->setStatusTip(QStringLiteral("MusicBrainz | MusicBrainzでCDタイトルを検索します。"));
  connect(musicBrainzLookupItem_, &QAction::triggered, this,
          [this] { RunHandler([this] { core_->LookUpMusicBrainz(); }); });
  musicBrainzSubmitItem_ = e1->addAction(QStringLiteral("MusicBrainzに登録(&B)…"));
  musicBrainzSubmitItem_->setObjectName(QStringLiteral("musicBrainzSubmitItem"));
  musicBrainzSubmitItem_->setStatusTip(
      QStringLiteral("MusicBrainzに登録 | このCDをMusicBrainzのリリースに結び付けるページを開きます。"));
  connect(musicBrainzSubmitItem_, &QAction::triggered, this,
          [this] { RunHandler([this] { OpenMusicBrainzSubmission(); }); });
  e1->addSeparator()->setObjectName(QStringLiteral("N2"));
  serverMenu =
      AddSubmenu(e1, MenuId::ServerMenu, "serverMenuItem", QStringLiteral("接続するデータベース(&N)"),
                 QStringLiteral("接続先の選択 | 接続するtunedexサーバを選択します。"));
  serverGroup_ = new QActionGroup(this);
  serverGroup_->setExclusionPolicy(QActionGroup::ExclusionPolicy::ExclusiveOptional);
  AddItem(e1, MenuId::Options, "optionsItem", QStringLiteral("オプション(&O)..."),
          QStringLiteral("オプション | プロクシサーバの設定とバージョン情報の表示です。"),
          [this] { OpenOptions(); });

  QMenu* h1 = bar->addMenu(QStringLiteral("ヘルプ(&H)"));
  h1->setObjectName(QStringLiteral("helpMenuItem"));
  h1->menuAction()->setObjectName(QStringLiteral("helpMenuItem"));
  actions_[static_cast<int>(MenuId::HelpMenu)] = h1->menuAction();
  AddItem(h1, MenuId::HelpContents, "helpContentsItem", QStringLiteral("ヘルプ(&H)"),
          QStringLiteral("ヘルプ|ヘルプを表示します。"), [this] { ShowHelp(); });
  h1->addSeparator()->setObjectName(QStringLiteral("N4"));
  AddItem(h1, MenuId::About, "aboutItem", QStringLiteral("バージョン情報(&A)"),
          QStringLiteral("バージョン情報 | バージョン情報です。"), [this] { ShowAbout(); });
}

void MainWindow::SetTabOrder() {
  setTabOrder(driveBox, categoryBox);
  setTabOrder(categoryBox, genreBox);
  setTabOrder(genreBox, artistEdit);
  setTabOrder(artistEdit, yearEdit);
  setTabOrder(yearEdit, titleEdit);
  setTabOrder(titleEdit, trackGrid);
}

QAction* MainWindow::MenuAction(MenuId id) const {
  const int i = static_cast<int>(id);
  if (i < 0 || i >= static_cast<int>(actions_.size())) return nullptr;
  return actions_[static_cast<std::size_t>(i)];
}

void MainWindow::SyncFromModel(bool force) {
  shell::ShellModel& model = Model();
  if (!force && model.Generation() == syncedGeneration_) return;
  syncedGeneration_ = model.Generation();

  const bool locked = model.CommandRunning();
  // An editor still open when a command starts is closed with its text
  // written into the cell, before the grid turns read-only.
  if (locked && trackGrid->EditorOpen()) trackGrid->CloseEditorKeepingText();
  for (QLineEdit* edit : {yearEdit, artistEdit, titleEdit, categoryBox->lineEdit(), genreBox->lineEdit()})
    if (edit->isReadOnly() != locked) edit->setReadOnly(locked);
  grid_->SetReadOnly(locked);

  const shell::TrackTitleTable& table = model.Table();
  SetComboText(categoryBox, table.Category());
  SetComboText(genreBox, table.Genre());
  SetLineText(yearEdit, table.Year());
  SetLineText(artistEdit, table.Artist());
  SetLineText(titleEdit, table.Title());
  grid_->Sync();

  // Drive box: items, then the chosen item or the typed text.
  {
    const QSignalBlocker block(driveBox);
    const QSignalBlocker blockEdit(driveBox->lineEdit());
    const auto& items = model.DriveItems();
    bool same = driveBox->count() == static_cast<int>(items.size());
    for (int i = 0; same && i < driveBox->count(); ++i)
      same = driveBox->itemText(i) == QString::fromStdString(items[static_cast<std::size_t>(i)]);
    if (!same) {
      driveBox->clear();
      for (const auto& item : items) driveBox->addItem(QString::fromStdString(item));
    }
    if (driveBox->currentIndex() != model.DriveIndex()) driveBox->setCurrentIndex(model.DriveIndex());
    const QString text = QString::fromStdString(model.DriveText());
    if (driveBox->currentText() != text) driveBox->setEditText(text);
  }

  SetLabelText(statusPanel, model.Status(0));
  SetLabelText(hintPanel, model.Status(1));

  for (int i = 0; i < static_cast<int>(MenuId::Count); ++i) {
    QAction* action = actions_[static_cast<std::size_t>(i)];
    if (!action) continue;
    const shell::MenuItemState& state = model.Menu(static_cast<MenuId>(i));
    // A command refused while another runs is shown disabled meanwhile.
    const bool enabled = state.enabled && !(locked && shell::RefusedWhileCommandRuns(static_cast<MenuId>(i)));
    if (action->isEnabled() != enabled) action->setEnabled(enabled);
    if (action->isVisible() != state.visible) action->setVisible(state.visible);
  }
  // The MusicBrainz items need what the CDDB lookup needs: a disc read and
  // no command running.
  const bool lookupEnabled = model.Menu(MenuId::LookUpDisc).enabled && !locked;
  for (QAction* item : {musicBrainzLookupItem_, musicBrainzSubmitItem_})
    if (item && item->isEnabled() != lookupEnabled) item->setEnabled(lookupEnabled);
  SyncServerMenu();
}

void MainWindow::OpenMusicBrainzSubmission() {
  const std::string url = core_->MusicBrainzSubmissionUrl();
  if (!url.empty()) QDesktopServices::openUrl(QUrl(QString::fromStdString(url)));
}

void MainWindow::SyncServerMenu() {
  const auto& items = Model().ServerItems();
  if (!SameServers(items, shownServers_)) {
    for (QAction* action : serverGroup_->actions()) {
      serverGroup_->removeAction(action);
      serverMenu->removeAction(action);
      action->deleteLater();
    }
    for (std::size_t i = 0; i < items.size(); ++i) {
      QAction* action = serverMenu->addAction(QString::fromStdString(items[i].caption));
      action->setCheckable(true);
      action->setData(items[i].tag);
      serverGroup_->addAction(action);
      const int index = static_cast<int>(i);
      connect(action, &QAction::triggered, this, [this, index] { ChooseServerItem(index); });
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

void MainWindow::RunHandler(const std::function<void()>& handler) {
  // A handler works on the grid as the user left it: text typed into an
  // open editor is in its cell first.
  if (handlerDepth_ == 0 && trackGrid->EditorOpen()) trackGrid->CloseEditorKeepingText();
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

void MainWindow::PickDrive(int index) {
  RunHandler([this, index] {
    Model().SetDriveIndex(index);
    core_->ChooseDrive();
  });
}

void MainWindow::TypeDrive(const QString& text) {
  RunHandler([this, text] {
    Model().SetDriveText(text.toStdString());
    core_->ChooseDrive();
  });
}

bool MainWindow::event(QEvent* event) {
  if (event->type() == QEvent::StatusTip) {
    ShowLongHint(static_cast<QStatusTipEvent*>(event)->tip());
    return true;
  }
  return QMainWindow::event(event);
}

void MainWindow::ShowLongHint(const QString& hint) {
  Model().SetStatus(1, LongHint(hint).toStdString());
  SyncFromModel();
}

void MainWindow::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  // Restoring a minimized window is a show too; the window is shown once.
  if (event->spontaneous() || shown_) return;
  shown_ = true;
  HandleFirstShow();
}

void MainWindow::HandleFirstShow() {
  // 625 x 390 is the outer size: where the frame is already known, the
  // client area gives way to it.
  const QSize frame = frameGeometry().size() - size();
  if (frame.width() > 0 || frame.height() > 0) resize(kWidth - frame.width(), kHeight - frame.height());
  move(CentredOnScreen(*this));
  RunHandler([this] { core_->ApplyStartupSettings(); });
  if (aboutBox_) aboutBox_->Version->setText(aboutBox_->Version->text() + mainform::kVersion);
}

void MainWindow::closeEvent(QCloseEvent* event) {
  if (handlerDepth_ > 0) {
    // Closing from inside a wait (a lookup pumping messages) would pull the
    // settings file and the ASPI layer from under the running handler.
    closePending_ = true;
    event->ignore();
    return;
  }
  HandleClose();
  event->accept();
}

void MainWindow::HandleClose() {
  if (closed_) return;
  closed_ = true;
  RunHandler([this] { core_->ReleaseResources(); });
  emit formClosed();
}

void MainWindow::CloseWindow() {
  // Ends the process at once: no close handling, nothing is pending.
  ::_exit(0);
}

void MainWindow::ShowAbout() {
  if (!aboutBox_) return;
  aboutBox_->show();
  aboutBox_->raise();
  aboutBox_->activateWindow();
}

void MainWindow::ShowHelp() {
  // Beside the program, in its installed data folder, in the folder of
  // "cdplayer.ini".
  const QString exeDir = QCoreApplication::applicationDirPath();
  const QString chm = FindHelpFile(
      {exeDir,
       QString::fromStdString(platform::InstalledDir(exeDir.toStdString(), platform::ProgramDir::Data)),
       QString::fromStdString(core_->Env().windowsDir)});
  if (!chm.isEmpty() && QDesktopServices::openUrl(QUrl::fromLocalFile(chm))) return;
  if (!helpWindow_) helpWindow_ = new HelpViewer(this);
  helpWindow_->show();
  helpWindow_->raise();
  helpWindow_->activateWindow();
}

void MainWindow::OpenOptions() { core_->OpenOptions(); }

void MainWindow::SubmitEntry() { core_->SubmitEntry(); }

void MainWindow::ChooseServerItem(int index) {
  RunHandler([this, index] {
    Model().ToggleServerItem(index);
    core_->ChangeServer(index);
  });
}

}  // namespace sl::app
