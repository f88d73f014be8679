// Pasting 99 x 2 cells of spreadsheet text into the grid on screen
// (offscreen platform): clipboard read, paste into the table, the view told
// and repainted.
#include <benchmark/benchmark.h>

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <string>

#include "app/trackgridmodel.h"
#include "app/trackgridview.h"

namespace {

void BM_GridPaste99x2Qt(benchmark::State& state) {
  sl::shell::ShellModel model;
  model.Table().SetRowCount(100);
  sl::app::TrackGridModel gridModel(model.Table());
  sl::app::TrackGridView view;
  view.Attach(model, &gridModel);
  view.resize(600, 800);
  view.show();
  QString text;
  for (int row = 1; row <= 99; ++row) text += QStringLiteral("貼り付けた曲名%1\tアーティスト%1\n").arg(row);
  QGuiApplication::clipboard()->setText(text);
  view.setCurrentIndex(gridModel.index(0, 1));
  view.selectionModel()->select(QItemSelection(gridModel.index(0, 1), gridModel.index(98, 2)),
                                QItemSelectionModel::ClearAndSelect);
  QApplication::processEvents();
  for (auto _ : state) {
    view.gridPasteAction->trigger();
    view.repaint();
    if (model.Table().Cell(2, 99) != "アーティスト99") state.SkipWithError("not pasted");
    state.PauseTiming();
    for (int row = 1; row <= 99; ++row) model.Table().SetCell(1, row, "");
    gridModel.Sync();
    QApplication::processEvents();
    state.ResumeTiming();
  }
}
BENCHMARK(BM_GridPaste99x2Qt)->Unit(benchmark::kMillisecond)->Repetitions(7)->ReportAggregatesOnly(true);

}  // namespace
