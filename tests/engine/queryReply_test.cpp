#include "queryReply.h"

#include <gtest/gtest.h>

#include <string>

namespace gw {
namespace {

std::string Rewritten(std::string reply, std::string_view host = "10.0.0.5", int listenPort = 8000) {
  RewriteQueryReply(reply, host, listenPort);
  return reply;
}

TEST(QueryReply, RewritesNameAddressAndPort) {
  EXPECT_EQ(Rewritten(R"(\hostname\Frag Fest\hostport\7777\hostip\10.0.0.5\gametype\DM)"),
            R"(\hostname\[Gatewarden 3.0] Frag Fest\hostport\8000\hostip\10.0.0.5\gametype\DM)");
  EXPECT_EQ(Rewritten(R"(\hostip\1.2.3.4\x\y)", "ut.example.org"), R"(\hostip\ut.example.org\x\y)");
}

TEST(QueryReply, EmptyHostNameBecomesThePrefixAlone) {
  EXPECT_EQ(Rewritten(R"(\hostname\\hostport\7777)"), R"(\hostname\[Gatewarden 3.0] \hostport\8000)");
}

TEST(QueryReply, MissingKeysAreLeftAlone) {
  EXPECT_EQ(Rewritten(R"(\gametype\DM\hostport\7777)"), R"(\gametype\DM\hostport\8000)");
  EXPECT_EQ(Rewritten(R"(\gametype\DM\numplayers\3)"), R"(\gametype\DM\numplayers\3)");
  EXPECT_EQ(Rewritten("not a status reply"), "not a status reply");
}

TEST(QueryReply, OnlyTheFirstOccurrenceChanges) {
  EXPECT_EQ(Rewritten(R"(\hostport\7777\hostport\7777)"), R"(\hostport\8000\hostport\7777)");
}

TEST(QueryReply, ValueAtTheEndRunsToTheEnd) {
  EXPECT_EQ(Rewritten(R"(\gametype\DM\hostport\7777)"), R"(\gametype\DM\hostport\8000)");
  EXPECT_EQ(Rewritten(R"(\hostname\Last)"), R"(\hostname\[Gatewarden 3.0] Last)");
}

TEST(QueryReply, KeysMatchCaseSensitively) {
  EXPECT_EQ(Rewritten(R"(\HostName\Frag\HOSTPORT\7777)"), R"(\HostName\Frag\HOSTPORT\7777)");
}

TEST(QueryReply, KeyMustBeWholeBetweenBackslashes) {
  // "hostportx" and a value that merely reads "hostport" are not the key.
  EXPECT_EQ(Rewritten(R"(\hostportx\1\a\hostport)"), R"(\hostportx\1\a\hostport)");
  EXPECT_EQ(Rewritten(R"(\a\hostport\7777)"), R"(\a\hostport\8000)");
}

TEST(QueryReply, TextIsCutAtTheFirstZeroByte) {
  std::string reply = std::string(R"(\hostport\7777)") + '\0' + R"(\hostname\Hidden)";
  EXPECT_EQ(Rewritten(reply), R"(\hostport\8000)");
  EXPECT_EQ(Rewritten(std::string("abc\0def", 7)), "abc");
}

TEST(QueryReply, ReplyThatOutgrowsTheReceiveBufferIsKeptWhole) {
  // 2999 bytes in, which the prefix and a long host name push well past 3000.
  const std::string host(200, 'h');
  const std::string head = R"(\hostname\N\hostip\1.2.3.4\hostport\7777\pad\)";
  const std::string padding(2999 - head.size(), 'p');
  const std::string reply = head + padding;
  const std::string expected =
      R"(\hostname\[Gatewarden 3.0] N\hostip\)" + host + R"(\hostport\8000\pad\)" + padding;
  std::string rewritten = reply;
  rewritten.reserve(reply.size() + QueryReplyGrowth(host));
  const auto* storage = rewritten.data();
  RewriteQueryReply(rewritten, host, 8000);
  EXPECT_EQ(rewritten, expected);
  EXPECT_EQ(rewritten.data(), storage) << "the reserved buffer must be enough";
}

TEST(QueryReply, ValueLookup) {
  EXPECT_EQ(GetQueryValue(R"(\a\1\b\2)", "b"), "2");
  EXPECT_EQ(GetQueryValue(R"(\a\\b\2)", "a"), "");
  EXPECT_EQ(GetQueryValue(R"(\a\1)", "c"), "");
  EXPECT_EQ(GetQueryValue(R"(\a)", "a"), "");
}

// What master servers send a game's query port is relayed; only a reply's marks are not.
TEST(QueryReply, MastersQueriesDoNotLookLikeReplies) {
  for (const char* query : {R"(\secure\HWJDXX)", R"(\basic\\secure\wookie)", R"(\basic\\info\)", R"(\status\)"})
    EXPECT_FALSE(LooksLikeQueryReply(query)) << query;
  EXPECT_TRUE(LooksLikeQueryReply(R"(\validate\8Qa7Kd3v\final\\queryid\1.1)"));
}

} // namespace
} // namespace gw
