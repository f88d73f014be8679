// Editing the track grid: its two modes (selecting cells, or editing one cell
// in place), which pop-up menu items each mode offers, and the grid-level
// copy and paste as tab-separated text. No widgets here: a face feeds in the
// user's gestures and shows what the state says.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "shell/model.h"

namespace sl::shell {

// A rectangle of grid cells (column, row), all four bounds inclusive.
struct GridRect {
  int left = 1, top = 1, right = 1, bottom = 1;
};

// The part of `sel` that lies on editable cells of `table`: columns 1 and 2,
// track rows 1 .. RowCount-1. Empty (left > right or top > bottom) when they
// do not meet.
GridRect ClipToTrackCells(const TrackTitleTable& table, GridRect sel);

// Clipboard text of the selected cells: the cells of a row separated by one
// TAB, every row (the last one too) followed by CR LF. Cells outside the
// track cells contribute nothing; an empty selection gives "".
std::string GridCopyText(const TrackTitleTable& table, GridRect sel);

// Pastes clipboard text into the selected cells and returns how many cells
// it wrote. The text is split into lines at CR LF, CR or LF (a line end at
// the very end adds no empty line) and each line into fields at TAB (an
// empty line has no fields, a TAB at the end of a line adds no empty field).
// Line r, field c goes to cell (left + c, top + r); lines and fields beyond
// the selection are dropped, and nothing outside it (or outside the grid) is
// ever written. Only as much of the text as the selection needs is read. A
// field longer than kMaxCellBytes is cut at a character boundary.
int GridPasteText(TrackTitleTable& table, GridRect sel, std::string_view text);

// Longest cell text a paste writes (what a title database entry can hold).
inline constexpr std::size_t kMaxCellBytes = 65535;

// Clipboard text as a paste takes it: like the system's plain-text format,
// it ends at the first NUL.
std::string_view ClipboardText(std::string_view text);

// What a paste into the in-place editor inserts: the editor holds one cell
// of one line, so only the clipboard text's first field of its first line
// (up to the first CR, LF or TAB) is taken, as a paste into a one-cell
// selection takes it.
std::string_view EditorPasteText(std::string_view text);

// A cell's text cut to kMaxCellBytes at a character boundary.
std::string_view CellText(std::string_view text);

// Items of the grid's pop-up menu.
enum class PopupItem {
  GridCopy,     // grid copy, selection mode
  GridPaste,    // grid paste, selection mode
  EditorCopy,   // the in-place editor's copy, editing mode
  EditorCut,    // the in-place editor's cut, editing mode
  EditorPaste,  // the in-place editor's paste, editing mode
  Count
};

// The virtual key code of Enter and the TAB character.
inline constexpr int kVkReturn = 13;
inline constexpr char kTabChar = '\t';

// The grid's modes. The editing flag is off at start (selection mode). Each
// gesture handler returns true when the face must now open the in-place
// editor on the current cell.
class GridEditModes {
 public:
  bool Editing() const { return editing_; }
  // Whether the pop-up item is shown in the current mode.
  bool Visible(PopupItem item) const;

  // Double-click on the grid: enter editing mode.
  bool TakeDoubleClickedMatch();
  // A character typed in the grid: TAB enters editing mode; any other
  // character is the grid's own business.
  bool HandleKeyPress(char key);
  // A key pressed in the grid: Enter toggles the mode; other keys are left
  // to the grid.
  bool HandleKeyDown(int virtualKey);
  // A cell is about to be selected: leaves editing mode if it is on. The
  // selection is always allowed. Leaving does not close an open editor; the
  // face closes it when the current cell moves, keeping what was typed.
  void HandleCellSelected();

  // Bumped by every change of the mode.
  std::uint64_t Generation() const { return generation_; }

 private:
  bool Enter();
  void Leave();
  bool editing_ = false;
  std::uint64_t generation_ = 0;
};

}  // namespace sl::shell
