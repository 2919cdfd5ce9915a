#include "ServerLog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>

#include "UniqueFd.h"

namespace vserver {

namespace {
struct Fclose {
    void operator()(FILE* f) const { std::fclose(f); }
};
std::mutex gMutex;
std::unique_ptr<FILE, Fclose> gFile;
std::string gPath;

// The log may hold names and addresses: created 0600, and an older file open to others is
// closed to them.
std::unique_ptr<FILE, Fclose> openPrivate(const std::string& path, std::string& why) {
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600));
    if (!fd) {
        why = "can't write the log " + path + " (" + std::strerror(errno) + ")";
        return nullptr;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) == 0 && (st.st_mode & 077) != 0)
        ::fchmod(fd.get(), st.st_mode & 0700);
    std::unique_ptr<FILE, Fclose> f(::fdopen(fd.get(), "a"));
    if (!f) {
        why = "can't write the log " + path + " (" + std::strerror(errno) + ")";
        return nullptr;
    }
    fd.release();  // the FILE closes it now
    return f;
}
}  // namespace

std::string setLogFile(const std::string& path) {
    std::string why;
    std::unique_ptr<FILE, Fclose> f;
    if (!path.empty()) {
        f = openPrivate(path, why);
        if (!f) return why;
    }
    std::lock_guard lock(gMutex);
    gFile = std::move(f);
    gPath = path;
    return {};
}

std::string reopenLogFile() {
    std::string path;
    {
        std::lock_guard lock(gMutex);
        path = gPath;
    }
    if (path.empty()) return {};
    std::string why;
    auto f = openPrivate(path, why);
    if (!f) return why + "; still writing the old file";
    std::lock_guard lock(gMutex);
    gFile = std::move(f);
    return {};
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
