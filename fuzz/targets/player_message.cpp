// What the media player sends us: the bytes of one IPC connection, cut into
// frames and read as the receiving side reads them. The first byte says
// which side: even, a connection the player opened to us (a hello, then
// posts, sends and calls, notifications among them); odd, our connection to
// the player (replies to our requests, track records among them).
//
// Every frame read is within the bounds of the wire format, and writing it
// again gives the same bytes (the format has one encoding for each frame),
// or, when a string over the bound was skipped, a frame that reads back the
// same. A track record read from a reply is bounded, and writing it back
// (as exporting to the play list does) reads back the same record. A
// notification posted to the player link raises its event once.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "ipc/wire.h"
#include "player/contract.h"
#include "player/player.h"
#include "support.h"

using namespace sl;
namespace wire = ipc::wire;

namespace {

void CheckValues(const std::vector<ipc::Value>& values) {
  FUZZ_CHECK(values.size() <= ipc::kMaxValues);
  for (const auto& v : values) {
    switch (v.type) {
      case ipc::ValueType::Long: break;
      case ipc::ValueType::Byte: FUZZ_CHECK(v.number >= 0 && v.number <= 255); break;
      case ipc::ValueType::Short: FUZZ_CHECK(v.number >= -32768 && v.number <= 32767); break;
      case ipc::ValueType::String: FUZZ_CHECK(v.text.size() <= ipc::kMaxStringUnits); break;
      default: FUZZ_CHECK(!"value of no known type");
    }
    if (v.type != ipc::ValueType::String) FUZZ_CHECK(v.text.empty());
    if (v.type == ipc::ValueType::String) FUZZ_CHECK(v.number == 0);
  }
}

bool SameValues(const std::vector<ipc::Value>& a, const std::vector<ipc::Value>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].type != b[i].type || a[i].number != b[i].number || a[i].text != b[i].text) return false;
  }
  return true;
}

bool SameRequest(const wire::Request& a, const wire::Request& b) {
  return a.kind == b.kind && a.seq == b.seq && a.window == b.window && a.msg == b.msg &&
         a.wParam == b.wParam && a.lParam == b.lParam && a.guid == b.guid && a.iid == b.iid &&
         a.object == b.object && a.slot == b.slot && SameValues(a.in, b.in);
}

bool SameReply(const wire::Reply& a, const wire::Reply& b) {
  return a.kind == b.kind && a.seq == b.seq && a.found == b.found && a.result == b.result &&
         a.object == b.object && a.slot == b.slot && SameValues(a.values, b.values);
}

// A track record the player gave: bounded, and what writing it back sends
// reads back as the same record.
void CheckTrack(const std::vector<ipc::Value>& values) {
  const player::PlayListTrack info = player::TrackInfoFromValues(values);
  for (const std::string* s :
       {&info.Title, &info.Artist, &info.FileName, &info.opaqueText1, &info.opaqueText2})
    FUZZ_CHECK(fuzz::ValidUtf8(*s));
  FUZZ_CHECK(info.Drive >= 0 && info.Drive <= 0xFFFF);
  FUZZ_CHECK(info.CDTrack >= 0 && info.CDTrack <= 0xFFFF);
  const std::vector<ipc::Value> back = player::TrackInfoValues(info);
  FUZZ_CHECK(wire::FitsOutTypes(back, player::kTrackInfoTypes));
  // The call that writes it back refuses strings over the bound.
  for (const auto& v : back) FUZZ_CHECK(v.text.size() <= ipc::kMaxStringUnits);
  FUZZ_CHECK(player::TrackInfoFromValues(back) == info);
}

// The player link, never bound (designing: it neither looks for nor starts
// a player), with a count of the notification events it raised.
struct Link {
  fuzz::Services services;
  player::PlayerLink dsmp;
  int raised = 0;
  std::uint32_t lastEvent = 0;
  int lastParam = 0;
  static player::PlayerLinkOptions Options() {
    player::PlayerLinkOptions o;
    o.designing = true;
    o.arguments = std::vector<std::string>{};
    return o;
  }
  Link() : dsmp(services, Options()) {
    dsmp.OnDSMP = [this](player::PlayerLink*, std::uint32_t event, int param) {
      ++raised;
      lastEvent = event;
      lastParam = param;
    };
  }
};

Link& TheLink() {
  // The IPC under a folder of the fuzzer's own, not the user's session.
  static const bool env = [] {
    ipc::Configure({fuzz::ScratchDir(), ipc::kDefaultTimeoutMs, ""});
    return true;
  }();
  (void)env;
  static Link link;
  return link;
}

void Notify(const wire::Request& q) {
  if (q.kind != wire::kPost && q.kind != wire::kSend) return;
  Link& link = TheLink();
  const int before = link.raised;
  const std::int32_t answer = link.dsmp.WndProc(q.msg, q.wParam, q.lParam);
  if (q.msg == link.dsmp.DSMPMessage()) {
    FUZZ_CHECK(answer == 1);
    FUZZ_CHECK(link.raised == before + 1);
    FUZZ_CHECK(link.lastEvent == q.wParam && link.lastParam == q.lParam);
  } else {
    FUZZ_CHECK(answer == 0);
    FUZZ_CHECK(link.raised == before);
  }
  FUZZ_CHECK(!link.dsmp.Bound());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const bool fromPlayer = (data[0] & 1) == 0;
  std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  bool helloSeen = !fromPlayer;  // only the side that connects says hello
  for (;;) {
    std::string_view frame;
    std::size_t used = 0;
    const wire::Cut cut = wire::CutFrame(rest, frame, used);
    if (cut != wire::Cut::kFrame) break;
    FUZZ_CHECK(!frame.empty() && frame.size() <= ipc::kMaxFrameBytes);
    FUZZ_CHECK(used == frame.size() + 4 && used <= rest.size());
    FUZZ_CHECK(frame.data() == rest.data() + 4);
    const std::string framed = wire::Framed(frame);
    FUZZ_CHECK(std::string_view(framed) == rest.substr(0, used));
    rest.remove_prefix(used);

    if (!helloSeen) {
      const auto pid = wire::DecodeHello(frame);
      if (!pid) break;  // the connection is closed
      FUZZ_CHECK(*pid != 0);
      FUZZ_CHECK(wire::EncodeHello(*pid) == framed);
      helloSeen = true;
      continue;
    }

    if (fromPlayer) {
      const auto q = wire::DecodeRequest(frame);
      if (!q) break;
      FUZZ_CHECK(q->kind == wire::kPost || q->kind == wire::kSend || q->kind == wire::kCreate ||
                 q->kind == wire::kQuery || q->kind == wire::kRelease || q->kind == wire::kCall);
      FUZZ_CHECK(q->slot >= 0 && q->slot <= 0xFFFF);
      CheckValues(q->in);
      const std::string again = wire::EncodeRequest(*q);
      if (!q->overBound) {
        FUZZ_CHECK(again == framed);
      } else {
        FUZZ_CHECK(q->kind == wire::kCall && again.size() < framed.size());
        const auto reread = wire::DecodeRequest(std::string_view(again).substr(4));
        FUZZ_CHECK(reread && !reread->overBound && SameRequest(*reread, *q));
      }
      Notify(*q);
      continue;
    }

    const auto seq = wire::ReplySeq(frame);
    if (!seq) break;
    const auto a = wire::DecodeReply(frame);
    // The caller waiting for it drops the connection.
    if (!a) break;
    FUZZ_CHECK(a->seq == *seq);
    FUZZ_CHECK(a->kind == wire::kSendReply || a->kind == wire::kCreateReply || a->kind == wire::kQueryReply ||
               a->kind == wire::kCallReply);
    FUZZ_CHECK(a->slot >= 0 && a->slot <= 0xFFFF);
    CheckValues(a->values);
    const std::string again = wire::EncodeReply(*a);
    if (!a->overBound) {
      FUZZ_CHECK(again == framed);
    } else {
      FUZZ_CHECK(a->kind == wire::kCallReply && again.size() < framed.size());
      const auto reread = wire::DecodeReply(std::string_view(again).substr(4));
      FUZZ_CHECK(reread && !reread->overBound && SameReply(*reread, *a));
      continue;  // the call fails: nothing is read from it
    }
    if (a->kind == wire::kCallReply && !a->values.empty() &&
        wire::FitsOutTypes(a->values, player::kTrackInfoTypes))
      CheckTrack(a->values);
  }
  return 0;
}
