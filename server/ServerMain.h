#pragma once
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "Accounts.h"
#include "AsrEndpoint.h"
#include "CleanupEndpoints.h"
#include "HttpServer.h"

namespace vserver {
// Reads the command line, the config file it names with --config (else `defaultConfig` when
// that exists) and VELMORA_SERVER_TOKEN, VELMORA_JWT_SECRET; an error text on bad usage.
struct ParsedArgs {
    ServerOptions options;
    AsrOptions asr;
    CleanupOptions cleanup;
    AccountOptions accounts;
    std::string logFile;
    std::string updatesDir;  // served under /updates/
    std::string configFile;  // the config file read, if any
    bool help = false;
    std::string error;
    std::vector<std::string> warnings;  // to log once the log is open
};
inline constexpr const char* kDefaultConfig = "/etc/velmora-server/server.conf";
ParsedArgs parseArgs(const std::vector<std::string>& args, const std::string& defaultConfig = {});
std::string usage();

// "velmora-server users ...": the operators' command line over the same data folder.
// Reads a password from `in` where asked; the exit status.
int runUsersCommand(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
                    std::ostream& err);
}  // namespace vserver
