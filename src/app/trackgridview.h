// trackGrid on screen: a table view that feeds the user's gestures to the
// grid's editing modes (shell::GridEditModes), shows the pop-up menu of the
// current mode, and runs the grid copy and paste through the clipboard. The
// copy text and paste rules live in the shell room; this class only moves
// gestures and text between Qt and there.
#pragma once

#include <QClipboard>
#include <QLineEdit>
#include <QPointer>
#include <QTableView>
#include <optional>

#include "shell/gridedit.h"
#include "shell/model.h"

class QAction;
class QMenu;

namespace sl::app {

class TrackGridModel;

class TrackGridView : public QTableView {
  Q_OBJECT

 public:
  explicit TrackGridView(QWidget* parent = nullptr);

  // The window model whose table the grid shows, and the Qt model over it.
  void Attach(shell::ShellModel& model, TrackGridModel* gridModel);

  const shell::GridEditModes& Modes() const { return modes_; }
  // The selected cells in table coordinates (column, row; row 0 is the
  // heading), or the current cell when nothing is selected.
  std::optional<shell::GridRect> Selection() const;
  // The in-place editor while one is open.
  QLineEdit* Editor() const { return editor_; }
  bool EditorOpen() const { return state() == EditingState; }

  // Grid copy and paste of the selection through the clipboard. A paste
  // while a command runs changes nothing.
  void CopyCells();
  void PasteCells();

  // Closes an open in-place editor, writing its text into the cell, and
  // returns to selection mode (a command is about to use the grid).
  void CloseEditorKeepingText();

  // The pop-up menu and its items, named as on the form.
  QMenu* gridPopupMenu = nullptr;
  QAction* gridCopyAction = nullptr;     // grid copy (selection mode)
  QAction* gridPasteAction = nullptr;    // grid paste (selection mode)
  QAction* editorCopyAction = nullptr;   // editor copy (editing mode)
  QAction* editorCutAction = nullptr;    // editor cut (editing mode)
  QAction* editorPasteAction = nullptr;  // editor paste (editing mode)

 signals:
  // A paste changed the table.
  void edited();
  // A message for the user (the clipboard's owner did not answer).
  void message(const QString& text);

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;
  void currentChanged(const QModelIndex& current, const QModelIndex& previous) override;
  void closeEditor(QWidget* editor, QAbstractItemDelegate::EndEditHint hint) override;
  QModelIndex moveCursor(CursorAction action, Qt::KeyboardModifiers modifiers) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // The clipboard's text for a paste; nullopt (and a message) when its owner
  // did not answer.
  std::optional<QString> ReadClipboard(QClipboard::Mode mode);
  void PasteIntoEditor(QLineEdit* editor, QClipboard::Mode mode);
  // Opens the in-place editor on the current cell when the mode asks for it.
  void OpenEditor(bool open);
  // Edit triggers and pop-up items follow the mode.
  void SyncMode();
  void UpdateEditActions();

  shell::GridEditModes modes_;
  shell::ShellModel* model_ = nullptr;
  TrackGridModel* gridModel_ = nullptr;
  QPointer<QLineEdit> editor_;
};

}  // namespace sl::app
