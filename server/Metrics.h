#pragma once
#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace vserver {

// What an operator scrapes at "metrics", in the Prometheus text format: request latency by
// endpoint, errors by kind, and gauges read when scraped. Thread: any.
class Metrics {
  public:
    static constexpr std::array<double, 12> kBuckets = {0.001, 0.0025, 0.005, 0.01, 0.025, 0.05,
                                                        0.1,   0.25,   0.5,   1,    2.5,   10};

    void observe(const std::string& endpoint, double seconds);
    void countError(const std::string& kind);
    // A value read at each scrape; `name` without the "velmora_" prefix.
    void addGauge(std::string name, std::string help, std::function<double()> read);
    std::string render() const;

    // For tests and the benchmark.
    uint64_t errors(const std::string& kind) const;
    uint64_t requests(const std::string& endpoint) const;

  private:
    struct Histogram {
        std::array<uint64_t, kBuckets.size()> counts{};  // per bucket, not cumulative
        uint64_t count = 0;
        double sum = 0;
    };
    struct Gauge {
        std::string name, help;
        std::function<double()> read;
    };
    mutable std::mutex mutex_;
    std::map<std::string, Histogram> latency_;
    std::map<std::string, uint64_t> errors_;
    std::vector<Gauge> gauges_;
};

}  // namespace vserver
