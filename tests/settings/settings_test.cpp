#include "settings/settings.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <string>

#include "platform/userdirs.h"
#include "support/recorder.h"
#include "support/scoped_env.h"

namespace sl::settings {
namespace {

using test::ReadFileBytes;
using test::TempDir;
using test::WriteFileBytes;

using Env = test::ScopedEnv;

// The configuration the given variables make (the rest unset).
config::Configuration ConfigurationOf(const std::map<std::string, std::string>& variables) {
  return config::ReadConfiguration([&](const char* name) -> std::optional<std::string> {
    const auto it = variables.find(name);
    if (it == variables.end()) return std::nullopt;
    return it->second;
  });
}

TEST(Settings, SettingsFileLivesBesideTheProgramOrInTheConfigFolder) {
  TempDir dir;
  config::Configuration c = ConfigurationOf({{"XDG_CONFIG_HOME", "/cfg"}, {"HOME", "/home/u"}});
  EXPECT_EQ(SettingsPathFor(dir.File("sonolabel"), c), dir.File("sonolabel.INI"));
  EXPECT_EQ(SettingsPathFor(dir.File("TUNEDEX.EXE"), c), dir.File("TUNEDEX.INI"));
  std::filesystem::create_directory(dir.File("v1.2"));
  EXPECT_EQ(SettingsPathFor(dir.File("v1.2/prog"), c), dir.File("v1.2/prog.INI"));
  // A folder we cannot write to (here: one that does not exist).
  EXPECT_EQ(SettingsPathFor("/no/such/folder/sonolabel", c), "/cfg/sonolabel/sonolabel.INI");
  EXPECT_EQ(SettingsPathFor("", c), "/cfg/sonolabel/sonolabel.INI");
  c = ConfigurationOf({{"XDG_CONFIG_HOME", "relative/ignored"}, {"HOME", "/home/u"}});
  EXPECT_EQ(SettingsPathFor("/no/such/folder/sonolabel", c), "/home/u/.config/sonolabel/sonolabel.INI");
  c = ConfigurationOf({{"SONOLABEL_INI", "/elsewhere/my.ini"}, {"XDG_CONFIG_HOME", "/cfg"}});
  EXPECT_EQ(SettingsPathFor(dir.File("sonolabel"), c), "/elsewhere/my.ini");
  EXPECT_EQ(ServerSection(0), "svr0");
  EXPECT_EQ(ServerSection(12), "svr12");
}

// A program in a system folder keeps its settings in the user's
// configuration folder even when the process could write there (root); the
// command line finds the window's file, whatever its own name.
TEST(Settings, SettingsNeverGoIntoASystemFolderNorAFileOfTheCommandLinesName) {
  TempDir dir;
  config::Configuration c = ConfigurationOf({{"XDG_CONFIG_HOME", "/cfg"}, {"HOME", "/home/u"}});
  for (const char* exe : {"/usr/bin/sonolabel", "/usr/local/bin/sonolabel", "/bin/sonolabel",
                          "/opt/sonolabel/sonolabel", "/usr/lib/sonolabel/sonolabel", "/sonolabel"}) {
    EXPECT_EQ(SettingsPathFor(exe, c), "/cfg/sonolabel/sonolabel.INI") << exe;
  }
  EXPECT_EQ(SharedSettingsPath(dir.Path(), c), dir.File("sonolabel.INI"));
  EXPECT_EQ(SharedSettingsPath("/usr/bin", c), "/cfg/sonolabel/sonolabel.INI");
  c.settingsOverride = "/elsewhere/my.ini";
  EXPECT_EQ(SharedSettingsPath(dir.Path(), c), "/elsewhere/my.ini");
}

TEST(Settings, SystemFoldersAndTheUsersOwn) {
  struct Case {
    const char* dir;
    bool system;
  };
  for (const Case& c : std::initializer_list<Case>{{"/", true},
                                                   {"/usr", true},
                                                   {"/usr/bin", true},
                                                   {"/usr/local/bin", true},
                                                   {"/bin", true},
                                                   {"/sbin", true},
                                                   {"/lib64", true},
                                                   {"/lib/x86_64-linux-gnu", true},
                                                   {"/opt/x", true},
                                                   {"/etc", true},
                                                   {"/usrlocal", false},
                                                   {"/library", false},
                                                   {"/home/u/bin", false},
                                                   {"/work/build/bin", false}}) {
    EXPECT_EQ(platform::IsSystemFolder(c.dir), c.system) << c.dir;
  }
  TempDir dir;
  EXPECT_TRUE(platform::IsUsersOwnFolder(dir.Path()));
  EXPECT_FALSE(platform::IsUsersOwnFolder(dir.File("missing")));
  EXPECT_FALSE(platform::IsUsersOwnFolder("/usr/bin"));
}

TEST(Settings, FirstStartSeedsTheDefaultServerAndSubmissionAddress) {
  TempDir dir;
  // The configuration folder does not exist yet.
  const std::string path = dir.File("config/sonolabel/sonolabel.INI");
  SettingsFile s(path);
  EXPECT_EQ(s.Path(), path);
  EXPECT_EQ(s.ReadString(kSection, kKeySelectServer, ""), "");
  EXPECT_EQ(s.ReadInteger(kSection, kKeyServerCount, 0), 0);

  EXPECT_TRUE(s.SeedFirstStart());
  EXPECT_EQ(s.ReadInteger(kSection, kKeySelectServer, -1), 0);
  EXPECT_EQ(s.ReadInteger(kSection, kKeyServerCount, 0), 1);
  const ServerEntry e = s.ReadServer(0);
  EXPECT_EQ(e.host, kDefaultServerHost);
  EXPECT_EQ(e.path, "/~cddb/cddb.cgi?");
  EXPECT_EQ(e.code, 0);
  EXPECT_TRUE(e.Utf8());             // the default server speaks UTF-8 at level 6
  EXPECT_FALSE(s.SeedFirstStart());  // not a first start any more

  EXPECT_TRUE(s.SeedSubmitEmail());
  EXPECT_EQ(s.ReadString(kSection, kKeySubmitEmail, ""), kDefaultSubmitEmail);
  EXPECT_FALSE(s.SeedSubmitEmail());
  EXPECT_EQ(ReadFileBytes(path),
            "[tunedex]\r\nselectserver=0\r\nservercount=1\r\nsubmitemail=gnudb-submit@gnudb.org\r\n"
            "[svr0]\r\nhost=gnudb.gnudb.org\r\npath=/~cddb/cddb.cgi?\r\ncode=0\r\ncharset=UTF-8\r\n"
            "[musicbrainz]\r\nuse=1\r\n");
}

// The title-source keys: what a file without them means, what a new file
// is seeded with, unknown values, and the contact a request carries.
TEST(Settings, TitleSources) {
  TempDir dir;
  const std::string path = dir.File("s.INI");
  {
    // A file from before the sources existed: MusicBrainz never, CD-Text on,
    // and its first start does not turn MusicBrainz on.
    WriteFileBytes(path, "[tunedex]\r\nemail=me@example.org\r\n");
    SettingsFile s(path);
    auto sources = s.ReadTitleSources();
    EXPECT_EQ(sources.musicBrainzUse, MusicBrainzUse::Never);
    EXPECT_TRUE(sources.cdText);
    EXPECT_EQ(sources.musicBrainzServer, "https://musicbrainz.org");
    EXPECT_TRUE(s.SeedFirstStart());
    EXPECT_EQ(s.ReadTitleSources().musicBrainzUse, MusicBrainzUse::Never);
    // Without a contact of its own the CDDB address is sent.
    EXPECT_EQ(s.SentContact(), "me@example.org");

    sources.contact = "https://example.org/me";
    sources.musicBrainzUse = MusicBrainzUse::First;
    sources.cdText = false;
    sources.musicBrainzServer = "http://127.0.0.1:9";
    ASSERT_TRUE(s.WriteTitleSources(sources));
    const auto back = s.ReadTitleSources();
    EXPECT_EQ(back.musicBrainzUse, MusicBrainzUse::First);
    EXPECT_FALSE(back.cdText);
    EXPECT_EQ(back.musicBrainzServer, "http://127.0.0.1:9");
    EXPECT_EQ(s.SentContact(), "https://example.org/me");
    EXPECT_EQ(s.ReadString(kSection, kKeyEmail, ""), "me@example.org");  // untouched
  }
  {
    // A new file: MusicBrainz when the CDDB server has no match.
    std::filesystem::remove(path);
    SettingsFile s(path);
    EXPECT_TRUE(s.SeedFirstStart());
    EXPECT_EQ(s.ReadTitleSources().musicBrainzUse, MusicBrainzUse::WhenCddbHasNone);
    EXPECT_EQ(s.SentContact(), "");
  }
  // Values it does not know ask MusicBrainz never; any number but 0 keeps
  // CD-Text on.
  for (const char* use : {"3", "-1", "yes", ""}) {
    SCOPED_TRACE(use);
    WriteFileBytes(path, std::string("[musicbrainz]\r\nuse=") + use + "\r\n[cdtext]\r\nuse=2\r\n");
    const auto sources = SettingsFile(path).ReadTitleSources();
    EXPECT_EQ(sources.musicBrainzUse, MusicBrainzUse::Never);
    EXPECT_TRUE(sources.cdText);
  }
}

// What the sources tab may store as the MusicBrainz server and contact:
// refusals name the text, accepted servers are stored without blanks or
// trailing slashes.
TEST(Settings, MusicBrainzServerAndContactChecks) {
  std::string why;
  const auto ok = [&why](std::string_view text) {
    why.clear();
    const auto r = CheckMusicBrainzServer(text, why);
    EXPECT_TRUE(why.empty() == r.has_value()) << text;
    return r.value_or("<refused>");
  };
  EXPECT_EQ(ok(""), "https://musicbrainz.org");
  EXPECT_EQ(ok("   "), "https://musicbrainz.org");
  EXPECT_EQ(ok(" https://musicbrainz.org/ "), "https://musicbrainz.org");
  EXPECT_EQ(ok("HTTP://127.0.0.1:8080//"), "HTTP://127.0.0.1:8080");
  EXPECT_EQ(ok("http://[::1]:5000"), "http://[::1]:5000");
  EXPECT_EQ(ok("http://[::1]"), "http://[::1]");
  EXPECT_EQ(ok("http://host:65535"), "http://host:65535");
  EXPECT_EQ(ok("http://host:65536"), "<refused>");
  EXPECT_EQ(ok("http://host:99999999999999999999"), "<refused>");
  EXPECT_EQ(ok("https://mirror.example/mb"), "https://mirror.example/mb");
  for (const char* bad :
       {"ftp://musicbrainz.org", "musicbrainz.org", "file:///etc/passwd", "http://", "https:///ws",
        "http://:80", "http://user:pw@host", "http://host:port", "http://host:70000", "http://host/a b",
        "http://host/ws?x=1", "http://host#frag", "http://host\r\nX-Injected: 1"}) {
    EXPECT_EQ(ok(bad), "<refused>") << bad;
    EXPECT_NE(why.find("MusicBrainzのサーバ「"), std::string::npos) << why;
  }
  ok("gopher://x");
  EXPECT_EQ(why, "MusicBrainzのサーバ「gopher://x」は http:// か https:// で始まるURLではありません。");
  // A long text is quoted cut at a character's start, never inside one.
  const std::string longText = "http://" + std::string(kMaxMusicBrainzServerBytes, 'a');
  EXPECT_EQ(ok(longText), "<refused>");
  std::string japanese = "ftp://";
  for (int i = 0; i < 40; ++i) japanese += "あ";
  ok(japanese);
  EXPECT_NE(why.find("ああ…」"), std::string::npos) << why;

  EXPECT_TRUE(CheckContact("", why));
  EXPECT_TRUE(CheckContact("me@example.org", why));
  EXPECT_TRUE(CheckContact("https://example.org/～me", why));
  EXPECT_FALSE(CheckContact("me@example.org\r\nX-Injected: 1", why));
  EXPECT_FALSE(CheckContact(std::string(kMaxContactBytes + 1, 'a'), why));
  EXPECT_TRUE(CheckContact(std::string(kMaxContactBytes, 'a'), why));

  EXPECT_EQ(SentContactFor("", "me@example.org"), "me@example.org");
  EXPECT_EQ(SentContactFor("https://example.org/me", "me@example.org"), "https://example.org/me");
  EXPECT_EQ(SentContactFor("", ""), "");
}

TEST(Settings, EmptySelectServerCountsAsFirstStart) {
  TempDir dir;
  const std::string path = dir.File("s.INI");
  WriteFileBytes(path,
                 "[tunedex]\r\nemail=me@example.org\r\nselectserver=\r\nservercount=3\r\n"
                 "submitemail=mine@example.org\r\n"
                 "[svr0]\r\nhost=old.example.org\r\npath=/old?\r\ncode=2\r\nextra=kept\r\n"
                 "[svr1]\r\nhost=one.example.org\r\n[svr2]\r\nhost=two.example.org\r\n");
  SettingsFile s(path);
  EXPECT_TRUE(s.SeedFirstStart());
  EXPECT_EQ(s.ReadInteger(kSection, kKeyServerCount, 0), 1);
  EXPECT_EQ(s.ReadString(kSection, kKeySelectServer, ""), "0");
  const ServerEntry e = s.ReadServer(0);
  EXPECT_EQ(e.host, kDefaultServerHost);
  EXPECT_EQ(e.path, kDefaultServerPath);
  EXPECT_EQ(e.code, 0);
  // Everything else stays: other keys, other server sections.
  EXPECT_EQ(s.ReadString("svr0", "extra", ""), "kept");
  EXPECT_EQ(s.ReadServer(2).host, "two.example.org");
  EXPECT_EQ(s.ReadString(kSection, kKeyEmail, ""), "me@example.org");
  EXPECT_FALSE(s.SeedSubmitEmail());
  EXPECT_EQ(s.ReadString(kSection, kKeySubmitEmail, ""), "mine@example.org");
}

TEST(Settings, KeysReadWhateverTheirCaseAndTypeWithDefaults) {
  TempDir dir;
  const std::string path = dir.File("s.INI");
  WriteFileBytes(path,
                 "[TUNEDEX]\r\nProxyIP=proxy.local\r\nPROXYPORT=abc\r\n"
                 "[SVR0]\r\nHost=a.example.org\r\nPATH=/~cddb/cddb.cgi?\r\nCode=2\r\n"
                 "[svr1]\r\nhost=b.example.org\r\ncode=x\r\n");
  SettingsFile s(path);
  EXPECT_EQ(s.ReadString(kSection, kKeyProxyIp, ""), "proxy.local");
  // proxyport read as an integer (start-up) and as text (options dialog).
  EXPECT_EQ(s.ReadInteger(kSection, kKeyProxyPort, 80), 80);
  EXPECT_EQ(s.ReadString(kSection, kKeyProxyPort, ""), "abc");
  EXPECT_EQ(s.ReadString(kSection, kKeyEmail, ""), "");
  EXPECT_EQ(s.ReadInteger(kSection, kKeySelectServer, 0), 0);

  const ServerEntry a = s.ReadServer(0);
  EXPECT_EQ(a.host, "a.example.org");
  EXPECT_EQ(a.path, "/~cddb/cddb.cgi?");
  EXPECT_EQ(a.code, 2);
  EXPECT_EQ(s.ReadServer(1).code, 0);  // not a number
  const ServerEntry none = s.ReadServer(7);
  EXPECT_EQ(none.host, "");
  EXPECT_EQ(none.code, 0);

  // Writes land in the stored spelling; the port as typed reads as a number.
  ASSERT_TRUE(s.WriteString(kSection, kKeyProxyPort, "8080"));
  EXPECT_EQ(s.ReadInteger(kSection, kKeyProxyPort, 80), 8080);
  ASSERT_TRUE(s.WriteServer(1, {"c.example.org", "/cgi?", 1, ""}));
  EXPECT_EQ(s.ReadServer(1).host, "c.example.org");
  EXPECT_EQ(s.ReadServer(1).code, 1);
  ASSERT_TRUE(s.WriteServer(3, {"d.example.org", "/~cddb/cddb.cgi?", 2, ""}));
  ASSERT_TRUE(s.WriteInteger(kSection, kKeyServerCount, 4));
  EXPECT_EQ(ReadFileBytes(path),
            "[TUNEDEX]\r\nProxyIP=proxy.local\r\nPROXYPORT=8080\r\nservercount=4\r\n"
            "[SVR0]\r\nHost=a.example.org\r\nPATH=/~cddb/cddb.cgi?\r\nCode=2\r\n"
            "[svr1]\r\nhost=c.example.org\r\ncode=1\r\npath=/cgi?\r\n"
            "[svr3]\r\nhost=d.example.org\r\npath=/~cddb/cddb.cgi?\r\ncode=2\r\n");

  // A value the code page cannot hold is refused, with the reason.
  EXPECT_FALSE(s.WriteString(kSection, kKeyEmail, "me😀@example.org"));
  EXPECT_NE(s.LastError().find("U+1F600"), std::string::npos) << s.LastError();
  EXPECT_EQ(s.ReadString(kSection, kKeyEmail, "none"), "none");
}

}  // namespace
}  // namespace sl::settings
