#include "Accounts.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <boost/asio/post.hpp>
#include <cctype>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <map>
#include <mutex>

#include "JsonFields.h"
#include "Jwt.h"
#include "PrivateDir.h"
#include "RandomHex.h"
#include "ServerLog.h"

namespace vserver {

using namespace jsonfields;

namespace {

constexpr int kPbkdf2Rounds = 100000;

int64_t nowSeconds() {
    return static_cast<int64_t>(std::time(nullptr));
}

std::string isoDate(int64_t unixSeconds) {
    const std::time_t t = static_cast<std::time_t>(unixSeconds);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[40];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S.000Z", &tm);
    return buf;
}

// The first day of the month after `month` (yyyymm), 00:00 UTC.
std::string monthEnd(int month) {
    int year = month / 100, m = month % 100 + 1;
    if (m > 12) m = 1, ++year;
    char buf[40];
    std::snprintf(buf, sizeof buf, "%04d-%02d-01T00:00:00.000Z", year, m);
    return buf;
}

std::string hex(std::string_view bytes) {
    static const char* digits = "0123456789abcdef";
    std::string s;
    for (unsigned char b : bytes) {
        s.push_back(digits[b >> 4]);
        s.push_back(digits[b & 15]);
    }
    return s;
}

// Codes and refresh tokens are kept only as digests: a copy of the database signs no one in.
std::string digest(const std::string& secret) {
    return hex(jwt::sha256(secret));
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Percent-decoding of a query or form value ("+" is a space in both).
std::optional<std::string> urlDecode(std::string_view s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '+') {
            out.push_back(' ');
        } else if (s[i] == '%') {
            if (i + 2 >= s.size()) return std::nullopt;
            const int hi = hexValue(s[i + 1]), lo = hexValue(s[i + 2]);
            if (hi < 0 || lo < 0) return std::nullopt;
            out.push_back(static_cast<char>(hi * 16 + lo));
            i += 2;
        } else {
            out.push_back(s[i]);
        }
    }
    return out;
}

// name=value pairs of a query or form body; the first occurrence of a name wins.
std::map<std::string, std::string> formFields(std::string_view text) {
    std::map<std::string, std::string> out;
    while (!text.empty()) {
        const size_t amp = text.find('&');
        const std::string_view pair = text.substr(0, amp);
        text = amp == std::string_view::npos ? std::string_view() : text.substr(amp + 1);
        const size_t eq = pair.find('=');
        const auto key = urlDecode(pair.substr(0, eq));
        const auto value =
            urlDecode(eq == std::string_view::npos ? std::string_view() : pair.substr(eq + 1));
        if (key && value && !key->empty()) out.emplace(*key, *value);
    }
    return out;
}

std::string_view queryOf(const Request& req) {
    const std::string_view target = req.target();
    const size_t q = target.find('?');
    return q == std::string_view::npos ? std::string_view() : target.substr(q + 1);
}

std::string pathOf(const Request& req) {
    std::string path(req.target().substr(0, req.target().find('?')));
    while (!path.empty() && path.front() == '/') path.erase(path.begin());
    while (!path.empty() && path.back() == '/') path.pop_back();
    return path;
}

std::string html(std::string_view s) {
    std::string out;
    for (char c : s) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                out.push_back(c);
        }
    }
    return out;
}

Response authError(unsigned status, const std::string& code, const std::string& msg) {
    return HttpServer::json(status, dump(json{{"error", code}, {"msg", msg}}));
}

bool base64urlText(const std::string& s) {
    for (unsigned char c : s)
        if (!std::isalnum(c) && c != '-' && c != '_') return false;
    return true;
}

// A redirect target the sign-in may send its code to: the app's own scheme, or a signed-in
// page. The code alone is worth nothing without the verifier the app keeps.
bool allowedRedirect(const std::string& url) {
    if (url.rfind("velmora://", 0) == 0) return url.find_first_of("\r\n\"<> ") == std::string::npos;
    const bool web = url.rfind("http://", 0) == 0 || url.rfind("https://", 0) == 0;
    if (!web || url.size() > 2048 || url.find_first_of("\r\n\"<> ?#") != std::string::npos)
        return false;
    const size_t hostEnd = url.find('/', url.find("//") + 2);
    if (hostEnd == std::string::npos) return false;
    const std::string path = url.substr(hostEnd);
    return path == "/signed-in" || path == "/zh/signed-in";
}

}  // namespace

std::string hashPassword(const std::string& password) {
    unsigned char salt[16];
    unsigned char out[32];
    if (RAND_bytes(salt, sizeof salt) != 1) return {};
    if (PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()), salt, sizeof salt,
                          kPbkdf2Rounds, EVP_sha256(), sizeof out, out) != 1)
        return {};
    return "pbkdf2-sha256$" + std::to_string(kPbkdf2Rounds) + "$" +
           hex(std::string_view(reinterpret_cast<char*>(salt), sizeof salt)) + "$" +
           hex(std::string_view(reinterpret_cast<char*>(out), sizeof out));
}

bool checkPassword(const std::string& password, const std::string& hash) {
    // pbkdf2-sha256$ROUNDS$SALT$HASH
    const size_t a = hash.find('$'), b = hash.find('$', a + 1), c = hash.find('$', b + 1);
    if (a == std::string::npos || b == std::string::npos || c == std::string::npos ||
        hash.substr(0, a) != "pbkdf2-sha256")
        return false;
    const int rounds = std::atoi(hash.substr(a + 1, b - a - 1).c_str());
    const std::string saltHex = hash.substr(b + 1, c - b - 1), want = hash.substr(c + 1);
    if (rounds < 1000 || rounds > 10'000'000 || saltHex.size() % 2 || want.size() != 64)
        return false;
    std::string salt;
    for (size_t i = 0; i < saltHex.size(); i += 2) {
        const int hi = hexValue(saltHex[i]), lo = hexValue(saltHex[i + 1]);
        if (hi < 0 || lo < 0) return false;
        salt.push_back(static_cast<char>(hi * 16 + lo));
    }
    unsigned char out[32];
    if (PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()),
                          reinterpret_cast<const unsigned char*>(salt.data()),
                          static_cast<int>(salt.size()), rounds, EVP_sha256(), sizeof out,
                          out) != 1)
        return false;
    const std::string got = hex(std::string_view(reinterpret_cast<char*>(out), sizeof out));
    return CRYPTO_memcmp(got.data(), want.data(), got.size()) == 0;
}

// Accounts behind the endpoints. Thread: any; the store guards itself and the rate buckets
// have their own mutex.
class AccountService {
  public:
    explicit AccountService(AccountOptions o) : opt(std::move(o)) {
        if (const std::string problem = makePrivateDirs(opt.dataDir); !problem.empty())
            log("users: " + problem);
        store = openUserStore({opt.dataDir, opt.databaseUrl});
        if (!store->problem().empty())
            log("users: " + store->problem() + "; only the developer token is accepted");
        if (opt.jwtSecret.empty())
            log("users: no token secret (VELMORA_JWT_SECRET); only the developer token is "
                "accepted");
    }

    AuthResult authenticate(const Request& req) {
        const std::string path = pathOf(req);
        // The sign-in provider's calls carry their own credentials.
        if (path.rfind("auth/v1/", 0) == 0 || path == "signed-in" || path == "zh/signed-in")
            return {};
        const std::string_view header = req[http::field::authorization];
        constexpr std::string_view prefix = "Bearer ";
        if (header.size() <= prefix.size() || header.substr(0, prefix.size()) != prefix)
            return {401, {}, "missing bearer token"};
        const std::string token(header.substr(prefix.size()));
        if (isDevToken(token)) return {200, {"dev", token}, {}};
        const std::optional<User> user = userForToken(token);
        if (!user && !lastError_.empty()) return {401, {}, "invalid token: " + lastError_};
        if (!user) return {503, {}, "account store unavailable"};
        if (path == "asr" || path == "polish") {
            if (user->status == "disabled") return {403, {}, "account disabled"};
            if (user->status != "active") return {403, {}, "account not yet active"};
            const int month = monthOf(nowSeconds());
            const int64_t used = user->wordsMonth == month ? user->wordsUsed : 0;
            if (user->wordsLimit > 0 && used >= user->wordsLimit)
                return {402, {}, "this month's words are used up"};
            if (!takeRequest(user->id)) return {429, {}, "too many requests"};
        }
        return {200, {user->id, token}, {}};
    }

    Response me(const Caller& caller) {
        const int month = monthOf(nowSeconds());
        if (caller.user == "dev") {
            const json words = {{"used", 0}, {"limit", 0}, {"end", monthEnd(month)}};
            return HttpServer::json(
                200, dump(json{{"status", "active"}, {"plan", {{"id", "max"}, {"words", words}}}}));
        }
        const std::optional<User> u = store->byId(caller.user);
        if (!u) return authError(401, "unknown_user", "no such user");
        json plan = {{"id", u->plan},
                     {"words",
                      {{"used", u->wordsMonth == month ? u->wordsUsed : 0},
                       {"limit", u->wordsLimit},
                       {"end", monthEnd(month)}}}};
        if (u->until) plan["until"] = isoDate(*u->until);
        return HttpServer::json(200, dump(json{{"status", u->status}, {"plan", plan}}));
    }

    void addWords(const std::string& user, int64_t words) {
        if (user == "dev" || words <= 0) return;
        if (!store->addWords(user, words, monthOf(nowSeconds())))
            log("users: couldn't count " + std::to_string(words) + " words for " + user);
        forget(user);
    }

    std::string accessToken(const User& u, const std::string& sessionId) {
        const int64_t now = nowSeconds();
        const json claims = {{"sub", u.id},
                             {"aud", opt.audience},
                             {"iat", now},
                             {"exp", now + opt.accessSeconds},
                             {"iss", "velmora-server"},
                             {"role", "authenticated"},
                             {"email", u.email},
                             {"session_id", sessionId},
                             {"jti", randomHex(8).value_or("")},
                             {"user_metadata", {{"full_name", u.name}}}};
        return jwt::sign(claims, opt.jwtSecret);
    }

    // ---- the local sign-in provider ----

    Response authorizePage(const Request& req) {
        const auto q = formFields(queryOf(req));
        const auto get = [&](const char* k) {
            const auto it = q.find(k);
            return it == q.end() ? std::string() : it->second;
        };
        return signInPage(get("redirect_to"), get("code_challenge"), get("code_challenge_method"),
                          "", 200);
    }

    Response authorizeSubmit(const Request& req) {
        const auto f = formFields(req.body());
        const auto get = [&](const char* k) {
            const auto it = f.find(k);
            return it == f.end() ? std::string() : it->second;
        };
        const std::string redirect = get("redirect_to"), challenge = get("code_challenge"),
                          method = get("code_challenge_method"), name = get("name");
        if (Response bad = checkAuthorize(redirect, challenge, method); bad.result_int() != 200)
            return bad;
        const std::optional<User> u = name.empty() ? std::nullopt : store->byName(name);
        // One answer for an unknown name and a wrong password: names are not to be probed.
        if (!u || u->passwordHash.empty() || !checkPassword(get("password"), u->passwordHash)) {
            log("sign-in: refused for \"" + name.substr(0, 64) + "\"");
            return signInPage(redirect, challenge, method, "Wrong name or password.", 401);
        }
        const auto code = randomHex(32);
        if (!code || !store->putCode(digest(*code),
                                     {u->id, challenge, nowSeconds() + opt.codeSeconds, false}))
            return authError(503, "unavailable", "couldn't start the session");
        log("sign-in: " + u->name + " signed in on the local page");
        Response res = HttpServer::text(303, "");
        res.set(http::field::location,
                redirect + (redirect.find('?') == std::string::npos ? "?" : "&") + "code=" + *code);
        return res;
    }

    Response signedInPage(const Request& req) {
        const std::string_view q = queryOf(req);
        for (unsigned char c : q)
            if (!std::isalnum(c) &&
                std::string_view("-._~%&=+").find(static_cast<char>(c)) == std::string_view::npos)
                return HttpServer::text(400, "malformed query\n");
        const std::string target = "velmora://auth-callback?" + std::string(q);
        return HttpServer::text(200,
                                "<!doctype html><meta charset=utf-8><title>Velmora</title>"
                                "<meta http-equiv=refresh content=\"0;url=" +
                                    html(target) +
                                    "\">"
                                    "<p>Signed in. <a id=open href=\"" +
                                    html(target) + "\">Back to Velmora</a></p>",
                                "text/html; charset=utf-8");
    }

    Response token(const Request& req) {
        const auto q = formFields(queryOf(req));
        const auto grant = q.find("grant_type");
        const json body = parse(req.body());
        if (!body.is_object())
            return authError(400, "invalid_request", "body must be a JSON object");
        if (grant != q.end() && grant->second == "pkce") return pkce(body);
        if (grant != q.end() && grant->second == "refresh_token") return refresh(body);
        return authError(400, "unsupported_grant_type", "grant_type must be pkce or refresh_token");
    }

    Response logout(const Request& req) {
        const std::string_view header = req[http::field::authorization];
        constexpr std::string_view prefix = "Bearer ";
        if (header.size() <= prefix.size() || header.substr(0, prefix.size()) != prefix)
            return authError(401, "no_authorization", "missing bearer token");
        const auto v =
            jwt::verify(header.substr(prefix.size()), opt.jwtSecret, opt.audience, nowSeconds());
        if (!v.ok()) return authError(401, "bad_jwt", v.error);
        if (const auto session = stringMember(v.claims, "session_id"))
            store->revokeFamily(*session);
        return HttpServer::text(204, "");
    }

    AccountOptions opt;
    std::unique_ptr<UserStore> store;

  private:
    bool isDevToken(const std::string& sent) const {
        const std::string& t = opt.devToken;
        return !t.empty() && sent.size() == t.size() &&
               CRYPTO_memcmp(sent.data(), t.data(), t.size()) == 0;
    }

    // The user a bearer token stands for, or none with lastError_ set (thread-local) when the
    // token is refused. Tokens already checked, and users unchanged since they were read, come
    // from memory: every "asr" and "polish" asks, and neither HMAC nor a SELECT is free.
    std::optional<User> userForToken(const std::string& token) {
        lastError_.clear();
        const auto steady = std::chrono::steady_clock::now();
        const int64_t now = nowSeconds();
        std::string sub;
        {
            std::lock_guard lock(cacheMutex_);
            if (auto it = tokens_.find(token); it != tokens_.end() && it->second.exp > now)
                sub = it->second.sub;
        }
        json claims;
        if (sub.empty()) {
            jwt::Verified v = jwt::verify(token, opt.jwtSecret, opt.audience, now);
            if (!v.ok()) {
                lastError_ = v.error;
                return std::nullopt;
            }
            claims = std::move(v.claims);
            sub = *stringMember(claims, "sub");
            std::lock_guard lock(cacheMutex_);
            if (tokens_.size() >= kCacheSize) tokens_.clear();
            tokens_[token] = {sub, *intMember(claims, "exp")};
        }
        const int64_t version = store->version(sub);
        {
            std::lock_guard lock(cacheMutex_);
            if (auto it = users_.find(sub); it != users_.end() && it->second.version == version &&
                                            steady - it->second.at < kUserTtl)
                return it->second.user;
        }
        std::optional<User> u = store->byId(sub);
        if (!u && claims.is_object()) u = userFor(claims);
        if (!u) {
            if (store->problem().empty()) lastError_ = "no such user";
            return std::nullopt;
        }
        std::lock_guard lock(cacheMutex_);
        if (users_.size() >= kCacheSize) users_.clear();
        users_[sub] = {*u, steady, version};
        return u;
    }

    void forget(const std::string& user) {
        std::lock_guard lock(cacheMutex_);
        users_.erase(user);
    }

    // The token's user, made on first sight when the hosted service signed them up.
    std::optional<User> userFor(const json& claims) {
        const std::string sub = *stringMember(claims, "sub");
        if (auto u = store->byId(sub)) return u;
        if (!store->problem().empty()) return std::nullopt;
        User u;
        u.id = sub;
        u.email = stringMember(claims, "email").value_or("").substr(0, 320);
        u.name = u.email.empty() || store->byName(u.email) ? sub : u.email;
        u.status = opt.newUsers;
        u.plan = "free";
        u.wordsLimit = defaultLimit(u.plan);
        if (const std::string why = store->add(u); why.empty())
            log("users: new user " + u.id + " (" + u.status + ")");
        return store->byId(sub);  // another request may have made them meanwhile
    }

    bool takeRequest(const std::string& user) {
        const auto now = std::chrono::steady_clock::now();
        std::lock_guard lock(rateMutex_);
        auto [it, fresh] = buckets_.try_emplace(user, Bucket{opt.burst, now});
        Bucket& b = it->second;
        if (!fresh) {
            b.tokens =
                std::min(opt.burst, b.tokens + std::chrono::duration<double>(now - b.at).count() *
                                                   opt.requestsPerSecond);
            b.at = now;
        }
        if (b.tokens < 1) return false;
        b.tokens -= 1;
        return true;
    }

    Response checkAuthorize(const std::string& redirect, const std::string& challenge,
                            const std::string& method) {
        if (!allowedRedirect(redirect))
            return authError(400, "invalid_request", "redirect_to is not a sign-in page");
        if (challenge.size() != 43 || !base64urlText(challenge))
            return authError(400, "invalid_request",
                             "code_challenge must be 43 URL-safe characters");
        if (method != "s256" && method != "S256")
            return authError(400, "invalid_request", "code_challenge_method must be s256");
        return HttpServer::text(200, "");
    }

    Response signInPage(const std::string& redirect, const std::string& challenge,
                        const std::string& method, const std::string& problem, unsigned status) {
        if (Response bad = checkAuthorize(redirect, challenge, method); bad.result_int() != 200)
            return bad;
        std::string page =
            "<!doctype html><meta charset=utf-8><title>Sign in to Velmora</title>"
            "<h1>Sign in to Velmora</h1>";
        if (!problem.empty()) page += "<p id=problem>" + html(problem) + "</p>";
        page +=
            "<form method=post action=\"/auth/v1/authorize\">"
            "<input type=hidden name=redirect_to value=\"" +
            html(redirect) +
            "\">"
            "<input type=hidden name=code_challenge value=\"" +
            html(challenge) +
            "\">"
            "<input type=hidden name=code_challenge_method value=\"" +
            html(method) +
            "\">"
            "<label>Name <input name=name autocomplete=username></label> "
            "<label>Password <input name=password type=password "
            "autocomplete=current-password></label> "
            "<button type=submit>Sign in</button></form>";
        return HttpServer::text(status, page, "text/html; charset=utf-8");
    }

    Response pkce(const json& body) {
        const auto code = stringMember(body, "auth_code");
        const auto verifier = stringMember(body, "code_verifier");
        if (!code || !verifier)
            return authError(400, "invalid_request", "auth_code and code_verifier are required");
        if (verifier->size() < 43 || verifier->size() > 128 || !base64urlText(*verifier))
            return authError(400, "invalid_grant", "code_verifier is malformed");
        const std::optional<AuthCode> c = store->takeCode(digest(*code));
        if (!c) return authError(400, "invalid_grant", "unknown sign-in code");
        if (c->used) return authError(400, "invalid_grant", "sign-in code already used");
        if (c->expiresAt <= nowSeconds())
            return authError(400, "invalid_grant", "sign-in code expired");
        const std::string challenge = jwt::base64url(jwt::sha256(*verifier));
        if (challenge.size() != c->challenge.size() ||
            CRYPTO_memcmp(challenge.data(), c->challenge.data(), challenge.size()) != 0)
            return authError(400, "invalid_grant", "code_verifier does not match the challenge");
        const std::optional<User> u = store->byId(c->userId);
        const auto family = randomHex(16);
        if (!u || !family) return authError(503, "unavailable", "couldn't start the session");
        return session(*u, *family);
    }

    Response refresh(const json& body) {
        const auto token = stringMember(body, "refresh_token");
        if (!token || token->empty() || token->size() > 256)
            return authError(400, "invalid_request", "refresh_token is required");
        const RefreshUse use = store->useRefresh(digest(*token), nowSeconds());
        switch (use.result) {
            case RefreshUse::Result::unknown:
                return authError(400, "invalid_grant",
                                 "Invalid Refresh Token: Refresh Token Not Found");
            case RefreshUse::Result::expired:
                return authError(400, "invalid_grant", "Invalid Refresh Token: Expired");
            case RefreshUse::Result::reused:
                log("sign-in: a refresh token of " + use.userId +
                    " was used twice; its session is revoked");
                return authError(400, "invalid_grant", "Invalid Refresh Token: Already Used");
            case RefreshUse::Result::fresh:
                break;
        }
        const std::optional<User> u = store->byId(use.userId);
        if (!u) return authError(400, "invalid_grant", "user not found");
        return session(*u, use.family);
    }

    Response session(const User& u, const std::string& family) {
        const auto refreshToken = randomHex(32);
        if (!refreshToken || !store->putRefresh(digest(*refreshToken), family, u.id,
                                                nowSeconds() + opt.refreshSeconds))
            return authError(503, "unavailable", "couldn't store the session");
        const json user = {
            {"id", u.id}, {"email", u.email}, {"user_metadata", {{"full_name", u.name}}}};
        return HttpServer::json(200, dump(json{{"access_token", accessToken(u, family)},
                                               {"token_type", "bearer"},
                                               {"expires_in", opt.accessSeconds},
                                               {"expires_at", nowSeconds() + opt.accessSeconds},
                                               {"refresh_token", *refreshToken},
                                               {"user", user}}));
    }

    static constexpr size_t kCacheSize = 100000;
    // A cached user is read again after this long even when the store says nothing changed.
    static constexpr std::chrono::seconds kUserTtl{5};
    struct CachedToken {
        std::string sub;
        int64_t exp;
    };
    struct CachedUser {
        User user;
        std::chrono::steady_clock::time_point at;
        int64_t version;  // of the store when read
    };
    static thread_local std::string lastError_;
    std::mutex cacheMutex_;
    std::map<std::string, CachedToken> tokens_;
    std::map<std::string, CachedUser> users_;

    struct Bucket {
        double tokens;
        std::chrono::steady_clock::time_point at;
    };
    std::mutex rateMutex_;
    std::map<std::string, Bucket> buckets_;
};

thread_local std::string AccountService::lastError_;

void countWords(AccountService& service, const std::string& user, int64_t words) {
    service.addWords(user, words);
}

UserStore& userStore(AccountService& service) {
    return *service.store;
}

std::string issueAccessToken(AccountService& service, const User& user,
                             const std::string& sessionId) {
    return service.accessToken(user, sessionId);
}

std::shared_ptr<AccountService> registerAccounts(HttpServer& server, AccountOptions options) {
    auto svc = std::make_shared<AccountService>(std::move(options));
    server.setAuthenticator([svc](const Request& req) { return svc->authenticate(req); });
    server.route(http::verb::get, "me",
                 [svc](const Request&, const Caller& caller, Responder r) { r(svc->me(caller)); });
    if (!svc->opt.localSignIn) return svc;
    if (svc->opt.jwtSecret.empty())
        log("sign-in: the local provider needs a token secret (VELMORA_JWT_SECRET); it is off");
    else
        log("sign-in: local provider at /auth/v1/");
    if (svc->opt.jwtSecret.empty()) return svc;
    // Password checks and database writes leave the network threads.
    auto onWorkers = [&server](auto work) {
        return [&server, work](const Request& req, const Caller&, Responder respond) {
            boost::asio::post(server.workers(), [work, req, respond] {
                try {
                    respond(work(req));
                } catch (const std::exception& e) {
                    log(std::string("sign-in: request failed (") + e.what() + ")");
                    respond(authError(500, "internal", "internal error"));
                }
            });
        };
    };
    server.route(http::verb::get, "auth/v1/authorize",
                 onWorkers([svc](const Request& req) { return svc->authorizePage(req); }));
    server.route(http::verb::post, "auth/v1/authorize",
                 onWorkers([svc](const Request& req) { return svc->authorizeSubmit(req); }));
    server.route(http::verb::post, "auth/v1/token",
                 onWorkers([svc](const Request& req) { return svc->token(req); }));
    server.route(http::verb::post, "auth/v1/logout",
                 onWorkers([svc](const Request& req) { return svc->logout(req); }));
    for (const char* page : {"signed-in", "zh/signed-in"})
        server.route(http::verb::get, page, [svc](const Request& req, const Caller&, Responder r) {
            r(svc->signedInPage(req));
        });
    return svc;
}

}  // namespace vserver
