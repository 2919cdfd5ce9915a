#pragma once
#include <optional>
#include <string>
#include <vector>

#include "AsrEndpoint.h"
#include "CleanupEndpoints.h"
#include "HttpServer.h"

namespace vserver {
// Reads the command line (and VELMORA_SERVER_TOKEN); an error text on bad usage.
struct ParsedArgs {
    ServerOptions options;
    AsrOptions asr;
    CleanupOptions cleanup;
    std::string logFile;
    bool help = false;
    std::string error;
};
ParsedArgs parseArgs(const std::vector<std::string>& args);
std::string usage();
}  // namespace vserver
