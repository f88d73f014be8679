// The lookup's commands: the query and read of a disc, the server list, the
// choice of server, and the settings they start from.
#include <algorithm>
#include <exception>
#include <utility>

#include "cddb/cddb.h"
#include "cddb/internal.h"
#include "settings/serverlist.h"
#include "text/codepage.h"

namespace sl::cddb {

using detail::EqualsNoCase;

CddbLookup::CddbLookup(shell::ShellModel& model, LookupHooks hooks)
    : model_(model), hooks_(std::move(hooks)) {
  // The window's HTTP client as the program configures it.
  http.Port = 0;
  http.TimeOut = 60000;
  http.ReportLevel = 0;
  http.Body = "Default.htm";
  http.Header = "Head.txt";
  http.InputFileMode = false;
  http.OutputFileMode = false;
  http.ProxyPort = 8080;
  http.OnSuccess = [this](int cmd) { HandleCddbReply(cmd); };
  http.OnFailure = [this](int cmd) { HandleHttpFailure(cmd); };
}

std::string CddbLookup::ReadText(std::string_view section, std::string_view key, std::string_view def) const {
  return settings_ ? settings_->ReadString(section, key, def) : std::string(def);
}

int CddbLookup::ReadInt(std::string_view section, std::string_view key, int def) const {
  return settings_ ? settings_->ReadInteger(section, key, def) : def;
}

void CddbLookup::Report(LookupReport report, ReplyOutcome outcome) {
  outcome_ = outcome;
  lastReport_ = std::move(report);
  if (hooks_.report) hooks_.report(lastReport_);
}

void CddbLookup::ReadMailAddress() {
  std::string email = ReadText(settings::kSection, "email", "");
  if (email.empty() && unsavedEmail_) {
    // Asked already in this run, but the answer could not be stored.
    email = *unsavedEmail_;
  } else if (email.empty()) {
    email = hooks_.askEmail ? hooks_.askEmail(kPlaceholderEmail) : std::string(kPlaceholderEmail);
    if (settings_ && !settings_->WriteString(settings::kSection, "email", email)) {
      // Used for this run; the prompt comes again at the next start.
      Report({LookupEvent::EmailNotSaved, 0, {}, settings_->LastError()}, outcome_);
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
  const int count =
      std::clamp(ReadInt(settings::kSection, settings::kKeyServerCount, 0), 0, settings::kMaxServers);
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

void CddbLookup::ReadServerUrl() {
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

void CddbLookup::ReadProxyServer() {
  http.Proxy = ReadText(settings::kSection, "proxyIP", "");
  http.ProxyPort = ReadInt(settings::kSection, "proxyport", 80);
}

void CddbLookup::SendRequest(const std::string& url) {
  if (hooks_.busy) hooks_.busy(true);
  // The HTTP client raises what kept it from a reply (a refused connection,
  // a time-out, a URL it cannot use); a reply's own verdict comes as events.
  try {
    http.Get(EncodeUnsafe(url));
  } catch (const std::exception& e) {
    Report({LookupEvent::ConnectionFailed, 0, {}, e.what()}, ReplyOutcome::Unreachable);
  }
  if (hooks_.busy) hooks_.busy(false);
}

std::optional<LookupReport> CddbLookup::LookUpDisc(const std::string& queryCommand) {
  shell::CommandScope scope(model_);
  if (!scope.Acquired()) return std::nullopt;
  outcome_ = ReplyOutcome::None;
  MatchCategory.clear();
  RequestKind = Query;
  Report(LookupEvent::Querying);
  SendRequest(ServerUrl + queryCommand + HelloSuffix);
  if (!MatchCategory.empty()) {
    RequestKind = Read;
    Report(LookupEvent::Reading);
    // The category and disc ID come from the server's reply: encoded, so
    // that nothing in them can end the command or add a parameter.
    SendRequest(ServerUrl + "cmd=cddb+read+" + EncodeHelloPart(MatchCategory) + "+" +
                EncodeHelloPart(MatchDiscId) + HelloSuffix);
  }
  return lastReport_;
}

std::optional<LookupReport> CddbLookup::FetchServerList() {
  shell::CommandScope scope(model_);
  if (!scope.Acquired()) return std::nullopt;
  const std::string url = ServerUrl + "cmd=sites" + HelloSuffix;
  outcome_ = ReplyOutcome::None;
  RequestKind = Sites;
  Report(LookupEvent::FetchingSites);
  SendRequest(url);
  return lastReport_;
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

void CddbLookup::HandleHttpFailure(int) {
  Report({LookupEvent::HttpFailed, http.ReplyNumber(), {}, {}}, ReplyOutcome::Unreachable);
}
}  // namespace sl::cddb
