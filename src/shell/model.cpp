#include "shell/model.h"

#include <algorithm>
#include <utility>

namespace sl::shell {

namespace {
const std::string kEmpty;
}

TrackTitleTable::TrackTitleTable() : rows_(2) {}

void TrackTitleTable::SetCategory(std::string v) {
  category_ = std::move(v);
  Touch();
}
void TrackTitleTable::SetGenre(std::string v) {
  genre_ = std::move(v);
  Touch();
}
void TrackTitleTable::SetArtist(std::string v) {
  artist_ = std::move(v);
  Touch();
}
void TrackTitleTable::SetTitle(std::string v) {
  title_ = std::move(v);
  Touch();
}
void TrackTitleTable::SetYear(std::string v) {
  year_ = std::move(v);
  Touch();
}

void TrackTitleTable::SetRowCount(int rows) {
  rows = std::clamp(rows, 1, kMaxRows);
  if (rows == RowCount()) return;
  rows_.resize(static_cast<std::size_t>(rows));
  Touch();
}

const std::string& TrackTitleTable::Cell(int col, int row) const {
  if (col < 0 || col >= kColumns || row < 0 || row >= RowCount()) return kEmpty;
  return rows_[static_cast<std::size_t>(row)][static_cast<std::size_t>(col)];
}

bool TrackTitleTable::SetCell(int col, int row, std::string text) {
  if (col < 0 || col >= kColumns || row < 0 || row >= RowCount()) return false;
  auto& cell = rows_[static_cast<std::size_t>(row)][static_cast<std::size_t>(col)];
  if (cell != text) {
    cell = std::move(text);
    Touch();
  }
  return true;
}

bool RefusedWhileCommandRuns(MenuId id) {
  switch (id) {
    case MenuId::FetchServerList:
    case MenuId::SaveToLocalDatabase:
    case MenuId::ExportToPlayer:
    case MenuId::LoadFromLocalDatabase:
    case MenuId::ImportFromPlayer:
    case MenuId::LookUpDisc:
    case MenuId::SubmitEntry:
    case MenuId::ServerMenu:
    case MenuId::Options: return true;
    default: return false;
  }
}

ShellModel::ShellModel() {
  // Initial states of the commands that need a disc or titles first.
  Menu(MenuId::ExportToPlayer).enabled = false;
  Menu(MenuId::LookUpDisc).enabled = false;
  Menu(MenuId::SubmitEntry).enabled = false;
}

const std::string& ShellModel::Status(int panel) const {
  if (panel < 0 || panel > 1) return kEmpty;
  return status_[static_cast<std::size_t>(panel)];
}

void ShellModel::SetStatus(int panel, std::string text) {
  if (panel < 0 || panel > 1) return;
  status_[static_cast<std::size_t>(panel)] = std::move(text);
  Touch();
  if (onStatus) onStatus(panel, status_[static_cast<std::size_t>(panel)]);
}

int ShellModel::AddDriveItem(std::string name) {
  driveItems_.push_back(std::move(name));
  Touch();
  return static_cast<int>(driveItems_.size()) - 1;
}

void ShellModel::ClearDriveItems() {
  driveItems_.clear();
  driveIndex_ = -1;
  driveText_.clear();
  Touch();
}

void ShellModel::SetDriveIndex(int index) {
  if (index < -1 || index >= static_cast<int>(driveItems_.size())) index = -1;
  driveIndex_ = index;
  driveText_ = index >= 0 ? driveItems_[static_cast<std::size_t>(index)] : std::string();
  Touch();
}

void ShellModel::SetDriveText(std::string text) {
  driveText_ = std::move(text);
  driveIndex_ = -1;
  Touch();
}

void ShellModel::SetEnabled(MenuId id, bool enabled) {
  Menu(id).enabled = enabled;
  Touch();
}

void ShellModel::ClearServerItems() {
  servers_.clear();
  Touch();
}

void ShellModel::AddServerItem(ServerMenuItem item) {
  servers_.push_back(std::move(item));
  Touch();
}

void ShellModel::ToggleServerItem(int index) {
  if (index < 0 || index >= static_cast<int>(servers_.size())) return;
  auto& item = servers_[static_cast<std::size_t>(index)];
  item.checked = !item.checked;
  if (item.checked) {
    for (std::size_t i = 0; i < servers_.size(); ++i)
      if (static_cast<int>(i) != index) servers_[i].checked = false;
  }
  Touch();
}

CommandScope::CommandScope(ShellModel& model) : model_(model), acquired_(!model.commandRunning_) {
  if (acquired_) {
    model_.commandRunning_ = true;
    model_.Touch();
  }
}

CommandScope::~CommandScope() {
  if (acquired_) {
    model_.commandRunning_ = false;
    model_.Touch();
  }
}

}  // namespace sl::shell
