#include "TranscribeEngine.h"

#include <algorithm>
#include <atomic>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <map>
#include <thread>

#include "HttpCall.h"
#include "JsonFields.h"
#include "LlmClient.h"
#include "RandomHex.h"
#include "ServerLog.h"
#include "VoiceActivity.h"

namespace vserver {

namespace asio = boost::asio;
namespace http = boost::beast::http;

namespace {

constexpr int kRate = VoiceActivity::kRate;
constexpr int64_t kPartialEvery = kRate;     // at most one partial request a second
constexpr size_t kMaxTextBytes = 16 * 1024;  // one sentence's text
constexpr size_t kMaxPromptBytes = 1000;     // services cut long prompts anyway

void putLe(std::string& out, uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
}

// What the service said, as one line of plain text: no control characters.
std::string tidy(const std::string& text) {
    std::string out;
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) c = ' ';
        if (c == ' ' && (out.empty() || out.back() == ' ')) continue;
        out += c;
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
}

}  // namespace

// The engine's own network thread and what its tasks share.
struct TranscribeEngine::Shared {
    explicit Shared(Options o) : options(std::move(o)) {}
    const Options options;
    ParsedUrl url;
    asio::io_context io;
    asio::executor_work_guard<asio::io_context::executor_type> work{io.get_executor()};
    asio::ssl::context tls{asio::ssl::context::tls_client};
    std::atomic<int> inFlight{0};
    std::thread thread;  // joined by the engine
};

// ---------- one task ----------

class TranscribeEngine::Task : public WorkerTask {
  public:
    Task(asio::thread_pool& workers, std::shared_ptr<RecognitionListener> listener,
         std::shared_ptr<Shared> shared, AsrParams params)
        : WorkerTask(workers, std::move(listener)),
          shared_(std::move(shared)),
          params_(std::move(params)),
          prompt_(prompt(params_.vocabulary)),
          vad_(params_.maxSentenceSilenceMs) {}

    void begin() {
        onStrand([this] {
            reportReady();
            runnable();
        });
    }

  private:
    struct Pending {
        int64_t beginMs = 0, endMs = 0;
        std::optional<std::string> text;  // set when answered
    };

    void process(const int16_t* s, size_t n) override {
        if (failed_) return;
        const int64_t base = vad_.position();
        size_t taken = 0;
        vad_.feed(s, n, [&](VoiceActivity::Cut cut, int64_t at) {
            const size_t upTo = size_t(at - base);
            audio_.append(reinterpret_cast<const char*>(s + taken), (upTo - taken) * 2);
            taken = upTo;
            if (cut == VoiceActivity::Cut::sentence && !failed_)
                sendSentence(vad_.sentenceStart(), vad_.lastVoice());
            audio_.clear();
            vad_.restart(at);
            partialFrom_ = at;
        });
        audio_.append(reinterpret_cast<const char*>(s + taken), (n - taken) * 2);
        if (shared_->options.partials && vad_.inVoice() && !partialInFlight_ &&
            vad_.position() - partialFrom_ >= kPartialEvery) {
            partialFrom_ = vad_.position();
            sendPartial();
        }
    }

    void end() override {
        ending_ = true;
        if (vad_.inVoice() && !failed_) sendSentence(vad_.sentenceStart(), vad_.position());
        audio_.clear();
        deliver();
    }

    void sendSentence(int64_t begin, int64_t end) {
        const uint64_t seq = nextSeq_++;
        pending_[seq] = Pending{begin * 1000 / kRate, end * 1000 / kRate, std::nullopt};
        request(audio_, [this, seq](std::optional<std::string> text, std::string why) {
            if (!text) return fail(why);
            pending_[seq].text = std::move(*text);
            deliver();
        });
    }

    void sendPartial() {
        if (shared_->inFlight.load() >= shared_->options.maxInFlight) return;  // finals first
        partialInFlight_ = true;
        const uint64_t seq = nextSeq_;  // the sentence still growing
        request(audio_, [this, seq](std::optional<std::string> text, std::string) {
            partialInFlight_ = false;
            // A late or failed partial is only a preview: the final sentence says it all.
            if (!text || text->empty() || failed_ || seq != nextSeq_ || *text == lastPartial_)
                return;
            lastPartial_ = *text;
            reportSentence({*text, false, vad_.sentenceStart() * 1000 / kRate, std::nullopt});
        });
    }

    // Final sentences go out in the order they were said, each once answered.
    void deliver() {
        if (failed_) return;
        while (!pending_.empty() && pending_.begin()->first == nextReport_ &&
               pending_.begin()->second.text) {
            const Pending p = std::move(pending_.begin()->second);
            pending_.erase(pending_.begin());
            ++nextReport_;
            if (!p.text->empty()) reportSentence({*p.text, true, p.beginMs, p.endMs});
            lastPartial_.clear();
        }
        if (ending_ && pending_.empty()) reportFinished();
    }

    void fail(const std::string& why) {
        if (failed_) return;
        failed_ = true;
        log("asr: task " + params_.taskId + ": transcription service failed: " + why);
        reportFailed("engine-error", "the transcription service failed: " + why);
    }

    using Answer = std::function<void(std::optional<std::string>, std::string)>;

    // Sends the audio; `answer` runs on this task's strand (not after a cancel).
    void request(const std::string& pcm, Answer answer) {
        Shared& sh = *shared_;
        if (sh.inFlight.fetch_add(1) >= sh.options.maxInFlight) {
            sh.inFlight.fetch_sub(1);
            return answer(std::nullopt, "too many requests to the service at once");
        }
        const auto boundary = randomHex(12);
        if (!boundary) {
            sh.inFlight.fetch_sub(1);
            return answer(std::nullopt, "no random bytes for the request");
        }
        const std::string b = "velmora-" + *boundary;
        std::string body;
        auto field = [&](const char* name, const std::string& value) {
            body += "--" + b + "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" +
                    value + "\r\n";
        };
        field("model", sh.options.model);
        field("response_format", "json");
        if (!prompt_.empty()) field("prompt", prompt_);
        body += "--" + b +
                "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"sentence.wav\"\r\n"
                "Content-Type: audio/wav\r\n\r\n" +
                wavFile(pcm) + "\r\n--" + b + "--\r\n";

        http::request<http::string_body> req{http::verb::post, sh.url.target, 11};
        const bool defaultPort = sh.url.port == (sh.url.tls ? "443" : "80");
        req.set(http::field::host, defaultPort ? sh.url.host : sh.url.host + ":" + sh.url.port);
        req.set(http::field::content_type, "multipart/form-data; boundary=" + b);
        req.set(http::field::accept, "application/json");
        req.set(http::field::user_agent, "velmora-server");
        if (!sh.options.key.empty())
            req.set(http::field::authorization, "Bearer " + sh.options.key);
        req.body() = std::move(body);
        req.prepare_payload();

        auto self = std::static_pointer_cast<Task>(shared_from_this());
        auto shared = shared_;
        httpCall(sh.io, sh.tls, sh.url, std::move(req), sh.options.timeoutMs,
                 sh.options.maxAnswerBytes,
                 [self, shared, answer = std::move(answer)](HttpAnswer a) mutable {
                     shared->inFlight.fetch_sub(1);
                     std::optional<std::string> text;
                     std::string why;
                     if (a.status < 0)
                         why = a.error;
                     else if (a.status != 200)
                         why = "http " + std::to_string(a.status) + statusDetail(a.body);
                     else
                         text = readAnswer(a.body, why);
                     self->onStrand([self, answer = std::move(answer), text = std::move(text),
                                     why = std::move(why)]() mutable {
                         answer(std::move(text), std::move(why));
                     });
                 });
    }

    // A service's own error message, shortened and tidied, when it gave one.
    static std::string statusDetail(const std::string& body) {
        const auto j = jsonfields::parse(body);
        if (!j.is_object()) return {};
        std::optional<std::string> message;
        if (const auto* e = jsonfields::objectMember(j, "error"))
            message = jsonfields::stringMember(*e, "message");
        if (!message) message = jsonfields::stringMember(j, "error");
        if (!message || !jsonfields::validUtf8(*message)) return {};
        std::string m = tidy(*message);
        if (m.size() > 200) {
            m.resize(200);
            // Not half a character: drop the cut one whole.
            while (!m.empty() && (static_cast<unsigned char>(m.back()) & 0x80)) m.pop_back();
            m += "...";
        }
        return m.empty() ? std::string() : " (" + m + ")";
    }

    const std::shared_ptr<Shared> shared_;
    const AsrParams params_;
    const std::string prompt_;
    VoiceActivity vad_;
    std::string audio_;  // the sentence being heard, from its start
    int64_t partialFrom_ = 0;
    bool partialInFlight_ = false, ending_ = false, failed_ = false;
    std::string lastPartial_;
    uint64_t nextSeq_ = 0, nextReport_ = 0;
    std::map<uint64_t, Pending> pending_;
};

// ---------- engine ----------

std::optional<std::string> TranscribeEngine::check(const Options& o) {
    if (!parseUrl(o.url)) return "--asr-transcribe-url wants an http:// or https:// URL";
    if (o.model.empty()) return "--asr-engine transcribe needs --asr-transcribe-model NAME";
    return std::nullopt;
}

TranscribeEngine::TranscribeEngine(asio::thread_pool& workers, Options options)
    : workers_(workers), shared_(std::make_shared<Shared>(std::move(options))) {
    if (auto url = parseUrl(shared_->options.url)) shared_->url = *url;
    boost::system::error_code ec;
    shared_->tls.set_default_verify_paths(ec);
    if (!shared_->options.caFile.empty()) {
        shared_->tls.load_verify_file(shared_->options.caFile, ec);
        if (ec) log("asr: couldn't read " + shared_->options.caFile + " (" + ec.message() + ")");
    }
    shared_->thread = std::thread([sh = shared_.get()] { sh->io.run(); });
}

// Requests still out are dropped with the thread; their tasks are being torn down too.
TranscribeEngine::~TranscribeEngine() {
    shared_->work.reset();
    shared_->io.stop();
    if (shared_->thread.joinable()) shared_->thread.join();
}

std::shared_ptr<RecognitionTask> TranscribeEngine::start(
    const AsrParams& params, std::shared_ptr<RecognitionListener> listener) {
    auto task = std::make_shared<Task>(workers_, std::move(listener), shared_, params);
    task->begin();
    return task;
}

std::string TranscribeEngine::wavFile(const std::string& pcm) {
    std::string out;
    out.reserve(44 + pcm.size());
    const auto bytes = static_cast<uint32_t>(pcm.size() & ~size_t(1));
    out += "RIFF";
    putLe(out, 36 + bytes, 4);
    out += "WAVEfmt ";
    putLe(out, 16, 4);
    putLe(out, 1, 2);  // PCM
    putLe(out, 1, 2);  // mono
    putLe(out, kRate, 4);
    putLe(out, kRate * 2, 4);
    putLe(out, 2, 2);
    putLe(out, 16, 2);
    out += "data";
    putLe(out, bytes, 4);
    out.append(pcm, 0, bytes);
    return out;
}

std::string TranscribeEngine::prompt(const std::vector<std::pair<std::string, int>>& vocabulary) {
    // Strong hotwords first; the service reads the prompt as context it may echo.
    std::vector<std::pair<std::string, int>> words(vocabulary);
    std::stable_sort(words.begin(), words.end(),
                     [](const auto& a, const auto& b) { return a.second > b.second; });
    std::string out;
    for (const auto& [word, weight] : words) {
        const std::string w = tidy(word);
        if (w.empty() || !jsonfields::validUtf8(w)) continue;
        if (out.size() + w.size() + 2 > kMaxPromptBytes) break;
        if (!out.empty()) out += ", ";
        out += w;
    }
    return out;
}

std::optional<std::string> TranscribeEngine::readAnswer(const std::string& body, std::string& why) {
    std::string parseWhy;
    const auto j = jsonfields::parse(body, &parseWhy);
    if (!j.is_object()) {
        why = j.is_discarded() ? "answer is not JSON (" + parseWhy + ")"
                               : "answer is not a JSON object";
        return std::nullopt;
    }
    const auto text = jsonfields::stringMember(j, "text");
    if (!text) {
        why = "answer has no \"text\"";
        return std::nullopt;
    }
    if (text->size() > kMaxTextBytes) {
        why = "answer's text is too long for one sentence";
        return std::nullopt;
    }
    return tidy(*text);
}

}  // namespace vserver
