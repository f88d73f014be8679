// sonolabel-cli: the window's core without the window. Texts the window would
// show in a box or in the status bar go to stderr, one line each; results go
// to stdout. Exit status: 0 done, 1 the operation failed, 2 usage error.
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <iostream>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "cddb/cddb.h"
#include "demo/demo.h"
#include "fields.h"
#include "mainform/mainform.h"
#include "platform/json.h"
#include "platform/install_paths.h"
#include "settings/settings.h"
#include "shell/services.h"

namespace {

using sl::mainform::TFormMain;

constexpr int kDone = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

constexpr const char* kUsageText =
    "usage: sonolabel-cli COMMAND [OPTIONS]\n"
    "\n"
    "commands:\n"
    "  drives                       list the CD-ROM drives: index, adapter:target:lun, name\n"
    "                               (exit 1 when a drive cannot be opened; stderr says why)\n"
    "  discid [--drive N]           print the disc's ID, track count, frame offsets and\n"
    "                               length in seconds (the line cd-discid prints)\n"
    "  disc [--drive N]             read the disc and print the window's fields as JSON\n"
    "  lookup [--drive N | --toc TOC [--lsft K]] [--server URL] [--choose K] [--email ADDR]\n"
    "                               look the disc up on a CDDB server; print JSON\n"
    "  sites [--server URL] [--email ADDR]\n"
    "                               fetch the server's mirror list; print the stored hosts\n"
    "  player import [--drive N]    take the titles of the DSMP player's play list; print JSON\n"
    "  player export [--drive N] [--fields FILE] [--artists yes|no]\n"
    "                               put FILE's fields into the window, then fill in the play\n"
    "                               list's missing titles (and artists with --artists yes)\n"
    "  submit [--drive N] --fields FILE [--dry-run] [--test]\n"
    "                               put FILE's fields into the window and submit the entry\n"
    "                               to the selected server; print the server's reply\n"
    "  help, --help                 print this text\n"
    "  --version                    print the version\n"
    "\n"
    "options:\n"
    "  --demo         run the command on the demo: simulated drives from the demo\n"
    "                 drives file, a local CDDB server with the demo entries and\n"
    "                 dsmp-sim with the demo play list; settings, titles and play\n"
    "                 list in $XDG_STATE_HOME/sonolabel-demo\n"
    "  --drive N      drive box item N, from 0 (default 0)\n"
    "  --server URL   CDDB server for this run: http://host[:port][/path] ; the path\n"
    "                 defaults to /~cddb/cddb.cgi and a trailing \"?\" may be left out\n"
    "  --toc TOC      look up this table of contents instead of a drive's: track\n"
    "                 starts then the lead-out, \"M:S:F M:S:F ...\"\n"
    "  --lsft K       the last session's first track of --toc (0: single session)\n"
    "  --choose K     answer the match dialog with row K (from 1); 0 cancels\n"
    "  --email ADDR   answer the e-mail prompt of a first start\n"
    "  --fields FILE  window fields as JSON, as disc and lookup print them: discid,\n"
    "                 category, genre, artist, title, year, tracks [{title, artist}, ...]\n"
    "                 (rows from 1; keys it lacks leave their field as it was); a file\n"
    "                 for another disc, or with more tracks than the disc, is refused.\n"
    "                 With \"revision\" N (a correction, as lookup prints it) submit\n"
    "                 sends N + 1 and the file's extd, extt and playorder; without\n"
    "                 it, revision 0 and empty lines (a new entry)\n"
    "  --artists yes|no  answer the export's question (default no)\n"
    "  --dry-run      print the entry's bytes exactly as they would be sent; send nothing\n"
    "  --test         send the entry with \"Submit-Mode: test\"\n"
    "\n"
    "exit status: 0 done, 1 the operation failed, 2 usage error\n"
    "environment: SONOLABEL_ASPI, SONOLABEL_SIM_DRIVES, SONOLABEL_INI, SONOLABEL_WINDIR,\n"
    "             SONOLABEL_CODEPAGE, SONOLABEL_DSMP (the player program),\n"
    "             XDG_RUNTIME_DIR (where the player is found)\n";

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

  void MessageBox(sl::shell::MsgIcon, const std::string& text) override {
    std::cerr << text << '\n';
  }
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
        std::cerr << i << '\t' << dialog.rows[i][0] << '\t' << dialog.rows[i][1] << " / "
                  << dialog.rows[i][2] << '\n';
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

// A JSON string (valid UTF-8 guaranteed, so jq and friends take it).
std::string JsonString(const std::string& s) { return sl::platform::json::Quote(s); }

std::string WindowJson(TFormMain& form) {
  auto& model = form.Model();
  const auto& t = model.Table();
  char id[16];
  std::snprintf(id, sizeof id, "%08X", form.DiscId());
  std::string out = "{\"discid\":" + JsonString(id) + ",\"category\":" + JsonString(t.Category()) +
                    ",\"genre\":" + JsonString(t.Genre()) + ",\"artist\":" + JsonString(t.Artist()) +
                    ",\"title\":" + JsonString(t.Title()) + ",\"year\":" + JsonString(t.Year()) +
                    ",\"tracks\":[";
  for (int row = 1; row < t.RowCount(); ++row) {
    if (row > 1) out += ",";
    out += "{\"title\":" + JsonString(t.Cell(1, row)) + ",\"artist\":" + JsonString(t.Cell(2, row)) + "}";
  }
  out += "]";
  // The entry read for this disc: its revision and the text the window does
  // not show, for a correction to send back.
  if (const auto revision = form.ReadRevision()) out += ",\"revision\":" + std::to_string(*revision);
  if (const auto kept = form.ReadKeptText()) {
    out += ",\"extd\":" + JsonString(kept->extd) + ",\"extt\":[";
    for (int n = 0; n < form.TrackCount(); ++n) {
      const auto at = static_cast<std::size_t>(n);
      if (n > 0) out += ",";
      out += JsonString(at < kept->extt.size() ? kept->extt[at] : std::string());
    }
    out += "],\"playorder\":" + JsonString(kept->playorder);
  }
  out += ",\"status\":" + JsonString(model.Status(0)) + "}";
  return out;
}

bool ParseInt(const char* text, int& value) {
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(text, &end, 10);
  if (!*text || *end || errno || v < -1000000 || v > 1000000) return false;
  value = static_cast<int>(v);
  return true;
}

struct Args {
  std::string command;
  int drive = 0;
  bool driveGiven = false;
  std::optional<std::string> server;
  std::optional<std::string> toc;
  int lsft = 0;
  bool lsftGiven = false;
  std::optional<std::string> fields;
  bool dryRun = false;
  bool testMode = false;
};

// Options that stand alone, without a value.
bool IsFlag(const std::string& option) { return option == "--dry-run" || option == "--test"; }

// The options each command takes.
const std::set<std::string>& OptionsOf(const std::string& command) {
  static const std::set<std::string> none;
  static const std::set<std::string> drive = {"--drive"};
  static const std::set<std::string> lookup = {"--drive", "--toc", "--lsft", "--server", "--choose", "--email"};
  static const std::set<std::string> sites = {"--server", "--email"};
  static const std::set<std::string> submit = {"--drive", "--fields", "--dry-run", "--test"};
  if (command == "submit") return submit;
  if (command == "discid" || command == "disc") return drive;
  if (command == "lookup") return lookup;
  if (command == "sites") return sites;
  static const std::set<std::string> import = {"--drive"};
  static const std::set<std::string> exportOptions = {"--drive", "--fields", "--artists"};
  if (command == "player import") return import;
  if (command == "player export") return exportOptions;
  return none;
}

bool IsCommand(const std::string& c) {
  return c == "drives" || c == "discid" || c == "disc" || c == "lookup" || c == "sites" ||
         c == "player import" || c == "player export" || c == "submit";
}

// Picks drive `index` as the drive box would; false when there is no such item.
bool PickDrive(TFormMain& form, int index) {
  auto& model = form.Model();
  if (index < 0 || index >= static_cast<int>(model.DriveItems().size())) {
    std::cerr << "sonolabel-cli: no drive " << index << " (" << model.DriveItems().size()
              << " found)\n";
    return false;
  }
  model.SetDriveIndex(index);
  form.ComboBox1Change();
  return true;
}

// The submit command once the drive is read: the file's fields go into the
// window, then the submit command runs. Box texts and the status have gone
// to stderr; stdout gets the entry (dry run) or the server's reply.
// Titles never travel to another disc: a fields file that names another disc,
// or has more tracks than this one, is refused with both named.
bool FieldsFitTheDisc(TFormMain& form, const sl::cli::WindowFields& fields) {
  char id[16];
  std::snprintf(id, sizeof id, "%08X", form.DiscId());
  const std::string why = sl::cli::ForeignFields(fields, id, form.TrackCount());
  if (why.empty()) return true;
  std::cerr << "sonolabel-cli: " << why << "; nothing was changed or sent\n";
  return false;
}

int Submit(TFormMain& form, const Args& args, const sl::cli::WindowFields& fields, bool read) {
  if (!read) return kFailed;
  if (!FieldsFitTheDisc(form, fields)) return kFailed;
  auto& model = form.Model();
  const int dropped = sl::cli::ApplyFields(fields, model.Table());
  if (dropped > 0)
    std::cerr << "sonolabel-cli: " << dropped << " track(s) of the fields file beyond the disc's "
              << model.Table().RowCount() - 1 << " ignored\n";
  if (!model.Menu(sl::shell::MenuId::S1).enabled) {
    std::cerr << "sonolabel-cli: the submit command is not available: the settings hold no "
                 "submission address (submitemail)\n";
    return kFailed;
  }
  using Result = TFormMain::SubmitOutcome::Result;
  // A correction sends the corrected entry's own text back with it.
  const auto revision = sl::cli::SubmissionRevision(fields);
  std::optional<sl::submit::KeptText> kept;
  if (revision)
    kept = sl::submit::KeptText{fields.extd.value_or(""), fields.extt, fields.playorder.value_or("")};
  const auto out = form.Submit(
      {.dryRun = args.dryRun, .testMode = args.testMode, .revision = revision, .kept = kept});
  switch (out.result) {
    case Result::Built:
      std::cout << out.entry << std::flush;
      return kDone;
    case Result::Accepted:
      std::cout << out.reply << std::flush;
      return kDone;
    case Result::NotAccepted:
      std::cout << out.reply << std::flush;
      return kFailed;
    case Result::Invalid:
    case Result::Refused:
      break;
  }
  return kFailed;
}

int Run(int argc, char** argv) {
  std::vector<std::string> words(argv + 1, argv + argc);
  for (const auto& w : words) {
    if (w == "--help" || w == "-h") {
      std::cout << kUsageText;
      return kDone;
    }
    if (w == "--version") {
      std::cout << "sonolabel-cli " << sl::mainform::kVersion << '\n';
      return kDone;
    }
  }
  // --demo may stand anywhere; it belongs to no command.
  const auto demoWord = std::find(words.begin(), words.end(), "--demo");
  const bool demoMode = demoWord != words.end();
  if (demoMode) words.erase(demoWord);
  if (demoMode && std::find(words.begin(), words.end(), "--demo") != words.end())
    return UsageError("--demo given twice");
  if (words.empty()) return UsageError("no command given");
  if (words[0] == "help") {
    std::cout << kUsageText;
    return kDone;
  }

  Args args;
  args.command = words[0];
  if (args.command == "player") {
    if (words.size() < 2 || (words[1] != "import" && words[1] != "export"))
      return UsageError("'player' needs 'import' or 'export'");
    args.command += " " + words[1];
    words.erase(words.begin());
  }
  if (!IsCommand(args.command)) return UsageError("unknown command '" + args.command + "'");
  CliServices services;
  const auto& allowed = OptionsOf(args.command);
  for (std::size_t i = 1; i < words.size(); ++i) {
    const std::string& a = words[i];
    if (!allowed.count(a)) {
      return UsageError(a.rfind("--", 0) == 0 ? "'" + args.command + "' takes no option " + a
                                              : "unexpected argument '" + a + "'");
    }
    if (IsFlag(a)) {
      (a == "--dry-run" ? args.dryRun : args.testMode) = true;
      continue;
    }
    if (i + 1 >= words.size()) return UsageError(a + " needs a value");
    const std::string& value = words[++i];
    if (a == "--drive") {
      if (!ParseInt(value.c_str(), args.drive) || args.drive < 0)
        return UsageError("--drive needs a drive number from 0, not '" + value + "'");
      args.driveGiven = true;
    } else if (a == "--toc") {
      args.toc = value;
    } else if (a == "--lsft") {
      if (!ParseInt(value.c_str(), args.lsft) || args.lsft < 0)
        return UsageError("--lsft needs a track number (0: single session), not '" + value + "'");
      args.lsftGiven = true;
    } else if (a == "--server") {
      std::string why;
      auto url = sl::cddb::NormalizeServerUrl(value, why);
      if (!url) return UsageError("--server: " + why);
      args.server = *url;
    } else if (a == "--choose") {
      int k = 0;
      if (!ParseInt(value.c_str(), k) || k < 0)
        return UsageError("--choose needs a row number (0 cancels), not '" + value + "'");
      services.choose = k;
    } else if (a == "--email") {
      services.email = value;
    } else if (a == "--fields") {
      args.fields = value;
    } else if (a == "--artists") {
      if (value != "yes" && value != "no") return UsageError("--artists needs yes or no, not '" + value + "'");
      services.artists = value == "yes";
    }
  }
  const std::string& cmd = args.command;
  std::optional<sl::disc::DiscToc> givenToc;
  if (args.toc) {
    if (args.driveGiven) return UsageError("--toc and --drive name two discs; give one");
    std::string why;
    givenToc = sl::disc::ParseTocText(*args.toc, args.lsft, why);
    if (!givenToc) return UsageError("--toc: " + why);
  } else if (args.lsftGiven) {
    return UsageError("--lsft belongs to --toc");
  }
  // The fields file is read before anything else, so a bad one stops the
  // run before the drive or the server is touched.
  std::optional<sl::cli::WindowFields> fields;
  if (cmd == "submit") {
    if (!args.fields) return UsageError("submit needs --fields FILE");
    std::string why;
    fields = sl::cli::ReadFieldsFile(*args.fields, why);
    if (!fields) return UsageError("--fields: " + why);
  }

  // The configuration, read once here: the environment, then the demo's
  // changes to it (its server stops when this returns), then the paths.
  sl::config::Configuration env = sl::config::ReadConfiguration(sl::config::ProcessEnvironment());
  sl::demo::DemoSession demo;
  if (demoMode) {
    std::string why;
    const std::string exe = sl::platform::RunningExecutable();
    if (!demo.Start(std::filesystem::path(exe).parent_path().string(), env, why)) {
      std::cerr << "sonolabel-cli: " << why << '\n';
      return kFailed;
    }
  }
  sl::mainform::ResolvePaths(env);
  // The window's settings file, not one named after this program: the two
  // faces share servers, address and options.
  env.iniPath =
      sl::settings::SharedSettingsPath(std::filesystem::path(env.exePath).parent_path().string(), env);
  sl::mainform::ApplyProcessWideSettings(env);
  TFormMain form(services, env);
  form.Model().onStatus = [](int panel, const std::string& text) {
    if (panel == 0) std::cerr << text << '\n';
  };
  form.FormCreate();

  if (cmd == "drives") {
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
  if (cmd == "sites") {
    form.FormShow();
    if (args.server) form.SetServerUrl(*args.server);
    form.tunedexS2Click();
    for (const auto& host : form.StoredServerHosts()) std::cout << host << '\n';
    return form.LastReplyOutcome() == sl::cddb::CddbLookup::ReplyOutcome::Done ? kDone : kFailed;
  }
  if (cmd == "lookup" || cmd == "submit") {
    form.FormShow();
    if (args.server) form.SetServerUrl(*args.server);
  }
  if (givenToc) {
    form.UseToc(*givenToc);
  } else if (!PickDrive(form, args.drive)) {
    return kFailed;
  }
  if (cmd == "player import") {
    form.MenuDSMPImportClick();
    std::cout << WindowJson(form) << '\n';
    return form.Model().Status(0) == "DSMPからリスト取込完了" ? kDone : kFailed;
  }
  if (cmd == "player export") {
    if (args.fields) {
      std::string error;
      const auto given = sl::cli::ReadFieldsFile(*args.fields, error);
      if (!given) {
        std::cerr << "sonolabel-cli: " << error << '\n';
        return kFailed;
      }
      if (!FieldsFitTheDisc(form, *given)) return kFailed;
      sl::cli::ApplyFields(*given, form.Model().Table());
      // Fields given count as titles loaded: the export is enabled.
      form.Model().SetEnabled(sl::shell::MenuId::MenuDSMPExport, true);
    }
    if (!form.Model().Menu(sl::shell::MenuId::MenuDSMPExport).enabled) {
      std::cerr << "sonolabel-cli: no titles to export: read them from a server, the local database "
                   "or --fields FILE first\n";
      return kFailed;
    }
    form.MenuDSMPExportClick();
    std::cout << WindowJson(form) << '\n';
    return form.Model().Status(0) == "DSMPに転送完了しました。" ? kDone : kFailed;
  }
  const bool read = form.TocRead() && form.TrackCount() > 0;
  if (cmd == "discid") {
    if (!read) return kFailed;
    std::cout << form.DiscLine() << '\n';
    return kDone;
  }
  if (cmd == "disc") {
    std::cout << WindowJson(form) << '\n';
    return read ? kDone : kFailed;
  }
  if (cmd == "submit") return Submit(form, args, *fields, read);
  // lookup
  if (!read) return kFailed;
  form.C1Click();
  std::cout << WindowJson(form) << '\n';
  // Titles received but not saved is a failed lookup: the box said why.
  return form.Model().Status(0) == "曲名取得完了" && !form.SaveFailed() ? kDone : kFailed;
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
