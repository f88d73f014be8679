// MainWindowLogic without widgets: the composition root both faces share. It owns
// one of each subsystem object and runs every handler of the main window in
// the order the program defines; a face's handler forwards here in a line.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cddb/cddb.h"
#include "config/config.h"
#include "disc/disc.h"
#include "musicbrainz/musicbrainz.h"
#include "player/player.h"
#include "settings/settings.h"
#include "shell/model.h"
#include "shell/services.h"
#include "submit/submit.h"

namespace sl::mainform {

inline constexpr const char* kVersion = "1.311";

// The main window runs with the program's configuration: where it finds
// its files (exePath, aspiLayer, iniPath, windowsDir) and how long it lets
// a started player take.
using Environment = config::Configuration;

// Fills the configuration's resolved paths from what the environment gave:
// the running executable; the ASPI layer its aspiChoice names, beside the
// executable or installed; the settings file (the override, else beside
// the executable, else in the configuration folder); "cdplayer.ini"'s
// folder (the override, else in the data folder).
void ResolvePaths(config::Configuration& configuration);

// The configuration as the process environment gives it, paths resolved:
// what a face reads once at start-up (a demo goes between the reading and
// the resolving; see demo::DemoSession::Start).
config::Configuration ConfigurationFromProcess();

// Puts the parts of the configuration that hold for the whole process into
// effect: the external code page, and the IPC's runtime folder, time-out
// and player program. A face calls it once, before its main window exists.
void ApplyProcessWideSettings(const config::Configuration& configuration);

// What the last lookup, server-list, import or export command came to.
enum class CommandOutcome {
  None,                // no such command has run yet
  Refused,             // another command was running
  Done,                // it did all it was asked (a lookup: the entry read and saved)
  NotFound,            // no match, no entry, no mirrors
  ChoiceCancelled,     // the match list was cancelled
  ServerRefused,       // the server answered with an error code
  Malformed,           // a reply without a code, cut short or listing nothing
  ListNotSaved,        // the server list came but the settings file refused it
  Unreachable,         // no reply: connection or HTTP failure
  MatchWithoutEntry,   // a match came but no entry was read for it
  TitlesNotSaved,      // the entry came but the local database refused it
  PlayerAbsent,        // the player is not there, or went away mid-way
  TransferIncomplete,  // the export could not transfer every item
};
inline constexpr int kCommandOutcomeCount = static_cast<int>(CommandOutcome::TransferIncomplete) + 1;

// Where the titles in the window came from.
enum class TitleSource {
  None,         // nowhere yet, the local database, the player or the user
  Cddb,         // a CDDB server's entry
  MusicBrainz,  // a MusicBrainz release
  CdText,       // the disc's own CD-Text
};

// Which servers the lookup command asks, in which order. The second of a
// pair is asked only when the first had no match (or every match was
// cancelled).
enum class LookupOrder { CddbOnly, MusicBrainzOnly, CddbThenMusicBrainz, MusicBrainzThenCddb };
// The order the settings' MusicBrainz use gives.
LookupOrder LookupOrderFor(settings::MusicBrainzUse use);

class MainWindowLogic {
 public:
  // Construction: clears the fields, loads the ASPI layer and scans the
  // drives (their error boxes appear now), writes "チェック完了" and the grid
  // header.
  MainWindowLogic(shell::ShellServices& services, Environment env);
  ~MainWindowLogic();
  MainWindowLogic(const MainWindowLogic&) = delete;
  MainWindowLogic& operator=(const MainWindowLogic&) = delete;

  shell::ShellModel& Model();
  const Environment& Env() const;

  void OpenSettingsFile();      // opens the settings file
  void ApplyStartupSettings();  // e-mail, server and proxy set-up (the face centres)
  void ReleaseResources();      // unloads the ASPI layer, releases the settings file

  // Drive box change: the face has already put the chosen index (or typed
  // text) into the model.
  void ChooseDrive();

  // A table of contents given instead of read from a drive (a lookup
  // without a drive): the window takes it as after a successful read.
  void UseToc(const disc::DiscToc& toc);

  void LookUpDisc();  // look the disc up, in the order the settings give
  // The lookup command in the order given: the CDDB server's lookup, the
  // MusicBrainz lookup, or one and then the other.
  void LookUpTitles(LookupOrder order);
  // The MusicBrainz lookup alone: the disc's releases, the match dialog
  // when there are several, the chosen release's titles into the fields.
  void LookUpMusicBrainz();
  void FetchServerList();            // fetch the server list
  void ChangeServer(int itemIndex);  // a server item was clicked (mark already toggled)
  void SaveTitles();                 // save titles to the local database
  void LoadTitles();                 // load titles from the local database
  void ImportFromPlayer();           // take titles from the player's play list
  void ExportToPlayer();             // fill in the play list's missing titles and save it

  // The player link the import and export bind for their run.
  player::PlayerLink& playerLink();
  // The disc artist of the last CDDB match (the export's fallback artist).
  const std::string& MatchArtist() const;

  // The options dialog: fills it, shows it, and on OK puts the proxy, the
  // e-mail address and the server submenu into effect for the next request.
  void OpenOptions();
  // The submit command: checks the fields, builds the entry, posts it to the
  // selected server and shows the outcome.
  void SubmitEntry();

  // The submit command with the command line's choices.
  struct SubmitOptions {
    bool dryRun = false;    // check and build only; nothing is sent
    bool testMode = false;  // "Submit-Mode: test"
    // The entry's "# Revision:" and, with it, the text of the corrected
    // entry that the window does not show (EXTD, EXTTn, PLAYORDER). Unset:
    // for a correction of the entry read for this disc, one more than its
    // revision and its own text; else 0 and empty lines (a new entry).
    std::optional<long long> revision = std::nullopt;
    std::optional<submit::KeptText> kept = std::nullopt;
  };
  struct SubmitOutcome {
    enum class Result {
      Refused,      // another command was running
      Invalid,      // the check failed (its box was shown)
      Built,        // dry run: the entry was built
      Accepted,     // HTTP 200 with a 2xx CDDB status
      NotAccepted,  // any other answer, or none
    };
    Result result = Result::Refused;
    std::string entry;  // the entry's bytes as sent (or as they would be)
    std::string reply;  // the server's reply body as received
  };
  SubmitOutcome Submit(const SubmitOptions& options);

  // What the command line and tests read back.
  std::uint32_t DiscId() const;
  int TrackCount() const;
  const std::string& QueryCommand() const;
  // The line cd-discid prints: "23026203 3 150 18630 35212 612".
  std::string DiscLine() const;
  // The last drive pick read a table of contents (false after a failed or
  // not-ready read).
  bool TocRead() const;
  // The last save to the local database (after a lookup or on command)
  // failed; its box said why.
  bool SaveFailed() const;
  // What the last lookup, server-list, import or export command came to.
  CommandOutcome LastCommandOutcome() const;
  // What the reply of the last lookup or server-list command came to.
  cddb::CddbLookup::ReplyOutcome LastReplyOutcome() const;
  std::string ServerUrl() const;
  void SetServerUrl(const std::string& url);  // the command line's --server
  // The "# Revision:" of the entry read for the disc the window holds (0
  // when the entry had no usable one); nullopt when none was read.
  std::optional<long long> ReadRevision() const;
  // That entry's text the window does not show; nullopt as above.
  std::optional<submit::KeptText> ReadKeptText() const;
  int HostAdapterCount() const;
  // "adapter:target:lun" of drive box item `index` ("" when there is none).
  std::string DriveAddressText(int index) const;
  // Drive box item `index` is a drive whose device the layer could not open.
  bool DriveCannotBeOpened(int index) const;
  std::string SubmitUrl() const;
  int ServerCode() const;
  // The hosts of the stored server list, in entry order.
  std::vector<std::string> StoredServerHosts() const;

  // The disc's MusicBrainz ID, TOC and submission URL; nullopt with `why`
  // when no table of contents was read or it names no audio track.
  std::optional<musicbrainz::DiscIdentity> MusicBrainzIdentity(std::string& why) const;
  // The page where the disc's MusicBrainz ID is attached to a release; ""
  // after a box said that the disc has no audio track to name.
  std::string MusicBrainzSubmissionUrl();
  // Where the window's titles came from, and for a MusicBrainz release its
  // ID and the disc ID it was found by ("" otherwise).
  TitleSource TitlesSource() const;
  const std::string& MusicBrainzRelease() const;
  const std::string& MusicBrainzDiscId() const;
  // The settings' title-source keys (defaults without a settings file).
  settings::TitleSourceSettings TitleSources() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace sl::mainform
