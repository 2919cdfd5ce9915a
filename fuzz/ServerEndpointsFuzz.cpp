// The server's HTTP endpoints in process, each fed an arbitrary body: every request gets
// exactly one answer, with a status the endpoint means, and JSON answers are JSON.
// Input: the endpoint's name ("polish", "learn", "timing", "me", "ping", "auth/v1/token",
// "auth/v1/authorize"; another line picks
// one by its hash), a line feed, and the body.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <future>
#include <memory>
#include <set>
#include <string>
#include <string_view>

#include "Accounts.h"
#include "CleanupEndpoints.h"
#include "Endpoints.h"
#include "FuzzUtil.h"
#include "HttpServer.h"
#include "JsonFields.h"

namespace {

using namespace vserver;

struct Endpoint {
    http::verb method;
    const char* path;
    std::set<unsigned> statuses;  // what a caller may be answered
};

const Endpoint kEndpoints[] = {
    {http::verb::post, "polish", {200, 400, 413}},
    {http::verb::post, "learn", {200, 400, 413}},
    {http::verb::post, "timing", {204, 400, 413, 503}},
    {http::verb::get, "me", {200, 401}},
    {http::verb::get, "ping", {200}},
    {http::verb::post, "auth/v1/token", {200, 400, 503}},
    {http::verb::post, "auth/v1/authorize", {303, 400, 401, 503}},
};

HttpServer& server() {
    static HttpServer* s = [] {
        ServerOptions o;
        o.workerThreads = 1;
        auto* http = new HttpServer(o);  // never started: requests come in process
        registerPing(*http);
        CleanupOptions c;
        c.dataDir = fuzzutil::privateHome() + "/server";
        registerCleanup(*http, c);
        AccountOptions a;
        a.dataDir = c.dataDir;
        a.jwtSecret = "fuzz-secret-fuzz-secret-fuzz-secret-fuzz";
        a.localSignIn = true;
        registerAccounts(*http, a);
        return http;
    }();
    return *s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const size_t eol = input.find('\n');
    const std::string_view name = input.substr(0, eol);
    const std::string_view body =
        eol == std::string_view::npos ? std::string_view() : input.substr(eol + 1);
    const Endpoint* chosen = nullptr;
    for (const Endpoint& e : kEndpoints)
        if (name == e.path) chosen = &e;
    if (!chosen) chosen = &kEndpoints[std::hash<std::string_view>{}(name) % std::size(kEndpoints)];
    const Endpoint& e = *chosen;
    Request req{e.method, std::string("/") + e.path, 11};
    req.set(http::field::authorization, "Bearer fuzz");
    req.set("X-App-Version", "0.1.0");
    req.set("X-OS-Version", "fuzz");
    req.body().assign(body);
    req.prepare_payload();

    auto answer = std::make_shared<std::promise<Response>>();
    std::future<Response> answered = answer->get_future();
    // A second answer throws here: the endpoint must answer once.
    if (!server().dispatch(req, Caller{"fuzz", "fuzz"},
                           [answer](Response r) { answer->set_value(std::move(r)); }))
        fuzzutil::fail(std::string("no route for ") + e.path);
    if (answered.wait_for(std::chrono::seconds(20)) != std::future_status::ready)
        fuzzutil::fail(std::string(e.path) + " never answered");
    const Response res = answered.get();
    if (!e.statuses.count(res.result_int()))
        fuzzutil::fail(std::string(e.path) + " answered " + std::to_string(res.result_int()) +
                       ": " + res.body());
    if (res[http::field::content_type] == "application/json" &&
        jsonfields::parse(res.body()).is_discarded())
        fuzzutil::fail(std::string(e.path) + " answered with bad JSON: " + res.body());
    return 0;
}
