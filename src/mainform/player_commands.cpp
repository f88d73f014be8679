// The player commands: the import of titles from the player's play list and
// the export that fills in its missing ones, each binding the player for its run.
#include "mainform/mainform.h"

#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

#include "ipc/ipc.h"
#include "mainform/logic_impl.h"
#include "mainform/outcome_texts.h"
#include "player/player.h"

namespace sl::mainform {

namespace {

// Unbinds the player on every way out of a command, a raised error included,
// so the player never keeps notifying a window that no longer listens.
class UnbindOnExit {
 public:
  explicit UnbindOnExit(player::PlayerLink& d) : d_(d) {}
  ~UnbindOnExit() {
    try {
      d_.Unbind();
    } catch (...) {
    }
  }
  UnbindOnExit(const UnbindOnExit&) = delete;
  UnbindOnExit& operator=(const UnbindOnExit&) = delete;

 private:
  player::PlayerLink& d_;
};

// Binds the player for one command; when it is not there the window says so
// (instead of doing nothing) and the command ends.
bool BindOrSayAbsent(MainWindowLogic::Impl& d) {
  d.playerLink.Bind();
  if (d.playerLink.Bound()) return true;
  d.Finish(WindowEvent::PlayerAbsent, CommandOutcome::PlayerAbsent);
  return false;
}

}  // namespace

void MainWindowLogic::ImportFromPlayer() {
  auto& d = *impl_;
  // The import waits for the player and fills the grid: nothing else may
  // change the disc or the grid meanwhile, and it does not start while
  // another command waits.
  shell::CommandScope scope(d.model);
  if (!scope.Acquired()) return;
  auto& dsmp = d.playerLink;
  UnbindOnExit unbind(dsmp);
  if (!BindOrSayAbsent(d)) return;
  // Everything is read first and applied only when the player stayed
  // bound throughout: a player that went away half-way would otherwise
  // leave the rows after it emptied.
  const std::string title = dsmp.GetPlayList()->PlayListTitle();
  const int rows = d.model.Table().RowCount() - 1;
  std::vector<std::string> titles;
  titles.reserve(static_cast<std::size_t>(std::max(rows, 0)));
  for (int i = 0; i < rows && dsmp.Bound(); ++i) titles.push_back(dsmp.GetTrackInfo(i + 1).Title);
  if (!dsmp.Bound()) {
    d.Finish(WindowEvent::PlayerAbsent, CommandOutcome::PlayerAbsent);
    return;
  }
  d.model.Table().SetTitle(title);
  for (int i = 0; i < rows; ++i) d.model.Table().SetCell(1, i + 1, titles[static_cast<std::size_t>(i)]);
  dsmp.Unbind();
  d.Finish(WindowEvent::ImportDone, CommandOutcome::Done);
}

void MainWindowLogic::ExportToPlayer() {
  auto& d = *impl_;
  shell::CommandScope scope(d.model);
  if (!scope.Acquired()) return;
  bool registerArtist = false;
  // Set once and never cleared: every track after the first change is
  // written back, and the play list saved after each.
  bool changed = false;
  auto& dsmp = d.playerLink;
  UnbindOnExit unbind(dsmp);
  if (!BindOrSayAbsent(d)) return;
  // The player's notifications are still handled while the question is
  // open; a Close or Abort then unbinds and the rest runs unbound.
  registerArtist =
      d.services.QuestionBox("", kRegisterArtistQuestion, shell::MsgButtons::YesNo) == shell::MsgAnswer::Yes;
  player::PlayList* list = dsmp.GetPlayList();
  // What could not be transferred, said in the status instead of a success.
  ExportGaps gaps;
  if (list->PlayListTitle().empty()) {
    const std::string& title = d.model.Table().Title();
    // When the player closed while the question was open, the rest runs
    // unbound, where writes do nothing, as before.
    const bool refused =
        dsmp.Bound() && (!player::FitsOnLink(title) || ipc::Failed(dsmp.WritePlayListTitle(title)));
    if (!refused) changed = true;
    else if (!dsmp.LinkLost()) gaps.listTitle = true;
  }
  const int n = list->Tracks();
  for (int i = 0; i < n && !dsmp.LinkLost(); ++i) {
    player::PlayListTrack info;
    // A track the link could not read (a string over its bound, a refusal)
    // is never written back: its empty record would wipe the player's.
    if (ipc::Failed(dsmp.ReadTrackInfo(i + 1, info))) {
      if (!dsmp.LinkLost()) gaps.unreadable.push_back(i + 1);
      continue;
    }
    const auto& table = d.model.Table();
    bool fill = false;
    if (info.Title.empty()) {
      info.Title = table.Cell(1, i + 1);
      fill = true;
    }
    if (registerArtist && info.Artist.empty()) {
      const std::string& cell = table.Cell(2, i + 1);
      info.Artist = cell.empty() ? d.lookup.MatchArtist : cell;
      fill = true;
    }
    // Text longer than the link carries would not arrive: refuse the track.
    if (!player::FitsOnLink(info.Title) || !player::FitsOnLink(info.Artist)) {
      gaps.tooLong.push_back(i + 1);
      continue;
    }
    if (fill) changed = true;
    if (changed) {
      if (ipc::Failed(dsmp.WriteTrackInfo(i + 1, info)) && !dsmp.LinkLost()) gaps.unwritten.push_back(i + 1);
      list->Save(list->PlayListName());
    }
  }
  dsmp.Unbind();
  if (dsmp.LinkLost()) {
    // The player hung or went away mid-way: the transfer is not complete.
    d.Finish(WindowEvent::PlayerAbsent, CommandOutcome::PlayerAbsent);
    return;
  }
  if (!gaps.Empty()) {
    // Not complete: the export stays available for another try.
    d.Finish(WindowEvent::ExportIncomplete, CommandOutcome::TransferIncomplete, ExportGapsText(gaps));
    return;
  }
  d.model.SetEnabled(shell::MenuId::ExportToPlayer, false);
  d.Finish(WindowEvent::ExportDone, CommandOutcome::Done);
}

player::PlayerLink& MainWindowLogic::playerLink() { return impl_->playerLink; }
const std::string& MainWindowLogic::MatchArtist() const { return impl_->lookup.MatchArtist; }

}  // namespace sl::mainform
