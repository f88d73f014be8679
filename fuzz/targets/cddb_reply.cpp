// CDDB reply bodies for each kind of request (query, read, sites), handled by
// the lookup's own reply handler as if the HTTP client had just received
// them. The first byte picks the request kind and the match dialog's answer;
// the rest is the body, in the external code page.
#include <cstdint>
#include <set>
#include <string>

#include "cddb/cddb.h"
#include "mainform/outcome_texts.h"
#include "settings/settings.h"
#include "support.h"

using namespace sl;

namespace {

const char* kSettings =
    "[tunedex]\r\nemail=me@example.com\r\nselectserver=1\r\nservercount=3\r\n"
    "[svr0]\r\nhost=gnudb.gnudb.org\r\npath=/~cddb/cddb.cgi?\r\ncode=0\r\n"
    "[svr1]\r\nhost=127.0.0.1:8880\r\npath=/~cddb/cddb.cgi?\r\ncode=2\r\n"
    "[svr2]\r\nhost=mirror.example\r\npath=/cddb?\r\ncode=1\r\n";

const std::set<std::string> kStatusTexts = {"",
                                            "タイトル取得完了",
                                            "該当タイトルなし",
                                            "曲名取得完了",
                                            "サーバリスト取得完了",
                                            "ミラーサーバなし",
                                            "該当なし",
                                            "サーバ側でエラー発生",
                                            "データベース異常",
                                            "接続失敗",
                                            "コマンドエラー",
                                            "応答コードなし"};

struct World {
  shell::ShellModel model;
  fuzz::Services services;
  std::string settingsPath = fuzz::ScratchDir() + "/reply.INI";
  settings::SettingsFile settings{settingsPath};
  cddb::CddbLookup lookup{model, mainform::LookupHooksFor(model, services)};
  int applied = 0;
  World() {
    lookup.SetSettings(&settings);
    lookup.onEntryApplied = [this] { ++applied; };
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static World w;
  if (size < 1) return 0;
  const int kind = data[0] % 3;
  const int rows = 1 + (data[0] >> 2) % 20;
  w.services.matchAnswer = (data[0] >> 2) % 4 - 1;  // -1 (cancel) to 2
  w.lookup.RequestKind = kind;
  w.lookup.http.Body.assign(reinterpret_cast<const char*>(data) + 1, size - 1);
  w.model.SetStatus(0, "");
  w.model.Table().SetRowCount(rows);
  w.applied = 0;
  if (kind == cddb::Sites) fuzz::ReplaceFile(w.settingsPath, kSettings);

  w.lookup.HandleCddbReply(0);

  const std::string& status = w.model.Status(0);
  FUZZ_CHECK(kStatusTexts.count(status) == 1);
  FUZZ_CHECK(w.applied == 0 || (kind == cddb::Read && status == "曲名取得完了"));
  const auto& t = w.model.Table();
  FUZZ_CHECK(t.RowCount() == rows);  // a reply never grows the grid
  for (const std::string* s : {&t.Category(), &t.Artist(), &t.Title(), &t.Year(), &t.Genre()})
    FUZZ_CHECK(fuzz::ValidUtf8(*s));
  for (int r = 0; r < rows; ++r)
    for (int c = 0; c < shell::TrackTitleTable::kColumns; ++c) FUZZ_CHECK(fuzz::ValidUtf8(t.Cell(c, r)));
  FUZZ_CHECK(w.lookup.MatchList.size() <= cddb::kMaxMatches);
  FUZZ_CHECK(w.model.MatchDialog().rows.size() <= cddb::kMaxMatches + 1);

  if (kind == cddb::Sites) {
    // The stored entries stay as they were; the count only grows.
    const auto& s = w.settings;
    FUZZ_CHECK(s.ReadInteger("tunedex", "servercount", -1) >= 3);
    FUZZ_CHECK(s.ReadInteger("tunedex", "selectserver", -1) == 1);
    FUZZ_CHECK(s.ReadServer(0).host == "gnudb.gnudb.org");
    FUZZ_CHECK(s.ReadServer(1).host == "127.0.0.1:8880" && s.ReadServer(1).code == 2);
    FUZZ_CHECK(s.ReadServer(2).path == "/cddb?" && s.ReadServer(2).code == 1);
  }
  return 0;
}
