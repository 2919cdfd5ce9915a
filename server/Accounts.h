#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "HttpServer.h"
#include "UserStore.h"

namespace vserver {

struct AccountOptions {
    std::string dataDir;      // holds users.sqlite3
    std::string databaseUrl;  // PostgreSQL instead, shared by several servers
    std::string jwtSecret;    // HS256 secret of access tokens; empty: only the developer token
    std::string audience = "authenticated";
    std::string devToken;              // the developer token, an active account without limits
    bool localSignIn = false;          // serve the sign-in provider under "auth/v1/"
    std::string newUsers = "pending";  // status of a user first seen through a valid token
    int64_t accessSeconds = 3600;      // lifetime of the access tokens we issue
    int64_t refreshSeconds = 30LL * 86400;
    int64_t codeSeconds = 300;     // a sign-in code must be exchanged this soon
    double requestsPerSecond = 2;  // per user, at "asr" and "polish", after...
    double burst = 30;             // ...a burst this large
};

// Password hashes for the local sign-in: PBKDF2-HMAC-SHA256 with a random salt.
std::string hashPassword(const std::string& password);
bool checkPassword(const std::string& password, const std::string& hash);

class AccountService;

// Installs the authenticator (developer token or a valid access token; refusals with 402,
// 403 and 429 at "asr" and "polish"), "me", and with `localSignIn` the sign-in provider and
// its signed-in page. The service is also held by the routes.
std::shared_ptr<AccountService> registerAccounts(HttpServer& server, AccountOptions options);

// What "asr" calls as a dictation's words are heard; counted once per dictation.
void countWords(AccountService& service, const std::string& user, int64_t words);
UserStore& userStore(AccountService& service);
// A signed access token for a user (tests, and the local sign-in).
std::string issueAccessToken(AccountService& service, const User& user,
                             const std::string& sessionId);

}  // namespace vserver
