// The lookup against the stand-in service run on a thread of the test: the
// request on the wire, each outcome, the bounds, the request spacing, the
// busy server, and the pump and re-entrance while a lookup waits.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "mbsim.h"
#include "musicbrainz/musicbrainz.h"
#include "platform/pump.h"
#include "support/loopback_server.h"

namespace sl::musicbrainz {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

class SimService {
 public:
  SimService() : server_(std::string(SONOLABEL_SOURCE_DIR) + "/tools/mbsim/data") {
    std::string why;
    EXPECT_TRUE(server_.Listen(0, why)) << why;
    thread_ = std::thread([this] { server_.Run(std::chrono::seconds(120)); });
  }
  ~SimService() {
    server_.Stop();
    thread_.join();
  }
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(server_.Port()); }
  std::vector<mbsim::RequestRecord> Requests() const { return server_.Requests(); }

 private:
  mbsim::Server server_;
  std::thread thread_;
};

// A pump that counts its runs and runs `onPump` (once it is set).
class CountingPump {
 public:
  CountingPump() {
    platform::SetMessagePump([this] {
      ++runs;
      if (onPump) onPump();
    });
  }
  ~CountingPump() { platform::SetMessagePump({}); }
  int runs = 0;
  std::function<void()> onPump;
};

DiscIdentity Disc(const std::string& id, const std::string& toc = "1 3 45912 150 18630 35212") {
  DiscIdentity d;
  d.discId = id;
  d.toc = toc;
  d.trackCount = 3;
  return d;
}

const DiscIdentity kRock = Disc("YC1Jm6bx7PJhJhuXvkzjpbLftoE-");

struct Lookup {
  shell::ShellModel model;
  DiscLookup lookup;
  explicit Lookup(const std::string& server, milliseconds timeout = milliseconds(5000))
      : lookup(model, LookupSettings{server, "me@example.com", timeout, milliseconds(10000)}) {}
};

TEST(MusicBrainzLookup, SendsTheServicesRequestAndReadsTheAnswer) {
  SimService sim;
  Lookup l(sim.Url() + "/");  // a trailing slash on the server is no part of the path
  const LookupResult r = l.lookup.LookUpDisc(kRock);
  ASSERT_EQ(r.outcome, LookupOutcome::Found) << OutcomeName(r.outcome) << ": " << r.detail;
  EXPECT_EQ(r.httpStatus, 200);
  EXPECT_EQ(r.attempts, 1);
  ASSERT_EQ(r.reply.releases.size(), 1u);
  EXPECT_EQ(r.reply.releases[0].title, "Señales de Otoño");
  const auto requests = sim.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].target,
            "/ws/2/discid/YC1Jm6bx7PJhJhuXvkzjpbLftoE-?toc=1+3+45912+150+18630+35212"
            "&inc=artist-credits+labels+recordings&fmt=json");
  EXPECT_EQ(requests[0].userAgent, "Sonolabel/1.311 ( me@example.com )");
  EXPECT_FALSE(l.model.CommandRunning());
}

// The contact is the user's, from a settings file edited by hand perhaps: a
// control character in it never reaches the header line.
TEST(MusicBrainzLookup, UserAgentCarriesTheContactWithoutControlCharacters) {
  EXPECT_EQ(UserAgent("me@example.com"), "Sonolabel/1.311 ( me@example.com )");
  EXPECT_EQ(UserAgent(""), "Sonolabel/1.311");
  EXPECT_EQ(UserAgent("me@example.com\rX-Injected: 1"), "Sonolabel/1.311 ( me@example.comX-Injected: 1 )");
  EXPECT_EQ(UserAgent("\r\n\t\x7f"), "Sonolabel/1.311");
  EXPECT_EQ(UserAgent("連絡先@example.jp"), "Sonolabel/1.311 ( 連絡先@example.jp )");
}

TEST(MusicBrainzLookup, EachAnswerGivesItsOutcome) {
  SimService sim;
  struct Case {
    const char* id;
    LookupOutcome outcome;
  } cases[] = {
      {"unknown-disc-id-------------", LookupOutcome::NotFound},  // 404
      {"stub-only-disc-id-----------", LookupOutcome::NotFound},  // a CD stub
      {"no-releases-disc-id---------", LookupOutcome::NotFound},
      {"bad-json-disc-id------------", LookupOutcome::BadReply},
      {"cut-short-disc-id-----------", LookupOutcome::BadReply},
      {"invalid-toc-disc-id---------", LookupOutcome::HttpError},
      {"OH15fKefmecth4Kw1Dj0YdbVSa0-", LookupOutcome::Found},  // TOC matches
  };
  Lookup l(sim.Url());
  for (const Case& c : cases) {
    const LookupResult r = l.lookup.LookUpDisc(Disc(c.id));
    EXPECT_EQ(r.outcome, c.outcome) << c.id << ": " << OutcomeName(r.outcome) << " " << r.detail;
    if (c.outcome == LookupOutcome::BadReply || c.outcome == LookupOutcome::HttpError) {
      EXPECT_FALSE(r.detail.empty()) << c.id;
    }
  }
}

TEST(MusicBrainzLookup, FiftyMegabyteAnswersAreRefusedUnread) {
  SimService sim;
  Lookup l(sim.Url());
  for (const char* id : {"huge-50mb-disc-id-----------", "huge-chunked-disc-id--------"}) {
    const auto start = Clock::now();
    const LookupResult r = l.lookup.LookUpDisc(Disc(id));
    EXPECT_EQ(r.outcome, LookupOutcome::TooLarge) << id << ": " << OutcomeName(r.outcome) << " " << r.detail;
    EXPECT_TRUE(r.reply.releases.empty());
    // Refused within the request spacing and a short read, not after 50 MB.
    EXPECT_LT(Clock::now() - start, milliseconds(3000)) << id;
  }
}

TEST(MusicBrainzLookup, ConnectionFailures) {
  {
    test::RefusedPort refused;
    Lookup l("http://127.0.0.1:" + std::to_string(refused.Port()));
    const LookupResult r = l.lookup.LookUpDisc(kRock);
    EXPECT_EQ(r.outcome, LookupOutcome::CannotConnect) << OutcomeName(r.outcome);
    EXPECT_FALSE(r.detail.empty());
  }
  {
    // Accepts, reads the request and never answers.
    test::LoopbackServer silent(test::ServerScript().Hang());
    Lookup l(silent.Url(""), milliseconds(400));
    const auto start = Clock::now();
    const LookupResult r = l.lookup.LookUpDisc(kRock);
    EXPECT_EQ(r.outcome, LookupOutcome::TimedOut) << OutcomeName(r.outcome);
    EXPECT_LT(Clock::now() - start, milliseconds(2500));
  }
  {
    // Redirects to itself without end.
    test::LoopbackServer loop(test::ServerScript().Send(
        test::HttpReply(302, "", {"Location: http://127.0.0.1:{port}/ws/2/discid/x", "Content-Length: 0"})));
    Lookup l("http://127.0.0.1:" + std::to_string(loop.Port()));
    const LookupResult r = l.lookup.LookUpDisc(kRock);
    EXPECT_EQ(r.outcome, LookupOutcome::HttpError) << OutcomeName(r.outcome);
    EXPECT_LE(loop.Connections(), kMaxRedirects + 1);
  }
}

TEST(MusicBrainzLookup, RequestsAreAtLeastASecondApart) {
  SimService sim;
  Lookup l(sim.Url());
  Lookup other(sim.Url());  // a second lookup object shares the same clock
  std::vector<Clock::time_point> started;
  for (DiscLookup* lookup : {&l.lookup, &l.lookup, &other.lookup}) {
    started.push_back(Clock::now());
    ASSERT_EQ(lookup->LookUpDisc(kRock).outcome, LookupOutcome::Found);
  }
  const auto requests = sim.Requests();
  ASSERT_EQ(requests.size(), 3u);
  // A request goes out no sooner than a second after the one before it, which
  // itself went out after its lookup started. (Arrival times alone would
  // also carry the scheduling delays of a loaded machine.)
  for (std::size_t i = 1; i < requests.size(); ++i)
    EXPECT_GE(requests[i].at - started[i - 1], milliseconds(1000)) << i;
}

TEST(MusicBrainzLookup, BusyServerIsAskedAgainAfterItsRetryAfter) {
  SimService sim;
  CountingPump pump;
  Lookup l(sim.Url());
  const auto started = Clock::now();
  const LookupResult r = l.lookup.LookUpDisc(Disc("busy-once-disc-id-----------"));
  ASSERT_EQ(r.outcome, LookupOutcome::Found) << OutcomeName(r.outcome) << " " << r.detail;
  EXPECT_EQ(r.attempts, 2);
  const auto requests = sim.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_GE(requests[1].at - started, milliseconds(1000));
  // The window kept being pumped while it waited (every 10 ms or so).
  EXPECT_GT(pump.runs, 20);
}

TEST(MusicBrainzLookup, EndlessBusyServerEndsWithinTheBound) {
  SimService sim;
  shell::ShellModel model;
  DiscLookup lookup(model, LookupSettings{sim.Url(), "", milliseconds(5000), milliseconds(2500)});
  auto start = Clock::now();
  LookupResult r = lookup.LookUpDisc(Disc("busy-forever-disc-id--------"));
  EXPECT_EQ(r.outcome, LookupOutcome::Busy) << OutcomeName(r.outcome);
  // Two waits of a second fit in 2.5 s; the third request's 503 ends it.
  EXPECT_EQ(r.attempts, 3);
  EXPECT_LT(Clock::now() - start, milliseconds(4000));
  EXPECT_EQ(sim.Requests().back().userAgent, "Sonolabel/1.311");

  // A Retry-After beyond the bound is not waited for at all.
  start = Clock::now();
  r = lookup.LookUpDisc(Disc("busy-long-disc-id-----------"));
  EXPECT_EQ(r.outcome, LookupOutcome::Busy);
  EXPECT_EQ(r.attempts, 1);
  EXPECT_LT(Clock::now() - start, milliseconds(2500));
}

TEST(MusicBrainzLookup, WhileItWaitsAnotherCommandIsRefusedAndAbortEndsIt) {
  SimService sim;
  CountingPump pump;
  Lookup l(sim.Url());
  LookupResult nested;
  bool nestedRan = false;
  const auto start = Clock::now();
  pump.onPump = [&] {
    // A click that starts another lookup while this one waits.
    if (!nestedRan) {
      nestedRan = true;
      nested = l.lookup.LookUpDisc(kRock);
      EXPECT_TRUE(l.model.CommandRunning());
    }
    if (Clock::now() - start > milliseconds(300)) l.lookup.Abort();
  };
  const LookupResult r = l.lookup.LookUpDisc(Disc("busy-forever-disc-id--------"));
  EXPECT_TRUE(nestedRan);
  EXPECT_EQ(nested.outcome, LookupOutcome::CommandRunning);
  EXPECT_EQ(nested.attempts, 0);
  EXPECT_EQ(r.outcome, LookupOutcome::Aborted) << OutcomeName(r.outcome);
  EXPECT_LT(Clock::now() - start, milliseconds(1500));
  EXPECT_FALSE(l.model.CommandRunning());
  // A later lookup starts afresh.
  pump.onPump = nullptr;
  EXPECT_EQ(l.lookup.LookUpDisc(kRock).outcome, LookupOutcome::Found);
}

}  // namespace
}  // namespace sl::musicbrainz
