// The options command (the dialog and its settings put into effect) and the
// submit command: the entry checked, built and posted to the CDDB server.
#include "mainform/mainform.h"

#include <exception>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "cddb/cddb.h"
#include "disc/disc.h"
#include "inifile/profile.h"
#include "mainform/logic_impl.h"
#include "mainform/outcome_texts.h"
#include "settings/options.h"
#include "settings/serverlist.h"
#include "settings/settings.h"
#include "submit/submit.h"

namespace sl::mainform {

void MainWindowLogic::OpenOptions() { impl_->OpenOptions(); }

void MainWindowLogic::Impl::OpenOptions() {
  // The proxy, the hello tail and the server menu belong to the request a
  // waiting command is making: they change only when it is over.
  if (model.CommandRunning()) return;
  const std::string proxyIp = Setting(settings::kKeyProxyIp);
  const std::string proxyPort = Setting(settings::kKeyProxyPort);
  const std::string email = Setting(settings::kKeyEmail);
  const std::string smtpHost = Setting(settings::kKeySmtpHost);
  const std::string smtpId = Setting(settings::kKeySmtpId);
  const std::string submitEmail = Setting(settings::kKeySubmitEmail);
  auto& st = formOption.state;
  st.proxyHost = proxyIp;
  st.proxyPort = proxyPort;
  st.email = email;
  const settings::TitleSourceSettings sources = TitleSources();
  st.musicBrainzUse = static_cast<int>(sources.musicBrainzUse);
  st.musicBrainzServer = sources.musicBrainzServer;
  st.musicBrainzContact = sources.contact;
  st.cdTextUse = sources.cdText;
  if (services.ShowOptionDialog(formOption) != shell::kModalOk) return;

  // The sources tab is checked before anything takes effect: a server or
  // contact it refuses leaves every setting, stored or in use, as it was.
  // The dialog's OK refuses them already and stays open; this holds for a
  // face that answers OK without asking it.
  std::string why;
  const std::optional<std::string> server = settings::CheckMusicBrainzServer(st.musicBrainzServer, why);
  if (!server || !settings::CheckContact(st.musicBrainzContact, why)) {
    Show(WindowEvent::SourcesRefused, model, services, why);
    return;
  }
  settings::TitleSourceSettings chosen;
  chosen.musicBrainzServer = *server;
  chosen.contact = st.musicBrainzContact;
  chosen.musicBrainzUse = st.musicBrainzUse == 2   ? settings::MusicBrainzUse::First
                          : st.musicBrainzUse == 1 ? settings::MusicBrainzUse::WhenCddbHasNone
                                                   : settings::MusicBrainzUse::Never;
  chosen.cdText = st.cdTextUse;

  const std::string host = st.proxyHost;
  const std::string portText = st.proxyPort;
  const std::string address = st.email;
  // The proxy host takes effect before the port is converted, so a port
  // that is not a number leaves the new host in use and nothing written.
  lookup.http.Proxy = host;
  const std::optional<int> port = inifile::ParseProfileInteger(portText);
  if (!port) {
    Show(WindowEvent::PortNotANumber, model, services, PortNotANumberText(portText));
    return;
  }
  lookup.http.ProxyPort = *port;
  if (settingsFile) {
    // Every tab's keys in one atomic replacement: all of them or none.
    std::vector<inifile::Profile::SectionKeys> sections = {{settings::kSection,
                                                            {{settings::kKeyProxyIp, host},
                                                             {settings::kKeyProxyPort, portText},
                                                             {settings::kKeyEmail, address},
                                                             {settings::kKeySmtpHost, smtpHost},
                                                             {settings::kKeySmtpId, smtpId},
                                                             {settings::kKeySubmitEmail, submitEmail}}}};
    for (auto& section : settings::SettingsFile::TitleSourceSections(chosen))
      sections.push_back(std::move(section));
    if (!settingsFile->WriteSections(sections)) {
      Show(WindowEvent::SettingsNotSaved, model, services, settingsFile->LastError());
      return;
    }
    settings::GetServerList(*settingsFile, model);
  }
  lookup.ReadMailAddress();
}

void MainWindowLogic::SubmitEntry() { impl_->Submit({}); }

MainWindowLogic::SubmitOutcome MainWindowLogic::Submit(const SubmitOptions& options) {
  return impl_->Submit(options);
}

std::optional<MainWindowLogic::Impl::PreparedSubmission> MainWindowLogic::Impl::PrepareSubmission(
    const SubmitOptions& options, SubmitOutcome& out) {
  auto invalid = [&](const std::string& message) -> std::optional<PreparedSubmission> {
    Show(WindowEvent::SubmitInvalid, model, services, message);
    out.result = SubmitOutcome::Result::Invalid;
    return std::nullopt;
  };

  PreparedSubmission prepared;
  const auto& table = model.Table();
  // An entry needs the disc's table of contents: after a failed read the
  // grid may still show another disc's rows, which would be sent under a
  // disc ID of 00000000 with that disc's offsets.
  if (!tocRead || toc.TrackCount < 1 || toc.TrackCount != table.RowCount() - 1)
    return invalid(kNoTocToSubmitText);
  // A server whose entries are UTF-8 gets the entry in UTF-8 and says so in
  // a header line; any other the external code page. A UTF-8 server stores
  // every character, so the double-byte rule does not apply to it.
  const submit::Encoder encode = lookup.ServerUtf8 ? submit::Utf8Encoder() : submit::ExternalEncoder();
  prepared.discId = disc::CalcDiscId(toc, toc.TrackCount);
  // A correction of the entry read for this disc carries a higher revision
  // (or the server keeps the old one) and sends back the entry's text the
  // window does not show (or the server's copy loses it).
  if (options.revision) {
    prepared.revision = *options.revision;
    prepared.kept = options.kept;
  } else if (lookup.LastRead && EqualsHexId(lookup.LastRead->discId, prepared.discId)) {
    const auto& read = *lookup.LastRead;
    if (read.revision > cddb::kMaxServerRevision) return invalid(RevisionTooHighText(read.revision));
    prepared.revision = read.revision + 1;
    prepared.kept = submit::KeptText{read.extd, read.extt, read.playorder};
  }
  const submit::KeptText* kept = prepared.kept ? &*prepared.kept : nullptr;
  const submit::CheckResult check =
      submit::CheckSubmitData(table, lookup.ServerUtf8 ? 2 : lookup.ServerCode, encode, kept);
  if (!check) return invalid(CheckFailureText(check));
  out.entry = submit::BuildSubmissionEntry(toc, table, encode, prepared.revision, kept).Text();
  if (out.entry.size() > submit::kMaxEntryBytes) return invalid(EntryTooLargeText());

  try {
    prepared.request.headers = submit::SubmissionHeaders(
        table.Category(), disc::DiscIdHex(prepared.discId), Setting(settings::kKeyEmail),
        options.testMode ? submit::kModeTest : submit::kModeSubmit, out.entry.size(), encode,
        lookup.ServerUtf8 ? settings::kCharsetUtf8 : "");
  } catch (const std::exception&) {
    return invalid(kEmailUnsendableText);
  }
  prepared.request.url = lookup.SubmitUrl;
  prepared.request.proxy =
      submit::ProxyText(Setting(settings::kKeyProxyIp), Setting(settings::kKeyProxyPort));
  prepared.request.body = out.entry;
  return prepared;
}

submit::PostResult MainWindowLogic::Impl::PostWithBusyCursor(const submit::PostRequest& request) {
  // The cursor comes back on every way out, an exception included.
  services.SetBusyCursor(true);
  struct Restore {
    shell::ShellServices& s;
    ~Restore() { s.SetBusyCursor(false); }
  } restore{services};
  return submit::PostSubmission(request);
}

MainWindowLogic::SubmitOutcome MainWindowLogic::Impl::Submit(const SubmitOptions& options) {
  using Result = SubmitOutcome::Result;
  SubmitOutcome out;
  // The entry is made from the window as it is now; nothing may change the
  // disc or the grid, or start another request, while the post waits.
  shell::CommandScope scope(model);
  if (!scope.Acquired()) return out;
  const std::optional<PreparedSubmission> prepared = PrepareSubmission(options, out);
  if (!prepared) return out;
  if (options.dryRun) {
    out.result = Result::Built;
    return out;
  }

  Show(WindowEvent::Sending, model, services);
  const submit::PostResult posted = PostWithBusyCursor(prepared->request);
  const submit::SubmitVerdict verdict = submit::JudgeReply(posted);
  Show(TextOf(verdict.reply), verdict.line, {}, model, services);
  out.reply = posted.body;
  out.result = verdict.accepted ? Result::Accepted : Result::NotAccepted;
  // The server now holds this revision: a further correction goes above it.
  if (verdict.accepted && !options.testMode) {
    cddb::ReadEntry sent;
    sent.discId = disc::DiscIdHex(prepared->discId);
    sent.revision = prepared->revision;
    if (prepared->kept) {
      sent.extd = prepared->kept->extd;
      sent.extt = prepared->kept->extt;
      sent.playorder = prepared->kept->playorder;
    }
    lookup.LastRead = std::move(sent);
  }
  return out;
}

}  // namespace sl::mainform
