#include "CleanupEndpoints.h"

#include <atomic>
#include <boost/asio/post.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <thread>

#include "JsonFields.h"
#include "PrivateDir.h"
#include "ServerLog.h"
#include "Sqlite.h"
#include "TimingStore.h"
#include "cleanup/Cleanup.h"
#include "cleanup/CorrectedWords.h"
#include "cleanup/Unicode.h"

namespace vserver {

namespace {

using namespace jsonfields;

Response jsonError(unsigned status, const std::string& message) {
    return HttpServer::json(status, dump(json{{"error", message}}));
}

// A body that parses as a JSON object, or the answer that refuses it.
struct Body {
    json object;
    std::optional<Response> refusal;
};

Body readObject(const std::string& body) {
    Body out;
    std::string why;
    out.object = parse(body, &why);
    if (out.object.is_discarded())
        out.refusal = jsonError(400, "body is not JSON: " + why);
    else if (!out.object.is_object())
        out.refusal = jsonError(400, "body must be a JSON object");
    return out;
}

std::string quoted(const char* key) {
    return std::string("\"") + key + "\"";
}

// Reads an optional string field; a present non-string is an error (null counts as absent).
bool optionalString(const json& obj, const char* key, std::string& into, std::string& error) {
    const json* v = member(obj, key);
    if (!v || v->is_null()) return true;
    if (!v->is_string()) {
        error = quoted(key) + " must be a string";
        return false;
    }
    into = v->get<std::string>();
    return true;
}

bool requiredString(const json& obj, const char* key, std::string& into, std::string& error) {
    const json* v = member(obj, key);
    if (!v) {
        error = quoted(key) + " is missing";
        return false;
    }
    if (!v->is_string()) {
        error = quoted(key) + " must be a string";
        return false;
    }
    into = v->get<std::string>();
    return true;
}

bool boundedInt(const json& obj, const char* key, bool required, int64_t max,
                std::optional<int64_t>& into, std::string& error) {
    const json* v = member(obj, key);
    if (!v || v->is_null()) {
        if (required) error = quoted(key) + " is missing";
        return !required;
    }
    const std::optional<int64_t> n = intMember(obj, key);
    if (!n || *n < 0 || *n > max) {
        error = quoted(key) + " must be a whole number from 0 to " + std::to_string(max);
        return false;
    }
    into = n;
    return true;
}

}  // namespace

std::string defaultDataDir() {
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg)
        return std::string(xdg) + "/velmora-server";
    if (const char* home = std::getenv("HOME"); home && *home)
        return std::string(home) + "/.local/share/velmora-server";
    return "velmora-server-data";
}

// The state behind "polish", "learn" and "timing". Thread: any; requests run on the
// server's workers, several at once. The options and the model client are fixed at
// construction, and the timing store guards itself.
class CleanupService {
  public:
    explicit CleanupService(CleanupOptions o) : opt(std::move(o)) {
        if (opt.llm) {
            llm = std::make_unique<LlmClient>(*opt.llm);
            if (!llm->problem().empty()) {
                log("polish: model upstream off (" + llm->problem() + "), using the rules");
                llm.reset();
            } else {
                log("polish: model " + llm->model() + " at " + opt.llm->url +
                    ", the rules as fallback");
            }
        }
        if (opt.dataDir.empty()) opt.dataDir = defaultDataDir();
        if (const std::string problem = makePrivateDirs(opt.dataDir); !problem.empty())
            log("timing: " + problem);
        const std::string file = opt.dataDir + "/timing.sqlite3";
        // Timing rows are reports, not accounts: a damaged file is set aside, not served from.
        if (opt.databaseUrl.empty())
            if (const auto checked = sqlite::checkOrSetAside(file); !checked.message.empty())
                log("timing: " + checked.message);
        timings = std::make_unique<TimingStore>(file, opt.databaseUrl);
        if (!timings->problem().empty())
            log("timing: " + timings->problem() + "; reports will be refused");
        if (opt.timingRetentionDays > 0 && timings->problem().empty()) {
            prune();
            pruner = std::thread([this] {
                std::unique_lock lock(pruneMutex);
                while (!pruneCv.wait_for(lock, std::chrono::hours(24), [this] { return stopping; }))
                    prune();
            });
        }
    }

    ~CleanupService() {
        {
            std::lock_guard lock(pruneMutex);
            stopping = true;
        }
        pruneCv.notify_all();
        if (pruner.joinable()) pruner.join();
    }
    CleanupService(const CleanupService&) = delete;
    CleanupService& operator=(const CleanupService&) = delete;

    // Deletes the timing rows older than the retention.
    void prune() {
        std::string why;
        const int64_t n =
            timings->prune(opt.timingRetentionDays, std::chrono::system_clock::now(), why);
        if (n < 0)
            log("timing: couldn't delete old rows (" + why + ")");
        else
            log("timing: keeping " + std::to_string(opt.timingRetentionDays) + " days; deleted " +
                std::to_string(n) + " older rows");
    }

    void polish(const std::string& body, Responder respond) {
        Body b = readObject(body);
        if (b.refusal) return respond(std::move(*b.refusal));
        const json& o = b.object;
        std::string text, styleName = "generic", app, error;
        if (!requiredString(o, "text", text, error) ||
            !optionalString(o, "style", styleName, error) || !optionalString(o, "app", app, error))
            return respond(jsonError(400, error));
        bool tesk = false;
        if (const json* t = member(o, "tesk"); t && !t->is_null()) {
            if (!t->is_boolean()) return respond(jsonError(400, "\"tesk\" must be true or false"));
            tesk = t->get<bool>();
        }
        const size_t chars = text::decode(text).size();
        if (chars > opt.maxTextChars)
            return respond(jsonError(413, "text too long (" + std::to_string(chars) +
                                              " characters, at most " +
                                              std::to_string(opt.maxTextChars) + ")"));
        if (text.find_first_not_of(" \t\r\n") == std::string::npos)
            return respond(jsonError(400, "\"text\" is empty"));

        const cleanup::Style style = cleanup::styleFromId(styleName);
        if (tesk && cleanup::isClean(text, style)) return respond(answer(text, "tesk"));
        if (llm) {
            const std::string model = llm->model();
            llm->polish(
                text, style, app,
                [text, style, model, respond](std::optional<std::string> cleaned, std::string why) {
                    if (cleaned) return respond(answer(*cleaned, model));
                    log("polish: model failed (" + why + "), answered with the rules");
                    respond(answer(cleanup::clean(text, style), "rules"));
                });
            return;
        }
        respond(answer(cleanup::clean(text, style), "rules"));
    }

    void learn(const std::string& body, Responder respond) {
        Body b = readObject(body);
        if (b.refusal) return respond(std::move(*b.refusal));
        std::string before, after, error;
        if (!requiredString(b.object, "before", before, error) ||
            !requiredString(b.object, "after", after, error))
            return respond(jsonError(400, error));
        if (text::decode(before).size() > corrections::kMaxChars ||
            text::decode(after).size() > corrections::kMaxChars)
            return respond(jsonError(413, "texts too long to compare"));
        const auto words = corrections::correctedWords(before, after);
        respond(answer(dump(json(words)), "rules"));
    }

    void timing(const std::string& body, const std::string& user, const std::string& appVersion,
                const std::string& osVersion, Responder respond) {
        Body b = readObject(body);
        if (b.refusal) return respond(std::move(*b.refusal));
        const json& o = b.object;
        constexpr int64_t day = 86'400'000;
        std::optional<int64_t> ms, chars, asr, polishMs;
        TimingRow row;
        std::string error;
        if (!boundedInt(o, "ms", true, day, ms, error) || !requiredString(o, "by", row.by, error) ||
            !requiredString(o, "typing", row.typing, error) ||
            !boundedInt(o, "chars", true, 10'000'000, chars, error) ||
            !boundedInt(o, "asrMs", false, day, asr, error) ||
            !boundedInt(o, "polishMs", false, day, polishMs, error))
            return respond(jsonError(400, error));
        if (row.by.empty() || row.by.size() > 64 || row.typing.size() > 64)
            return respond(jsonError(400, "\"by\" and \"typing\" must be short names"));
        row.user = user;
        row.ms = *ms;
        row.chars = *chars;
        row.asrMs = asr;
        row.polishMs = polishMs;
        row.appVersion = appVersion.substr(0, 64);
        row.osVersion = osVersion.substr(0, 64);
        const std::string failure = timings->insert(row);
        if (!failure.empty()) {
            log("timing: " + failure);
            return respond(jsonError(503, "timing report not stored"));
        }
        respond(HttpServer::text(204, ""));
    }

    static Response answer(const std::string& text, const std::string& by) {
        return HttpServer::json(200, dump(json{{"text", text}, {"by", by}}));
    }

    CleanupOptions opt;
    std::unique_ptr<LlmClient> llm;
    std::unique_ptr<TimingStore> timings;
    // The daily deletion of old timing rows.
    std::mutex pruneMutex;
    std::condition_variable pruneCv;
    bool stopping = false;
    std::thread pruner;
};

int64_t storedTimingRows(CleanupService& service) {
    return service.timings->count();
}

std::shared_ptr<CleanupService> registerCleanup(HttpServer& server, CleanupOptions options) {
    auto svc = std::make_shared<CleanupService>(std::move(options));
    // Handlers run on the network threads: only size checks there, the rest on the workers.
    auto onWorkers = [&server, svc](const Request& req, Responder& respond, size_t limit,
                                    auto work) {
        if (req.body().size() > limit) return respond(jsonError(413, "body too large"));
        // Whatever happens in the work, the caller gets one answer.
        Responder once = [respond, fired = std::make_shared<std::atomic<bool>>(false)](Response r) {
            if (!fired->exchange(true)) respond(std::move(r));
        };
        server.postWork([work = std::move(work), once]() mutable {
            try {
                work(once);
            } catch (const std::exception& e) {
                log(std::string("cleanup: request failed (") + e.what() + ")");
                once(jsonError(500, "internal error"));
            }
        });
    };
    server.route(http::verb::post, "polish",
                 [svc, onWorkers](const Request& req, const Caller&, Responder respond) {
                     onWorkers(req, respond, svc->opt.maxBodyBytes,
                               [svc, body = req.body()](Responder& r) { svc->polish(body, r); });
                 });
    server.route(http::verb::post, "learn",
                 [svc, onWorkers](const Request& req, const Caller&, Responder respond) {
                     onWorkers(req, respond, svc->opt.maxBodyBytes,
                               [svc, body = req.body()](Responder& r) { svc->learn(body, r); });
                 });
    server.route(http::verb::post, "timing",
                 [svc, onWorkers](const Request& req, const Caller& caller, Responder respond) {
                     onWorkers(req, respond, 16 * 1024,
                               [svc, body = req.body(), user = caller.user,
                                app = std::string(req["X-App-Version"]),
                                os = std::string(req["X-OS-Version"])](Responder& r) {
                                   svc->timing(body, user, app, os, r);
                               });
                 });
    return svc;
}

}  // namespace vserver
