// The server's "asr" endpoint in process: a client's frames, in any order and shape, end
// in protocol answers that are JSON events, never in a crash or a hang.
// Input: one frame a line. "T" + text: a text frame; "B" + a number: a binary frame of
// that many bytes (anything else after "B": those bytes); "C": the client goes away.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "AsrEndpoint.h"
#include "FuzzUtil.h"
#include "HttpServer.h"
#include "JsonFields.h"
#include "ScriptedEngine.h"

namespace {

using namespace vserver;

// The client's end of the connection: checks what the endpoint sends.
class Peer : public WsConnection {
  public:
    void sendText(std::string text) override {
        std::lock_guard lock(m_);
        if (closed_) fuzzutil::fail("text sent after close: " + text);
        const jsonfields::json j = jsonfields::parse(text);
        const jsonfields::json* header =
            j.is_object() ? jsonfields::objectMember(j, "header") : nullptr;
        if (!header || !jsonfields::stringMember(*header, "event"))
            fuzzutil::fail("an event without header.event: " + text);
    }
    void sendBinary(std::string) override {}
    void close(uint16_t, std::string) override {
        std::lock_guard lock(m_);
        closed_ = true;
    }
    std::string remote() const override { return "fuzz"; }

    // The network side: frames arrive one at a time.
    void deliver(bool text, std::string_view payload) {
        if (text ? !onText : !onBinary) return;
        text ? onText(payload) : onBinary(payload);
    }
    void goAway() {
        if (auto cb = std::move(onClosed)) cb();
        onText = nullptr;
        onBinary = nullptr;
    }

  private:
    std::mutex m_;
    bool closed_ = false;
};

HttpServer& server() {
    static HttpServer* s = [] {
        ServerOptions o;
        o.workerThreads = 2;
        auto* http = new HttpServer(o);  // never started
        std::string error;
        auto script = ScriptedEngine::parse(
            R"({"connections":[{"steps":[{"at_ms":0,"partial":"hel"},
                {"at_ms":20,"final":"Hello.","end_ms":20},
                {"at_finish":true,"final":"Bye."}]}]})",
            error);
        if (!script) fuzzutil::fail("script: " + error);
        AsrLimits limits;
        limits.maxAudioBytes = 32000;  // one second: the limit is reachable
        limits.maxBacklogBytes = 64000;
        limits.maxFrameBytes = 16000;
        limits.maxTextBytes = 4096;
        limits.maxHotwords = 8;
        registerAsr(*http, std::make_shared<ScriptedEngine>(http->workers(), std::move(*script)),
                    limits);
        return http;
    }();
    return *s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto peer = std::make_shared<Peer>();
    Request upgrade{http::verb::get, "/asr", 11};
    if (!server().attach("asr", peer, upgrade, Caller{"fuzz", "fuzz"}))
        fuzzutil::fail("no asr endpoint");
    std::string_view rest(reinterpret_cast<const char*>(data), size);
    std::string audio;
    while (!rest.empty()) {
        const size_t eol = rest.find('\n');
        const std::string_view line = rest.substr(0, eol);
        rest = eol == std::string_view::npos ? std::string_view() : rest.substr(eol + 1);
        if (line.empty()) continue;
        const std::string_view body = line.substr(1);
        switch (line[0]) {
            case 'T':
                peer->deliver(true, body);
                break;
            case 'B': {
                size_t n = 0;
                bool number = !body.empty() && body.size() <= 5;
                for (char c : body) number = number && c >= '0' && c <= '9';
                if (number) {
                    for (char c : body) n = n * 10 + size_t(c - '0');
                    audio.assign(n, '\x01');
                    peer->deliver(false, audio);
                } else {
                    peer->deliver(false, body);
                }
                break;
            }
            case 'C':
                peer->goAway();
                break;
            default:
                break;
        }
    }
    peer->goAway();
    return 0;
}
