// MatchDialog: the modal match dialog. The user picks one of the entries the
// server listed (OK or a double-click) or none (Cancel). The dialog can only
// be left through its two buttons or a double-click: it has no close box and
// ignores Escape.
#pragma once

#include <QDialog>
#include <QPointer>

#include "shell/model.h"

class QLabel;
class QPushButton;
class QTableWidget;

namespace sl::app {

class MatchDialog : public QDialog {
  Q_OBJECT

 public:
  // Most match lines shown; a longer list is cut there.
  static constexpr int kMaxMatchRows = 10000;

  // `mainWindow` is the window whose top-left corner the dialog takes when it
  // activates.
  explicit MatchDialog(QWidget* mainWindow);

  // Fills the grid from `dialog` (row 0 is the blank fixed row), preselects
  // dialog.currentRow (moved into range), shows the dialog modally and
  // returns the chosen row (1 or more) or -1. The current row is written back
  // to dialog.currentRow.
  int Choose(shell::MatchDialogModel& dialog);

  QLabel* matchPromptLabel = nullptr;
  QTableWidget* matchGrid = nullptr;
  QPushButton* cancelMatchButton = nullptr;  // Cancel
  QPushButton* takeMatchButton = nullptr;    // OK

 public slots:
  void reject() override;  // Escape: ignored

 protected:
  void showEvent(QShowEvent* event) override;
  void changeEvent(QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void HandleActivation();
  void TakeMatch();
  void CancelMatch();
  void TakeDoubleClickedMatch();
  void Finish(int result);

  QPointer<QWidget> mainWindow_;
  bool finishing_ = false;
};

}  // namespace sl::app
