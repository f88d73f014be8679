// Where the titles come from: the lookup command in its order (CDDB, MusicBrainz),
// the disc's CD-Text, the MusicBrainz disc ID and the server-list commands.
#include "mainform/mainform.h"

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "cddb/cddb.h"
#include "disc/cdtext.h"
#include "disc/disc.h"
#include "mainform/logic_impl.h"
#include "mainform/outcome_texts.h"
#include "musicbrainz/musicbrainz.h"
#include "settings/settings.h"

namespace sl::mainform {

namespace {

// What a lookup or server-list command came to, from its last report.
CommandOutcome LookupCommandOutcome(const std::optional<cddb::LookupReport>& last,
                                    cddb::CddbLookup::ReplyOutcome reply, bool entryExpected,
                                    bool saveFailed) {
  using Reply = cddb::CddbLookup::ReplyOutcome;
  if (!last) return CommandOutcome::Refused;
  if (last->event == cddb::LookupEvent::EntryArrived)
    return saveFailed ? CommandOutcome::TitlesNotSaved : CommandOutcome::Done;
  switch (reply) {
    // A lookup is done only when the entry was read: a match alone is not.
    case Reply::Done: return entryExpected ? CommandOutcome::MatchWithoutEntry : CommandOutcome::Done;
    case Reply::None: return CommandOutcome::Malformed;
    case Reply::NotFound: return CommandOutcome::NotFound;
    case Reply::ChoiceCancelled: return CommandOutcome::ChoiceCancelled;
    case Reply::Refused: return CommandOutcome::ServerRefused;
    case Reply::Malformed: return CommandOutcome::Malformed;
    case Reply::MergeRefused: return CommandOutcome::ListNotSaved;
    case Reply::Unreachable: return CommandOutcome::Unreachable;
  }
  return CommandOutcome::Malformed;
}

}  // namespace

LookupOrder LookupOrderFor(settings::MusicBrainzUse use) {
  switch (use) {
    case settings::MusicBrainzUse::Never: return LookupOrder::CddbOnly;
    case settings::MusicBrainzUse::WhenCddbHasNone: return LookupOrder::CddbThenMusicBrainz;
    case settings::MusicBrainzUse::First: return LookupOrder::MusicBrainzThenCddb;
  }
  return LookupOrder::CddbOnly;
}

void MainWindowLogic::LookUpDisc() { LookUpTitles(LookupOrderFor(impl_->TitleSources().musicBrainzUse)); }

void MainWindowLogic::LookUpTitles(LookupOrder order) {
  auto& d = *impl_;
  // The second source is asked only when the first had nothing for the
  // disc: not after a failure, which the user should see and act on.
  const auto hadNone = [&d] {
    return d.lastOutcome == CommandOutcome::NotFound || d.lastOutcome == CommandOutcome::ChoiceCancelled;
  };
  switch (order) {
    case LookupOrder::CddbOnly: d.LookUpCddb(); return;
    case LookupOrder::MusicBrainzOnly: d.LookUpMusicBrainz(); return;
    case LookupOrder::CddbThenMusicBrainz: {
      d.musicBrainzFollows = true;
      struct Reset {
        bool& flag;
        ~Reset() { flag = false; }
      } reset{d.musicBrainzFollows};
      d.LookUpCddb();
      d.musicBrainzFollows = false;
      if (hadNone()) d.LookUpMusicBrainz();
      return;
    }
    case LookupOrder::MusicBrainzThenCddb:
      d.LookUpMusicBrainz();
      if (hadNone()) d.LookUpCddb();
      return;
  }
}

void MainWindowLogic::LookUpMusicBrainz() { impl_->LookUpMusicBrainz(); }

void MainWindowLogic::Impl::LookUpCddb() {
  const auto last = lookup.LookUpDisc(queryCommand);
  lastOutcome = LookupCommandOutcome(last, lookup.LastOutcome(), true, saveFailed);
  if (lastOutcome == CommandOutcome::Done || lastOutcome == CommandOutcome::TitlesNotSaved)
    SetTitleSource(TitleSource::Cddb);
}

void MainWindowLogic::Impl::LookUpMusicBrainz() {
  if (model.CommandRunning()) {
    lastOutcome = CommandOutcome::Refused;
    return;
  }
  std::string why;
  const auto identity = tocRead ? musicbrainz::IdentifyDisc(toc, why) : std::nullopt;
  if (!identity) {
    // A disc of data tracks only has nothing MusicBrainz can name. A disc
    // with audio tracks and no ID means libdiscid failed (not installed, or
    // it refused the TOC): that is a failure, shown as libcurl's absence is.
    if (tocRead && musicbrainz::AudioSessionOf(toc)) {
      lastOutcome = CommandOutcome::Unreachable;
      Show(TextOf(musicbrainz::LookupOutcome::NoLibrary), why, {}, model, services);
      return;
    }
    Finish(WindowEvent::MusicBrainzNoMatch, CommandOutcome::NotFound, why);
    return;
  }
  musicbrainz::LookupSettings wanted = musicBrainz.Settings();
  const auto sources = TitleSources();
  wanted.server = sources.musicBrainzServer;
  wanted.contact = settingsFile ? settingsFile->SentContact() : std::string();
  musicBrainz.SetSettings(wanted);

  Show(WindowEvent::MusicBrainzSearching, model, services);
  musicbrainz::LookupResult result;
  {
    services.SetBusyCursor(true);
    struct Restore {
      shell::ShellServices& s;
      ~Restore() { s.SetBusyCursor(false); }
    } restore{services};
    result = musicBrainz.LookUpDisc(*identity);
  }
  using O = musicbrainz::LookupOutcome;
  switch (result.outcome) {
    case O::Found: break;
    case O::CommandRunning: lastOutcome = CommandOutcome::Refused; return;
    case O::NotFound: Finish(WindowEvent::MusicBrainzNoMatch, CommandOutcome::NotFound); return;
    case O::BadReply:
      lastOutcome = CommandOutcome::Malformed;
      Show(TextOf(result.outcome), result.detail, {}, model, services);
      return;
    case O::CannotConnect:
    case O::TimedOut:
    case O::Busy:
    case O::HttpError:
    case O::TooLarge:
    case O::Aborted:
    case O::NoLibrary:
      lastOutcome = CommandOutcome::Unreachable;
      Show(TextOf(result.outcome), result.detail, {}, model, services);
      return;
  }

  // The choice and the filling are one command: nothing may change the
  // disc or the grid while the dialog is open.
  shell::CommandScope scope(model);
  if (!scope.Acquired()) {
    lastOutcome = CommandOutcome::Refused;
    return;
  }
  // Only releases with a medium that fits this disc are offered.
  std::vector<musicbrainz::Release> fitting;
  for (auto& release : result.reply.releases)
    if (musicbrainz::ChooseMedium(release, identity->discId, identity->trackCount) != nullptr)
      fitting.push_back(std::move(release));
  if (fitting.empty()) {
    Finish(WindowEvent::MusicBrainzNoMatch, CommandOutcome::NotFound);
    return;
  }
  std::size_t chosen = 0;
  if (fitting.size() > 1) {
    shell::MatchDialogModel dialog;
    musicbrainz::FillMatchDialog(dialog, fitting);
    const int row = services.ShowMatchDialog(dialog);
    if (row < 1 || row > static_cast<int>(fitting.size())) {
      lastOutcome = CommandOutcome::ChoiceCancelled;
      return;
    }
    chosen = static_cast<std::size_t>(row - 1);
  }
  const auto titles = musicbrainz::TitlesFor(fitting[chosen], identity->discId, identity->trackCount);
  if (!titles) {
    Finish(WindowEvent::MusicBrainzNoMatch, CommandOutcome::NotFound);
    return;
  }
  // Category and genre stay: MusicBrainz has none to give.
  auto& table = model.Table();
  table.SetArtist(titles->artist);
  table.SetTitle(titles->title);
  table.SetYear(titles->year);
  const int rows = table.RowCount() - 1;
  for (int row = 1; row <= rows; ++row) {
    const auto at = static_cast<std::size_t>(row - 1);
    if (at >= titles->tracks.size()) break;
    table.SetCell(1, row, titles->tracks[at].title);
    table.SetCell(2, row, titles->tracks[at].artist);
  }
  SetTitleSource(TitleSource::MusicBrainz, titles->releaseId, identity->discId);
  model.SetEnabled(shell::MenuId::ExportToPlayer, true);
  Show(WindowEvent::MusicBrainzFound, model, services);
  WriteIniFile();
  lastOutcome = saveFailed ? CommandOutcome::TitlesNotSaved : CommandOutcome::Done;
}

bool MainWindowLogic::Impl::FillFromCdText(const disc::DriveAddress& a) {
  if (!TitleSources().cdText) return false;
  const auto reply = drives.ReadCdText(a.HaId, a.Target, a.Lun);
  if (reply.outcome != disc::DiscDrives::CdTextReply::Outcome::Read) return false;
  const disc::CdText text = disc::DecodeCdText(reply.bytes);
  const auto titles = disc::TitlesFromCdText(text, toc.TrackCount);
  if (!titles) return false;
  auto& table = model.Table();
  table.SetArtist(titles->artist);
  table.SetTitle(titles->title);
  const int rows = table.RowCount() - 1;
  for (int row = 1; row <= rows; ++row) {
    const auto at = static_cast<std::size_t>(row - 1);
    if (at < titles->trackTitles.size()) table.SetCell(1, row, titles->trackTitles[at]);
    if (at < titles->trackPerformers.size()) table.SetCell(2, row, titles->trackPerformers[at]);
  }
  SetTitleSource(TitleSource::CdText);
  model.SetEnabled(shell::MenuId::ExportToPlayer, true);
  Show(WindowEvent::CdTextRead, model, services);
  return true;
}

std::optional<musicbrainz::DiscIdentity> MainWindowLogic::MusicBrainzIdentity(std::string& why) const {
  if (!impl_->tocRead) {
    why = "no table of contents was read";
    return std::nullopt;
  }
  return musicbrainz::IdentifyDisc(impl_->toc, why);
}

std::string MainWindowLogic::MusicBrainzSubmissionUrl() {
  std::string why;
  const auto identity = MusicBrainzIdentity(why);
  if (!identity) {
    Show(WindowEvent::NoMusicBrainzId, impl_->model, impl_->services, why);
    return {};
  }
  return identity->submissionUrl;
}

void MainWindowLogic::FetchServerList() {
  auto& d = *impl_;
  const auto last = d.lookup.FetchServerList();
  d.lastOutcome = LookupCommandOutcome(last, d.lookup.LastOutcome(), false, false);
}

void MainWindowLogic::ChangeServer(int) { impl_->lookup.ChangeServer(); }

}  // namespace sl::mainform
