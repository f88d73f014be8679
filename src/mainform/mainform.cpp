// MainWindowLogic's construction, settings file, drive choice, table-of-contents
// use and local-database save and load, with the small read-back accessors.
#include "mainform/mainform.h"

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cddb/cddb.h"
#include "disc/aspi_loader.h"
#include "disc/disc.h"
#include "ipc/ipc.h"
#include "localdb/localdb.h"
#include "mainform/logic_impl.h"
#include "mainform/outcome_texts.h"
#include "platform/install_paths.h"
#include "settings/serverlist.h"
#include "settings/settings.h"
#include "submit/submit.h"
#include "text/codepage.h"

namespace sl::mainform {

namespace {

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

MainWindowLogic::Impl::Impl(shell::ShellServices& s, Environment e)
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

void MainWindowLogic::Impl::WriteIniFile() {
  const std::uint32_t key = disc::CalcLocalDiscKey(toc, localKeyTrackCount);
  std::string error;
  saveFailed =
      !localdb::WriteIniFile(CdPlayerIni(), key, localKeyTrackCount, toc.TrackCount, model.Table(), &error);
  if (saveFailed) Show(WindowEvent::TitlesNotSaved, model, services, error);
}

bool MainWindowLogic::Impl::ReadIniFile() {
  const std::uint32_t key = disc::CalcLocalDiscKey(toc, localKeyTrackCount);
  const bool found = localdb::ReadIniFile(CdPlayerIni(), key, model.Table());
  if (found) model.SetEnabled(shell::MenuId::ExportToPlayer, true);
  return found;
}

void MainWindowLogic::Impl::ForgetEntryOfOtherDisc() {
  const auto& read = lookup.LastRead;
  if (read && (!tocRead || !EqualsHexId(read->discId, disc::CalcDiscId(toc, toc.TrackCount))))
    lookup.LastRead.reset();
}

bool MainWindowLogic::Impl::DispTrack(const disc::DriveAddress& a) {
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

bool MainWindowLogic::Impl::AfterTocRead() {
  SetTitleSource(TitleSource::None);
  const std::string submitEmail =
      settingsFile ? settingsFile->ReadString(settings::kSection, "submitemail", "") : "";
  if (!submitEmail.empty()) model.SetEnabled(shell::MenuId::SubmitEntry, true);
  model.SetEnabled(shell::MenuId::ImportFromPlayer, true);
  queryCommand = disc::QueryCommandFor(toc);
  Show(WindowEvent::DiscIdShown, model, services, disc::DiscIdHex(disc::CalcDiscId(toc, toc.TrackCount)));
  return ReadIniFile();
}

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

CommandOutcome MainWindowLogic::LastCommandOutcome() const { return impl_->lastOutcome; }

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
