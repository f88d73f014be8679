// MainWindowLogic::Impl, the window's state that the command files share,
// and the helpers more than one of them needs. Only src/mainform includes it.
#pragma once

#include <charconv>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "cddb/cddb.h"
#include "disc/disc.h"
#include "localdb/localdb.h"
#include "mainform/mainform.h"
#include "mainform/outcome_texts.h"
#include "musicbrainz/musicbrainz.h"
#include "player/player.h"
#include "settings/options.h"
#include "settings/settings.h"
#include "shell/model.h"
#include "shell/services.h"
#include "submit/submit.h"

namespace sl::mainform {

// A disc ID as the server wrote it ("990c360c") against the window's.
inline bool EqualsHexId(const std::string& text, std::uint32_t id) {
  std::uint32_t value = 0;
  const auto r = std::from_chars(text.data(), text.data() + text.size(), value, 16);
  return !text.empty() && text.size() <= 8 && r.ec == std::errc() && r.ptr == text.data() + text.size() &&
         value == id;
}

struct MainWindowLogic::Impl {
  Impl(shell::ShellServices& s, Environment e);

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
  bool FillFromCdText(const disc::DriveAddress& a);

  // Shows `event` and keeps `outcome` as the command's.
  void Finish(WindowEvent event, CommandOutcome outcome, const std::string& detail = {}) {
    lastOutcome = outcome;
    Show(event, model, services, detail);
  }

  std::string CdPlayerIni() const { return localdb::CdPlayerIniPath(env.windowsDir); }

  void WriteIniFile();
  bool ReadIniFile();

  // The entry read last belongs to the disc it was read for: another disc
  // in the window forgets it, so no correction carries it elsewhere.
  void ForgetEntryOfOtherDisc();

  bool DispTrack(const disc::DriveAddress& a);

  // What follows a table-of-contents read, from a drive or given; true when
  // the local database had titles for the disc.
  bool AfterTocRead();
};

}  // namespace sl::mainform
