#include "ServerLog.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>

namespace vserver {

namespace {
struct Fclose {
    void operator()(FILE* f) const { std::fclose(f); }
};
std::mutex gMutex;
std::unique_ptr<FILE, Fclose> gFile;
}  // namespace

void setLogFile(const std::string& path) {
    std::lock_guard lock(gMutex);
    gFile.reset(path.empty() ? nullptr : std::fopen(path.c_str(), "a"));
}

void log(const std::string& line) {
    using namespace std::chrono;
    const auto now = system_clock::now();
    const std::time_t t = system_clock::to_time_t(now);
    const auto ms = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm tm{};
    localtime_r(&t, &tm);
    char stamp[40];
    const size_t n = std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tm);
    std::snprintf(stamp + n, sizeof stamp - n, ".%03d", static_cast<int>(ms));
    std::lock_guard lock(gMutex);
    std::fprintf(stderr, "%s %s\n", stamp, line.c_str());
    if (gFile) {
        std::fprintf(gFile.get(), "%s %s\n", stamp, line.c_str());
        std::fflush(gFile.get());
    }
}

}  // namespace vserver
