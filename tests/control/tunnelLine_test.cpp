#include "intConv.h"
#include "loopHarness.h"
#include "tunnelLine.h"

#include <gtest/gtest.h>

namespace gw {
namespace {

struct TLineFixture : ::testing::Test {
  void ExpectParsed(std::string_view line, int listen, const std::string& host, int server) {
    TServer tunnel(Context);
    ParseTunnelLine(tunnel, line);
    EXPECT_EQ(tunnel.ListenPort, listen) << line;
    EXPECT_EQ(tunnel.ServerHost, host) << line;
    EXPECT_EQ(tunnel.ServerPort, server) << line;
  }
  // The conversion error's text, and the fields as the failed parse left them.
  std::string Rejected(std::string_view line, TServer& tunnel) {
    try {
      ParseTunnelLine(tunnel, line);
    } catch (const TConversionError& e) {
      return e.what();
    }
    ADD_FAILURE() << "accepted: " << line;
    return {};
  }
  test::TTestContext Context;
};

TEST_F(TLineFixture, ReadsTheTextForms) {
  ExpectParsed("7777 10.0.0.5:7778", 7777, "10.0.0.5", 7778);
  ExpectParsed(" \t 7777 10.0.0.5:7778 \r\n", 7777, "10.0.0.5", 7778);
  ExpectParsed("7777 10.0.0.5: 7778", 7777, "10.0.0.5", 7778);
  ExpectParsed("7777  10.0.0.5:7778", 7777, "10.0.0.5", 7778);
  ExpectParsed("7777\t10.0.0.5:7778", 7777, "10.0.0.5", 7778);
  ExpectParsed("7777 \t 10.0.0.5:7778", 7777, "10.0.0.5", 7778);
  ExpectParsed("7777 7778", 7777, "", 7778);
  ExpectParsed("$1E61 ut.example.org:-5", 7777, "ut.example.org", -5);
}

TEST_F(TLineFixture, RejectsPortsThatAreNoIntegersAndKeepsWhatWasSetBefore) {
  TServer tunnel(Context);
  tunnel.ServerHost = "old";
  EXPECT_EQ(Rejected("7777", tunnel), "'' is not a valid integer value");
  EXPECT_EQ(tunnel.ServerHost, "old");

  EXPECT_EQ(Rejected("7777 10.0.0.5", tunnel), "'10.0.0.5' is not a valid integer value");
  EXPECT_EQ(tunnel.ListenPort, 7777);
  EXPECT_EQ(tunnel.ServerHost, "");

  EXPECT_EQ(Rejected("7787 a:b:7778", tunnel), "'b:7778' is not a valid integer value");
  EXPECT_EQ(tunnel.ListenPort, 7787);
  EXPECT_EQ(tunnel.ServerHost, "a");
}

TEST_F(TLineFixture, WritesTheLineAsItIsRead) {
  TServer tunnel(Context);
  tunnel.ListenPort = 7777;
  tunnel.ServerHost = "10.0.0.5";
  tunnel.ServerPort = 7778;
  EXPECT_EQ(TunnelLine(tunnel), "7777 10.0.0.5:7778");
  tunnel.ListenPort = -5;
  tunnel.ServerPort = 70000;
  ExpectParsed(TunnelLine(tunnel), -5, "10.0.0.5", 70000);
}

} // namespace
} // namespace gw
