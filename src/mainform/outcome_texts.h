// The one table of what the user is told: every status-panel text and every
// box the window shows for an outcome of a subsystem or of the window's own
// commands, in the order they appear.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cddb/cddb.h"
#include "disc/disc.h"
#include "musicbrainz/musicbrainz.h"
#include "player/player.h"
#include "settings/options.h"
#include "shell/model.h"
#include "shell/services.h"
#include "submit/submit.h"

namespace sl::mainform {

// Outcomes of the window's own commands that are shown.
enum class WindowEvent {
  DrivesChecked,        // start-up: the drives were looked for
  DiscIdShown,          // a table of contents was read (`detail`: the disc ID)
  DriveCannotBeOpened,  // the picked drive's node could not be opened (`detail`: why)
  NoDisc,               // the picked drive holds no disc
  TitlesNotSaved,       // the local database refused the titles (`detail`: why)
  PlayerAbsent,         // the player is not there, or went away mid-way
  ImportDone,
  ExportIncomplete,  // some items could not be transferred (`detail`: which)
  ExportDone,
  PortNotANumber,        // the options dialog's proxy port (`detail`: the text)
  SettingsNotSaved,      // the options could not be stored (`detail`: why)
  SubmitInvalid,         // the entry is not fit to send (`detail`: the box text)
  Sending,               // the entry is about to be posted
  CdTextRead,            // a disc read filled the fields from the disc's CD-Text
  MusicBrainzSearching,  // the MusicBrainz lookup is about to ask
  MusicBrainzFound,      // a release's titles are in the window
  MusicBrainzNoMatch,    // no release for the disc (`detail`: why, for logs only)
  NoMusicBrainzId,       // the disc has no audio track for a MusicBrainz ID
  SourcesRefused,        // the options' sources tab holds a value it cannot take (`detail`: which)
};
inline constexpr int kWindowEventCount = static_cast<int>(WindowEvent::SourcesRefused) + 1;

// How one outcome is shown. A text marked "then detail" is followed by the
// outcome's detail (after a line break in a box, directly in the status).
struct ShownText {
  enum class Box { None, Text, TextThenDetail, Detail, ServerLine };
  enum class Status { None, Text, TextThenDetail, Detail };
  Status status = Status::None;
  const char* statusText = "";
  Box box = Box::None;
  shell::MsgIcon icon = shell::MsgIcon::Information;
  const char* boxText = "";
  bool boxFirst = false;  // the box comes before the status is written
};

ShownText TextOf(cddb::LookupEvent event);
ShownText TextOf(disc::DriveEvent event);
ShownText TextOf(WindowEvent event);
// A MusicBrainz lookup that did not bring releases is shown as the CDDB
// lookup's failure of the same kind; Found shows nothing (the titles do).
ShownText TextOf(musicbrainz::LookupOutcome outcome);
ShownText TextOf(player::PlayerEvent event);
ShownText TextOf(settings::OptionEvent event);
// The server's answer to a submission (`detail`: the answer's status line).
ShownText TextOf(submit::SubmitReply reply);

// Writes the status and shows the box of `shown`, in its order. `detail` and
// `serverLine` fill the parts marked for them.
void Show(const ShownText& shown, const std::string& detail, std::string_view serverLine,
          shell::ShellModel& model, shell::ShellServices& services);
void Show(WindowEvent event, shell::ShellModel& model, shell::ShellServices& services,
          const std::string& detail = {});

// What an export left out, by track number (from 1).
struct ExportGaps {
  bool listTitle = false;       // the play list's title could not be set
  std::vector<int> unreadable;  // the link could not read the track
  std::vector<int> tooLong;     // its title or artist is longer than the link carries
  std::vector<int> unwritten;   // the player refused the write
  bool Empty() const { return !listTitle && unreadable.empty() && tooLong.empty() && unwritten.empty(); }
};
// What the status line names of `gaps`: each list its first 20 tracks, and
// counts the rest.
std::string ExportGapsText(const ExportGaps& gaps);

// Asked before an export: whether the artists go to the player as well.
inline constexpr const char* kRegisterArtistQuestion = "アーティスト名も登録しますか？。";
// The box for a proxy port that is not a whole number.
std::string PortNotANumberText(const std::string& portText);

// Why an entry is not fit to send (the SubmitInvalid box): the first line
// of each box, then the reasons.
inline constexpr const char* kSubmitInvalidText = "入力漏れがあるか全角文字があります。";
// A failed check: the first line, then one line for each field refused for
// its form and for each character that cannot be sent.
std::string CheckFailureText(const submit::CheckResult& check);
inline constexpr const char* kNoTocToSubmitText = "CDの目次が読み込まれていないため送信できません。";
inline constexpr const char* kEmailUnsendableText =
    "メールアドレスを送信できません。オプションで設定し直してください。";
std::string RevisionTooHighText(long long revision);
std::string EntryTooLargeText();

// The hooks through which the lookup reports to this window and asks it.
// While `*otherSourceFollows` is true (another source is asked when the
// CDDB server has no match), its "no match" is a status without a box: the
// lookup goes on.
cddb::LookupHooks LookupHooksFor(shell::ShellModel& model, shell::ShellServices& services,
                                 const bool* otherSourceFollows = nullptr);
// The hook through which the drives report to this window.
disc::DriveHook DriveHookFor(shell::ShellModel& model, shell::ShellServices& services);
// The hooks through which the player link reports to this window and asks it.
player::PlayerHooks PlayerHooksFor(shell::ShellModel& model, shell::ShellServices& services);
// The hook through which the options dialog's server tab reports.
settings::OptionHook OptionHookFor(shell::ShellModel& model, shell::ShellServices& services);

// The caption and the text of the question after a failed read from the
// player.
inline constexpr const char* kFailedReadCaption = "HRCHECK: ";
std::string FailedReadText(const player::FailedRead& read);
// The box text of a failure to bind the player (creation or interface).
std::string PlayerBindFailureText(const player::PlayerReport& report);

// The second line of a refusing server's box when the server does not know
// this program.
inline constexpr const char* kUnknownClientHint =
    "サーバがこのプログラムのクライアント名（SLB）を知りません。登録のしかたはヘルプの"
    "「サーバにクライアントが登録されていないとき」をご覧ください。";
// The text of the box for a refusing server's status line.
std::string ServerReplyBoxText(std::string_view line);
// The warning about drive nodes that could not be opened (node, errno):
// one line per node, and what gives access when permission was missing.
std::string DeviceProblemText(const std::vector<std::pair<std::string, int>>& problems);
// The reason a reply's titles are not saved: bytes that did not decode.
std::string UndecodableText(const cddb::UndecodableBytes& bytes);

}  // namespace sl::mainform
