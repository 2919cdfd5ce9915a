#pragma once
#include <memory>
#include <optional>
#include <string>

#include "HttpServer.h"
#include "LlmClient.h"

namespace vserver {

struct CleanupOptions {
    std::string dataDir;            // where the timing database lives
    std::string databaseUrl;        // PostgreSQL for the timing reports instead
    std::optional<LlmOptions> llm;  // the model upstream; the rules alone when absent
    size_t maxTextChars = 20000;    // longer dictations answer 413
    size_t maxBodyBytes = 256 * 1024;
    int timingRetentionDays = 0;  // older timing rows are deleted at start and daily; 0: kept
};

// $XDG_DATA_HOME/velmora-server, else ~/.local/share/velmora-server.
std::string defaultDataDir();

class CleanupService;

// Registers "polish", "learn" and "timing", before the server starts. The returned
// service is also held by the routes; keep it to look at its state (tests).
std::shared_ptr<CleanupService> registerCleanup(HttpServer& server, CleanupOptions options);

// Timing rows stored so far (-1 when the store is not open); for tests.
int64_t storedTimingRows(CleanupService& service);

}  // namespace vserver
