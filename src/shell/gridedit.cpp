#include "shell/gridedit.h"

#include <algorithm>

#include "text/utf8.h"

namespace sl::shell {

namespace {

// Reads `text` one line at a time by the string-list rules: a line ends at
// CR LF, CR or LF, and a line end at the very end adds no empty line.
class LineReader {
 public:
  explicit LineReader(std::string_view text) : rest_(text) {}
  bool Next(std::string_view& line) {
    if (rest_.empty()) return false;
    const std::size_t end = rest_.find_first_of("\r\n");
    if (end == std::string_view::npos) {
      line = rest_;
      rest_ = {};
      return true;
    }
    line = rest_.substr(0, end);
    std::size_t skip = 1;
    if (rest_[end] == '\r' && end + 1 < rest_.size() && rest_[end + 1] == '\n') skip = 2;
    rest_.remove_prefix(end + skip);
    return true;
  }

 private:
  std::string_view rest_;
};

}  // namespace

std::string_view ClipboardText(std::string_view text) { return text.substr(0, text.find('\0')); }

std::string_view EditorPasteText(std::string_view text) {
  text = ClipboardText(text);
  return CellText(text.substr(0, text.find_first_of("\r\n\t")));
}

std::string_view CellText(std::string_view text) {
  return text.substr(0, sl::text::CutPointAtOrBefore(text, kMaxCellBytes));
}

GridRect ClipToTrackCells(const TrackTitleTable& table, GridRect sel) {
  GridRect r;
  r.left = std::max(sel.left, 1);
  r.right = std::min(sel.right, TrackTitleTable::kColumns - 1);
  r.top = std::max(sel.top, 1);
  r.bottom = std::min(sel.bottom, table.RowCount() - 1);
  return r;
}

std::string GridCopyText(const TrackTitleTable& table, GridRect sel) {
  const GridRect r = ClipToTrackCells(table, sel);
  std::string text;
  if (r.left > r.right || r.top > r.bottom) return text;
  for (int row = r.top; row <= r.bottom; ++row) {
    text += table.Cell(r.left, row);
    for (int col = r.left + 1; col <= r.right; ++col) {
      text += '\t';
      text += table.Cell(col, row);
    }
    text += "\r\n";
  }
  return text;
}

int GridPasteText(TrackTitleTable& table, GridRect sel, std::string_view text) {
  const GridRect r = ClipToTrackCells(table, sel);
  // The rectangle as the user selected it decides where fields go; only
  // the part on track cells is written.
  if (r.left > r.right || r.top > r.bottom) return 0;
  // Lines and fields past the last writable cell are never looked at.
  const long long height = static_cast<long long>(r.bottom) - sel.top + 1;
  const long long width = static_cast<long long>(r.right) - sel.left + 1;
  int written = 0;
  LineReader lines(text);
  std::string_view line;
  for (long long row = 0; row < height && lines.Next(line); ++row) {
    std::string_view rest = line;
    for (long long col = 0; col < width && !rest.empty(); ++col) {
      std::string_view field;
      const std::size_t tab = rest.find('\t');
      if (tab == std::string_view::npos) {
        field = rest;
        rest = {};
      } else {
        field = rest.substr(0, tab);
        rest.remove_prefix(tab + 1);
      }
      const long long cellCol = sel.left + col;
      const long long cellRow = sel.top + row;
      if (cellCol < r.left || cellCol > r.right || cellRow < r.top || cellRow > r.bottom) continue;
      field = CellText(field);
      if (table.SetCell(static_cast<int>(cellCol), static_cast<int>(cellRow), std::string(field))) ++written;
    }
  }
  return written;
}

bool GridEditModes::Visible(PopupItem item) const {
  switch (item) {
    case PopupItem::GridCopy:
    case PopupItem::GridPaste: return !editing_;
    case PopupItem::EditorCopy:
    case PopupItem::EditorCut:
    case PopupItem::EditorPaste: return editing_;
    case PopupItem::Count: break;
  }
  return false;
}

bool GridEditModes::Enter() {
  editing_ = true;
  ++generation_;
  return true;
}

void GridEditModes::Leave() {
  editing_ = false;
  ++generation_;
}

bool GridEditModes::TakeDoubleClickedMatch() { return Enter(); }

bool GridEditModes::HandleKeyPress(char key) { return key == kTabChar && Enter(); }

bool GridEditModes::HandleKeyDown(int virtualKey) {
  if (virtualKey != kVkReturn) return false;
  if (editing_) {
    Leave();
    return false;
  }
  return Enter();
}

void GridEditModes::HandleCellSelected() {
  if (editing_) Leave();
}

}  // namespace sl::shell
