#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace gw {

// Every limit of the remote control, with its reason. The remote control is open to anyone
// who can reach its port; a stranger is a connection that never carried the password.
struct TRemoteLimits {
  // --- The listener
  // Pending connections the system keeps for us, as Windows Sockets programs ask.
  static constexpr int kBacklog = 5;
  // Connections accepted per wake-up, so a burst of connections cannot starve the relays.
  static constexpr int kMaxAcceptsPerWakeup = 64;
  // Rest after a failed accept (out of descriptors), rather than spin on the connection
  // that keeps waiting.
  static constexpr std::chrono::milliseconds kAcceptPause{1000};

  // --- Connections
  // At once: room for several administrators' tools, while all that strangers can hold
  // stays a small share of the descriptors. Admission is one decision: with a slot to
  // spare anyone is in and stays, silent or not, as the protocol never closes a
  // connection; with every slot taken a stranger's slot goes to the newcomer (see below),
  // so a newcomer always gets its turn to send the password.
  static constexpr std::size_t kMaxConnections = 32;
  // With every slot taken, a stranger's newcomer from a /24 network (where one attacker's
  // addresses usually lie) that holds this many strangers' slots takes one of its own
  // network's; other newcomers take one from the network holding the most. Connections
  // that carried the password do not count: a LAN's launchers may all stay connected.
  static constexpr std::size_t kMaxConnectionsPerNetwork = 8;
  static constexpr uint32_t kNetworkMask = 0xFFFFFF00;  // host byte order
  // A newcomer's turn to send its first message: a tool sends its request as soon as it
  // is connected, and slow links need a few round trips. Past it, a silent connection's
  // slot goes to a newcomer as readily as one that carried only wrong passwords; within
  // it, only after those, and one whose first message waits for its answer goes last.
  static constexpr std::chrono::seconds kFirstMessageTurn{5};
  // What one connection may hold while its address waits after a wrong password: a
  // request is a few dozen bytes, so more is a try at the memory; past it the connection
  // is closed.
  static constexpr std::size_t kMaxWaitingMessages = 16;
  static constexpr std::size_t kMaxWaitingBytes = 16384;
  // Longer server hosts are refused: no name is that long.
  static constexpr std::size_t kMaxHostLength = 255;

  // --- Messages
  // A message is whatever one read of its connection brings, as long as the system's queue
  // for it. Its fields past the command are read as far as this, and in a create's target
  // what follows a scheme ("x://"), and the port, as far as that: a request is a few dozen
  // bytes and is never cut, while a message of megabytes costs at most this much per copy
  // of a field, and a host past kMaxHostLength is refused anyway.
  static constexpr std::size_t kMaxRestLength = 100000;
  static constexpr std::size_t kMaxArgumentPart = 50000;

  // --- Password guessing, per address
  // After a wrong password the address waits before its next message is handled, a wait
  // that doubles with each failure of the last minute: a mistyping administrator barely
  // notices, a guesser gets a few tries a minute.
  static constexpr std::chrono::milliseconds kFirstWait{250};
  static constexpr std::chrono::milliseconds kLongestWait{8000};
  static constexpr std::chrono::seconds kWindow{60};
  // Ten failures within a minute are no typing mistake: the address is locked out.
  static constexpr int kLockOutAfter = 10;
  static constexpr std::chrono::seconds kLockOut{300};

  // --- Password guessing, all addresses together
  // One wrong password per 20 ms (50 a second) with up to 25 at once, far above what
  // administrators mistyping need and far below what a search of passwords would; a
  // stranger's message waits while the budget is spent, so rotating addresses gains nothing.
  static constexpr std::chrono::milliseconds kGuessInterval{20};
  static constexpr int kGuessBurst = 25;
  // Guard records kept at most. The budget makes more than about 50 a second over the
  // minute's window, plus those locked out, impossible; past the bound the record nearest
  // its end goes.
  static constexpr std::size_t kMaxGuardRecords = 8192;
  // Addresses that gave the password, most recent kept: they skip the common budget and
  // their connections are never given to a newcomer, so a crowd of strangers does not shut
  // the administrator out.
  static constexpr std::size_t kMaxKnownAddresses = 64;

  // --- The log
  // Lines about one source address (connections, refusals, bad passwords): the first 3 of a
  // minute per source and 30 of all sources are written, the rest counted and summed up
  // when the minute is over.
  static constexpr int kLinesPerSource = 3;
  static constexpr int kLinesInAll = 30;
  static constexpr std::chrono::seconds kLinePeriod{60};
  // Strangers' connections closed to make room are summed up in one line at most this often.
  static constexpr std::chrono::seconds kSummaryPeriod{10};
};

} // namespace gw
