#include "mainform/mainform.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>

#include "cddb/cddb.h"
#include "disc/aspi_loader.h"
#include "disc/cdtext.h"
#include "disc/disc.h"
#include "inifile/profile.h"
#include "ipc/ipc.h"
#include "localdb/localdb.h"
#include "mainform/outcome_texts.h"
#include "platform/install_paths.h"
#include "settings/options.h"
#include "settings/serverlist.h"
#include "settings/settings.h"
#include "submit/submit.h"
#include "text/codepage.h"

namespace sl::mainform {

namespace {

// A disc ID as the server wrote it ("990c360c") against the window's.
bool EqualsHexId(const std::string& text, std::uint32_t id) {
  std::uint32_t value = 0;
  const auto r = std::from_chars(text.data(), text.data() + text.size(), value, 16);
  return !text.empty() && text.size() <= 8 && r.ec == std::errc() && r.ptr == text.data() + text.size() &&
         value == id;
}

// True when a field the local database stores holds U+FFFD, the mark the
// decoder leaves for a byte it could not read.
bool HoldsReplacement(const shell::TrackTitleTable& t) {
  constexpr std::string_view kMark = "\xEF\xBF\xBD";
  auto has = [&](const std::string& s) { return s.find(kMark) != std::string::npos; };
  if (has(t.Category()) || has(t.Genre()) || has(t.Artist()) || has(t.Title()) || has(t.Year())) return true;
  for (int row = 1; row < t.RowCount(); ++row)
    if (has(t.Cell(1, row)) || has(t.Cell(2, row))) return true;
  return false;
}

}  // namespace

void ResolvePaths(config::Configuration& configuration) {
  configuration.exePath = platform::RunningExecutable();
  if (configuration.exePath.empty()) configuration.exePath = "sonolabel";
  const std::string exeDir = std::filesystem::path(configuration.exePath).parent_path().string();
  configuration.aspiLayer = disc::ResolveAspiLayer(exeDir, configuration.aspiChoice);
  configuration.iniPath = settings::SettingsPathFor(configuration.exePath, configuration);
  configuration.windowsDir = localdb::DefaultWindowsDir(configuration);
}

config::Configuration ConfigurationFromProcess() {
  config::Configuration configuration = config::ReadConfiguration(config::ProcessEnvironment());
  ResolvePaths(configuration);
  return configuration;
}

void ApplyProcessWideSettings(const config::Configuration& configuration) {
  text::SetExternalCodePage(configuration.codePage);
  ipc::Configure({configuration.runtimeDir, configuration.ipcTimeoutMs, configuration.playerProgram});
}

namespace {

player::PlayerLinkOptions PlayerOptionsFor(const config::Configuration& configuration,
                                           player::PlayerHooks hooks) {
  player::PlayerLinkOptions options;
  options.hooks = std::move(hooks);
  options.startTimeoutMs = configuration.playerStartMs;
  return options;
}

}  // namespace

struct MainWindowLogic::Impl {
  Impl(shell::ShellServices& s, Environment e)
      : services(s),
        env(std::move(e)),
        drives(model, DriveHookFor(model, s)),
        lookup(model, LookupHooksFor(model, s, &musicBrainzFollows)),
        musicBrainz(model, musicbrainz::LookupSettings{}),
        playerLink(s, PlayerOptionsFor(env, PlayerHooksFor(model, s))),
        formOption(OptionHookFor(model, s)) {
    // The main window binds the player only for one import or export.
    playerLink.SetAutoLink(false);
  }

  shell::ShellServices& services;
  Environment env;
  shell::ShellModel model;
  disc::DiscDrives drives;
  disc::DiscToc toc;
  std::int32_t localKeyTrackCount = 0;
  std::string queryCommand;
  bool tocRead = false;     // the last read parsed a table of contents
  bool saveFailed = false;  // the last save to the local database failed
  CommandOutcome lastOutcome = CommandOutcome::None;
  // The drive box as of the last drive change the window accepted: while a
  // command runs, a pick in the box is refused and the box shows this again.
  int heldDriveIndex = -1;
  std::string heldDriveText;
  std::unique_ptr<settings::SettingsFile> settingsFile;
  // True while the CDDB server is asked with MusicBrainz to follow when it
  // has no match: its "no match" box would announce an end that is not one.
  bool musicBrainzFollows = false;
  cddb::CddbLookup lookup;
  musicbrainz::DiscLookup musicBrainz;
  TitleSource titleSource = TitleSource::None;
  std::string musicBrainzRelease;  // the release the titles came from
  std::string musicBrainzDiscId;   // the disc ID it was found by
  player::PlayerLink playerLink;
  settings::OptionsDialogLogic formOption;  // created once, reused: it keeps its state

  std::string Setting(const char* key) const {
    return settingsFile ? settingsFile->ReadString(settings::kSection, key, "") : std::string();
  }
  SubmitOutcome Submit(const SubmitOptions& options);
  // What a submission sends once the entry passed its checks.
  struct PreparedSubmission {
    submit::PostRequest request;
    std::uint32_t discId = 0;
    long long revision = 0;
    std::optional<submit::KeptText> kept;
  };
  // Checks the window's entry and builds it (into `out.entry`) with its
  // request; nullopt, with the reason shown and `out` marked invalid, when
  // the entry is not fit to send.
  std::optional<PreparedSubmission> PrepareSubmission(const SubmitOptions& options, SubmitOutcome& out);
  submit::PostResult PostWithBusyCursor(const submit::PostRequest& request);
  void OpenOptions();
  void LookUpCddb();
  void LookUpMusicBrainz();

  settings::TitleSourceSettings TitleSources() const {
    return settingsFile ? settingsFile->ReadTitleSources() : settings::TitleSourceSettings{};
  }

  void SetTitleSource(TitleSource source, std::string release = {}, std::string discId = {}) {
    titleSource = source;
    musicBrainzRelease = std::move(release);
    musicBrainzDiscId = std::move(discId);
  }

  // Fills the fields from the disc's CD-Text when the settings allow it and
  // the disc carries text for itself or its tracks; true when it did. A
  // drive without CD-Text, or packs that do not decode, leave the fields as
  // they are.
  bool FillFromCdText(const disc::DriveAddress& a) {
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

  // Shows `event` and keeps `outcome` as the command's.
  void Finish(WindowEvent event, CommandOutcome outcome, const std::string& detail = {}) {
    lastOutcome = outcome;
    Show(event, model, services, detail);
  }

  std::string CdPlayerIni() const { return localdb::CdPlayerIniPath(env.windowsDir); }

  void WriteIniFile() {
    const std::uint32_t key = disc::CalcLocalDiscKey(toc, localKeyTrackCount);
    std::string error;
    saveFailed =
        !localdb::WriteIniFile(CdPlayerIni(), key, localKeyTrackCount, toc.TrackCount, model.Table(), &error);
    if (saveFailed) Show(WindowEvent::TitlesNotSaved, model, services, error);
  }

  bool ReadIniFile() {
    const std::uint32_t key = disc::CalcLocalDiscKey(toc, localKeyTrackCount);
    const bool found = localdb::ReadIniFile(CdPlayerIni(), key, model.Table());
    if (found) model.SetEnabled(shell::MenuId::ExportToPlayer, true);
    return found;
  }

  // The entry read last belongs to the disc it was read for: another disc
  // in the window forgets it, so no correction carries it elsewhere.
  void ForgetEntryOfOtherDisc() {
    const auto& read = lookup.LastRead;
    if (read && (!tocRead || !EqualsHexId(read->discId, disc::CalcDiscId(toc, toc.TrackCount))))
      lookup.LastRead.reset();
  }

  bool DispTrack(const disc::DriveAddress& a) {
    const auto result = drives.ReadToc(a.HaId, a.Target, a.Lun, toc);
    tocRead = result == disc::DiscDrives::TocResult::Ok;
    // The grid gets one numbered row per track of the disc just read.
    if (tocRead) disc::NumberRows(model.Table(), toc);
    ForgetEntryOfOtherDisc();
    if (result == disc::DiscDrives::TocResult::NotReady) {
      // The table of contents is gone (its track count is 0 now); a query
      // text left from the earlier disc would look that disc up and save
      // its titles under a key of no disc.
      queryCommand = disc::QueryCommandFor(toc);
      return false;
    }
    // Titles the user saved win over the disc's own text.
    if (!AfterTocRead() && tocRead) FillFromCdText(a);
    return true;
  }

  // What follows a table-of-contents read, from a drive or given; true when
  // the local database had titles for the disc.
  bool AfterTocRead() {
    SetTitleSource(TitleSource::None);
    const std::string submitEmail =
        settingsFile ? settingsFile->ReadString(settings::kSection, "submitemail", "") : "";
    if (!submitEmail.empty()) model.SetEnabled(shell::MenuId::SubmitEntry, true);
    model.SetEnabled(shell::MenuId::ImportFromPlayer, true);
    queryCommand = disc::QueryCommandFor(toc);
    Show(WindowEvent::DiscIdShown, model, services, disc::DiscIdHex(disc::CalcDiscId(toc, toc.TrackCount)));
    return ReadIniFile();
  }
};

MainWindowLogic::MainWindowLogic(shell::ShellServices& services, Environment env)
    : impl_(std::make_unique<Impl>(services, std::move(env))) {
  auto& d = *impl_;
  d.drives.LoadAspiLayer(d.env.aspiLayer);
  d.drives.ScanDrives();
  Show(WindowEvent::DrivesChecked, d.model, d.services);
  d.model.Table().SetCell(0, 0, "ﾄﾗｯｸ");
  d.model.Table().SetCell(1, 0, "曲名");
  d.model.Table().SetCell(2, 0, "ｱｰﾃｨｽﾄ");
  d.lookup.onEntryApplied = [&d] {
    // A title that holds a byte the reply's character set could not read
    // would be stored as U+FFFD, a character the server never sent (or be
    // refused naming it): the save is refused naming the bytes instead.
    if (!d.lookup.Undecodable().Empty() && HoldsReplacement(d.model.Table())) {
      d.saveFailed = true;
      Show(WindowEvent::TitlesNotSaved, d.model, d.services, UndecodableText(d.lookup.Undecodable()));
      return;
    }
    d.WriteIniFile();
  };
}

MainWindowLogic::~MainWindowLogic() = default;

shell::ShellModel& MainWindowLogic::Model() { return impl_->model; }
const Environment& MainWindowLogic::Env() const { return impl_->env; }

void MainWindowLogic::OpenSettingsFile() {
  impl_->settingsFile = std::make_unique<settings::SettingsFile>(impl_->env.iniPath);
  impl_->lookup.SetSettings(impl_->settingsFile.get());
  impl_->formOption.SetSettings(impl_->settingsFile.get());
}

void MainWindowLogic::ApplyStartupSettings() {
  impl_->lookup.ReadMailAddress();
  impl_->lookup.ReadServerUrl();
  impl_->lookup.ReadProxyServer();
}

void MainWindowLogic::ReleaseResources() {
  impl_->drives.UnloadAspiLayer();
  impl_->lookup.SetSettings(nullptr);
  impl_->formOption.SetSettings(nullptr);
  impl_->settingsFile.reset();
}

void MainWindowLogic::ChooseDrive() {
  auto& d = *impl_;
  // A lookup, a server-list fetch or a drive read still waiting would apply
  // its result to whatever disc the window then held: the window keeps its
  // disc until that command is over.
  shell::CommandScope scope(d.model);
  if (!scope.Acquired()) {
    if (d.heldDriveIndex >= 0) d.model.SetDriveIndex(d.heldDriveIndex);
    else d.model.SetDriveText(d.heldDriveText);
    return;
  }
  d.heldDriveIndex = d.model.DriveIndex();
  d.heldDriveText = d.model.DriveText();
  // Typed text with no item chosen names no drive: there is nothing to read.
  const auto address = d.drives.Drive(d.model.DriveIndex());
  if (!address) return;
  if (!d.drives.UnitReady(address->HaId, address->Target, address->Lun)) {
    d.lookup.LastRead.reset();
    // A drive that could not be opened says nothing about a disc: the
    // reason (and what gives access) is what the user needs.
    if (const auto problem = d.drives.OpenProblem(address->HaId, address->Target, address->Lun)) {
      Show(WindowEvent::DriveCannotBeOpened, d.model, d.services,
           DeviceProblemText({{problem->node, problem->error}}));
      return;
    }
    Show(WindowEvent::NoDisc, d.model, d.services);
    return;
  }
  d.drives.ReadTrackTable(address->HaId, address->Target, address->Lun, d.toc);
  d.DispTrack(*address);
  d.model.SetEnabled(shell::MenuId::LookUpDisc, true);
}

void MainWindowLogic::UseToc(const disc::DiscToc& toc) {
  auto& d = *impl_;
  shell::CommandScope scope(d.model);
  if (!scope.Acquired()) return;
  d.toc = toc;
  d.tocRead = toc.TrackCount > 0;
  d.ForgetEntryOfOtherDisc();
  disc::NumberRows(d.model.Table(), d.toc);
  d.AfterTocRead();
  d.model.SetEnabled(shell::MenuId::LookUpDisc, true);
}

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
    // A disc of data tracks only has nothing MusicBrainz can name.
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

void MainWindowLogic::FetchServerList() {
  auto& d = *impl_;
  const auto last = d.lookup.FetchServerList();
  d.lastOutcome = LookupCommandOutcome(last, d.lookup.LastOutcome(), false, false);
}

CommandOutcome MainWindowLogic::LastCommandOutcome() const { return impl_->lastOutcome; }

void MainWindowLogic::ChangeServer(int) { impl_->lookup.ChangeServer(); }

// Saving or loading while a command waits would store half-applied titles or
// overwrite the grid the command is filling.
void MainWindowLogic::SaveTitles() {
  if (impl_->model.CommandRunning()) return;
  impl_->WriteIniFile();
}

void MainWindowLogic::LoadTitles() {
  if (impl_->model.CommandRunning()) return;
  impl_->ReadIniFile();
}

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
  dsmp.Bind();
  if (!dsmp.Bound()) {
    // Say so instead of doing nothing: the player is not there.
    d.Finish(WindowEvent::PlayerAbsent, CommandOutcome::PlayerAbsent);
    return;
  }
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
  dsmp.Bind();
  if (!dsmp.Bound()) {
    d.Finish(WindowEvent::PlayerAbsent, CommandOutcome::PlayerAbsent);
    return;
  }
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

void MainWindowLogic::OpenOptions() { impl_->OpenOptions(); }

void MainWindowLogic::Impl::OpenOptions() {
  // The proxy, the hello tail and the server menu belong to the request a
  // waiting command is making: they change only when it is over.
  if (model.CommandRunning()) return;
  const std::string proxyIp = Setting(settings::kKeyProxyIp);
  const std::string proxyPort = Setting(settings::kKeyProxyPort);
  const std::string email = Setting(settings::kKeyEmail);
  const std::string smtpHost = Setting(settings::kKeySmtpHost);
  const std::string smtpId = Setting(settings::kKeySmtpId);
  const std::string submitEmail = Setting(settings::kKeySubmitEmail);
  auto& st = formOption.state;
  st.proxyHost = proxyIp;
  st.proxyPort = proxyPort;
  st.email = email;
  const settings::TitleSourceSettings sources = TitleSources();
  st.musicBrainzUse = static_cast<int>(sources.musicBrainzUse);
  st.musicBrainzServer = sources.musicBrainzServer;
  st.musicBrainzContact = sources.contact;
  st.cdTextUse = sources.cdText;
  if (services.ShowOptionDialog(formOption) != shell::kModalOk) return;

  // The sources tab is checked before anything takes effect: a server or
  // contact it refuses leaves every setting, stored or in use, as it was.
  std::string why;
  const std::optional<std::string> server = settings::CheckMusicBrainzServer(st.musicBrainzServer, why);
  if (!server || !settings::CheckContact(st.musicBrainzContact, why)) {
    Show(WindowEvent::SourcesRefused, model, services, why);
    return;
  }
  settings::TitleSourceSettings chosen;
  chosen.musicBrainzServer = *server;
  chosen.contact = st.musicBrainzContact;
  chosen.musicBrainzUse = st.musicBrainzUse == 2   ? settings::MusicBrainzUse::First
                          : st.musicBrainzUse == 1 ? settings::MusicBrainzUse::WhenCddbHasNone
                                                   : settings::MusicBrainzUse::Never;
  chosen.cdText = st.cdTextUse;

  const std::string host = st.proxyHost;
  const std::string portText = st.proxyPort;
  const std::string address = st.email;
  // The proxy host takes effect before the port is converted, so a port
  // that is not a number leaves the new host in use and nothing written.
  lookup.http.Proxy = host;
  const std::optional<int> port = inifile::ParseProfileInteger(portText);
  if (!port) {
    Show(WindowEvent::PortNotANumber, model, services, PortNotANumberText(portText));
    return;
  }
  lookup.http.ProxyPort = *port;
  if (settingsFile) {
    // Every tab's keys in one atomic replacement: all of them or none.
    std::vector<inifile::Profile::SectionKeys> sections = {{settings::kSection,
                                                            {{settings::kKeyProxyIp, host},
                                                             {settings::kKeyProxyPort, portText},
                                                             {settings::kKeyEmail, address},
                                                             {settings::kKeySmtpHost, smtpHost},
                                                             {settings::kKeySmtpId, smtpId},
                                                             {settings::kKeySubmitEmail, submitEmail}}}};
    for (auto& section : settings::SettingsFile::TitleSourceSections(chosen))
      sections.push_back(std::move(section));
    if (!settingsFile->WriteSections(sections)) {
      Show(WindowEvent::SettingsNotSaved, model, services, settingsFile->LastError());
      return;
    }
    settings::GetServerList(*settingsFile, model);
  }
  lookup.ReadMailAddress();
}

void MainWindowLogic::SubmitEntry() { impl_->Submit({}); }

MainWindowLogic::SubmitOutcome MainWindowLogic::Submit(const SubmitOptions& options) {
  return impl_->Submit(options);
}

std::optional<MainWindowLogic::Impl::PreparedSubmission> MainWindowLogic::Impl::PrepareSubmission(
    const SubmitOptions& options, SubmitOutcome& out) {
  auto invalid = [&](const std::string& message) -> std::optional<PreparedSubmission> {
    Show(WindowEvent::SubmitInvalid, model, services, message);
    out.result = SubmitOutcome::Result::Invalid;
    return std::nullopt;
  };

  PreparedSubmission prepared;
  const auto& table = model.Table();
  // An entry needs the disc's table of contents: after a failed read the
  // grid may still show another disc's rows, which would be sent under a
  // disc ID of 00000000 with that disc's offsets.
  if (!tocRead || toc.TrackCount < 1 || toc.TrackCount != table.RowCount() - 1)
    return invalid(kNoTocToSubmitText);
  // A server whose entries are UTF-8 gets the entry in UTF-8 and says so in
  // a header line; any other the external code page. A UTF-8 server stores
  // every character, so the double-byte rule does not apply to it.
  const submit::Encoder encode = lookup.ServerUtf8 ? submit::Utf8Encoder() : submit::ExternalEncoder();
  prepared.discId = disc::CalcDiscId(toc, toc.TrackCount);
  // A correction of the entry read for this disc carries a higher revision
  // (or the server keeps the old one) and sends back the entry's text the
  // window does not show (or the server's copy loses it).
  if (options.revision) {
    prepared.revision = *options.revision;
    prepared.kept = options.kept;
  } else if (lookup.LastRead && EqualsHexId(lookup.LastRead->discId, prepared.discId)) {
    const auto& read = *lookup.LastRead;
    if (read.revision > cddb::kMaxServerRevision) return invalid(RevisionTooHighText(read.revision));
    prepared.revision = read.revision + 1;
    prepared.kept = submit::KeptText{read.extd, read.extt, read.playorder};
  }
  const submit::KeptText* kept = prepared.kept ? &*prepared.kept : nullptr;
  const submit::CheckResult check =
      submit::CheckSubmitData(table, lookup.ServerUtf8 ? 2 : lookup.ServerCode, encode, kept);
  if (!check) return invalid(CheckFailureText(check));
  out.entry = submit::BuildSubmissionEntry(toc, table, encode, prepared.revision, kept).Text();
  if (out.entry.size() > submit::kMaxEntryBytes) return invalid(EntryTooLargeText());

  try {
    prepared.request.headers = submit::SubmissionHeaders(
        table.Category(), disc::DiscIdHex(prepared.discId), Setting(settings::kKeyEmail),
        options.testMode ? submit::kModeTest : submit::kModeSubmit, out.entry.size(), encode,
        lookup.ServerUtf8 ? settings::kCharsetUtf8 : "");
  } catch (const std::exception&) {
    return invalid(kEmailUnsendableText);
  }
  prepared.request.url = lookup.SubmitUrl;
  prepared.request.proxy =
      submit::ProxyText(Setting(settings::kKeyProxyIp), Setting(settings::kKeyProxyPort));
  prepared.request.body = out.entry;
  return prepared;
}

submit::PostResult MainWindowLogic::Impl::PostWithBusyCursor(const submit::PostRequest& request) {
  // The cursor comes back on every way out, an exception included.
  services.SetBusyCursor(true);
  struct Restore {
    shell::ShellServices& s;
    ~Restore() { s.SetBusyCursor(false); }
  } restore{services};
  return submit::PostSubmission(request);
}

MainWindowLogic::SubmitOutcome MainWindowLogic::Impl::Submit(const SubmitOptions& options) {
  using Result = SubmitOutcome::Result;
  SubmitOutcome out;
  // The entry is made from the window as it is now; nothing may change the
  // disc or the grid, or start another request, while the post waits.
  shell::CommandScope scope(model);
  if (!scope.Acquired()) return out;
  const std::optional<PreparedSubmission> prepared = PrepareSubmission(options, out);
  if (!prepared) return out;
  if (options.dryRun) {
    out.result = Result::Built;
    return out;
  }

  Show(WindowEvent::Sending, model, services);
  const submit::PostResult posted = PostWithBusyCursor(prepared->request);
  const submit::SubmitVerdict verdict = submit::JudgeReply(posted);
  Show(TextOf(verdict.reply), verdict.line, {}, model, services);
  out.reply = posted.body;
  out.result = verdict.accepted ? Result::Accepted : Result::NotAccepted;
  // The server now holds this revision: a further correction goes above it.
  if (verdict.accepted && !options.testMode) {
    cddb::ReadEntry sent;
    sent.discId = disc::DiscIdHex(prepared->discId);
    sent.revision = prepared->revision;
    if (prepared->kept) {
      sent.extd = prepared->kept->extd;
      sent.extt = prepared->kept->extt;
      sent.playorder = prepared->kept->playorder;
    }
    lookup.LastRead = std::move(sent);
  }
  return out;
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

TitleSource MainWindowLogic::TitlesSource() const { return impl_->titleSource; }
const std::string& MainWindowLogic::MusicBrainzRelease() const { return impl_->musicBrainzRelease; }
const std::string& MainWindowLogic::MusicBrainzDiscId() const { return impl_->musicBrainzDiscId; }
settings::TitleSourceSettings MainWindowLogic::TitleSources() const { return impl_->TitleSources(); }

std::uint32_t MainWindowLogic::DiscId() const { return disc::CalcDiscId(impl_->toc, impl_->toc.TrackCount); }
int MainWindowLogic::TrackCount() const { return impl_->toc.TrackCount; }
const std::string& MainWindowLogic::QueryCommand() const { return impl_->queryCommand; }

std::string MainWindowLogic::DiscLine() const {
  // cd-discid prints the ID in lower case; scripts compare the two.
  std::string line = disc::DiscIdFields(impl_->toc, ' ');
  for (std::size_t i = 0; i < 8 && i < line.size(); ++i)
    line[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(line[i])));
  return line;
}
bool MainWindowLogic::TocRead() const { return impl_->tocRead; }
bool MainWindowLogic::SaveFailed() const { return impl_->saveFailed; }

std::string MainWindowLogic::SubmitUrl() const { return impl_->lookup.SubmitUrl; }
int MainWindowLogic::ServerCode() const { return impl_->lookup.ServerCode; }

cddb::CddbLookup::ReplyOutcome MainWindowLogic::LastReplyOutcome() const {
  return impl_->lookup.LastOutcome();
}

std::string MainWindowLogic::ServerUrl() const { return impl_->lookup.ServerUrl; }
void MainWindowLogic::SetServerUrl(const std::string& url) { impl_->lookup.SetServerUrl(url); }
std::optional<long long> MainWindowLogic::ReadRevision() const {
  const auto& read = impl_->lookup.LastRead;
  // Only while the window holds the disc the entry was read for.
  if (!read || !EqualsHexId(read->discId, DiscId())) return std::nullopt;
  return read->revision;
}

std::optional<submit::KeptText> MainWindowLogic::ReadKeptText() const {
  const auto& read = impl_->lookup.LastRead;
  if (!read || !EqualsHexId(read->discId, DiscId())) return std::nullopt;
  return submit::KeptText{read->extd, read->extt, read->playorder};
}
int MainWindowLogic::HostAdapterCount() const { return impl_->drives.HostAdapterCount(); }

std::string MainWindowLogic::DriveAddressText(int index) const {
  const auto a = impl_->drives.Drive(index);
  if (!a) return {};
  return std::to_string(a->HaId) + ":" + std::to_string(a->Target) + ":" + std::to_string(a->Lun);
}

bool MainWindowLogic::DriveCannotBeOpened(int index) const {
  const auto a = impl_->drives.Drive(index);
  return a && impl_->drives.OpenProblem(a->HaId, a->Target, a->Lun).has_value();
}

std::vector<std::string> MainWindowLogic::StoredServerHosts() const {
  std::vector<std::string> hosts;
  const auto* s = impl_->settingsFile.get();
  if (!s) return hosts;
  const int count = std::min(s->ReadInteger(settings::kSection, "servercount", 0), settings::kMaxServers);
  for (int i = 0; i < count; ++i) hosts.push_back(s->ReadString(settings::ServerSection(i), "host", ""));
  return hosts;
}

}  // namespace sl::mainform
