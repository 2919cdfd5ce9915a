#include "FuzzUtil.h"

#include <filesystem>
#include <system_error>

namespace fuzzutil {

std::string privateHome() {
    // Never destroyed: the exit handler below still needs it.
    static const std::string* home = [] {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "velmora-fuzz-XXXXXX").string();
        if (!mkdtemp(pattern.data())) fail("no temporary folder");
        setenv("HOME", pattern.c_str(), 1);
        for (const char* var : {"XDG_STATE_HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME"})
            setenv(var, (pattern + "/" + var).c_str(), 1);
        auto* path = new std::string(pattern);
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(privateHome(), ec);
        });
        return path;
    }();
    return *home;
}

}  // namespace fuzzutil
