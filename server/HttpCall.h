#pragma once
#include <boost/asio/io_context.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/beast/http.hpp>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "LlmClient.h"

namespace vserver {

// One HTTP(S) request to an outside service, with a deadline for the whole
// exchange and a bound on the answer's size. Runs on `io`'s thread; `done`
// is called there exactly once.
struct HttpAnswer {
    int status = -1;          // -1: no HTTP answer came
    std::string body, error;  // error: why there is no answer (connect, TLS, time-out...)
};

void httpCall(boost::asio::io_context& io, boost::asio::ssl::context& tls, const ParsedUrl& url,
              boost::beast::http::request<boost::beast::http::string_body> request, int timeoutMs,
              size_t maxAnswerBytes, std::function<void(HttpAnswer)> done);

}  // namespace vserver
