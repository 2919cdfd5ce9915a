// Accounts on the server: access tokens, the local sign-in provider, refusals, usage and the
// operators' command line, over loopback HTTP. Every case runs against a private SQLite file
// and again against a database of a private PostgreSQL cluster (skipped, saying why, where
// PostgreSQL's server is not installed).
#include <gtest/gtest.h>

#include <chrono>

#include <sqlite3.h>
#include <QTemporaryDir>

#include <atomic>
#include <ctime>
#include <nlohmann/json.hpp>
#include <pqxx/pqxx>
#include <regex>
#include <sstream>
#include <thread>

#include "Accounts.h"
#include "Jwt.h"
#include "PgCluster.h"
#include "ServerMain.h"
#include "ServerTestUtil.h"
#include "TimingStore.h"
#include "harness/Wait.h"

using servertest::request;
using servertest::RunningServer;
using namespace vserver;
using nlohmann::json;

namespace {

const std::string kSecret = "a-test-secret-that-is-long-enough-0123456789";

int64_t now() {
    return static_cast<int64_t>(std::time(nullptr));
}

json claimsFor(const std::string& sub, int64_t exp, json aud = "authenticated") {
    return {{"sub", sub}, {"aud", aud}, {"exp", exp}, {"email", sub + "@example.org"}};
}

std::string bearer(const std::string& token) {
    return "Bearer " + token;
}

// Where a test's users live: a data folder, and a PostgreSQL database when `url` is set.
struct Place {
    std::string dir, url;
    StoreLocation location() const { return {dir, url}; }
};

// Runs SQL on the store behind the server's back.
void rawSql(const Place& p, const std::string& sql) {
    if (p.url.empty()) {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open((p.dir + "/users.sqlite3").c_str(), &db), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sql;
        sqlite3_close(db);
    } else {
        pqxx::connection c(p.url);
        pqxx::nontransaction(c).exec(sql);
    }
}

// Each case once per backend; a PostgreSQL case gets a database of its own per place.
class AccountServer : public ::testing::TestWithParam<std::string> {
  protected:
    void SetUp() override {
        if (GetParam() != "postgres") return;
        std::string why;
        cluster_ = servertest::PgCluster::get(why);
        if (!cluster_) GTEST_SKIP() << "PostgreSQL cannot run here: " << why;
    }
    // A database of its own for PostgreSQL, nothing for SQLite (the folder decides).
    std::string freshUrl() { return cluster_ ? cluster_->newDatabase() : std::string(); }
    servertest::PgCluster* cluster() { return cluster_; }
    AccountOptions options() {
        AccountOptions o;
        o.databaseUrl = freshUrl();
        return o;
    }

  private:
    servertest::PgCluster* cluster_ = nullptr;
};

// A server with accounts, the local provider, and stand-in "asr" and "polish" routes that
// answer 200 once the authenticator lets a request through.
class Backend {
  public:
    explicit Backend(AccountOptions o) {
        o.dataDir = dir_.path().toStdString();
        place_ = {o.dataDir, o.databaseUrl};
        o.jwtSecret = kSecret;
        o.devToken = "test-token";
        o.localSignIn = true;
        service_ = registerAccounts(server_.server(), std::move(o));
        for (auto [verb, path] : {std::pair{http::verb::get, "asr"}, {http::verb::post, "polish"}})
            server_.server().route(verb, path, [](const Request&, const Caller& c, Responder r) {
                r(HttpServer::text(200, c.user));
            });
        server_.start();
    }
    uint16_t port() const { return server_.port(); }
    UserStore& store() { return userStore(*service_); }
    AccountService& service() { return *service_; }
    const Place& place() const { return place_; }

    User addUser(const std::string& name, const std::string& status = "active",
                 int64_t limit = 2000, const std::string& password = "pw") {
        User u;
        u.id = "id-" + name;
        u.name = name;
        u.email = name + "@example.org";
        u.status = status;
        u.plan = "free";
        u.wordsLimit = limit;
        u.passwordHash = hashPassword(password);
        EXPECT_EQ(store().add(u), "");
        return u;
    }
    std::string tokenFor(const User& u) { return issueAccessToken(*service_, u, "s1"); }
    int get(const std::string& path, const std::string& token) {
        return request(port(), "GET", path, {}, {{"Authorization", bearer(token)}}).status;
    }
    json me(const std::string& token) {
        const auto r = request(port(), "GET", "/me", {}, {{"Authorization", bearer(token)}});
        EXPECT_EQ(r.status, 200) << r.body;
        return json::parse(r.body, nullptr, false);
    }

    // The browser's part: the sign-in page's form, then the code from the redirect.
    std::string signIn(const std::string& name, const std::string& password,
                       const std::string& challenge, int* status = nullptr) {
        const std::string form =
            "name=" + name + "&password=" + password +
            "&redirect_to=velmora%3A%2F%2Fauth-callback&code_challenge=" + challenge +
            "&code_challenge_method=s256";
        const auto r = request(port(), "POST", "/auth/v1/authorize", form, {});
        if (status) *status = r.status;
        const auto at = r.location.find("code=");
        return at == std::string::npos ? std::string() : r.location.substr(at + 5);
    }
    servertest::Reply exchange(const std::string& code, const std::string& verifier) {
        return request(port(), "POST", "/auth/v1/token?grant_type=pkce",
                       json{{"auth_code", code}, {"code_verifier", verifier}}.dump(), {});
    }
    servertest::Reply refresh(const std::string& token) {
        return request(port(), "POST", "/auth/v1/token?grant_type=refresh_token",
                       json{{"refresh_token", token}}.dump(), {});
    }

  private:
    QTemporaryDir dir_;
    Place place_;
    RunningServer server_;
    std::shared_ptr<AccountService> service_;
};

const std::string kVerifier = "dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk";

std::string challengeOf(const std::string& verifier) {
    return jwt::base64url(jwt::sha256(verifier));
}

std::string field(const std::string& body, const char* key) {
    const json j = json::parse(body, nullptr, false);
    return j.is_object() && j.contains(key) && j[key].is_string() ? j[key].get<std::string>() : "";
}

int users(const Place& where, std::vector<std::string> args, std::string* out = nullptr,
          const std::string& input = {}) {
    args.insert(args.begin(), {"--data-dir", where.dir});
    if (!where.url.empty()) args.insert(args.begin(), {"--database", where.url});
    std::istringstream in(input);
    std::ostringstream o, e;
    const int rc = runUsersCommand(args, in, o, e);
    if (out) *out = o.str() + e.str();
    return rc;
}

TEST_P(AccountServer, TokensAreCheckedBeforeAnyoneIsLetIn) {
    Backend b(options());
    const User u = b.addUser("ann");
    const std::string good = jwt::sign(claimsFor(u.id, now() + 600), kSecret);
    const std::string head = good.substr(0, good.find('.'));
    const std::string body = good.substr(good.find('.') + 1, good.rfind('.') - good.find('.') - 1);
    const std::string forgedBody =
        jwt::base64url(claimsFor("id-root", now() + 600).dump()) + good.substr(good.rfind('.'));
    struct Case {
        const char* what;
        std::string token;
        int status;
    } cases[] = {
        {"good", good, 200},
        {"audience in a list",
         jwt::sign(claimsFor(u.id, now() + 600, {"x", "authenticated"}), kSecret), 200},
        {"other secret", jwt::sign(claimsFor(u.id, now() + 600), kSecret + "x"), 401},
        {"claims swapped under a good signature", head + "." + forgedBody, 401},
        {"expired", jwt::sign(claimsFor(u.id, now() - 120), kSecret), 401},
        {"wrong audience", jwt::sign(claimsFor(u.id, now() + 600, "anon"), kSecret), 401},
        {"no audience", jwt::sign(json{{"sub", u.id}, {"exp", now() + 600}}, kSecret), 401},
        {"no expiry", jwt::sign(json{{"sub", u.id}, {"aud", "authenticated"}}, kSecret), 401},
        {"alg none", jwt::base64url(R"({"alg":"none"})") + "." + body + ".", 401},
        {"alg HS512",
         jwt::base64url(R"({"alg":"HS512"})") + "." + body + "." + good.substr(good.rfind('.') + 1),
         401},
        {"two parts", head + "." + body, 401},
        {"padding", good + "==", 401},
        {"junk", "not a token", 401},
        {"huge", std::string(9000, 'a') + "." + body + ".x", 401},
        {"developer token", "test-token", 200},
    };
    for (const Case& c : cases) EXPECT_EQ(b.get("/me", c.token), c.status) << c.what;
    EXPECT_EQ(request(b.port(), "GET", "/me", {}, {}).status, 401);
}

TEST_P(AccountServer, NewUsersFromTheHostedServiceWaitUnlessTold) {
    for (const char* status : {"pending", "active"}) {
        AccountOptions o = options();
        o.newUsers = status;
        Backend b(o);
        const std::string token = jwt::sign(claimsFor("fresh-sub", now() + 600), kSecret);
        EXPECT_EQ(b.me(token).value("status", ""), std::string(status));
        EXPECT_EQ(b.get("/asr", token), std::string(status) == "active" ? 200 : 403);
        ASSERT_TRUE(b.store().byId("fresh-sub"));
        EXPECT_EQ(b.store().byId("fresh-sub")->name, "fresh-sub@example.org");
    }
}

TEST_P(AccountServer, PkceSignInTakesTheRightVerifierOnce) {
    Backend b(options());
    b.addUser("ann", "active", 2000, "s3cret");
    const std::string challenge = challengeOf(kVerifier);
    int status = 0;
    EXPECT_EQ(b.signIn("ann", "wrong", challenge, &status), "");
    EXPECT_EQ(status, 401);
    EXPECT_EQ(b.signIn("nobody", "s3cret", challenge, &status), "");
    EXPECT_EQ(status, 401);

    // A wrong verifier burns the code: it cannot be tried again with another.
    std::string code = b.signIn("ann", "s3cret", challenge, &status);
    EXPECT_EQ(status, 303);
    ASSERT_EQ(code.size(), 64u);
    const std::string otherVerifier(43, 'A');
    EXPECT_EQ(b.exchange(code, otherVerifier).status, 400);
    EXPECT_EQ(b.exchange(code, kVerifier).status, 400);

    code = b.signIn("ann", "s3cret", challenge);
    const auto ok = b.exchange(code, kVerifier);
    ASSERT_EQ(ok.status, 200) << ok.body;
    EXPECT_EQ(b.me(json::parse(ok.body)["access_token"]).value("status", ""), "active");
    const auto reused = b.exchange(code, kVerifier);
    EXPECT_EQ(reused.status, 400);
    EXPECT_EQ(field(reused.body, "msg"), "sign-in code already used");

    // Hostile exchanges get 400, never a session.
    for (const std::string& bodyText :
         {std::string("not json"), std::string("[]"), std::string(R"({"auth_code":1})"),
          json{{"auth_code", code}, {"code_verifier", std::string(5000, 'a')}}.dump(),
          json{{"auth_code", "x' OR '1'='1"}, {"code_verifier", kVerifier}}.dump()})
        EXPECT_EQ(request(b.port(), "POST", "/auth/v1/token?grant_type=pkce", bodyText, {}).status,
                  400)
            << bodyText;
    EXPECT_EQ(request(b.port(), "POST", "/auth/v1/token?grant_type=password", "{}", {}).status,
              400);
}

TEST_P(AccountServer, AnExpiredCodeIsRefused) {
    AccountOptions o = options();
    o.codeSeconds = -1;
    Backend b(o);
    b.addUser("ann", "active", 2000, "pw");
    const std::string code = b.signIn("ann", "pw", challengeOf(kVerifier));
    const auto r = b.exchange(code, kVerifier);
    EXPECT_EQ(r.status, 400);
    EXPECT_EQ(field(r.body, "msg"), "sign-in code expired");
}

TEST_P(AccountServer, ARefreshTokenUsedTwiceEndsItsFamily) {
    Backend b(options());
    b.addUser("ann", "active", 2000, "pw");
    const auto first =
        json::parse(b.exchange(b.signIn("ann", "pw", challengeOf(kVerifier)), kVerifier).body);
    const std::string r1 = first["refresh_token"];
    const auto second = b.refresh(r1);
    ASSERT_EQ(second.status, 200) << second.body;
    const std::string r2 = json::parse(second.body)["refresh_token"];
    EXPECT_NE(r1, r2);
    // r1 comes back (a thief, or a replay): r1 and its successor r2 both stop working.
    EXPECT_EQ(field(b.refresh(r1).body, "msg"), "Invalid Refresh Token: Already Used");
    EXPECT_EQ(b.refresh(r2).status, 400);
    EXPECT_EQ(b.refresh("unknown").status, 400);

    // Another sign-in is a family of its own; sign-out ends it.
    const auto third =
        json::parse(b.exchange(b.signIn("ann", "pw", challengeOf(kVerifier)), kVerifier).body);
    const std::string access = third["access_token"];
    EXPECT_EQ(request(b.port(), "POST", "/auth/v1/logout?scope=local", {},
                      {{"Authorization", bearer(access)}})
                  .status,
              204);
    EXPECT_EQ(b.refresh(third["refresh_token"]).status, 400);
    EXPECT_EQ(request(b.port(), "POST", "/auth/v1/logout?scope=local", {}, {}).status, 401);
}

TEST_P(AccountServer, TheSignInPagesRefuseHostileInput) {
    Backend b(options());
    const std::string c = challengeOf(kVerifier);
    struct Case {
        const char* target;
        int status;
    } cases[] = {
        {"/auth/v1/authorize?provider=google&redirect_to=http%3A%2F%2Fh%3A1%2Fsigned-in"
         "&code_challenge_method=s256&code_challenge=",
         200},
        {"/auth/v1/authorize?redirect_to=https%3A%2F%2Fevil.example%2Fsteal"
         "&code_challenge_method=s256&code_challenge=",
         400},
        {"/auth/v1/authorize?redirect_to=velmora%3A%2F%2Fauth-callback"
         "&code_challenge_method=plain&code_challenge=",
         400},
        {"/auth/v1/authorize?redirect_to=velmora%3A%2F%2Fx%22%3E%3Cscript%3E"
         "&code_challenge_method=s256&code_challenge=",
         400},
        {"/signed-in?code=abc123&state=x", 200},
        {"/signed-in?code=%22%3E%3Cscript%3E", 200},
        {"/signed-in?code=\"><script>", 400},
    };
    for (const Case& k : cases) {
        const std::string target =
            std::string(k.target) +
            (std::string(k.target).find("authorize") != std::string::npos ? c : "");
        const auto r = request(b.port(), "GET", target, {}, {});
        EXPECT_EQ(r.status, k.status) << k.target;
        EXPECT_EQ(r.body.find("<script>"), std::string::npos) << k.target;
    }
    const auto page = request(b.port(), "GET", "/signed-in?code=abc", {}, {});
    EXPECT_NE(page.body.find("velmora://auth-callback?code=abc"), std::string::npos);
}

TEST_P(AccountServer, RefusalsAtAsrAndPolish) {
    AccountOptions o = options();
    o.burst = 3;
    o.requestsPerSecond = 0.001;
    Backend b(o);
    const User active = b.addUser("active"), pending = b.addUser("pending", "pending"),
               disabled = b.addUser("disabled", "disabled"), full = b.addUser("full", "active", 10),
               burst = b.addUser("burst");
    b.store().addWords(full.id, 10, monthOf(now()));
    struct Case {
        const User* user;
        int status;
    } cases[] = {{&active, 200}, {&pending, 403}, {&disabled, 403}, {&full, 402}};
    for (const Case& c : cases) {
        EXPECT_EQ(b.get("/asr", b.tokenFor(*c.user)), c.status) << c.user->name;
        EXPECT_EQ(request(b.port(), "POST", "/polish", "{}",
                          {{"Authorization", bearer(b.tokenFor(*c.user))}})
                      .status,
                  c.status)
            << c.user->name;
        // "me" still answers, so the app can say why.
        EXPECT_EQ(b.me(b.tokenFor(*c.user)).value("status", ""), c.user->status);
    }
    const std::string t = b.tokenFor(burst);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(b.get("/asr", t), 200) << i;
    EXPECT_EQ(b.get("/asr", t), 429);
    EXPECT_EQ(b.get("/me", t), 200);                    // only the costly calls are limited
    EXPECT_EQ(b.get("/asr", b.tokenFor(active)), 200);  // per user
    EXPECT_EQ(b.get("/asr", "test-token"), 200);        // the developer is never refused

    // The operator's command line works on the same store through connections of its own:
    // the server sees its change whatever it remembered (at once with SQLite, as soon as the
    // database announces it with PostgreSQL).
    const User late = b.addUser("late");
    EXPECT_EQ(b.get("/asr", b.tokenFor(late)), 200);
    EXPECT_EQ(users(b.place(), {"disable", "late"}), 0);
    EXPECT_TRUE(harness::waitUntil([&] { return b.get("/asr", b.tokenFor(late)) == 403; },
                                   "the disabled user refused"));
    EXPECT_EQ(users(b.place(), {"set-plan", "full", "free", "--limit", "11"}), 0);
    EXPECT_TRUE(harness::waitUntil([&] { return b.get("/asr", b.tokenFor(full)) == 200; },
                                   "the raised limit let through"));
}

TEST_P(AccountServer, WordsAreCountedPerMonthAndShownInMe) {
    Backend b(options());
    const User u = b.addUser("ann", "active", 50);
    const std::string token = b.tokenFor(u);
    countWords(b.service(), u.id, 30);
    countWords(b.service(), u.id, 0);
    countWords(b.service(), "dev", 99);
    json me = b.me(token);
    EXPECT_EQ(me["plan"]["words"]["used"], 30);
    EXPECT_FALSE(me["plan"].contains("until"));

    // Last month's count does not hold this month back, and a new month starts from zero.
    b.store().addWords(u.id, 1000, 190001);
    EXPECT_EQ(b.me(token)["plan"]["words"]["used"], 0);
    EXPECT_EQ(b.get("/asr", token), 200);
    countWords(b.service(), u.id, 7);
    EXPECT_EQ(b.me(token)["plan"]["words"]["used"], 7);

    ASSERT_TRUE(b.store().setPlan("ann", "pro", 0, int64_t(1798761600)));
    me = b.me(token);
    EXPECT_EQ(me["plan"]["id"], "pro");
    EXPECT_EQ(me["plan"]["until"], "2027-01-01T00:00:00.000Z");
    EXPECT_EQ(b.me("test-token")["plan"]["id"], "max");
}

TEST_P(AccountServer, OperatorsCommandLineAndHostileNames) {
    QTemporaryDir tmp;
    const Place dir{tmp.path().toStdString(), freshUrl()};
    std::string out;
    ASSERT_EQ(
        users(dir, {"add", "ann", "--plan", "pro", "--limit", "500", "--email", "a@x.org"}, &out),
        0)
        << out;
    EXPECT_TRUE(std::regex_match(
        out, std::regex("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}\n")))
        << out;
    const std::string hostile[] = {"x'); DROP TABLE users;--", "' OR '1'='1", "\"ann\"", "ann%"};
    for (const std::string& name : hostile) EXPECT_EQ(users(dir, {"add", name}), 0) << name;
    EXPECT_EQ(users(dir, {"add", "ann"}, &out), 1);
    EXPECT_NE(out.find("exists"), std::string::npos);

    // Names match exactly; plans are checked words, never pieces of SQL.
    EXPECT_EQ(users(dir, {"set-plan", "' OR '1'='1", "max"}), 0);
    EXPECT_EQ(users(dir, {"set-plan", "ann' --", "max"}), 1);
    EXPECT_EQ(users(dir, {"set-plan", "ann", "max'; UPDATE users SET plan='max'; --"}), 2);
    EXPECT_EQ(users(dir, {"disable", "%"}), 1);
    EXPECT_EQ(users(dir, {"disable", "ann%"}), 0);
    EXPECT_EQ(users(dir, {"add", "bob", "--plan", "gold"}), 2);
    EXPECT_EQ(users(dir, {"add", "bob", "--limit", "-5"}), 2);
    EXPECT_EQ(users(dir, {"add", ""}), 2);
    EXPECT_EQ(users(dir, {"add", std::string("a\nb")}), 2);
    EXPECT_EQ(users(dir, {"frobnicate"}), 2);
    EXPECT_EQ(users(dir, {"set-password", "ann"}, nullptr, ""), 1);
    EXPECT_EQ(users(dir, {"set-password", "ann"}, nullptr, "new pass\n"), 0);

    const auto opened = openUserStore(dir.location());
    UserStore& store = *opened;
    ASSERT_EQ(store.problem(), "");
    ASSERT_EQ(store.list().size(), 5u);
    const auto ann = store.byName("ann");
    ASSERT_TRUE(ann);
    EXPECT_TRUE(checkPassword("new pass", ann->passwordHash));
    EXPECT_FALSE(checkPassword("new pas", ann->passwordHash));
    EXPECT_EQ(store.byName("' OR '1'='1")->plan, "max");
    EXPECT_EQ(store.byName("' OR '1'='1")->wordsLimit, 0);
    EXPECT_EQ(store.byName("ann%")->status, "disabled");
    EXPECT_EQ(store.byName("x'); DROP TABLE users;--")->plan, "free");
    EXPECT_EQ(store.byName("x'); DROP TABLE users;--")->wordsLimit, 2000);
    EXPECT_FALSE(store.setStatus("ann", "root"));  // the schema itself refuses odd values

    ASSERT_EQ(users(dir, {"list"}, &out), 0);
    EXPECT_NE(out.find("ann\t" + ann->id + "\tactive\tpro\t0/500\ta@x.org\n"), std::string::npos)
        << out;
}

TEST_P(AccountServer, AStoreFromANewerServerIsLeftAlone) {
    QTemporaryDir tmp;
    const Place place{tmp.path().toStdString(), freshUrl()};
    {
        const auto s = openUserStore(place.location());
        ASSERT_EQ(s->problem(), "");
        ASSERT_EQ(s->add(User{"id1", "ann", "", "active", "free", std::nullopt, 1, 0, 0, ""}), "");
    }
    {
        const auto again = openUserStore(place.location());  // migrations are not run twice
        EXPECT_EQ(again->problem(), "");
        EXPECT_EQ(again->schemaVersion(), 1);
        EXPECT_TRUE(again->byName("ann"));
    }
    rawSql(place, "INSERT INTO schema_version VALUES(99)");
    const auto newer = openUserStore(place.location());
    EXPECT_NE(newer->problem().find("newer"), std::string::npos) << newer->problem();
    EXPECT_FALSE(newer->byName("ann"));
    EXPECT_NE(users(place, {"list"}), 0);
}

// Two servers on one store, several threads each: every word is counted exactly once, and a
// sign-in code or a refresh token works for exactly one of two exchanges racing for it.
TEST_P(AccountServer, ServersSharingAStoreCountOnceAndSpendTokensOnce) {
    QTemporaryDir tmp;
    const Place place{tmp.path().toStdString(), freshUrl()};
    const auto one = openUserStore(place.location()), two = openUserStore(place.location());
    ASSERT_EQ(one->problem(), "");
    ASSERT_EQ(two->problem(), "");
    ASSERT_EQ(one->add(User{"id1", "ann", "", "active", "free", std::nullopt, 0, 0, 0, ""}), "");
    const int month = monthOf(now());
    ASSERT_TRUE(one->addWords("id1", 5, 190001));  // last year's count starts again
    constexpr int kThreads = 4, kEach = 50;
    std::atomic<int> failed{0};
    {
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([&, t, store = (t % 2 ? one : two).get()] {
                for (int i = 0; i < kEach; ++i)
                    if (!store->addWords("id1", 1 + t, month)) ++failed;
            });
        for (auto& t : threads) t.join();
    }
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(two->byId("id1")->wordsUsed, kEach * (1 + 2 + 3 + 4));
    EXPECT_EQ(one->byId("id1")->wordsMonth, month);

    // A change made through the other store reaches this one's change stamp, which holds
    // still otherwise (what lets the server keep users in memory).
    ASSERT_TRUE(harness::waitUntil([&] { return one->version("id1") == one->version("id1"); },
                                   "a steady change stamp"));
    const int64_t before = one->version("id1");
    ASSERT_TRUE(two->setStatus("ann", "disabled"));
    EXPECT_TRUE(harness::waitUntil([&] { return one->version("id1") != before; },
                                   "the other store's change seen"));

    for (int round = 0; round < 10; ++round) {
        const std::string code = "code" + std::to_string(round),
                          token = "token" + std::to_string(round);
        ASSERT_TRUE(one->putCode(code, {"id1", "challenge", now() + 60, false}));
        ASSERT_TRUE(one->putRefresh(token, "family" + std::to_string(round), "id1", now() + 60));
        std::optional<AuthCode> codes[2];
        RefreshUse uses[2];
        std::thread racer([&] {
            codes[1] = two->takeCode(code);
            uses[1] = two->useRefresh(token, now());
        });
        codes[0] = one->takeCode(code);
        uses[0] = one->useRefresh(token, now());
        racer.join();
        ASSERT_TRUE(codes[0] && codes[1]);
        EXPECT_NE(codes[0]->used, codes[1]->used) << round;
        EXPECT_EQ((uses[0].result == RefreshUse::Result::fresh) +
                      (uses[1].result == RefreshUse::Result::fresh),
                  1)
            << round;
    }
}

// The database restarting under a running server: the next requests find new connections,
// and changes made afterwards still reach the server's cache.
TEST_P(AccountServer, ADatabaseRestartIsSurvived) {
    if (!cluster()) GTEST_SKIP() << "a PostgreSQL matter";
    Backend b(options());
    const User ann = b.addUser("ann");
    const std::string token = b.tokenFor(ann);
    EXPECT_EQ(b.get("/asr", token), 200);
    ASSERT_TRUE(cluster()->restart());
    EXPECT_EQ(b.me(token).value("status", ""), "active");
    countWords(b.service(), ann.id, 12);
    EXPECT_EQ(b.me(token)["plan"]["words"]["used"], 12);
    EXPECT_EQ(users(b.place(), {"disable", "ann"}), 0);
    EXPECT_TRUE(harness::waitUntil([&] { return b.get("/asr", token) == 403; },
                                   "the user disabled after the restart refused"));
}

// Timing reports go to the same kind of store as the users; odd text is stored as given.
TEST_P(AccountServer, TimingReportsAreStoredInEitherStore) {
    QTemporaryDir tmp;
    const std::string url = freshUrl();
    TimingStore store(tmp.path().toStdString() + "/timing.sqlite3", url);
    ASSERT_EQ(store.problem(), "");
    TimingRow row;
    row.user = "x'); DROP TABLE timing;--";
    row.ms = 900;
    row.by = "rules";
    row.typing = "type";
    row.asrMs = 120;
    const auto before = std::chrono::system_clock::now();
    EXPECT_EQ(store.insert(row), "");
    row.asrMs.reset();
    EXPECT_EQ(store.insert(row), "");
    const auto after = std::chrono::system_clock::now();
    EXPECT_EQ(store.count(), 2);
    TimingStore again(tmp.path().toStdString() + "/timing.sqlite3", url);  // migrated once
    EXPECT_EQ(again.problem(), "");
    EXPECT_EQ(again.count(), 2);

    // Retention: a row goes once it is older than the days kept, not a millisecond sooner.
    const auto day = std::chrono::hours(24);
    struct Prune {
        int days;
        std::chrono::system_clock::time_point now;
        int64_t deleted;
    };
    for (const auto& p : {Prune{1, before + day, 0}, Prune{30, before + 30 * day, 0},
                          Prune{30, after + 30 * day + std::chrono::milliseconds(1), 2}}) {
        std::string why;
        EXPECT_EQ(again.prune(p.days, p.now, why), p.deleted) << p.days << " " << why;
    }
    EXPECT_EQ(store.count(), 0);
}

std::string storeName(const ::testing::TestParamInfo<std::string>& p) {
    return p.param;
}
INSTANTIATE_TEST_SUITE_P(Stores, AccountServer, ::testing::Values("sqlite", "postgres"), storeName);

}  // namespace
