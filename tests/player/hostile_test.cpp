// The player link beside peers that misbehave: a local process that sends
// requests and never reads the answers, and a started player that never
// shows its window.
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>

#include "ipc/ipc.h"
#include "player_fixture.h"
#include "support/hostile_peer.h"

namespace sl::test {
namespace {

using Clock = std::chrono::steady_clock;

TEST_F(PlayerTest, APeerThatNeverReadsNeitherStallsTheLoopNorStarvesThePlayer) {
  // Long enough that one blocking write to the peer would break every call
  // to the player below.
  link.TimeoutMs(1500);
  env.Set("SONOLABEL_IPC_TIMEOUT_MS", "1500");  // the player it starts
  // Each answer comes a little late, so every call runs the message pump
  // (and with it the hostile peer's requests) while it waits.
  DsmpProcess sim(PlayListJson(99, "\"delay_ms\":8"));
  auto d = MakeDsmp();
  HostileScript script{HostileScript::kNeverReads, 1};
  script.window = d->WindowHandle();
  HostilePeer peer(runtime.Path(), ::getpid(), script);
  ASSERT_EQ(peer.Connected(), 1);
  // A healthy import of 99 tracks while its requests pile up answers it
  // does not take.
  d->Bind();
  ASSERT_TRUE(d->Bound());
  const auto start = Clock::now();
  int read = 0;
  for (int k = 1; k <= 99; ++k) {
    if (d->GetTrackInfo(k).Title == "Title " + std::to_string(k)) ++read;
  }
  EXPECT_EQ(read, 99);
  EXPECT_TRUE(d->Bound());
  EXPECT_FALSE(d->LinkLost());
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(4000));
  d->Unbind();

  // No pass of the event loop waits on it.
  Clock::duration longest{};
  const auto until = Clock::now() + std::chrono::milliseconds(300);
  while (Clock::now() < until) {
    const auto pass = Clock::now();
    ipc::Dispatch();
    longest = std::max(longest, Clock::now() - pass);
    ::poll(nullptr, 0, 2);
  }
  EXPECT_LT(longest, std::chrono::milliseconds(250));
  EXPECT_LE(ipc::Stats().queuedBytes, ipc::kMaxPeerQueueBytes);

  // The peer that takes nothing is dropped once its answers wait too long.
  const auto dropped = ipc::Stats().dropped;
  ASSERT_TRUE(Pump([&] { return ipc::Stats().dropped > dropped && ipc::Stats().incoming <= 1; }, 4000));
  EXPECT_EQ(ipc::Stats().queuedBytes, 0u);
}

std::vector<pid_t> PidsIn(const std::string& path) {
  std::vector<pid_t> pids;
  std::ifstream in(path);
  long p;
  while (in >> p) pids.push_back(static_cast<pid_t>(p));
  return pids;
}

bool Running(pid_t pid) { return ::kill(pid, 0) == 0; }

TEST_F(PlayerTest, AStartedPlayerThatNeverShowsItsWindowIsEndedAndRetriesDoNotPileUp) {
  TempDir dir;
  const std::string script = dir.File("player");
  // A player that starts, notes its process id, and never opens a window;
  // one of the two ignores the polite request to end.
  struct Row {
    const char* what;
    const char* body;
  } rows[] = {{"ends on request", "exec sleep 30\n"},
              {"ignores the request", "trap '' TERM\nwhile :; do sleep 0.1; done\n"}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    ::unlink(dir.File("pids").c_str());
    WriteFileBytes(script, "#!/bin/sh\necho $$ >> " + dir.File("pids") + "\n" + row.body);
    ::chmod(script.c_str(), 0755);
    link.PlayerProgram(script);
    startMs = 300;
    auto d = MakeDsmp();
    for (int i = 0; i < 3; ++i) {
      d->Bind();
      EXPECT_FALSE(d->Bound());
    }
    const auto pids = PidsIn(dir.File("pids"));
    EXPECT_EQ(pids.size(), 3u);
    for (pid_t pid : pids) {
      EXPECT_FALSE(Running(pid)) << pid;
      if (Running(pid)) ::kill(pid, SIGKILL);
    }
    EXPECT_TRUE(services.boxes.empty());
  }
}

}  // namespace
}  // namespace sl::test
