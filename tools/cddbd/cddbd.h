// sonolabel-cddbd: a small CDDB server for tests and demos. It answers the
// HTTP interface of a CDDB server (cddb.cgi with query, read, lscat, sites
// and ver; submit.cgi for submissions) from a folder of xmcd files laid out
// as DIR/<category>/<discid>, the way the classic servers keep their
// database.
//
// The pieces are kept apart so the tests can drive each one directly:
// text helpers, the HTTP request head parser, the CDDB service (commands,
// scripted faults, submission storage) and the socket server around them.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace sl::cddbd {

inline constexpr const char* kServerName = "sonolabel-cddbd";
inline constexpr const char* kServerVersion = "1.0";

// ---------------------------------------------------------------------------
// Text helpers

// Decodes %XX escapes; with plusIsBlank, "+" becomes a blank (form
// encoding). A "%" not followed by two hex digits stays as it is.
std::string PercentDecode(std::string_view text, bool plusIsBlank);

// Splits a query string at "&" into decoded name/value pairs ("+" is a
// blank). A piece without "=" gives a name with an empty value.
std::vector<std::pair<std::string, std::string>> ParseQueryString(std::string_view query);

// Makes raw bytes readable on one line: printable ASCII stays, "\" becomes
// "\\", CR "\r", LF "\n", TAB "\t", every other byte "\xHH".
std::string EscapeBytes(std::string_view raw);

// The inverse of EscapeBytes (also used for fault rules). nullopt when an
// escape is malformed.
std::optional<std::string> UnescapeBytes(std::string_view text);

// Words separated by runs of blanks and tabs.
std::vector<std::string> SplitWords(std::string_view text);

bool EqualsIgnoreCase(std::string_view a, std::string_view b);
std::string ToLower(std::string_view text);

// A disc ID of 1 to 8 hex digits.
std::optional<std::uint32_t> ParseDiscId(std::string_view text);

// A decimal number of digits only, not above `max`.
std::optional<long> ParseDecimal(std::string_view text, long max);

// The disc ID as the database names it: 8 lower-case hex digits.
std::string FormatDiscId(std::uint32_t id);

// Whether the bytes are well-formed UTF-8.
bool IsUtf8(std::string_view bytes);

// UTF-8 text in another character set (an iconv name), or nullopt when a
// character has no place there. "ISO-8859-1" is done without iconv.
std::optional<std::string> Utf8To(std::string_view utf8, const std::string& charset);

// Text in a character set (an iconv name) as UTF-8; nullopt when it does not
// decode.
std::optional<std::string> ToUtf8(std::string_view bytes, const std::string& charset);

// The number of an entry's "# Revision: N" comment (its first 18 digits); 0
// when it has none.
long EntryRevision(const std::vector<std::string>& lines);

// ---------------------------------------------------------------------------
// HTTP request heads

struct RequestHead {
  std::string method;                                        // as sent ("GET", "POST", ...)
  std::string target;                                        // as sent
  std::string version;                                       // "HTTP/1.0" or "HTTP/1.1"
  std::vector<std::pair<std::string, std::string>> headers;  // in order, values trimmed
  std::string path;   // target's path, percent-decoded (absolute-form URLs reduced to it)
  std::string query;  // target's text after the first "?", undecoded

  // The value of the first header with this name (any case); null if none.
  const std::string* Header(std::string_view name) const;
};

enum class HeadScan { Incomplete, Complete, TooLarge };

// Looks for the blank line that ends a request head in `buffer`. On
// Complete, `headLength` is the count of bytes up to and including that
// line. `scanFrom` lets a caller resume where the last look stopped; it is
// advanced past what has been examined.
HeadScan ScanHead(std::string_view buffer, std::size_t maxHead, std::size_t& scanFrom,
                  std::size_t& headLength);

// Parses a complete head. On failure returns nullopt with the HTTP status to
// answer (400, 431, 505) in `errorStatus`.
std::optional<RequestHead> ParseHead(std::string_view head, int& errorStatus);

// ---------------------------------------------------------------------------
// Replies

enum class Eol { Lf, CrLf };

struct Reply {
  int httpStatus = 200;
  std::string contentType = "text/plain";
  std::vector<std::pair<std::string, std::string>> extraHeaders;
  std::string body;
  bool rawResponse = false;    // body is the whole response, sent as it is
  bool closeSilently = false;  // close the connection without any response
  int delayMs = 0;             // wait this long before answering
};

// The text for an HTTP status code ("Not Found"); "Error" when unknown.
const char* ReasonPhrase(int status);

// An HTML error page for an HTTP status.
Reply HtmlError(int status, std::string_view detail = {});

// The bytes on the wire: status line, headers, blank line and (unless
// headOnly) the body. A raw reply is returned unchanged.
std::string BuildResponse(const Reply& reply, bool headOnly);

// ---------------------------------------------------------------------------
// The CDDB service

struct ServiceConfig {
  std::filesystem::path root;           // DIR/<category>/<discid>, DIR/sites.txt
  std::filesystem::path submitDir;      // empty: root/submissions
  std::filesystem::path faultsFile;     // empty: root/faults.txt
  std::vector<std::string> faultRules;  // extra rules, same syntax as the file
  Eol eol = Eol::CrLf;
  bool sitesDisabled = false;  // sites answers 401
  std::uint16_t port = 0;      // named by the built-in sites list
  // Entries stored in UTF-8 are sent as they are at protocol level 6; at a
  // lower level they are converted to this character set when every
  // character has a place in it, and sent unchanged otherwise. The public
  // server does so with ISO-8859-1; an old Japanese server spoke Shift-JIS
  // ("CP932"). Entries stored in another encoding are always sent as stored.
  // Submissions without a "Charset: UTF-8" header are taken to be in it.
  std::string level5Charset = "ISO-8859-1";
};

// Limits on what the service reads from disk.
inline constexpr std::uintmax_t kMaxEntryBytes = 256 * 1024;
inline constexpr std::uintmax_t kMaxSitesBytes = 64 * 1024;
inline constexpr std::uintmax_t kMaxFaultsBytes = 64 * 1024;
inline constexpr int kMaxFaultDelayMs = 60000;

class CddbService {
 public:
  explicit CddbService(ServiceConfig config);

  ServiceConfig& Config() { return config_; }
  std::filesystem::path SubmitDir() const;

  // GET (or form POST) of cddb.cgi with this undecoded query string.
  Reply HandleCgi(std::string_view query);

  // POST of submit.cgi. `rawHead` is the head exactly as received.
  Reply HandleSubmit(const RequestHead& head, std::string_view rawHead, std::string_view body);

  // The reply body for one decoded CDDB command at a protocol level.
  std::string Command(std::string_view cmd, int proto);

  // Category folders: the standard eleven in their usual order, then any
  // others in name order. Hidden folders and the submission folder are left
  // out.
  std::vector<std::string> Categories() const;

  // A scripted fault: the reply to give instead of the normal one, or (for
  // a bare "delay") the normal reply given late.
  struct Fault {
    Reply reply;
    bool answerNormally = false;
  };

  // The scripted fault for a request key (the decoded command, or
  // "submit CATEGORY DISCID"), if a rule matches. A rule's trigger is "*"
  // or text looked for in the key regardless of case, "+" standing for a
  // blank. A broken rule file gives
  // an HTTP 500 naming the line, so a test's mistake cannot pass unseen.
  std::optional<Fault> FaultFor(std::string_view key);

 private:
  std::string Lines(const std::vector<std::string>& lines) const;
  std::string Query(const std::vector<std::string>& words, int proto);
  std::string Read(const std::vector<std::string>& words, int proto);
  // An entry's lines as they go out at a protocol level.
  std::vector<std::string> ForLevel(std::vector<std::string> lines, int proto) const;
  std::string Sites();
  std::string Lscat();
  std::optional<Fault> ParseFault(std::string_view action, std::string& why) const;
  std::optional<std::filesystem::path> FindEntry(const std::string& category,
                                                 const std::string& discid) const;
  // Keeps the submission, head and body as received, under the next free
  // number in the submission folder; false when it cannot be stored.
  bool KeepSubmission(const std::string& category, const std::string& discid, std::string_view rawHead,
                      std::string_view body);

  ServiceConfig config_;
  unsigned submitCounter_ = 0;
};

// Reads an xmcd file into lines without their line ends (LF or CR LF on
// disk). nullopt when the file cannot be read, is larger than
// kMaxEntryBytes, or holds a line "." that would end a reply early.
std::optional<std::vector<std::string>> ReadEntryLines(const std::filesystem::path& file);

// The disc title of an entry: the values of all DTITLE lines joined, as
// xmcd continues long values on repeated lines.
std::string EntryTitle(const std::vector<std::string>& lines);

// ---------------------------------------------------------------------------
// The socket server

struct ServerOptions {
  ServiceConfig service;
  std::string bindAddress = "127.0.0.1";
  std::uint16_t port = 8880;
  std::filesystem::path logFile;     // empty: no request log
  long maxRequests = 0;              // 0: no limit
  double idleExitSeconds = 0;        // 0: never
  double clientTimeoutSeconds = 10;  // whole request, and whole reply
  std::size_t maxHead = 16 * 1024;
  std::size_t maxBody = 1024 * 1024;
  int maxConnections = 32;
};

class Server {
 public:
  explicit Server(ServerOptions options);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Binds and listens (and opens the log). False with a message on failure.
  bool Open(std::string& error);
  std::uint16_t Port() const { return port_; }

  // Serves until Stop(), the request limit or the idle time-out. Returns 0.
  int Run();

  // Ends Run() soon. Safe from another thread and from a signal handler.
  void Stop();

  // The descriptor Stop() writes to, for a signal handler.
  int StopDescriptor() const { return stopPipe_[1]; }

  long RequestsAnswered() const { return answered_.load(); }

 private:
  struct Conn;
  void Accept();
  void OnReadable(Conn& c);
  void OnWritable(Conn& c);
  void TryDispatch(Conn& c);
  void Answer(Conn& c, Reply reply, bool headOnly);
  void LogHead(const Conn& c, std::string_view head, bool complete);
  Reply Route(Conn& c, std::string_view body);

  ServerOptions options_;
  CddbService service_;
  int listenFd_ = -1;
  int stopPipe_[2] = {-1, -1};
  int logFd_ = -1;
  std::uint16_t port_ = 0;
  std::atomic<long> answered_{0};
  long logged_ = 0;
  std::vector<std::unique_ptr<Conn>> conns_;
};

}  // namespace sl::cddbd
