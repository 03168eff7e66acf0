// SPDX-License-Identifier: MIT
// The Prometheus text exposition format (version 0.0.4) as a scraper reads
// it, for the checks of --metrics: HELP and TYPE lines, then samples.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace campaign {

struct MetricSample {
    std::string name;
    std::map<std::string, std::string> labels;
    double value = 0;
};

struct MetricsText {
    std::vector<MetricSample> samples;
    std::optional<std::string> error;  // the first line a scraper would refuse, and why

    // The samples of `name`.
    std::vector<const MetricSample*> named(const std::string& name) const;
};

// Parses `text`. Beyond the format, what the tool promises: every name has
// the qb40_ prefix, every family is a gauge with HELP and TYPE before its
// samples, no series comes twice and no sample has a timestamp.
MetricsText parse_metrics(const std::string& text);

}  // namespace campaign
