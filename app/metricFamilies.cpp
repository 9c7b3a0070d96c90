#include "metricFamilies.h"

#include "descriptorLimit.h"

#include <dirent.h>
#include <unistd.h>

#include <cstddef>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <unordered_map>

namespace gw {

namespace {

using prometheus::ClientMetric;
using prometheus::MetricFamily;
using prometheus::MetricType;
using TLabels = std::vector<ClientMetric::Label>;

MetricFamily Family(const char* name, const char* help, MetricType type) { return {name, help, type, {}}; }

void Add(MetricFamily& family, TLabels labels, double value) {
  ClientMetric metric;
  metric.label = std::move(labels);
  if (family.type == MetricType::Counter)
    metric.counter.value = value;
  else
    metric.gauge.value = value;
  family.metric.push_back(std::move(metric));
}

// A label value must be UTF-8, or Prometheus refuses the whole scrape; a server host comes
// from the settings or a remote command, in any bytes. Host names are printable ASCII, so
// nothing a real one holds is lost.
std::string LabelText(std::string_view text) {
  std::string label(text);
  for (char& c : label)
    if (c < ' ' || c > '~') c = '?';
  return label;
}

TLabels With(const TLabels& labels, const char* name, const char* value) {
  TLabels more = labels;
  more.push_back({name, value});
  return more;
}

// One family with a sample per cause, for every tunnel.
template <typename TCause>
void AddByCause(MetricFamily& family, const TLabels& labels, const char* label, const TByCause<TCause>& counts) {
  for (std::size_t i = 0; i < counts.Values.size(); ++i)
    Add(family, With(labels, label, CauseName(static_cast<TCause>(i))), static_cast<double>(counts.Values[i]));
}

void AddFlows(MetricFamily& datagrams, MetricFamily& bytes, const TLabels& labels, const TRelayCounts& traffic) {
  for (const auto& [direction, flow] : {std::pair{"to_server", traffic.ToServer}, {"to_client", traffic.ToClient}}) {
    Add(datagrams, With(labels, "direction", direction), static_cast<double>(flow.Datagrams));
    Add(bytes, With(labels, "direction", direction), static_cast<double>(flow.Bytes));
  }
}

template <typename TCause>
void AddUp(TByCause<TCause>& into, const TByCause<TCause>& other) {
  for (std::size_t i = 0; i < into.Values.size(); ++i) into.Values[i] += other.Values[i];
}

// Two tunnels of the same labels (the same line twice in the settings) would be one series
// twice, which Prometheus refuses: they are told as one, with their figures added up, so
// that sums over the series still hold.
std::vector<TTunnelSample> OnePerSeries(const std::vector<TTunnelSample>& tunnels) {
  std::vector<TTunnelSample> series;
  std::unordered_map<std::string, std::size_t> byLabels;
  for (const TTunnelSample& tunnel : tunnels) {
    const std::string key = std::to_string(tunnel.ListenPort) + " " + tunnel.Server + (tunnel.Temporary ? " t" : " s");
    const auto [found, added] = byLabels.try_emplace(key, series.size());
    if (added) {
      series.push_back(tunnel);
      continue;
    }
    TTunnelSample& into = series[found->second];
    into.Listening = into.Listening || tunnel.Listening;
    into.Watched = into.Watched || tunnel.Watched;
    into.ServerAnswering = into.ServerAnswering || tunnel.ServerAnswering;
    into.Announced = into.Announced || tunnel.Announced;
    into.Relays += tunnel.Relays;
    into.Traffic += tunnel.Traffic;
    into.Counts.TrialsMade += tunnel.Counts.TrialsMade;
    into.Counts.RelaysAnswered += tunnel.Counts.RelaysAnswered;
    into.Counts.RelaysEstablished += tunnel.Counts.RelaysEstablished;
    into.Counts.OverbusySeconds += tunnel.Counts.OverbusySeconds;
    AddUp(into.Counts.Closed, tunnel.Counts.Closed);
    AddUp(into.Counts.Refused, tunnel.Counts.Refused);
    AddUp(into.Counts.Dropped, tunnel.Counts.Dropped);
  }
  return series;
}

} // namespace

std::vector<MetricFamily> RelayFamilies(const TRelaySample& sample) {
  MetricFamily listening = Family("gatewarden_tunnel_listening", "1 while the tunnel's UDP port is bound", MetricType::Gauge);
  MetricFamily relays = Family("gatewarden_relays", "Relays in use whose server has answered", MetricType::Gauge);
  MetricFamily datagrams =
      Family("gatewarden_datagrams_total", "Datagrams relayed, by the sockets or the kernel", MetricType::Counter);
  MetricFamily bytes =
      Family("gatewarden_bytes_total", "UDP payload bytes relayed, by the sockets or the kernel", MetricType::Counter);
  MetricFamily trials =
      Family("gatewarden_trials_total", "Relays made for new client addresses, answered or not", MetricType::Counter);
  MetricFamily answered =
      Family("gatewarden_relays_answered_total", "Relays whose server answered (logged as connections)", MetricType::Counter);
  MetricFamily established = Family("gatewarden_relays_established_total",
                                    "Game relays whose client kept up the exchange past the first answer",
                                    MetricType::Counter);
  MetricFamily overbusy = Family("gatewarden_relay_overbusy_seconds_total",
                                 "Seconds in which a relay exchanged more datagrams both ways than a game client does",
                                 MetricType::Counter);
  MetricFamily closed = Family("gatewarden_relays_closed_total", "Relays closed, by reason", MetricType::Counter);
  MetricFamily refused =
      Family("gatewarden_clients_refused_total", "New client addresses given no relay, by cause", MetricType::Counter);
  MetricFamily dropped =
      Family("gatewarden_datagrams_dropped_total", "Client datagrams not relayed, by cause", MetricType::Counter);
  MetricFamily answering = Family("gatewarden_tunnel_server_answering",
                                  "1 while the tunnel's game server answers status queries (tunnels announced to "
                                  "masters only)",
                                  MetricType::Gauge);
  MetricFamily announced = Family("gatewarden_tunnel_announced",
                                  "1 while the tunnel's heartbeats reach a master server (tunnels announced to "
                                  "masters only)",
                                  MetricType::Gauge);
  for (const TTunnelSample& tunnel : OnePerSeries(sample.Tunnels)) {
    const TLabels labels{{"tunnel", std::to_string(tunnel.ListenPort)},
                         {"server", LabelText(tunnel.Server)},
                         {"kind", tunnel.Temporary ? "temporary" : "static"}};
    Add(listening, labels, tunnel.Listening ? 1 : 0);
    Add(relays, labels, tunnel.Relays);
    AddFlows(datagrams, bytes, labels, tunnel.Traffic);
    Add(trials, labels, static_cast<double>(tunnel.Counts.TrialsMade));
    Add(answered, labels, static_cast<double>(tunnel.Counts.RelaysAnswered));
    Add(established, labels, static_cast<double>(tunnel.Counts.RelaysEstablished));
    Add(overbusy, labels, static_cast<double>(tunnel.Counts.OverbusySeconds));
    AddByCause(closed, labels, "reason", tunnel.Counts.Closed);
    AddByCause(refused, labels, "cause", tunnel.Counts.Refused);
    AddByCause(dropped, labels, "cause", tunnel.Counts.Dropped);
    if (tunnel.Watched) {
      Add(answering, labels, tunnel.ServerAnswering ? 1 : 0);
      Add(announced, labels, tunnel.Announced ? 1 : 0);
    }
  }

  MetricFamily trialsNow =
      Family("gatewarden_trials", "Relays of all tunnels whose server has not answered yet", MetricType::Gauge);
  Add(trialsNow, {}, static_cast<double>(sample.Trials));
  double temporaries = 0;
  double statics = 0;
  for (const TTunnelSample& tunnel : sample.Tunnels) (tunnel.Temporary ? temporaries : statics) += 1;
  MetricFamily staticTunnels = Family("gatewarden_static_tunnels", "Static tunnels of the settings", MetricType::Gauge);
  Add(staticTunnels, {}, statics);
  MetricFamily temporaryTunnels =
      Family("gatewarden_temporary_tunnels", "Temporary tunnels made over remote control", MetricType::Gauge);
  Add(temporaryTunnels, {}, temporaries);
  MetricFamily heartbeats = Family("gatewarden_heartbeats_total",
                                   "Heartbeats sent to a master server, by every static tunnel", MetricType::Counter);
  for (const TMasterSample& master : sample.Masters)
    Add(heartbeats, {{"master", LabelText(master.Master)}}, static_cast<double>(master.Heartbeats));
  return {std::move(listening), std::move(relays),      std::move(datagrams), std::move(bytes),
          std::move(trials),    std::move(answered),    std::move(established), std::move(overbusy), std::move(closed),
          std::move(refused),   std::move(dropped),     std::move(answering), std::move(announced),
          std::move(trialsNow), std::move(staticTunnels), std::move(temporaryTunnels), std::move(heartbeats)};
}

namespace {

// The figures of /proc/self/stat a process exporter tells, or nothing without /proc.
struct TProcStat {
  double CpuSeconds = 0;
  double ResidentBytes = 0;
  double StartTime = 0;
};

// Seconds since the epoch at which the system booted (/proc/stat's btime), or 0.
double BootTime() {
  std::ifstream stat("/proc/stat");
  for (std::string line; std::getline(stat, line);)
    if (line.starts_with("btime ")) return std::stod(line.substr(6));
  return 0;
}

std::optional<TProcStat> ReadProcStat() {
  std::ifstream file("/proc/self/stat");
  std::string text;
  if (!std::getline(file, text)) return std::nullopt;
  // The command name, in parentheses, may hold blanks and parentheses: fields are counted
  // from the last ")", which is followed by the third field.
  const std::size_t close = text.rfind(')');
  if (close == std::string::npos) return std::nullopt;
  std::istringstream fields(text.substr(close + 1));
  std::vector<std::string> field(2, "");
  for (std::string value; fields >> value;) field.push_back(value);
  // utime 14, stime 15, starttime 22 (clock ticks), rss 24 (pages), counted from 1.
  if (field.size() < 25) return std::nullopt;
  const double ticks = static_cast<double>(::sysconf(_SC_CLK_TCK));
  const double page = static_cast<double>(::sysconf(_SC_PAGESIZE));
  TProcStat stat;
  stat.CpuSeconds = (std::stod(field[13]) + std::stod(field[14])) / ticks;
  stat.StartTime = BootTime() + std::stod(field[21]) / ticks;
  stat.ResidentBytes = std::stod(field[23]) * page;
  return stat;
}

} // namespace

std::vector<MetricFamily> ProcessFamilies() {
  std::vector<MetricFamily> families;
  families.push_back(Family("gatewarden_build_info", "The relay's version, as a label; always 1", MetricType::Gauge));
  Add(families.back(), {{"version", GW_VERSION}}, 1);
  if (const std::optional<TProcStat> stat = ReadProcStat()) {
    families.push_back(Family("process_cpu_seconds_total", "Total user and system CPU time spent in seconds",
                              MetricType::Counter));
    Add(families.back(), {}, stat->CpuSeconds);
    families.push_back(Family("process_resident_memory_bytes", "Resident memory size in bytes", MetricType::Gauge));
    Add(families.back(), {}, stat->ResidentBytes);
    families.push_back(Family("process_start_time_seconds", "Start time of the process since unix epoch in seconds",
                              MetricType::Gauge));
    Add(families.back(), {}, stat->StartTime);
  }
  // Every entry but "." and ".." is a descriptor, the directory's own included, as other
  // exporters count it. Without /proc the figure is left out, which a scrape shows.
  const std::unique_ptr<DIR, int (*)(DIR*)> fds(::opendir("/proc/self/fd"), &::closedir);
  if (fds) {
    double open = 0;
    while (const dirent* entry = ::readdir(fds.get()))
      if (entry->d_name[0] != '.') ++open;
    families.push_back(Family("process_open_fds", "Number of open file descriptors", MetricType::Gauge));
    Add(families.back(), {}, open);
  }
  families.push_back(Family("process_max_fds", "Maximum number of open file descriptors", MetricType::Gauge));
  Add(families.back(), {}, DescriptorLimit());
  return families;
}

} // namespace gw
