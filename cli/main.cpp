// sonolabel-cli: the window's core without the window. Texts the window would
// show in a box or in the status bar go to stderr, one line each; results go
// to stdout. Exit status: 0 done, 1 the operation failed, 2 usage error.
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "cddb/cddb.h"
#include "command_line.h"
#include "demo/demo.h"
#include "exit_status.h"
#include "fields.h"
#include "mainform/mainform.h"
#include "platform/bounded_json.h"
#include "platform/install_paths.h"
#include "settings/settings.h"
#include "shell/services.h"

namespace {

using sl::cli::CommandLine;
using sl::mainform::MainWindowLogic;
using sl::platform::Json;

constexpr int kDone = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

// A usage error: the message and a pointer to --help on stderr, exit 2.
int UsageError(const std::string& message) {
  std::cerr << "sonolabel-cli: " << message << "\n"
            << "Try 'sonolabel-cli --help' for more information.\n";
  return kUsage;
}

// Reads one line from the terminal, or nothing when stdin is not one.
std::optional<std::string> AskTerminal(const std::string& prompt) {
  if (!::isatty(STDIN_FILENO)) return std::nullopt;
  std::cerr << prompt << std::flush;
  std::string line;
  if (!std::getline(std::cin, line)) return std::nullopt;
  return line;
}

class CliServices : public sl::shell::ShellServices {
 public:
  std::optional<std::string> email;
  std::optional<int> choose;
  bool artists = false;  // the export's question

  sl::shell::MsgAnswer QuestionBox(const std::string& caption, const std::string& text,
                                   sl::shell::MsgButtons buttons) override {
    std::cerr << caption << text << '\n';
    if (buttons == sl::shell::MsgButtons::YesNo) {
      std::cerr << (artists ? "yes" : "no") << '\n';
      return artists ? sl::shell::MsgAnswer::Yes : sl::shell::MsgAnswer::No;
    }
    // A failure prompt: go on with what the player left.
    return sl::shell::MsgAnswer::No;
  }

  void MessageBox(sl::shell::MsgIcon, const std::string& text) override { std::cerr << text << '\n'; }
  std::string InputBox(const std::string& caption, const std::string& prompt,
                       const std::string& placeholder) override {
    if (email) return *email;
    auto answer = AskTerminal(caption + ": " + prompt + " [" + placeholder + "] ");
    if (!answer) return placeholder;  // no terminal: as if cancelled
    return answer->empty() ? placeholder : *answer;
  }
  void SetBusyCursor(bool) override {}
  int ShowMatchDialog(sl::shell::MatchDialogModel& dialog) override {
    if (!choose) {
      for (std::size_t i = 1; i < dialog.rows.size(); ++i)
        std::cerr << i << '\t' << dialog.rows[i][0] << '\t' << dialog.rows[i][1] << " / " << dialog.rows[i][2]
                  << '\n';
      auto answer = AskTerminal("row (0 = Cancel): ");
      if (!answer) {
        // A pipe cancels; say what would have gone on.
        const std::size_t n = dialog.rows.size() - 1;
        std::cerr << "sonolabel-cli: the server offers " << n
                  << " matches and no terminal is there to ask which one: run again with "
                     "--choose K (K = 1 to "
                  << n << ", 0 = Cancel)\n";
        return -1;
      }
      // A row number (blanks around it allowed); anything else, a number
      // too large for int included, cancels.
      const auto first = answer->find_first_not_of(" \t\r");
      const auto last = answer->find_last_not_of(" \t\r");
      int row = 0;
      if (first != std::string::npos) {
        const char* end = answer->data() + last + 1;
        const auto r = std::from_chars(answer->data() + first, end, row);
        if (r.ec != std::errc() || r.ptr != end) row = 0;
      }
      choose = row;
    }
    const int k = *choose;
    if (k <= 0 || k >= static_cast<int>(dialog.rows.size())) return -1;
    dialog.currentRow = k;
    return k;
  }
};

// The name the JSON gives a source of titles; nullptr for none.
const char* SourceName(sl::mainform::TitleSource source) {
  using sl::mainform::TitleSource;
  switch (source) {
    case TitleSource::None: return nullptr;
    case TitleSource::Cddb: return "cddb";
    case TitleSource::MusicBrainz: return "musicbrainz";
    case TitleSource::CdText: return "cd-text";
  }
  return nullptr;
}

// The window's fields as one JSON object, in the order a reader of the
// output finds them: the disc, its tracks, the entry read for it, where the
// titles came from, the status. Titles from the CDDB server are named so
// only when `nameCddb` (the run could have asked MusicBrainz too): a run
// that knows only the CDDB server prints what it always printed.
std::string WindowJson(MainWindowLogic& form, bool nameCddb = false) {
  auto& model = form.Model();
  const auto& t = model.Table();
  char id[16];
  std::snprintf(id, sizeof id, "%08X", form.DiscId());
  Json out = Json::object();
  out["discid"] = id;
  out["category"] = t.Category();
  out["genre"] = t.Genre();
  out["artist"] = t.Artist();
  out["title"] = t.Title();
  out["year"] = t.Year();
  Json tracks = Json::array();
  for (int row = 1; row < t.RowCount(); ++row)
    tracks.push_back(Json{{"title", t.Cell(1, row)}, {"artist", t.Cell(2, row)}});
  out["tracks"] = std::move(tracks);
  // The entry read for this disc: its revision and the text the window does
  // not show, for a correction to send back.
  if (const auto revision = form.ReadRevision()) out["revision"] = *revision;
  if (const auto kept = form.ReadKeptText()) {
    out["extd"] = kept->extd;
    Json extt = Json::array();
    for (int n = 0; n < form.TrackCount(); ++n) {
      const auto at = static_cast<std::size_t>(n);
      extt.push_back(at < kept->extt.size() ? kept->extt[at] : std::string());
    }
    out["extt"] = std::move(extt);
    out["playorder"] = kept->playorder;
  }
  const auto source = form.TitlesSource();
  if (const char* name = SourceName(source); name && (source != sl::mainform::TitleSource::Cddb || nameCddb))
    out["source"] = name;
  if (source == sl::mainform::TitleSource::MusicBrainz) {
    out["mbid"] = form.MusicBrainzDiscId();
    out["release"] = form.MusicBrainzRelease();
  }
  out["status"] = model.Status(0);
  // Text that is not well-formed UTF-8 is written with U+FFFD, so jq and
  // friends take the output.
  return sl::platform::WriteJson(out);
}

// Picks drive `index` as the drive box would; false when there is no such item.
bool PickDrive(MainWindowLogic& form, int index) {
  auto& model = form.Model();
  if (index < 0 || index >= static_cast<int>(model.DriveItems().size())) {
    std::cerr << "sonolabel-cli: no drive " << index << " (" << model.DriveItems().size() << " found)\n";
    return false;
  }
  model.SetDriveIndex(index);
  form.ChooseDrive();
  return true;
}

// Titles never travel to another disc: a fields file that names another disc,
// or has more tracks than this one, is refused with both named.
bool FieldsFitTheDisc(MainWindowLogic& form, const sl::cli::WindowFields& fields) {
  char id[16];
  std::snprintf(id, sizeof id, "%08X", form.DiscId());
  const std::string why = sl::cli::ForeignFields(fields, id, form.TrackCount());
  if (why.empty()) return true;
  std::cerr << "sonolabel-cli: " << why << "; nothing was changed or sent\n";
  return false;
}

// The disc the command line names: the table of contents given, or a drive.
bool ChooseDisc(MainWindowLogic& form, const CommandLine& line) {
  if (line.toc) {
    form.UseToc(*line.toc);
    return true;
  }
  return PickDrive(form, line.drive);
}

// Whether the chosen disc's table of contents was read and holds tracks.
bool DiscRead(MainWindowLogic& form) { return form.TocRead() && form.TrackCount() > 0; }

// The commands that run against the server start as the window does when
// shown, with this run's server in place of the stored one.
void ShowWindowFor(MainWindowLogic& form, const CommandLine& line) {
  form.ApplyStartupSettings();
  if (line.serverUrl) form.SetServerUrl(*line.serverUrl);
}

// drives: one line per drive box item.
int ListDrives(MainWindowLogic& form) {
  // The layer's own box has said why it could not be used.
  if (form.HostAdapterCount() < 0) return kFailed;
  const auto& items = form.Model().DriveItems();
  bool unusable = false;
  for (std::size_t i = 0; i < items.size(); ++i) {
    std::cout << i << '\t' << form.DriveAddressText(static_cast<int>(i)) << '\t' << items[i] << '\n';
    unusable = unusable || form.DriveCannotBeOpened(static_cast<int>(i));
  }
  // The layer's box has said which drives could not be opened and why.
  return unusable ? kFailed : kDone;
}

// sites: the server-list command, then the hosts stored after the merge.
int FetchServerList(MainWindowLogic& form, const CommandLine& line) {
  ShowWindowFor(form, line);
  form.FetchServerList();
  for (const auto& host : form.StoredServerHosts()) std::cout << host << '\n';
  return sl::cli::ExitStatusFor(form.LastCommandOutcome());
}

// discid: the line cd-discid prints.
int PrintDiscId(MainWindowLogic& form, const CommandLine& line) {
  if (!ChooseDisc(form, line)) return kFailed;
  if (!DiscRead(form)) return kFailed;
  std::cout << form.DiscLine() << '\n';
  return kDone;
}

// mbid: the disc's MusicBrainz ID, then where to attach it to a release.
int PrintMusicBrainzId(MainWindowLogic& form, const CommandLine& line) {
  if (!ChooseDisc(form, line)) return kFailed;
  if (!DiscRead(form)) return kFailed;
  std::string why;
  const auto identity = form.MusicBrainzIdentity(why);
  if (!identity) {
    std::cerr << "sonolabel-cli: the disc has no MusicBrainz ID: " << why << '\n';
    return kFailed;
  }
  std::cout << identity->discId << '\n' << identity->submissionUrl << '\n';
  return kDone;
}

// The order of the lookup --source names; the settings' when none is given.
sl::mainform::LookupOrder OrderFor(MainWindowLogic& form, const CommandLine& line) {
  using sl::mainform::LookupOrder;
  const LookupOrder stored = sl::mainform::LookupOrderFor(form.TitleSources().musicBrainzUse);
  if (!line.source) return stored;
  if (*line.source == "cddb") return LookupOrder::CddbOnly;
  if (*line.source == "musicbrainz") return LookupOrder::MusicBrainzOnly;
  // Both: in the settings' order when they name one, else the CDDB server first.
  return stored == LookupOrder::MusicBrainzThenCddb ? stored : LookupOrder::CddbThenMusicBrainz;
}

// disc: the window's fields after the drive was read.
int PrintDisc(MainWindowLogic& form, const CommandLine& line) {
  if (!ChooseDisc(form, line)) return kFailed;
  const bool read = DiscRead(form);
  std::cout << WindowJson(form) << '\n';
  return read ? kDone : kFailed;
}

// lookup: the lookup command on the chosen disc, then the window's fields.
int LookUpDisc(MainWindowLogic& form, const CommandLine& line) {
  ShowWindowFor(form, line);
  if (!ChooseDisc(form, line)) return kFailed;
  if (!DiscRead(form)) return kFailed;
  const auto order = OrderFor(form, line);
  form.LookUpTitles(order);
  std::cout << WindowJson(form, order != sl::mainform::LookupOrder::CddbOnly) << '\n';
  // Titles received but not saved is a failed lookup: the box said why.
  return sl::cli::ExitStatusFor(form.LastCommandOutcome());
}

// submit: the file's fields go into the window, then the submit command
// runs. Box texts and the status have gone to stderr; stdout gets the entry
// (dry run) or the server's reply.
int SubmitEntry(MainWindowLogic& form, const CommandLine& line, const sl::cli::WindowFields& fields) {
  ShowWindowFor(form, line);
  if (!ChooseDisc(form, line)) return kFailed;
  if (!DiscRead(form)) return kFailed;
  if (!FieldsFitTheDisc(form, fields)) return kFailed;
  auto& model = form.Model();
  const int dropped = sl::cli::ApplyFields(fields, model.Table());
  if (dropped > 0)
    std::cerr << "sonolabel-cli: " << dropped << " track(s) of the fields file beyond the disc's "
              << model.Table().RowCount() - 1 << " ignored\n";
  if (!model.Menu(sl::shell::MenuId::SubmitEntry).enabled) {
    std::cerr << "sonolabel-cli: the submit command is not available: the settings hold no "
                 "submission address (submitemail)\n";
    return kFailed;
  }
  using Result = MainWindowLogic::SubmitOutcome::Result;
  // A correction sends the corrected entry's own text back with it.
  const auto revision = sl::cli::SubmissionRevision(fields);
  std::optional<sl::submit::KeptText> kept;
  if (revision)
    kept = sl::submit::KeptText{fields.extd.value_or(""), fields.extt, fields.playorder.value_or("")};
  const auto out =
      form.Submit({.dryRun = line.dryRun, .testMode = line.testMode, .revision = revision, .kept = kept});
  switch (out.result) {
    case Result::Built: std::cout << out.entry << std::flush; return kDone;
    case Result::Accepted: std::cout << out.reply << std::flush; return kDone;
    case Result::NotAccepted: std::cout << out.reply << std::flush; return kFailed;
    case Result::Invalid:
    case Result::Refused: break;
  }
  return kFailed;
}

// player import: the play list's titles into the window.
int ImportFromPlayer(MainWindowLogic& form, const CommandLine& line) {
  if (!ChooseDisc(form, line)) return kFailed;
  form.ImportFromPlayer();
  std::cout << WindowJson(form) << '\n';
  return sl::cli::ExitStatusFor(form.LastCommandOutcome());
}

// player export: the file's fields (if any) into the window, then the
// window's titles into the play list.
int ExportToPlayer(MainWindowLogic& form, const CommandLine& line) {
  if (!ChooseDisc(form, line)) return kFailed;
  if (line.fieldsPath) {
    std::string error;
    const auto given = sl::cli::ReadFieldsFile(*line.fieldsPath, error);
    if (!given) {
      std::cerr << "sonolabel-cli: " << error << '\n';
      return kFailed;
    }
    if (!FieldsFitTheDisc(form, *given)) return kFailed;
    sl::cli::ApplyFields(*given, form.Model().Table());
    // Fields given count as titles loaded: the export is enabled.
    form.Model().SetEnabled(sl::shell::MenuId::ExportToPlayer, true);
  }
  if (!form.Model().Menu(sl::shell::MenuId::ExportToPlayer).enabled) {
    std::cerr << "sonolabel-cli: no titles to export: read them from a server, the local database "
                 "or --fields FILE first\n";
    return kFailed;
  }
  form.ExportToPlayer();
  std::cout << WindowJson(form) << '\n';
  return sl::cli::ExitStatusFor(form.LastCommandOutcome());
}

int RunCommand(MainWindowLogic& form, const CommandLine& line,
               const std::optional<sl::cli::WindowFields>& submitFields) {
  const std::string& c = line.command;
  if (c == "drives") return ListDrives(form);
  if (c == "sites") return FetchServerList(form, line);
  if (c == "discid") return PrintDiscId(form, line);
  if (c == "mbid") return PrintMusicBrainzId(form, line);
  if (c == "disc") return PrintDisc(form, line);
  if (c == "lookup") return LookUpDisc(form, line);
  if (c == "submit" && submitFields) return SubmitEntry(form, line, *submitFields);
  if (c == "player import") return ImportFromPlayer(form, line);
  if (c == "player export") return ExportToPlayer(form, line);
  std::cerr << "sonolabel-cli: no command '" << c << "'\n";
  return kUsage;
}

int Run(int argc, char** argv) {
  const auto parsed = sl::cli::ParseCommandLine(argc, argv);
  switch (parsed.action) {
    case sl::cli::ParsedCommandLine::Action::Help: std::cout << sl::cli::kUsageText; return kDone;
    case sl::cli::ParsedCommandLine::Action::Version:
      std::cout << "sonolabel-cli " << sl::mainform::kVersion << '\n';
      return kDone;
    case sl::cli::ParsedCommandLine::Action::UsageError: return UsageError(parsed.error);
    case sl::cli::ParsedCommandLine::Action::Run: break;
  }
  const CommandLine& line = parsed.line;
  // The fields file is read before anything else, so a bad one stops the
  // run before the drive or the server is touched.
  std::optional<sl::cli::WindowFields> submitFields;
  if (line.command == "submit") {
    std::string why;
    submitFields = sl::cli::ReadFieldsFile(*line.fieldsPath, why);
    if (!submitFields) return UsageError("--fields: " + why);
  }

  // The configuration, read once here: the environment, then the demo's
  // changes to it (its server stops when this returns), then the paths.
  sl::config::Configuration env = sl::config::ReadConfiguration(sl::config::ProcessEnvironment());
  sl::demo::DemoSession demo;
  if (line.demo) {
    std::string why;
    const std::string exe = sl::platform::RunningExecutable();
    if (!demo.Start(std::filesystem::path(exe).parent_path().string(), env, why)) {
      std::cerr << "sonolabel-cli: " << why << '\n';
      return kFailed;
    }
  }
  CliServices services;
  services.email = line.email;
  services.choose = line.choose;
  services.artists = line.artists;
  sl::mainform::ResolvePaths(env);
  // The window's settings file, not one named after this program: the two
  // faces share servers, address and options.
  env.iniPath =
      sl::settings::SharedSettingsPath(std::filesystem::path(env.exePath).parent_path().string(), env);
  sl::mainform::ApplyProcessWideSettings(env);
  MainWindowLogic form(services, env);
  form.Model().onStatus = [](int panel, const std::string& text) {
    if (panel == 0) std::cerr << text << '\n';
  };
  form.OpenSettingsFile();
  return RunCommand(form, line, submitFields);
}

// Everything written to stdout must have reached it: a full disk or any
// other write error makes the run a failure, with the reason, whatever the
// command did (a half-written fields.json is no result). A closed pipe ends
// the program by SIGPIPE as usual.
int CheckStdout(int status) {
  errno = 0;
  std::cout.flush();
  const bool streamFailed = !std::cout;
  int error = errno;
  if (std::fflush(stdout) != 0 || std::ferror(stdout) || streamFailed) {
    if (errno != 0) error = errno;
    std::cerr << "sonolabel-cli: cannot write to standard output: "
              << (error != 0 ? std::strerror(error) : "write error") << '\n';
    return kFailed;
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  int status;
  try {
    status = Run(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << "sonolabel-cli: " << e.what() << '\n';
    status = kFailed;
  }
  return CheckStdout(status);
}
