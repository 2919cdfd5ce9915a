#include "PrivateDir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "UniqueFd.h"

namespace vserver {

std::string makePrivateDirs(const std::string& path) {
    if (path.empty()) return "no folder given";
    std::filesystem::path built;
    for (const auto& part : std::filesystem::path(path)) {
        built /= part;
        if (::mkdir(built.c_str(), 0700) == 0) continue;
        const int err = errno;
        struct stat st {};
        if (err == EEXIST && ::stat(built.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) continue;
        return "can't create the folder " + built.string() + " (" + std::strerror(err) + ")";
    }
    return {};
}

std::string writePrivateFile(const std::string& path, const std::string& content) {
    const std::string tmp = path + ".tmp";
    UniqueFd fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (!fd) return "can't write " + tmp + " (" + std::strerror(errno) + ")";
    size_t done = 0;
    while (done < content.size()) {
        const ssize_t n = ::write(fd.get(), content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += size_t(n);
    }
    const bool ok = done == content.size() && ::fsync(fd.get()) == 0;
    const int err = errno;
    fd.reset();
    if (!ok || ::rename(tmp.c_str(), path.c_str()) != 0) {
        const std::string why = std::strerror(ok ? errno : err);
        ::unlink(tmp.c_str());
        return "can't write " + path + " (" + why + ")";
    }
    return {};
}

}  // namespace vserver
