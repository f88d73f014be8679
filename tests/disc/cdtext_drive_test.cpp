// Reading CD-Text from a drive: READ TOC format 5 through the simulated
// layer (the drives file's cdtext key), the demo's CD-Text discs, and the
// real-drive layer's handling of the command.
#include <gtest/gtest.h>

#include <cstring>

#include "disc/cdtext.h"
#include "sg_command.h"
#include "sim_fixture.h"
#include "support/cdtext_builder.h"

namespace sl::test {
namespace {

using Outcome = disc::DiscDrives::CdTextReply::Outcome;

std::string HexLines(const std::vector<std::uint8_t>& bytes) {
  std::string out;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i % 18 == 4 || i == 0) out += (i == 0 ? "" : "\n") + std::string("cdtext =");
    char hex[4];
    std::snprintf(hex, sizeof hex, " %02X", bytes[i]);
    out += hex;
  }
  return out + "\n";
}

TEST_F(SimDrivesTest, CdTextKeyIsReadWithFormatFive) {
  CdTextBlockContent content;
  content.titles = {"Disc", "One", "Two", "Three"};
  content.performers = {"Band"};
  const auto reply = CdTextReply({content});
  // Several cdtext lines in a row join; a comment between them is fine.
  const std::string lines = HexLines(reply);
  ASSERT_TRUE(Load(Drive("0:0:0", "WITH TEXT", "; the lead-in's packs\n" + lines + "; end\n") +
                   Drive("0:1:0", "NO TEXT") + "[0:2:0]\nvendor = SONOLAB\nproduct = EMPTY\n"));
  auto read = drives->ReadCdText(0, 0, 0);
  EXPECT_EQ(read.outcome, Outcome::Read);
  EXPECT_EQ(read.bytes, reply);
  const auto text = disc::DecodeCdText(read.bytes);
  ASSERT_EQ(text.blocks.size(), 1u);
  EXPECT_EQ(text.blocks[0].titles, content.titles);

  // No CD-Text on the disc, and no disc at all: nothing, and no box.
  EXPECT_EQ(drives->ReadCdText(0, 1, 0).outcome, Outcome::NoCdText);
  EXPECT_EQ(drives->ReadCdText(0, 2, 0).outcome, Outcome::NoCdText);
  EXPECT_TRUE(drives->ReadCdText(0, 2, 0).bytes.empty());
  EXPECT_TRUE(services.boxes.empty());
}

TEST_F(SimDrivesTest, CdTextReadsThatFailOrOverrunAreBounded) {
  // A header without packs is no CD-Text; a header longer than the reply
  // gives what came.
  ASSERT_TRUE(Load(Drive("0:0:0", "HEADER", "cdtext = 00 02 00 00\n") +
                   Drive("0:1:0", "CLAIMS", "cdtext = FF FF 00 00 80 00 00 00 41 42 43 00\n") +
                   Drive("0:2:0", "HANGS", "cdtext = 00 02 00 00\nnever_complete = cdtext\n") +
                   Drive("0:3:0", "GONE", "cdtext = 00 02 00 00\nopen_error = 13\n")));
  EXPECT_EQ(drives->ReadCdText(0, 0, 0).outcome, Outcome::NoCdText);
  const auto claims = drives->ReadCdText(0, 1, 0);
  EXPECT_EQ(claims.outcome, Outcome::Read);
  EXPECT_EQ(claims.bytes.size(), disc::kCdTextMaxReply);  // all that was asked for
  // A read that never completes is aborted after the command time-out.
  drives->SetCommandTimeout(std::chrono::milliseconds(50));
  EXPECT_EQ(drives->ReadCdText(0, 2, 0).outcome, Outcome::Failed);
  EXPECT_EQ(drives->ReadCdText(0, 3, 0).outcome, Outcome::Failed);
  EXPECT_TRUE(services.boxes.empty());
  // The hanging drive still answers its TOC: only format 5 hangs.
  disc::DiscToc toc;
  EXPECT_EQ(drives->ReadToc(0, 2, 0, toc), disc::DiscDrives::TocResult::Ok);
  // The header is read first and the packs then for its length: bytes the
  // drive has beyond it are not asked for.
  ASSERT_TRUE(Load(Drive("0:0:0", "TRAILING", "cdtext = 00 14 00 00 " + std::string(36, '8') + " 99 99\n")));
  const auto onePack = drives->ReadCdText(0, 0, 0);
  EXPECT_EQ(onePack.outcome, Outcome::Read);
  EXPECT_EQ(onePack.bytes.size(), 4u + disc::kCdTextPackSize);
}

TEST_F(SimDrivesTest, CdTextKeyErrorsNameTheLine) {
  const std::pair<std::string, std::string> cases[] = {
      {"[0:0:0]\ncdtext = 0G\n", ":2: cdtext: not a hex digit"},
      {"[0:0:0]\ncdtext = 00\nvendor = A\ncdtext = 00\n", ":4: key 'cdtext' given twice"},
      {"[0:0:0]\ncdtext = 0\n", ":2: cdtext: odd number"},
  };
  for (const auto& [text, words] : cases) {
    testing::internal::CaptureStderr();
    EXPECT_FALSE(Load(text));
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(words), std::string::npos) << err;
  }
  // Up to 65535 bytes over many lines; one more is refused.
  std::string big = "[0:0:0]\n";
  std::string row = "cdtext =";
  for (int i = 0; i < 1000; ++i) row += " AB";
  for (int i = 0; i < 65; ++i) big += row + "\n";
  std::string last = "cdtext =";
  for (int i = 0; i < 535; ++i) last += " AB";
  EXPECT_TRUE(Load(big + last + "\n"));
  testing::internal::CaptureStderr();
  EXPECT_FALSE(Load(big + last + " AB\n"));
  EXPECT_NE(testing::internal::GetCapturedStderr().find("more than 65535 bytes"), std::string::npos);
}

// The demo's two CD-Text discs decode to what the generator put in them.
TEST_F(SimDrivesTest, DemoDiscsCarryCdText) {
  std::string demo = ReadFileBytes(std::string(SONOLABEL_SOURCE_DIR) + "/demo/drives.ini");
  ASSERT_TRUE(Load(demo));
  disc::DiscToc toc;
  ASSERT_EQ(drives->ReadToc(1, 2, 0, toc), disc::DiscDrives::TocResult::Ok);
  auto read = drives->ReadCdText(1, 2, 0);
  ASSERT_EQ(read.outcome, Outcome::Read);
  auto text = disc::DecodeCdText(read.bytes);
  EXPECT_TRUE(text.notes.empty()) << text.notes[0];
  auto jp = disc::TitlesFromCdText(text, toc.TrackCount);
  ASSERT_TRUE(jp);
  EXPECT_EQ(jp->block, 0);
  EXPECT_EQ(jp->artist, "星野みなと");
  EXPECT_EQ(jp->title, "夜明けの街角");
  ASSERT_EQ(jp->trackTitles.size(), static_cast<std::size_t>(toc.TrackCount));
  EXPECT_EQ(jp->trackTitles[0], "始発電車");
  for (const auto& t : jp->trackTitles) EXPECT_FALSE(t.empty());
  // Its second block is English.
  auto en = disc::TitlesFromCdText(text, toc.TrackCount, disc::kCdTextEnglish);
  ASSERT_TRUE(en);
  EXPECT_EQ(en->block, 1);
  EXPECT_EQ(en->title, "Dawn Street Corner");

  ASSERT_EQ(drives->ReadToc(1, 3, 0, toc), disc::DiscDrives::TocResult::Ok);
  read = drives->ReadCdText(1, 3, 0);
  ASSERT_EQ(read.outcome, Outcome::Read);
  text = disc::DecodeCdText(read.bytes);
  EXPECT_TRUE(text.notes.empty());
  auto latin = disc::TitlesFromCdText(text, toc.TrackCount);
  ASSERT_TRUE(latin);
  EXPECT_EQ(latin->artist, "Hélène Duprès");
  EXPECT_EQ(latin->title, "Chansons d'Été");
  ASSERT_EQ(latin->trackTitles.size(), static_cast<std::size_t>(toc.TrackCount));
  for (const auto& t : latin->trackTitles) EXPECT_FALSE(t.empty());
  EXPECT_EQ(latin->trackPerformers[0], "Hélène Duprès");  // a repeat mark

  // The other demo discs have none.
  EXPECT_EQ(drives->ReadCdText(0, 0, 0).outcome, Outcome::NoCdText);
  EXPECT_TRUE(services.boxes.empty());
}

// The real-drive layer passes format 5 on as it is: the whole allocation
// as data in, and a drive's "no CD-Text" (CHECK CONDITION, ILLEGAL REQUEST)
// as a completed request with that target status, which the program reads
// as no CD-Text.
TEST(SgCommandCdText, FormatFiveIsPassedOnWholeAndItsRefusalIsNoError) {
  std::vector<std::uint8_t> buffer(disc::kCdTextMaxReply);
  SlAspiExecBlock b{};
  b.command = SL_ASPI_CMD_EXECUTE_SCSI;
  b.flags = SL_ASPI_FLAG_DATA_IN;
  b.bufferLength = static_cast<std::uint32_t>(buffer.size());
  b.buffer = buffer.data();
  b.senseLength = 14;
  b.cdbLength = 10;
  const std::uint8_t cdb[10] = {0x43, 0, 5, 0, 0, 0, 0, 0x90, 0x04, 0};
  std::memcpy(b.cdb, cdb, sizeof cdb);
  sg_io_hdr_t seen{};
  const auto status = aspisg::RunCommand(b, [&](sg_io_hdr_t& io) {
    seen = io;
    io.status = SL_SCSI_STATUS_CHECK_CONDITION;
    const unsigned char sense[18] = {0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x24};
    std::memcpy(io.sbp, sense, sizeof sense);
    io.sb_len_wr = sizeof sense;
    io.driver_status = 0x08;  // sense data present
    return 0;
  });
  EXPECT_EQ(seen.dxfer_len, disc::kCdTextMaxReply);
  EXPECT_EQ(seen.dxfer_direction, SG_DXFER_FROM_DEV);
  EXPECT_EQ(seen.cmd_len, 10);
  EXPECT_EQ(std::memcmp(seen.cmdp, cdb, sizeof cdb), 0);
  EXPECT_EQ(status, SL_ASPI_STATUS_COMPLETED);
  EXPECT_EQ(b.targetStatus, SL_SCSI_STATUS_CHECK_CONDITION);
  EXPECT_EQ(aspisg::SenseKey(b), 0x05);
}

}  // namespace
}  // namespace sl::test
