// The IPC's wire format (see ipc.h): cutting frames off a connection's byte
// stream, and reading and writing each kind of frame. Pure functions on
// bytes, so that what another process sends is read by code that can be
// tried without a connection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "ipc/ipc.h"

namespace sl::ipc::wire {

// Frame kinds: the first byte of every frame after its length.
enum Kind : std::uint8_t {
  kHello = 1,
  kPost = 2,
  kSend = 3,
  kSendReply = 4,
  kCreate = 5,
  kCreateReply = 6,
  kQuery = 7,
  kQueryReply = 8,
  kRelease = 9,
  kCall = 10,
  kCallReply = 11,
};
inline constexpr std::uint32_t kMagic = 0x50494C53;  // "SLIP"
inline constexpr std::uint16_t kWireVersion = 1;

// The body length that the first four bytes of a frame (`in`) announce;
// nullopt until they have all arrived.
std::optional<std::size_t> AnnouncedLength(std::string_view in);

// The next frame of a connection's received bytes `in`.
enum class Cut {
  kNeedMore,  // the frame has not all arrived yet
  kBroken,    // its length is 0 or over kMaxFrameBytes: the stream is lost
  kFrame,     // `frame` is its body (kind byte and fields), `used` the bytes it takes
};
Cut CutFrame(std::string_view in, std::string_view& frame, std::size_t& used);

// A frame as it goes on the wire: the body with its length in front; "" when
// the body is over kMaxFrameBytes.
std::string Framed(std::string_view body);

// The hello that starts a connection: the peer's process id, or nullopt
// when the frame is no valid hello (wrong magic or version, pid 0).
std::optional<std::uint32_t> DecodeHello(std::string_view frame);
std::string EncodeHello(std::uint32_t pid);

// A frame that asks something of the process that receives it. Which
// fields travel depends on the kind:
//   post: window, msg, wParam, lParam     send: seq and the same
//   create: seq, guid (class), iid        query: seq, object, guid (interface)
//   release: object                       call: seq, object, guid, slot, in
struct Request {
  Kind kind = kPost;
  std::uint32_t seq = 0;
  Handle window = 0;
  std::uint32_t msg = 0, wParam = 0;
  std::int32_t lParam = 0;
  Guid guid;
  Guid iid;
  std::uint32_t object = 0;
  int slot = 0;  // 0..65535
  std::vector<Value> in;
  // A string over kMaxStringUnits was skipped (and left empty): the frame
  // is well-formed but the request is refused.
  bool overBound = false;
};
// nullopt when the frame is not a request of a known kind or breaks the
// format (a short or long frame, an unknown value type, more than
// kMaxValues values).
std::optional<Request> DecodeRequest(std::string_view frame);
// The framed request; "" when it would be over the frame bound. `in` must
// hold at most kMaxValues values.
std::string EncodeRequest(const Request& request);

// The answer to a request:
//   send reply: seq, found (1: the window exists), result
//   create reply: seq, result, object    query reply: seq, result
//   call reply: seq, object, slot, result, values
struct Reply {
  Kind kind = kCallReply;
  std::uint32_t seq = 0;
  std::uint8_t found = 0;
  HResult result = kOk;
  std::uint32_t object = 0;
  int slot = 0;  // 0..65535
  std::vector<Value> values;
  bool overBound = false;  // as for Request
};
std::optional<Reply> DecodeReply(std::string_view frame);
std::string EncodeReply(const Reply& reply);

// The seq of a reply frame (any reply kind, the rest unread), so that it
// reaches its waiting caller, which reads the rest; nullopt for a frame of
// another kind or one too short to hold a seq.
std::optional<std::uint32_t> ReplySeq(std::string_view frame);

// Whether a call's out-values are what the caller expects: none at all, or
// exactly one per entry of `types`, of those types.
bool FitsOutTypes(const std::vector<Value>& values, std::span<const ValueType> types);

}  // namespace sl::ipc::wire
