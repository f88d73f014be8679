// Submission of a disc's titles to a CDDB server: checking the window's
// fields, building the xmcd entry, the request's header lines, the HTTP POST
// to the server's submit.cgi (through libcurl, directly or via a proxy) and
// what the server's answer means for the user.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "disc/disc.h"
#include "shell/model.h"

namespace sl::submit {

inline constexpr const char* kClientName = "SLB";
inline constexpr const char* kClientVersion = "1.311";

// The xmcd format allows at most 256 bytes a line, the line end included;
// longer values are continued on further lines with the same keyword.
inline constexpr std::size_t kMaxLineBytes = 256;
// Largest entry the program sends (a server takes nothing near this).
inline constexpr std::size_t kMaxEntryBytes = 256 * 1024;

// Turns UTF-8 text into the bytes that are sent. Throws
// text::CodePageError for a character it cannot represent.
using Encoder = std::function<std::string(std::string_view utf8)>;
// The external code page (text::ToExternal).
Encoder ExternalEncoder();
// UTF-8 as it is, for a server whose entries are UTF-8; throws
// text::CodePageError for text that is not valid UTF-8.
Encoder Utf8Encoder();

// The eleven categories a CDDB server files entries under.
inline constexpr const char* kCategories[] = {"blues", "classical", "country", "data", "folk",      "jazz",
                                              "misc",  "newage",    "reggae",  "rock", "soundtrack"};
bool IsCddbCategory(std::string_view text);

// The text of a server's entry that the window does not show (the extended
// data of the disc and of each track, and the play order). A correction
// sends it back as it was read; a new entry sends these lines empty.
struct KeptText {
  std::string extd;
  std::vector<std::string> extt;  // track n's at index n; missing ones are empty
  std::string playorder;
};

// The outcome of CheckSubmitData.
struct CheckResult {
  bool ok = true;
  // Characters the encoding cannot represent, and double-byte characters a
  // single-byte server refuses, each once, in the order found (at most
  // kMaxNamedCharacters of each).
  std::vector<std::string> unencodable;
  std::vector<std::string> doubleByte;
  // Line-ending characters (CR, LF, NUL) found in a value, each once.
  std::vector<std::string> lineBreaks;
  static constexpr std::size_t kMaxNamedCharacters = 8;
  // A field refused for its form, with the value it held.
  struct FieldProblem {
    enum class Field { Year, Category };
    Field field = Field::Year;
    std::string value;
  };
  // The refused fields, the year before the category.
  std::vector<FieldProblem> fieldProblems;

  explicit operator bool() const { return ok; }
};

// Checks the window's fields before a submission. Every rule is evaluated:
// - the disc artist and disc title are not empty, nor is the title of any
//   track row (1 .. RowCount-1);
// - while serverCode is below 2 (the server takes single-byte text only),
//   the disc artist, disc title and every track title and track artist hold
//   no double-byte character of the external code page (half-width katakana
//   and ASCII are single-byte);
// - no value that is sent (category, year, genre, artists and titles)
//   contains CR, LF or NUL, which would start a new line of the entry or a
//   new header line;
// - every value that is sent can be encoded with `encode`;
// - the year is empty or 1 to 4 digits, and the category is one of the
//   eleven CDDB categories (a server files the entry under it, and readers
//   lose an entry whose year is not a number).
// `kept` (may be null) is the text a correction sends back; it must stay on
// its lines and be encodable too.
CheckResult CheckSubmitData(const shell::TrackTitleTable& table, int serverCode,
                            const Encoder& encode = ExternalEncoder(), const KeptText* kept = nullptr);

// The xmcd entry of a submission, one encoded line per item (no line ends).
struct SubmissionEntry {
  std::vector<std::string> lines;
  // Every line followed by CR LF: the request body.
  std::string Text() const;
};

// Builds the entry from the table of contents and the window's fields. The
// track count is the grid's row count minus 1. `encode` must accept every
// value (CheckSubmitData has passed); it throws otherwise. A value longer
// than a line is continued on further lines with the same keyword, cut
// between characters of the sent encoding and never inside " / ", so a
// reader that splits artist and title line by line still finds both.
// `kept` (may be null: empty lines) fills EXTD, EXTTn and PLAYORDER.
SubmissionEntry BuildSubmissionEntry(const disc::DiscToc& toc, const shell::TrackTitleTable& table,
                                     const Encoder& encode = ExternalEncoder(), long long revision = 0,
                                     const KeptText* kept = nullptr);

// "Submit-Mode: " values.
inline constexpr const char* kModeSubmit = "submit";
inline constexpr const char* kModeTest = "test";

// The request's own header lines, encoded, without line ends, in this order:
// Category, Discid, User-Email, Submit-Mode, then "Charset: " + charset when
// one is given (a UTF-8 server), and Content-Length. Throws
// std::invalid_argument for a value with CR, LF or NUL, and
// text::CodePageError for one the encoding cannot represent.
std::vector<std::string> SubmissionHeaders(std::string_view category, std::string_view discId,
                                           std::string_view email, std::string_view mode,
                                           std::size_t contentLength,
                                           const Encoder& encode = ExternalEncoder(),
                                           std::string_view charset = {});

// The proxy to use: "" (direct) when proxyIp is empty, else proxyIp + ":" +
// proxyPort, the port as typed (a lone ":" when it is empty).
std::string ProxyText(std::string_view proxyIp, std::string_view proxyPort);

struct PostRequest {
  std::string url;                   // the server's submit.cgi, "http://host[:port]/path"
  std::string proxy;                 // ProxyText(); "" goes direct, whatever the environment says
  std::vector<std::string> headers;  // SubmissionHeaders()
  std::string body;                  // SubmissionEntry::Text()
  std::chrono::milliseconds timeout{60000};
};

struct PostResult {
  bool replied = false;  // the server answered (any HTTP status)
  long httpStatus = 0;
  std::string body;   // the reply body as received (its first kMaxReplyBytes)
  std::string error;  // why there was no answer
  static constexpr std::size_t kMaxReplyBytes = 64 * 1024;
};

// Sends the POST with agent "SLB" and returns when it is over or the time-out
// has passed. The window stays live: the message pump runs between polls.
// Only http URLs are fetched; redirects are not followed.
PostResult PostSubmission(const PostRequest& request);

// How the server answered a submission.
enum class SubmitReply {
  NoAnswer,      // nothing came back (refused, unreachable, timed out)
  HttpFailed,    // an HTTP status other than 200
  NoStatusCode,  // the reply's first line starts with no three-digit code
  Answered,      // the reply's first line starts with a CDDB status code (`line`)
};
inline constexpr int kSubmitReplyCount = static_cast<int>(SubmitReply::Answered) + 1;

// What a submission's answer means.
struct SubmitVerdict {
  SubmitReply reply = SubmitReply::NoAnswer;
  bool accepted = false;  // HTTP 200 with a 2xx CDDB status
  // Answered: the reply's first line as the server wrote it (decoded from
  // the external code page, control characters dropped, at most 200
  // characters).
  std::string line;
};
SubmitVerdict JudgeReply(const PostResult& result);

}  // namespace sl::submit
