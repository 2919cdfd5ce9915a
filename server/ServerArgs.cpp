#include <sys/stat.h>

#include <cstdlib>
#include <fstream>

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

ParsedArgs parseArgs(const std::vector<std::string>& args) {
    ParsedArgs out;
    if (const char* t = std::getenv("VELMORA_SERVER_TOKEN")) out.options.token = t;
    if (const char* s = std::getenv("VELMORA_JWT_SECRET")) out.accounts.jwtSecret = s;
    if (const char* url = std::getenv("VELMORA_DATABASE_URL")) out.accounts.databaseUrl = url;
    auto positiveInt = [](const std::string& s, int& into) {
        char* end = nullptr;
        const long v = std::strtol(s.c_str(), &end, 10);
        if (s.empty() || *end || v < 1 || v > 256) return false;
        into = static_cast<int>(v);
        return true;
    };
    for (size_t i = 1; i < args.size(); ++i) {
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
        if (parseAsrArg(args, i, out.asr, out.error)) {
            if (!out.error.empty()) return out;
        } else if (a == "--help" || a == "-h") {
            out.help = true;
        } else if (a == "--listen") {
            if (!value(v)) return out;
            const auto colon = v.rfind(':');
            char* end = nullptr;
            const long port =
                colon == std::string::npos ? -1 : std::strtol(v.c_str() + colon + 1, &end, 10);
            if (colon == std::string::npos || !end || *end || port < 0 || port > 65535) {
                out.error = "--listen wants HOST:PORT, got " + v;
                return out;
            }
            std::string host = v.substr(0, colon);
            if (host.size() > 2 && host.front() == '[' && host.back() == ']')
                host = host.substr(1, host.size() - 2);
            out.options.address = host;
            out.options.port = static_cast<uint16_t>(port);
        } else if (a == "--token") {
            if (!value(out.options.token)) return out;
            out.warnings.push_back(
                "--token shows the token to every local user in the process list; use "
                "--token-file or $VELMORA_SERVER_TOKEN");
        } else if (a == "--token-file" || a == "--llm-key-file") {
            if (!value(v)) return out;
            std::string secret;
            out.error = readSecretFile(a, v, secret, out.warnings);
            if (!out.error.empty()) return out;
            if (a == "--token-file") {
                out.options.token = secret;
            } else {
                if (!out.cleanup.llm) out.cleanup.llm.emplace();
                out.cleanup.llm->key = secret;
            }
        } else if (a == "--max-connections") {
            if (!value(v)) return out;
            char* end = nullptr;
            const long n = std::strtol(v.c_str(), &end, 10);
            if (v.empty() || *end || n < 1 || n > 10000000) {
                out.error = "--max-connections wants a number from 1 to 10000000";
                return out;
            }
            out.options.maxConnections = size_t(n);
        } else if (a == "--drain-seconds") {
            if (!value(v)) return out;
            char* end = nullptr;
            const long n = std::strtol(v.c_str(), &end, 10);
            if (v.empty() || *end || n < 0 || n > 3600) {
                out.error = "--drain-seconds wants seconds from 0 to 3600";
                return out;
            }
            out.options.drainSeconds = int(n);
        } else if (a == "--cert") {
            if (!value(out.options.certFile)) return out;
        } else if (a == "--key") {
            if (!value(out.options.keyFile)) return out;
        } else if (a == "--log") {
            if (!value(out.logFile)) return out;
        } else if (a == "--updates") {
            if (!value(out.updatesDir)) return out;
        } else if (a == "--data-dir") {
            if (!value(out.cleanup.dataDir)) return out;
        } else if (a == "--llm-url" || a == "--llm-model" || a == "--llm-key" || a == "--llm-ca" ||
                   a == "--llm-timeout") {
            if (!out.cleanup.llm) out.cleanup.llm.emplace();
            auto& llm = *out.cleanup.llm;
            if (!value(v)) return out;
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
                    return out;
                }
                llm.timeoutMs = static_cast<int>(s * 1000);
            }
        } else if (a == "--database") {
            if (!value(out.accounts.databaseUrl)) return out;
        } else if (a == "--jwt-secret-file") {
            if (!value(v)) return out;
            std::ifstream file(v);
            std::string secret;
            if (!file || !std::getline(file, secret) || secret.empty()) {
                out.error = "--jwt-secret-file: couldn't read a secret from " + v;
                return out;
            }
            out.accounts.jwtSecret = secret;
        } else if (a == "--local-signin") {
            out.accounts.localSignIn = true;
        } else if (a == "--new-users") {
            if (!value(out.accounts.newUsers)) return out;
            if (out.accounts.newUsers != "active" && out.accounts.newUsers != "pending") {
                out.error = "--new-users wants active or pending";
                return out;
            }
        } else if (a == "--rate") {
            if (!value(v)) return out;
            char* end = nullptr;
            const double r = std::strtod(v.c_str(), &end);
            if (v.empty() || *end || !(r > 0 && r <= 10000)) {
                out.error = "--rate wants requests a second from 0 to 10000";
                return out;
            }
            out.accounts.requestsPerSecond = r;
        } else if (a == "--threads" || a == "--workers") {
            if (!value(v)) return out;
            if (!positiveInt(
                    v, a == "--threads" ? out.options.ioThreads : out.options.workerThreads)) {
                out.error = a + " wants a number from 1 to 256";
                return out;
            }
        } else {
            out.error = "unknown argument " + a;
            return out;
        }
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
