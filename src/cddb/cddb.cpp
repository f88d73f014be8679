#include "cddb/cddb.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <exception>
#include <limits>
#include <stdexcept>

#include "text/codepage.h"
#include "text/utf8.h"
#include "settings/serverlist.h"

namespace sl::cddb {

namespace {

// An entry can't hold more track titles than this; the loop over TTITLEn
// stops here whatever the reply says.
constexpr int kMaxTrackTitles = 1000;

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

// The status code: the first three characters of the line read as a decimal
// number. Anything that is not a number is an error.
int StatusCode(const std::string& line) {
  std::string head = line.substr(0, 3);
  std::size_t i = 0;
  while (i < head.size() && head[i] == ' ') ++i;
  std::size_t start = i;
  if (i < head.size() && (head[i] == '+' || head[i] == '-')) ++i;
  if (i == head.size()) throw std::runtime_error("no reply code");
  for (std::size_t j = i; j < head.size(); ++j)
    if (!std::isdigit(static_cast<unsigned char>(head[j]))) throw std::runtime_error("no reply code");
  return std::stoi(head.substr(start));
}

// Whether a reply body ends with the terminator line "." of a list (blank
// lines after it tolerated). A list reply without it was cut short: a
// connection that ended early. Taken as whole, it would fill and save part
// of an entry as if it were all of it.
bool EndsWithTerminator(std::string_view body) {
  const auto last = body.find_last_not_of(" \t\r\n");
  if (last == std::string_view::npos || body[last] != '.') return false;
  return last == 0 || body[last - 1] == '\n' || body[last - 1] == '\r';
}

// Drops the status line and the terminator line of a list reply (and blank
// lines after the terminator). `terminated`: the body ends with the
// terminator (the lines may stop earlier, at the bound on lines taken).
std::vector<std::string> ListBody(const std::vector<std::string>& lines, bool terminated) {
  if (!terminated) throw std::runtime_error("list reply without terminator");
  std::size_t end = lines.size();
  while (end > 2 && lines[end - 1].find_first_not_of(" \t") == std::string::npos) --end;
  if (end < 2) throw std::runtime_error("list reply without terminator");
  return std::vector<std::string>(lines.begin() + 1, lines.begin() + static_cast<std::ptrdiff_t>(end) - 1);
}

}  // namespace

std::string_view RawLines(std::string_view text, std::size_t maxLines) {
  // Counting the line-end bytes (memchr from one to the next) is a fast
  // pass; most replies stop here.
  std::size_t ends = 0;
  for (const char c : {'\n', '\r'}) {
    for (const char* at = text.data(); ends < maxLines;) {
      const void* hit = std::memchr(at, c, static_cast<std::size_t>(text.data() + text.size() - at));
      if (!hit) break;
      ++ends;
      at = static_cast<const char*>(hit) + 1;
    }
  }
  if (ends < maxLines) return text;
  std::size_t lines = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\r' && text[i] != '\n') continue;
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    if (++lines == maxLines) return text.substr(0, i + 1);
  }
  return text;
}

std::vector<std::string> SplitLines(std::string_view text, std::size_t maxLines) {
  std::vector<std::string> lines;
  const char* p = text.data();
  const std::size_t n = text.size();
  std::size_t pos = 0;
  // Line by line with memchr: the next LF, and any lone CR before it.
  while (pos < n && lines.size() < maxLines) {
    const void* lf = std::memchr(p + pos, '\n', n - pos);
    const std::size_t lfAt = lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - p) : n;
    const void* cr = std::memchr(p + pos, '\r', lfAt - pos);
    if (cr) {
      const auto crAt = static_cast<std::size_t>(static_cast<const char*>(cr) - p);
      lines.emplace_back(text.substr(pos, crAt - pos));
      pos = crAt + 1;
      if (pos < n && p[pos] == '\n') ++pos;
    } else {
      lines.emplace_back(text.substr(pos, lfAt - pos));
      pos = lfAt + 1;
    }
  }
  return lines;
}

namespace {
// Percent-encodes every byte for which `escape` says so.
template <typename Pred>
std::string PercentEncode(std::string_view text, Pred escape) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if (escape(c)) {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

bool UnsafeInRequestLine(unsigned char c) { return c <= 0x20 || c >= 0x7F; }
}  // namespace

std::string EncodeUnsafe(std::string_view text) { return PercentEncode(text, UnsafeInRequestLine); }

std::string EncodeHelloPart(std::string_view text) {
  return PercentEncode(text, [](unsigned char c) {
    return UnsafeInRequestLine(c) || c == '+' || c == '&' || c == '#' || c == '%' || c == '=' ||
           c == '?';
  });
}

bool HostHasPort(std::string_view host) {
  std::size_t colon;
  if (!host.empty() && host.front() == '[') {
    // An IPv6 literal: a port can only follow the closing bracket.
    const auto close = host.find(']');
    if (close == std::string_view::npos || close + 1 >= host.size() || host[close + 1] != ':')
      return false;
    colon = close + 1;
  } else {
    colon = host.rfind(':');
    if (colon == std::string_view::npos) return false;
  }
  const std::string_view port = host.substr(colon + 1);
  return !port.empty() && std::all_of(port.begin(), port.end(), [](char c) {
    return std::isdigit(static_cast<unsigned char>(c));
  });
}

std::string HostWithPort(std::string_view host) {
  std::string out(host);
  if (!HostHasPort(host)) out += ":80";
  return out;
}

std::optional<std::string> NormalizeServerUrl(std::string_view url, std::string& why) {
  constexpr std::string_view kScheme = "http://";
  if (url.size() > 4096) {
    why = "the URL is too long";
    return std::nullopt;
  }
  for (unsigned char c : url) {
    if (c <= 0x20 || c == 0x7F) {
      why = "the URL holds a blank or a control character";
      return std::nullopt;
    }
  }
  const auto schemeEnd = url.find("://");
  if (schemeEnd == std::string_view::npos) {
    why = "'" + std::string(url) + "' is not an http:// URL";
    return std::nullopt;
  }
  if (!EqualsNoCase(url.substr(0, schemeEnd + 3), kScheme)) {
    why = "only http:// servers are supported, not '" + std::string(url.substr(0, schemeEnd)) + "'";
    return std::nullopt;
  }
  std::string_view rest = url.substr(kScheme.size());
  const auto slash = rest.find_first_of("/?");
  std::string_view host = rest.substr(0, slash);
  std::string path(slash == std::string_view::npos ? std::string_view() : rest.substr(slash));
  // The HTTP client connects over IPv4 only: an IPv6 literal would pass
  // here and fail only when the request is made.
  if (!host.empty() && host.front() == '[') {
    why = "IPv6 addresses are not supported ('" + std::string(host) +
          "'): give a host name or an IPv4 address";
    return std::nullopt;
  }
  // The host, with an optional port of 1 to 65535.
  std::string_view name = host;
  if (HostHasPort(host)) {
    const auto colon = host.rfind(':');
    const std::string_view port = host.substr(colon + 1);
    long value = 0;
    for (char c : port) value = value * 10 + (c - '0');
    if (port.size() > 5 || value < 1 || value > 65535) {
      why = "the port in '" + std::string(host) + "' is not 1 to 65535";
      return std::nullopt;
    }
    name = host.substr(0, colon);
  } else if (host.find(':') != std::string_view::npos && host.front() != '[') {
    why = "the port in '" + std::string(host) + "' is not a number";
    return std::nullopt;
  }
  if (name.empty() || name == "[]" || name.find('@') != std::string_view::npos) {
    why = "no server host in '" + std::string(url) + "'";
    return std::nullopt;
  }
  // A lone "/" names no script any more than no path does.
  if (path == "/" || path.rfind("/?", 0) == 0) path.erase(0, 1);
  if (path.empty() || path[0] == '?') path = "/~cddb/cddb.cgi" + path;
  const auto q = path.find('?');
  if (q == std::string::npos)
    path += '?';
  else if (path.back() != '?' && path.back() != '&')
    path += '&';
  return "http://" + std::string(host) + path;
}

std::string ShownServerLine(std::string_view line) {
  std::string out;
  std::size_t chars = 0;
  for (std::size_t i = 0; i < line.size();) {
    const auto c = static_cast<unsigned char>(line[i]);
    const std::size_t len = text::AnnouncedLength(line, i);
    if (chars == kMaxShownLineChars) {
      out += "…";
      break;
    }
    // C0 controls, DEL and the C1 controls (U+0080 to U+009F): a terminal
    // would act on them, a box would show nothing useful.
    const bool c1 = c == 0xC2 && len == 2 && static_cast<unsigned char>(line[i + 1]) < 0xA0;
    if (c < 0x20 || c == 0x7F || c1)
      out += ' ';
    else
      out.append(line.substr(i, len));
    i += len;
    ++chars;
  }
  return out;
}

bool NamesUnknownClient(std::string_view line) {
  std::string lower(line.substr(0, 4096));
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (lower.find("unknown developer email") != std::string::npos) return true;
  const bool fiveHundred = lower.size() >= 3 && lower[0] == '5' && std::isdigit(static_cast<unsigned char>(lower[1])) &&
                           std::isdigit(static_cast<unsigned char>(lower[2]));
  return fiveHundred &&
         (lower.find("developer") != std::string::npos || lower.find("client") != std::string::npos);
}

std::string ServerReplyBoxText(std::string_view line) {
  std::string text = kServerReplyPrefix + ShownServerLine(line);
  if (NamesUnknownClient(line)) text += std::string("\n") + kUnknownClientHint;
  return text;
}

long long EntryRevision(const std::vector<std::string>& lines) {
  for (const auto& line : lines) {
    std::string_view rest(line);
    if (rest.empty() || rest.front() != '#') continue;
    rest.remove_prefix(1);
    while (!rest.empty() && (rest.front() == ' ' || rest.front() == '\t')) rest.remove_prefix(1);
    constexpr std::string_view kKey = "revision:";
    if (rest.size() < kKey.size() || !EqualsNoCase(rest.substr(0, kKey.size()), kKey)) continue;
    rest.remove_prefix(kKey.size());
    while (!rest.empty() && (rest.front() == ' ' || rest.front() == '\t')) rest.remove_prefix(1);
    while (!rest.empty() && (rest.back() == ' ' || rest.back() == '\t')) rest.remove_suffix(1);
    if (rest.empty() || !std::all_of(rest.begin(), rest.end(), [](char c) { return c >= '0' && c <= '9'; }))
      return 0;
    long long value = 0;
    const auto r = std::from_chars(rest.data(), rest.data() + rest.size(), value);
    // Too many digits for any counter: still a number no server can take,
    // never a 0 that would pass for a new entry.
    if (r.ec == std::errc::result_out_of_range) return std::numeric_limits<long long>::max();
    return value;
  }
  return 0;
}

std::map<std::string, std::string> EntryValues(const std::vector<std::string>& lines) {
  std::map<std::string, std::string> values;
  for (const auto& line : lines) {
    if (!line.empty() && line.front() == '#') continue;
    const auto eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string key = line.substr(0, eq);
    for (char& c : key) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    std::string& value = values[std::move(key)];
    const std::size_t room = kMaxValueBytes - std::min(kMaxValueBytes, value.size());
    value.append(line, eq + 1, room);
  }
  return values;
}

std::string EntryValue(const std::vector<std::string>& lines, std::string_view key) {
  std::string value;
  for (const auto& line : lines) {
    const auto eq = line.find('=');
    if (eq == std::string::npos) continue;
    if (EqualsNoCase(std::string_view(line).substr(0, eq), key))
      value.append(line, eq + 1, kMaxValueBytes - std::min(kMaxValueBytes, value.size()));
  }
  return value;
}

CddbLookup::CddbLookup(shell::ShellModel& model, shell::ShellServices& services)
    : model_(model), services_(services) {
  // The window's HTTP client as the program configures it.
  NMHTTP1.Port = 0;
  NMHTTP1.TimeOut = 60000;
  NMHTTP1.ReportLevel = 0;
  NMHTTP1.Body = "Default.htm";
  NMHTTP1.Header = "Head.txt";
  NMHTTP1.InputFileMode = false;
  NMHTTP1.OutputFileMode = false;
  NMHTTP1.ProxyPort = 8080;
  NMHTTP1.OnSuccess = [this](int cmd) { NMHTTP1Success(cmd); };
  NMHTTP1.OnFailure = [this](int cmd) { NMHTTP1Failure(cmd); };
}

std::string CddbLookup::ReadText(std::string_view section, std::string_view key,
                                 std::string_view def) const {
  return settings_ ? settings_->ReadString(section, key, def) : std::string(def);
}

int CddbLookup::ReadInt(std::string_view section, std::string_view key, int def) const {
  return settings_ ? settings_->ReadInteger(section, key, def) : def;
}

void CddbLookup::Status(std::string text) { model_.SetStatus(0, std::move(text)); }

void CddbLookup::GetMailAddress() {
  std::string email = ReadText(settings::kSection, "email", "");
  if (email.empty() && unsavedEmail_) {
    // Asked already in this run, but the answer could not be stored.
    email = *unsavedEmail_;
  } else if (email.empty()) {
    email = services_.InputBox("メールアドレスの登録", "メールアドレスを入力してください。",
                               kPlaceholderEmail);
    if (settings_ && !settings_->WriteString(settings::kSection, "email", email)) {
      // Used for this run; the prompt comes again at the next start.
      services_.MessageBox(shell::MsgIcon::Warning,
                           "メールアドレスを保存できませんでした。\n" + settings_->LastError());
      unsavedEmail_ = email;
    }
  }
  const auto at = email.find('@');
  if (at == std::string::npos) {
    helloUser_.clear();
    helloHost_ = email;
  } else {
    helloUser_ = email.substr(0, at);
    helloHost_ = email.substr(at + 1);
  }
  RebuildHello();
}

void CddbLookup::RebuildHello() {
  // The address goes into the request line, so its pieces are sent in the
  // server's character set and percent-encoded; the "+" separators stay raw.
  auto encoded = [this](const std::string& s) {
    if (ServerUtf8) return s;
    try {
      return text::ToExternal(s);
    } catch (const std::exception&) {
      return s;
    }
  };
  HelloSuffix = "&hello=" + EncodeHelloPart(encoded(helloUser_)) + "+" +
                EncodeHelloPart(encoded(helloHost_)) + "+" + kClientName + "+" + kClientVersion +
                (ServerUtf8 ? "&proto=6" : "&proto=5");
}

void CddbLookup::UseServer(const settings::ServerEntry& entry) {
  ServerCode = entry.code;
  ServerUtf8 = entry.Utf8();
  RebuildHello();
}

void CddbLookup::SetServerUrl(const std::string& url) {
  ServerUrl = url;
  // A server given by URL speaks as the stored entry of the same host, if
  // there is one; otherwise as the servers the settings don't describe.
  settings::ServerEntry entry;
  const auto hostStart = url.find("://");
  const std::string rest = hostStart == std::string::npos ? url : url.substr(hostStart + 3);
  const std::string host = rest.substr(0, rest.find_first_of("/?"));
  const int count = std::clamp(ReadInt(settings::kSection, settings::kKeyServerCount, 0), 0,
                               settings::kMaxServers);
  for (int i = 0; settings_ && i < count; ++i) {
    const settings::ServerEntry e = settings_->ReadServer(i);
    if (EqualsNoCase(e.host, host)) {
      entry = e;
      break;
    }
  }
  UseServer(entry);
  SubmitUrl = "http://" + HostWithPort(host) + "/~cddb/submit.cgi";
}

void CddbLookup::GetServerURL() {
  std::string host, path;
  if (settings_ && settings_->SeedFirstStart()) {
    host = settings::kDefaultServerHost;
    path = settings::kDefaultServerPath;
    // The seeded entry's character set applies at once; its code stays.
    settings::ServerEntry seeded = settings_->ReadServer(0);
    seeded.code = ServerCode;
    UseServer(seeded);
  } else {
    int n = settings_ ? settings::GetServerList(*settings_, model_) : -1;
    // When selectserver names no stored entry no item is marked; the first
    // entry is used then.
    if (n < 0) n = 0;
    const settings::ServerEntry entry = settings_ ? settings_->ReadServer(n) : settings::ServerEntry{};
    host = entry.host;
    path = entry.path;
    UseServer(entry);
  }
  ServerUrl = "http://" + host + path;
  SubmitUrl = "http://" + HostWithPort(host) + "/~cddb/submit.cgi";
  if (settings_) settings_->SeedSubmitEmail();
}

void CddbLookup::GetProxyServer() {
  NMHTTP1.Proxy = ReadText(settings::kSection, "proxyIP", "");
  NMHTTP1.ProxyPort = ReadInt(settings::kSection, "proxyport", 80);
}

void CddbLookup::tunedexConnect(const std::string& url) {
  services_.SetBusyCursor(true);
  try {
    NMHTTP1.Get(EncodeUnsafe(url));
  } catch (const std::exception&) {
    services_.MessageBox(shell::MsgIcon::Warning, "接続に失敗しました。");
    Status("接続できません。");
    outcome_ = ReplyOutcome::Unreachable;
  }
  services_.SetBusyCursor(false);
}

void CddbLookup::C1Click(const std::string& queryCommand) {
  shell::CommandScope scope(model_);
  if (!scope.Acquired()) return;
  outcome_ = ReplyOutcome::None;
  MatchCategory.clear();
  RequestKind = Query;
  Status("タイトル取得中");
  tunedexConnect(ServerUrl + queryCommand + HelloSuffix);
  if (!MatchCategory.empty()) {
    RequestKind = Read;
    Status("曲名取得中");
    // The category and disc ID come from the server's reply: encoded, so
    // that nothing in them can end the command or add a parameter.
    tunedexConnect(ServerUrl + "cmd=cddb+read+" + EncodeHelloPart(MatchCategory) + "+" +
                   EncodeHelloPart(MatchDiscId) + HelloSuffix);
  }
}

void CddbLookup::tunedexS2Click() {
  shell::CommandScope scope(model_);
  if (!scope.Acquired()) return;
  const std::string url = ServerUrl + "cmd=sites" + HelloSuffix;
  outcome_ = ReplyOutcome::None;
  RequestKind = Sites;
  Status("サーバリスト取得中");
  tunedexConnect(url);
}

void CddbLookup::ChangeServer() {
  // A query waiting for its reply goes on with a read on the same server;
  // the choice is refused and the marks show the server still in use.
  if (model_.CommandRunning()) {
    if (settings_) settings::GetServerList(*settings_, model_);
    return;
  }
  const auto& items = model_.ServerItems();
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (!items[i].checked) continue;
    const int n = static_cast<int>(i);
    const settings::ServerEntry entry = settings_ ? settings_->ReadServer(n) : settings::ServerEntry{};
    UseServer(entry);
    ServerUrl = "http://" + HostWithPort(entry.host) + entry.path;
    SubmitUrl = "http://" + HostWithPort(entry.host) + "/~cddb/submit.cgi";
    if (settings_) settings_->WriteInteger(settings::kSection, "selectserver", n);
  }
}

void CddbLookup::NMHTTP1Failure(int) {
  Status("接続できません。");
  outcome_ = ReplyOutcome::Unreachable;
}

void CddbLookup::ShowServerLine(const std::string& line) {
  // One box per command: a refused query ends the command, and a read
  // follows only a query that was not refused.
  services_.MessageBox(shell::MsgIcon::Information, ServerReplyBoxText(line));
}

namespace {
// "0x81 0x20 (CP932)": the bytes at `offsets` of `raw`, a run of adjacent
// ones written together, at most kMaxNamed of them.
std::string UndecodableBytesText(std::string_view raw, const std::vector<std::size_t>& offsets,
                                 const std::string& codePage) {
  constexpr std::size_t kMaxNamed = 8;
  std::string out;
  char hex[8];
  for (std::size_t i = 0; i < offsets.size() && i < kMaxNamed; ++i) {
    if (i > 0) out += offsets[i] == offsets[i - 1] + 1 ? " " : ", ";
    std::snprintf(hex, sizeof hex, "0x%02X", static_cast<unsigned>(static_cast<unsigned char>(raw[offsets[i]])));
    out += hex;
  }
  if (offsets.size() > kMaxNamed) out += " …";
  return "サーバの応答のバイト " + out + " はコードページ " + codePage + " で読めません。";
}
}  // namespace

void CddbLookup::NMHTTP1Success(int) {
  // Reply bodies arrive in the external code page (or UTF-8). Only as many
  // lines as the program can use are decoded and split: a list of millions
  // of lines must not take memory by the gigabyte. The cut is made on the
  // raw bytes, where a line end is never part of a character.
  const std::string_view raw = RawLines(NMHTTP1.Body, kMaxReplyLines);
  auto decode = [this](std::string_view bytes, std::vector<std::size_t>* bad = nullptr) {
    return ServerUtf8 ? text::SanitizeUtf8(bytes, bad) : text::FromExternal(bytes, bad);
  };
  std::vector<std::size_t> undecodable;
  const std::vector<std::string> lines = SplitLines(decode(raw, &undecodable), kMaxReplyLines);
  undecodableNote_ = undecodable.empty()
                         ? std::string()
                         : UndecodableBytesText(raw, undecodable,
                                                ServerUtf8 ? std::string("UTF-8")
                                                           : text::ExternalCodePageName());
  // The status line as received: a 200 reply's match line is cut from it.
  const std::string_view rawStatusLine = raw.substr(0, raw.find_first_of("\r\n"));
  const bool terminated = EndsWithTerminator(NMHTTP1.Body);
  try {
    if (lines.empty()) throw std::runtime_error("empty reply");
    const int code = StatusCode(lines[0]);
    switch (code) {
      case 200:
        Status("タイトル取得完了");
        // The match line follows the code and its blank. It is cut off on
        // the bytes as received: cut on the decoded text, a character that
        // took the place of the blank would be split in half.
        CheckReturnCmd(rawStatusLine.size() > 4 ? decode(rawStatusLine.substr(4))
                                                : std::string());
        model_.Table().SetCategory(MatchCategory);
        model_.Table().SetArtist(MatchArtist);
        model_.Table().SetTitle(MatchTitle);
        outcome_ = ReplyOutcome::Done;
        break;
      case 202:
        services_.MessageBox(shell::MsgIcon::Information, "一致するタイトルはありませんでした。");
        Status("該当タイトルなし");
        outcome_ = ReplyOutcome::NotFound;
        break;
      case 210:
        if (RequestKind == Read) {
          // A cut-off entry is refused before anything says it arrived.
          const auto entry = ListBody(lines, terminated);
          Status("曲名取得完了");
          services_.MessageBox(shell::MsgIcon::Information, "曲名取得完了しました。");
          GetTuneList(entry);
          outcome_ = ReplyOutcome::Done;
          if (onEntryApplied) onEntryApplied();
        } else if (RequestKind == Sites) {
          const auto body = ListBody(lines, terminated);
          // The list is merged first: success is reported only for a list
          // that the settings file took.
          if (settings_) {
            std::string error;
            if (!settings::SetServerList(*settings_, body, &error)) {
              outcome_ = ReplyOutcome::MergeRefused;
              services_.MessageBox(shell::MsgIcon::Warning,
                                   "サーバリストを保存できませんでした。\n" + error);
              Status("サーバリスト保存失敗");
              break;
            }
          }
          services_.MessageBox(shell::MsgIcon::Information, "サーバリストの取得が完了しました。");
          Status("サーバリスト取得完了");
          if (settings_) settings::GetServerList(*settings_, model_);
          outcome_ = ReplyOutcome::Done;
        } else {
          SelectMatch(ListBody(lines, terminated));
        }
        break;
      case 211:
        SelectMatch(ListBody(lines, terminated));
        break;
      case 401:
        Status(RequestKind == Sites ? "ミラーサーバなし" : "該当なし");
        outcome_ = ReplyOutcome::NotFound;
        break;
      // The error codes keep their status text, and the server's own line
      // says what went wrong (an unregistered client, a bad hello, ...).
      case 402:
        Status("サーバ側でエラー発生");
        outcome_ = ReplyOutcome::Refused;
        ShowServerLine(lines[0]);
        break;
      case 403:
        Status("データベース異常");
        outcome_ = ReplyOutcome::Refused;
        ShowServerLine(lines[0]);
        break;
      case 409:
        Status("接続失敗");
        outcome_ = ReplyOutcome::Refused;
        ShowServerLine(lines[0]);
        break;
      default:
        Status("コマンドエラー");
        outcome_ = ReplyOutcome::Refused;
        ShowServerLine(lines[0]);
        break;
    }
  } catch (const std::exception&) {
    Status("応答コードなし");
    outcome_ = ReplyOutcome::Malformed;
  }
}

void CddbLookup::CheckReturnCmd(std::string_view line) {
  std::string_view rest = line;
  auto p = rest.find(' ');
  if (p == std::string_view::npos) {
    MatchCategory.clear();
  } else {
    MatchCategory = std::string(rest.substr(0, p));
    rest = rest.substr(p + 1);
  }
  p = rest.find(' ');
  if (p == std::string_view::npos) {
    MatchDiscId.clear();
  } else {
    MatchDiscId = std::string(rest.substr(0, p));
    rest = rest.substr(p + 1);
  }
  const auto sep = rest.find(" / ");
  if (sep == std::string_view::npos) {
    MatchArtist.clear();
    MatchTitle = std::string(rest);
  } else {
    MatchArtist = std::string(rest.substr(0, sep));
    MatchTitle = std::string(rest.substr(sep + 3));
  }
}

void CddbLookup::GetTuneList(const std::vector<std::string>& lines) {
  // Each key once, its continuation lines joined: a long title comes whole.
  const std::map<std::string, std::string> values = EntryValues(lines);
  auto value = [&values](const std::string& key) -> const std::string& {
    static const std::string kNone;
    const auto it = values.find(key);
    return it == values.end() ? kNone : it->second;
  };
  // The match line carries the disc title on one line; a server that cut a
  // long one there still has all of it in the entry's DTITLE lines. Only a
  // cut title is replaced: a title the match line gives whole stays as the
  // window shows it.
  const std::string& dtitle = value("DTITLE");
  const std::string shown = MatchArtist.empty() ? MatchTitle : MatchArtist + " / " + MatchTitle;
  if (!shown.empty() && dtitle.size() > shown.size() && dtitle.compare(0, shown.size(), shown) == 0 &&
      model_.Table().Artist() == MatchArtist && model_.Table().Title() == MatchTitle) {
    const auto sep = dtitle.find(" / ");
    model_.Table().SetArtist(sep == std::string::npos ? std::string() : dtitle.substr(0, sep));
    model_.Table().SetTitle(sep == std::string::npos ? dtitle : dtitle.substr(sep + 3));
  }
  model_.Table().SetYear(value("DYEAR"));
  model_.Table().SetGenre(value("DGENRE"));
  // Titles for rows the grid doesn't have are dropped: SetCell refuses them.
  const int limit = std::min<int>(kMaxTrackTitles, static_cast<int>(lines.size()));
  for (int n = 0; n < limit; ++n) {
    const std::string& v = value("TTITLE" + std::to_string(n));
    if (v.empty()) break;
    SeparateString(v, n + 1);
  }
  // What the window does not show is kept for a correction of this entry.
  ReadEntry read;
  read.discId = MatchDiscId;
  read.revision = EntryRevision(lines);
  read.extd = value("EXTD");
  read.playorder = value("PLAYORDER");
  // One per track, as far as the entry numbers them (a gap stays empty).
  for (int n = 0; n < kMaxTrackTitles; ++n) {
    const auto it = values.find("EXTT" + std::to_string(n));
    if (it == values.end()) continue;
    read.extt.resize(static_cast<std::size_t>(n) + 1);
    read.extt.back() = it->second;
  }
  LastRead = std::move(read);
  model_.SetEnabled(shell::MenuId::MenuDSMPExport, true);
}

void CddbLookup::SeparateString(std::string_view text, int row) {
  // Positions count from 1; 0 means not found.
  auto pos = [&](std::string_view needle) -> std::size_t {
    const auto p = text.find(needle);
    return p == std::string_view::npos ? 0 : p + 1;
  };
  const std::size_t p1 = pos(" /");
  const std::size_t p2 = pos("/ ");
  // The artist ends before " /" (or, without one, before "/ "); the title
  // starts after "/ ". Without "/ " nothing is split.
  std::size_t artistLength = p1 > 0 ? p1 - 1 : 0;
  if (p2 > 0) {
    const std::size_t titleStart = p2 + 2;
    if (artistLength == 0) artistLength = p2 - 1;
    model_.Table().SetCell(2, row, std::string(text.substr(0, artistLength)));
    model_.Table().SetCell(1, row, std::string(text.substr(std::min(titleStart - 1, text.size()))));
  } else {
    model_.Table().SetCell(1, row, std::string(text));
  }
}

void CddbLookup::SelectMatch(const std::vector<std::string>& matches) {
  // A list reply that lists nothing is malformed; there is nothing to offer.
  if (matches.empty()) throw std::runtime_error("empty match list");
  MatchList.assign(matches.begin(), matches.begin() + static_cast<std::ptrdiff_t>(
                                                          std::min(matches.size(), kMaxMatches)));
  auto& dialog = model_.MatchDialog();
  dialog.rows.assign(MatchList.size() + 1, {});
  for (std::size_t i = 0; i < MatchList.size(); ++i) {
    CheckReturnCmd(MatchList[i]);
    dialog.rows[i + 1] = {MatchCategory, MatchArtist, MatchTitle};
  }
  // The current row survives between uses when it still exists.
  dialog.currentRow = std::clamp(dialog.currentRow, 1, std::max(1, static_cast<int>(MatchList.size())));
  const int r = services_.ShowMatchDialog(dialog);
  if (r > 0 && r <= static_cast<int>(MatchList.size())) {
    outcome_ = ReplyOutcome::Done;
    CheckReturnCmd(MatchList[static_cast<std::size_t>(r - 1)]);
    const auto& row = dialog.rows[static_cast<std::size_t>(r)];
    model_.Table().SetCategory(row[0]);
    model_.Table().SetArtist(row[1]);
    model_.Table().SetTitle(row[2]);
  } else {
    outcome_ = ReplyOutcome::ChoiceCancelled;
    MatchCategory.clear();
  }
}

}  // namespace sl::cddb
