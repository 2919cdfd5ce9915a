#pragma once
#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "cleanup/Cleanup.h"

namespace vserver {

// An OpenAI-compatible chat-completions endpoint asked to clean a dictation.
struct LlmOptions {
    std::string url;     // full endpoint URL, http:// or https://
    std::string key;     // bearer key; may be empty for local servers
    std::string model;   // also the "by" of its answers
    std::string caFile;  // extra trusted certificates (PEM), optional
    int timeoutMs = 8000;
    size_t maxInputChars = 8000;  // longer dictations go to the rules
    size_t maxAnswerBytes = 256 * 1024;
    int maxInFlight = 32;  // more at once go to the rules
};

struct ParsedUrl {
    bool tls = false;
    std::string host, port, target;
};
std::optional<ParsedUrl> parseUrl(const std::string& url);

// Runs its requests on a thread of its own, never on the server's network
// threads. Every call ends in exactly one `done`: on that thread, or at once on
// the caller's when it is refused up front (too long, too many at once).
class LlmClient {
  public:
    explicit LlmClient(LlmOptions options);
    ~LlmClient();
    LlmClient(const LlmClient&) = delete;
    LlmClient& operator=(const LlmClient&) = delete;

    // Empty when usable; otherwise why not (bad URL, unreadable CA file…).
    const std::string& problem() const { return problem_; }
    const std::string& model() const { return options_.model; }
    const LlmOptions& options() const { return options_; }

    // text: the cleaned dictation; or nothing and a reason.
    using Done = std::function<void(std::optional<std::string> text, std::string why)>;
    void polish(const std::string& raw, cleanup::Style style, const std::string& app, Done done);

    // The pieces, for tests.
    static std::string requestBody(const std::string& model, const std::string& raw,
                                   cleanup::Style style, const std::string& app,
                                   const std::string& nonce);
    static std::optional<std::string> readAnswer(const std::string& body, const std::string& raw,
                                                 const std::string& nonce, std::string& why);
    static std::string styleInstruction(cleanup::Style style);

    struct Impl;

  private:
    LlmOptions options_;
    std::string problem_;
    std::unique_ptr<Impl> impl_;
    std::atomic<int> inFlight_{0};
};

}  // namespace vserver
