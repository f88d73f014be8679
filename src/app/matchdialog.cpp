#include "app/matchdialog.h"

#include <QCloseEvent>
#include <QHeaderView>
#include <QHelpEvent>
#include <QLabel>
#include <QPushButton>
#include <QShowEvent>
#include <QTableWidget>
#include <QToolTip>
#include <algorithm>

#include "app/stringgrid.h"
#include "app/texts.h"

namespace sl::app {

MatchDialog::MatchDialog(QWidget* mainWindow)
    : QDialog(mainWindow,
              Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowMinMaxButtonsHint),
      mainWindow_(mainWindow) {
  setObjectName(QStringLiteral("matchDialog"));
  setWindowTitle(QStringLiteral("検索結果"));
  setFixedSize(490, 345);

  matchPromptLabel = new QLabel(
      QStringLiteral("下のリストに該当するタイトルがないとき場合はキャンセルを押してください。"), this);
  matchPromptLabel->setObjectName(QStringLiteral("matchPromptLabel"));
  QFont bold = matchPromptLabel->font();
  bold.setBold(true);
  matchPromptLabel->setFont(bold);
  matchPromptLabel->adjustSize();
  matchPromptLabel->move(16, 24);

  matchGrid = new QTableWidget(1, 3, this);
  matchGrid->setObjectName(QStringLiteral("matchGrid"));
  matchGrid->setGeometry(16, 56, 457, 249);
  matchGrid->setHorizontalHeaderLabels({QString(), QString(), QString()});
  SetUpStringGrid(matchGrid);
  matchGrid->setColumnWidth(0, 50);
  matchGrid->setColumnWidth(1, 128);
  matchGrid->setColumnWidth(2, 256);
  matchGrid->setSelectionBehavior(QAbstractItemView::SelectRows);
  matchGrid->setSelectionMode(QAbstractItemView::SingleSelection);
  matchGrid->setEditTriggers(QAbstractItemView::NoEditTriggers);
  matchGrid->viewport()->installEventFilter(this);

  takeMatchButton = new QPushButton(QStringLiteral("OK"), this);
  takeMatchButton->setObjectName(QStringLiteral("takeMatchButton"));
  takeMatchButton->setGeometry(320, 312, 75, 25);
  cancelMatchButton = new QPushButton(QStringLiteral("Cancel"), this);
  cancelMatchButton->setObjectName(QStringLiteral("cancelMatchButton"));
  cancelMatchButton->setGeometry(400, 312, 75, 25);
  // Neither button answers Enter: only a click (or Space on the focused
  // button) chooses.
  for (QPushButton* b : {cancelMatchButton, takeMatchButton}) {
    b->setAutoDefault(false);
    b->setDefault(false);
  }
  connect(takeMatchButton, &QPushButton::clicked, this, [this] { TakeMatch(); });
  connect(cancelMatchButton, &QPushButton::clicked, this, [this] { CancelMatch(); });

  setTabOrder(cancelMatchButton, takeMatchButton);
  setTabOrder(takeMatchButton, matchGrid);
}

int MatchDialog::Choose(shell::MatchDialogModel& dialog) {
  const int lines = std::clamp(static_cast<int>(dialog.rows.size()) - 1, 0, kMaxMatchRows);
  matchGrid->clearContents();
  matchGrid->setRowCount(lines);
  for (int r = 0; r < lines; ++r) {
    const auto& row = dialog.rows[static_cast<std::size_t>(r) + 1];
    for (int c = 0; c < 3; ++c) {
      auto* item = new QTableWidgetItem(QString::fromStdString(row[static_cast<std::size_t>(c)]));
      item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
      matchGrid->setItem(r, c, item);
    }
  }
  if (lines > 0) {
    // The row the user left last time stays preselected while it exists.
    const int current = std::clamp(dialog.currentRow, 1, lines);
    matchGrid->setCurrentCell(current - 1, 0);
    matchGrid->selectRow(current - 1);
    dialog.currentRow = current;
  }
  finishing_ = false;
  const int result = exec();
  if (matchGrid->currentRow() >= 0) dialog.currentRow = matchGrid->currentRow() + 1;
  return result;
}

void MatchDialog::reject() {}

void MatchDialog::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  HandleActivation();
}

void MatchDialog::changeEvent(QEvent* event) {
  QDialog::changeEvent(event);
  if (event->type() == QEvent::ActivationChange && isActiveWindow()) HandleActivation();
}

void MatchDialog::closeEvent(QCloseEvent* event) {
  // Only the buttons and a double-click close the dialog.
  if (!finishing_) event->ignore();
}

bool MatchDialog::eventFilter(QObject* watched, QEvent* event) {
  if (watched == matchGrid->viewport() && event->type() == QEvent::MouseButtonDblClick) {
    TakeDoubleClickedMatch();
    return true;
  }
  // The columns keep their fixed widths; what they cut off ("MusicBrainz", a
  // long category or title) shows whole when the pointer rests on a cell.
  // Answered here rather than stored in every cell, which would slow the
  // filling of a long list by a sixth.
  if (watched == matchGrid->viewport() && event->type() == QEvent::ToolTip) {
    const auto* help = static_cast<QHelpEvent*>(event);
    if (const QTableWidgetItem* item = matchGrid->itemAt(help->pos()))
      QToolTip::showText(help->globalPos(), item->text(), matchGrid->viewport());
    else QToolTip::hideText();
    return true;
  }
  return QDialog::eventFilter(watched, event);
}

void MatchDialog::HandleActivation() {
  if (mainWindow_) move(mainWindow_->pos());
}

void MatchDialog::TakeMatch() { Finish(matchGrid->currentRow() + 1); }

void MatchDialog::TakeDoubleClickedMatch() { Finish(matchGrid->currentRow() + 1); }

void MatchDialog::CancelMatch() { Finish(-1); }

void MatchDialog::Finish(int result) {
  // An empty list has no row to choose: that is no choice.
  if (result <= 0) result = -1;
  finishing_ = true;
  done(result);
}

}  // namespace sl::app
