#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Status replies of a game server are backslash-separated text: \key\value\key\value...
// Replies that come back through a tunnel's query port are edited so that server browsers
// list the tunnelled server under a tagged name, at the tunnel's address and port.
namespace gw {

inline constexpr std::string_view kHostNamePrefix = "[Gatewarden 3.0] ";

// The value of the first \key\ (matched case-sensitively), up to the next backslash or the
// end of the text; empty when the key is absent.
std::string_view GetQueryValue(std::string_view text, std::string_view key);

// Replaces the value of the first \key\ with `value`; nothing happens when the key is absent.
void SetQueryValue(std::string& text, std::string_view key, std::string_view value);

// Rewrites a status reply in place: the text is cut at its first zero byte, the host name
// gets the prefix, "hostip" becomes `serverHost` and "hostport" the tunnel's listen port.
void RewriteQueryReply(std::string& reply, std::string_view serverHost, int listenPort);

// A datagram that carries a reply's marks (\final\ or \queryid\) rather than a query's:
// arriving at a query port it comes from another server's query port, or a relay's, and
// relaying it would have our server answer a server, which answers back without end.
bool LooksLikeQueryReply(std::string_view datagram);

// The most a reply can grow by RewriteQueryReply, so a buffer can be sized once.
std::size_t QueryReplyGrowth(std::string_view serverHost);

} // namespace gw
