// The network path under every way a server or the network can fail, on
// loopback: the whole lookup (query, then read) runs as the window runs it,
// with the entry saved to "cdplayer.ini" after a read. Each row says what
// the user must see afterwards: the status text, the boxes, whether titles
// were saved, and that it was over in bounded time.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "cddb/cddb.h"
#include "inifile/profile.h"
#include "localdb/localdb.h"
#include "mainform/outcome_texts.h"
#include "support/loopback_server.h"
#include "support/recorder.h"

namespace sl::cddb {
namespace {

using test::HttpReply;
using test::ServerScript;

const char* kQuery = "cmd=cddb+query+23026203+3+150+18630+35212+612";
const std::string kMatch = "200 rock 23026203 The Loopback Trio / Local Host Sessions\r\n";
const std::string kEntry =
    "210 rock 23026203 CD database entry follows (until terminating `.')\r\n"
    "# xmcd\r\nDISCID=23026203\r\nDTITLE=The Loopback Trio / Local Host Sessions\r\nDYEAR=1999\r\n"
    "DGENRE=Rock\r\nTTITLE0=Port 8880\r\nTTITLE1=Guest Star / Handshake Blues\r\nTTITLE2=Terminating Dot\r\n"
    "EXTD=\r\nPLAYORDER=\r\n.\r\n";

std::string WithLength(const std::string& body) {
  return HttpReply(200, body, {"Content-Length: " + std::to_string(body.size())});
}

// The transfer coding of HTTP/1.1: hex size line, data, CR LF; a last chunk
// of size 0 and an empty trailer.
std::string Chunked(const std::string& body, std::size_t piece) {
  std::string out = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
  static const char* kHex = "0123456789abcdef";
  for (std::size_t at = 0; at < body.size(); at += piece) {
    const std::string part = body.substr(at, piece);
    std::string size;
    for (std::size_t n = part.size(); n > 0; n /= 16) size.insert(size.begin(), kHex[n % 16]);
    out += size + ";ext=1\r\n" + part + "\r\n";
  }
  return out + "0\r\n\r\n";
}

std::string Latin1Entry() {
  // An entry in ISO-8859-1: "é" and "à" are no text of Shift-JIS.
  return "210 rock 23026203 CD database entry follows\r\nDISCID=23026203\r\nDYEAR=1999\r\n"
         "TTITLE0=Caf\xE9 \xE0 la carte\r\nTTITLE1=Deux\r\nTTITLE2=Trois\r\n.\r\n";
}

const std::vector<std::string> kNoBox;
const std::vector<std::string> kConnectBox = {"接続に失敗しました。"};
const std::vector<std::string> kReadBox = {"曲名取得完了しました。"};

struct Row {
  const char* name;
  // Scripts for the query connection, the read connection and any further
  // one; empty when the row points the lookup elsewhere (`url`).
  std::function<std::vector<ServerScript>()> scripts;
  int timeOutMs;
  const char* status;
  std::vector<std::string> boxes;
  bool saved;
  int maxMs;
  // Where to send the query instead of the server: a port given by the row.
  std::function<std::string(int serverPort)> url = nullptr;
};

class FaultMatrix : public ::testing::Test {
 protected:
  FaultMatrix()
      : settings(dir.File("sonolabel.INI")), lookup(model, mainform::LookupHooksFor(model, services)) {
    settings.WriteString("tunedex", "email", "me@example.com");
    lookup.SetSettings(&settings);
    lookup.ReadMailAddress();
    // As the window does after a read: save the entry under the disc's key.
    lookup.onEntryApplied = [this] {
      std::string error;
      if (!localdb::WriteIniFile(CdPlayerIni(), 0x23026203, 3, 3, model.Table(), &error)) saveFailed = error;
    };
  }
  std::string CdPlayerIni() const { return dir.File("windows/cdplayer.ini"); }

  test::TempDir dir;
  shell::ShellModel model;
  test::RecordingServices services;
  settings::SettingsFile settings;
  CddbLookup lookup;
  std::string saveFailed;
};

TEST_F(FaultMatrix, EveryFaultEndsWithItsOutcome) {
  test::RefusedPort dead;
  const int deadPort = dead.Port();
  const std::vector<Row> rows = {
      {"refused", nullptr, 2000, "接続できません。", kConnectBox, false, 3000,
       [deadPort](int) { return "http://127.0.0.1:" + std::to_string(deadPort) + "/~cddb/cddb.cgi?"; }},
      {"reset mid-header",
       [] { return std::vector{ServerScript().Send("HTTP/1.0 200 OK\r\nContent-Ty").Delay(50).Reset()}; },
       2000, "接続できません。", kConnectBox, false, 3000},
      {"reset mid-body",
       [] {
         return std::vector{ServerScript().Send(HttpReply(200, kMatch)),
                            ServerScript().Send(HttpReply(200, kEntry.substr(0, 120))).Delay(50).Reset()};
       },
       2000, "接続できません。", kConnectBox, false, 3000},
      {"closed mid-body, no length",
       // The read reply ends where a line ends, before its terminator: a
       // cut-off entry must not be taken (nor saved) as a whole one.
       [] {
         return std::vector{ServerScript().Send(HttpReply(200, kMatch)),
                            ServerScript().Send(HttpReply(200, kEntry.substr(0, kEntry.find("TTITLE2"))))};
       },
       2000, "応答コードなし", kNoBox, false, 3000},
      {"closed mid-body, with length",
       [] {
         return std::vector{
             ServerScript().Send(HttpReply(200, kMatch)),
             ServerScript().Send("HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(kEntry.size()) +
                                 "\r\n\r\n" + kEntry.substr(0, 100))};
       },
       2000, "接続できません。", kConnectBox, false, 3000},
      {"silent after accept", [] { return std::vector{ServerScript().Hang()}; }, 300, "接続できません。",
       kConnectBox, false, 2500},
      {"silent port (no handshake)", nullptr, 300, "接続できません。", kConnectBox, false, 2500,
       [](int) -> std::string { return ""; }},
      {"trickle",
       // One byte every 30 ms never trips the 200 ms wait, but the whole
       // reply must come within ten of them.
       [] {
         return std::vector{ServerScript().SendBytewise(HttpReply(200, kMatch + std::string(2000, ' ')), 30)};
       },
       200, "接続できません。", kConnectBox, false, 4000},
      {"endless header",
       [] {
         return std::vector{ServerScript().Send("HTTP/1.0 200 OK\r\n").SendRepeated("X-Pad: y\r\n", 1 << 20)};
       },
       2000, "接続できません。", kConnectBox, false, 3000},
      {"endless body",
       [] {
         return std::vector{
             ServerScript().Send(HttpReply(200, kMatch)).SendRepeated("0123456789abcdef", 80u << 20)};
       },
       5000, "接続できません。", kConnectBox, false, 15000},
      {"oversized line",
       [] {
         return std::vector{
             ServerScript().Send("HTTP/1.0 200 OK\r\nX-Long: ").SendRepeated("x", 200000).Send("\r\n\r\n")};
       },
       2000, "接続できません。", kConnectBox, false, 3000},
      {"redirect loop",
       [] {
         return std::vector{
             ServerScript().Send(HttpReply(302, "", {"Location: http://127.0.0.1:{port}/loop"}))};
       },
       2000, "接続できません。", kConnectBox, false, 3000},
      {"redirect to a dead port",
       [deadPort] {
         return std::vector{ServerScript().Send(HttpReply(
             302, "", {"Location: http://127.0.0.1:" + std::to_string(deadPort) + "/~cddb/cddb.cgi?x"}))};
       },
       2000, "接続できません。", kConnectBox, false, 3000},
      {"keep-alive with Content-Length",
       [] {
         return std::vector{ServerScript().Send(WithLength(kMatch)).Hang(),
                            ServerScript().Send(WithLength(kEntry)).Hang()};
       },
       5000, "曲名取得完了", kReadBox, true, 3000},
      {"chunked reply",
       [] {
         return std::vector{ServerScript().Send(Chunked(kMatch, 7)),
                            ServerScript().Send(Chunked(kEntry, 100))};
       },
       2000, "曲名取得完了", kReadBox, true, 3000},
      {"chunked reply cut short",
       [] {
         return std::vector{ServerScript().Send(HttpReply(200, kMatch)),
                            ServerScript().Send(Chunked(kEntry, 100).substr(0, 250))};
       },
       2000, "接続できません。", kConnectBox, false, 3000},
      {"non-HTTP garbage",
       [] {
         return std::vector{ServerScript().Send("SSH-2.0-OpenSSH_9.2p1 Debian-2\r\n\x01\x02\xff binary\r\n")};
       },
       2000, "応答コードなし", kNoBox, false, 3000},
      {"wrong character set",
       // The titles show what arrived, but text the code page can't hold is
       // not saved as if it were the titles.
       [] {
         return std::vector{ServerScript().Send(HttpReply(200, kMatch)),
                            ServerScript().Send(HttpReply(200, Latin1Entry()))};
       },
       2000, "曲名取得完了", kReadBox, false, 3000},
  };

  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    services.boxes.clear();
    saveFailed.clear();
    std::filesystem::remove(CdPlayerIni());
    model.Table().SetRowCount(4);
    for (int r = 1; r <= 3; ++r) model.Table().SetCell(1, r, "");
    lookup.http.TimeOut = row.timeOutMs;

    std::unique_ptr<test::LoopbackServer> server;
    std::unique_ptr<test::SilentPort> silent;
    if (row.scripts) server = std::make_unique<test::LoopbackServer>(row.scripts(), 30000);
    if (row.url) {
      std::string url = row.url(server ? server->Port() : 0);
      if (url.empty()) {
        silent = std::make_unique<test::SilentPort>();
        url = "http://127.0.0.1:" + std::to_string(silent->Port()) + "/~cddb/cddb.cgi?";
      }
      lookup.ServerUrl = url;
    } else {
      lookup.ServerUrl = server->Url("/~cddb/cddb.cgi?");
    }

    const auto start = std::chrono::steady_clock::now();
    lookup.LookUpDisc(kQuery);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
            .count();

    EXPECT_EQ(model.Status(0), row.status);
    EXPECT_EQ(services.BoxTexts(), row.boxes);
    EXPECT_LE(ms, row.maxMs);
    EXPECT_EQ(services.busyDepth, 0);
    EXPECT_FALSE(model.CommandRunning());
    const bool saved = inifile::Profile(CdPlayerIni()).HasSection("23026203");
    EXPECT_EQ(saved, row.saved);
    if (row.saved) {
      EXPECT_EQ(model.Table().Cell(1, 2), "Handshake Blues");
      EXPECT_EQ(model.Table().Cell(2, 2), "Guest Star");
      EXPECT_EQ(inifile::Profile(CdPlayerIni()).ReadString("23026203", "2", ""), "Terminating Dot");
    }
    if (std::string(row.name) == "redirect loop") {
      EXPECT_EQ(server->Connections(), net::HttpClient::kMaxRedirects + 1);
    }
    if (std::string(row.name) == "wrong character set") {
      EXPECT_NE(saveFailed, "");
      EXPECT_EQ(model.Table().Cell(1, 2), "Deux");
    }
  }
}

}  // namespace
}  // namespace sl::cddb
