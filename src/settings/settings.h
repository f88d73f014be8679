// The settings file: section "tunedex" with the program's own keys and the
// server sections "svr0", "svr1", ... Every read goes to the file and every
// write is on disk when it returns; nothing is cached.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>
#include "config/config.h"

#include "inifile/profile.h"

namespace sl::settings {

inline constexpr const char* kSection = "tunedex";
inline constexpr const char* kDefaultServerHost = "gnudb.gnudb.org";
inline constexpr const char* kDefaultServerPath = "/~cddb/cddb.cgi?";
inline constexpr const char* kDefaultSubmitEmail = "gnudb-submit@gnudb.org";

// Key names of section "tunedex".
inline constexpr const char* kKeyProxyIp = "proxyIP";
inline constexpr const char* kKeyProxyPort = "proxyport";
inline constexpr const char* kKeyEmail = "email";
inline constexpr const char* kKeySmtpHost = "SMTPhost";
inline constexpr const char* kKeySmtpId = "SMTPID";
inline constexpr const char* kKeySubmitEmail = "submitemail";
inline constexpr const char* kKeySelectServer = "selectserver";
inline constexpr const char* kKeyServerCount = "servercount";
// Key names of a server section.
inline constexpr const char* kKeyHost = "host";
inline constexpr const char* kKeyPath = "path";
inline constexpr const char* kKeyCode = "code";
inline constexpr const char* kKeyCharset = "charset";
// The one value of "charset" the program acts on.
inline constexpr const char* kCharsetUtf8 = "UTF-8";

// One stored CDDB server; code: 0 not yet known, 1 single-byte text only,
// 2 double-byte text accepted. charset "UTF-8": the server speaks protocol
// level 6 and UTF-8; empty (the key absent): level 5 and the external code
// page.
struct ServerEntry {
  std::string host, path;
  int code = 0;
  std::string charset;
  bool Utf8() const;
};

// Whether a stored "charset" value names UTF-8 (any case, "UTF8" too).
bool IsUtf8Charset(std::string_view value);

std::string ServerSection(int n);  // "svr" + n

// The other sources of titles: section "musicbrainz" (the web service, the
// contact its requests carry, when to ask it) and section "cdtext" (whether
// a disc's own text fills the window).
inline constexpr const char* kMusicBrainzSection = "musicbrainz";
inline constexpr const char* kCdTextSection = "cdtext";
inline constexpr const char* kKeySourceServer = "server";
inline constexpr const char* kKeySourceContact = "contact";
inline constexpr const char* kKeySourceUse = "use";
inline constexpr const char* kDefaultMusicBrainzServer = "https://musicbrainz.org";

// When the window asks MusicBrainz, as "use" stores it.
enum class MusicBrainzUse {
  Never = 0,            // a missing or unknown value too: files older than the source
  WhenCddbHasNone = 1,  // after the CDDB server had no match or every match was cancelled
  First = 2,            // before the CDDB server, which is asked when MusicBrainz has none
};

// Bounds of the two typed keys.
inline constexpr std::size_t kMaxMusicBrainzServerBytes = 512;
inline constexpr std::size_t kMaxContactBytes = 256;

// The [musicbrainz] server as it is stored: "http://" or "https://" (either
// case), a host, an optional port and path; blanks around it and slashes at
// its end are dropped, and an empty text stands for the default server.
// nullopt with `why` (a sentence for the user, naming the text) for anything
// else: another scheme, no host, a query or fragment, a blank or control
// character inside, or more than kMaxMusicBrainzServerBytes.
std::optional<std::string> CheckMusicBrainzServer(std::string_view text, std::string& why);
// The contact goes into every request's User-Agent line: false with `why`
// when it holds a control character (a line break would end the header) or
// is longer than kMaxContactBytes.
bool CheckContact(std::string_view text, std::string& why);
// The contact MusicBrainz requests carry: `contact` when it is not empty,
// else the CDDB e-mail address.
std::string SentContactFor(std::string_view contact, std::string_view email);

struct TitleSourceSettings {
  std::string musicBrainzServer = kDefaultMusicBrainzServer;
  std::string contact;  // as stored; see SentContact for what requests carry
  MusicBrainzUse musicBrainzUse = MusicBrainzUse::Never;
  bool cdText = true;
};

// The window program's file name; the command line shares its settings.
inline constexpr const char* kWindowProgram = "sonolabel";

// Path of the settings file: the configured override (SONOLABEL_INI) if set;
// else the executable path with its extension replaced by ".INI"
// (…/sonolabel -> …/sonolabel.INI) when the executable's folder is the
// user's own (platform::IsUsersOwnFolder: writable, theirs, not a system
// folder such as /usr/bin even for root); else the configuration folder's
// sonolabel/sonolabel.INI ($XDG_CONFIG_HOME, default ~/.config).
std::string SettingsPathFor(const std::string& exePath, const config::Configuration& configuration);

// The settings file of the window program in `programDir`: the one every
// program of the package beside it (the command line too) uses, so that
// they all see the same servers, address and options.
std::string SharedSettingsPath(const std::string& programDir, const config::Configuration& configuration);

class SettingsFile {
 public:
  explicit SettingsFile(std::string path);

  const std::string& Path() const { return profile_.Path(); }

  std::string ReadString(std::string_view section, std::string_view key, std::string_view def) const;
  int ReadInteger(std::string_view section, std::string_view key, int def) const;
  // A failed write changes nothing; the program goes on with the values in
  // memory. LastError() says why it failed.
  bool WriteString(std::string_view section, std::string_view key, std::string_view value);
  bool WriteInteger(std::string_view section, std::string_view key, int value);
  // Keys of one or several sections in one atomic replacement of the file,
  // in the order given.
  bool WriteKeys(std::string_view section, const inifile::Profile::KeyValues& keys);
  bool WriteSections(const std::vector<inifile::Profile::SectionKeys>& sections);

  // First start (selectserver missing or empty): seeds selectserver = 0,
  // servercount = 1 and "svr0" with the default server, all in one atomic
  // replacement. Returns true when this was a first start.
  bool SeedFirstStart();
  // The title-source keys; missing keys take their defaults.
  TitleSourceSettings ReadTitleSources() const;
  // Both sections in one atomic replacement.
  bool WriteTitleSources(const TitleSourceSettings& sources);
  // The two sections as WriteSections takes them, for a replacement that
  // writes other keys too.
  static std::vector<inifile::Profile::SectionKeys> TitleSourceSections(const TitleSourceSettings& sources);
  // The contact MusicBrainz requests carry: [musicbrainz] contact when set,
  // else the e-mail address given for the CDDB server ("" when neither).
  std::string SentContact() const;
  // Writes the default submission address when submitemail is empty.
  // Returns true when it wrote it.
  bool SeedSubmitEmail();

  // A locked read-modify-write of the file (see inifile::Profile::Transact).
  // False when it wrote nothing because the change refused or the write
  // failed; `error` (when given) says why.
  bool Transact(const inifile::Profile::Change& change, std::string* error = nullptr);

  ServerEntry ReadServer(int n) const;
  // One atomic replacement; "charset" is written only when set (an entry
  // without it keeps none).
  bool WriteServer(int n, const ServerEntry& e);

  const std::string& LastError() const { return profile_.LastError(); }

 private:
  // The file's folder may not exist yet (a fresh configuration folder).
  void EnsureFolder();
  inifile::Profile profile_;
};

}  // namespace sl::settings
