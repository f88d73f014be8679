#include "settings/settings.h"

#include "platform/userdirs.h"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace sl::settings {

namespace {

namespace fs = std::filesystem;

}  // namespace

std::string ServerSection(int n) { return "svr" + std::to_string(n); }

bool IsUtf8Charset(std::string_view value) {
  std::string v;
  for (char c : value)
    if (c != ' ' && c != '\t') v += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return v == "UTF-8" || v == "UTF8";
}

bool ServerEntry::Utf8() const { return IsUtf8Charset(charset); }

std::string SettingsPathFor(const std::string& exePath, const config::Configuration& configuration) {
  if (!configuration.settingsOverride.empty()) return configuration.settingsOverride;
  if (!exePath.empty()) {
    fs::path ini(exePath);
    if (ini.has_filename()) {
      ini.replace_extension(".INI");
      const fs::path dir = ini.has_parent_path() ? ini.parent_path() : fs::path(".");
      // Replacing the file atomically needs a writable folder, and one that
      // is the user's: a file in a package's folder would be lost with it.
      if (platform::IsUsersOwnFolder(dir.string())) return ini.string();
    }
  }
  return configuration.folders.configHome + "/sonolabel/sonolabel.INI";
}

std::string SharedSettingsPath(const std::string& programDir, const config::Configuration& configuration) {
  return SettingsPathFor((fs::path(programDir.empty() ? "." : programDir) / kWindowProgram).string(),
                         configuration);
}

SettingsFile::SettingsFile(std::string path) : profile_(std::move(path)) {}

std::string SettingsFile::ReadString(std::string_view section, std::string_view key,
                                     std::string_view def) const {
  return profile_.ReadString(section, key, def);
}

int SettingsFile::ReadInteger(std::string_view section, std::string_view key, int def) const {
  return profile_.ReadInteger(section, key, def);
}

void SettingsFile::EnsureFolder() {
  const fs::path dir = fs::path(profile_.Path()).parent_path();
  if (dir.empty()) return;
  std::error_code ec;
  if (!fs::exists(dir, ec)) fs::create_directories(dir, ec);
}

bool SettingsFile::WriteString(std::string_view section, std::string_view key, std::string_view value) {
  EnsureFolder();
  return profile_.WriteString(section, key, value);
}

bool SettingsFile::WriteInteger(std::string_view section, std::string_view key, int value) {
  EnsureFolder();
  return profile_.WriteInteger(section, key, value);
}

bool SettingsFile::WriteKeys(std::string_view section, const inifile::Profile::KeyValues& keys) {
  EnsureFolder();
  return profile_.WriteKeys(section, keys);
}

bool SettingsFile::WriteSections(const std::vector<inifile::Profile::SectionKeys>& sections) {
  EnsureFolder();
  return profile_.WriteSections(sections);
}

bool SettingsFile::SeedFirstStart() {
  if (!ReadString(kSection, kKeySelectServer, "").empty()) return false;
  // A new file (none yet, or empty) offers MusicBrainz when the CDDB server
  // has no match; a file written before that source existed lacks the key
  // and never asks it.
  std::error_code error;
  const auto size = std::filesystem::file_size(Path(), error);
  const bool newFile = error || size == 0;
  // One replacement for all sections: a start-up interrupted half-way must
  // not leave a selected server without its entry.
  EnsureFolder();
  std::vector<inifile::Profile::SectionKeys> sections = {
      {kSection, {{kKeySelectServer, "0"}, {kKeyServerCount, "1"}}},
      // The default server stores its entries in UTF-8 and prefers level 6.
      {ServerSection(0),
       {{kKeyHost, kDefaultServerHost},
        {kKeyPath, kDefaultServerPath},
        {kKeyCode, "0"},
        {kKeyCharset, kCharsetUtf8}}},
  };
  if (newFile) sections.push_back({kMusicBrainzSection, {{kKeySourceUse, "1"}}});
  profile_.WriteSections(sections);
  return true;
}

TitleSourceSettings SettingsFile::ReadTitleSources() const {
  TitleSourceSettings s;
  const std::string server = ReadString(kMusicBrainzSection, kKeySourceServer, "");
  if (!server.empty()) s.musicBrainzServer = server;
  s.contact = ReadString(kMusicBrainzSection, kKeySourceContact, "");
  switch (ReadInteger(kMusicBrainzSection, kKeySourceUse, 0)) {
    case 1: s.musicBrainzUse = MusicBrainzUse::WhenCddbHasNone; break;
    case 2: s.musicBrainzUse = MusicBrainzUse::First; break;
    default: s.musicBrainzUse = MusicBrainzUse::Never; break;
  }
  s.cdText = ReadInteger(kCdTextSection, kKeySourceUse, 1) != 0;
  return s;
}

std::vector<inifile::Profile::SectionKeys> SettingsFile::TitleSourceSections(
    const TitleSourceSettings& sources) {
  return {
      {kMusicBrainzSection,
       {{kKeySourceServer, sources.musicBrainzServer},
        {kKeySourceContact, sources.contact},
        {kKeySourceUse, std::to_string(static_cast<int>(sources.musicBrainzUse))}}},
      {kCdTextSection, {{kKeySourceUse, sources.cdText ? "1" : "0"}}},
  };
}

bool SettingsFile::WriteTitleSources(const TitleSourceSettings& sources) {
  EnsureFolder();
  return profile_.WriteSections(TitleSourceSections(sources));
}

std::string SettingsFile::SentContact() const {
  return SentContactFor(ReadString(kMusicBrainzSection, kKeySourceContact, ""),
                        ReadString(kSection, kKeyEmail, ""));
}

namespace {

bool IsControl(unsigned char c) { return c < 0x20 || c == 0x7f; }

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
  return true;
}

}  // namespace

std::optional<std::string> CheckMusicBrainzServer(std::string_view text, std::string& why) {
  const std::string_view t = TrimBlanks(text);
  if (t.empty()) return std::string(kDefaultMusicBrainzServer);
  // The text as the box quotes it: a long one cut at a character's start.
  std::size_t shown = std::min<std::size_t>(t.size(), 80);
  while (shown < t.size() && shown > 0 && (static_cast<unsigned char>(t[shown]) & 0xC0) == 0x80) --shown;
  const std::string quoted =
      "MusicBrainzのサーバ「" + std::string(t.substr(0, shown)) + (shown < t.size() ? "…" : "") + "」";
  if (t.size() > kMaxMusicBrainzServerBytes) {
    why = quoted + "は長すぎます（" + std::to_string(kMaxMusicBrainzServerBytes) + "バイトまで）。";
    return std::nullopt;
  }
  std::size_t schemeEnd = 0;
  if (StartsWithNoCase(t, "http://")) schemeEnd = 7;
  else if (StartsWithNoCase(t, "https://")) schemeEnd = 8;
  else {
    why = quoted + "は http:// か https:// で始まるURLではありません。";
    return std::nullopt;
  }
  for (const char c : t) {
    if (IsControl(static_cast<unsigned char>(c)) || c == ' ' || c == '\t') {
      why = quoted + "に空白か制御文字が含まれています。";
      return std::nullopt;
    }
    if (c == '?' || c == '#') {
      why = quoted + "には「?」や「#」の付かない、サーバのアドレスだけを入力してください。";
      return std::nullopt;
    }
  }
  // The host: up to the path, without a user part (which would send a
  // password along) and not empty.
  const std::string_view rest = t.substr(schemeEnd);
  const std::string_view authority = rest.substr(0, rest.find('/'));
  const std::size_t colon = authority.rfind(':');
  const std::string_view host =
      colon == std::string_view::npos || authority.find(']', colon) != std::string_view::npos
          ? authority
          : authority.substr(0, colon);
  if (host.empty() || authority.find('@') != std::string_view::npos) {
    why = quoted + "にはホスト名がありません。";
    return std::nullopt;
  }
  if (colon != std::string_view::npos && host.size() != authority.size()) {
    const std::string_view port = authority.substr(colon + 1);
    // Up to five digits, so the number is at most 99999 and cannot overflow.
    bool digits = !port.empty() && port.size() <= 5;
    long number = 0;
    for (std::size_t i = 0; digits && i < port.size(); ++i) {
      digits = port[i] >= '0' && port[i] <= '9';
      number = number * 10 + (port[i] - '0');
    }
    if (!digits || number > 65535) {
      why = quoted + "のポート番号が正しくありません。";
      return std::nullopt;
    }
  }
  std::string out(t);
  while (out.size() > schemeEnd && out.back() == '/') out.pop_back();
  return out;
}

bool CheckContact(std::string_view text, std::string& why) {
  if (text.size() > kMaxContactBytes) {
    why = "MusicBrainzへの連絡先が長すぎます（" + std::to_string(kMaxContactBytes) + "バイトまで）。";
    return false;
  }
  for (const char c : text) {
    if (IsControl(static_cast<unsigned char>(c))) {
      why = "MusicBrainzへの連絡先に制御文字が含まれています。";
      return false;
    }
  }
  return true;
}

std::string SentContactFor(std::string_view contact, std::string_view email) {
  return std::string(contact.empty() ? email : contact);
}

bool SettingsFile::SeedSubmitEmail() {
  if (!ReadString(kSection, kKeySubmitEmail, "").empty()) return false;
  return WriteString(kSection, kKeySubmitEmail, kDefaultSubmitEmail);
}

bool SettingsFile::Transact(const inifile::Profile::Change& change, std::string* error) {
  EnsureFolder();
  const bool ok = profile_.Transact(change);
  if (!ok && error) *error = profile_.LastError();
  return ok;
}

ServerEntry SettingsFile::ReadServer(int n) const {
  const std::string section = ServerSection(n);
  ServerEntry e;
  e.host = ReadString(section, kKeyHost, "");
  e.path = ReadString(section, kKeyPath, "");
  e.code = ReadInteger(section, kKeyCode, 0);
  e.charset = ReadString(section, kKeyCharset, "");
  return e;
}

bool SettingsFile::WriteServer(int n, const ServerEntry& e) {
  EnsureFolder();
  inifile::Profile::KeyValues keys = {
      {kKeyHost, e.host}, {kKeyPath, e.path}, {kKeyCode, std::to_string(e.code)}};
  if (!e.charset.empty()) keys.emplace_back(kKeyCharset, e.charset);
  return profile_.WriteKeys(ServerSection(n), keys);
}

}  // namespace sl::settings
