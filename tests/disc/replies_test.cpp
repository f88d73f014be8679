// The drive replies as the disc room reads them, at every edge of what it
// accepts: READ TOC (format 0), the session information (format 1) and the
// INQUIRY name.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "disc/disc.h"

namespace sl::disc {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct Msf {
  int m, s, f;
};

// A format 0 reply: header, one descriptor per track, the lead-out.
Bytes Toc(const std::vector<Msf>& starts, int first = 1, int lengthDelta = 0) {
  const int last = first + static_cast<int>(starts.size()) - 2;
  Bytes out = {0, 0, static_cast<std::uint8_t>(first), static_cast<std::uint8_t>(last)};
  for (std::size_t k = 0; k < starts.size(); ++k) {
    const bool leadOut = k + 1 == starts.size();
    out.insert(out.end(), {0, 0x10, static_cast<std::uint8_t>(leadOut ? 0xAA : first + static_cast<int>(k)),
                           0, 0, static_cast<std::uint8_t>(starts[k].m),
                           static_cast<std::uint8_t>(starts[k].s), static_cast<std::uint8_t>(starts[k].f)});
  }
  const int length = static_cast<int>(out.size()) - 2 + lengthDelta;
  out[0] = static_cast<std::uint8_t>(length >> 8);
  out[1] = static_cast<std::uint8_t>(length & 0xFF);
  return out;
}

TEST(DriveReplies, TocRepliesAreTakenOnlyWhenSound) {
  const std::vector<Msf> three = {{0, 2, 0}, {4, 8, 30}, {7, 49, 37}, {10, 12, 12}};
  std::vector<Msf> ninetyNine, hundred;
  for (int k = 0; k <= 100; ++k) {
    const Msf a{(2 + k * 30) / 60, (2 + k * 30) % 60, 0};
    if (k <= 99) ninetyNine.push_back(a);
    hundred.push_back(a);
  }
  struct Row {
    const char* name;
    Bytes reply;
    int tracks;  // 0: refused
  };
  Bytes shortened = Toc(three);
  shortened.pop_back();
  auto with = [&](std::size_t at, std::uint8_t v) {
    Bytes b = Toc(three);
    b[at] = v;
    return b;
  };
  const Row rows[] = {
      {"three tracks", Toc(three), 3},
      {"one track", Toc({{0, 2, 0}, {3, 0, 0}}), 1},
      {"99 tracks", Toc(ninetyNine), 99},
      {"100 tracks", Toc(hundred), 0},
      {"first track 0", Toc(three, 0), 0},
      {"first track 2", Toc(three, 2), 0},
      {"header says first track 0, tracks numbered from 1", with(2, 0), 0},
      {"second 59, frame 74", Toc({{0, 2, 0}, {4, 59, 74}, {9, 0, 0}}), 2},
      {"second 60", Toc({{0, 2, 0}, {4, 60, 0}, {9, 0, 0}}), 0},
      {"frame 75", Toc({{0, 2, 0}, {4, 8, 75}, {9, 0, 0}}), 0},
      {"same start twice", Toc({{0, 2, 0}, {0, 2, 0}, {9, 0, 0}}), 2},
      {"a start going back", Toc({{0, 2, 0}, {4, 8, 30}, {4, 8, 29}, {9, 0, 0}}), 0},
      {"length one short", Toc(three, 1, -1), 0},
      {"length longer", Toc(three, 1, 100), 3},
      {"reply one byte short", shortened, 0},
      {"reserved byte set", with(4 + 8 + 4, 1), 0},
      {"track number wrong", with(4 + 8 + 2, 3), 0},
      {"lead-out not AA", with(4 + 3 * 8 + 2, 4), 0},
      {"header only", Bytes{0, 2, 1, 1}, 0},
      {"nothing", Bytes{}, 0},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    DiscToc toc;
    toc.TrackCount = 42;
    toc.Entries[5] = {1, 2, 3};
    EXPECT_EQ(ParseTocReply(r.reply, toc), r.tracks > 0);
    if (r.tracks > 0) {
      EXPECT_EQ(toc.TrackCount, r.tracks);
      EXPECT_EQ(toc.Entries[0].Second, 2);
    } else {
      EXPECT_EQ(toc.TrackCount, 42);  // untouched
      EXPECT_EQ(toc.Entries[5].Frame, 3);
    }
  }
}

TEST(DriveReplies, SessionInformationNamesTheLastSessionsFirstTrack) {
  struct Row {
    const char* name;
    Bytes reply;
    int first;
  };
  auto session = [](int length, int lastSession, int track) {
    return Bytes{static_cast<std::uint8_t>(length >> 8),
                 static_cast<std::uint8_t>(length),
                 1,
                 static_cast<std::uint8_t>(lastSession),
                 0,
                 0x14,
                 static_cast<std::uint8_t>(track),
                 0,
                 0,
                 0,
                 0,
                 0};
  };
  const Row rows[] = {
      {"two sessions, track 5", session(10, 2, 5), 5},
      {"three sessions", session(10, 3, 9), 9},
      {"one session", session(10, 1, 1), 0},
      {"length 9", session(9, 2, 5), 0},
      {"track 0", session(10, 2, 0), 0},
      {"track 99", session(10, 2, 99), 99},
      {"track 100", session(10, 2, 100), 0},
      {"six bytes", Bytes{0, 10, 1, 2, 0, 0x14}, 0},
      {"seven bytes", Bytes{0, 10, 1, 2, 0, 0x14, 4}, 4},
  };
  for (const auto& r : rows) EXPECT_EQ(LastSessionFirstTrack(r.reply), r.first) << r.name;
}

TEST(DriveReplies, InquiryNameIsThePrintableIdentification) {
  auto inquiry = [](const std::string& id, int additional, std::size_t size = 36) {
    Bytes b(std::max<std::size_t>(size, 8), 0);
    b[0] = 5;
    b[4] = static_cast<std::uint8_t>(additional);
    for (std::size_t i = 0; i < id.size() && 8 + i < b.size(); ++i)
      b[8 + i] = static_cast<std::uint8_t>(id[i]);
    b.resize(size);
    return b;
  };
  const std::string id = "SONOLAB VIRTUAL CD-ROM  ";  // vendor (8) and product (16)
  struct Row {
    const char* name;
    Bytes reply;
    std::string expected;
  };
  const Row rows[] = {
      {"as asked (32 bytes)", inquiry(id + "1.00", 31, 32), id},
      {"36 bytes, revision left out", inquiry(id + "1.00", 31, 36), id + "1.00"},
      {"additional length 10", inquiry(id, 10), "SONOLAB "},
      {"additional length 3", inquiry(id, 3), "S"},
      {"additional length 2", inquiry(id, 2), "名称なし"},
      {"tilde kept", inquiry("A~B", 31), "A~B"},
      {"DEL ends it",
       inquiry("A\x7F"
               "B",
               31),
       "A"},
      {"control ends it",
       inquiry("AB\x1F"
               "C",
               31),
       "AB"},
      {"high byte ends it", inquiry("CAF\xC9", 31), "CAF"},
      {"all zero", inquiry("", 31), "名称なし"},
      {"nine bytes", inquiry("X", 31, 9), "X"},
      {"eight bytes", inquiry("X", 31, 8), "名称なし"},
  };
  for (const auto& r : rows) EXPECT_EQ(InquiryName(r.reply), r.expected) << r.name;
}

}  // namespace
}  // namespace sl::disc
