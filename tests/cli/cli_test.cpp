// sonolabel-cli as a user runs it: drives, discid over many generated tables
// of contents, disc, lookup and sites against the local CDDB server, and the
// exit codes.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <sstream>

#include "cli_run.h"
#include "support/cddbd_process.h"
#include "support/gnudb_like_server.h"
#include "support/loopback_server.h"
#include "support/recorder.h"

namespace sl::test {
namespace {

class Cli : public ::testing::Test {
 protected:
  // Runs the program with the test's environment; stderr goes to a file.
  Result Run(const std::string& args, const std::string& aspi = "sim", const std::string& extraEnv = "") {
    return RunCli(dir, args, extraEnv, aspi);
  }
  std::string Err() const { return ReadFileBytes(dir.File("stderr")); }
  TempDir dir;
};

// The disc ID and query line computed straight from the definition.
std::string Expected(const std::vector<int>& frames) {
  const int n = static_cast<int>(frames.size()) - 1;
  auto digits = [](int v) {
    int s = 0;
    for (; v > 0; v /= 10) s += v % 10;
    return s;
  };
  int sum = 0;
  for (int k = 0; k < n; ++k) sum += digits(frames[k] / 75);
  const unsigned id = (static_cast<unsigned>(sum % 255) << 24) |
                      (static_cast<unsigned>(frames[n] / 75 - frames[0] / 75) << 8) |
                      static_cast<unsigned>(n);
  char hex[16];
  // Lower case, as cd-discid prints it.
  std::snprintf(hex, sizeof hex, "%08x", id);
  std::ostringstream line;
  line << hex << " " << n;
  for (int k = 0; k < n; ++k) line << " " << frames[k];
  line << " " << frames[n] / 75 << "\n";
  return line.str();
}

std::string Msf(int frames) {
  return std::to_string(frames / 4500) + ":" + std::to_string(frames / 75 % 60) + ":" +
         std::to_string(frames % 75);
}

TEST_F(Cli, DiscIdMatchesTheDefinitionForGeneratedDiscs) {
  std::mt19937 rng(12345);
  // One file with many drives, each a random disc of 1 to 99 tracks, some of
  // them multi-session.
  std::string file;
  std::vector<std::string> expected;
  const int drives = 16;
  for (int d = 0; d < drives; ++d) {
    const int n = d == 0 ? 1 : d == 1 ? 99 : std::uniform_int_distribution<int>(1, 99)(rng);
    std::vector<int> frames;
    int at = std::uniform_int_distribution<int>(150, 400)(rng);
    for (int k = 0; k <= n; ++k) {
      frames.push_back(at);
      at += std::uniform_int_distribution<int>(300, 2700)(rng);
    }
    std::string toc;
    for (int f : frames) toc += Msf(f) + " ";
    file += "[" + std::to_string(d / 8) + ":" + std::to_string(d % 8) +
            ":0]\nvendor=V\nproduct=P\ntoc=" + toc + "\n";
    if (d % 3 == 0 && n > 1) file += "last_session_first_track=" + std::to_string(n) + "\n";
    expected.push_back(Expected(frames));
  }
  WriteFileBytes(dir.File("drives.ini"), file);
  for (int d = 0; d < drives; ++d) {
    const auto r = Run("discid --drive " + std::to_string(d));
    EXPECT_EQ(r.status, 0) << Err();
    EXPECT_EQ(r.out, expected[static_cast<std::size_t>(d)]);
  }
}

TEST_F(Cli, DrivesDiscAndExitCodes) {
  WriteFileBytes(dir.File("drives.ini"),
                 "[0:0:0]\nvendor=SONOLAB\nproduct=ROCK\ntoc=0:02:00 4:08:30 7:49:37 10:12:12\n"
                 "[1:1:0]\nvendor=SONOLAB\nproduct=EMPTY\n");
  auto r = Run("drives");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "0\t0:0:0\tSONOLAB ROCK            \n1\t1:1:0\tSONOLAB EMPTY           \n");

  r = Run("disc --drive 0");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "{\"discid\":\"23026203\",\"category\":\"\",\"genre\":\"\",\"artist\":\"\",\"title\":\"\","
            "\"year\":\"\",\"tracks\":[{\"title\":\"\",\"artist\":\"\"},{\"title\":\"\",\"artist\":\"\"},"
            "{\"title\":\"\",\"artist\":\"\"}],\"status\":\"DISCID : 23026203\"}\n");
  // The value joined to its option, and "--" closing an option list.
  EXPECT_EQ(Run("disc --drive=0 --").out, r.out);

  r = Run("discid --drive 1");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(Err().find("CDがセットされていません。"), std::string::npos);
  EXPECT_EQ(Run("discid --drive 7").status, 1);

  // No usable drive layer: its message, then a failure.
  r = Run("drives", dir.File("missing.so"));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(Err().find("WNASPI32.DLLがロードできません"), std::string::npos);
}

// Without SONOLABEL_INI the command line keeps its settings where the window
// does: in sonolabel.INI beside the programs when that folder is the user's,
// never in a file named after itself.
TEST_F(Cli, SharesTheWindowsSettingsFile) {
  namespace fs = std::filesystem;
  WriteFileBytes(dir.File("drives.ini"), "[0:0:0]\nvendor=SONOLAB\nproduct=ROCK\ntoc=0:02:00 4:08:30\n");
  fs::create_directories(dir.File("bin"));
  fs::create_directories(dir.File("home"));
  fs::copy_file(std::string(SONOLABEL_BIN_DIR) + "/sonolabel-cli", dir.File("bin/sonolabel-cli"));
  fs::copy_file(std::string(SONOLABEL_BIN_DIR) + "/libwnaspi32-sim.so", dir.File("bin/libwnaspi32-sim.so"));
  // The window has chosen a server of its own already.
  WriteFileBytes(dir.File("bin/sonolabel.INI"),
                 "[tunedex]\r\nselectserver=0\r\nservercount=1\r\nemail=me@example.org\r\n"
                 "[svr0]\r\nhost=127.0.0.1:9\r\npath=/~cddb/cddb.cgi?\r\ncode=0\r\n");
  const std::string cmd = "env -u SONOLABEL_INI -u XDG_CONFIG_HOME HOME='" + dir.File("home") +
                          "' SONOLABEL_ASPI=sim SONOLABEL_SIM_DRIVES='" + dir.File("drives.ini") +
                          "' SONOLABEL_WINDIR='" + dir.Path() + "' '" + dir.File("bin/sonolabel-cli") +
                          "' sites 2>'" + dir.File("stderr") + "' </dev/null";
  FILE* p = ::popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::string out;
  char buf[4096];
  for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  ::pclose(p);
  // The stored server list is the window's (the server itself is not there).
  EXPECT_EQ(out, "127.0.0.1:9\n") << Err();
  EXPECT_FALSE(fs::exists(dir.File("bin/sonolabel-cli.INI")));
  EXPECT_FALSE(fs::exists(dir.File("home/.config/sonolabel/sonolabel.INI")));
  EXPECT_NE(ReadFileBytes(dir.File("bin/sonolabel.INI")).find("email=me@example.org"), std::string::npos);
}

// Help and version on stdout with success; every usage error on stderr with
// status 2 and nothing on stdout.
TEST_F(Cli, HelpVersionAndUsageErrors) {
  WriteFileBytes(dir.File("drives.ini"), "");
  for (const char* args : {"--help", "help", "-h", "lookup --help"}) {
    const auto r = Run(args);
    EXPECT_EQ(r.status, 0) << args;
    EXPECT_EQ(r.out.rfind("usage: sonolabel-cli", 0), 0u) << args;
    EXPECT_EQ(Err(), "") << args;
  }
  auto r = Run("--version");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "sonolabel-cli 1.311\n");

  const char* usageErrors[] = {
      "",
      "nonsense",
      "discid --drive x",
      "discid --drive -1",
      "discid --drive",
      "discid --server http://h/",
      "drives --drive 0",
      "lookup --choose many",
      "lookup stray",
      "lookup --server https://gnudb.org/~cddb/cddb.cgi?",
      "lookup --server gnudb.org",
      "sites --server http://h:99999/",
  };
  for (const char* args : usageErrors) {
    r = Run(args);
    EXPECT_EQ(r.status, 2) << args;
    EXPECT_EQ(r.out, "") << args;
    EXPECT_NE(Err().find("sonolabel-cli: "), std::string::npos) << args << ": " << Err();
  }
  Run("lookup --server https://gnudb.org/");
  EXPECT_NE(Err().find("only http://"), std::string::npos) << Err();
}

TEST_F(Cli, LookupAndSitesAgainstLocalServer) {
  CddbdProcess server;
  WriteFileBytes(dir.File("drives.ini"),
                 "[0:0:0]\nvendor=S\nproduct=MULTI\ntoc=0:02:00 5:12:40 9:45:10 14:20:55 19:02:33 23:41:12\n"
                 "[0:1:0]\nvendor=S\nproduct=UNKNOWN\ntoc=0:02:00 1:00:00 2:00:00\n");
  auto r = Run("lookup --drive 0 --choose 1 --email me@example.com --server " + server.Url());
  EXPECT_EQ(r.status, 0) << Err();
  EXPECT_NE(r.out.find("\"status\":\"曲名取得完了\""), std::string::npos) << r.out;
  // Without --choose and without a terminal the dialog is cancelled.
  r = Run("lookup --drive 0 --server " + server.Url());
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("\"status\":\"タイトル取得中\""), std::string::npos) << r.out;
  r = Run("lookup --drive 1 --server " + server.Url());
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(Err().find("一致するタイトルはありませんでした。"), std::string::npos);

  // The server URL may come without its "?" or without any path.
  const std::string base = "http://127.0.0.1:" + std::to_string(server.Port());
  for (const std::string& url : {base, base + "/~cddb/cddb.cgi"}) {
    r = Run("lookup --drive 0 --choose 1 --email me@example.com --server " + url);
    EXPECT_EQ(r.status, 0) << url << ": " << Err();
  }

  r = Run("sites --server " + server.Url());
  EXPECT_EQ(r.status, 0) << Err();
  EXPECT_EQ(r.out.substr(0, r.out.find('\n')), "gnudb.gnudb.org");
  EXPECT_NE(r.out.find("127.0.0.1\n"), std::string::npos) << r.out;
}

// Titles received but refused by the local database (bytes that are no text
// of the code page) make a failed lookup, with the reason on stderr.
TEST_F(Cli, LookupWhoseSaveFailsExitsOne) {
  CddbdProcess server({"--fault",
                       "read reply 210 rock 23026203\\nDTITLE=A / B\\nTTITLE0=ok\\n"
                       "TTITLE1=bad \\x81\\x20 bytes\\nTTITLE2=three\\n."});
  WriteFileBytes(dir.File("drives.ini"),
                 "[0:0:0]\nvendor=S\nproduct=ROCK\ntoc=0:02:00 4:08:30 7:49:37 10:12:12\n");
  const auto r = Run("lookup --drive 0 --email me@example.com --server " + server.Url());
  EXPECT_EQ(r.status, 1) << Err();
  EXPECT_NE(r.out.find("\"status\":\"曲名取得完了\""), std::string::npos) << r.out;
  EXPECT_NE(Err().find("ローカルデータベースに保存できませんでした。"), std::string::npos) << Err();
}

// Servers that are fine but answer in ways the lookup used to stumble on.
TEST_F(Cli, LookupThroughKeptAliveRedirectedAndOddReplies) {
  WriteFileBytes(dir.File("drives.ini"),
                 "[0:0:0]\nvendor=S\nproduct=ROCK\ntoc=0:02:00 4:08:30 7:49:37 10:12:12\n");
  const std::string hello = "&hello=me+example.com+SLB+1.311&proto=5";
  {
    // Content-Length given, connection kept open after each reply.
    auto kept = [](const std::string& body) {
      return ServerScript()
          .Send(HttpReply(200, body, {"Content-Length: " + std::to_string(body.size())}))
          .Hang();
    };
    LoopbackServer server(std::vector<ServerScript>{
        kept("200 rock 23026203 Kept / Alive\r\n"),
        kept("210 rock 23026203\r\nTTITLE0=One\r\n.\r\n"),
    });
    const auto start = std::chrono::steady_clock::now();
    const auto r = Run("lookup --email me@example.com --server " + server.Url("/~cddb/cddb.cgi"));
    EXPECT_EQ(r.status, 0) << Err();
    EXPECT_NE(r.out.find("\"artist\":\"Kept\""), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("{\"title\":\"One\""), std::string::npos) << r.out;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  }
  {
    // A 40-track query redirected once reaches the server whole.
    std::string toc, query = "cmd=cddb+query+";
    std::vector<int> frames;
    for (int k = 0; k <= 40; ++k) frames.push_back(150 + k * 9000);
    for (int f : frames) toc += Msf(f) + " ";
    WriteFileBytes(dir.File("drives.ini"), "[0:0:0]\nvendor=S\nproduct=LONG\ntoc=" + toc + "\n");
    std::string line = Expected(frames);
    line.pop_back();
    for (char& c : line)
      if (c == ' ') c = '+';
    CddbdProcess cddbd;
    LoopbackServer redirector(
        ServerScript().Send(HttpReply(302, "", {"Location: " + cddbd.Url() + query + line + hello})));
    const auto r = Run("lookup --email me@example.com --server " + redirector.Url("/~cddb/cddb.cgi"));
    EXPECT_EQ(r.status, 1);  // the disc is not in the database
    EXPECT_NE(r.out.find("\"status\":\"該当タイトルなし\""), std::string::npos) << r.out << Err();
    EXPECT_NE(cddbd.Log().find(query + line + hello), std::string::npos) << cddbd.Log();
    ASSERT_GT(query.size() + line.size() + hello.size(), 256u);
  }
  WriteFileBytes(dir.File("drives.ini"),
                 "[0:0:0]\nvendor=S\nproduct=ROCK\ntoc=0:02:00 4:08:30 7:49:37 10:12:12\n");
  for (int code : {299, 303, 304, 399}) {
    // Statuses the client neither uses nor follows end as failures.
    LoopbackServer server(ServerScript().Send(HttpReply(code, "", {"Location: /elsewhere"})));
    const auto r = Run("lookup --email me@example.com --server " + server.Url("/~cddb/cddb.cgi"));
    EXPECT_EQ(r.status, 1) << code;
    EXPECT_NE(r.out.find("\"status\":\"接続できません。\""), std::string::npos) << code << r.out;
    EXPECT_EQ(server.Connections(), 1) << code;
  }
}

// A file system that refuses to flush the folder after the rename: the new
// cdplayer.ini is in place, so the save is done and the lookup succeeds.
TEST_F(Cli, SaveWhoseFolderFlushFailsIsStillASave) {
  CddbdProcess server;
  WriteFileBytes(dir.File("drives.ini"),
                 "[0:0:0]\nvendor=S\nproduct=ROCK\ntoc=0:02:00 4:08:30 7:49:37 10:12:12\n");
  const std::string preload = std::string("LD_PRELOAD=") + SONOLABEL_BIN_DIR +
                              "/fsync_dir_fails.so ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}"
                              "verify_asan_link_order=0";
  const auto r = Run("lookup --drive 0 --email me@example.com --server " + server.Url(), "sim", preload);
  EXPECT_EQ(r.status, 0) << Err();
  EXPECT_EQ(Err().find("ローカルデータベースに保存できませんでした。"), std::string::npos) << Err();
  EXPECT_NE(ReadFileBytes(dir.File("cdplayer.ini")).find("numtracks=3"), std::string::npos);
}

// A table of contents given on the command line looks the disc up exactly
// as the same disc in a drive; a malformed one is a usage error naming its
// first bad item.
TEST_F(Cli, LookupFromAGivenTableOfContents) {
  CddbdProcess server;
  const std::string toc = "0:02:00 5:12:40 9:45:10 14:20:55 19:02:33 23:41:12";
  WriteFileBytes(dir.File("drives.ini"), "[0:0:0]\nvendor=S\nproduct=MULTI\ntoc=" + toc + "\n");
  const std::string common = " --choose 2 --email me@example.com --server " + server.Url();
  const auto fromDrive = Run("lookup --drive 0" + common);
  ASSERT_EQ(fromDrive.status, 0) << Err();
  std::filesystem::remove(dir.File("cdplayer.ini"));
  const auto fromToc = Run("lookup --toc '" + toc + "'" + common);
  EXPECT_EQ(fromToc.status, 0) << Err();
  EXPECT_EQ(fromToc.out, fromDrive.out);
  EXPECT_NE(fromToc.out.find(",\"revision\":0,"), std::string::npos) << fromToc.out;
  EXPECT_NE(ReadFileBytes(dir.File("cdplayer.ini")).find("numtracks=5"), std::string::npos);
  // A multi-session TOC: same disc ID, another local key.
  const auto multi = Run("lookup --toc '" + toc + "' --lsft 5" + common);
  EXPECT_EQ(multi.status, 0) << Err();

  const struct {
    const char* args;
    const char* says;
  } bad[] = {
      {"lookup --toc '0:02:00 4:61:00 7:00:00'", "'4:61:00' (item 2)"},
      {"lookup --toc '0:02:00 4:08:75'", "'4:08:75' (item 2)"},
      {"lookup --toc '0:02:00 0:01:00'", "'0:01:00' (item 2) does not come after"},
      {"lookup --toc '0:02:00'", "at least one track"},
      {"lookup --toc '0:02:00 x 1:00:00'", "'x' (item 2)"},
      {"lookup --toc '0:02:00 1:00:00' --lsft 2", "first track 2 is not 0 to 1"},
      {"lookup --lsft 1", "--lsft belongs to --toc"},
      {"lookup --toc '0:02:00 1:00:00' --drive 0", "give one"},
  };
  for (const auto& b : bad) {
    const auto r = Run(b.args);
    EXPECT_EQ(r.status, 2) << b.args;
    EXPECT_EQ(r.out, "");
    EXPECT_NE(Err().find(b.says), std::string::npos) << b.args << ": " << Err();
  }
}

// Users who need no Windows-compatible files keep every title by choosing
// UTF-8 as the code page.
TEST_F(Cli, CodePageUtf8StoresEveryTitle) {
  GnudbLikeServer server({{"23026203",
                           {"rock",
                            "DISCID=23026203\nDTITLE=Caf\u00e9 Trio / Cr\u00e8me\n"
                            "TTITLE0=Na\u00efve\nTTITLE1=Two\nTTITLE2=\u00c9t\u00e9\n"}}});
  WriteFileBytes(dir.File("drives.ini"),
                 "[0:0:0]\nvendor=S\nproduct=ROCK\ntoc=0:02:00 4:08:30 7:49:37 10:12:12\n");
  WriteFileBytes(dir.File("s.INI"),
                 "[tunedex]\r\nemail=me@example.com\r\nselectserver=0\r\nservercount=1\r\n"
                 "[svr0]\r\nhost=127.0.0.1:" +
                     std::to_string(server.Port()) + "\r\npath=/~cddb/cddb.cgi?\r\ncharset=UTF-8\r\n");
  auto r = Run("lookup");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("\"artist\":\"Caf\u00e9 Trio\""), std::string::npos) << r.out;
  EXPECT_NE(Err().find("「\u00e9」（U+00E9）"), std::string::npos) << Err();
  r = Run("lookup", "sim", "SONOLABEL_CODEPAGE=UTF-8");
  EXPECT_EQ(r.status, 0) << Err();
  EXPECT_NE(ReadFileBytes(dir.File("cdplayer.ini")).find("artist=Caf\u00e9 Trio\r\n"), std::string::npos);
  // The request went out at level 6.
  EXPECT_NE(server.Requests().at(0).find("&proto=6 HTTP/1.0"), std::string::npos) << server.Requests().at(0);
}

}  // namespace
}  // namespace sl::test
