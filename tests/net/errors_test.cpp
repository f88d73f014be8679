#include <gtest/gtest.h>
#include <netdb.h>

#include <cerrno>
#include <chrono>
#include <set>
#include <thread>

#include "net/deadline_timer.h"
#include "net/errors.h"

namespace sl::net {
namespace {

TEST(ErrorText, TableTextsAndUnknownCodes) {
  EXPECT_EQ(ErrorText(10061), "10061:Connection refused");
  EXPECT_EQ(ErrorText(10004), "10004:Interrupted system call");
  EXPECT_EQ(ErrorText(10047), "10047:Address family not supported by protocol family");
  EXPECT_EQ(ErrorText(10093), "10093:Successful WSAStartup not yet performed");
  EXPECT_EQ(ErrorText(11003), "11003:Non-Recoverable error: FORMERR, REFUSED, NOTIMP");
  EXPECT_EQ(ErrorText(11004), "11004:Valid name, no data record of requested type");

  // Every code of the table has its own text; the closing 0 entry is never
  // looked up, and codes in the gaps are unknown.
  const int codes[] = {10004, 10009, 10013, 10014, 10022, 10024, 10035, 10036, 10037, 10038,
                       10039, 10040, 10041, 10042, 10043, 10044, 10045, 10046, 10047, 10048,
                       10049, 10050, 10051, 10052, 10053, 10054, 10055, 10056, 10057, 10058,
                       10059, 10060, 10061, 10062, 10063, 10064, 10065, 10066, 10067, 10068,
                       10069, 10070, 10071, 10091, 10092, 10093, 11001, 11002, 11003, 11004};
  std::set<std::string> texts;
  for (int code : codes) {
    const std::string t = ErrorText(code);
    EXPECT_EQ(t.rfind(std::to_string(code) + ":", 0), 0u) << t;
    EXPECT_EQ(t.find("Unknown"), std::string::npos) << t;
    texts.insert(t);
  }
  EXPECT_EQ(texts.size(), 50u);
  EXPECT_EQ(ErrorText(0), "Unknown Error No. 0");
  EXPECT_EQ(ErrorText(10072), "Unknown Error No. 10072");
  EXPECT_EQ(ErrorText(-5), "Unknown Error No. -5");
}

TEST(ErrorText, SystemErrorsMapOntoWinsockCodes) {
  EXPECT_EQ(WinsockCodeFromErrno(0), 0);
  EXPECT_EQ(ErrorText(WinsockCodeFromErrno(ECONNREFUSED)), "10061:Connection refused");
  EXPECT_EQ(WinsockCodeFromErrno(ETIMEDOUT), 10060);
  EXPECT_EQ(WinsockCodeFromErrno(EWOULDBLOCK), kWsaEWouldBlock);
  EXPECT_EQ(WinsockCodeFromErrno(EAGAIN), kWsaEWouldBlock);
  EXPECT_EQ(WinsockCodeFromErrno(EINPROGRESS), 10036);
  EXPECT_EQ(WinsockCodeFromErrno(ENOTCONN), kWsaENotConn);
  EXPECT_EQ(WinsockCodeFromErrno(ECONNRESET), 10054);
  EXPECT_EQ(WinsockCodeFromErrno(EPIPE), 10058);
  EXPECT_EQ(WinsockCodeFromErrno(ENETUNREACH), 10051);
  EXPECT_EQ(WinsockCodeFromErrno(EHOSTUNREACH), 10065);
  EXPECT_EQ(WinsockCodeFromErrno(EADDRINUSE), 10048);
  EXPECT_EQ(WinsockCodeFromErrno(EMFILE), 10024);
  // Errors without a counterpart must still count as errors (above 10000)
  // and must not pose as a code of the table.
  const int unknown = WinsockCodeFromErrno(EROFS);
  EXPECT_GT(unknown, 10000);
  EXPECT_EQ(ErrorText(unknown).rfind("Unknown Error No. ", 0), 0u);

  EXPECT_EQ(WinsockCodeFromGaiError(0), 0);
  EXPECT_EQ(WinsockCodeFromGaiError(EAI_NONAME), 11001);
  EXPECT_EQ(WinsockCodeFromGaiError(EAI_AGAIN), 11002);
  EXPECT_EQ(WinsockCodeFromGaiError(EAI_FAIL), 11003);
}

TEST(DeadlineTimer, FiresOnlyWhenArmedAndDue) {
  int fired = 0;
  DeadlineTimer t;
  // Enabled by default, but nothing to call yet: not armed.
  EXPECT_EQ(t.Remaining(), -1);
  t.SetInterval(40);
  t.SetOnTimer([&] { ++fired; });
  EXPECT_GE(t.Remaining(), 30);
  t.Check();
  EXPECT_EQ(fired, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(t.Remaining() + 1));
  t.Check();
  EXPECT_EQ(fired, 1);
  t.Check();  // re-armed for the next interval, not due again at once
  EXPECT_EQ(fired, 1);

  t.SetEnabled(false);
  EXPECT_EQ(t.Remaining(), -1);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  t.Check();
  EXPECT_EQ(fired, 1);

  // Interval 0 means never.
  t.SetInterval(0);
  t.SetEnabled(true);
  EXPECT_EQ(t.Remaining(), -1);

  // Changing the interval re-arms from now.
  t.SetInterval(10000);
  EXPECT_GT(t.Remaining(), 9000);
}

}  // namespace
}  // namespace sl::net
