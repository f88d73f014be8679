#include "app/trackgridview.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QStyledItemDelegate>
#include <algorithm>
#include <functional>

#include "app/clipboardreader.h"
#include "app/trackgridmodel.h"

namespace sl::app {

namespace {

// The in-place editor: one line of one cell. A paste keeps the clipboard
// text's first field of its first line (a cell never holds a line end or a
// TAB, which a later grid copy would turn into rows and columns), and reads
// the clipboard through the grid's bounded read. It holds as much as a cell
// does, not QLineEdit's default 32,767 characters.
class CellEditor : public QLineEdit {
 public:
  using Paste = std::function<void(CellEditor*, QClipboard::Mode)>;
  CellEditor(QWidget* parent, Paste paste) : QLineEdit(parent), paste_(std::move(paste)) {
    setFrame(false);
    setMaxLength(static_cast<int>(shell::kMaxCellBytes));
    // The grid's own pop-up menu (its cut, copy and paste) rather than the
    // line edit's.
    setContextMenuPolicy(Qt::NoContextMenu);
  }

 protected:
  void keyPressEvent(QKeyEvent* event) override {
    if (event->matches(QKeySequence::Paste)) {
      paste_(this, QClipboard::Clipboard);
      event->accept();
      return;
    }
    QLineEdit::keyPressEvent(event);
  }
  void mouseReleaseEvent(QMouseEvent* event) override {
    // The middle button pastes the X11 selection.
    if (event->button() == Qt::MiddleButton && QGuiApplication::clipboard()->supportsSelection()) {
      paste_(this, QClipboard::Selection);
      event->accept();
      return;
    }
    QLineEdit::mouseReleaseEvent(event);
  }

 private:
  Paste paste_;
};

class CellDelegate : public QStyledItemDelegate {
 public:
  CellDelegate(QObject* parent, CellEditor::Paste paste, std::function<void(QLineEdit*)> created)
      : QStyledItemDelegate(parent), paste_(std::move(paste)), created_(std::move(created)) {}

  QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem&, const QModelIndex&) const override {
    auto* editor = new CellEditor(parent, paste_);
    created_(editor);
    return editor;
  }

 private:
  CellEditor::Paste paste_;
  std::function<void(QLineEdit*)> created_;
};

}  // namespace

TrackGridView::TrackGridView(QWidget* parent) : QTableView(parent) {
  setItemDelegate(new CellDelegate(
      this, [this](CellEditor* e, QClipboard::Mode mode) { PasteIntoEditor(e, mode); },
      [this](QLineEdit* e) { editor_ = e; }));

  gridPopupMenu = new QMenu(this);
  gridPopupMenu->setObjectName(QStringLiteral("gridPopupMenu"));
  auto add = [this](const char* name, const QString& caption, const QString& hint,
                    const QKeySequence& shortcut) {
    QAction* a = gridPopupMenu->addAction(caption);
    a->setObjectName(QString::fromLatin1(name));
    a->setStatusTip(hint);
    a->setShortcut(shortcut);
    // Every edit action belongs to the category "編集".
    a->setProperty("category", QStringLiteral("編集"));
    return a;
  };
  gridCopyAction = add("gridCopyAction", QStringLiteral("コピー(&C)"), QString(), {});
  gridPasteAction = add("gridPasteAction", QStringLiteral("貼り付け(&P)"), QString(), {});
  editorCopyAction =
      add("editorCopyAction", QStringLiteral("コピー(&C)"),
          QStringLiteral("コピー|選択部分をコピーし、クリップボードに送る"), QKeySequence::Copy);
  editorCutAction =
      add("editorCutAction", QStringLiteral("切り取り(&T)"),
          QStringLiteral("切り取り|選択部分を切り取り、クリップボードに送る"), QKeySequence::Cut);
  editorPasteAction = add("editorPasteAction", QStringLiteral("貼り付け(&P)"),
                          QStringLiteral("貼り付け|クリップボードの内容を貼り付ける"), QKeySequence::Paste);
  // The shortcuts are shown in the menu; while a cell is edited its line
  // edit takes those keys itself.
  for (QAction* a : {editorCopyAction, editorCutAction, editorPasteAction})
    a->setShortcutContext(Qt::WidgetShortcut);

  connect(gridCopyAction, &QAction::triggered, this, [this] { CopyCells(); });
  connect(gridPasteAction, &QAction::triggered, this, [this] { PasteCells(); });
  connect(editorCopyAction, &QAction::triggered, this, [this] {
    if (editor_) editor_->copy();
  });
  connect(editorCutAction, &QAction::triggered, this, [this] {
    if (editor_) editor_->cut();
  });
  connect(editorPasteAction, &QAction::triggered, this, [this] {
    if (editor_) PasteIntoEditor(editor_, QClipboard::Clipboard);
  });
  connect(gridPopupMenu, &QMenu::aboutToShow, this, [this] { UpdateEditActions(); });
  // The items' hints go to the window like the main menu's: a pop-up menu
  // is a window of its own, where a hint would otherwise stop.
  gridPopupMenu->installEventFilter(this);
  SyncMode();
}

void TrackGridView::Attach(shell::ShellModel& model, TrackGridModel* gridModel) {
  model_ = &model;
  gridModel_ = gridModel;
  setModel(gridModel);
  // The first title cell is current, as in a fresh grid.
  if (gridModel->rowCount() > 0) setCurrentIndex(gridModel->index(0, 1));
}

std::optional<shell::GridRect> TrackGridView::Selection() const {
  if (!selectionModel()) return std::nullopt;
  const QModelIndexList selected = selectionModel()->selectedIndexes();
  shell::GridRect r;
  if (selected.isEmpty()) {
    const QModelIndex current = currentIndex();
    if (!current.isValid() || current.column() < 1) return std::nullopt;
    r = {current.column(), current.row() + 1, current.column(), current.row() + 1};
    return r;
  }
  r = {selected.front().column(), selected.front().row() + 1, selected.front().column(),
       selected.front().row() + 1};
  for (const QModelIndex& i : selected) {
    r.left = std::min(r.left, i.column());
    r.right = std::max(r.right, i.column());
    r.top = std::min(r.top, i.row() + 1);
    r.bottom = std::max(r.bottom, i.row() + 1);
  }
  // The fixed track-number column is never part of the selection.
  r.left = std::max(r.left, 1);
  return r;
}

void TrackGridView::CopyCells() {
  if (!model_) return;
  const auto sel = Selection();
  if (!sel) return;
  QGuiApplication::clipboard()->setText(QString::fromStdString(shell::GridCopyText(model_->Table(), *sel)));
}

std::optional<QString> TrackGridView::ReadClipboard(QClipboard::Mode mode) {
  const ClipboardRead read = ReadClipboardText(mode);
  if (read.result == ClipboardRead::Result::NoAnswer) {
    emit message(
        QStringLiteral("クリップボードを読み取れませんでした。クリップボードの内容を持つ"
                       "プログラムが応答しません。"));
    return std::nullopt;
  }
  if (read.result == ClipboardRead::Result::NoText) return QString();
  // Plain text ends at the first NUL, as the system's text format does.
  const std::string bytes = read.text.toStdString();
  return QString::fromStdString(std::string(shell::ClipboardText(bytes)));
}

void TrackGridView::PasteCells() {
  // A command waiting for its answer works on the grid as it is.
  if (!model_ || model_->CommandRunning()) return;
  if (!Selection()) return;
  // Plain text, which Qt hands over as Unicode whatever the clipboard held.
  const std::optional<QString> text = ReadClipboard(QClipboard::Clipboard);
  if (!text || text->isEmpty()) return;
  // The read let paint events through; the selection and the lock are
  // taken as they are now.
  const auto sel = Selection();
  if (!sel || model_->CommandRunning()) return;
  if (shell::GridPasteText(model_->Table(), *sel, text->toStdString()) > 0) {
    if (gridModel_) gridModel_->Sync();
    emit edited();
  }
}

void TrackGridView::PasteIntoEditor(QLineEdit* editor, QClipboard::Mode mode) {
  if (!editor || editor->isReadOnly()) return;
  const std::optional<QString> text = ReadClipboard(mode);
  if (!text || (text->isEmpty() && !editor->hasSelectedText())) return;
  // The editor may have closed while the clipboard was read.
  if (editor_ != editor || !EditorOpen()) return;
  const std::string bytes = text->toStdString();
  editor->insert(QString::fromStdString(std::string(shell::EditorPasteText(bytes))));
}

void TrackGridView::CloseEditorKeepingText() {
  if (QLineEdit* e = editor_; e && EditorOpen()) {
    commitData(e);
    closeEditor(e, QAbstractItemDelegate::NoHint);
  }
  if (modes_.Editing()) modes_.HandleCellSelected();  // back to selection mode
  SyncMode();
}

bool TrackGridView::eventFilter(QObject* watched, QEvent* event) {
  if (watched == gridPopupMenu && event->type() == QEvent::StatusTip) {
    if (QWidget* w = window()) QCoreApplication::sendEvent(w, event);
    return true;
  }
  return QTableView::eventFilter(watched, event);
}

QModelIndex TrackGridView::moveCursor(CursorAction action, Qt::KeyboardModifiers modifiers) {
  // The fixed track-number column is never current: keys that would land
  // there go to the neighbouring title or artist cell instead (TAB at a
  // row's end on to the next row's title, Shift+TAB at a row's start back
  // to the previous row's artist, Left and Home stop at the title).
  const QModelIndex current = currentIndex();
  QModelIndex next = QTableView::moveCursor(action, modifiers);
  if (!next.isValid() || next.column() != 0 || !model()) return next;
  if (action == MovePrevious) {
    if (current.isValid() && current.row() > 0)
      return model()->index(current.row() - 1, model()->columnCount() - 1);
    return current;
  }
  return model()->index(next.row(), 1);
}

void TrackGridView::OpenEditor(bool open) {
  SyncMode();
  if (open && state() != EditingState && currentIndex().isValid()) edit(currentIndex());
}

void TrackGridView::SyncMode() {
  const bool editing = modes_.Editing();
  const EditTriggers triggers =
      editing ? EditTriggers(DoubleClicked | SelectedClicked | EditKeyPressed | AnyKeyPressed)
              : EditTriggers(NoEditTriggers);
  if (editTriggers() != triggers) setEditTriggers(triggers);
  using shell::PopupItem;
  gridCopyAction->setVisible(modes_.Visible(PopupItem::GridCopy));
  gridPasteAction->setVisible(modes_.Visible(PopupItem::GridPaste));
  editorCopyAction->setVisible(modes_.Visible(PopupItem::EditorCopy));
  editorCutAction->setVisible(modes_.Visible(PopupItem::EditorCut));
  editorPasteAction->setVisible(modes_.Visible(PopupItem::EditorPaste));
}

void TrackGridView::UpdateEditActions() {
  // The clipboard is not read here: its owner may be slow or not answer,
  // and the menu must open at once. A paste reads it.
  const bool locked = model_ && model_->CommandRunning();
  gridPasteAction->setEnabled(!locked);
  QLineEdit* e = editor_;
  editorCopyAction->setEnabled(e && e->hasSelectedText());
  editorCutAction->setEnabled(e && e->hasSelectedText() && !e->isReadOnly());
  editorPasteAction->setEnabled(e && !e->isReadOnly());
}

void TrackGridView::keyPressEvent(QKeyEvent* event) {
  const bool plain = !(event->modifiers() & (Qt::ControlModifier | Qt::AltModifier));
  if (plain && (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter)) {
    // Enter toggles the mode. In an open editor the key has already been
    // handed to the delegate, which writes the text back and closes it.
    OpenEditor(modes_.HandleKeyDown(shell::kVkReturn));
    event->accept();
    return;
  }
  if (plain && (event->key() == Qt::Key_Tab || event->key() == Qt::Key_Backtab)) {
    // The grid moves to the next cell (which leaves editing mode), then the
    // TAB character enters editing mode there: TAB edits the next cell.
    QTableView::keyPressEvent(event);
    if (event->isAccepted()) OpenEditor(modes_.HandleKeyPress(shell::kTabChar));
    return;
  }
  if (event->matches(QKeySequence::Copy)) {
    // The grid copy has no shortcut; the view's own one-cell copy is off.
    event->ignore();
    return;
  }
  QTableView::keyPressEvent(event);
}

void TrackGridView::mouseDoubleClickEvent(QMouseEvent* event) {
  QTableView::mouseDoubleClickEvent(event);
  OpenEditor(modes_.TakeDoubleClickedMatch());
}

void TrackGridView::contextMenuEvent(QContextMenuEvent* event) {
  SyncMode();
  gridPopupMenu->popup(event->globalPos());
  event->accept();
}

void TrackGridView::currentChanged(const QModelIndex& current, const QModelIndex& previous) {
  // Selecting another cell leaves editing mode; the grid then closes the
  // open editor, keeping what was typed.
  if (current != previous) {
    modes_.HandleCellSelected();
    SyncMode();
  }
  QTableView::currentChanged(current, previous);
}

void TrackGridView::closeEditor(QWidget* editor, QAbstractItemDelegate::EndEditHint hint) {
  if (hint == QAbstractItemDelegate::EditNextItem || hint == QAbstractItemDelegate::EditPreviousItem) {
    // TAB in the editor: as in the grid, move on and edit the next cell.
    QTableView::closeEditor(editor, hint);
    OpenEditor(modes_.HandleKeyPress(shell::kTabChar));
    return;
  }
  QTableView::closeEditor(editor, hint);
}

}  // namespace sl::app
