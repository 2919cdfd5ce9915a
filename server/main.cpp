#include <cstdio>
#include <iostream>

#include "Endpoints.h"
#include "PrivateDir.h"
#include "RandomHex.h"
#include "ServerLog.h"
#include "ServerMain.h"
#include "ServiceNotify.h"
#include "Sqlite.h"

using namespace vserver;

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "users") {
        // The service's settings say where its users live; the command line may say otherwise.
        std::vector<std::string> args;
        const ParsedArgs service = parseArgs({"velmora-server"}, kDefaultConfig);
        if (!service.error.empty())
            std::cerr << "velmora-server users: not using the service's settings (" << service.error
                      << ")\n";
        else if (!service.configFile.empty()) {
            if (!service.cleanup.dataDir.empty())
                args.insert(args.end(), {"--data-dir", service.cleanup.dataDir});
            if (!service.accounts.databaseUrl.empty())
                args.insert(args.end(), {"--database", service.accounts.databaseUrl});
        }
        args.insert(args.end(), argv + 2, argv + argc);
        return runUsersCommand(args, std::cin, std::cout, std::cerr);
    }
    ParsedArgs parsed = parseArgs(std::vector<std::string>(argv, argv + argc), kDefaultConfig);
    if (parsed.help) {
        std::cout << usage();
        return 0;
    }
    if (!parsed.error.empty()) {
        // A config file's mistake names its line; the usage would only hide it.
        const bool inConfig =
            !parsed.configFile.empty() && parsed.error.rfind(parsed.configFile + ":", 0) == 0;
        std::cerr << "velmora-server: " << parsed.error << "\n" << (inConfig ? "" : usage());
        return 2;
    }
    if (const std::string problem = setLogFile(parsed.logFile); !problem.empty()) {
        std::cerr << "velmora-server: " << problem << "\n";
        return 1;
    }
    for (const auto& warning : parsed.warnings) log("server: " + warning);
    if (parsed.cleanup.dataDir.empty()) parsed.cleanup.dataDir = defaultDataDir();
    if (const std::string problem = makePrivateDirs(parsed.cleanup.dataDir); !problem.empty()) {
        log("server: " + problem);
        return 1;
    }
    if (parsed.options.token.empty()) {
        auto token = randomHex(16);
        if (!token) {
            log("server: no --token-file given and no random bytes to make a token");
            return 1;
        }
        parsed.options.token = std::move(*token);
        // The token goes to a file only its owner reads, never to the log.
        const std::string file = parsed.cleanup.dataDir + "/developer-token";
        if (const std::string problem = writePrivateFile(file, parsed.options.token + "\n");
            !problem.empty()) {
            log("server: no --token-file given and " + problem);
            return 1;
        }
        log("server: no --token-file given; this run's developer token is in " + file);
    }

    // The users' file holds accounts and what they used: a damaged one stops the start rather
    // than being replaced by an empty one.
    if (parsed.accounts.databaseUrl.empty()) {
        const auto checked =
            sqlite::checkOrSetAside(parsed.cleanup.dataDir + "/users.sqlite3", "users");
        if (!checked.message.empty()) log("users: " + checked.message);
        if (!checked.usable) return 1;
    }
    if (!parsed.configFile.empty()) log("server: settings from " + parsed.configFile);

    HttpServer server(parsed.options);
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
    registerHealth(server, [engine] { return engine->ready(); });
    registerAsr(server, std::move(engine), asrLimits);
    registerCleanup(server, parsed.cleanup);
    if (!server.start()) return 1;
    notifyService("READY=1\nSTATUS=serving");
    server.run();
    log("server: stopped");
    return 0;
}
