// The track grid's copy and paste texts and its two modes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "shell/gridedit.h"

namespace sl::shell {
namespace {

// A grid of `tracks` track rows whose cells read "t<row>" and "a<row>".
TrackTitleTable Grid(int tracks) {
  TrackTitleTable t;
  t.SetRowCount(tracks + 1);
  for (int row = 1; row <= tracks; ++row) {
    t.SetCell(0, row, std::to_string(row));
    t.SetCell(1, row, "t" + std::to_string(row));
    t.SetCell(2, row, "a" + std::to_string(row));
  }
  return t;
}

// Column 1 and 2 of every track row, "title|artist" per row.
std::vector<std::string> Cells(const TrackTitleTable& t) {
  std::vector<std::string> out;
  for (int row = 1; row < t.RowCount(); ++row) out.push_back(t.Cell(1, row) + "|" + t.Cell(2, row));
  return out;
}

TEST(GridCopy, TabsBetweenCellsAndCrLfAfterEveryRow) {
  TrackTitleTable t = Grid(3);
  t.SetCell(2, 2, "");
  struct Row {
    GridRect sel;
    std::string text;
  } rows[] = {
      {{1, 1, 2, 2}, "t1\ta1\r\nt2\t\r\n"},  // an empty cell adds nothing between TABs
      {{1, 3, 1, 3}, "t3\r\n"},              // one cell
      {{2, 1, 2, 3}, "a1\r\n\r\na3\r\n"},    // one column
      {{0, 0, 2, 1}, "t1\ta1\r\n"},          // fixed column and header row never copied
      {{1, 3, 2, 9}, "t3\ta3\r\n"},          // rows past the grid
      {{2, 2, 1, 1}, ""},                    // empty rectangle
  };
  for (const auto& r : rows) {
    EXPECT_EQ(GridCopyText(t, r.sel), r.text) << r.sel.left << "," << r.sel.top;
  }
}

TEST(GridCopy, TwoByTwoFromTheGridPastesBackUnchanged) {
  TrackTitleTable from = Grid(2);
  from.SetCell(1, 1, "a");
  from.SetCell(2, 1, "b");
  from.SetCell(1, 2, "c");
  from.SetCell(2, 2, "d");
  const std::string text = GridCopyText(from, {1, 1, 2, 2});
  EXPECT_EQ(text, "a\tb\r\nc\td\r\n");
  TrackTitleTable to = Grid(2);
  EXPECT_EQ(GridPasteText(to, {1, 1, 2, 2}, text), 4);
  EXPECT_EQ(Cells(to), (std::vector<std::string>{"a|b", "c|d"}));
}

TEST(GridPaste, LinesFieldsAndClipping) {
  struct Row {
    const char* name;
    GridRect sel;
    std::string text;
    std::vector<std::string> cells;  // the 4 track rows afterwards
    int written;
  } rows[] = {
      {"three lines into one row",
       {1, 2, 2, 2},
       "x\ty\r\nz\tw\r\nq\r\n",
       {"t1|a1", "x|y", "t3|a3", "t4|a4"},
       2},
      {"one cell into three rows", {1, 1, 2, 3}, "x", {"x|a1", "t2|a2", "t3|a3", "t4|a4"}, 1},
      {"two TABs: an empty field, the rest dropped",
       {1, 1, 2, 1},
       "a\t\tb",
       {"a|", "t2|a2", "t3|a3", "t4|a4"},
       2},
      {"a TAB at the end adds no field", {1, 1, 2, 1}, "a\t", {"a|a1", "t2|a2", "t3|a3", "t4|a4"}, 1},
      {"empty text", {1, 1, 2, 4}, "", {"t1|a1", "t2|a2", "t3|a3", "t4|a4"}, 0},
      {"an empty line writes nothing in its row",
       {1, 1, 1, 3},
       "x\r\n\r\nz\r\n",
       {"x|a1", "t2|a2", "z|a3", "t4|a4"},
       2},
      {"LF and lone CR end lines too", {2, 1, 2, 4}, "p\nq\rr\r\ns", {"t1|p", "t2|q", "t3|r", "t4|s"}, 4},
      {"a final line end adds no line", {1, 3, 1, 4}, "x\n", {"t1|a1", "t2|a2", "x|a3", "t4|a4"}, 1},
      {"a lone TAB is one empty field", {1, 1, 2, 1}, "\t", {"|a1", "t2|a2", "t3|a3", "t4|a4"}, 1},
      {"wider than the selection",
       {2, 2, 2, 3},
       "x\ty\tz\r\nu\tv\r\n",
       {"t1|a1", "t2|x", "t3|u", "t4|a4"},
       2},
      {"longer than the grid never grows it",
       {1, 3, 2, 4},
       "1\t1\r\n2\t2\r\n3\t3\r\n4\t4\r\n5\t5\r\n",
       {"t1|a1", "t2|a2", "1|1", "2|2"},
       4},
      {"selection reaching past the grid",
       {1, 4, 2, 50},
       "x\ty\r\nu\tv\r\n",
       {"t1|a1", "t2|a2", "t3|a3", "x|y"},
       2},
      {"selection over the fixed column", {0, 1, 1, 1}, "n\tx\ty", {"x|a1", "t2|a2", "t3|a3", "t4|a4"}, 1},
  };
  for (const auto& r : rows) {
    TrackTitleTable t = Grid(4);
    EXPECT_EQ(GridPasteText(t, r.sel, r.text), r.written) << r.name;
    EXPECT_EQ(Cells(t), r.cells) << r.name;
    EXPECT_EQ(t.RowCount(), 5) << r.name;
    for (int row = 1; row <= 4; ++row) EXPECT_EQ(t.Cell(0, row), std::to_string(row)) << r.name;
  }
}

TEST(GridPaste, SpreadsheetColumnOfJapaneseTitles) {
  TrackTitleTable t = Grid(3);
  const std::string text = "春の歌\tｱｰﾃｨｽﾄ\n夏の歌\t\n秋の歌\tArtist\n";
  // A spreadsheet ends a row whose last cell is empty with a TAB: that cell
  // is left as it was.
  EXPECT_EQ(GridPasteText(t, {1, 1, 2, 3}, text), 5);
  EXPECT_EQ(Cells(t), (std::vector<std::string>{"春の歌|ｱｰﾃｨｽﾄ", "夏の歌|a2", "秋の歌|Artist"}));
}

TEST(GridPaste, OverlongFieldIsCutAtACharacterBoundary) {
  TrackTitleTable t = Grid(1);
  std::string longField = "x";
  while (longField.size() < kMaxCellBytes + 10) longField += "あ";  // 3 bytes each
  GridPasteText(t, {1, 1, 1, 1}, longField);
  const std::string& cell = t.Cell(1, 1);
  EXPECT_LE(cell.size(), kMaxCellBytes);
  EXPECT_GT(cell.size(), kMaxCellBytes - 3);
  EXPECT_EQ(cell.substr(cell.size() - 3), "あ");
}

TEST(GridModes, TriggersAndPopupItems) {
  GridEditModes m;
  auto popup = [&m] {
    std::string s;
    for (PopupItem i : {PopupItem::GridCopy, PopupItem::GridPaste, PopupItem::EditorCopy,
                        PopupItem::EditorCut, PopupItem::EditorPaste})
      s += m.Visible(i) ? '1' : '0';
    return s;
  };
  EXPECT_FALSE(m.Editing());
  EXPECT_EQ(popup(), "11000");

  // Each step: gesture, whether the editor opens, the flag afterwards.
  struct Step {
    const char* gesture;
    bool opens;
    bool editing;
  } steps[] = {
      {"select", false, false},  // leaving while already off changes nothing
      {"dblclick", true, true}, {"select", false, false}, {"tab", true, true},     {"enter", false, false},
      {"enter", true, true},    {"key a", false, true},   {"char a", false, true}, {"enter", false, false},
      {"char a", false, false}, {"key a", false, false},
  };
  for (const auto& s : steps) {
    const std::string g = s.gesture;
    bool opened = false;
    if (g == "select") m.HandleCellSelected();
    if (g == "dblclick") opened = m.TakeDoubleClickedMatch();
    if (g == "tab") opened = m.HandleKeyPress('\t');
    if (g == "char a") opened = m.HandleKeyPress('a');
    if (g == "enter") opened = m.HandleKeyDown(kVkReturn);
    if (g == "key a") opened = m.HandleKeyDown('A');
    EXPECT_EQ(opened, s.opens) << g;
    EXPECT_EQ(m.Editing(), s.editing) << g;
    EXPECT_EQ(popup(), s.editing ? "00111" : "11000") << g;
  }
}

}  // namespace
}  // namespace sl::shell

namespace sl::shell {
namespace {

// What a paste into the one-line editor keeps: the first field of the first
// line, ending at the first NUL, cut to what a cell holds.
TEST(EditorPaste, FirstFieldOfTheFirstLineUpToNul) {
  struct Row {
    std::string clip, want;
  } rows[] = {
      {"plain", "plain"},
      {"one\r\ntwo\r\n", "one"},
      {"cr\rlf", "cr"},
      {"lf\nnext", "lf"},
      {"a\tb\nc", "a"},
      {"\nsecond", ""},
      {std::string("ab\0cd", 5), "ab"},
      {std::string("\0tail", 5), ""},
      {"春の歌\t", "春の歌"},
  };
  for (const auto& r : rows) EXPECT_EQ(EditorPasteText(r.clip), r.want) << r.clip;
  // A cell holds 65,535 bytes: longer text is cut there, never inside a
  // character.
  EXPECT_EQ(EditorPasteText(std::string(70000, 'x')).size(), kMaxCellBytes);
  const std::string kana = std::string(kMaxCellBytes - 1, 'x') + "あ";
  EXPECT_EQ(CellText(kana).size(), kMaxCellBytes - 1);
  EXPECT_EQ(ClipboardText(std::string("a\tb\0c\td", 7)), "a\tb");
}

}  // namespace
}  // namespace sl::shell
