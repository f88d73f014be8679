// The CDDB side: commands of cddb.cgi answered from the entry folders,
// submissions of submit.cgi stored as files, and the scripted faults that
// let client tests see every kind of reply.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <system_error>

#include "cddbd.h"

namespace sl::cddbd {
namespace fs = std::filesystem;

namespace {

constexpr std::array<std::string_view, 11> kStandardCategories = {
    "blues", "classical", "country", "data", "folk",      "jazz",
    "misc",  "newage",    "reggae",  "rock", "soundtrack"};

constexpr long kMaxTracks = 99;
constexpr long kMaxFrames = 100L * 60 * 75;  // well past any disc
constexpr long kMaxSeconds = 100L * 60;
constexpr unsigned kMaxSubmissionTries = 1000;

bool IsSafeName(std::string_view name) {
  if (name.empty() || name.size() > 64 || name.front() == '.') return false;
  for (const char c : name) {
    const bool ok =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
    if (!ok) return false;
  }
  return true;
}

// Reads a whole file of at most maxBytes. nullopt when missing, unreadable
// or too large; `tooLarge` tells the last case apart.
std::optional<std::string> ReadSmallFile(const fs::path& file, std::uintmax_t maxBytes,
                                         bool* tooLarge = nullptr) {
  if (tooLarge) *tooLarge = false;
  std::error_code ec;
  if (!fs::is_regular_file(file, ec)) return std::nullopt;
  const std::uintmax_t size = fs::file_size(file, ec);
  if (ec) return std::nullopt;
  if (size > maxBytes) {
    if (tooLarge) *tooLarge = true;
    return std::nullopt;
  }
  std::ifstream in(file, std::ios::binary);
  if (!in) return std::nullopt;
  std::string data(static_cast<std::size_t>(size), '\0');
  in.read(data.data(), static_cast<std::streamsize>(size));
  data.resize(static_cast<std::size_t>(in.gcount()));
  // A file that grew between the size check and the read is cut at the
  // limit rather than read without bound.
  return data;
}

std::vector<std::string> SplitFileLines(std::string_view data) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < data.size()) {
    std::size_t end = data.find('\n', start);
    if (end == std::string_view::npos) end = data.size();
    std::string_view line = data.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.emplace_back(line);
    start = end + 1;
  }
  return lines;
}

std::string SingleLine(std::string_view text, Eol eol) {
  return std::string(text) + (eol == Eol::CrLf ? "\r\n" : "\n");
}

// Writes `data` to a new file at `file` and flushes it to disk. False (the
// file may be left half written) when any step fails.
bool WriteFlushed(const fs::path& file, std::string_view data) {
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  const bool ok = done == data.size() && ::fsync(fd) == 0;
  return ::close(fd) == 0 && ok;
}

// Writes an entry file whole (temporary file, then rename) with LF line
// ends, as the database keeps them.
bool StoreEntry(const fs::path& dir, const std::string& name, std::string_view text) {
  std::error_code ec;
  fs::create_directories(dir, ec);
  std::string data;
  for (const std::string& line : SplitFileLines(text)) data += line + "\n";
  const fs::path tmp = dir / (".entry-" + std::to_string(::getpid()));
  if (!WriteFlushed(tmp, data) || ::rename(tmp.c_str(), (dir / name).c_str()) != 0) {
    ::unlink(tmp.c_str());
    return false;
  }
  return true;
}

const char* kSyntaxError = "500 Command syntax error.";
const char* kArgumentCount = "500 Command syntax error: incorrect number of arguments.";
const char* kUnrecognized = "500 Unrecognized command.";

// hello=user host client version. The last three words must be there; the
// user part before them may be empty or even hold blanks, as some clients
// send it unencoded.
bool HelloIsValid(std::string_view hello) {
  std::vector<std::string_view> fields;
  std::size_t start = 0;
  while (true) {
    const std::size_t sp = hello.find(' ', start);
    fields.push_back(hello.substr(start, sp == std::string_view::npos ? hello.npos : sp - start));
    if (sp == std::string_view::npos) break;
    start = sp + 1;
  }
  if (fields.size() < 4) return false;
  for (std::size_t i = fields.size() - 3; i < fields.size(); ++i) {
    if (fields[i].empty()) return false;
  }
  return true;
}

// Whether a line "DISCID=..." of the entry names the disc, with no line "."
// after it (which would end a read reply early).
bool NamesDisc(const std::vector<std::string>& entry, const std::string& discid) {
  bool namesDisc = false;
  for (const std::string& line : entry) {
    const std::size_t eq = line.find('=');
    if (eq != std::string::npos && EqualsIgnoreCase(std::string_view(line).substr(0, eq), "DISCID") &&
        ToLower(line).find(ToLower(discid)) != std::string::npos) {
      namesDisc = true;
    }
    if (line == ".") namesDisc = false;  // would end a read reply early
  }
  return namesDisc;
}

}  // namespace

std::optional<std::vector<std::string>> ReadEntryLines(const fs::path& file) {
  const std::optional<std::string> data = ReadSmallFile(file, kMaxEntryBytes);
  if (!data) return std::nullopt;
  std::vector<std::string> lines = SplitFileLines(*data);
  for (const std::string& line : lines) {
    if (line == ".") return std::nullopt;
  }
  return lines;
}

std::string EntryTitle(const std::vector<std::string>& lines) {
  std::string title;
  for (const std::string& line : lines) {
    const std::size_t eq = line.find('=');
    if (eq != std::string::npos && EqualsIgnoreCase(std::string_view(line).substr(0, eq), "DTITLE")) {
      title += line.substr(eq + 1);
    }
  }
  return title;
}

CddbService::CddbService(ServiceConfig config) : config_(std::move(config)) {}

fs::path CddbService::SubmitDir() const {
  return config_.submitDir.empty() ? config_.root / "submissions" : config_.submitDir;
}

std::vector<std::string> CddbService::Categories() const {
  std::vector<std::string> names;
  std::error_code ec;
  fs::directory_iterator it(config_.root, ec);
  if (ec) return names;
  const fs::path submitDir = SubmitDir();
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec) break;
    const std::string name = it->path().filename().string();
    std::error_code ec2;
    if (!IsSafeName(name) || !it->is_directory(ec2)) continue;
    if (fs::equivalent(it->path(), submitDir, ec2)) continue;
    names.push_back(name);
  }
  auto rank = [](const std::string& n) {
    const auto pos = std::find(kStandardCategories.begin(), kStandardCategories.end(), n);
    return static_cast<std::size_t>(pos - kStandardCategories.begin());
  };
  std::sort(names.begin(), names.end(), [&](const std::string& a, const std::string& b) {
    const std::size_t ra = rank(a), rb = rank(b);
    return ra != rb ? ra < rb : a < b;
  });
  return names;
}

std::optional<fs::path> CddbService::FindEntry(const std::string& category, const std::string& discid) const {
  // File names are compared without regard to case, so an entry saved as
  // "990C360C" is found as well as "990c360c".
  std::error_code ec;
  fs::directory_iterator it(config_.root / category, ec);
  if (ec) return std::nullopt;
  std::vector<fs::path> hits;
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec) break;
    if (EqualsIgnoreCase(it->path().filename().string(), discid)) hits.push_back(it->path());
  }
  if (hits.empty()) return std::nullopt;
  std::sort(hits.begin(), hits.end());
  return hits.front();
}

std::string CddbService::Lines(const std::vector<std::string>& lines) const {
  std::string out;
  for (const std::string& line : lines) out += SingleLine(line, config_.eol);
  return out;
}

std::vector<std::string> CddbService::ForLevel(std::vector<std::string> lines, int proto) const {
  if (proto >= 6) return lines;
  std::string whole;
  for (const std::string& line : lines) whole += line + "\n";
  if (!IsUtf8(whole)) return lines;  // stored in another encoding: as it is
  std::vector<std::string> out;
  out.reserve(lines.size());
  for (const std::string& line : lines) {
    std::optional<std::string> converted = Utf8To(line, config_.level5Charset);
    if (!converted) return lines;  // one character without a place: unchanged
    out.push_back(std::move(*converted));
  }
  return out;
}

std::string CddbService::Query(const std::vector<std::string>& words, int proto) {
  // cddb query DISCID NTRKS OFF1 .. OFFn NSECS
  if (words.size() < 6) return SingleLine(kSyntaxError, config_.eol);
  const std::optional<std::uint32_t> id = ParseDiscId(words[2]);
  const std::optional<long> tracks = ParseDecimal(words[3], kMaxTracks);
  if (!id || !tracks || *tracks < 1 || words.size() != static_cast<std::size_t>(*tracks) + 5) {
    return SingleLine(kSyntaxError, config_.eol);
  }
  for (long i = 0; i < *tracks; ++i) {
    if (!ParseDecimal(words[4 + i], kMaxFrames)) return SingleLine(kSyntaxError, config_.eol);
  }
  if (!ParseDecimal(words.back(), kMaxSeconds)) return SingleLine(kSyntaxError, config_.eol);

  const std::string discid = FormatDiscId(*id);
  std::vector<std::string> matches;
  bool corrupt = false;
  for (const std::string& category : Categories()) {
    const std::optional<fs::path> file = FindEntry(category, discid);
    if (!file) continue;
    const auto lines = ReadEntryLines(*file);
    if (!lines) {
      corrupt = true;
      continue;
    }
    matches.push_back(category + " " + discid + " " + EntryTitle(ForLevel(*lines, proto)));
  }
  if (matches.size() == 1) return SingleLine("200 " + matches.front(), config_.eol);
  if (matches.size() > 1) {
    matches.insert(matches.begin(), "211 Found inexact matches, list follows (until terminating `.')");
    matches.push_back(".");
    return Lines(matches);
  }
  if (corrupt) return SingleLine("403 Database entry is corrupt.", config_.eol);
  return SingleLine("202 No match for disc ID " + discid + ".", config_.eol);
}

std::string CddbService::Read(const std::vector<std::string>& words, int proto) {
  // cddb read CATEGORY DISCID
  if (words.size() != 4) return SingleLine(kSyntaxError, config_.eol);
  const std::optional<std::uint32_t> id = ParseDiscId(words[3]);
  if (!id) return SingleLine(kSyntaxError, config_.eol);
  // The category must be one of the folders; the raw word never becomes
  // part of a path, so "../x" and the like cannot leave the root.
  std::string category;
  for (const std::string& c : Categories()) {
    if (EqualsIgnoreCase(c, words[2])) category = c;
  }
  if (category.empty()) return SingleLine("501 Invalid category: " + words[2], config_.eol);
  const std::string discid = FormatDiscId(*id);
  const std::optional<fs::path> file = FindEntry(category, discid);
  if (!file) {
    return SingleLine("401 " + category + " " + discid + " No such CD entry in database.", config_.eol);
  }
  std::optional<std::vector<std::string>> lines = ReadEntryLines(*file);
  if (!lines) {
    return SingleLine("403 " + category + " " + discid + " CD database entry corrupt.", config_.eol);
  }
  lines = ForLevel(std::move(*lines), proto);
  lines->insert(lines->begin(),
                "210 " + category + " " + discid + " CD database entry follows (until terminating `.')");
  lines->push_back(".");
  return Lines(*lines);
}

std::string CddbService::Sites() {
  const char* kNone = "401 No site information available.";
  if (config_.sitesDisabled) return SingleLine(kNone, config_.eol);
  const fs::path file = config_.root / "sites.txt";
  std::error_code ec;
  std::vector<std::string> sites;
  if (fs::exists(file, ec)) {
    const std::optional<std::string> data = ReadSmallFile(file, kMaxSitesBytes);
    if (!data) return SingleLine("402 Server error.", config_.eol);
    for (std::string& line : SplitFileLines(*data)) {
      const std::vector<std::string> words = SplitWords(line);
      if (words.empty() || words.front().front() == '#' || line == ".") continue;
      sites.push_back(std::move(line));
    }
  } else {
    sites.push_back("127.0.0.1 http " + std::to_string(config_.port) +
                    " /~cddb/cddb.cgi N000.00 W000.00 Sonolabel local CDDB server");
  }
  // An existing list with no site in it reads as "no site information".
  if (sites.empty()) return SingleLine(kNone, config_.eol);
  sites.insert(sites.begin(), "210 OK, site information follows (until terminating `.')");
  sites.push_back(".");
  return Lines(sites);
}

std::string CddbService::Lscat() {
  std::vector<std::string> lines = Categories();
  lines.insert(lines.begin(), "210 OK, category list follows (until terminating `.')");
  lines.push_back(".");
  return Lines(lines);
}

std::string CddbService::Command(std::string_view cmd, int proto) {
  // Replies take their level 3 to 5 forms (levels 1 and 2 knew a shorter
  // sites line); what the level changes is the text of entries: UTF-8 from
  // level 6 on.
  const std::vector<std::string> words = SplitWords(cmd);
  if (words.empty()) return SingleLine(kUnrecognized, config_.eol);
  const std::string verb = ToLower(words[0]);
  if (verb == "cddb") {
    if (words.size() < 2) return SingleLine(kSyntaxError, config_.eol);
    const std::string sub = ToLower(words[1]);
    if (sub == "query") return Query(words, proto);
    if (sub == "read") return Read(words, proto);
    if (sub == "lscat") {
      return words.size() == 2 ? Lscat() : SingleLine(kSyntaxError, config_.eol);
    }
    return SingleLine(kUnrecognized, config_.eol);
  }
  if (verb == "sites") return words.size() == 1 ? Sites() : SingleLine(kSyntaxError, config_.eol);
  if (verb == "ver") {
    return SingleLine(std::string("200 ") + kServerName + " v" + kServerVersion, config_.eol);
  }
  return SingleLine(kUnrecognized, config_.eol);
}

Reply CddbService::HandleCgi(std::string_view query) {
  const std::string* cmd = nullptr;
  const std::string* hello = nullptr;
  const std::string* proto = nullptr;
  const auto params = ParseQueryString(query);
  for (const auto& [name, value] : params) {
    if (!cmd && EqualsIgnoreCase(name, "cmd")) cmd = &value;
    if (!hello && EqualsIgnoreCase(name, "hello")) hello = &value;
    if (!proto && EqualsIgnoreCase(name, "proto")) proto = &value;
  }
  std::optional<Fault> fault = FaultFor(cmd ? *cmd : std::string());
  if (fault && !fault->answerNormally) return fault->reply;

  Reply reply;
  if (fault) reply.delayMs = fault->reply.delayMs;
  if (!cmd || SplitWords(*cmd).empty() || !hello || !HelloIsValid(*hello)) {
    reply.body = SingleLine(kArgumentCount, config_.eol);
    return reply;
  }
  long level = 1;
  if (proto) {
    const std::optional<long> p = ParseDecimal(*proto, 6);
    if (!p || *p < 1) {
      reply.body = SingleLine("501 Illegal CDDB protocol level.", config_.eol);
      return reply;
    }
    level = *p;
  }
  reply.body = Command(*cmd, static_cast<int>(level));
  return reply;
}

bool CddbService::KeepSubmission(const std::string& category, const std::string& discid,
                                 std::string_view rawHead, std::string_view body) {
  // The stored file is the request exactly as received: head and body.
  // It is written under a temporary name and then linked to its final name,
  // which fails rather than replaces when the name is taken, so a reader
  // never sees half a file and no submission overwrites another.
  const fs::path dir = SubmitDir();
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (submitCounter_ == 0) {
    for (fs::directory_iterator it(dir, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
      const std::string name = it->path().filename().string();
      unsigned n = 0;
      std::size_t i = 0;
      while (i < name.size() && i < 8 && name[i] >= '0' && name[i] <= '9') n = n * 10 + (name[i++] - '0');
      if (i > 0) submitCounter_ = std::max(submitCounter_, n);
    }
  }
  const fs::path tmp = dir / (".incoming-" + std::to_string(::getpid()));
  std::string content(rawHead);
  content.append(body);
  const bool written = WriteFlushed(tmp, content);
  bool stored = false;
  for (unsigned tries = 0; written && !stored && tries < kMaxSubmissionTries; ++tries) {
    char counter[16];
    std::snprintf(counter, sizeof counter, "%04u", ++submitCounter_);
    const fs::path target = dir / (std::string(counter) + "-" + ToLower(category) + "-" + ToLower(discid));
    if (::link(tmp.c_str(), target.c_str()) == 0) {
      stored = true;
    } else if (errno != EEXIST) {
      break;
    }
  }
  ::unlink(tmp.c_str());
  return stored;
}

Reply CddbService::HandleSubmit(const RequestHead& head, std::string_view rawHead, std::string_view body) {
  const std::string* category = head.Header("Category");
  const std::string* discid = head.Header("Discid");
  const std::string* email = head.Header("User-Email");
  const std::string* mode = head.Header("Submit-Mode");
  const std::string* length = head.Header("Content-Length");

  const std::string key =
      "submit " + (category ? *category : std::string()) + " " + (discid ? *discid : std::string());
  std::optional<Fault> fault = FaultFor(key);
  if (fault && !fault->answerNormally) return fault->reply;
  Reply reply;
  if (fault) reply.delayMs = fault->reply.delayMs;

  if (!category || !discid || !email || !mode || !length) {
    reply.body = SingleLine("500 Missing required header information.", config_.eol);
    return reply;
  }
  const bool modeOk = EqualsIgnoreCase(*mode, "submit") || EqualsIgnoreCase(*mode, "test");
  if (!IsSafeName(*category) || discid->size() != 8 || !ParseDiscId(*discid) || !modeOk) {
    reply.body = SingleLine("501 Invalid header information.", config_.eol);
    return reply;
  }

  // The entry's text in UTF-8, as the database keeps it.
  const std::string* charset = head.Header("Charset");
  const bool utf8 = charset && (EqualsIgnoreCase(*charset, "UTF-8") || EqualsIgnoreCase(*charset, "UTF8"));
  std::optional<std::string> text =
      utf8 ? (IsUtf8(body) ? std::optional<std::string>(std::string(body)) : std::nullopt)
           : ToUtf8(body, config_.level5Charset);
  if (!text) {
    reply.body = SingleLine("501 Entry rejected: the text is not in its character set.", config_.eol);
    return reply;
  }
  const std::vector<std::string> entry = SplitFileLines(*text);
  if (!NamesDisc(entry, *discid)) {
    reply.body = SingleLine("501 Entry rejected: no DISCID line names disc " + *discid + ".", config_.eol);
    return reply;
  }
  // A correction must carry a higher revision than the entry it replaces.
  const std::string dbCategory = ToLower(*category);
  const std::string dbDiscid = ToLower(*discid);
  const long revision = EntryRevision(entry);
  if (const auto stored = FindEntry(dbCategory, dbDiscid)) {
    if (const auto old = ReadEntryLines(*stored)) {
      const long current = EntryRevision(*old);
      if (revision <= current) {
        reply.body = SingleLine("501 Entry rejected: revision " + std::to_string(revision) +
                                    " is not higher than the database's " + std::to_string(current) + ".",
                                config_.eol);
        return reply;
      }
    }
  }
  // A test submission is checked and answered, and nothing is stored.
  if (EqualsIgnoreCase(*mode, "test")) {
    reply.body = SingleLine("200 OK, submission is valid (test mode: nothing was stored).", config_.eol);
    return reply;
  }

  const auto failed = [&] {
    reply.body = SingleLine("402 Server error: the submission could not be stored.", config_.eol);
    return reply;
  };
  if (!KeepSubmission(*category, *discid, rawHead, body)) return failed();
  // The accepted entry becomes the database's, so that it is read back and
  // its revision counts for the next correction.
  if (!StoreEntry(config_.root / dbCategory, dbDiscid, *text)) return failed();
  reply.body = SingleLine("200 OK, submission has been sent.", config_.eol);
  return reply;
}

std::optional<CddbService::Fault> CddbService::ParseFault(std::string_view action, std::string& why) const {
  Fault fault;
  int delay = 0;
  while (true) {
    while (!action.empty() && (action.front() == ' ' || action.front() == '\t')) action.remove_prefix(1);
    const std::size_t end = action.find_first_of(" \t");
    const std::string verb = ToLower(action.substr(0, end));
    const std::string_view rest = end == std::string_view::npos ? std::string_view() : action.substr(end + 1);
    const std::vector<std::string> words = SplitWords(rest);
    // The text after the first word of `rest`.
    const auto afterFirstWord = [&]() {
      std::string_view tail = rest.substr(rest.find(words[0]) + words[0].size());
      while (!tail.empty() && (tail.front() == ' ' || tail.front() == '\t')) tail.remove_prefix(1);
      return tail;
    };
    if (verb == "delay") {
      const std::optional<long> ms = words.empty() ? std::nullopt : ParseDecimal(words[0], kMaxFaultDelayMs);
      if (!ms) {
        why = "delay needs milliseconds up to 60000";
        return std::nullopt;
      }
      delay = static_cast<int>(*ms);
      action = afterFirstWord();
      if (action.empty()) {
        fault.answerNormally = true;
        break;
      }
      continue;
    }
    if (verb == "reply" || verb == "raw") {
      std::optional<std::string> bytes = UnescapeBytes(rest);
      if (!bytes) {
        why = "bad escape in text";
        return std::nullopt;
      }
      if (verb == "raw") {
        fault.reply.rawResponse = true;
        fault.reply.body = std::move(*bytes);
      } else {
        std::string body;
        for (std::size_t i = 0; i < bytes->size(); ++i) {
          const char c = (*bytes)[i];
          if (c == '\n' && config_.eol == Eol::CrLf && (i == 0 || (*bytes)[i - 1] != '\r')) body += '\r';
          body += c;
        }
        if (body.empty() || body.back() != '\n') body += config_.eol == Eol::CrLf ? "\r\n" : "\n";
        fault.reply.body = std::move(body);
      }
    } else if (verb == "http") {
      const std::optional<long> code = words.empty() ? std::nullopt : ParseDecimal(words[0], 599);
      if (!code || *code < 100) {
        why = "http needs a status from 100 to 599";
        return std::nullopt;
      }
      fault.reply = HtmlError(static_cast<int>(*code), afterFirstWord());
    } else if (verb == "empty") {
      fault.reply.body.clear();
    } else if (verb == "close") {
      fault.reply.closeSilently = true;
    } else {
      why = verb.empty() ? "no action" : "unknown action \"" + verb + "\"";
      return std::nullopt;
    }
    break;
  }
  fault.reply.delayMs = delay;
  return fault;
}

std::optional<CddbService::Fault> CddbService::FaultFor(std::string_view key) {
  struct Rule {
    std::string text;
    std::string origin;
  };
  std::vector<Rule> rules;
  const fs::path file = config_.faultsFile.empty() ? config_.root / "faults.txt" : config_.faultsFile;
  const auto broken = [](const std::string& origin, const std::string& why) {
    Fault f;
    f.reply.httpStatus = 500;
    f.reply.body = std::string(kServerName) + ": bad fault rule (" + origin + "): " + why + "\n";
    return f;
  };
  std::error_code ec;
  if (fs::exists(file, ec)) {
    bool tooLarge = false;
    const std::optional<std::string> data = ReadSmallFile(file, kMaxFaultsBytes, &tooLarge);
    if (!data) return broken(file.filename().string(), tooLarge ? "file too large" : "unreadable");
    int number = 0;
    for (std::string& line : SplitFileLines(*data)) {
      ++number;
      rules.push_back({std::move(line), file.filename().string() + " line " + std::to_string(number)});
    }
  }
  for (const std::string& r : config_.faultRules) rules.push_back({r, "--fault " + r});

  // Every rule is checked, not only the one that matches, so a mistake
  // anywhere in the rules shows at the first request.
  const std::string lowerKey = ToLower(key);
  std::optional<Fault> chosen;
  for (const Rule& rule : rules) {
    std::string_view text = rule.text;
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    if (text.empty() || text.front() == '#') continue;
    const std::size_t sp = text.find_first_of(" \t");
    std::string trigger = ToLower(text.substr(0, sp));
    std::replace(trigger.begin(), trigger.end(), '+', ' ');  // "+" stands for a blank
    std::string why;
    std::optional<Fault> fault =
        ParseFault(sp == std::string_view::npos ? std::string_view() : text.substr(sp + 1), why);
    if (!fault) return broken(rule.origin, why);
    if (!chosen && (trigger == "*" || lowerKey.find(trigger) != std::string::npos)) chosen = std::move(fault);
  }
  return chosen;
}

}  // namespace sl::cddbd
