#pragma once

#include "context.h"
#include "iniFile.h"
#include "masters.h"
#include "server.h"

#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <unordered_set>
#include <vector>

namespace gw {

// A settings file that cannot be used as it is: an entry of [Tunnels] that does not read as
// a tunnel, a port that is none or that two sockets would need, or more tunnels than the
// descriptor limit lets the program serve. Each reason is one line of the text. The program
// does not start on it and leaves the file alone.
class TSettingsError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// What a reload of the settings leaves to the tunnel manager.
struct TReloaded {
  // Tunnels whose endpoints can serve on as they are: the unchanged ones, unless AddPort
  // changed.
  std::unordered_set<const TServer*> Serving;
  // Tunnels that left the file, still open: freeing many thousand at once would hold the
  // other tunnels' players up.
  std::vector<std::unique_ptr<TServer>> Departed;
};

// [Metrics]: where the headless program serves its counters to Prometheus. The desktop
// program ignores the section; Save leaves it as the administrator wrote it.
struct TMetricsSettings {
  // 0: the endpoint is off.
  int Port = 0;
  std::string Address = "127.0.0.1";
  // Why the section cannot be served as written, naming the file and the entry; empty when
  // it can. The headless program neither starts nor reloads on such a section.
  std::string Problem;

  bool operator==(const TMetricsSettings&) const = default;
};

// The program's options and its static tunnels, kept in the settings file. One per process;
// it owns the static tunnels, which it creates (not started) when it loads.
class TConfig {
public:
  // Loads the file; a missing file gives the defaults and no tunnels (and is not created),
  // unless `ifMissing` makes it an error. Raises TIniReadError for a file that does not read,
  // TSettingsError for a rejected tunnel entry or more tunnels than descriptors.
  TConfig(TEngineContext& engine, const std::filesystem::path& path, TIfMissing ifMissing = TIfMissing::ReadEmpty);
  TConfig(const TConfig&) = delete;
  TConfig& operator=(const TConfig&) = delete;

  // Writes every option and the tunnels as Server0, Server1, ... in one atomic replacement
  // of the file; raises TIniWriteError "Unable to write to <path>", leaving file and memory
  // as they were.
  void Save();
  // Reads the file again: the options and the list of static tunnels take its values. A
  // tunnel whose line is unchanged stays the same object, with its relays; new ones are
  // created unstarted, and the others leave the list (see TReloaded). A file that is missing
  // or does not read, or whose [Metrics] cannot be served, raises TIniReadError or
  // TSettingsError and changes nothing.
  TReloaded Reload();
  // The UDP sockets the static tunnels hold.
  int StaticSockets() const { return Count() * (AddPort ? 2 : 1); }
  // Why remote control must not be opened with this password ("empty", "the default one"),
  // or null: anyone could make tunnels with it.
  const char* GuessablePassword() const;

  int Count() const { return static_cast<int>(Tunnels.size()); }
  // An index outside 0 to Count() - 1 raises std::out_of_range.
  TServer& Items(int index);
  // A new static tunnel, not yet in the list, not started.
  std::unique_ptr<TServer> CreateTunnel() const { return std::make_unique<TServer>(engine_); }
  // Takes the tunnel over, unstarted and unsaved; returns its index.
  int Add(std::unique_ptr<TServer> tunnel);
  // Frees the tunnel (its sockets close and its relays go, without log lines).
  void Delete(int index);
  // Why a tunnel on `listenPort` could never serve its query port: with AddPort it is past
  // 65535. Empty when it can. A port another tunnel holds is no such problem: a Reload, which
  // knows the whole list, tells the tunnel that cannot bind, and two tunnels may swap their
  // ports with two edits and one Reload.
  std::string PortProblem(int listenPort) const;
  const std::filesystem::path& Path() const { return file_.Path(); }

  bool AddPort = true;
  bool Static = true;
  bool Temporary = true;
  static constexpr const char* kDefaultPassword = "moonbeam";
  std::string Password = kDefaultPassword;
  // What the remote control listens on, and the temporary tunnels' range, when the file
  // does not say.
  static constexpr int kDefaultPort = 23817;
  static constexpr int kDefaultFromPort = 8000;
  static constexpr int kDefaultToPort = 9000;
  int Port = kDefaultPort;
  int FromPort = kDefaultFromPort;
  int ToPort = kDefaultToPort;
  // [General] FastPath: relay established clients in the kernel (needs CAP_BPF and
  // CAP_NET_ADMIN). Read only: Save leaves the entry as the administrator wrote it. The
  // value of the start, which a Reload keeps: the tunnels' relays are in the kernel's table
  // or not, and moving every one of them is a restart's work.
  bool FastPath = false;
  // What the file said at the last Load or Reload; differs from FastPath until a restart.
  bool FileFastPath = false;
  TMetricsSettings Metrics;
  // [Masters]: the master servers static tunnels are announced to. Read only: Save leaves
  // the section as the administrator wrote it.
  TMastersSettings Masters;
  // What the file holds that reads otherwise than it may seem to, or not at all (a key the
  // program does not know, a number that does not convert): the file serves all the same.
  // Its clashes (below) are among them.
  std::vector<std::string> Warnings;
  // Ports that two tunnels ask for (a tunnel on another's port or query port, or the same
  // entry name twice, which reads the first entry's value both times), a query port past
  // 65535, a temporary range with FromPort above ToPort (every temporary tunnel then takes
  // FromPort): a start serves what it can and tells the rest, as each tunnel that cannot
  // bind tells its own failure; a check or a reload of the file refuses it (RefuseClashes).
  std::vector<std::string> Clashes;
  // Numbers and booleans that do not read, where a start takes the key's default (a typing
  // error, or a comment after the value, which the format does not know): told at start
  // among the warnings, refused by a check or a reload (RefuseClashes).
  std::vector<std::string> Unreadable;
  // Raises TSettingsError naming every value that does not read and every clash, if there
  // is one.
  void RefuseClashes() const;

  // Descriptors the process needs besides the tunnels' sockets and the players' reserve:
  // the standard streams, the loop's own, the remote control's listener and its
  // connections (TRemoteLimits::kMaxConnections), with room to spare.
  static constexpr int kProcessDescriptors = 64;
  // Clients that can have a relay at once, with the descriptor limit as it stands and
  // `besides` descriptors taken by other parts (the metrics endpoint).
  int64_t RoomForClients(int besides) const;

private:
  void Load(TIfMissing ifMissing);
  // A file whose tunnels would take the descriptors every player needs is refused.
  void CheckDescriptors() const;
  // Ports that clash and a temporary range with FromPort above ToPort are clashes; static
  // ports inside the temporary range are a warning: temporary tunnels pass them over.
  void CheckPorts(const std::vector<std::string>& keys, std::vector<std::string>& clashes,
                  std::vector<std::string>& warnings) const;
  void CheckIndex(int index) const;

  TEngineContext& engine_;
  TIniFile file_;
  std::vector<std::unique_ptr<TServer>> Tunnels;
};

} // namespace gw
