// The look shared by the program's string grids: 18-pixel rows and header,
// no row header, user-sizable columns, grid lines, no word wrap.
#pragma once

class QTableView;

namespace sl::app {

void SetUpStringGrid(QTableView* grid);

}  // namespace sl::app
