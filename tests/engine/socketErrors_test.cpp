#include "loopHarness.h"
#include "presenter.h"
#include "recordingPresenter.h"
#include "repeatedLog.h"
#include "socketErrors.h"
#include "udpSocket.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace gw {
namespace {

TEST(SocketErrors, TextsOfKnownAndUnknownNumbers) {
  EXPECT_STREQ(ErrorText(10004), "Interrupted system call");
  EXPECT_STREQ(ErrorText(10048), "Address already in use");
  EXPECT_STREQ(ErrorText(10059), "Too many references: can't splice");
  EXPECT_STREQ(ErrorText(11004), "No Data");
  EXPECT_STREQ(ErrorText(0), "Not a WinSock error");
  EXPECT_STREQ(ErrorText(10000), "Not a WinSock error");
  EXPECT_STREQ(ErrorText(11005), "Not a WinSock error");
}

TEST(SocketErrors, ErrnoMapsOntoSocketNumbers) {
  EXPECT_EQ(SocketErrorFromErrno(EADDRINUSE), 10048);
  EXPECT_EQ(SocketErrorFromErrno(EMSGSIZE), 10040);
  EXPECT_EQ(SocketErrorFromErrno(EADDRNOTAVAIL), 10049);
  EXPECT_EQ(SocketErrorFromErrno(EAGAIN), 10035);
  EXPECT_EQ(SocketErrorFromErrno(ECONNRESET), 10054);
  EXPECT_EQ(SocketErrorFromErrno(ECONNREFUSED), 10061);
  EXPECT_EQ(SocketErrorFromErrno(EACCES), 10013);
  EXPECT_EQ(SocketErrorFromErrno(EINVAL), 10022);
  EXPECT_EQ(SocketErrorFromErrno(EMFILE), 10024);
  EXPECT_EQ(SocketErrorFromErrno(ENFILE), 10024);
  EXPECT_EQ(SocketErrorFromErrno(ENOBUFS), 10055);
  EXPECT_EQ(SocketErrorFromErrno(ENETUNREACH), 10051);
  EXPECT_EQ(SocketErrorFromErrno(EHOSTUNREACH), 10065);
  // Every mapped number has a text of its own.
  for (int err = 1; err < 134; ++err) {
    const int code = SocketErrorFromErrno(err);
    if (code != err) {
      EXPECT_STRNE(ErrorText(code), "Not a WinSock error") << "errno " << err;
    }
  }
}

using test::TRecordingPresenter;

TEST(SocketErrors, ReportedTextFollowsTheMessageRule) {
  test::TTestContext context;
  TudpSocket socket(context.Loop());
  std::vector<std::pair<std::string, int>> reported;
  socket.OnError = [&](const std::string& msg, int num) { reported.emplace_back(msg, num); };

  socket.ReportError(10048);
  socket.ReportError(10035, "+Error while receiving.");
  socket.ReportError(10061, "Plain words");

  ASSERT_EQ(reported.size(), 3u);
  EXPECT_EQ(reported[0], std::make_pair(std::string("Address already in use"), 10048));
  EXPECT_EQ(reported[1].first, "Operation would block (Error while receiving.).");
  EXPECT_EQ(reported[2].first, "Plain words");
}

TEST(SocketErrors, WithoutHandlerTheMessageBoxTextIsShown) {
  test::TTestContext context;
  TRecordingPresenter presenter;
  TudpSocket socket(context.Loop());

  socket.ReportError(10048);

  ASSERT_EQ(presenter.Messages.size(), 1u);
  EXPECT_EQ(presenter.Messages[0],
            "Ugh I got an Error, and you don't write error handlers\r\nShame on you !!!!. Take a look at it :\r\n"
            "Address already in use (error number : 0x002740).\r\nAssign an OnError event handler !!!");
  EXPECT_TRUE(presenter.Errors.empty());
}

// The kernel's refusals of a second come as one count: a first one is the line, the rest
// its count, and a count of none writes nothing.
TEST(RepeatedLog, ACountOfSeveralIsTheLineThenTheRest) {
  test::TTestContext context;
  TRepeatedLog log(context);
  const auto line = [] { return std::string("refused"); };
  log.Write(0, line, 0);
  EXPECT_TRUE(context.Log.empty());
  log.Write(0, line, 5);
  log.Write(0, line, 7);
  context.ManualClock.Advance(TRepeatedLog::kSummaryInterval);
  TRepeatedLog::FlushAll(context.Now());
  EXPECT_EQ(context.Log, (std::vector<std::string>{"refused", "refused (11 more)"}));
}

TEST(Presenter, ErrorBoxAddsAFullStopOnlyAfterCharactersSortingAfterIt) {
  EXPECT_EQ(ErrorBoxText("'abc' is not a valid integer value"), "'abc' is not a valid integer value.");
  EXPECT_EQ(ErrorBoxText("Done."), "Done.");
  EXPECT_EQ(ErrorBoxText("Really!"), "Really!");
  EXPECT_EQ(ErrorBoxText("Unable to write to /x/gatewarden.ini"), "Unable to write to /x/gatewarden.ini.");
  EXPECT_EQ(ErrorBoxText(""), "");
}

TEST(Presenter, RunGuardedHandsARaisedErrorToThePresenter) {
  TRecordingPresenter presenter;
  bool after = false;
  RunGuarded([] { throw std::runtime_error("boom"); });
  RunGuarded([&] { after = true; });
  EXPECT_EQ(presenter.Errors, std::vector<std::string>{"boom"});
  EXPECT_TRUE(after);
}

} // namespace
} // namespace gw
