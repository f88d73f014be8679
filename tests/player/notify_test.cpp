// Every notification code and status kind, delivered by the reference
// player through the IPC, with the component bound and unbound; the mask.
#include "player_fixture.h"

namespace sl::test {
namespace {

struct Row {
  std::uint32_t wParam;
  std::int32_t lParam;
  std::vector<std::string> bound;    // events before OnDSMP when bound
  std::vector<std::string> unbound;  // events before OnDSMP when not bound
};

std::string Hex(std::uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%X", v);
  return buf;
}

class NotifyTest : public PlayerTest {
 protected:
  // Posts (wParam, lParam) from the player to the component's window and
  // returns the events raised for it, OnDSMP excluded.
  std::vector<std::string> Deliver(DsmpProcess& sim, player::PlayerLink& d, std::uint32_t wp,
                                   std::int32_t lp) {
    events.clear();
    sim.Command("post " + std::to_string(d.WindowHandle()) + " " + Hex(wp) + " " + std::to_string(lp));
    const std::string dsmp = "OnDSMP(" + std::to_string(wp) + "," + std::to_string(lp) + ")";
    EXPECT_TRUE(Pump([&] { return !events.empty() && events.back() == dsmp; })) << Hex(wp);
    std::vector<std::string> out(events.begin(), events.end() - (events.empty() ? 0 : 1));
    return out;
  }
};

TEST_F(NotifyTest, EveryCodeRaisesItsEventBoundAndOnlyTheAlwaysCodesUnbound) {
  DsmpProcess sim(PlayListJson(1));
  auto d = MakeDsmp();
  Settle();
  const auto main = static_cast<std::int32_t>(sim.MainWindow());
  const Row rows[] = {
      {0x1, main, {"OnOpen()"}, {"OnOpen()"}},
      {0x4, 9, {"OnRun()"}, {"OnRun()"}},
      {0x80000007, 3, {"OnUser(7,3)"}, {"OnUser(7,3)"}},
      {0x10, 3, {"OnPlayStatus(3)"}, {}},
      {0x20, 5, {"OnIntTimer(5)"}, {}},
      {0x40, 6, {"OnCounter(6)"}, {}},
      {0x80, 7, {"OnPosition(7)"}, {}},
      {0x100, static_cast<std::int32_t>(0xFFFF0001), {"OnVolume(1,65535)"}, {}},
      {0x200, 4, {"OnLyrics(4)"}, {}},
      {0x400, static_cast<std::int32_t>(0xFFFF0001), {"OnMove(1,-1)"}, {}},
      {0x800, 7, {"OnMenu(7)"}, {}},
      {0x800, 0, {"OnMenu(null)"}, {}},
      {0x1000AB34, 0x76543210, {"OnSpeana(0,1,2,3,4,5,6,7,4,3)"}, {}},
      {0x20000005, 9, {"OnButton(5,9)"}, {}},
      {0x40000002, 1, {"OnStatus(2,1)", "OnActive(true)"}, {}},
      {0x30, 1, {}, {}},  // two bits: no code
      {0x2, 0, {"OnUnbind()", "OnClose()"}, {"OnClose()"}},
      {0x8, 0, {"OnAbort()", "OnUnbind()"}, {"OnAbort()"}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(Hex(row.wParam));
    if (d->Bound()) d->Unbind();
    EXPECT_EQ(Deliver(sim, *d, row.wParam, row.lParam), row.unbound);
    d->Bind();
    ASSERT_TRUE(d->Bound());
    EXPECT_EQ(Deliver(sim, *d, row.wParam, row.lParam), row.bound);
  }
  // The run value is kept until the next unbind; Close and Abort forget the
  // player's window.
  d->Unbind();
  EXPECT_EQ(d->RunCode(), 0);
  EXPECT_EQ(d->DSMPHandle(), 0u);
}

TEST_F(NotifyTest, EveryStatusKindRaisesItsEvent) {
  DsmpProcess sim(PlayListJson(1));
  auto d = MakeDsmp();
  Settle();
  d->Bind();
  ASSERT_TRUE(d->Bound());
  d->GetMenu(5);
  d->GetMenu(6);
  struct Kind {
    std::uint32_t kind;
    std::int32_t value;
    std::vector<std::string> extra;  // after OnStatus
  };
  const Kind kinds[] = {
      {0, 1, {}},
      {1, 1, {"OnVisible(true)"}},
      {2, 0, {"OnActive(false)"}},
      {3, 5, {"OnMinimize(true)"}},
      {4, 1, {"OnStayOnTop(true)"}},
      {5, 1, {"OnRepeat(true)"}},
      {6, 0, {"OnRandom(false)"}},
      {7, 1, {"OnDisplayTime(true)"}},
      {8, 4, {"OnDisplayTrack(4)"}},
      {9, 5, {"OnDisplayTitle(5)"}},
      {10, 2, {"OnDisplayDevice(2)"}},
      {11, 6, {"OnDisplayTimer(6)"}},
      {12, 0, {"OnDisplayCaption()"}},
      {13, 70, {"OnChangeVolume(70)"}},
      {14, 3, {"OnOpenTrack(3)"}},
      {15, 3, {"OnCloseTrack(3)"}},
      {16, 0, {"OnLoadLyrics()"}},
      {17, 0, {"OnSaveDSMPini()"}},
      {18, 0, {"OnDesign()"}},
      {19, 1, {}},
      {20, 1, {}},
      {21, 2, {"OnChangePlayList(2)"}},
      {22, 5, {"OnDisplayMenu(5)"}},
      {22, 0, {}},
      {23, 1, {}},
      {24, 1, {}},
      {25, 8, {"OnClick(8)"}},
      {26, 9, {"OnDblClick(9)"}},
      {27, 6, {}},
      {28, 1, {"OnChangeDisplayMode(1)"}},
      {29, 1, {}},
      {30, static_cast<std::int32_t>(0x0002FFFE), {"OnMoved(-2,2)"}},
      {31, 40, {"OnAdjustLevel(40)"}},
      {32, 1, {}},
  };
  for (const auto& k : kinds) {
    SCOPED_TRACE(k.kind);
    std::vector<std::string> want{"OnStatus(" + std::to_string(k.kind) + "," + std::to_string(k.value) + ")"};
    want.insert(want.end(), k.extra.begin(), k.extra.end());
    EXPECT_EQ(Deliver(sim, *d, 0x40000000u | k.kind, k.value), want);
  }
  // Kind 27 deleted entry 6 only.
  EXPECT_EQ(d->MenuListCount(), 1);
  // Unbound: a status notification raises only OnDSMP.
  d->Unbind();
  EXPECT_TRUE(Deliver(sim, *d, 0x40000001, 1).empty());
}

TEST_F(NotifyTest, TheMaskBoundAndUnbound) {
  auto d = MakeDsmp();
  EXPECT_EQ(d->GetEvent(), 0xEFFFF81Fu);
  d->SetEvents(player::HighRateNotifications{});
  EXPECT_EQ(d->GetEvent(), 0xEFFFF81Fu);
  d->SetEvents(player::HighRateNotifications::All());
  EXPECT_EQ(d->GetEvent(), 0xFFFFFFFFu);
  EXPECT_EQ(d->GetEvents(), player::HighRateNotifications::All());
  d->SetEvent(0xEFFFF81F);
  EXPECT_EQ(d->GetEvents(), player::HighRateNotifications{});
  struct Bit {
    player::HighRateNotification kind;
    std::uint32_t mask;
  } bits[] = {{player::evVolume, 0x100}, {player::evSpeana, 0x10000000}, {player::evLyrics, 0x200},
              {player::evCounter, 0x40}, {player::evPosition, 0x80},     {player::evTimer, 0x20},
              {player::evMove, 0x400}};
  for (const auto& b : bits) {
    d->SetEvents(player::HighRateNotifications{}.Include(b.kind));
    EXPECT_EQ(d->GetEvent(), 0xEFFFF81Fu | b.mask);
    EXPECT_EQ(d->GetEvents(), player::HighRateNotifications{}.Include(b.kind));
  }

  // Bound: the mask is handed to the player at binding and kept by it; the
  // player sends only what the mask lets through.
  DsmpProcess sim(PlayListJson(1));
  d->SetEvents(player::HighRateNotifications{}.Include(player::evVolume));
  d->Bind();
  ASSERT_TRUE(d->Bound());
  EXPECT_EQ(d->GetEvent(), 0xEFFFF91Fu);
  events.clear();
  sim.Command("notify 0x20 1");     // Timer: masked out
  sim.Command("notify 0x100 257");  // Volume: let through
  ASSERT_TRUE(Pump([&] { return !events.empty(); }));
  Settle();
  EXPECT_EQ(events, (std::vector<std::string>{"OnVolume(257,0)", "OnDSMP(256,257)"}));
  d->SetEvent(0xFFFFFFFF);
  EXPECT_EQ(d->GetEvent(), 0xFFFFFFFFu);
  // The mask survives unbinding.
  d->Unbind();
  EXPECT_EQ(d->GetEvent(), 0xFFFFFFFFu);
}

TEST_F(NotifyTest, NotifyEventToOwnWindowAndThroughThePlayer) {
  auto d = MakeDsmp();
  d->NotifyEvent(d->WindowHandle(), 0x80000003, 4);
  ASSERT_TRUE(Pump([&] { return !events.empty() && events.back() == "OnDSMP(2147483651,4)"; }));
  events.clear();
  d->NotifyEvent(0, 0x80000001, 2);  // null window, unbound: to our own window
  ASSERT_TRUE(Pump([&] { return !events.empty(); }));
  events.clear();
  d->NotifyEvent(12345, 0x80000001, 2);  // another window, unbound: nothing
  Settle();
  EXPECT_TRUE(events.empty());
  DsmpProcess sim(PlayListJson(1));
  player::PlayerLink other(services);
  other.SetAutoLink(false);
  d->Bind();
  ASSERT_TRUE(d->Bound());
  std::vector<std::string> otherEvents;
  RecordEvents(other, otherEvents);
  d->NotifyEvent(other.WindowHandle(), 0x80000009, 1);  // through the player
  ASSERT_TRUE(Pump([&] { return !otherEvents.empty() && otherEvents.back() == "OnDSMP(2147483657,1)"; }));
}

}  // namespace
}  // namespace sl::test
