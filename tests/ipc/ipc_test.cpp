// The local IPC: windows, messages and objects within one process through
// its own socket, and a hand-made peer that answers calls with every kind of
// broken reply.
#include "ipc/ipc.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <thread>

#include "platform/pump.h"
#include "support/dsmp_process.h"
#include "support/recorder.h"
#include "support/scoped_env.h"
#include "support/scoped_settings.h"

namespace sl::test {
namespace {

using Clock = std::chrono::steady_clock;

const ipc::Guid kClass = *ipc::Guid::Parse("{11111111-2222-3333-4444-555555555555}");
const ipc::Guid kIface = *ipc::Guid::Parse("{aaaaaaaa-bbbb-cccc-dddd-eeeeeeeeeeee}");

class Echo : public ipc::ServedObject {
 public:
  bool Supports(const ipc::Guid& iid) override { return iid == kIface; }
  ipc::HResult Invoke(const ipc::Guid&, int slot, const std::vector<ipc::Value>& in,
                      std::vector<ipc::Value>& out) override {
    if (slot == 7) {
      out = in;  // echo
      return ipc::kOk;
    }
    return ipc::kNotImplemented;
  }
};

class Ipc : public ::testing::Test {
 protected:
  Ipc() {
    link.TimeoutMs(300);
    env.Set("SONOLABEL_IPC_TIMEOUT_MS", "300");  // the players it starts
  }
  ScopedEnv env;
  ScopedLinkSettings link;
  PrivateRuntime runtime;
};

TEST_F(Ipc, MessageNumbersAreStableAndIgnoreCase) {
  const auto a = ipc::RegisterWindowMessage("WM_DSMP");
  EXPECT_EQ(a, ipc::RegisterWindowMessage("wm_dsmp"));
  EXPECT_NE(a, ipc::RegisterWindowMessage("WM_OTHER"));
  EXPECT_GE(a, 0xC000u);
  EXPECT_LE(a, 0xFFFEu);
}

TEST_F(Ipc, WindowsAreFoundByClassAndMessagesArriveInOrder) {
  std::vector<std::string> got;
  auto proc = [&](const char* who) {
    return [&got, who](std::uint32_t m, std::uint32_t w, std::int32_t l) {
      got.push_back(std::string(who) + ":" + std::to_string(m) + "," + std::to_string(w) + "," +
                    std::to_string(l));
      return 5;
    };
  };
  const auto top = ipc::CreateWindow("TSomeForm", proc("top"));
  const auto hidden = ipc::CreateMessageWindow(proc("hidden"));
  ASSERT_NE(top, 0u);
  ASSERT_NE(hidden, 0u);
  EXPECT_EQ(ipc::CreateWindow("bad class!", proc("x")), 0u);
  EXPECT_EQ(ipc::FindWindow("tsomeform"), top);
  EXPECT_EQ(ipc::FindWindow("TOther"), 0u);
  EXPECT_EQ(ipc::FindWindowOfProcess(::getpid()), top);
  EXPECT_TRUE(ipc::PostMessage(hidden, 0xC001, 1, -1));
  EXPECT_TRUE(ipc::PostMessage(top, 0xC001, 2, 2));
  EXPECT_TRUE(ipc::PostMessage(ipc::kBroadcast, 0xC002, 3, 3));  // top-level windows only
  EXPECT_EQ(ipc::SendMessageTimeout(top, 0xC003, 4, 4, 100), 5);
  EXPECT_EQ(got, std::vector<std::string>{"top:49155,4,4"});  // sent: handled at once
  ipc::PumpUntil([&] { return got.size() == 4; }, 1000);
  EXPECT_EQ(got, (std::vector<std::string>{"top:49155,4,4", "hidden:49153,1,-1", "top:49153,2,2",
                                           "top:49154,3,3"}));
  ipc::DestroyWindow(top);
  EXPECT_EQ(ipc::FindWindow("TSomeForm"), 0u);
  EXPECT_FALSE(ipc::PostMessage(top, 1, 1, 1));
  EXPECT_FALSE(ipc::SendMessageTimeout(top, 1, 1, 1, 100).has_value());
}

TEST_F(Ipc, ObjectsAreCreatedQueriedAndCalledAcrossTheSocket) {
  ASSERT_TRUE(ipc::RegisterClassObject(kClass, [] { return std::make_shared<Echo>(); }));
  ipc::Interface unknown, echo, none;
  ASSERT_EQ(ipc::CreateInstance(kClass, 0x15, ipc::kIUnknown, unknown), ipc::kOk);
  EXPECT_EQ(unknown.Query(*ipc::Guid::Parse("{00000000-0000-0000-0000-000000000001}"), none),
            ipc::kNoInterface);
  ASSERT_EQ(unknown.Query(kIface, echo), ipc::kOk);
  const std::u16string text = u"日本語 and \U0001F3B5";
  std::vector<ipc::Value> out;
  const ipc::ValueType types[] = {ipc::ValueType::Long, ipc::ValueType::String, ipc::ValueType::Byte,
                                  ipc::ValueType::Short};
  ASSERT_EQ(
      echo.Call(
          7, {ipc::Value::Long(-5), ipc::Value::String(text), ipc::Value::Byte(200), ipc::Value::Short(-1)},
          types, out),
      ipc::kOk);
  ASSERT_EQ(out.size(), 4u);
  EXPECT_EQ(out[0].number, -5);
  EXPECT_EQ(out[1].text, text);
  EXPECT_EQ(out[2].number, 200);
  EXPECT_EQ(out[3].number, -1);
  // Out-values of other types than the call expects: refused.
  const ipc::ValueType wrong[] = {ipc::ValueType::String};
  EXPECT_EQ(echo.Call(7, {ipc::Value::Long(1)}, wrong, out), ipc::kBadData);
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(echo.Call(8, {}, {}, out), ipc::kNotImplemented);
  // A string over the bound is not sent.
  EXPECT_EQ(echo.Call(7, {ipc::Value::String(std::u16string(ipc::kMaxStringUnits + 1, u'x'))}, {}, out),
            ipc::kInvalidArg);
  ipc::RevokeClassObject(kClass);
  ipc::Interface again;
  EXPECT_EQ(ipc::CreateInstance(kClass, 0x15, ipc::kIUnknown, again), ipc::kClassNotRegistered);
}

TEST_F(Ipc, TheQueueIsBounded) {
  int handled = 0;
  const auto w =
      ipc::CreateMessageWindow([&](std::uint32_t, std::uint32_t, std::int32_t) { return ++handled; });
  int accepted = 0;
  for (std::size_t i = 0; i < ipc::kMaxQueuedMessages + 50; ++i)
    accepted += ipc::PostMessage(w, 1, 0, 0) ? 1 : 0;
  EXPECT_EQ(accepted, static_cast<int>(ipc::kMaxQueuedMessages));
  ipc::PumpUntil([&] { return handled == accepted; }, 5000);
  EXPECT_EQ(handled, accepted);
}

TEST_F(Ipc, WithoutARuntimeFolderEverythingFailsCleanly) {
  link.RuntimeDir("");
  ipc::Shutdown();
  EXPECT_FALSE(ipc::Available());
  EXPECT_FALSE(ipc::UnavailableReason().empty());
  EXPECT_EQ(ipc::CreateMessageWindow([](std::uint32_t, std::uint32_t, std::int32_t) { return 0; }), 0u);
  EXPECT_EQ(ipc::FindWindow("TFormDSMP"), 0u);
  EXPECT_FALSE(ipc::PostMessage(ipc::kBroadcast, 1, 2, 3));
  ipc::Interface i;
  EXPECT_EQ(ipc::CreateInstance(kClass, 0x15, ipc::kIUnknown, i), ipc::kClassNotRegistered);
  EXPECT_EQ(ipc::WakeFd(), -1);
  EXPECT_EQ(ipc::Dispatch(), 0);
}

TEST_F(Ipc, FilesOfADeadProcessAreTidiedAway) {
  // A process that died without cleaning up left a window entry behind.
  const std::string dir = runtime.Path() + "/sonolabel-ipc";
  ipc::Available();
  const pid_t dead = 4194000;  // above any pid this machine hands out
  char handle[16];
  std::snprintf(handle, sizeof handle, "%08x", static_cast<unsigned>(dead) << 10 | 1);
  WriteFileBytes(dir + "/h" + handle, "");
  WriteFileBytes(dir + "/t" + handle + ".TFormDSMP", "");
  EXPECT_EQ(ipc::FindWindow("TFormDSMP"), 0u);
  EXPECT_TRUE(ReadFileBytes(dir + "/t" + handle + ".TFormDSMP").empty());
  EXPECT_FALSE(std::ifstream(dir + "/t" + handle + ".TFormDSMP").good());
}

// ---- A hand-made peer ----

std::string U32(std::uint32_t v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[static_cast<std::size_t>(i)] = static_cast<char>(v >> (8 * i));
  return s;
}
std::string Frame(std::uint8_t kind, const std::string& body) {
  return U32(static_cast<std::uint32_t>(body.size() + 1)) + static_cast<char>(kind) + body;
}

// Serves kClass from a fake process: answers the hello and the create
// properly, then answers the first call with `reply(seq)` (raw bytes; empty
// means no answer) and finally closes or keeps the connection.
class FakePeer {
 public:
  FakePeer(const std::string& dir, std::function<std::string(std::uint32_t seq)> reply, bool closeAfter)
      : reply_(std::move(reply)), closeAfter_(closeAfter) {
    const pid_t pid = 4194100;
    const std::string path = dir + "/n" + std::to_string(pid);
    path_ = path;
    ::unlink(path.c_str());
    listen_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    ::bind(listen_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::listen(listen_, 4);
    std::string key;
    for (auto b : kClass.bytes) {
      char buf[4];
      std::snprintf(buf, sizeof buf, "%02x", b);
      key += buf;
    }
    WriteFileBytes(dir + "/k" + key + "." + std::to_string(pid), "");
    thread_ = std::thread([this] { Serve(); });
  }
  ~FakePeer() {
    stop_ = true;
    ::shutdown(listen_, SHUT_RDWR);
    if (conn_ >= 0) ::shutdown(conn_, SHUT_RDWR);
    thread_.join();
    ::close(listen_);
    if (conn_ >= 0) ::close(conn_);
    ::unlink(path_.c_str());
  }

 private:
  bool ReadFrame(std::string& body) {
    char len[4];
    if (!ReadAll(len, 4)) return false;
    std::uint32_t n = 0;
    for (int i = 3; i >= 0; --i) n = (n << 8) | static_cast<unsigned char>(len[i]);
    body.assign(n, '\0');
    return ReadAll(body.data(), n);
  }
  bool ReadAll(char* p, std::size_t n) {
    while (n > 0) {
      const ssize_t k = ::recv(conn_, p, n, 0);
      if (k <= 0) return false;
      p += k;
      n -= static_cast<std::size_t>(k);
    }
    return true;
  }
  static std::uint32_t Seq(const std::string& body) {
    std::uint32_t v = 0;
    for (int i = 4; i >= 1; --i) v = (v << 8) | static_cast<unsigned char>(body[static_cast<std::size_t>(i)]);
    return v;
  }
  void Serve() {
    conn_ = ::accept(listen_, nullptr, nullptr);
    if (conn_ < 0) return;
    std::string body;
    if (!ReadFrame(body)) return;  // hello
    if (!ReadFrame(body)) return;  // create
    const std::string created = Frame(6, U32(Seq(body)) + U32(0) + U32(1));
    ::send(conn_, created.data(), created.size(), MSG_NOSIGNAL);
    if (!ReadFrame(body)) return;  // the call
    const std::string answer = reply_(Seq(body));
    if (!answer.empty()) ::send(conn_, answer.data(), answer.size(), MSG_NOSIGNAL);
    if (closeAfter_) {
      ::shutdown(conn_, SHUT_RDWR);
      return;
    }
    while (!stop_ && ReadFrame(body)) {
    }
  }

  std::function<std::string(std::uint32_t)> reply_;
  bool closeAfter_;
  std::string path_;
  int listen_ = -1;
  int conn_ = -1;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

TEST_F(Ipc, BrokenRepliesFailTheCallAndLinkFailuresGiveThePeerUp) {
  auto callReply = [](std::uint32_t seq, std::uint32_t object, std::uint16_t slot,
                      const std::string& values) {
    return Frame(11, U32(seq) + U32(object) +
                         std::string{static_cast<char>(slot), static_cast<char>(slot >> 8)} + U32(0) +
                         values);
  };
  std::string overBound = std::string(1, '\x01') + '\x02' + U32(ipc::kMaxStringUnits + 1) +
                          std::string((ipc::kMaxStringUnits + 1) * 2, 'a');
  struct Row {
    const char* what;
    std::function<std::string(std::uint32_t)> reply;
    bool closeAfter;
    ipc::HResult expected;
    bool linkLost;
  } rows[] = {
      {"a good reply",
       [&](std::uint32_t s) { return callReply(s, 1, 7, std::string(1, '\x01') + '\x01' + U32(42)); }, false,
       ipc::kOk, false},
      {"garbage bytes", [](std::uint32_t) { return std::string("\x05\x00\x00\x00garbage!", 12); }, false,
       ipc::kInvalidPacket, true},
      {"a frame length over the bound", [](std::uint32_t) { return U32(0x7FFFFFFF) + "x"; }, false,
       ipc::kInvalidPacket, true},
      {"a truncated reply", [](std::uint32_t s) { return Frame(11, U32(s) + U32(1)); }, false,
       ipc::kInvalidPacket, true},
      {"the answer to another slot",
       [&](std::uint32_t s) { return callReply(s, 1, 8, std::string(1, '\0')); }, false, ipc::kInvalidPacket,
       true},
      {"the answer to another kind of request", [](std::uint32_t s) { return Frame(8, U32(s) + U32(0)); },
       false, ipc::kInvalidPacket, true},
      {"a string over the bound", [&](std::uint32_t s) { return callReply(s, 1, 7, overBound); }, false,
       ipc::kBadData, false},
      {"the peer closing mid-call", [](std::uint32_t) { return std::string(); }, true, ipc::kDisconnected,
       true},
      {"no answer at all", [](std::uint32_t) { return std::string(); }, false, ipc::kTimeout, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    ipc::Shutdown();
    ASSERT_TRUE(ipc::Available());
    FakePeer peer(runtime.Path() + "/sonolabel-ipc", row.reply, row.closeAfter);
    ipc::Interface obj;
    ASSERT_EQ(ipc::CreateInstance(kClass, 0x15, ipc::kIUnknown, obj), ipc::kOk);
    const ipc::ValueType types[] = {ipc::ValueType::Long};
    std::vector<ipc::Value> out;
    const auto start = Clock::now();
    EXPECT_EQ(obj.Call(7, {}, types, out), row.expected);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(2000));
    EXPECT_EQ(ipc::IsLinkFailure(row.expected), row.linkLost);
    if (row.linkLost) {
      // Every later call on the lost peer fails at once.
      const auto again = Clock::now();
      EXPECT_TRUE(ipc::IsLinkFailure(obj.Call(7, {}, types, out)));
      EXPECT_LT(Clock::now() - again, std::chrono::milliseconds(50));
    }
  }
}

}  // namespace
}  // namespace sl::test
