// The local IPC that reaches the DSMP player: what window messages, COM,
// process creation and the registry give a Windows program, between separate
// processes of one user on Linux.
//
// - Windows are endpoints with 32-bit handles. A top-level window has a class
//   name, can be found by it and receives broadcasts; a message-only window
//   has neither but can be posted and sent to by handle. Every window belongs
//   to the process that created it and has a window procedure there.
// - Message numbers registered by name are the same in every process.
// - Objects are served by the process that registered their class id; a
//   client creates one by class id, queries it for interfaces by interface id
//   and calls their slots with typed values (32-bit longs, UTF-16 strings,
//   bytes, 16-bit shorts). Each call returns a result code and out-values.
//
// Transport: every process that uses the IPC listens on one Unix-domain
// socket in the folder "sonolabel-ipc" under $XDG_RUNTIME_DIR (created with
// mode 0700), and keeps small marker files there for its windows and served
// classes. No daemon, no fixed path: without XDG_RUNTIME_DIR the IPC is
// unavailable and every operation fails cleanly. Processes with different
// runtime folders never see each other.
//
// Wire format, one frame per message: a 32-bit little-endian length of what
// follows (at most kMaxFrameBytes), a kind byte and the kind's fields, all
// little-endian; a connection starts with a hello frame (magic "SLIP",
// version, process id). Strings are counted UTF-16 code units (at most
// kMaxStringUnits). A frame that breaks any rule closes its connection.
//
// Bounds against a peer that misbehaves (a bug or a hostile process of the
// same user): at most kMaxIncomingConnections connections from peers (a new
// one beyond that replaces the oldest that has not said hello yet, or is
// closed at once); a peer must say hello within the time-out; the bytes of
// frames not yet complete, over all incoming connections, stay under
// kMaxBufferedBytes, and a frame must complete within the time-out; a
// failing accept (out of descriptors) pauses accepting for a moment instead
// of spinning. The peer that breaks a bound is dropped.
//
// Writing never blocks: frames go to a per-connection queue that is written
// as the peer reads. A peer whose queue grows past kMaxPeerQueueBytes, or
// that takes nothing for the time-out while frames wait, is dropped; while
// replies to a peer wait, no more of its requests are read (it blocks on its
// own writes instead of filling our memory). So a peer that never reads
// costs bounded memory, never stalls this process and never delays others.
//
// The socket folder must belong to this user and be closed to everyone
// else: one of another user is refused; our own with group or other bits is
// closed (mode 0700) and cleared of what other users put there. Both ends of
// every connection check the other's user (SO_PEERCRED).
//
// Waiting: a send or call waits for its reply at most its time-out (3000 ms;
// SONOLABEL_IPC_TIMEOUT_MS overrides it, for tests). A peer that times out,
// dies or sends garbage ends the call with a failure code and its connection
// is dropped, so every object reference into it fails at once from then on.
// While waiting longer than a few milliseconds the caller runs the message
// pump (platform::ProcessMessages), which may run handlers re-entrantly.
//
// Delivery: incoming messages and calls are queued and handed to their
// window procedures or served objects by Dispatch(), in arrival order.
// WakeFd() is readable whenever Dispatch has work: a face watches it in its
// event loop; the pump hook this module installs calls Dispatch on every
// pump pass, so waits anywhere in the core deliver messages too.
//
// Everything here runs on one thread.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace sl::ipc {

using Handle = std::uint32_t;  // window handle; 0 = none
inline constexpr Handle kBroadcast = 0xFFFF;

using HResult = std::int32_t;
inline constexpr HResult kOk = 0;
inline constexpr HResult kFalse = 1;
inline constexpr HResult kNotImplemented = static_cast<HResult>(0x80004001);
inline constexpr HResult kNoInterface = static_cast<HResult>(0x80004002);
inline constexpr HResult kFail = static_cast<HResult>(0x80004005);
inline constexpr HResult kInvalidArg = static_cast<HResult>(0x80070057);
inline constexpr HResult kClassNotRegistered = static_cast<HResult>(0x80040154);
inline constexpr HResult kCallRejected = static_cast<HResult>(0x80010001);
// The peer's connection was lost (it exited, or was dropped after an earlier
// failure).
inline constexpr HResult kDisconnected = static_cast<HResult>(0x80010108);
// The peer did not answer within the time-out.
inline constexpr HResult kTimeout = static_cast<HResult>(0x8001011F);
// The peer sent a frame that breaks the wire format or answers another call.
inline constexpr HResult kInvalidPacket = static_cast<HResult>(0x80010009);
// A well-formed reply whose values break a bound or do not fit the call
// (a string over kMaxStringUnits, wrong out-value types).
inline constexpr HResult kBadData = static_cast<HResult>(0x800706F7);

inline bool Failed(HResult hr) { return hr < 0; }
// Failures of the link itself, after which the peer is given up.
bool IsLinkFailure(HResult hr);
// A short text for the codes above ("" for any other code).
std::string ResultText(HResult hr);

inline constexpr std::size_t kMaxStringUnits = 32768;
inline constexpr std::size_t kMaxValues = 32;
// The largest frame is that of a call carrying kMaxValues strings of
// kMaxStringUnits units each, so that every call within those bounds goes
// through: kind, seq, object, interface id, slot and value count, then per
// string its type, its unit count and two bytes a unit. A call reply of as
// many values is smaller.
inline constexpr std::size_t kMaxFrameBytes =
    1 + 4 + 4 + 16 + 2 + 1 + kMaxValues * (1 + 4 + 2 * kMaxStringUnits);
inline constexpr std::size_t kMaxQueuedMessages = 10000;
inline constexpr int kDefaultTimeoutMs = 3000;
// Windows one process may own at once.
inline constexpr int kMaxWindows = 1022;
// Connections from peers held at once.
inline constexpr int kMaxIncomingConnections = 256;
// Bytes of incomplete frames held for all incoming connections together.
inline constexpr std::size_t kMaxBufferedBytes = std::size_t{16} << 20;
// Bytes waiting to be written to one peer.
inline constexpr std::size_t kMaxPeerQueueBytes = std::size_t{4} << 20;

// What the IPC works with, from the program's configuration. The program
// puts it into effect once at start-up, before the first IPC call. A changed
// runtime folder is taken up when the node next opens: at the first call,
// after Shutdown, or after a failed open.
struct LinkSettings {
  std::string runtimeDir;             // the node's sockets live in runtimeDir/sonolabel-ipc
  int timeoutMs = kDefaultTimeoutMs;  // the send and call time-out
  std::string playerProgram;          // the player's registry value; "" for none
};
void Configure(const LinkSettings& settings);
LinkSettings CurrentSettings();

// The send and call time-out in effect.
int TimeoutMs();

struct Guid {
  std::array<std::uint8_t, 16> bytes{};
  // "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", hex digits of either case.
  static std::optional<Guid> Parse(std::string_view text);
  std::string ToString() const;  // upper-case, with braces
  friend bool operator==(const Guid&, const Guid&) = default;
};
inline const Guid kIUnknown = *Guid::Parse("{00000000-0000-0000-C000-000000000046}");

enum class ValueType : std::uint8_t { Long = 1, String = 2, Byte = 3, Short = 4 };

struct Value {
  ValueType type = ValueType::Long;
  std::int32_t number = 0;  // Long, Byte (0..255), Short (-32768..32767)
  std::u16string text;      // String
  static Value Long(std::int32_t v) { return {ValueType::Long, v, {}}; }
  static Value Byte(std::uint8_t v) { return {ValueType::Byte, v, {}}; }
  static Value Short(std::int16_t v) { return {ValueType::Short, v, {}}; }
  static Value String(std::u16string s) { return {ValueType::String, 0, std::move(s)}; }
};

// Whether the IPC can work in this process (a usable runtime folder).
bool Available();
// Why it cannot ("" when it can).
std::string UnavailableReason();

// ---- Window messages ----

using WndProc = std::function<std::int32_t(std::uint32_t msg, std::uint32_t wParam, std::int32_t lParam)>;

// The same number for the same name (ASCII case ignored) in every process,
// from 0xC000 to 0xFFFE.
std::uint32_t RegisterWindowMessage(std::string_view name);

// A top-level window of `className` (1 to 64 letters, digits or "_"); 0 when
// the class name is invalid, the IPC is unavailable or the process has
// kMaxWindows windows.
Handle CreateWindow(std::string_view className, WndProc proc);
// A message-only window: not found by class, no broadcasts.
Handle CreateMessageWindow(WndProc proc);
// Destroys one of this process's windows; messages still queued for it are
// dropped. Safe to call from its own window procedure.
void DestroyWindow(Handle window);
// A live top-level window of that class (ASCII case ignored), in any process
// of this runtime folder; 0 when there is none.
Handle FindWindow(std::string_view className);
// A live top-level window of process `pid`, any class; 0 when there is none.
Handle FindWindowOfProcess(pid_t pid);
// The process that owns a handle.
pid_t WindowProcess(Handle window);
bool IsWindow(Handle window);

// Queues a message for `window` (kBroadcast: every top-level window). False
// when the window does not exist or its process cannot be reached in time.
bool PostMessage(Handle window, std::uint32_t msg, std::uint32_t wParam, std::int32_t lParam);
// Sends and waits for the window procedure's answer, at most `timeoutMs`
// (pumping messages while waiting). nullopt on failure or time-out; a peer
// that timed out is given up (its connection is dropped).
std::optional<std::int32_t> SendMessageTimeout(Handle window, std::uint32_t msg, std::uint32_t wParam,
                                               std::int32_t lParam, int timeoutMs);

// ---- Objects ----

// Client side: one interface of a remote object. Copies share the reference;
// the object is released in its server when the last copy of every
// interface of it is gone.
class Interface {
 public:
  Interface() = default;
  bool IsBound() const { return static_cast<bool>(proxy_); }
  const Guid& Iid() const { return iid_; }
  // Queries the object for another interface.
  HResult Query(const Guid& iid, Interface& out) const;
  // Calls slot `slot` with the in-values; on return `out` holds the values
  // the server stored: either exactly one per entry of `outTypes` (of those
  // types) or none. A reply that fits neither is kBadData.
  HResult Call(int slot, const std::vector<Value>& in, std::span<const ValueType> outTypes,
               std::vector<Value>& out) const;
  void Release() { proxy_.reset(); }

  struct Proxy;

 private:
  friend HResult CreateInstance(const Guid&, std::uint32_t, const Guid&, Interface&);
  std::shared_ptr<Proxy> proxy_;
  Guid iid_;
};

// Creates an object of class `clsid` served by a running process and queries
// it for `iid`. `context` is accepted for compatibility (local servers are
// the only kind here). kClassNotRegistered when no live process serves it.
HResult CreateInstance(const Guid& clsid, std::uint32_t context, const Guid& iid, Interface& out);

// Server side.
class ServedObject {
 public:
  virtual ~ServedObject() = default;
  virtual bool Supports(const Guid& iid) = 0;
  // Runs a call; `out` may be left empty (nothing stored) or filled.
  virtual HResult Invoke(const Guid& iid, int slot, const std::vector<Value>& in,
                         std::vector<Value>& out) = 0;
};
using ClassFactory = std::function<std::shared_ptr<ServedObject>()>;
// Serves class `clsid` from this process until revoked or the process ends.
bool RegisterClassObject(const Guid& clsid, ClassFactory factory);
void RevokeClassObject(const Guid& clsid);

// ---- Delivery ----

// Readable while Dispatch has work; -1 when the IPC is unavailable.
int WakeFd();
// Reads what arrived and hands up to `maxMessages` queued messages and calls
// to their windows and objects. Returns how many were handled. Re-entrant.
int Dispatch(int maxMessages = 256);
// Dispatches and waits for more (at most `timeoutMs`) until `done` is true;
// returns `done()`. For command-line tools and tests.
bool PumpUntil(const std::function<bool()>& done, int timeoutMs);

// What this process's node holds now, for tests and measurements.
struct NodeStats {
  int incoming = 0;                // connections from peers
  int awaitingHello = 0;           // of those, the ones that have not said hello
  int outgoing = 0;                // connections to peers
  std::size_t bufferedBytes = 0;   // bytes of incomplete frames from peers
  std::size_t queuedBytes = 0;     // bytes waiting to be written, all peers
  std::uint64_t dropped = 0;       // peers dropped for breaking a bound, so far
  std::uint64_t acceptPauses = 0;  // times accepting paused for lack of descriptors
};
NodeStats Stats();

// Closes this process's node: every connection, window and served class;
// the next use opens it again (under the runtime folder then in force).
void Shutdown();

// ---- Processes and the registry ----

// Starts `program` with the blank-separated `params` (double quotes group)
// in `workDir` ("" = current). Returns the process id, or -1.
pid_t StartProcess(const std::string& program, const std::string& params, const std::string& workDir);
// Waits until process `pid` owns a top-level window (true), ends, or
// `timeoutMs` passes (false), pumping messages.
bool WaitForInputIdle(pid_t pid, int timeoutMs);
// Ends a process that StartProcess started and that still runs: SIGTERM,
// then SIGKILL when it has not ended within `graceMs`; reaps it. Nothing for
// any other process. True when the process is gone.
bool EndProcess(pid_t pid, int graceMs = 500);

enum class RegistryRoot { LocalMachine, CurrentUser };
// The unnamed value of a registry key. The player's two keys
// ("SOFTWARE\Microsoft\Windows\CurrentVersion\App Paths\DSMP.EXE" and
// "Software\DELTA\DSMP") both hold the configured player program; nullopt
// when there is none, and for every other key.
std::optional<std::string> ReadRegistryDefault(RegistryRoot root, std::string_view subkey);

// This program's module instance handle as passed to peers.
inline constexpr std::int32_t kModuleInstance = 0x00400000;

}  // namespace sl::ipc
