// The CDDB lookup: builds the query, read and sites requests, sends them
// through the HTTP client, and applies the replies to the window's fields
// (single match, match choice, database entry, server list). What happened
// is reported as a LookupReport; the window decides how to show it.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "net/http_client.h"
#include "settings/serverlist.h"
#include "settings/settings.h"
#include "shell/model.h"

namespace sl::cddb {

enum RequestKindValue { Query = 0, Read = 1, Sites = 2 };

// Address offered in the e-mail prompt and stored when the prompt is cancelled.
inline constexpr const char* kPlaceholderEmail = "anonymous@dummy.invalid";
inline constexpr const char* kClientName = "SLB";
inline constexpr const char* kClientVersion = "1.311";

// Most lines of a reply that are looked at, and most matches offered in the
// match dialog; what lies beyond is dropped.
inline constexpr std::size_t kMaxReplyLines = 65536;
inline constexpr std::size_t kMaxMatches = 10000;

// Splits a reply body into lines at CR LF, LF or CR; a final line end gives
// no empty last line. At most maxLines lines are returned.
std::vector<std::string> SplitLines(std::string_view text, std::size_t maxLines = kMaxReplyLines);
// The first maxLines lines of text, line ends included (all of it when it
// has fewer).
std::string_view RawLines(std::string_view text, std::size_t maxLines);

// Percent-encodes what may not stand raw in a request line: blanks, control
// characters and bytes above 0x7F. Everything else, "+" and "%" included,
// passes unchanged.
std::string EncodeUnsafe(std::string_view text);

// Encodes one piece of a command or of the hello string (a category or disc
// ID from a reply, the user or host part of the address): like EncodeUnsafe,
// and also the characters that would end or split the piece ("+", "&", "#",
// "%", "=", "?").
std::string EncodeHelloPart(std::string_view text);

// True when a stored host carries its own port ("127.0.0.1:8880",
// "[::1]:8880").
bool HostHasPort(std::string_view host);
// The host with ":80" added unless it names its own port: the form of a
// server picked from the menu and of every submission URL.
std::string HostWithPort(std::string_view host);

// A CDDB server URL as a user gives it ("http://host[:port][/path][?]") in
// the form every request is appended to: a missing path becomes
// "/~cddb/cddb.cgi", and a "?" (or "&" after a query already there) ends it.
// nullopt with `why` set for a URL the HTTP client can't use: another
// scheme, no host, a bad port, blanks or control characters.
std::optional<std::string> NormalizeServerUrl(std::string_view url, std::string& why);

// Most characters of a server's line that are shown.
inline constexpr std::size_t kMaxShownLineChars = 200;

// A server's status line made fit to show: control characters (C0, DEL, C1)
// become blanks, and a line over kMaxShownLineChars characters is cut there
// with "…" added. `line` is UTF-8.
std::string ShownServerLine(std::string_view line);

// True when a status line says the server does not know the client: gnudb's
// "Unknown developer email", or any 5xx line that names the developer or the
// client (case-insensitive).
bool NamesUnknownClient(std::string_view line);

// The number of an entry's "# Revision: N" comment. An entry without one,
// or with one that is not a whole number from 0 ("abc", "-1", ""), counts
// as revision 0. A number too large for a server (above 2^31 - 1) is kept
// as it was written (one with more digits than a long long holds becomes
// its largest value), so that it can be refused later instead of being
// taken for 0.
long long EntryRevision(const std::vector<std::string>& lines);
inline constexpr long long kMaxServerRevision = 2147483647;

// The value of an xmcd key: every line whose text before its first "="
// equals `key` regardless of case, their values joined in order (the xmcd
// format continues a long value on further lines with the same keyword);
// "" when there is none.
std::string EntryValue(const std::vector<std::string>& lines, std::string_view key);

// Every key of an entry with its joined value, keys in upper case. A value
// stops growing at kMaxValueBytes.
std::map<std::string, std::string> EntryValues(const std::vector<std::string>& lines);
inline constexpr std::size_t kMaxValueBytes = 64 * 1024;

// What the server's entry holds besides the fields the window shows, kept
// with the disc ID and revision it was read under, so that a correction
// sends it back unchanged.
struct ReadEntry {
  std::string discId;  // as the server named it
  long long revision = 0;
  std::string extd;
  std::vector<std::string> extt;  // EXTT0, EXTT1, ... as far as the entry has them
  std::string playorder;
};

// What happened in a lookup or a server-list fetch, reported as it happens:
// the request about to go out, then what its reply (or its absence) came to.
enum class LookupEvent {
  Querying,          // the query is about to be sent
  Reading,           // the read of the matched entry is about to be sent
  FetchingSites,     // the sites request is about to be sent
  ConnectionFailed,  // no reply: `detail` holds the transport's reason
  HttpFailed,        // an HTTP status the client does not take (`code`)
  ExactMatch,        // 200: the match line follows (applied right after)
  NoMatch,           // 202
  EntryArrived,      // 210 to a read: the entry is applied right after
  SitesSaved,        // 210 to sites: the list was stored
  SitesNotSaved,     // 210 to sites: the settings file refused it (`detail`)
  NoEntry,           // 401 to a query or a read
  NoMirrors,         // 401 to sites
  ServerFault,       // 402 (`serverLine`)
  DatabaseFault,     // 403 (`serverLine`)
  HandshakeFailed,   // 409 (`serverLine`)
  CommandRefused,    // any other code (`code`, `serverLine`)
  Malformed,         // no reply code, a list cut short or listing nothing
  MatchChosen,       // the user picked a row of the match list
  ChoiceCancelled,   // the user cancelled the match list
  EmailNotSaved,     // the prompted address could not be stored (`detail`)
};
inline constexpr int kLookupEventCount = static_cast<int>(LookupEvent::EmailNotSaved) + 1;

struct LookupReport {
  LookupEvent event = LookupEvent::Querying;
  int code = 0;            // the CDDB status code, or the HTTP status for HttpFailed
  std::string serverLine;  // the server's status line, as decoded
  std::string detail;      // why: the transport's message, the settings file's error
};

// Bytes of a reply that did not decode in the server's character set.
struct UndecodableBytes {
  std::string bytes;     // "0x81 0x20, 0x9F": adjacent ones joined by a blank, at most 8
  std::string codePage;  // the character set they were read in
  bool Empty() const { return bytes.empty(); }
};

// What the lookup asks of the window while a command runs. Each may be left
// unset: reports are then dropped, the match list counts as cancelled, the
// e-mail prompt as answered with the placeholder.
struct LookupHooks {
  std::function<void(const LookupReport&)> report;
  // Shows the match list (already filled) and returns the chosen row from
  // 1, or -1 for Cancel.
  std::function<int(shell::MatchDialogModel&)> chooseMatch;
  // Asks for the e-mail address; returns `placeholder` when cancelled.
  std::function<std::string(const std::string& placeholder)> askEmail;
  // The busy cursor around each request.
  std::function<void(bool)> busy;
};

class CddbLookup {
 public:
  CddbLookup(shell::ShellModel& model, LookupHooks hooks);

  // The settings file opened by the window; may be null before it is opened
  // and after it is released (settings then read as their defaults).
  void SetSettings(settings::SettingsFile* settings) { settings_ = settings; }

  // Run after a database entry was applied; the window saves it to the local
  // database.
  std::function<void()> onEntryApplied;

  // Start-up readers.
  void ReadMailAddress();
  void ReadServerUrl();
  void ReadProxyServer();

  // Sends one request and handles its reply before returning.
  void SendRequest(const std::string& url);
  // The lookup command for the disc whose query text is given. While any
  // other command is running (the window stays live during it) it is not
  // started. Returns what the last reply came to; nullopt when refused.
  std::optional<LookupReport> LookUpDisc(const std::string& queryCommand);
  // The server-list command; returns what its reply came to (nullopt as
  // above).
  std::optional<LookupReport> FetchServerList();
  bool Busy() const { return model_.CommandRunning(); }
  // A server item was clicked; its mark is already toggled in the model.
  void ChangeServer();
  // Uses `url` as ServerUrl (the command line's --server). It speaks as the
  // stored server of the same host, if any, else as a server without a
  // character set of its own; SubmitUrl follows the host.
  void SetServerUrl(const std::string& url);

  // Reply handling.
  void HandleCddbReply(int cmd);
  // What the last handled reply left for the face to read.
  enum class ReplyOutcome {
    None,             // no reply handled yet in this command
    Done,             // the reply did what it was asked for
    NotFound,         // no match, no entry, no mirrors
    ChoiceCancelled,  // a match list whose dialog was cancelled
    Refused,          // the server answered with an error code
    Malformed,        // no reply code, or a reply cut short or not usable
    MergeRefused,     // the server list came, but the settings file refused it
    Unreachable,      // no reply: connection or HTTP failure
  };
  ReplyOutcome LastOutcome() const { return outcome_; }
  // The last report of the command that ran last.
  const LookupReport& LastReport() const { return lastReport_; }
  // The bytes of the last read's reply that did not decode as text in the
  // server's character set; empty when every byte decoded.
  const UndecodableBytes& Undecodable() const { return undecodable_; }
  void HandleHttpFailure(int cmd);
  void CheckReplyCode(std::string_view line);
  void ApplyEntry(const std::vector<std::string>& lines);
  void SplitArtistTitle(std::string_view text, int row);
  // Fills the match dialog with `matches`, asks for a choice and applies it.
  // False for an empty list (nothing to offer: a malformed reply).
  bool SelectMatch(const std::vector<std::string>& matches);

  // Lookup fields of the main window.
  std::string ServerUrl, SubmitUrl, HelloSuffix;
  int RequestKind = Query;
  std::string MatchCategory, MatchDiscId, MatchArtist, MatchTitle;
  int ServerCode = 0;
  // The selected server speaks protocol level 6 in UTF-8 (its charset key).
  bool ServerUtf8 = false;
  std::vector<std::string> MatchList;
  // The last entry read (or the last correction the server accepted): a
  // correction of it must carry a higher revision and the text of it the
  // window does not show.
  std::optional<ReadEntry> LastRead;

  net::HttpClient http;

 private:
  std::string ReadText(std::string_view section, std::string_view key, std::string_view def) const;
  int ReadInt(std::string_view section, std::string_view key, int def) const;
  // Hands `report` to the window and remembers it with its outcome.
  void Report(LookupReport report, ReplyOutcome outcome);
  void Report(LookupEvent event) { Report({event, 0, {}, {}}, outcome_); }
  // What a decoded reply comes to; applies what it carries on the way.
  void HandleReply(const std::vector<std::string>& lines, std::string_view rawStatusLine, bool terminated);
  // Takes the code and character set of the server in use.
  void UseServer(const settings::ServerEntry& entry);
  // HelloSuffix from the address and the server's character set.
  void RebuildHello();

  shell::ShellModel& model_;
  LookupHooks hooks_;
  settings::SettingsFile* settings_ = nullptr;
  // The address entered at the prompt when the settings file could not take
  // it: used until the program ends instead of asking again.
  std::optional<std::string> unsavedEmail_;
  std::string helloUser_, helloHost_;  // the parts of the address
  ReplyOutcome outcome_ = ReplyOutcome::None;
  LookupReport lastReport_;
  UndecodableBytes undecodable_;
};

}  // namespace sl::cddb
