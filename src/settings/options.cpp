#include "settings/options.h"

#include "settings/serverlist.h"

namespace sl::settings {

// The same bound as the server menu's, so the dialog sees every entry the
// menu lists and may add up to the same count.
int OptionsDialogLogic::StoredCount() const { return settings_ ? StoredServerCount(*settings_) : 0; }

void OptionsDialogLogic::FillFromSettings() {
  auto& s = state;
  s.hosts.clear();
  const int count = StoredCount();
  for (int i = 0; i < count; ++i) s.hosts.push_back(settings_->ReadString(ServerSection(i), kKeyHost, ""));
  // The first host shows in the box. The path box and the "2ﾊﾞｲﾄ文字" box
  // keep what they showed when the dialog was last closed; the "UTF-8" box
  // shows the first entry's own value, since it is written back to the
  // entry the box shows.
  s.hostIndex = s.hosts.empty() ? -1 : 0;
  s.hostText = s.hosts.empty() ? std::string() : s.hosts.front();
  s.editedEntry = 0;
  s.utf8Checked = !s.hosts.empty() && IsUtf8Charset(settings_->ReadString(ServerSection(0), kKeyCharset, ""));
  s.utf8Entry = 0;
  EditContact();
}

void OptionsDialogLogic::HandleActivation() { state.applyEnabled = false; }

void OptionsDialogLogic::SelectServerHost(int index) {
  auto& s = state;
  if (index < 0 || index >= static_cast<int>(s.hosts.size())) return;
  s.hostIndex = index;
  s.hostText = s.hosts[static_cast<std::size_t>(index)];
  s.editedEntry = index;
  const std::string section = ServerSection(index);
  s.serverPath = settings_ ? settings_->ReadString(section, kKeyPath, "") : std::string();
  s.utf8Checked = settings_ && IsUtf8Charset(settings_->ReadString(section, kKeyCharset, ""));
  s.utf8Entry = index;
  switch (settings_ ? settings_->ReadInteger(section, kKeyCode, 0) : 0) {
    case 1:
      s.doubleByteEnabled = true;
      s.doubleByteChecked = false;
      break;
    case 2:
      s.doubleByteEnabled = true;
      s.doubleByteChecked = true;
      break;
    default:
      s.doubleByteEnabled = false;  // the tick stays as it was
      break;
  }
}

void OptionsDialogLogic::EditServerHost() {
  state.hostIndex = -1;
  state.doubleByteEnabled = true;
  state.applyEnabled = true;
}

void OptionsDialogLogic::ToggleUtf8() {
  // The user's own choice for the entry the tab edits.
  state.utf8Entry = state.editedEntry;
  state.applyEnabled = true;
}

void OptionsDialogLogic::EditContact() {
  state.sentContact = SentContactFor(state.musicBrainzContact, state.email);
}

void OptionsDialogLogic::AddServer() {
  auto& s = state;
  s.hostIndex = -1;
  s.hostText.clear();
  s.editedEntry = -1;
  s.doubleByteEnabled = true;
  s.utf8Checked = false;
  s.utf8Entry = -1;
  s.applyEnabled = false;
  s.serverPath = kDefaultServerPath;
}

void OptionsDialogLogic::ApplyServer() {
  ApplyServerEntry();
  state.applyEnabled = false;
}

int OptionsDialogLogic::AcceptOptions() {
  // A refused server or contact keeps the dialog open with what was typed,
  // before anything (a pending server entry included) is stored.
  std::string why;
  if (!CheckMusicBrainzServer(state.musicBrainzServer, why) || !CheckContact(state.musicBrainzContact, why)) {
    Report(OptionEvent::SourcesRefused, why);
    return shell::kModalStay;
  }
  if (state.applyEnabled) ApplyServerEntry();
  return shell::kModalOk;
}

int OptionsDialogLogic::CancelOptions() { return shell::kModalCancel; }

bool OptionsDialogLogic::ApplyServerEntry() {
  if (!settings_) return false;
  const auto& s = state;
  const int count = StoredCount();
  const std::string& text = s.hostText;
  if (text.empty()) return false;
  // The "UTF-8" box speaks for this entry only when it shows this entry's
  // value (or the user set it for this entry); otherwise the key is left
  // as stored.
  const bool charsetShown = s.utf8Entry == s.editedEntry;
  // The picked server under its own name: only its character set can
  // change (a host is always found inside itself, so nothing else of it is
  // written, as for any host already contained in a stored one).
  if (s.editedEntry >= 0 && s.editedEntry < count &&
      settings_->ReadString(ServerSection(s.editedEntry), kKeyHost, "") == text) {
    if (!charsetShown) return false;
    inifile::Profile::SectionKeys charset{ServerSection(s.editedEntry), {}, {}};
    if (s.utf8Checked) charset.keys.emplace_back(kKeyCharset, kCharsetUtf8);
    else charset.deleteKeys.push_back(kKeyCharset);
    if (!settings_->WriteSections({charset})) {
      Report(OptionEvent::ServerNotSaved, settings_->LastError());
      return false;
    }
    return true;
  }
  for (int i = 0; i < count; ++i) {
    if (settings_->ReadString(ServerSection(i), kKeyHost, "").find(text) != std::string::npos) return false;
  }
  // An entry number at or past the stored count would be written where no
  // list reads it (an empty list still has editedEntry 0): it becomes a new
  // entry instead.
  const bool adding = s.editedEntry < 0 || s.editedEntry >= count;
  if (adding && count >= kMaxServers) {
    Report(OptionEvent::ServerListFull);
    return false;
  }
  const int n = adding ? count : s.editedEntry;
  inifile::Profile::KeyValues keys = {{kKeyHost, text}, {kKeyPath, s.serverPath}};
  if (s.doubleByteEnabled) keys.emplace_back(kKeyCode, s.doubleByteChecked ? "2" : "1");
  std::vector<inifile::Profile::SectionKeys> sections;
  // The count and the entry change together, so the list never names an
  // entry that is not there.
  if (adding) sections.push_back({kSection, {{kKeyServerCount, std::to_string(count + 1)}}});
  // The character set: "UTF-8" when ticked; otherwise the entry has no key,
  // as every entry the program wrote before it knew one.
  std::vector<std::string> removed;
  if (!charsetShown) {
    // Left as stored.
  } else if (s.utf8Checked) {
    keys.emplace_back(kKeyCharset, kCharsetUtf8);
  } else {
    removed.push_back(kKeyCharset);
  }
  sections.push_back({ServerSection(n), std::move(keys), std::move(removed)});
  if (!settings_->WriteSections(sections)) {
    Report(OptionEvent::ServerNotSaved, settings_->LastError());
    return false;
  }
  return true;
}

}  // namespace sl::settings
