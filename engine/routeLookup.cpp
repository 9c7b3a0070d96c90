#include "routeLookup.h"

#include "presenter.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <utility>

namespace gw {

std::optional<TRoute> RouteTo(uint32_t address, std::string& failure) {
  const TFd fd(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
  if (!fd.Valid()) {
    failure = std::string("route lookup: ") + std::strerror(errno);
    return std::nullopt;
  }
  struct {
    nlmsghdr Header;
    rtmsg Route;
    rtattr Attribute;
    uint32_t Destination;
  } request{};
  request.Header.nlmsg_len = sizeof request;
  request.Header.nlmsg_type = RTM_GETROUTE;
  request.Header.nlmsg_flags = NLM_F_REQUEST;
  request.Route.rtm_family = AF_INET;
  request.Route.rtm_dst_len = 32;
  request.Attribute.rta_type = RTA_DST;
  request.Attribute.rta_len = RTA_LENGTH(sizeof(uint32_t));
  request.Destination = address;
  if (::send(fd.Get(), &request, sizeof request, 0) < 0) {
    failure = std::string("route lookup: ") + std::strerror(errno);
    return std::nullopt;
  }

  // The answer about one route is some hundred bytes; a page holds it whole, and a longer
  // one, cut, is told as a short answer below.
  constexpr std::size_t kAnswerBytes = 4096;
  alignas(nlmsghdr) char answer[kAnswerBytes];
  const ssize_t length = ::recv(fd.Get(), answer, sizeof answer, 0);
  if (length < 0) {
    failure = std::string("route lookup: ") + std::strerror(errno);
    return std::nullopt;
  }
  const auto* header = reinterpret_cast<const nlmsghdr*>(answer);
  if (!NLMSG_OK(header, static_cast<unsigned>(length))) {
    failure = "route lookup: a short answer";
    return std::nullopt;
  }
  if (header->nlmsg_type == NLMSG_ERROR) {
    const auto* error = static_cast<const nlmsgerr*>(NLMSG_DATA(header));
    failure = std::string("no route: ") + std::strerror(-error->error);
    return std::nullopt;
  }
  const auto* route = static_cast<const rtmsg*>(NLMSG_DATA(header));
  TRoute found;
  found.Local = route->rtm_type == RTN_LOCAL;
  int left = static_cast<int>(RTM_PAYLOAD(header));
  for (const rtattr* attribute = RTM_RTA(route); RTA_OK(attribute, left); attribute = RTA_NEXT(attribute, left)) {
    if (attribute->rta_type == RTA_OIF) std::memcpy(&found.Interface, RTA_DATA(attribute), sizeof found.Interface);
    if (attribute->rta_type == RTA_PREFSRC) std::memcpy(&found.Source, RTA_DATA(attribute), sizeof found.Source);
  }
  if (found.Interface == 0 || found.Source == 0) {
    failure = "route lookup: no interface or source address in the answer";
    return std::nullopt;
  }
  return found;
}

std::string TRouteWatch::Start(uv_loop_t* loop) {
  fd_ = TFd(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE));
  sockaddr_nl address{};
  address.nl_family = AF_NETLINK;
  address.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV4_ROUTE;
  if (!fd_.Valid() || ::bind(fd_.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
    return std::string("cannot watch the routes: ") + std::strerror(errno);
  if (const int status = StartPolling(loop, fd_.Get(), this, &TRouteWatch::OnReadable, poll_))
    return std::string("cannot watch the routes: ") + uv_strerror(status);
  return {};
}

void TRouteWatch::OnReadable(uv_poll_t* handle, int, int) {
  auto* self = static_cast<TRouteWatch*>(handle->data);
  if (!self) return;
  // What changed is looked up again where it matters; the announcements themselves are only
  // a sign. ENOBUFS: some were lost, which is a change too.
  bool changed = false;
  char discarded[8192];
  for (;;) {
    const ssize_t length = ::recv(self->fd_.Get(), discarded, sizeof discarded, 0);
    if (length >= 0 || errno == ENOBUFS) {
      changed = true;
      continue;
    }
    if (errno != EINTR) break;
  }
  if (changed) RunGuarded([&] { self->changed_(); });
}

} // namespace gw
