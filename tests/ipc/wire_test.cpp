// The frame bound, at its edges, through the writer and the reader.
#include "ipc/wire.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ipc/ipc.h"

namespace sl::ipc::wire {
namespace {

// The length field of a frame: four bytes, little-endian.
std::string LengthField(std::size_t length) {
  std::string out(4, '\0');
  for (int i = 0; i < 4; ++i) out[static_cast<std::size_t>(i)] = static_cast<char>(length >> (8 * i));
  return out;
}

// Bodies one byte under the bound and at the bound are written and read
// back whole; one byte over is neither written nor accepted from a peer.
TEST(WireFrames, TheBoundIsTheLargestFrameWrittenAndRead) {
  for (const std::size_t size : {kMaxFrameBytes - 1, kMaxFrameBytes}) {
    SCOPED_TRACE(size);
    const std::string body(size, 'x');
    const std::string framed = Framed(body);
    ASSERT_EQ(framed.size(), size + 4);
    std::string_view frame;
    std::size_t used = 0;
    EXPECT_EQ(CutFrame(framed, frame, used), Cut::kFrame);
    EXPECT_EQ(used, size + 4);
    EXPECT_EQ(frame.size(), size);
    // All but the last byte: the frame is still arriving.
    EXPECT_EQ(CutFrame(std::string_view(framed).substr(0, framed.size() - 1), frame, used), Cut::kNeedMore);
  }
  EXPECT_EQ(Framed(std::string(kMaxFrameBytes + 1, 'x')), "");
  std::string_view frame;
  std::size_t used = 0;
  EXPECT_EQ(CutFrame(LengthField(kMaxFrameBytes + 1) + "x", frame, used), Cut::kBroken);
  EXPECT_EQ(CutFrame(LengthField(0), frame, used), Cut::kBroken);
}

// The largest call the value bounds allow (kMaxValues strings of
// kMaxStringUnits units), and its reply, fit in a frame and read back as
// they were written.
TEST(WireFrames, TheLargestLegalCallAndReplyGoThrough) {
  std::vector<Value> values;
  for (std::size_t i = 0; i < kMaxValues; ++i) {
    values.push_back(Value::String(std::u16string(kMaxStringUnits, static_cast<char16_t>(u'\x3042' + i))));
  }
  Request call;
  call.kind = kCall;
  call.seq = 7;
  call.object = 3;
  call.slot = 0xFFFF;
  call.in = values;
  const std::string framed = EncodeRequest(call);
  ASSERT_FALSE(framed.empty());
  EXPECT_EQ(framed.size(), kMaxFrameBytes + 4);
  std::string_view frame;
  std::size_t used = 0;
  ASSERT_EQ(CutFrame(framed, frame, used), Cut::kFrame);
  const auto request = DecodeRequest(frame);
  ASSERT_TRUE(request);
  EXPECT_FALSE(request->overBound);
  EXPECT_EQ(request->slot, 0xFFFF);
  ASSERT_EQ(request->in.size(), kMaxValues);
  EXPECT_TRUE(request->in.back().text == values.back().text);

  Reply reply;
  reply.kind = kCallReply;
  reply.seq = 7;
  reply.object = 3;
  reply.values = values;
  const std::string framedReply = EncodeReply(reply);
  ASSERT_FALSE(framedReply.empty());
  ASSERT_EQ(CutFrame(framedReply, frame, used), Cut::kFrame);
  const auto answer = DecodeReply(frame);
  ASSERT_TRUE(answer);
  ASSERT_EQ(answer->values.size(), kMaxValues);
  EXPECT_TRUE(answer->values.front().text == values.front().text);

  // One unit more in one string is over the string bound: the frame still
  // reads, the request is marked and refused.
  // (One value fewer keeps the frame within the bound.)
  call.in.back() = Value::String(std::u16string(kMaxStringUnits + 1, u'y'));
  call.in.erase(call.in.begin());
  const std::string over = EncodeRequest(call);
  ASSERT_FALSE(over.empty());
  ASSERT_EQ(CutFrame(over, frame, used), Cut::kFrame);
  const auto refused = DecodeRequest(frame);
  ASSERT_TRUE(refused);
  EXPECT_TRUE(refused->overBound);
}

}  // namespace
}  // namespace sl::ipc::wire
