// Profile files at their largest: a "cdplayer.ini" of 20,000 discs (12
// tracks each, Japanese and Latin titles) and a small settings file.
//   load one disc's titles  (ReadIniFile)       target < 10 ms
//   save a 99-track disc    (WriteIniFile)      target < 50 ms, fsync included
//   settings read at start-up                   target < 1 ms
//   merge a sites reply of 2,000 new servers into the settings file
//   start-up on a hostile 60 MB settings file with 1,000 servers (the menu
//   built, the selected server read): one parse, not one per key
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "localdb/localdb.h"
#include "settings/serverlist.h"
#include "settings/settings.h"
#include "shell/model.h"
#include "text/codepage.h"

namespace {

constexpr int kDiscs = 20000;
constexpr int kTracks = 12;

std::uint32_t DiscKey(int i) { return 0x01000000u + static_cast<std::uint32_t>(i) * 7919u; }

// A folder of its own with the two files, removed at exit.
class Fixture {
 public:
  Fixture() {
    std::string templ = (std::filesystem::temp_directory_path() / "sonolabel-bench-XXXXXX").string();
    if (::mkdtemp(templ.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir_ = templ;
    db_ = sl::localdb::CdPlayerIniPath(dir_);
    settings_ = dir_ + "/sonolabel.INI";
    WriteDatabase();
    WriteSettings();
  }
  ~Fixture() {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  const std::string& Db() const { return db_; }
  const std::string& Settings() const { return settings_; }

 private:
  void WriteDatabase() {
    using sl::text::ToExternal;
    const std::string jaArtist = ToExternal("サザンオールスターズ");
    const std::string jaTitle = ToExternal("海のYeah!! ー ソー・ソング");
    const std::string jaTrack = ToExternal("曲名ー表示");
    std::string s;
    s.reserve(9u << 20);
    s += "; CD Player database\r\n";
    for (int i = 0; i < kDiscs; ++i) {
      const bool ja = i % 2 == 0;
      s += "[" + sl::localdb::SectionName(DiscKey(i)) + "]\r\nEntryType=1\r\n";
      s += "artist=" + (ja ? jaArtist : std::string("The Example Band")) + std::to_string(i) + "\r\n";
      s += "title=" + (ja ? jaTitle : std::string("Greatest Examples")) + "\r\n";
      s += "numtracks=" + std::to_string(kTracks) + "\r\n";
      for (int n = 0; n < kTracks; ++n) {
        s += std::to_string(n) + "=" + (ja ? jaTrack : std::string("Track title number")) +
             std::to_string(n + 1) + "\r\n";
      }
      s += "order=0 1 2 3 4 5 6 7 8 9 10 11\r\n";
    }
    std::ofstream(db_, std::ios::binary) << s;
  }
  void WriteSettings() {
    std::ofstream(settings_, std::ios::binary)
        << "[tunedex]\r\nproxyIP=\r\nproxyport=8080\r\nemail=user@example.org\r\n"
           "SMTPhost=\r\nSMTPID=\r\nsubmitemail=gnudb-submit@gnudb.org\r\n"
           "selectserver=1\r\nservercount=3\r\n"
           "[svr0]\r\nhost=gnudb.gnudb.org\r\npath=/~cddb/cddb.cgi?\r\ncode=2\r\n"
           "[svr1]\r\nhost=mirror.example.org\r\npath=/~cddb/cddb.cgi?\r\ncode=1\r\n"
           "[svr2]\r\nhost=other.example.org\r\npath=/~cddb/cddb.cgi?\r\ncode=0\r\n";
  }
  std::string dir_, db_, settings_;
};

Fixture& TheFixture() {
  static Fixture f;
  return f;
}

// A disc near the end of the file: the scan passes almost all others.
void BM_ReadIniFile(benchmark::State& state) {
  const Fixture& f = TheFixture();
  sl::shell::TrackTitleTable table;
  table.SetRowCount(kTracks + 1);
  for (auto _ : state) {
    const bool found = sl::localdb::ReadIniFile(f.Db(), DiscKey(kDiscs - 3), table);
    benchmark::DoNotOptimize(found);
    if (!found) state.SkipWithError("disc not found");
  }
}
BENCHMARK(BM_ReadIniFile)->Unit(benchmark::kMillisecond)->Repetitions(5)->DisplayAggregatesOnly(true);

// A disc that is not there: the whole file is scanned.
void BM_ReadIniFileMissing(benchmark::State& state) {
  const Fixture& f = TheFixture();
  sl::shell::TrackTitleTable table;
  for (auto _ : state) benchmark::DoNotOptimize(sl::localdb::ReadIniFile(f.Db(), 0xFFFFFFF1u, table));
}
BENCHMARK(BM_ReadIniFileMissing)->Unit(benchmark::kMillisecond)->Repetitions(5)->DisplayAggregatesOnly(true);

// Saving a 99-track disc; every save has new titles, so every save really
// rewrites and flushes the 8.6 MB file.
void BM_WriteIniFile99(benchmark::State& state) {
  const Fixture& f = TheFixture();
  sl::shell::TrackTitleTable table;
  table.SetRowCount(100);
  table.SetArtist("ベンチマーク");
  int generation = 0;
  for (auto _ : state) {
    state.PauseTiming();
    ++generation;
    table.SetTitle("Album " + std::to_string(generation));
    for (int r = 1; r <= 99; ++r)
      table.SetCell(1, r, "曲 " + std::to_string(r) + " / " + std::to_string(generation));
    state.ResumeTiming();
    std::string error;
    if (!sl::localdb::WriteIniFile(f.Db(), 0x7F0A1263u, 99, 99, table, &error)) {
      state.SkipWithError(error.c_str());
      break;
    }
  }
}
BENCHMARK(BM_WriteIniFile99)->Unit(benchmark::kMillisecond)->Repetitions(5)->DisplayAggregatesOnly(true);

// What start-up reads from the settings file.
void BM_SettingsStartup(benchmark::State& state) {
  const Fixture& f = TheFixture();
  using namespace sl::settings;
  for (auto _ : state) {
    SettingsFile s(f.Settings());
    benchmark::DoNotOptimize(s.ReadString(kSection, kKeyEmail, ""));
    benchmark::DoNotOptimize(s.ReadString(kSection, kKeySelectServer, ""));
    const int selected = s.ReadInteger(kSection, kKeySelectServer, 0);
    benchmark::DoNotOptimize(s.ReadInteger(kSection, kKeyServerCount, 0));
    benchmark::DoNotOptimize(s.ReadServer(selected));
    benchmark::DoNotOptimize(s.ReadString(kSection, kKeySubmitEmail, ""));
    benchmark::DoNotOptimize(s.ReadString(kSection, kKeyProxyIp, ""));
    benchmark::DoNotOptimize(s.ReadInteger(kSection, kKeyProxyPort, 80));
  }
}
BENCHMARK(BM_SettingsStartup)->Unit(benchmark::kMicrosecond)->Repetitions(5)->DisplayAggregatesOnly(true);

// A sites reply of 2,000 servers merged into a settings file that holds
// ten: every one is new, so the write adds 2,000 sections at once.
void BM_MergeServerList2000(benchmark::State& state) {
  const Fixture& f = TheFixture();
  const std::string path = f.Settings() + ".merge";
  std::string start = "[tunedex]\r\nemail=user@example.org\r\nservercount=10\r\n";
  for (int i = 0; i < 10; ++i)
    start += "[svr" + std::to_string(i) + "]\r\nhost=old" + std::to_string(i) +
             ".example.org\r\npath=/~cddb/cddb.cgi?\r\ncode=0\r\n";
  std::vector<std::string> lines;
  for (int i = 0; i < 2000; ++i)
    lines.push_back("mirror" + std::to_string(i) +
                    ".example.net http 80 /~cddb/cddb.cgi N000.00 W000.00 Mirror " + std::to_string(i));
  for (auto _ : state) {
    state.PauseTiming();
    std::ofstream(path, std::ios::binary | std::ios::trunc) << start;
    sl::settings::SettingsFile s(path);
    state.ResumeTiming();
    std::string error;
    if (!sl::settings::SetServerList(s, lines, &error)) {
      state.SkipWithError(error.c_str());
      break;
    }
  }
  std::filesystem::remove(path);
}
BENCHMARK(BM_MergeServerList2000)->Unit(benchmark::kMillisecond)->Repetitions(5)->DisplayAggregatesOnly(true);

// A settings file grown to 60 MB (a junk section another program left) with
// 1,000 stored servers: what start-up reads, on a file just changed so that
// nothing read before can be reused.
void BM_SettingsStartupHugeFile(benchmark::State& state) {
  const Fixture& f = TheFixture();
  const std::string path = f.Settings() + ".huge";
  {
    std::string s = "[tunedex]\r\nemail=user@example.org\r\nselectserver=999\r\nservercount=1000\r\n";
    for (int i = 0; i < 1000; ++i)
      s += "[svr" + std::to_string(i) + "]\r\nhost=mirror" + std::to_string(i) +
           ".example.org\r\npath=/~cddb/cddb.cgi?\r\ncode=0\r\n";
    s += "[junk]\r\n";
    const std::string line = "k=" + std::string(1000, 'x') + "\r\n";
    while (s.size() < (60u << 20)) s += line;
    std::ofstream(path, std::ios::binary) << s;
  }
  using namespace sl::settings;
  for (auto _ : state) {
    state.PauseTiming();
    ::utimensat(AT_FDCWD, path.c_str(), nullptr, 0);  // a fresh change time
    state.ResumeTiming();
    SettingsFile s(path);
    benchmark::DoNotOptimize(s.ReadString(kSection, kKeyEmail, ""));
    benchmark::DoNotOptimize(s.ReadString(kSection, kKeySelectServer, ""));
    sl::shell::ShellModel model;
    const int selected = GetServerList(s, model);
    benchmark::DoNotOptimize(s.ReadServer(selected));
    benchmark::DoNotOptimize(s.ReadString(kSection, kKeySubmitEmail, ""));
    benchmark::DoNotOptimize(s.ReadInteger(kSection, kKeyProxyPort, 80));
  }
  std::filesystem::remove(path);
}
BENCHMARK(BM_SettingsStartupHugeFile)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(3);

}  // namespace

BENCHMARK_MAIN();
