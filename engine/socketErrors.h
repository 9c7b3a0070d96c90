#pragma once

#include <cerrno>
#include <string>

// Socket failures are reported with the classic Windows Sockets error numbers and texts,
// the numbers that users and the log know (10048 "Address already in use", ...).
namespace gw {

// Code for "Connection reset by peer": never logged.
inline constexpr int kConnectionReset = 10054;
inline constexpr int kMessageTooLong = 10040;
inline constexpr int kAddressNotAvailable = 10049;
inline constexpr int kInvalidArgument = 10022;

// A non-blocking call found nothing to do; not a failure.
inline bool WouldBlock(int err) { return err == EAGAIN || err == EWOULDBLOCK; }

// The text of a socket error number; "Not a WinSock error" for any other number.
const char* ErrorText(int code);

// Maps a POSIX errno value onto its socket error number. An errno without a counterpart
// keeps its own value, which reads as "Not a WinSock error".
int SocketErrorFromErrno(int err);

} // namespace gw
