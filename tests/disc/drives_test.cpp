// Drive discovery, SCSI commands and TOC reads on the simulated layer.
#include <gtest/gtest.h>

#include <chrono>

#include "mainform/outcome_texts.h"
#include "platform/pump.h"
#include "sim_fixture.h"

namespace sl::test {
namespace {

using disc::DiscDrives;
using namespace std::chrono_literals;

std::string AddressOf(const DiscDrives& d, int i) {
  auto a = d.Drive(i);
  if (!a) return "none";
  return std::to_string(a->HaId) + ":" + std::to_string(a->Target) + ":" + std::to_string(a->Lun);
}

TEST_F(SimDrivesTest, DemoDrivesFileListsSixDrives) {
  std::string demo = ReadFileBytes(std::string(SONOLABEL_SOURCE_DIR) + "/demo/drives.ini");
  ASSERT_FALSE(demo.empty());
  ASSERT_TRUE(Load(demo));
  EXPECT_TRUE(services.boxes.empty());
  EXPECT_EQ(drives->HostAdapterCount(), 2);
  drives->ScanDrives();
  EXPECT_EQ(model.DriveItems(),
            (std::vector<std::string>{"SONOLAB DEMO ROCK 3TRK  ", "SONOLAB DEMO JPOP 12TRK ",
                                      "SONOLAB DEMO MULTI 5TRK ", "SONOLAB EMPTY TRAY      ",
                                      "SONOLAB DEMO CDTEXT JP  ", "SONOLAB DEMO CDTEXT FR  "}));
  EXPECT_EQ(drives->DriveCount(), 6);
  EXPECT_EQ(AddressOf(*drives, 0), "0:0:0");
  EXPECT_EQ(AddressOf(*drives, 3), "1:1:0");
  EXPECT_EQ(AddressOf(*drives, 5), "1:3:0");
  EXPECT_EQ(AddressOf(*drives, -1), "none");  // typed text, no item chosen
  EXPECT_EQ(AddressOf(*drives, 6), "none");
  EXPECT_EQ(model.DriveIndex(), -1);
  EXPECT_EQ(model.Status(0), "チェック完了");

  const std::pair<int, const char*> expected[] = {
      {0, "cmd=cddb+query+23026203+3+150+18630+35212+612"},
      {1,
       "cmd=cddb+query+990C360C+12+150+20337+40390+58655+79908+96001+116995+135847+156015+"
       "174960+194261+214019+3128"},
      {2, "cmd=cddb+query+30058B05+5+150+23440+43885+64555+85683+1421"},
      {4, "cmd=cddb+query+4E08B909+9+150+17365+36162+55566+75378+94701+114770+131408+151544+2235"},
      {5, "cmd=cddb+query+3B04EF06+6+150+14572+30005+47385+63167+80173+1265"}};
  for (auto [index, query] : expected) {
    auto a = *drives->Drive(index);
    disc::DiscToc toc;
    ASSERT_EQ(drives->ReadToc(a.HaId, a.Target, a.Lun, toc), DiscDrives::TocResult::Ok);
    EXPECT_EQ(disc::QueryCommandFor(toc), query);
  }
  auto empty = *drives->Drive(3);
  EXPECT_FALSE(drives->UnitReady(empty.HaId, empty.Target, empty.Lun));

  drives->UnloadAspiLayer();
  EXPECT_EQ(drives->HostAdapterCount(), -1);
}

TEST_F(SimDrivesTest, DiscoveryOrderNamesAndStatusTexts) {
  // Adapter, then LUN, then target (fastest); only CD-ROM drives are listed.
  ASSERT_TRUE(Load(Drive("1:0:0", "ON ADAPTER 1") + Drive("0:0:1", "LUN 1") + Drive("0:7:0", "TARGET 7") +
                   Drive("0:1:0", "TARGET 1") + "[0:2:0]\nvendor = DISK\ndevice_type = 0\n" +
                   Drive("0:0:0", "FIRST") + Drive("0:3:0", "X", "inquiry_empty = 1\n") +
                   Drive("0:4:0", "X", "inquiry_fail = 1\n") + "[2:5:0]\nvendor=V\nproduct=NO DISC\n"));
  EXPECT_EQ(drives->HostAdapterCount(), 3);
  statuses.clear();
  drives->ScanDrives();
  EXPECT_EQ(model.DriveItems(),
            (std::vector<std::string>{"SONOLAB FIRST           ", "SONOLAB TARGET 1        ", "名称なし", "",
                                      "SONOLAB TARGET 7        ", "SONOLAB LUN 1           ",
                                      "SONOLAB ON ADAPTER 1    ", "V       NO DISC         "}));
  const char* addresses[] = {"0:0:0", "0:1:0", "0:3:0", "0:4:0", "0:7:0", "0:0:1", "1:0:0", "2:5:0"};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(AddressOf(*drives, i), addresses[i]);
  // Every probed address writes its status; the check-complete text is last.
  EXPECT_EQ(statuses.size(), 3u * 64u + 1u);
  EXPECT_EQ(std::count(statuses.begin(), statuses.end(), "デバイスあり"), 9);  // the disk too
  EXPECT_EQ(statuses.back(), "チェック完了");
  EXPECT_EQ(statuses.front(), "デバイスあり");  // 0:0:0
  EXPECT_EQ(statuses[1], "デバイスあり");       // 0:1:0
  EXPECT_EQ(statuses[5], "デバイスなし");       // 0:5:0

  EXPECT_EQ(drives->GetDeviceType(0, 2, 0), 0);
  EXPECT_EQ(model.Status(0), "デバイスあり");
  EXPECT_EQ(drives->GetDeviceType(0, 6, 6), 0xFFFF);
  EXPECT_EQ(model.Status(0), "デバイスなし");
  EXPECT_EQ(drives->GetDeviceType(7, 0, 0), 0xFFFF);  // no such adapter
  EXPECT_TRUE(services.boxes.empty());
}

TEST_F(SimDrivesTest, OnlySixteenDrivesAreListed) {
  std::string text;
  for (int a = 0; a < 3; ++a)
    for (int t = 0; t < 6; ++t) text += Drive(std::to_string(a) + ":" + std::to_string(t) + ":0", "D");
  ASSERT_TRUE(Load(text));
  drives->ScanDrives();
  EXPECT_EQ(model.DriveItems().size(), 16u);
  EXPECT_EQ(drives->DriveCount(), 16);
  EXPECT_EQ(AddressOf(*drives, 15), "2:3:0");
  EXPECT_EQ(AddressOf(*drives, 16), "none");
  // A second scan starts over rather than adding to the box.
  drives->ScanDrives();
  EXPECT_EQ(model.DriveItems().size(), 16u);
}

// The drives file is read up to its bound of 1 MiB, not a byte further.
TEST_F(SimDrivesTest, DrivesFileUpToOneMebibyte) {
  const std::string drive = Drive("0:1:0", "Padded");
  auto padded = [&](std::size_t size) {
    std::string text = drive;
    const std::string line = "; " + std::string(97, 'p') + "\n";
    while (text.size() + line.size() <= size) text += line;
    text += std::string(size - text.size() - 1, ';') + "\n";
    return text;
  };
  ASSERT_EQ(padded(1 << 20).size(), 1u << 20);
  ASSERT_TRUE(Load(padded(1 << 20)));
  drives->ScanDrives();
  EXPECT_EQ(model.DriveItems().size(), 1u);
  EXPECT_FALSE(Load(padded((1 << 20) + 1)));
  ASSERT_FALSE(services.boxes.empty());
  EXPECT_EQ(services.boxes.back().text, "正常にWNASPI32.DLLを初期化できませんでした");
}

TEST_F(SimDrivesTest, ReadTocFillsTocAndGridOrFailsCleanly) {
  ASSERT_TRUE(Load(Drive("0:0:0", "GOOD") + Drive("0:1:0", "FAIL", "toc_fail = 1\n") +
                   Drive("0:2:0", "BUSY", "toc_status = 8\n") +
                   Drive("0:3:0", "ERR", "toc_request_status = 4\n") + "[0:4:0]\nproduct = EMPTY\n"));
  auto& table = model.Table();
  table.SetRowCount(10);
  for (int r = 1; r < 10; ++r) {
    table.SetCell(1, r, "old title");
    table.SetCell(2, r, "old artist");
  }
  disc::DiscToc toc;
  ASSERT_EQ(drives->ReadToc(0, 0, 0, toc), DiscDrives::TocResult::Ok);
  EXPECT_EQ(toc.TrackCount, 3);
  EXPECT_EQ(disc::DiscIdFields(toc, ' '), "23026203 3 150 18630 35212 612");
  // The drive side leaves the grid to the window: NumberRows fills it from
  // the table of contents read.
  EXPECT_EQ(table.RowCount(), 10);
  disc::NumberRows(table, toc);
  EXPECT_EQ(table.RowCount(), 4);
  for (int r = 1; r <= 3; ++r) {
    EXPECT_EQ(table.Cell(0, r), std::to_string(r));
    EXPECT_EQ(table.Cell(1, r), "");
    EXPECT_EQ(table.Cell(2, r), "old artist");  // the artist column is left alone
  }

  // Failed reads: TrackCount 0, entries and grid as they were, no box.
  table.SetCell(1, 2, "kept");
  for (int target : {1, 2, 3}) {
    toc.TrackCount = 3;
    EXPECT_EQ(drives->ReadToc(0, target, 0, toc), DiscDrives::TocResult::Failed) << target;
    EXPECT_EQ(toc.TrackCount, 0);
    EXPECT_EQ(disc::FrameOffset(toc.Entries[1]), 18630);
    EXPECT_EQ(table.RowCount(), 4);
    EXPECT_EQ(table.Cell(1, 2), "kept");
  }
  EXPECT_EQ(disc::QueryCommandFor(toc), "cmd=cddb+query+00000000+0");
  toc.TrackCount = 3;
  EXPECT_EQ(drives->ReadToc(0, 4, 0, toc), DiscDrives::TocResult::NotReady);
  EXPECT_EQ(toc.TrackCount, 0);
  EXPECT_EQ(drives->ReadToc(0, 7, 0, toc), DiscDrives::TocResult::NotReady);  // nothing there
  EXPECT_TRUE(services.boxes.empty());
}

TEST_F(SimDrivesTest, UnsoundTocRepliesCountAsFailedReads) {
  auto hex = [](std::vector<int> bytes) {
    std::string s;
    char b[4];
    for (int v : bytes) {
      std::snprintf(b, sizeof b, "%02X ", v);
      s += b;
    }
    return s;
  };
  // 100 tracks, as a drive might claim.
  std::vector<int> hundred = {0x03, 0x2A, 1, 100};
  for (int k = 0; k <= 100; ++k) {
    int f = 150 + k * 1000;
    hundred.insert(hundred.end(), {0, 0x10, k == 100 ? 0xAA : k + 1, 0, 0, f / 4500, (f / 75) % 60, f % 75});
  }
  // Tracks 2..3 (first track is not 1).
  std::vector<int> fromTwo = {0, 0x1A, 2, 3, 0, 0x10, 2, 0,    0,    0, 2, 0,  0,  0x10,
                              3, 0,    0, 4, 8, 30,   0, 0x10, 0xAA, 0, 0, 10, 12, 12};
  // A reply whose length field promises three tracks but stops after one.
  std::vector<int> shortReply = {0, 0x22, 1, 3, 0, 0x10, 1, 0, 0, 0, 2, 0};
  std::string text = "[0:0:0]\nraw_toc = " + hex(hundred) + "\n" + "[0:1:0]\nraw_toc = " + hex(fromTwo) +
                     "\n" + "[0:2:0]\nraw_toc = " + hex(shortReply) + "\n" +
                     "[0:3:0]\nraw_toc = DE AD BE EF 01 02 03\n" + "[0:4:0]\nraw_toc = 00\n";
  ASSERT_TRUE(Load(text));
  const int rows = model.Table().RowCount();
  disc::DiscToc toc;
  for (int target = 0; target <= 4; ++target) {
    toc.TrackCount = 5;
    EXPECT_EQ(drives->ReadToc(0, target, 0, toc), DiscDrives::TocResult::Failed) << target;
    EXPECT_EQ(toc.TrackCount, 0);
  }
  EXPECT_EQ(model.Table().RowCount(), rows);  // the grid was never resized
}

// A drive whose disc goes away between the two TEST UNIT READYs of a read
// (it passes only the first) is not ready: the TOC is not read.
TEST_F(SimDrivesTest, ReadingNeedsTwoPassedTestUnitReadys) {
  ASSERT_TRUE(Load(Drive("0:0:0", "ONCE", "tur_ready = 1\n") + Drive("0:1:0", "TWICE", "tur_ready = 2\n")));
  disc::DiscToc toc;
  EXPECT_EQ(drives->ReadToc(0, 0, 0, toc), DiscDrives::TocResult::NotReady);
  EXPECT_EQ(toc.TrackCount, 0);
  EXPECT_EQ(drives->ReadToc(0, 1, 0, toc), DiscDrives::TocResult::Ok);
  EXPECT_EQ(toc.TrackCount, 3);
}

// A layer may write anything back into the block's length field; the reply
// is read only as far as it was requested.
TEST_F(SimDrivesTest, LengthWrittenBackByTheLayerIsNotTrusted) {
  ASSERT_TRUE(Load(Drive("0:0:0", "HUGE", "report_length = 4294967295\n") +
                   Drive("0:1:0", "ZERO", "report_length = 0\n") +
                   Drive("0:2:0", "SMALL", "report_length = 3\n")));
  drives->ScanDrives();
  EXPECT_EQ(model.DriveItems(),
            (std::vector<std::string>{"SONOLAB HUGE            ", "SONOLAB ZERO            ",
                                      "SONOLAB SMALL           "}));
  for (int target = 0; target <= 2; ++target) {
    disc::DiscToc toc;
    ASSERT_EQ(drives->ReadToc(0, target, 0, toc), DiscDrives::TocResult::Ok) << target;
    EXPECT_EQ(disc::QueryCommandFor(toc), "cmd=cddb+query+23026203+3+150+18630+35212+612");
    ASSERT_TRUE(drives->ReadTrackTable(0, target, 0, toc));
    EXPECT_EQ(toc.LastSessionFirstTrack, 0);
  }
}

TEST_F(SimDrivesTest, SessionInformation) {
  ASSERT_TRUE(Load(Drive("0:0:0", "ONE SESSION") + Drive("0:1:0", "TWO", "last_session_first_track = 3\n") +
                   Drive("0:2:0", "FAILS", "session_fail = 1\n") +
                   Drive("0:3:0", "GARBAGE", "raw_session = 00 0A 01 02 00 10 C8 00 00 00 02 00\n") +
                   Drive("0:4:0", "SHORT", "raw_session = 00 0A 01 02\n") + "[0:5:0]\nproduct = EMPTY\n"));
  disc::DiscToc toc;
  toc.LastSessionFirstTrack = 7;
  EXPECT_TRUE(drives->ReadTrackTable(0, 0, 0, toc));
  EXPECT_EQ(toc.LastSessionFirstTrack, 0);
  EXPECT_TRUE(drives->ReadTrackTable(0, 1, 0, toc));
  EXPECT_EQ(toc.LastSessionFirstTrack, 3);
  for (int target : {2, 3, 4}) {
    toc.LastSessionFirstTrack = 7;
    EXPECT_TRUE(drives->ReadTrackTable(0, target, 0, toc)) << target;
    EXPECT_EQ(toc.LastSessionFirstTrack, 0) << target;
  }
  toc.LastSessionFirstTrack = 7;
  EXPECT_FALSE(drives->ReadTrackTable(0, 5, 0, toc));  // no disc: nothing changes
  EXPECT_EQ(toc.LastSessionFirstTrack, 7);
}

TEST_F(SimDrivesTest, DelayedCompletionThroughEventAndPoll) {
  ASSERT_TRUE(Load(Drive("0:0:0", "SLOW", "delay_ms = 30\nlast_session_first_track = 2\n")));
  int pumped = 0;
  platform::SetMessagePump([&] { ++pumped; });
  drives->ScanDrives();  // INQUIRY is polled, with the pump running
  platform::SetMessagePump({});
  EXPECT_EQ(model.DriveItems(), std::vector<std::string>{"SONOLAB SLOW            "});
  EXPECT_GT(pumped, 0);
  disc::DiscToc toc;
  EXPECT_TRUE(drives->ReadTrackTable(0, 0, 0, toc));
  EXPECT_EQ(toc.LastSessionFirstTrack, 2);
  EXPECT_EQ(drives->ReadToc(0, 0, 0, toc), DiscDrives::TocResult::Ok);
  EXPECT_EQ(disc::CalcDiscId(toc, toc.TrackCount), 0x23026203u);

  // The public command runner on a caller's own block.
  alignas(16) std::uint8_t area[64] = {};
  SlAspiExecBlock b{};
  b.command = SL_ASPI_CMD_EXECUTE_SCSI;
  b.flags = SL_ASPI_FLAG_DATA_IN;
  b.bufferLength = 36;
  b.buffer = reinterpret_cast<std::uint8_t*>(
      DiscDrives::ConvParagraphBoundary(reinterpret_cast<std::uintptr_t>(area)));
  b.senseLength = 14;
  b.cdbLength = 6;
  b.cdb[0] = 0x12;
  b.cdb[4] = 36;
  EXPECT_TRUE(drives->ExecuteScsiCommand(b));
  EXPECT_EQ(b.status, SL_ASPI_STATUS_COMPLETED);
  EXPECT_EQ(b.flags & SL_ASPI_FLAG_POST, SL_ASPI_FLAG_POST);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(b.buffer) + 8, 7), "SONOLAB");
  EXPECT_TRUE(services.boxes.empty());
}

TEST_F(SimDrivesTest, CommandThatNeverCompletesIsAborted) {
  ASSERT_TRUE(Load(Drive("0:0:0", "STUCK", "never_complete = 1\n") +
                   Drive("0:1:0", "STUCK HARD", "never_complete = toc\nabort_fails = 1\n") +
                   Drive("0:2:0", "MUTE", "never_complete = inquiry session\n")));
  drives->SetCommandTimeout(100ms);
  drives->SetPollTimeout(100ms);
  disc::DiscToc toc;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(drives->ReadToc(0, 0, 0, toc), DiscDrives::TocResult::Failed);
  EXPECT_TRUE(services.boxes.empty());  // the abort worked
  EXPECT_EQ(drives->ReadToc(0, 1, 0, toc), DiscDrives::TocResult::Failed);
  ASSERT_EQ(services.BoxTexts(), std::vector<std::string>{"アボートに失敗しました"});
  EXPECT_EQ(services.boxes[0].icon, shell::MsgIcon::Error);

  // Polled requests are bounded too: the drive is listed without a name and
  // the session read gives a single session.
  services.boxes.clear();
  EXPECT_EQ(drives->GetStandardInquiry(0, 2, 0), "");
  toc.LastSessionFirstTrack = 4;
  EXPECT_TRUE(drives->ReadTrackTable(0, 2, 0, toc));
  EXPECT_EQ(toc.LastSessionFirstTrack, 0);
  EXPECT_TRUE(services.boxes.empty());
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);

  // The request the layer refused to abort stays alive past the unload.
  drives->UnloadAspiLayer();
  drives.reset();
}

TEST_F(SimDrivesTest, AbortOfFinishedRequestAndAlignment) {
  ASSERT_TRUE(Load(Drive("0:0:0", "D")));
  SlAspiExecBlock done{};
  done.command = SL_ASPI_CMD_EXECUTE_SCSI;
  done.cdbLength = 6;  // TEST UNIT READY
  EXPECT_TRUE(drives->ExecuteScsiCommand(done));
  drives->AbortStuckRequest(0, done);  // nothing left to abort: no box
  EXPECT_TRUE(services.boxes.empty());

  EXPECT_EQ(DiscDrives::ConvParagraphBoundary(0x1010), 0x1020u);
  EXPECT_EQ(DiscDrives::ConvParagraphBoundary(0x100F), 0x1010u);
  EXPECT_EQ(DiscDrives::ConvParagraphBoundary(0x1001), 0x1010u);
  EXPECT_EQ(DiscDrives::ConvParagraphBoundary(0x1000), 0x1010u);
  EXPECT_TRUE(DiscDrives::TargetStatusGood(0));
  EXPECT_FALSE(DiscDrives::TargetStatusGood(SL_SCSI_STATUS_CHECK_CONDITION));
  EXPECT_FALSE(DiscDrives::TargetStatusGood(SL_SCSI_STATUS_BUSY));
}

TEST(DiscDrivesInit, ErrorBoxesForMissingOrUnusableLayer) {
  shell::ShellModel model;
  RecordingServices services;
  {
    disc::DiscDrives drives(model, mainform::DriveHookFor(model, services));
    EXPECT_FALSE(drives.LoadAspiLayer(std::string(SONOLABEL_BIN_DIR) + "/no-such-layer.so"));
    EXPECT_EQ(drives.HostAdapterCount(), -1);
    drives.ScanDrives();  // no layer: empty box, still "check complete"
    EXPECT_TRUE(model.DriveItems().empty());
    EXPECT_EQ(model.Status(0), "チェック完了");
    disc::DiscToc toc;
    EXPECT_EQ(drives.ReadToc(0, 0, 0, toc), disc::DiscDrives::TocResult::NotReady);
    // A library without the two entry points.
    EXPECT_FALSE(drives.LoadAspiLayer("libm.so.6"));
    EXPECT_EQ(drives.HostAdapterCount(), -1);
  }
  EXPECT_EQ(services.BoxTexts(), (std::vector<std::string>{"WNASPI32.DLLがロードできません",
                                                           "正常にWNASPI32.DLLを初期化できませんでした"}));
  for (const auto& b : services.boxes) EXPECT_EQ(b.icon, shell::MsgIcon::Error);
}

TEST_F(SimDrivesTest, LayerReportingItselfUnusable) {
  EXPECT_FALSE(Load("support_status = 4\n" + Drive("0:0:0", "D")));
  EXPECT_EQ(services.BoxTexts(), std::vector<std::string>{"正常にWNASPI32.DLLを初期化できませんでした"});
  EXPECT_EQ(drives->HostAdapterCount(), -1);
  // An empty drives file: a usable layer with no adapters.
  services.boxes.clear();
  EXPECT_TRUE(Load("; nothing here\n"));
  EXPECT_EQ(drives->HostAdapterCount(), 0);
  drives->ScanDrives();
  EXPECT_TRUE(model.DriveItems().empty());
  EXPECT_TRUE(services.boxes.empty());
}

}  // namespace
}  // namespace sl::test
