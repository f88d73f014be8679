#include "ipc/wire.h"

#include <cstring>

namespace sl::ipc::wire {

namespace {

// Builds a frame body: the kind byte, then little-endian fields.
class Writer {
 public:
  explicit Writer(Kind kind) { U8(kind); }
  void U8(std::uint8_t v) { buf_.push_back(static_cast<char>(v)); }
  void U16(std::uint16_t v) {
    U8(static_cast<std::uint8_t>(v));
    U8(static_cast<std::uint8_t>(v >> 8));
  }
  void U32(std::uint32_t v) {
    for (int i = 0; i < 4; ++i) U8(static_cast<std::uint8_t>(v >> (8 * i)));
  }
  void I32(std::int32_t v) { U32(static_cast<std::uint32_t>(v)); }
  void G(const Guid& g) { buf_.append(reinterpret_cast<const char*>(g.bytes.data()), 16); }
  void Str(const std::u16string& s) {
    U32(static_cast<std::uint32_t>(s.size()));
    for (char16_t c : s) U16(static_cast<std::uint16_t>(c));
  }
  void Val(const Value& v) {
    U8(static_cast<std::uint8_t>(v.type));
    switch (v.type) {
      case ValueType::Long: I32(v.number); break;
      case ValueType::Byte: U8(static_cast<std::uint8_t>(v.number)); break;
      case ValueType::Short: U16(static_cast<std::uint16_t>(v.number)); break;
      case ValueType::String: Str(v.text); break;
    }
  }
  void Vals(const std::vector<Value>& vs) {
    U8(static_cast<std::uint8_t>(vs.size()));
    for (const auto& v : vs) Val(v);
  }
  std::string Finish() const { return Framed(buf_); }

 private:
  std::string buf_;
};

class Reader {
 public:
  explicit Reader(std::string_view s) : p_(reinterpret_cast<const std::uint8_t*>(s.data())), n_(s.size()) {}
  bool ok() const { return ok_; }
  bool AtEnd() const { return pos_ == n_; }
  bool overBound() const { return overBound_; }
  std::uint8_t U8() {
    if (!Need(1)) return 0;
    return p_[pos_++];
  }
  std::uint16_t U16() {
    if (!Need(2)) return 0;
    const std::uint16_t v = static_cast<std::uint16_t>(p_[pos_] | (p_[pos_ + 1] << 8));
    pos_ += 2;
    return v;
  }
  std::uint32_t U32() {
    if (!Need(4)) return 0;
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | p_[pos_ + static_cast<std::size_t>(i)];
    pos_ += 4;
    return v;
  }
  std::int32_t I32() { return static_cast<std::int32_t>(U32()); }
  Guid G() {
    Guid g;
    if (!Need(16)) return g;
    std::memcpy(g.bytes.data(), p_ + pos_, 16);
    pos_ += 16;
    return g;
  }
  std::u16string Str() {
    const std::uint32_t count = U32();
    // The frame bound already limits what can be read; a string over the
    // string bound is read past but marked, so the call fails cleanly.
    if (!ok_ || count > (n_ - pos_) / 2) {
      ok_ = false;
      return {};
    }
    if (count > kMaxStringUnits) {
      overBound_ = true;
      pos_ += std::size_t{count} * 2;
      return {};
    }
    std::u16string s(count, u'\0');
    for (std::uint32_t i = 0; i < count; ++i) s[i] = static_cast<char16_t>(U16());
    return s;
  }
  Value Val() {
    Value v;
    const auto t = U8();
    switch (t) {
      case static_cast<std::uint8_t>(ValueType::Long): v = Value::Long(I32()); break;
      case static_cast<std::uint8_t>(ValueType::Byte): v = Value::Byte(U8()); break;
      case static_cast<std::uint8_t>(ValueType::Short):
        v = Value::Short(static_cast<std::int16_t>(U16()));
        break;
      case static_cast<std::uint8_t>(ValueType::String): v = Value::String(Str()); break;
      default: ok_ = false; break;
    }
    return v;
  }
  std::vector<Value> Vals() {
    std::vector<Value> out;
    const auto count = U8();
    if (count > kMaxValues) {
      ok_ = false;
      return out;
    }
    out.reserve(count);
    for (int i = 0; i < count && ok_; ++i) out.push_back(Val());
    return out;
  }

 private:
  bool Need(std::size_t k) {
    if (!ok_ || n_ - pos_ < k) {
      ok_ = false;
      return false;
    }
    return true;
  }
  const std::uint8_t* p_;
  std::size_t n_;
  std::size_t pos_ = 0;
  bool ok_ = true;
  bool overBound_ = false;
};

}  // namespace

std::optional<std::size_t> AnnouncedLength(std::string_view in) {
  if (in.size() < 4) return std::nullopt;
  const auto* p = reinterpret_cast<const unsigned char*>(in.data());
  return p[0] | (p[1] << 8) | (p[2] << 16) | (std::size_t{p[3]} << 24);
}

Cut CutFrame(std::string_view in, std::string_view& frame, std::size_t& used) {
  const std::optional<std::size_t> announced = AnnouncedLength(in);
  if (!announced) return Cut::kNeedMore;
  const std::size_t len = *announced;
  if (len == 0 || len > kMaxFrameBytes) return Cut::kBroken;
  if (in.size() - 4 < len) return Cut::kNeedMore;
  frame = in.substr(4, len);
  used = 4 + len;
  return Cut::kFrame;
}

std::string Framed(std::string_view body) {
  const std::size_t len = body.size();
  if (len > kMaxFrameBytes) return {};
  std::string out(4, '\0');
  for (int i = 0; i < 4; ++i) out[static_cast<std::size_t>(i)] = static_cast<char>(len >> (8 * i));
  out.append(body);
  return out;
}

std::optional<std::uint32_t> DecodeHello(std::string_view frame) {
  Reader r(frame);
  const auto kind = r.U8();
  const std::uint32_t magic = r.U32();
  const std::uint16_t version = r.U16();
  const std::uint32_t pid = r.U32();
  if (kind != kHello || !r.ok() || !r.AtEnd() || magic != kMagic || version != kWireVersion || pid == 0)
    return std::nullopt;
  return pid;
}

std::string EncodeHello(std::uint32_t pid) {
  Writer w(kHello);
  w.U32(kMagic);
  w.U16(kWireVersion);
  w.U32(pid);
  return w.Finish();
}

std::optional<Request> DecodeRequest(std::string_view frame) {
  Reader r(frame);
  Request q;
  q.kind = static_cast<Kind>(r.U8());
  switch (q.kind) {
    case kPost:
      q.window = r.U32();
      q.msg = r.U32();
      q.wParam = r.U32();
      q.lParam = r.I32();
      break;
    case kSend:
      q.seq = r.U32();
      q.window = r.U32();
      q.msg = r.U32();
      q.wParam = r.U32();
      q.lParam = r.I32();
      break;
    case kCreate:
      q.seq = r.U32();
      q.guid = r.G();
      q.iid = r.G();
      break;
    case kQuery:
      q.seq = r.U32();
      q.object = r.U32();
      q.guid = r.G();
      break;
    case kRelease: q.object = r.U32(); break;
    case kCall:
      q.seq = r.U32();
      q.object = r.U32();
      q.guid = r.G();
      q.slot = r.U16();
      q.in = r.Vals();
      break;
    default: return std::nullopt;
  }
  if (!r.ok() || !r.AtEnd()) return std::nullopt;
  q.overBound = r.overBound();
  return q;
}

std::string EncodeRequest(const Request& q) {
  Writer w(q.kind);
  switch (q.kind) {
    case kPost:
      w.U32(q.window);
      w.U32(q.msg);
      w.U32(q.wParam);
      w.I32(q.lParam);
      break;
    case kSend:
      w.U32(q.seq);
      w.U32(q.window);
      w.U32(q.msg);
      w.U32(q.wParam);
      w.I32(q.lParam);
      break;
    case kCreate:
      w.U32(q.seq);
      w.G(q.guid);
      w.G(q.iid);
      break;
    case kQuery:
      w.U32(q.seq);
      w.U32(q.object);
      w.G(q.guid);
      break;
    case kRelease: w.U32(q.object); break;
    case kCall:
      w.U32(q.seq);
      w.U32(q.object);
      w.G(q.guid);
      w.U16(static_cast<std::uint16_t>(q.slot));
      w.Vals(q.in);
      break;
    default: return {};
  }
  return w.Finish();
}

std::optional<Reply> DecodeReply(std::string_view frame) {
  Reader r(frame);
  Reply a;
  a.kind = static_cast<Kind>(r.U8());
  a.seq = r.U32();
  switch (a.kind) {
    case kSendReply:
      a.found = r.U8();
      a.result = r.I32();
      break;
    case kCreateReply:
      a.result = r.I32();
      a.object = r.U32();
      break;
    case kQueryReply: a.result = r.I32(); break;
    case kCallReply:
      a.object = r.U32();
      a.slot = r.U16();
      a.result = r.I32();
      a.values = r.Vals();
      break;
    default: return std::nullopt;
  }
  if (!r.ok() || !r.AtEnd()) return std::nullopt;
  a.overBound = r.overBound();
  return a;
}

std::string EncodeReply(const Reply& a) {
  Writer w(a.kind);
  w.U32(a.seq);
  switch (a.kind) {
    case kSendReply:
      w.U8(a.found);
      w.I32(a.result);
      break;
    case kCreateReply:
      w.I32(a.result);
      w.U32(a.object);
      break;
    case kQueryReply: w.I32(a.result); break;
    case kCallReply:
      w.U32(a.object);
      w.U16(static_cast<std::uint16_t>(a.slot));
      w.I32(a.result);
      w.Vals(a.values);
      break;
    default: return {};
  }
  return w.Finish();
}

std::optional<std::uint32_t> ReplySeq(std::string_view frame) {
  Reader r(frame);
  const auto kind = r.U8();
  const std::uint32_t seq = r.U32();
  if (!r.ok()) return std::nullopt;
  if (kind != kSendReply && kind != kCreateReply && kind != kQueryReply && kind != kCallReply)
    return std::nullopt;
  return seq;
}

bool FitsOutTypes(const std::vector<Value>& values, std::span<const ValueType> types) {
  if (values.empty()) return true;
  if (values.size() != types.size()) return false;
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (values[i].type != types[i]) return false;
  }
  return true;
}

}  // namespace sl::ipc::wire
