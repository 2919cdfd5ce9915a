#include "Metrics.h"

#include <cstdio>

namespace vserver {

namespace {

std::string number(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.9g", v);
    return buf;
}

// Label values are our own names, but a quote or backslash must never break the format.
std::string label(const std::string& v) {
    std::string out;
    for (char c : v) {
        if (c == '"' || c == '\\') out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out;
}

}  // namespace

void Metrics::observe(const std::string& endpoint, double seconds) {
    std::lock_guard lock(mutex_);
    Histogram& h = latency_[endpoint];
    size_t i = 0;
    while (i < kBuckets.size() && seconds > kBuckets[i]) ++i;
    if (i < kBuckets.size()) ++h.counts[i];
    ++h.count;
    h.sum += seconds;
}

void Metrics::countError(const std::string& kind) {
    std::lock_guard lock(mutex_);
    ++errors_[kind];
}

void Metrics::addGauge(std::string name, std::string help, std::function<double()> read) {
    std::lock_guard lock(mutex_);
    gauges_.push_back({std::move(name), std::move(help), std::move(read)});
}

uint64_t Metrics::errors(const std::string& kind) const {
    std::lock_guard lock(mutex_);
    const auto it = errors_.find(kind);
    return it == errors_.end() ? 0 : it->second;
}

uint64_t Metrics::requests(const std::string& endpoint) const {
    std::lock_guard lock(mutex_);
    const auto it = latency_.find(endpoint);
    return it == latency_.end() ? 0 : it->second.count;
}

std::string Metrics::render() const {
    std::vector<Gauge> gauges;
    std::string out;
    {
        std::lock_guard lock(mutex_);
        gauges = gauges_;
        out +=
            "# HELP velmora_request_duration_seconds Time from a request's arrival to its answer.\n"
            "# TYPE velmora_request_duration_seconds histogram\n";
        for (const auto& [endpoint, h] : latency_) {
            const std::string e = "endpoint=\"" + label(endpoint) + "\"";
            uint64_t cumulative = 0;
            for (size_t i = 0; i < kBuckets.size(); ++i) {
                cumulative += h.counts[i];
                out += "velmora_request_duration_seconds_bucket{" + e + ",le=\"" +
                       number(kBuckets[i]) + "\"} " + std::to_string(cumulative) + "\n";
            }
            out += "velmora_request_duration_seconds_bucket{" + e + ",le=\"+Inf\"} " +
                   std::to_string(h.count) + "\n";
            out += "velmora_request_duration_seconds_sum{" + e + "} " + number(h.sum) + "\n";
            out += "velmora_request_duration_seconds_count{" + e + "} " + std::to_string(h.count) +
                   "\n";
        }
        out +=
            "# HELP velmora_errors_total Failures by kind.\n"
            "# TYPE velmora_errors_total counter\n";
        for (const auto& [kind, n] : errors_)
            out += "velmora_errors_total{kind=\"" + label(kind) + "\"} " + std::to_string(n) + "\n";
    }
    // Gauges read outside the lock: they take locks of their own.
    for (const auto& g : gauges) {
        out += "# HELP velmora_" + g.name + " " + g.help + "\n";
        out += "# TYPE velmora_" + g.name + " gauge\n";
        out += "velmora_" + g.name + " " + number(g.read ? g.read() : 0) + "\n";
    }
    return out;
}

}  // namespace vserver
