#include <cstdio>
#include <iostream>

#include "Endpoints.h"
#include "RandomHex.h"
#include "ServerLog.h"
#include "ServerMain.h"

using namespace vserver;

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "users")
        return runUsersCommand(std::vector<std::string>(argv + 2, argv + argc), std::cin, std::cout,
                               std::cerr);
    ParsedArgs parsed = parseArgs(std::vector<std::string>(argv, argv + argc));
    if (parsed.help) {
        std::cout << usage();
        return 0;
    }
    if (!parsed.error.empty()) {
        std::cerr << "velmora-server: " << parsed.error << "\n" << usage();
        return 2;
    }
    setLogFile(parsed.logFile);
    if (parsed.options.token.empty()) {
        auto token = randomHex(16);
        if (!token) {
            log("server: no --token given and no random bytes to make one; give one with --token");
            return 1;
        }
        parsed.options.token = std::move(*token);
        log("server: no --token given; this run's developer token is " + parsed.options.token);
    }

    HttpServer server(parsed.options);
    if (parsed.cleanup.dataDir.empty()) parsed.cleanup.dataDir = defaultDataDir();
    parsed.accounts.dataDir = parsed.cleanup.dataDir;
    parsed.cleanup.databaseUrl = parsed.accounts.databaseUrl;
    parsed.accounts.devToken = parsed.options.token;
    const auto accounts = registerAccounts(server, parsed.accounts);
    // A shared database that cannot be used is an operator's mistake to fix, not a reason to
    // serve only the developer token.
    if (!parsed.accounts.databaseUrl.empty() && !userStore(*accounts).problem().empty()) {
        log("server: the users database cannot be used: " + userStore(*accounts).problem());
        return 1;
    }
    registerPing(server);
    registerUpdates(server, parsed.updatesDir);
    std::string asrError;
    auto engine = makeAsrEngine(parsed.asr, server, asrError);
    if (!engine) {
        log("server: the asr endpoint cannot run: " + asrError);
        return 1;
    }
    AsrLimits asrLimits;
    asrLimits.maxAudioBytes = int64_t(parsed.asr.maxSessionSeconds) * 32000;
    asrLimits.countWords = [accounts](const std::string& user, int64_t words) {
        countWords(*accounts, user, words);
    };
    registerAsr(server, std::move(engine), asrLimits);
    registerCleanup(server, parsed.cleanup);
    if (!server.start()) return 1;
    server.run();
    log("server: stopped");
    return 0;
}
