#include <sys/stat.h>

#include <boost/program_options/parsers.hpp>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "ServerMain.h"

namespace vserver {

namespace {

// A secret kept in a file: its first line, trimmed; a reason when there is none.
std::string readSecretFile(const std::string& flag, const std::string& path, std::string& into,
                           std::vector<std::string>& warnings) {
    std::ifstream in(path, std::ios::binary);
    std::string line;
    if (!in || !std::getline(in, line)) return flag + ": couldn't read " + path;
    const size_t b = line.find_first_not_of(" \t\r");
    const size_t e = line.find_last_not_of(" \t\r");
    if (b == std::string::npos) return flag + ": " + path + " is empty";
    into = line.substr(b, e - b + 1);
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && (st.st_mode & 077) != 0)
        warnings.push_back(path + " can be read by other users; chmod 600 it");
    return {};
}

}  // namespace

std::string usage() {
    return "usage: velmora-server [--listen HOST:PORT] [--token TOKEN] [--cert FILE --key FILE]\n"
           "                      [--threads N] [--workers N] [--log FILE]\n"
           "  --listen   address to serve HTTP and WebSocket on (default 127.0.0.1:8443)\n"
           "  --token-file FILE  developer bearer token, the file's first line (or "
           "$VELMORA_SERVER_TOKEN;\n"
           "             --token TOKEN works too but shows the token in the process list)\n"
           "  --max-connections N  connections held at once (default: what the open-file "
           "limit allows)\n"
           "  --drain-seconds S    on SIGTERM, how long answers in flight may take (default "
           "10)\n"
           "  --config FILE        settings as name = value lines, the names of these options\n"
           "                       without \"--\" (default /etc/velmora-server/server.conf when "
           "it exists);\n"
           "                       the command line wins; secrets only through *-file keys\n"
           "  --access-log off|errors|all  which requests are logged (default all)\n"
           "  --timing-retention-days N  delete timing reports older than N days, at start and "
           "daily\n"
           "                       (default 0: keep them)\n"
           "  [--updates DIR]  serve the update feed and packages in DIR under /updates/\n"
           "  --cert/--key  PEM certificate chain and private key: serve TLS\n"
           "  [--data-dir DIR] [--llm-url URL --llm-model NAME [--llm-key KEY] [--llm-ca FILE] "
           "[--llm-timeout S]]\n"
           "  --data-dir  where users and timing reports are stored (default "
           "~/.local/share/velmora-server)\n"
           "  [--database URL]  users in PostgreSQL (postgresql://...; default: "
           "$VELMORA_DATABASE_URL,\n"
           "              else SQLite in the data folder); several servers may share it\n"
           "  [--jwt-secret-file FILE] [--local-signin] [--new-users active|pending] [--rate N]\n"
           "  --jwt-secret-file  HS256 secret of access tokens (default: $VELMORA_JWT_SECRET)\n"
           "  --local-signin     serve the sign-in provider under /auth/v1/ (users with a "
           "password)\n"
           "  --new-users        status of a user first seen with a valid token (default pending)\n"
           "  --rate             requests a second per user at asr and polish, after a burst of "
           "30\n"
           "  velmora-server users [--data-dir DIR | --database URL] "
           "add|list|set-plan|disable|set-password ...\n"
           "  --llm-url   OpenAI-compatible chat-completions URL for cleanup (default: rules "
           "only);\n"
           "              the key from --llm-key-file FILE or $VELMORA_LLM_KEY\n" +
           asrUsage();
}

namespace {

enum class Applied { ok, unknown, bad };

// Applies the option at args[i] with its value, leaving i on the last word it used.
Applied applyOption(const std::vector<std::string>& args, size_t& i, ParsedArgs& out) {
    // A whole number from lo to hi, nothing else.
    auto inRange = [](const std::string& s, long lo, long hi, long& into) {
        char* end = nullptr;
        const long n = std::strtol(s.c_str(), &end, 10);
        if (s.empty() || *end || n < lo || n > hi) return false;
        into = n;
        return true;
    };
    long n = 0;
    const std::string& a = args[i];
    auto value = [&](std::string& into) {
        if (i + 1 >= args.size()) {
            out.error = a + " needs a value";
            return false;
        }
        into = args[++i];
        return true;
    };
    std::string v;
    if (a != "--asr-upstream-key-file" && parseAsrArg(args, i, out.asr, out.error)) {
        if (out.error.rfind("unknown argument", 0) == 0) return Applied::unknown;
        if (!out.error.empty()) return Applied::bad;
    } else if (a == "--help" || a == "-h") {
        out.help = true;
    } else if (a == "--listen") {
        if (!value(v)) return Applied::bad;
        const auto colon = v.rfind(':');
        char* end = nullptr;
        const long port =
            colon == std::string::npos ? -1 : std::strtol(v.c_str() + colon + 1, &end, 10);
        if (colon == std::string::npos || !end || *end || port < 0 || port > 65535) {
            out.error = "--listen wants HOST:PORT, got " + v;
            return Applied::bad;
        }
        std::string host = v.substr(0, colon);
        if (host.size() > 2 && host.front() == '[' && host.back() == ']')
            host = host.substr(1, host.size() - 2);
        out.options.address = host;
        out.options.port = static_cast<uint16_t>(port);
    } else if (a == "--token") {
        if (!value(out.options.token)) return Applied::bad;
        out.warnings.push_back(
            "--token shows the token to every local user in the process list; use "
            "--token-file or $VELMORA_SERVER_TOKEN");
    } else if (a == "--token-file" || a == "--llm-key-file" || a == "--asr-upstream-key-file") {
        if (!value(v)) return Applied::bad;
        std::string secret;
        out.error = readSecretFile(a, v, secret, out.warnings);
        if (!out.error.empty()) return Applied::bad;
        if (a == "--token-file") {
            out.options.token = secret;
        } else if (a == "--asr-upstream-key-file") {
            out.asr.upstreamKey = secret;
        } else {
            if (!out.cleanup.llm) out.cleanup.llm.emplace();
            out.cleanup.llm->key = secret;
        }
    } else if (a == "--max-connections") {
        if (!value(v)) return Applied::bad;
        if (!inRange(v, 1, 10000000, n)) {
            out.error = "--max-connections wants a number from 1 to 10000000";
            return Applied::bad;
        }
        out.options.maxConnections = size_t(n);
    } else if (a == "--drain-seconds") {
        if (!value(v)) return Applied::bad;
        if (!inRange(v, 0, 3600, n)) {
            out.error = "--drain-seconds wants seconds from 0 to 3600";
            return Applied::bad;
        }
        out.options.drainSeconds = int(n);
    } else if (a == "--access-log") {
        if (!value(v)) return Applied::bad;
        if (v == "off")
            out.options.accessLog = AccessLog::off;
        else if (v == "errors")
            out.options.accessLog = AccessLog::errors;
        else if (v == "all")
            out.options.accessLog = AccessLog::all;
        else {
            out.error = "--access-log is off, errors or all, not " + v;
            return Applied::bad;
        }
    } else if (a == "--timing-retention-days") {
        if (!value(v)) return Applied::bad;
        if (!inRange(v, 0, 100000, n)) {
            out.error = "--timing-retention-days wants days from 0 (keep all) to 100000";
            return Applied::bad;
        }
        out.cleanup.timingRetentionDays = int(n);
    } else if (a == "--cert") {
        if (!value(out.options.certFile)) return Applied::bad;
    } else if (a == "--key") {
        if (!value(out.options.keyFile)) return Applied::bad;
    } else if (a == "--log") {
        if (!value(out.logFile)) return Applied::bad;
    } else if (a == "--updates") {
        if (!value(out.updatesDir)) return Applied::bad;
    } else if (a == "--data-dir") {
        if (!value(out.cleanup.dataDir)) return Applied::bad;
    } else if (a == "--llm-url" || a == "--llm-model" || a == "--llm-key" || a == "--llm-ca" ||
               a == "--llm-timeout") {
        if (!out.cleanup.llm) out.cleanup.llm.emplace();
        auto& llm = *out.cleanup.llm;
        if (!value(v)) return Applied::bad;
        if (a == "--llm-url")
            llm.url = v;
        else if (a == "--llm-model")
            llm.model = v;
        else if (a == "--llm-key") {
            llm.key = v;
            out.warnings.push_back(
                "--llm-key shows the key to every local user in the process list; use "
                "--llm-key-file or $VELMORA_LLM_KEY");
        } else if (a == "--llm-ca")
            llm.caFile = v;
        else {
            char* end = nullptr;
            const double s = std::strtod(v.c_str(), &end);
            if (v.empty() || *end || !(s > 0 && s <= 120)) {
                out.error = "--llm-timeout wants seconds from 0 to 120";
                return Applied::bad;
            }
            llm.timeoutMs = static_cast<int>(s * 1000);
        }
    } else if (a == "--database") {
        if (!value(out.accounts.databaseUrl)) return Applied::bad;
    } else if (a == "--jwt-secret-file") {
        if (!value(v)) return Applied::bad;
        std::ifstream file(v);
        std::string secret;
        if (!file || !std::getline(file, secret) || secret.empty()) {
            out.error = "--jwt-secret-file: couldn't read a secret from " + v;
            return Applied::bad;
        }
        out.accounts.jwtSecret = secret;
    } else if (a == "--local-signin") {
        out.accounts.localSignIn = true;
    } else if (a == "--new-users") {
        if (!value(out.accounts.newUsers)) return Applied::bad;
        if (out.accounts.newUsers != "active" && out.accounts.newUsers != "pending") {
            out.error = "--new-users wants active or pending";
            return Applied::bad;
        }
    } else if (a == "--rate") {
        if (!value(v)) return Applied::bad;
        char* end = nullptr;
        const double r = std::strtod(v.c_str(), &end);
        if (v.empty() || *end || !(r > 0 && r <= 10000)) {
            out.error = "--rate wants requests a second from 0 to 10000";
            return Applied::bad;
        }
        out.accounts.requestsPerSecond = r;
    } else if (a == "--threads" || a == "--workers") {
        if (!value(v)) return Applied::bad;
        if (!inRange(v, 1, 256, n)) {
            out.error = a + " wants a number from 1 to 256";
            return Applied::bad;
        }
        (a == "--threads" ? out.options.ioThreads : out.options.workerThreads) = int(n);
    } else {
        out.error = "unknown argument " + a;
        return Applied::unknown;
    }
    return Applied::ok;
}

// Reads `name = value` lines, the command line's option names without "--". The first
// problem as "file:line: what", or empty.
std::string applyConfigFile(const std::string& path, ParsedArgs& out) {
    namespace po = boost::program_options;
    std::ifstream in(path);
    if (!in) return "can't read the config file " + path + " (" + std::strerror(errno) + ")";
    const po::options_description known;  // every key is checked by applyOption
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        const std::string where = path + ":" + std::to_string(number) + ": ";
        // One line at a time, so that every problem names its line.
        if (const size_t b = line.find_first_not_of(" \t");
            b != std::string::npos && line[b] == '[')
            return where + "sections are not used; write name = value lines";
        std::istringstream one(line);
        std::vector<po::option> options;
        try {
            options = po::parse_config_file(one, known, true).options;
        } catch (const po::error& e) {
            return where + e.what();
        }
        for (const auto& o : options) {
            const std::string& key = o.string_key;
            const std::string value = o.value.empty() ? std::string() : o.value.front();
            if (key == "token" || key == "llm-key" || key == "asr-upstream-key")
                return where + key + " is a secret: keep it in a file only the server reads and " +
                       "name that file with " + key + "-file";
            if (key == "config" || key == "help") return where + "unknown key \"" + key + "\"";
            std::vector<std::string> args{"velmora-server", "--" + key};
            if (key == "local-signin") {
                if (value == "false" || value == "no" || value == "0") continue;
                if (value != "true" && value != "yes" && value != "1")
                    return where + key + " is true or false, not \"" + value + "\"";
            } else {
                args.push_back(value);
            }
            size_t i = 1;
            out.error.clear();
            switch (applyOption(args, i, out)) {
                case Applied::ok:
                    break;
                case Applied::unknown:
                    return where + "unknown key \"" + key + "\"";
                case Applied::bad:
                    return where + out.error;
            }
        }
    }
    return {};
}

}  // namespace

ParsedArgs parseArgs(const std::vector<std::string>& args, const std::string& defaultConfig) {
    ParsedArgs out;
    if (const char* t = std::getenv("VELMORA_SERVER_TOKEN")) out.options.token = t;
    if (const char* s = std::getenv("VELMORA_JWT_SECRET")) out.accounts.jwtSecret = s;
    if (const char* url = std::getenv("VELMORA_DATABASE_URL")) out.accounts.databaseUrl = url;
    // The environment, then the config file, then the command line: the later wins.
    std::string config;
    for (size_t i = 1; i < args.size(); ++i) {
        if (args[i] != "--config") continue;
        if (i + 1 >= args.size()) {
            out.error = "--config needs a value";
            return out;
        }
        config = args[i + 1];
    }
    std::error_code ec;
    if (config.empty() && !defaultConfig.empty() && std::filesystem::exists(defaultConfig, ec))
        config = defaultConfig;
    if (!config.empty()) {
        out.configFile = config;
        out.error = applyConfigFile(config, out);
        if (!out.error.empty()) return out;
    }
    for (size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--config") {
            ++i;
            continue;
        }
        out.error.clear();
        if (applyOption(args, i, out) != Applied::ok) return out;
    }
    if (out.accounts.jwtSecret.size() > 0 && out.accounts.jwtSecret.size() < 32)
        out.error = "the token secret must be at least 32 characters";
    if (out.options.certFile.empty() != out.options.keyFile.empty())
        out.error = "--cert and --key go together";
    if (out.cleanup.llm) {
        if (out.cleanup.llm->url.empty() || out.cleanup.llm->model.empty())
            out.error = "--llm-url and --llm-model go together";
        if (const char* key = std::getenv("VELMORA_LLM_KEY"); key && out.cleanup.llm->key.empty())
            out.cleanup.llm->key = key;
    }
    return out;
}

}  // namespace vserver
