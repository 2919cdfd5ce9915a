#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

#include "AsrEndpoint.h"
#include "PocketsphinxEngine.h"
#include "RelayEngine.h"
#include "ScriptedEngine.h"
#include "ServerLog.h"
#include "TranscribeEngine.h"

namespace vserver {

namespace {

// A key kept in a file: its first line, trimmed.
std::optional<std::string> readKeyFile(const std::string& path, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    std::string key;
    if (!in || !std::getline(in, key)) {
        error = "couldn't read the key file " + path;
        return std::nullopt;
    }
    const size_t b = key.find_first_not_of(" \t\r");
    const size_t e = key.find_last_not_of(" \t\r");
    key = b == std::string::npos ? std::string() : key.substr(b, e - b + 1);
    if (key.empty()) {
        error = "the key file " + path + " is empty";
        return std::nullopt;
    }
    std::error_code ec;
    const auto perms = std::filesystem::status(path, ec).permissions();
    if (!ec && (perms & (std::filesystem::perms::group_all | std::filesystem::perms::others_all)) !=
                   std::filesystem::perms::none)
        log("asr: the key file " + path + " can be read by other users; chmod 600 it");
    return key;
}

}  // namespace

std::string asrUsage() {
    return "  --asr-engine pocketsphinx|scripted|relay|transcribe   recogniser behind \"asr\" "
           "(default "
           "pocketsphinx)\n"
           "  --asr-model DIR          pocketsphinx model folder (default "
           "/usr/share/pocketsphinx/model/en-us)\n"
           "  --asr-decoders N         pocketsphinx decoders kept loaded (~115 MB each; default: "
           "--workers)\n"
           "  --asr-script FILE        scripted engine: the JSON script to play\n"
           "  --asr-upstream URL       relay: ws:// or wss:// URL of the upstream recogniser\n"
           "  --asr-upstream-key-file FILE  relay: file holding the upstream's bearer token\n"
           "                           (default $VELMORA_ASR_UPSTREAM_KEY)\n"
           "  --asr-transcribe-url URL    transcribe: an OpenAI-compatible\n"
           "                           /v1/audio/transcriptions endpoint (http:// or https://)\n"
           "  --asr-transcribe-model NAME  transcribe: the model to ask for\n"
           "  --asr-transcribe-key-file FILE  transcribe: file holding the service's key\n"
           "                           (default $VELMORA_TRANSCRIBE_KEY; none for a local server)\n"
           "  --asr-transcribe-timeout S  transcribe: seconds one request may take (default 30)\n"
           "  --asr-transcribe-partials 0|1  transcribe: re-send a growing sentence for partial\n"
           "                           results, at most once a second (default 1)\n"
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
        if (v != "pocketsphinx" && v != "scripted" && v != "relay" && v != "transcribe")
            error = "--asr-engine is pocketsphinx, scripted, relay or transcribe, not " + v;
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
    } else if (a == "--asr-transcribe-url") {
        out.transcribeUrl = v;
    } else if (a == "--asr-transcribe-model") {
        out.transcribeModel = v;
    } else if (a == "--asr-transcribe-key-file") {
        out.transcribeKeyFile = v;
    } else if (a == "--asr-transcribe-timeout") {
        number(1, 600, out.transcribeTimeoutS);
    } else if (a == "--asr-transcribe-partials") {
        if (v != "0" && v != "1") error = "--asr-transcribe-partials is 0 or 1";
        out.transcribePartials = v == "1";
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
        return std::make_shared<ScriptedEngine>(server.recognition(), std::move(*script));
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
    if (o.engine == "transcribe") {
        TranscribeEngine::Options to;
        to.url = o.transcribeUrl;
        to.model = o.transcribeModel;
        to.timeoutMs = o.transcribeTimeoutS * 1000;
        to.partials = o.transcribePartials;
        if (!o.transcribeKeyFile.empty()) {
            auto key = readKeyFile(o.transcribeKeyFile, error);
            if (!key) return nullptr;
            to.key = std::move(*key);
        } else if (const char* k = std::getenv("VELMORA_TRANSCRIBE_KEY")) {
            to.key = k;
        }
        if (auto problem = TranscribeEngine::check(to)) {
            error = *problem;
            return nullptr;
        }
        // The key itself never reaches the log.
        log("asr: transcribing with model " + to.model + " at " + o.transcribeUrl +
            (to.key.empty() ? " without a key" : " with a key"));
        return std::make_shared<TranscribeEngine>(server.recognition(), std::move(to));
    }
    PocketsphinxEngine::Options po;
    po.modelDir = o.modelDir;
    po.decoders = o.decoders > 0 ? o.decoders : std::max(1, server.options().workerThreads);
    if (auto problem = PocketsphinxEngine::check(po)) {
        error = *problem;
        return nullptr;
    }
    auto engine = std::make_shared<PocketsphinxEngine>(server.recognition(), po);
    engine->preload();
    log("asr: pocketsphinx from " + po.modelDir + ", up to " + std::to_string(po.decoders) +
        " decoders");
    return engine;
}

}  // namespace vserver
