// TFormMain on screen: the main window's widgets, menus and status bar. The
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

#include "app/helpwindow.h"
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

class TAboutBox;
class TFormOption;
class TFormSearch;
class TrackGridModel;

class TFormMain : public QMainWindow {
  Q_OBJECT

 public:
  // Outer size of the window.
  static constexpr int kWidth = 625;
  static constexpr int kHeight = 390;

  // Builds the widgets, then constructs the core window (ASPI, drive scan)
  // and runs its create handler (settings file).
  explicit TFormMain(mainform::Environment env, QWidget* parent = nullptr);
  ~TFormMain() override;

  mainform::TFormMain& Core() { return *core_; }
  shell::ShellModel& Model() { return core_->Model(); }
  QtShellServices& Services() { return services_; }

  // The forms created after this one, which its commands open.
  void SetForms(TFormSearch* search, TFormOption* option, TAboutBox* about);

  // Mirrors the model into the widgets. Cheap when the model's generation is
  // unchanged; `force` redraws everything.
  void SyncFromModel(bool force = false);

  // Runs one handler. An exception escaping it is shown in the standard
  // error box and the program goes on; the widgets are synced afterwards.
  void RunHandler(const std::function<void()>& handler);

  // The drive box: the user picked item `index`, or typed `text`.
  void ComboBox1Pick(int index);
  void ComboBox1Type(const QString& text);

  // The menu item (or submenu) for `id`.
  QAction* MenuAction(shell::MenuId id) const;

  // The built-in help window, once H2 has opened it.
  THelpWindow* HelpWindow() const { return helpWindow_; }

  // Controls, named as on the form.
  QFrame* Panel1 = nullptr;
  QLabel* Label1 = nullptr;
  QLabel* Label2 = nullptr;
  QLabel* Label3 = nullptr;
  QLabel* Label4 = nullptr;
  QLabel* Label5 = nullptr;
  QLabel* Label6 = nullptr;
  QComboBox* ComboBox1 = nullptr;  // drive
  QComboBox* ComboBox2 = nullptr;  // category
  QComboBox* ComboBox3 = nullptr;  // detailed genre
  QLineEdit* Edit1 = nullptr;      // year
  QLineEdit* Edit2 = nullptr;      // disc artist
  QLineEdit* Edit3 = nullptr;      // disc title
  TrackGridView* StringGrid1 = nullptr;
  QLabel* StatusPanel0 = nullptr;  // state messages
  QLabel* StatusPanel1 = nullptr;  // long hint
  QMenu* N3Menu = nullptr;         // server submenu

 signals:
  // The close box closed the window: FormClose has run. The program ends
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

  void FormShow();
  void FormClose();
  void AppHint(const QString& hint);
  void X1Click();
  void A1Click();
  void H2Click();
  void O1Click();
  void S1Click();
  void ServerItemClick(int index);

  // Declared before core_ so the core is destroyed first.
  QtShellServices services_;
  std::unique_ptr<mainform::TFormMain> core_;
  TrackGridModel* grid_ = nullptr;
  std::array<QAction*, static_cast<int>(shell::MenuId::Count)> actions_{};
  QActionGroup* serverGroup_ = nullptr;
  std::vector<shell::ServerMenuItem> shownServers_;
  std::uint64_t syncedGeneration_ = 0;
  TFormSearch* formSearch_ = nullptr;
  TFormOption* formOption_ = nullptr;
  TAboutBox* aboutBox_ = nullptr;
  QPointer<THelpWindow> helpWindow_;
  QSocketNotifier* ipcNotifier_ = nullptr;
  int handlerDepth_ = 0;
  bool shown_ = false;
  bool closePending_ = false;
  bool closed_ = false;
};

}  // namespace sl::app
