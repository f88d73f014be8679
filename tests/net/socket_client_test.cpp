#include <arpa/inet.h>
#include <sys/resource.h>
#include <time.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "net/socket_client.h"
#include "net_fixture.h"
#include "support/loopback_server.h"
#include "support/recorder.h"

namespace sl::net {
namespace {

using sl::test::LoopbackServer;
using sl::test::RefusedPort;
using sl::test::ServerScript;
using sl::test::SilentPort;
using testing::ExpectThrowText;
using testing::Gate;
using testing::Stopwatch;

class SocketClientTest : public testing::NetTest {
 protected:
  void ConnectTo(SocketClient& s, const LoopbackServer& server) {
    s.Host = "127.0.0.1";
    s.Port = server.Port();
    s.Connect();
  }
};

// Names looked up by a scripted resolver, which knows only the names given.
struct LookupLog {
  std::mutex m;
  std::vector<std::string> names;
};

HostResolver ScriptedResolver(std::shared_ptr<LookupLog> log, std::vector<std::string> known) {
  return [log, known](const std::string& name) {
    {
      std::lock_guard<std::mutex> lock(log->m);
      log->names.push_back(name);
    }
    for (const auto& k : known) {
      if (k == name) return LookupResult{true, htonl(INADDR_LOOPBACK), 0};
    }
    return LookupResult{false, 0, 11001};
  };
}

TEST_F(SocketClientTest, ConnectsByAddressAndByNameAndReadsSplitLinesWithTheirEnds) {
  LoopbackServer server(ServerScript().SendBytewise("first line\r\nsecond\nrest", 1));
  SocketClient s;
  int resolved = 0, connected = 0, disconnected = 0;
  s.OnHostResolved = [&] { ++resolved; };
  s.OnConnect = [&] { ++connected; };
  s.OnDisconnect = [&] { ++disconnected; };
  ConnectTo(s, server);
  EXPECT_TRUE(s.Connected());
  EXPECT_EQ(resolved, 0) << "a dotted address needs no lookup";
  EXPECT_EQ(connected, 1);

  s.Writeln("HELLO");
  s.Writeln("");
  EXPECT_EQ(s.ReadLn(), "first line\r\n");
  EXPECT_EQ(s.ReadLn(), "second\n");
  // The server closes after a partial line: the bytes received, no line end.
  EXPECT_EQ(s.ReadLn(), "rest");
  EXPECT_FALSE(s.Connected());
  EXPECT_EQ(disconnected, 1) << "the server's close closes our side";
  EXPECT_EQ(s.ReadLn(), "");
  s.Disconnect();
  ASSERT_EQ(server.Requests().size(), 1u);
  EXPECT_EQ(server.Requests()[0], "HELLO\r\n\r\n");

  // "localhost" goes through the system's lookup.
  LoopbackServer named(ServerScript().NoRead().Send("by name\n"));
  s.Host = "localhost";
  s.Port = named.Port();
  s.Connect();
  EXPECT_EQ(resolved, 1);
  EXPECT_EQ(s.ReadLn(), "by name\n");
  s.Disconnect();
}

TEST_F(SocketClientTest, ProxyNameIsResolvedAndProxyPortUsedInsteadOfHost) {
  auto log = std::make_shared<LookupLog>();
  SetHostResolver(ScriptedResolver(log, {"proxy.test"}));
  LoopbackServer proxy(ServerScript().NoRead().Send("via proxy\n"));
  RefusedPort origin;
  SocketClient s;
  int resolved = 0;
  s.OnHostResolved = [&] { ++resolved; };
  s.Host = "origin.test";
  s.Port = origin.Port();
  s.Proxy = "proxy.test";
  s.ProxyPort = proxy.Port();
  s.Connect();
  EXPECT_EQ(s.ReadLn(), "via proxy\n");
  EXPECT_EQ(resolved, 1);
  EXPECT_EQ(log->names, std::vector<std::string>{"proxy.test"});
  s.Disconnect();
}

TEST_F(SocketClientTest, FailedLookupsGiveNullRemoteAddressWithOneMoreAttemptOnRequest) {
  auto log = std::make_shared<LookupLog>();
  SetHostResolver(ScriptedResolver(log, {"good.test"}));
  LoopbackServer server(ServerScript().NoRead().Send("ok\n"));
  SocketClient s;
  s.Port = server.Port();
  s.Host = "bad.test";
  ExpectThrowText<SocketFailure>([&] { s.Connect(); }, "Null Remote Address");
  EXPECT_EQ(s.LastError(), 11001);

  // The handler corrects the host and asks for another attempt.
  int invalid = 0;
  s.OnInvalidHost = [&](bool& handled) {
    ++invalid;
    s.Host = "good.test";
    handled = true;
  };
  s.Connect();
  EXPECT_EQ(invalid, 1);
  EXPECT_EQ(s.ReadLn(), "ok\n");
  s.Disconnect();

  // Only one more attempt, however often the handler asks.
  s.Host = "bad.test";
  s.OnInvalidHost = [&](bool& handled) {
    ++invalid;
    handled = true;
  };
  ExpectThrowText<SocketFailure>([&] { s.Connect(); }, "Null Remote Address");
  EXPECT_EQ(invalid, 2);
  // An empty name is a failed lookup too.
  s.Host.clear();
  s.OnInvalidHost = nullptr;
  ExpectThrowText<SocketFailure>([&] { s.Connect(); }, "Null Remote Address");
}

TEST_F(SocketClientTest, SlowLookupTimesOutOrIsCanceledWithoutWaitingForItsThread) {
  auto gate = std::make_shared<Gate>();
  SetHostResolver([gate](const std::string&) {
    gate->Wait();
    return LookupResult{true, htonl(INADDR_LOOPBACK), 0};
  });
  SocketClient s;
  s.Host = "slow.test";
  s.Port = 1;
  s.TimeOut = 120;
  int invalid = 0;
  s.OnInvalidHost = [&](bool&) { ++invalid; };
  Stopwatch w;
  ExpectThrowText<SocketFailure>([&] { s.Connect(); }, "Host Lookup Timed Out");
  EXPECT_GE(w.Ms(), 115);
  EXPECT_LT(w.Ms(), 2000);

  s.TimeOut = 0;
  int cycles = 0;
  duringPump = [&] {
    if (++cycles == 5) s.Cancel();
  };
  ExpectThrowText<SocketFailure>([&] { s.Connect(); }, "Host Lookup Canceled");
  EXPECT_EQ(cycles, 5);
  EXPECT_EQ(invalid, 0) << "time-out and cancel are passed on, not retried";
  duringPump = nullptr;

  // Both lookups are still running. Helper threads are bounded: once the
  // bound is reached a lookup fails at once instead of starting another.
  EXPECT_GE(HostLookup::Running(), 1);
  std::vector<std::unique_ptr<HostLookup>> held;
  while (HostLookup::Running() < kMaxLookupThreads) held.push_back(std::make_unique<HostLookup>("slow.test"));
  HostLookup refused("slow.test");
  EXPECT_TRUE(refused.WaitFor(std::chrono::milliseconds(0)));
  EXPECT_FALSE(refused.Result().ok);
  EXPECT_EQ(refused.Result().error, 10055);
  held.clear();  // dropping them does not wait for their threads
  EXPECT_EQ(HostLookup::Running(), kMaxLookupThreads);
  gate->Open();
  EXPECT_TRUE(testing::LookupThreadsGone());
}

TEST_F(SocketClientTest, RefusedConnectionFailsAndTheComponentConnectsAgain) {
  RefusedPort refused;
  LoopbackServer server(ServerScript().NoRead().Send("hi\n"));
  SocketClient s;
  int failed = 0;
  s.OnConnectionFailed = [&] { ++failed; };
  s.Host = "127.0.0.1";
  s.Port = refused.Port();
  ExpectThrowText<SocketFailure>([&] { s.Connect(); }, "Connection Failed");
  EXPECT_EQ(failed, 1);
  EXPECT_EQ(s.LastError(), 10061);
  EXPECT_EQ(ErrorText(s.LastError()), "10061:Connection refused");
  EXPECT_FALSE(s.Connected());

  // Even without a Disconnect in between, the next Connect works.
  s.Port = server.Port();
  s.Connect();
  ExpectThrowText<SocketFailure>([&] { s.Connect(); }, "Already connected");
  EXPECT_EQ(s.ReadLn(), "hi\n");
  s.Disconnect();

  // After a failure, Disconnect, then Connect again.
  s.Port = refused.Port();
  EXPECT_THROW(s.Connect(), SocketFailure);
  s.Disconnect();
  s.Port = server.Port();
  s.Connect();
  EXPECT_TRUE(s.Connected());
  s.Disconnect();
}

TEST_F(SocketClientTest, PendingConnectTimesOutOrIsCanceled) {
  SilentPort silent;
  SocketClient s;
  int failed = 0;
  s.OnConnectionFailed = [&] { ++failed; };
  s.Host = "127.0.0.1";
  s.Port = silent.Port();
  s.TimeOut = 150;
  Stopwatch w;
  ExpectThrowText<SocketFailure>([&] { s.Connect(); }, "Connection Timed out");
  EXPECT_GE(w.Ms(), 145);
  EXPECT_LT(w.Ms(), 2000);
  s.Disconnect();

  s.TimeOut = 0;
  int cycles = 0;
  duringPump = [&] {
    if (++cycles == 3) s.Cancel();
  };
  ExpectThrowText<SocketFailure>([&] { s.Connect(); }, "Connection Canceled");
  EXPECT_EQ(failed, 2);
  duringPump = nullptr;
  s.Disconnect();

  LoopbackServer server(ServerScript().NoRead().Send("up\n"));
  s.Port = server.Port();
  s.Connect();
  EXPECT_EQ(s.ReadLn(), "up\n");
}

TEST_F(SocketClientTest, ReadsTimeOutOrAreCanceledAndTheCaptureTimeOutCountsFromTheLastChunk) {
  SocketClient s;
  {
    LoopbackServer server(ServerScript().NoRead().Send("partial").Hang());
    ConnectTo(s, server);
    s.TimeOut = 150;
    Stopwatch w;
    ExpectThrowText<RequestAborted>([&] { s.ReadLn(); }, "Socket readln aborted");
    EXPECT_GE(w.Ms(), 145);
    EXPECT_LT(w.Ms(), 2000);
    std::string text = "old";
    ExpectThrowText<RequestAborted>([&] { s.CaptureString(text); }, "Socket capture aborted");
    EXPECT_EQ(text, "");
    s.Disconnect();
  }
  {
    // TimeOut 0: only Cancel ends the wait, here called from the pump.
    LoopbackServer server(ServerScript().NoRead().Hang());
    s.TimeOut = 0;
    ConnectTo(s, server);
    int cycles = 0;
    duringPump = [&] {
      if (++cycles == 20) s.Cancel();
    };
    std::string text;
    ExpectThrowText<RequestAborted>([&] { s.CaptureString(text); }, "Socket capture aborted");
    EXPECT_EQ(cycles, 20);
    duringPump = nullptr;
    s.Disconnect();
  }
  {
    // Eight bytes 60 ms apart take far longer than the 150 ms time-out,
    // but each chunk starts it again.
    LoopbackServer server(ServerScript().NoRead().SendBytewise("abcdefgh", 60));
    s.TimeOut = 150;
    ConnectTo(s, server);
    int packets = 0;
    s.OnPacketRecvd = [&] { ++packets; };
    std::string text;
    s.CaptureString(text);
    EXPECT_EQ(text, "abcdefgh");
    EXPECT_EQ(s.BytesRecvd(), 8);
    EXPECT_GE(packets, 2);
    s.Disconnect();
  }
}

TEST_F(SocketClientTest, WaitsSleepInPollAndRunThePumpWithoutSpinning) {
  LoopbackServer server(ServerScript().NoRead().Hang());
  SocketClient s;
  ConnectTo(s, server);
  s.TimeOut = 300;
  pumps = 0;
  timespec cpu0{}, cpu1{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu0);
  Stopwatch w;
  EXPECT_THROW(s.ReadLn(), RequestAborted);
  const long long wall = w.Ms();
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu1);
  const double cpuMs = (cpu1.tv_sec - cpu0.tv_sec) * 1e3 + (cpu1.tv_nsec - cpu0.tv_nsec) / 1e6;
  EXPECT_GE(pumps, 10) << "the pump runs during the wait";
  EXPECT_LE(pumps, wall / 5 + 5) << "about one cycle per poll slice";
  EXPECT_LT(cpuMs, 60.0) << "a 300 ms wait must not keep a core busy";
}

TEST_F(SocketClientTest, CaptureTakesSingleByteSegmentsWholeAndStopsAtItsLimit) {
  std::string data;
  for (int i = 0; i < 300; ++i) data += static_cast<char>('a' + i % 26);
  LoopbackServer server(ServerScript().NoRead().SendBytewise("head\n" + data, 0));
  SocketClient s;
  ConnectTo(s, server);
  EXPECT_EQ(s.ReadLn(), "head\n");
  std::string text;
  s.CaptureString(text, 10);
  EXPECT_EQ(text, data.substr(0, 10));
  EXPECT_EQ(s.BytesRecvd(), 10);
  s.CaptureString(text);
  EXPECT_EQ(text, data.substr(10));
  EXPECT_FALSE(s.Connected());
  s.Disconnect();

  // A server that closes before sending anything: empty texts, no exception.
  LoopbackServer closing(ServerScript().NoRead().Close());
  ConnectTo(s, closing);
  EXPECT_EQ(s.ReadLn(), "");
  s.Disconnect();
  ConnectTo(s, closing);
  text = "old";
  s.CaptureString(text);
  EXPECT_EQ(text, "");
  s.Disconnect();
}

TEST_F(SocketClientTest, OverlongLinesAndEndlessDataEndInClearErrors) {
  SocketClient s;
  {
    LoopbackServer server(ServerScript().NoRead().Send(std::string(65535, 'z') + "\nnext\n"));
    ConnectTo(s, server);
    EXPECT_EQ(s.ReadLn().size(), 65536u) << "a line of the buffer's size still fits";
    EXPECT_EQ(s.ReadLn(), "next\n");
    s.Disconnect();
  }
  {
    LoopbackServer server(ServerScript().NoRead().SendRepeated(std::string(4096, 'y'), 200000));
    ConnectTo(s, server);
    ExpectThrowText<SocketFailure>([&] { s.ReadLn(); }, "Line longer than 65536 bytes");
    s.Disconnect();
  }
  {
    LoopbackServer server(
        ServerScript().NoRead().SendRepeated(std::string(65536, 'x'), SocketClient::kMaxCapture + (1 << 20)));
    ConnectTo(s, server);
    std::string text;
    ExpectThrowText<SocketFailure>([&] { s.CaptureString(text); }, "Reply larger than 64 MiB");
    EXPECT_LE(text.size(), SocketClient::kMaxCapture);
    s.Disconnect();
  }
  // Still usable afterwards.
  LoopbackServer server(ServerScript().NoRead().Send("fine\n"));
  ConnectTo(s, server);
  EXPECT_EQ(s.ReadLn(), "fine\n");
}

TEST_F(SocketClientTest, SendingStopsAtNulRefusesHugeTextsAndHonoursCancel) {
  LoopbackServer server(ServerScript().Send("ok\n"));
  SocketClient s;
  ConnectTo(s, server);
  s.Write(std::string("GET\0hidden", 10));
  s.Cancel();
  ExpectThrowText<RequestAborted>([&] { s.Writeln(" lost"); }, "Socket send aborted");
  s.SendBuffer("Y\r\nignored", 3);
  s.SendBuffer("\r\n", 0);
  ExpectThrowText<SocketFailure>([&] { s.Write(std::string(65536, 'a')); },
                                 "Text too long to send (65536 bytes, at most 65535)");
  EXPECT_EQ(s.ReadLn(), "ok\n");
  ASSERT_EQ(server.Requests().size(), 1u);
  EXPECT_EQ(server.Requests()[0], "GETY\r\n\r\n");
  s.Disconnect();
  {
    // A peer that takes nothing in: the send blocks, then times out.
    LoopbackServer sink(ServerScript().NoRead().Delay(5000));
    ConnectTo(s, sink);
    s.TimeOut = 150;
    const std::string big(32u << 20, 'b');
    Stopwatch w;
    ExpectThrowText<RequestAborted>([&] { s.SendBuffer(big.data(), big.size()); }, "Socket send aborted");
    EXPECT_LT(w.Ms(), 2000);
    s.TimeOut = 0;
    s.Disconnect();
  }
  // Sending on the fresh, unconnected socket reports the table's text.
  ExpectThrowText<SocketFailure>([&] { s.Write("x"); }, "10058:Can't send after socket shutdown");
  EXPECT_EQ(s.LastError(), 10058);
}

TEST_F(SocketClientTest, StatusTextsFollowTheReportLevelAndHandlerFaultsAreContained) {
  LoopbackServer server(ServerScript().NoRead().Send("a\n"));
  SocketClient s;
  std::vector<std::string> seen;
  s.OnStatus = [&](const std::string& text) {
    seen.push_back(text);
    throw std::runtime_error("status handler fault");
  };
  s.ReportLevel = 8;
  ConnectTo(s, server);
  EXPECT_EQ(s.ReadLn(), "a\n");
  s.Disconnect();
  for (const char* expected : {"Connecting", "Resolve Host", "Timer On", "Timer Off", "ReadLn",
                               "Data Available", "Disconnecting", "Request Close Socket"}) {
    EXPECT_NE(std::find(seen.begin(), seen.end(), expected), seen.end()) << expected;
  }
  EXPECT_EQ(s.StatusText(), "Request Close Socket");

  seen.clear();
  s.ReportLevel = 4;
  ConnectTo(s, server);
  s.Disconnect();
  EXPECT_EQ(seen, std::vector<std::string>{"Request Close Socket"});

  seen.clear();
  s.ReportLevel = 0;
  ConnectTo(s, server);
  s.Disconnect();
  EXPECT_TRUE(seen.empty());
}

TEST_F(SocketClientTest, CaptureFileReplacesTheFileAndReportsFaults) {
  sl::test::TempDir dir;
  const std::string file = dir.File("out.bin");
  sl::test::WriteFileBytes(file, "old content that is longer than the new");
  SocketClient s;
  {
    LoopbackServer server(ServerScript().NoRead().Send(std::string("bin\0ary", 7)));
    ConnectTo(s, server);
    s.CaptureFile(file);
    EXPECT_EQ(sl::test::ReadFileBytes(file), std::string("bin\0ary", 7));
    EXPECT_EQ(s.BytesRecvd(), 7);
    s.Disconnect();
  }
  {
    LoopbackServer server(ServerScript().NoRead().Hang());
    ConnectTo(s, server);
    int cycles = 0;
    duringPump = [&] {
      if (++cycles == 3) s.Cancel();
    };
    ExpectThrowText<RequestAborted>([&] { s.CaptureFile(file); }, "Socket send aborted");
    duringPump = nullptr;
    s.Disconnect();
  }
  const std::string bad = dir.File("missing/folder/x");
  ExpectThrowText<std::runtime_error>([&] { s.CaptureFile(bad); }, "Cannot create file " + bad);
}

TEST_F(SocketClientTest, WithoutSocketsConstructionFailsAndConnectReportsTheSystemError) {
  LoopbackServer server(ServerScript().NoRead().Send("back\n"));
  SocketClient s;
  {
    // The same calls once with descriptors to spare: a sanitizer that checks
    // them needs a descriptor the first time it sees them.
    SocketClient warm;
    ConnectTo(warm, server);
    warm.Disconnect();
    s.Disconnect();
  }
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit tight = saved;
  tight.rlim_cur = 3;  // no descriptor beyond stdin, stdout, stderr
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
  // The exceptions are only looked at once descriptors are back: the
  // undefined-behaviour checker itself needs one to check a virtual call.
  std::exception_ptr constructedError, connectedError;
  try {
    SocketClient other;
  } catch (...) {
    constructedError = std::current_exception();
  }
  s.Disconnect();  // its replacement socket cannot be made
  try {
    ConnectTo(s, server);
  } catch (...) {
    connectedError = std::current_exception();
  }
  setrlimit(RLIMIT_NOFILE, &saved);
  auto text = [](const std::exception_ptr& error) -> std::string {
    try {
      if (error) std::rethrow_exception(error);
    } catch (const SocketFailure& e) {
      return e.what();
    } catch (...) {
      return "another exception";
    }
    return {};
  };
  const std::string constructed = text(constructedError);
  const std::string connected = text(connectedError);
  EXPECT_EQ(constructed, "Initializaton of windows sockets failed");
  EXPECT_EQ(connected, "10024:Too many open files");
  // With descriptors back, the component recovers.
  ConnectTo(s, server);
  EXPECT_EQ(s.ReadLn(), "back\n");
}

}  // namespace
}  // namespace sl::net
