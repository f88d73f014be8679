// The main window's state without any widgets: the disc fields and track
// grid (TrackTitleTable), the drive box, the status bar panels, the menu
// items' states, the server submenu and the match dialog's grid. The core
// writes here; whichever face is showing the window mirrors it.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace sl::shell {

// The disc's titles as shown and edited. Column 0 of the grid holds the track
// number, column 1 the title, column 2 the track artist; row 0 is the header.
class TrackTitleTable {
 public:
  static constexpr int kColumns = 3;
  static constexpr int kMaxRows = 100;  // header + tracks 1..99

  TrackTitleTable();

  const std::string& Category() const { return category_; }
  const std::string& Genre() const { return genre_; }
  const std::string& Artist() const { return artist_; }
  const std::string& Title() const { return title_; }
  const std::string& Year() const { return year_; }
  void SetCategory(std::string v);
  void SetGenre(std::string v);
  void SetArtist(std::string v);
  void SetTitle(std::string v);
  void SetYear(std::string v);

  int RowCount() const { return static_cast<int>(rows_.size()); }
  // Clamped to 1..kMaxRows. New rows start empty; rows that go keep nothing.
  void SetRowCount(int rows);
  // An empty string for any cell outside the grid.
  const std::string& Cell(int col, int row) const;
  // Writes inside the grid only; returns false (and changes nothing) for a
  // cell outside it.
  bool SetCell(int col, int row, std::string text);

  // Bumped by every change, so a face can tell cheaply whether to redraw.
  std::uint64_t Generation() const { return generation_; }

 private:
  void Touch() { ++generation_; }
  std::string category_, genre_, artist_, title_, year_;
  std::vector<std::array<std::string, kColumns>> rows_;
  std::uint64_t generation_ = 0;
};

// Menu items whose state changes while the program runs, plus the ones the
// faces need to address by name.
enum class MenuId {
  FileMenu,
  FetchServerList,
  SaveListMenu,
  SaveToLocalDatabase,
  ExportToPlayer,
  LoadListMenu,
  LoadFromLocalDatabase,
  ImportFromPlayer,
  Exit,
  DatabaseMenu,
  LookUpDisc,
  SubmitEntry,
  ServerMenu,
  Options,
  HelpMenu,
  HelpContents,
  About,
  Count
};

// Whether the item's command is refused while another command runs (it then
// does nothing, so a face shows it disabled meanwhile).
bool RefusedWhileCommandRuns(MenuId id);

struct MenuItemState {
  bool enabled = true;
  bool visible = true;
};

// One radio item of the server submenu; its tag is the server's entry number.
struct ServerMenuItem {
  std::string caption;
  int tag = 0;
  bool checked = false;
};

// The match dialog's grid: row 0 is the blank fixed row, row k the k-th match
// (category, artist, title). The current row survives between uses.
struct MatchDialogModel {
  std::vector<std::array<std::string, 3>> rows{{}};
  int currentRow = 1;
};

class ShellModel {
 public:
  ShellModel();

  TrackTitleTable& Table() { return table_; }
  const TrackTitleTable& Table() const { return table_; }

  // Status bar: panel 0 carries state messages, panel 1 the long hint.
  const std::string& Status(int panel) const;
  void SetStatus(int panel, std::string text);
  // Called with every status text written (the command line prints them).
  std::function<void(int panel, const std::string& text)> onStatus;

  // Drive box (driveBox): its items, the selected index (-1 none) and its
  // text, which the user may type into since the box is editable.
  const std::vector<std::string>& DriveItems() const { return driveItems_; }
  int AddDriveItem(std::string name);  // returns the new item's index
  void ClearDriveItems();
  int DriveIndex() const { return driveIndex_; }
  void SetDriveIndex(int index);  // -1 or a valid index
  const std::string& DriveText() const { return driveText_; }
  void SetDriveText(std::string text);  // typed text: selection becomes -1

  MenuItemState& Menu(MenuId id) { return menu_[static_cast<int>(id)]; }
  const MenuItemState& Menu(MenuId id) const { return menu_[static_cast<int>(id)]; }
  void SetEnabled(MenuId id, bool enabled);

  const std::vector<ServerMenuItem>& ServerItems() const { return servers_; }
  void ClearServerItems();
  void AddServerItem(ServerMenuItem item);
  // A click on a radio item: toggles its own mark first (checking one clears
  // the others), as the menu does before the click handler runs.
  void ToggleServerItem(int index);

  MatchDialogModel& MatchDialog() { return match_; }

  // True while a command runs that waits for a drive, a server or the player.
  // Such a wait pumps messages, so the user can still click; until it ends
  // nothing may change the disc, the grid or the request the command works
  // on. Commands take a CommandScope; faces keep edits read-only meanwhile.
  bool CommandRunning() const { return commandRunning_; }

  std::uint64_t Generation() const { return generation_ + table_.Generation(); }

 private:
  friend class CommandScope;
  void Touch() { ++generation_; }
  TrackTitleTable table_;
  std::array<std::string, 2> status_;
  std::vector<std::string> driveItems_;
  int driveIndex_ = -1;
  std::string driveText_;
  std::array<MenuItemState, static_cast<int>(MenuId::Count)> menu_;
  std::vector<ServerMenuItem> servers_;
  MatchDialogModel match_;
  bool commandRunning_ = false;
  std::uint64_t generation_ = 0;
};

// Marks a command as running for as long as it lives. Only one command runs
// at a time: a scope made while another is alive does not take the model
// (Acquired() is false) and the command must not start.
class CommandScope {
 public:
  explicit CommandScope(ShellModel& model);
  ~CommandScope();
  CommandScope(const CommandScope&) = delete;
  CommandScope& operator=(const CommandScope&) = delete;
  bool Acquired() const { return acquired_; }

 private:
  ShellModel& model_;
  bool acquired_;
};

}  // namespace sl::shell
