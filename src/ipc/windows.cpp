// Window-like endpoints: messages registered by name, top-level windows found
// by class, message-only windows, posting, sending with a time-out and
// broadcasting, and serving what peers post and send to our windows.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "ipc/ipc.h"
#include "ipc/node.h"

namespace sl::ipc {

using namespace detail;
using wire::kPost;
using wire::kSend;
using wire::kSendReply;

std::uint32_t RegisterWindowMessage(std::string_view name) {
  // FNV-1a over the lower-cased name: every process computes the same number.
  std::uint32_t h = 2166136261u;
  for (char c : name) {
    const unsigned char u = static_cast<unsigned char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    h = (h ^ u) * 16777619u;
  }
  return 0xC000u + h % 0x3FFFu;
}

namespace {
bool ValidClass(std::string_view cls) {
  if (cls.empty() || cls.size() > 64) return false;
  for (char c : cls) {
    if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_'))
      return false;
  }
  return true;
}

bool SameClass(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

Handle NewWindow(const std::string& cls, WndProc proc) {
  Node& n = N();
  if (!n.ok || n.windows.size() >= static_cast<std::size_t>(kMaxWindows)) return 0;
  for (int tries = 0; tries < kMaxWindows; ++tries) {
    const int index = n.nextIndex;
    n.nextIndex = n.nextIndex % kMaxWindows + 1;  // 1..1022, never 1023 (0xFFFF)
    const Handle h = (static_cast<Handle>(n.pid) << 10) | static_cast<Handle>(index);
    if (h == kBroadcast || n.windows.count(h)) continue;
    n.windows[h] = Window{cls, std::move(proc)};
    TouchFile(HandlePath(n, h));
    if (!cls.empty()) TouchFile(TopPath(n, h, cls));
    return h;
  }
  return 0;
}

struct TopEntry {
  Handle handle;
  std::string cls;
};

std::vector<TopEntry> TopWindows(Node& n) {
  std::vector<TopEntry> out;
  for (const auto& name : ListDir(n.dir, 't')) {
    if (name.size() < 11 || name[9] != '.') continue;
    out.push_back(
        {static_cast<Handle>(std::strtoul(name.substr(1, 8).c_str(), nullptr, 16)), name.substr(10)});
  }
  return out;
}

// Whether a window of another process is reachable (its process listens).
bool Reachable(Node& n, Handle h) {
  const pid_t pid = HandlePid(h);
  if (pid == n.pid) return n.windows.count(h) > 0;
  struct stat st {};
  if (::stat(HandlePath(n, h).c_str(), &st) != 0) return false;
  return Connect(n, pid) != nullptr;
}
}  // namespace

Handle CreateWindow(std::string_view className, WndProc proc) {
  if (!ValidClass(className)) return 0;
  return NewWindow(std::string(className), std::move(proc));
}

Handle CreateMessageWindow(WndProc proc) { return NewWindow(std::string(), std::move(proc)); }

void DestroyWindow(Handle window) {
  Node& n = N();
  auto it = n.windows.find(window);
  if (it == n.windows.end()) return;
  if (!it->second.cls.empty()) ::unlink(TopPath(n, window, it->second.cls).c_str());
  ::unlink(HandlePath(n, window).c_str());
  n.windows.erase(it);
}

Handle FindWindow(std::string_view className) {
  Node& n = N();
  if (!n.ok) return 0;
  for (const auto& e : TopWindows(n)) {
    if (SameClass(e.cls, className) && Reachable(n, e.handle)) return e.handle;
  }
  return 0;
}

Handle FindWindowOfProcess(pid_t pid) {
  Node& n = N();
  if (!n.ok) return 0;
  for (const auto& e : TopWindows(n)) {
    if (HandlePid(e.handle) == pid && Reachable(n, e.handle)) return e.handle;
  }
  return 0;
}

pid_t WindowProcess(Handle window) { return HandlePid(window); }

bool IsWindow(Handle window) {
  Node& n = N();
  if (!n.ok || window == 0 || window == kBroadcast) return false;
  if (HandlePid(window) == n.pid) return n.windows.count(window) > 0;
  struct stat st {};
  return ::stat(HandlePath(n, window).c_str(), &st) == 0 && ProcessAlive(HandlePid(window));
}

bool PostMessage(Handle window, std::uint32_t msg, std::uint32_t wParam, std::int32_t lParam) {
  Node& n = N();
  if (!n.ok || window == 0) return false;
  if (window == kBroadcast) {
    bool any = false;
    for (const auto& e : TopWindows(n)) {
      if (e.handle != kBroadcast && PostMessage(e.handle, msg, wParam, lParam)) any = true;
    }
    return any;
  }
  const pid_t pid = HandlePid(window);
  if (pid == n.pid) {
    if (!n.windows.count(window)) return false;
    Inbound item;
    item.kind = kPost;
    item.window = window;
    item.msg = msg;
    item.wParam = wParam;
    item.lParam = lParam;
    return Enqueue(n, std::move(item));
  }
  if (!IsWindow(window)) return false;
  Conn* c = Connect(n, pid);
  if (!c) return false;
  wire::Request post;
  post.kind = kPost;
  post.window = window;
  post.msg = msg;
  post.wParam = wParam;
  post.lParam = lParam;
  return WriteFrame(n, c->serial, wire::EncodeRequest(post));
}

std::optional<std::int32_t> SendMessageTimeout(Handle window, std::uint32_t msg, std::uint32_t wParam,
                                               std::int32_t lParam, int timeoutMs) {
  Node& n = N();
  if (!n.ok || window == 0 || window == kBroadcast) return std::nullopt;
  const pid_t pid = HandlePid(window);
  if (pid == n.pid) {
    auto it = n.windows.find(window);
    if (it == n.windows.end() || !it->second.proc) return std::nullopt;
    WndProc proc = it->second.proc;
    return proc(msg, wParam, lParam);
  }
  if (!IsWindow(window)) return std::nullopt;
  wire::Request send;
  send.kind = kSend;
  send.seq = NextSeq();
  send.window = window;
  send.msg = msg;
  send.wParam = wParam;
  send.lParam = lParam;
  Reply reply;
  if (Request(n, pid, send, std::max(1, timeoutMs), reply) != kOk) return std::nullopt;
  const auto answer = wire::DecodeReply(reply.frame);
  if (!answer || answer->kind != kSendReply || answer->found != 1) return std::nullopt;
  return answer->result;
}

namespace detail {

void ServeWindowMessage(Node& n, const Inbound& item) {
  std::int32_t result = 0;
  bool found = false;
  auto it = n.windows.find(item.window);
  if (it != n.windows.end()) {
    found = true;
    WndProc proc = it->second.proc;  // the procedure may destroy its window
    if (proc) result = proc(item.msg, item.wParam, item.lParam);
  }
  if (item.kind == kSend) {
    wire::Reply reply;
    reply.kind = kSendReply;
    reply.seq = item.seq;
    reply.found = found ? 1 : 0;
    reply.result = result;
    WriteFrame(n, item.conn, wire::EncodeReply(reply));
  }
}

}  // namespace detail
}  // namespace sl::ipc
