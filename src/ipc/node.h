// Inside the IPC room only: this process's node (its socket, its
// connections to peers, its queue of incoming requests, its windows and
// served objects) and the connection layer that the windows, objects and
// process parts share. Nothing outside src/ipc includes this header.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "ipc/ipc.h"
#include "ipc/wire.h"

namespace sl::ipc::detail {

using Clock = std::chrono::steady_clock;

// epoll ids of the node's own descriptors; connections use their serials.
inline constexpr std::uint64_t kListenId = 0, kWakeId = 1, kTimerId = 2;

struct Conn {
  std::uint64_t serial = 0;
  int fd = -1;
  pid_t peer = 0;
  bool outgoing = false;
  bool helloSeen = false;
  std::string in;
  std::size_t inPos = 0;
  std::size_t counted = 0;       // bytes of `in` counted in Node::buffered
  Clock::time_point opened;      // the hello is due within the time-out
  bool partial = false;          // `in` holds the start of a frame...
  Clock::time_point frameSince;  // ...since then
  std::deque<std::string> out;   // frames waiting to be written
  std::size_t outHead = 0;       // bytes of out.front() already written
  std::size_t outBytes = 0;
  Clock::time_point lastProgress;  // last write while frames waited
  std::uint32_t events = 0;        // what epoll watches for it
};

// A reply frame as it arrived, read by the caller that waits for it.
struct Reply {
  std::string frame;
};

// A request from a peer (or posted locally), queued for Dispatch.
struct Inbound : wire::Request {
  std::uint64_t conn = 0;  // where a reply goes (0: posted locally)
};

struct Window {
  std::string cls;  // empty for message-only windows
  WndProc proc;
};

struct Served {
  std::uint64_t conn = 0;
  std::shared_ptr<ServedObject> object;
};

struct Node {
  bool opened = false;
  bool ok = false;
  std::string reason;
  std::string runtime;  // the XDG_RUNTIME_DIR it was opened under
  std::string dir;
  pid_t pid = 0;
  int listenFd = -1, epollFd = -1, eventFd = -1, timerFd = -1;
  int hook = 0;
  int incoming = 0;
  std::size_t buffered = 0;  // incomplete frame bytes of incoming connections
  bool acceptPaused = false;
  Clock::time_point acceptResume;
  std::uint64_t dropped = 0, acceptPauses = 0;
  long long timerArmedMs = -1;
  std::map<std::uint64_t, std::unique_ptr<Conn>> conns;
  std::map<pid_t, std::uint64_t> outgoing;
  std::map<std::uint64_t, HResult> lost;  // why recently closed connections ended
  std::set<std::uint32_t> waiting;
  std::map<std::uint32_t, Reply> replies;
  std::deque<Inbound> queue;
  std::map<Handle, Window> windows;
  int nextIndex = 1;
  std::map<std::string, ClassFactory> classes;
  std::map<std::uint32_t, Served> objects;
  std::uint32_t nextObject = 1;
  std::vector<pid_t> children;
  bool signalled = false;
};

// ---- The node (node.cpp) ----

// Connection serials and request numbers never repeat within a process, even
// across Shutdown, so a stale reference can never match a new connection.
std::uint64_t NextSerial();
std::uint32_t NextSeq();
// The node as it is, opened or not (never destroyed: object references may
// be released during exit).
Node& RawNode();
// The node, opened first when it never was, or when it failed and the
// runtime folder has changed since.
Node& N();

// The files of the socket folder: a process's socket, a window's marker, a
// top-level window's class marker, a served class's marker.
std::string NodePath(const Node& n, pid_t pid);
std::string HandlePath(const Node& n, Handle h);
std::string TopPath(const Node& n, Handle h, const std::string& cls);
std::string ClassPath(const Node& n, const Guid& g, pid_t pid);
std::string GuidKey(const Guid& g);
pid_t HandlePid(Handle h);
bool ProcessAlive(pid_t pid);
void TouchFile(const std::string& path);
// Directory entries starting with `prefix`, sorted, bounded.
std::vector<std::string> ListDir(const std::string& dir, char prefix);
// Removes the marker files a process left behind.
void RemoveFilesOf(const Node& n, pid_t pid);

// Queues a request for Dispatch; false when the queue is full.
bool Enqueue(Node& n, Inbound item);

// ---- The connections (connections.cpp) ----

Conn* FindConn(Node& n, std::uint64_t serial);
void CloseConn(Node& n, std::uint64_t serial, HResult why);
// Queues a whole frame for connection `serial` and writes what the socket
// takes now (see the definition).
bool WriteFrame(Node& n, std::uint64_t serial, const std::string& frame);
bool FlushConn(Node& n, std::uint64_t serial);
// The outgoing connection to process `pid`, opened when needed.
Conn* Connect(Node& n, pid_t pid);
// Handles what epoll reports ready, then the deadlines.
void ReadAll(Node& n);
// Sends a request and waits for its reply.
HResult Request(Node& n, pid_t pid, const wire::Request& request, int timeoutMs, Reply& out,
                std::uint64_t* serialOut = nullptr, std::uint64_t requiredSerial = 0);
// Sets the wake-up descriptor readable (work queued) or not.
void SetSignal(Node& n, bool on);

// ---- Serving peers' requests ----

// A posted or sent message to one of this process's windows (windows.cpp).
void ServeWindowMessage(Node& n, const Inbound& item);
// Create, query, release and call on this process's objects (objects.cpp).
void ServeObjectRequest(Node& n, Inbound& item);

// ---- Processes (process.cpp) ----

// Collects the exit status of started processes that have ended.
void ReapChildren(Node& n);

}  // namespace sl::ipc::detail
