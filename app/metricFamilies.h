#pragma once

#include "relaySample.h"

#include <prometheus/metric_family.h>

#include <vector>

namespace gw {

// The relay's figures as Prometheus families: per tunnel (labels tunnel, server, kind) and
// for the whole process. Runs on a scraper's thread, from a sample the loop took.
std::vector<prometheus::MetricFamily> RelayFamilies(const TRelaySample& sample);

// The relay's version (gatewarden_build_info), and the process's CPU time, resident memory,
// start time, descriptors in use and descriptor limit under the names every exporter uses.
// Read from the system on the calling thread, without the loop.
std::vector<prometheus::MetricFamily> ProcessFamilies();

} // namespace gw
