// Clipboard text pasted into the track grid. The first bytes pick the
// grid's size and a selection on it (fixed column and header row included),
// the rest is the clipboard text. Line r, field c of the text lands in cell
// (left + c, top + r) when that is a track cell inside the selection; no
// other cell changes, every cell written holds a whole field or a prefix of
// it cut at a character boundary, and the count returned is the number of
// cells written.
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "shell/gridedit.h"
#include "shell/model.h"
#include "support.h"

using namespace sl;

namespace {

using Table = shell::TrackTitleTable;

// The clipboard text as lines of fields: first every CR LF and lone CR
// becomes LF, then the text is cut at LF and each line at TAB. A line end
// at the very end adds no line; an empty line has no fields; a TAB at the
// end of a line adds no field.
std::vector<std::vector<std::string>> Fields(std::string_view text) {
  std::string flat;
  flat.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r') {
      flat += '\n';
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      flat += text[i];
    }
  }
  if (!flat.empty() && flat.back() == '\n') flat.pop_back();
  std::vector<std::vector<std::string>> lines;
  if (text.empty()) return lines;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = std::min(flat.find('\n', start), flat.size());
    std::string line = flat.substr(start, end - start);
    std::vector<std::string> fields;
    if (!line.empty() && line.back() == '\t') line.pop_back();
    if (!line.empty() || (end - start) > 0) {
      std::size_t f = 0;
      for (;;) {
        const std::size_t tab = std::min(line.find('\t', f), line.size());
        fields.push_back(line.substr(f, tab - f));
        if (tab == line.size()) break;
        f = tab + 1;
      }
    }
    lines.push_back(std::move(fields));
    if (end == flat.size()) break;
    start = end + 1;
  }
  return lines;
}

std::string Initial(int col, int row) { return "c" + std::to_string(col) + "r" + std::to_string(row); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 6) return 0;
  Table table;
  const int rows = 1 + data[0] % Table::kMaxRows;
  table.SetRowCount(rows);
  for (int row = 0; row < rows; ++row)
    for (int col = 0; col < Table::kColumns; ++col) table.SetCell(col, row, Initial(col, row));

  // A selection as the grid makes one: cells of the grid, corners in order.
  shell::GridRect sel;
  const int c1 = data[1] % Table::kColumns, c2 = data[2] % Table::kColumns;
  const int r1 = data[3] % rows, r2 = data[4] % rows;
  sel.left = std::min(c1, c2);
  sel.right = std::max(c1, c2);
  sel.top = std::min(r1, r2);
  sel.bottom = std::max(r1, r2);

  std::string text(reinterpret_cast<const char*>(data) + 6, size - 6);
  if (data[5] & 1) {
    // The first field repeated past the cell bound, so that cutting long
    // fields is tried on whatever bytes the field holds.
    const std::size_t end = std::min(text.find_first_of("\t\r\n"), text.size());
    const std::string field = text.substr(0, end);
    if (!field.empty()) {
      std::string longField;
      while (longField.size() <= shell::kMaxCellBytes + 4) longField += field;
      text = longField + text.substr(end);
    }
  }

  const int written = shell::GridPasteText(table, sel, text);

  FUZZ_CHECK(table.RowCount() == rows);
  // The writable part: the selection without the fixed column and header.
  const int left = std::max(sel.left, 1), top = std::max(sel.top, 1);
  const int right = sel.right, bottom = sel.bottom;
  const auto lines = Fields(text);
  int expectWritten = 0;
  for (int row = 0; row < rows; ++row) {
    for (int col = 0; col < Table::kColumns; ++col) {
      const std::string& cell = table.Cell(col, row);
      FUZZ_CHECK(cell.find_first_of("\r\n\t") == std::string::npos);
      FUZZ_CHECK(cell.size() <= shell::kMaxCellBytes);
      const bool inside = col >= left && col <= right && row >= top && row <= bottom;
      const std::size_t r = static_cast<std::size_t>(row - sel.top),
                        c = static_cast<std::size_t>(col - sel.left);
      if (!inside || r >= lines.size() || c >= lines[r].size()) {
        FUZZ_CHECK(cell == Initial(col, row));
        continue;
      }
      ++expectWritten;
      const std::string& field = lines[r][c];
      if (field.size() <= shell::kMaxCellBytes) {
        FUZZ_CHECK(cell == field);
        continue;
      }
      // Cut: a prefix of the field that does not end inside a character.
      FUZZ_CHECK(field.compare(0, cell.size(), cell) == 0);
      FUZZ_CHECK(cell.empty() || (static_cast<unsigned char>(field[cell.size()]) & 0xC0) != 0x80);
      if (fuzz::ValidUtf8(field)) {
        FUZZ_CHECK(fuzz::ValidUtf8(cell));
        FUZZ_CHECK(cell.size() + 4 > shell::kMaxCellBytes);
      }
    }
  }
  FUZZ_CHECK(written == expectWritten);
  return 0;
}
