#include "app/formsearch.h"

#include <QCloseEvent>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QShowEvent>
#include <QTableWidget>
#include <algorithm>

#include "app/texts.h"
#include "app/stringgrid.h"

namespace sl::app {

TFormSearch::TFormSearch(QWidget* mainWindow)
    : QDialog(mainWindow,
              Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                  Qt::WindowMinMaxButtonsHint),
      mainWindow_(mainWindow) {
  setObjectName(QStringLiteral("FormSearch"));
  setWindowTitle(QStringLiteral("検索結果"));
  setFixedSize(490, 345);

  Label1 = new QLabel(
      QStringLiteral("下のリストに該当するタイトルがないとき場合はキャンセルを押してください。"), this);
  Label1->setObjectName(QStringLiteral("Label1"));
  QFont bold = Label1->font();
  bold.setBold(true);
  Label1->setFont(bold);
  Label1->adjustSize();
  Label1->move(16, 24);

  StringGrid1 = new QTableWidget(1, 3, this);
  StringGrid1->setObjectName(QStringLiteral("StringGrid1"));
  StringGrid1->setGeometry(16, 56, 457, 249);
  StringGrid1->setHorizontalHeaderLabels({QString(), QString(), QString()});
  SetUpStringGrid(StringGrid1);
  StringGrid1->setColumnWidth(0, 50);
  StringGrid1->setColumnWidth(1, 128);
  StringGrid1->setColumnWidth(2, 256);
  StringGrid1->setSelectionBehavior(QAbstractItemView::SelectRows);
  StringGrid1->setSelectionMode(QAbstractItemView::SingleSelection);
  StringGrid1->setEditTriggers(QAbstractItemView::NoEditTriggers);
  StringGrid1->viewport()->installEventFilter(this);

  Button2 = new QPushButton(QStringLiteral("OK"), this);
  Button2->setObjectName(QStringLiteral("Button2"));
  Button2->setGeometry(320, 312, 75, 25);
  Button1 = new QPushButton(QStringLiteral("Cancel"), this);
  Button1->setObjectName(QStringLiteral("Button1"));
  Button1->setGeometry(400, 312, 75, 25);
  // Neither button answers Enter: only a click (or Space on the focused
  // button) chooses.
  for (QPushButton* b : {Button1, Button2}) {
    b->setAutoDefault(false);
    b->setDefault(false);
  }
  connect(Button2, &QPushButton::clicked, this, [this] { Button2Click(); });
  connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });

  setTabOrder(Button1, Button2);
  setTabOrder(Button2, StringGrid1);
}

int TFormSearch::Choose(shell::MatchDialogModel& dialog) {
  const int lines = std::clamp(static_cast<int>(dialog.rows.size()) - 1, 0, kMaxMatchRows);
  StringGrid1->clearContents();
  StringGrid1->setRowCount(lines);
  for (int r = 0; r < lines; ++r) {
    const auto& row = dialog.rows[static_cast<std::size_t>(r) + 1];
    for (int c = 0; c < 3; ++c) {
      auto* item = new QTableWidgetItem(QString::fromStdString(row[static_cast<std::size_t>(c)]));
      item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
      StringGrid1->setItem(r, c, item);
    }
  }
  if (lines > 0) {
    // The row the user left last time stays preselected while it exists.
    const int current = std::clamp(dialog.currentRow, 1, lines);
    StringGrid1->setCurrentCell(current - 1, 0);
    StringGrid1->selectRow(current - 1);
    dialog.currentRow = current;
  }
  finishing_ = false;
  const int result = exec();
  if (StringGrid1->currentRow() >= 0) dialog.currentRow = StringGrid1->currentRow() + 1;
  return result;
}

void TFormSearch::reject() {}

void TFormSearch::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  FormActivate();
}

void TFormSearch::changeEvent(QEvent* event) {
  QDialog::changeEvent(event);
  if (event->type() == QEvent::ActivationChange && isActiveWindow()) FormActivate();
}

void TFormSearch::closeEvent(QCloseEvent* event) {
  // Only the buttons and a double-click close the dialog.
  if (!finishing_) event->ignore();
}

bool TFormSearch::eventFilter(QObject* watched, QEvent* event) {
  if (watched == StringGrid1->viewport() && event->type() == QEvent::MouseButtonDblClick) {
    StringGrid1DblClick();
    return true;
  }
  return QDialog::eventFilter(watched, event);
}

void TFormSearch::FormActivate() {
  if (mainWindow_) move(mainWindow_->pos());
}

void TFormSearch::Button2Click() { Finish(StringGrid1->currentRow() + 1); }

void TFormSearch::StringGrid1DblClick() { Finish(StringGrid1->currentRow() + 1); }

void TFormSearch::Button1Click() { Finish(-1); }

void TFormSearch::Finish(int result) {
  // An empty list has no row to choose: that is no choice.
  if (result <= 0) result = -1;
  finishing_ = true;
  done(result);
}

}  // namespace sl::app
