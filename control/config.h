#pragma once

#include "context.h"
#include "iniFile.h"
#include "server.h"

#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace gw {

// A settings file that cannot be used as it is: an entry of [Tunnels] that does not read as
// a tunnel. The program does not start on it and leaves the file alone.
class TSettingsError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// The program's options and its static tunnels, kept in the settings file. One per process;
// it owns the static tunnels, which it creates (not started) when it loads.
class TConfig {
public:
  // Loads the file; a missing file gives the defaults and no tunnels, and is not created.
  // Raises TSettingsError for a rejected tunnel entry.
  TConfig(TEngineContext& engine, const std::filesystem::path& path);
  TConfig(const TConfig&) = delete;
  TConfig& operator=(const TConfig&) = delete;

  // Writes every option and the tunnels as Server0, Server1, ... in one atomic replacement
  // of the file; raises TIniWriteError "Unable to write to <path>", leaving file and memory
  // as they were.
  void Save();
  // Reads the file again: the options and the list of static tunnels take its values. A
  // tunnel whose line is unchanged stays the same object, with its relays; the others are
  // freed, and new ones are created unstarted. A file that does not read raises
  // TIniReadError or TSettingsError and changes nothing.
  void Reload();

  int Count() const { return static_cast<int>(Tunnels.size()); }
  // An index outside 0 to Count() - 1 raises std::out_of_range.
  TServer& Items(int index);
  // A new static tunnel, not yet in the list, not started.
  std::unique_ptr<TServer> CreateTunnel() const { return std::make_unique<TServer>(engine_); }
  // Takes the tunnel over, unstarted and unsaved; returns its index.
  int Add(std::unique_ptr<TServer> tunnel);
  // Frees the tunnel (its sockets close and its relays go, without log lines).
  void Delete(int index);
  const std::filesystem::path& Path() const { return file_.Path(); }

  bool AddPort = true;
  bool Static = true;
  bool Temporary = true;
  std::string Password = "moonbeam";
  int Port = 23817;
  int FromPort = 8000;
  int ToPort = 9000;
  // [General] FastPath: relay established clients in the kernel (needs CAP_BPF and
  // CAP_NET_ADMIN). Read only: Save leaves the entry as the administrator wrote it.
  bool FastPath = false;

private:
  void Load();
  void CheckIndex(int index) const;

  TEngineContext& engine_;
  TIniFile file_;
  std::vector<std::unique_ptr<TServer>> Tunnels;
};

} // namespace gw
