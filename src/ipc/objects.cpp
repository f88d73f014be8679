// Objects: class ids registered by the process that serves them, instances
// created across processes, interfaces queried, calls made in slot order
// with typed values, and serving peers' calls on our objects.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "ipc/ipc.h"
#include "ipc/node.h"

namespace sl::ipc {

using namespace detail;

std::optional<Guid> Guid::Parse(std::string_view text) {
  // {8-4-4-4-12}
  if (text.size() != 38 || text.front() != '{' || text.back() != '}') return std::nullopt;
  Guid g;
  std::size_t bi = 0;
  for (std::size_t i = 1; i < 37;) {
    if (i == 9 || i == 14 || i == 19 || i == 24) {
      if (text[i] != '-') return std::nullopt;
      ++i;
      continue;
    }
    auto hex = [](char c) -> int {
      if (c >= '0' && c <= '9') return c - '0';
      if (c >= 'a' && c <= 'f') return c - 'a' + 10;
      if (c >= 'A' && c <= 'F') return c - 'A' + 10;
      return -1;
    };
    const int hi = hex(text[i]), lo = hex(text[i + 1]);
    if (hi < 0 || lo < 0 || bi >= 16) return std::nullopt;
    g.bytes[bi++] = static_cast<std::uint8_t>(hi * 16 + lo);
    i += 2;
  }
  if (bi != 16) return std::nullopt;
  return g;
}

std::string Guid::ToString() const {
  char buf[40];
  const auto& b = bytes;
  std::snprintf(buf, sizeof buf, "{%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                b[0], b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14],
                b[15]);
  return buf;
}

struct Interface::Proxy {
  pid_t pid = 0;
  std::uint64_t serial = 0;
  std::uint32_t object = 0;
  ~Proxy() {
    Node& n = RawNode();
    if (!n.ok || !FindConn(n, serial)) return;
    wire::Request release;
    release.kind = wire::kRelease;
    release.object = object;
    WriteFrame(n, serial, wire::EncodeRequest(release));
  }
};

HResult CreateInstance(const Guid& clsid, std::uint32_t, const Guid& iid, Interface& out) {
  out = Interface();
  Node& n = N();
  if (!n.ok) return kClassNotRegistered;
  const std::string prefix = "k" + GuidKey(clsid) + ".";
  HResult last = kClassNotRegistered;
  for (const auto& name : ListDir(n.dir, 'k')) {
    if (name.compare(0, prefix.size(), prefix) != 0) continue;
    const pid_t pid = static_cast<pid_t>(std::strtol(name.substr(prefix.size()).c_str(), nullptr, 10));
    if (pid <= 0) continue;
    if (!Connect(n, pid)) {
      last = kClassNotRegistered;
      continue;
    }
    wire::Request create;
    create.kind = wire::kCreate;
    create.seq = NextSeq();
    create.guid = clsid;
    create.iid = iid;
    Reply reply;
    std::uint64_t serial = 0;
    const HResult hr = Request(n, pid, create, TimeoutMs(), reply, &serial);
    if (hr != kOk) return hr;
    const auto answer = wire::DecodeReply(reply.frame);
    if (!answer || answer->kind != wire::kCreateReply) {
      CloseConn(n, serial, kInvalidPacket);
      return kInvalidPacket;
    }
    const HResult result = answer->result;
    const std::uint32_t object = answer->object;
    if (Failed(result)) return result;
    auto proxy = std::make_shared<Interface::Proxy>();
    proxy->pid = pid;
    proxy->serial = serial;
    proxy->object = object;
    out.proxy_ = std::move(proxy);
    out.iid_ = iid;
    return result;
  }
  return last;
}

HResult Interface::Query(const Guid& iid, Interface& out) const {
  if (!proxy_) return kFail;
  Node& n = N();
  wire::Request query;
  query.kind = wire::kQuery;
  query.seq = NextSeq();
  query.object = proxy_->object;
  query.guid = iid;
  Reply reply;
  const HResult hr = Request(n, proxy_->pid, query, TimeoutMs(), reply, nullptr, proxy_->serial);
  if (hr != kOk) return hr;
  const auto answer = wire::DecodeReply(reply.frame);
  if (!answer || answer->kind != wire::kQueryReply) {
    CloseConn(n, proxy_->serial, kInvalidPacket);
    return kInvalidPacket;
  }
  const HResult result = answer->result;
  if (Failed(result)) return result;
  out.proxy_ = proxy_;
  out.iid_ = iid;
  return result;
}

HResult Interface::Call(int slot, const std::vector<Value>& in, std::span<const ValueType> outTypes,
                        std::vector<Value>& out) const {
  out.clear();
  if (!proxy_) return kFail;
  if (slot < 0 || slot > 0xFFFF || in.size() > kMaxValues) return kInvalidArg;
  for (const auto& v : in) {
    if (v.type == ValueType::String && v.text.size() > kMaxStringUnits) return kInvalidArg;
  }
  // Keep the reference alive through the wait: a handler run by the pump
  // may release the caller's copy.
  const std::shared_ptr<Proxy> proxy = proxy_;
  Node& n = N();
  wire::Request call;
  call.kind = wire::kCall;
  call.seq = NextSeq();
  call.object = proxy->object;
  call.guid = iid_;
  call.slot = slot;
  call.in = in;
  Reply reply;
  const HResult hr = Request(n, proxy->pid, call, TimeoutMs(), reply, nullptr, proxy->serial);
  if (hr != kOk) return hr;
  auto answer = wire::DecodeReply(reply.frame);
  if (!answer || answer->kind != wire::kCallReply || answer->object != proxy->object ||
      answer->slot != slot) {
    // Not the answer to this call: the stream cannot be trusted any more.
    CloseConn(n, proxy->serial, kInvalidPacket);
    return kInvalidPacket;
  }
  if (answer->overBound || !wire::FitsOutTypes(answer->values, outTypes)) return kBadData;
  const HResult result = answer->result;
  out = std::move(answer->values);
  return result;
}

bool RegisterClassObject(const Guid& clsid, ClassFactory factory) {
  Node& n = N();
  if (!n.ok || !factory) return false;
  n.classes[GuidKey(clsid)] = std::move(factory);
  TouchFile(ClassPath(n, clsid, n.pid));
  return true;
}

void RevokeClassObject(const Guid& clsid) {
  Node& n = N();
  if (!n.ok) return;
  n.classes.erase(GuidKey(clsid));
  ::unlink(ClassPath(n, clsid, n.pid).c_str());
}

namespace {

// Creates an object of a registered class for the asking connection and
// answers with its id, or with why there is none.
void ServeCreate(Node& n, const Inbound& item) {
  const Guid& iid = item.iid;
  HResult hr = kClassNotRegistered;
  std::uint32_t id = 0;
  auto it = n.classes.find(GuidKey(item.guid));
  if (it != n.classes.end() && it->second) {
    ClassFactory factory = it->second;
    std::shared_ptr<ServedObject> obj = factory();
    if (!obj) {
      hr = kFail;
    } else if (!(iid == kIUnknown) && !obj->Supports(iid)) {
      hr = kNoInterface;
    } else if (FindConn(n, item.conn)) {
      id = n.nextObject++;
      if (n.nextObject == 0) n.nextObject = 1;
      n.objects[id] = Served{item.conn, std::move(obj)};
      hr = kOk;
    }
  }
  wire::Reply reply;
  reply.kind = wire::kCreateReply;
  reply.seq = item.seq;
  reply.result = hr;
  reply.object = id;
  WriteFrame(n, item.conn, wire::EncodeReply(reply));
}

// Answers whether a served object supports an interface.
void ServeQuery(Node& n, const Inbound& item) {
  HResult hr = kDisconnected;
  auto it = n.objects.find(item.object);
  if (it != n.objects.end() && it->second.conn == item.conn) {
    auto obj = it->second.object;
    hr = (item.guid == kIUnknown || obj->Supports(item.guid)) ? kOk : kNoInterface;
  }
  wire::Reply reply;
  reply.kind = wire::kQueryReply;
  reply.seq = item.seq;
  reply.result = hr;
  WriteFrame(n, item.conn, wire::EncodeReply(reply));
}

// Calls a slot of a served object and answers with its result and
// out-values, within the bounds of a reply.
void ServeCall(Node& n, const Inbound& item) {
  HResult hr = kDisconnected;
  std::vector<Value> out;
  auto it = n.objects.find(item.object);
  if (it != n.objects.end() && it->second.conn == item.conn) {
    auto obj = it->second.object;  // kept alive through the call
    if (!obj->Supports(item.guid)) {
      hr = kNoInterface;
    } else {
      hr = obj->Invoke(item.guid, item.slot, item.in, out);
    }
  }
  if (out.size() > kMaxValues) {
    out.clear();
    hr = kFail;
  }
  wire::Reply reply;
  reply.kind = wire::kCallReply;
  reply.seq = item.seq;
  reply.object = item.object;
  reply.slot = item.slot;
  reply.result = hr;
  reply.values = std::move(out);
  std::string frame = wire::EncodeReply(reply);
  if (frame.empty()) {
    // Out-values over the frame bound: the call fails with none.
    reply.result = kFail;
    reply.values.clear();
    frame = wire::EncodeReply(reply);
  }
  WriteFrame(n, item.conn, frame);
}

}  // namespace

namespace detail {

void ServeObjectRequest(Node& n, Inbound& item) {
  switch (item.kind) {
    case wire::kCreate: ServeCreate(n, item); break;
    case wire::kQuery: ServeQuery(n, item); break;
    case wire::kRelease: {
      auto it = n.objects.find(item.object);
      if (it != n.objects.end() && it->second.conn == item.conn) n.objects.erase(it);
      break;
    }
    case wire::kCall: ServeCall(n, item); break;
    default: break;
  }
}

}  // namespace detail
}  // namespace sl::ipc
