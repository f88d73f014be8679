#include "app/stringgrid.h"

#include <QHeaderView>
#include <QTableView>

namespace sl::app {

void SetUpStringGrid(QTableView* grid) {
  grid->verticalHeader()->hide();
  grid->verticalHeader()->setMinimumSectionSize(1);
  grid->verticalHeader()->setDefaultSectionSize(18);
  grid->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  grid->horizontalHeader()->setMinimumSectionSize(1);
  grid->horizontalHeader()->setFixedHeight(18);
  grid->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
  grid->horizontalHeader()->setStretchLastSection(false);
  grid->horizontalHeader()->setHighlightSections(false);
  grid->setShowGrid(true);
  grid->setWordWrap(false);
}

}  // namespace sl::app
