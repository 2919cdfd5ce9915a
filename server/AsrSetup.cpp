#include <fstream>
#include <sstream>

#include "AsrEndpoint.h"
#include "PocketsphinxEngine.h"
#include "RelayEngine.h"
#include "ScriptedEngine.h"
#include "ServerLog.h"

namespace vserver {

std::string asrUsage() {
    return "  --asr-engine pocketsphinx|scripted|relay   recogniser behind \"asr\" (default "
           "pocketsphinx)\n"
           "  --asr-model DIR          pocketsphinx model folder (default "
           "/usr/share/pocketsphinx/model/en-us)\n"
           "  --asr-decoders N         pocketsphinx decoders kept loaded (~115 MB each; default: "
           "--workers)\n"
           "  --asr-script FILE        scripted engine: the JSON script to play\n"
           "  --asr-upstream URL       relay: ws:// or wss:// URL of the upstream recogniser\n"
           "  --asr-upstream-key KEY   relay: bearer token for the upstream (default "
           "$VELMORA_ASR_UPSTREAM_KEY)\n"
           "  --asr-max-seconds N      longest audio one task may send (default 900)\n";
}

bool parseAsrArg(const std::vector<std::string>& args, size_t& i, AsrOptions& out,
                 std::string& error) {
    const std::string& a = args[i];
    if (a.rfind("--asr-", 0) != 0) return false;
    if (i + 1 >= args.size()) {
        error = a + " needs a value";
        return true;
    }
    const std::string v = args[++i];
    auto number = [&](int lo, int hi, int& into) {
        char* end = nullptr;
        const long n = std::strtol(v.c_str(), &end, 10);
        if (v.empty() || *end || n < lo || n > hi) {
            error = a + " wants a number from " + std::to_string(lo) + " to " + std::to_string(hi);
            return;
        }
        into = static_cast<int>(n);
    };
    if (a == "--asr-engine") {
        if (v != "pocketsphinx" && v != "scripted" && v != "relay")
            error = "--asr-engine is pocketsphinx, scripted or relay, not " + v;
        out.engine = v;
    } else if (a == "--asr-model") {
        out.modelDir = v;
    } else if (a == "--asr-decoders") {
        number(1, 64, out.decoders);
    } else if (a == "--asr-script") {
        out.scriptFile = v;
    } else if (a == "--asr-upstream") {
        out.upstream = v;
    } else if (a == "--asr-upstream-key") {
        out.upstreamKey = v;
    } else if (a == "--asr-max-seconds") {
        number(1, 24 * 3600, out.maxSessionSeconds);
    } else {
        error = "unknown argument " + a;
    }
    return true;
}

std::shared_ptr<RecognitionEngine> makeAsrEngine(const AsrOptions& o, HttpServer& server,
                                                 std::string& error) {
    if (o.engine == "scripted") {
        if (o.scriptFile.empty()) {
            error = "--asr-engine scripted needs --asr-script FILE";
            return nullptr;
        }
        std::ifstream in(o.scriptFile, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        if (!in) {
            error = "couldn't read the script " + o.scriptFile;
            return nullptr;
        }
        auto script = ScriptedEngine::parse(text.str(), error);
        if (!script) {
            error = o.scriptFile + ": " + error;
            return nullptr;
        }
        return std::make_shared<ScriptedEngine>(server.workers(), std::move(*script));
    }
    if (o.engine == "relay") {
        std::string key = o.upstreamKey;
        if (key.empty())
            if (const char* k = std::getenv("VELMORA_ASR_UPSTREAM_KEY")) key = k;
        auto target = RelayEngine::parseUrl(o.upstream, error);
        if (!target) {
            error = "--asr-upstream: " + error;
            return nullptr;
        }
        log("asr: relaying to " + o.upstream + (key.empty() ? " without a key" : " with a key"));
        return std::make_shared<RelayEngine>(server.io(), RelayEngine::Options{o.upstream, key},
                                             *target);
    }
    PocketsphinxEngine::Options po;
    po.modelDir = o.modelDir;
    po.decoders = o.decoders > 0 ? o.decoders : std::max(1, server.options().workerThreads);
    if (auto problem = PocketsphinxEngine::check(po)) {
        error = *problem;
        return nullptr;
    }
    auto engine = std::make_shared<PocketsphinxEngine>(server.workers(), po);
    engine->preload();
    log("asr: pocketsphinx from " + po.modelDir + ", up to " + std::to_string(po.decoders) +
        " decoders");
    return engine;
}

}  // namespace vserver
