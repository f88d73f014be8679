// MainWindow on screen: the main window's widgets, menus and status bar. The
// window's state lives in the shared ShellModel; this class mirrors it into
// the widgets (SyncFromModel), passes the user's edits back into it at once,
// and forwards every command to the core main window (sl::mainform).
#pragma once

#include <QMainWindow>
#include <QPointer>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "app/helpviewer.h"
#include "app/qtservices.h"
#include "app/trackgridview.h"
#include "mainform/mainform.h"
#include "shell/model.h"

class QAction;
class QActionGroup;
class QComboBox;
class QFrame;
class QLabel;
class QLineEdit;
class QMenu;
class QSocketNotifier;
class QTableView;

namespace sl::app {

class AboutBox;
class OptionsDialog;
class MatchDialog;
class TrackGridModel;

class MainWindow : public QMainWindow {
  Q_OBJECT

 public:
  // Outer size of the window.
  static constexpr int kWidth = 625;
  static constexpr int kHeight = 390;

  // Builds the widgets, then constructs the core window (ASPI, drive scan)
  // and runs its create handler (settings file).
  explicit MainWindow(mainform::Environment env, QWidget* parent = nullptr);
  ~MainWindow() override;

  mainform::MainWindowLogic& Core() { return *core_; }
  shell::ShellModel& Model() { return core_->Model(); }
  QtShellServices& Services() { return services_; }

  // The forms created after this one, which its commands open.
  void SetDialogs(MatchDialog* search, OptionsDialog* option, AboutBox* about);

  // Mirrors the model into the widgets. Cheap when the model's generation is
  // unchanged; `force` redraws everything.
  void SyncFromModel(bool force = false);

  // Runs one handler. An exception escaping it is shown in the standard
  // error box and the program goes on; the widgets are synced afterwards.
  void RunHandler(const std::function<void()>& handler);

  // The drive box: the user picked item `index`, or typed `text`.
  void PickDrive(int index);
  void TypeDrive(const QString& text);

  // The menu item (or submenu) for `id`.
  QAction* MenuAction(shell::MenuId id) const;

  // The built-in help window, once the help item has opened it.
  HelpViewer* HelpWindow() const { return helpWindow_; }

  // Controls, named as on the form.
  QFrame* discPanel = nullptr;
  QLabel* driveLabel = nullptr;
  QLabel* artistLabel = nullptr;
  QLabel* categoryLabel = nullptr;
  QLabel* titleLabel = nullptr;
  QLabel* genreLabel = nullptr;
  QLabel* yearLabel = nullptr;
  QComboBox* driveBox = nullptr;     // drive
  QComboBox* categoryBox = nullptr;  // category
  QComboBox* genreBox = nullptr;     // detailed genre
  QLineEdit* yearEdit = nullptr;     // year
  QLineEdit* artistEdit = nullptr;   // disc artist
  QLineEdit* titleEdit = nullptr;    // disc title
  TrackGridView* trackGrid = nullptr;
  QLabel* statusPanel = nullptr;  // state messages
  QLabel* hintPanel = nullptr;    // long hint
  QMenu* serverMenu = nullptr;    // server submenu

 signals:
  // The close box closed the window: HandleClose has run. The program ends
  // its event loop on this.
  void formClosed();

 protected:
  bool event(QEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void BuildPanel();
  void BuildGrid();
  void BuildStatusBar();
  void BuildMenus();
  void SetTabOrder();
  QAction* AddItem(QMenu* menu, shell::MenuId id, const char* name, const QString& caption,
                   const QString& hint, std::function<void()> handler);
  QMenu* AddSubmenu(QMenu* menu, shell::MenuId id, const char* name, const QString& caption,
                    const QString& hint);
  void SyncServerMenu();

  void HandleFirstShow();
  void HandleClose();
  void ShowLongHint(const QString& hint);
  void CloseWindow();
  void ShowAbout();
  void ShowHelp();
  void OpenOptions();
  void SubmitEntry();
  void ChooseServerItem(int index);
  // Opens the page where the disc's MusicBrainz ID is attached to a release.
  void OpenMusicBrainzSubmission();

  // Declared before core_ so the core is destroyed first.
  QtShellServices services_;
  std::unique_ptr<mainform::MainWindowLogic> core_;
  TrackGridModel* grid_ = nullptr;
  std::array<QAction*, static_cast<int>(shell::MenuId::Count)> actions_{};
  QActionGroup* serverGroup_ = nullptr;
  // The MusicBrainz items: available whenever the CDDB lookup is.
  QAction* musicBrainzLookupItem_ = nullptr;
  QAction* musicBrainzSubmitItem_ = nullptr;
  std::vector<shell::ServerMenuItem> shownServers_;
  std::uint64_t syncedGeneration_ = 0;
  MatchDialog* matchDialog_ = nullptr;
  OptionsDialog* optionsDialog_ = nullptr;
  AboutBox* aboutBox_ = nullptr;
  QPointer<HelpViewer> helpWindow_;
  QSocketNotifier* ipcNotifier_ = nullptr;
  int handlerDepth_ = 0;
  bool shown_ = false;
  bool closePending_ = false;
  bool closed_ = false;
};

}  // namespace sl::app
