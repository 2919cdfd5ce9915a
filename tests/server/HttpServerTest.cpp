#include <gtest/gtest.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

#include "Endpoints.h"
#include "ServerMain.h"
#include "ServerTestUtil.h"

namespace {

using servertest::request;
using servertest::RunningServer;

TEST(HttpServer, PingAndAuthorisation) {
    RunningServer s;
    vserver::registerPing(s.server());
    s.start();
    EXPECT_EQ(request(s.port(), "GET", "/ping").status, 200);
    EXPECT_EQ(request(s.port(), "GET", "/ping?x=1").status, 200);
    EXPECT_EQ(request(s.port(), "GET", "/ping", {}, {}).status, 401);
    EXPECT_EQ(request(s.port(), "GET", "/ping", {}, {{"Authorization", "Bearer wrong"}}).status,
              401);
    EXPECT_EQ(request(s.port(), "GET", "/ping", {}, {{"Authorization", "Bearer test-token-longer"}})
                  .status,
              401);
    EXPECT_EQ(request(s.port(), "GET", "/ping", {}, {{"Authorization", "Basic test-token"}}).status,
              401);
    EXPECT_EQ(request(s.port(), "GET", "/nothing").status, 404);
    EXPECT_EQ(request(s.port(), "POST", "/ping", "{}").status, 405);
}

TEST(HttpServer, OversizeBodyAnswers413AndServerLivesOn) {
    auto opts = RunningServer::defaults();
    opts.bodyLimit = 1024;
    RunningServer s(opts);
    s.server().route(
        vserver::http::verb::post, "echo",
        [](const vserver::Request& r, const vserver::Caller&, vserver::Responder respond) {
            respond(vserver::HttpServer::text(200, r.body()));
        });
    s.start();
    EXPECT_EQ(request(s.port(), "POST", "/echo", std::string(4096, 'x')).status, 413);
    const auto ok = request(s.port(), "POST", "/echo", "small");
    EXPECT_EQ(ok.status, 200);
    EXPECT_EQ(ok.body, "small");
}

TEST(HttpServer, GarbageOnTheWireDoesNotHurtOthers) {
    RunningServer s;
    vserver::registerPing(s.server());
    s.start();
    namespace asio = boost::asio;
    asio::io_context io;
    asio::ip::tcp::socket sock(io);
    sock.connect({asio::ip::make_address("127.0.0.1"), s.port()});
    const std::string junk = "\x16\x03\x01 NOT HTTP AT ALL\r\n\r\n";
    asio::write(sock, asio::buffer(junk));
    EXPECT_EQ(request(s.port(), "GET", "/ping").status, 200);
}

TEST(HttpServer, WebSocketUpgradeIsRefusedWithAnHttpStatus) {
    RunningServer s;
    s.server().websocket("echo", [](std::shared_ptr<vserver::WsConnection> c,
                                    const vserver::Request&, const vserver::Caller&) {
        std::weak_ptr<vserver::WsConnection> weak = c;
        c->onText = [weak](std::string_view t) {
            if (auto conn = weak.lock()) conn->sendText(std::string(t));
        };
    });
    s.start();
    namespace asio = boost::asio;
    namespace beast = boost::beast;
    namespace ws = beast::websocket;

    auto handshake = [&](const std::string& token, beast::websocket::response_type& res) {
        asio::io_context io;
        ws::stream<beast::tcp_stream> stream(io);
        beast::get_lowest_layer(stream).connect({asio::ip::make_address("127.0.0.1"), s.port()});
        stream.set_option(ws::stream_base::decorator([token](ws::request_type& r) {
            if (!token.empty()) r.set(beast::http::field::authorization, "Bearer " + token);
        }));
        beast::error_code ec;
        stream.handshake(res, "127.0.0.1", "/echo", ec);
        if (!ec) {
            stream.write(asio::buffer(std::string("hello")));
            beast::flat_buffer buf;
            stream.read(buf);
            EXPECT_EQ(beast::buffers_to_string(buf.data()), "hello");
            stream.close(ws::close_code::normal);
        }
        return ec;
    };
    ws::response_type res;
    EXPECT_EQ(handshake("", res), ws::error::upgrade_declined);
    // The refusal is a plain HTTP status the client can read.
    const std::vector<std::pair<std::string, std::string>> upgrade = {
        {"Connection", "Upgrade"},
        {"Upgrade", "websocket"},
        {"Sec-WebSocket-Version", "13"},
        {"Sec-WebSocket-Key", "dGhlIHNhbXBsZSBub25jZQ=="}};
    EXPECT_EQ(request(s.port(), "GET", "/echo", {}, upgrade).status, 401);
    auto withBadToken = upgrade;
    withBadToken.emplace_back("Authorization", "Bearer nope");
    EXPECT_EQ(request(s.port(), "GET", "/echo", {}, withBadToken).status, 401);
    auto wrongPath = upgrade;
    wrongPath.emplace_back("Authorization", "Bearer test-token");
    EXPECT_EQ(request(s.port(), "GET", "/nope", {}, wrongPath).status, 404);
    ws::response_type ok;
    EXPECT_FALSE(handshake("test-token", ok));
}

TEST(ServerArgs, ListenTokenAndErrors) {
    auto p = vserver::parseArgs({"velmora-server", "--listen", "0.0.0.0:9000", "--token", "t"});
    EXPECT_TRUE(p.error.empty());
    EXPECT_EQ(p.options.address, "0.0.0.0");
    EXPECT_EQ(p.options.port, 9000);
    EXPECT_EQ(p.options.token, "t");
    EXPECT_EQ(vserver::parseArgs({"s", "--listen", "[::1]:1"}).options.address, "::1");
    EXPECT_FALSE(vserver::parseArgs({"s", "--listen", "nohost"}).error.empty());
    EXPECT_FALSE(vserver::parseArgs({"s", "--listen", "h:70000"}).error.empty());
    EXPECT_FALSE(vserver::parseArgs({"s", "--cert", "a.pem"}).error.empty());
    EXPECT_FALSE(vserver::parseArgs({"s", "--token"}).error.empty());
    EXPECT_FALSE(vserver::parseArgs({"s", "--bogus"}).error.empty());
}

TEST(ServerArgs, TranscriptionServiceFlags) {
    auto p =
        vserver::parseArgs({"s", "--asr-engine", "transcribe", "--asr-transcribe-url",
                            "http://127.0.0.1:9/v1/audio/transcriptions", "--asr-transcribe-model",
                            "whisper-1", "--asr-transcribe-key-file", "/run/key",
                            "--asr-transcribe-timeout", "12", "--asr-transcribe-partials", "0"});
    EXPECT_TRUE(p.error.empty()) << p.error;
    EXPECT_EQ(p.asr.engine, "transcribe");
    EXPECT_EQ(p.asr.transcribeUrl, "http://127.0.0.1:9/v1/audio/transcriptions");
    EXPECT_EQ(p.asr.transcribeModel, "whisper-1");
    EXPECT_EQ(p.asr.transcribeKeyFile, "/run/key");
    EXPECT_EQ(p.asr.transcribeTimeoutS, 12);
    EXPECT_FALSE(p.asr.transcribePartials);
    for (const auto& bad :
         std::vector<std::vector<std::string>>{{"s", "--asr-transcribe-timeout", "0"},
                                               {"s", "--asr-transcribe-timeout", "601"},
                                               {"s", "--asr-transcribe-partials", "yes"},
                                               {"s", "--asr-transcribe-url"},
                                               {"s", "--asr-engine", "whisper"}})
        EXPECT_FALSE(vserver::parseArgs(bad).error.empty()) << bad[1];
}

}  // namespace
