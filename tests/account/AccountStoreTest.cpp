// The account store against the real server's accounts and local sign-in on loopback: the
// browser's part is played by the test, over HTTP, as a person would click through it.
#include "ServerTestUtil.h"
// Boost before Qt: Qt's keywords clash with some Boost headers.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QUrlQuery>
#include <mutex>

#include "Accounts.h"
#include "core/AccountStore.h"
#include "core/Config.h"
#include "harness/LogReader.h"
#include "harness/Wait.h"
#include "platform/fake/FakePlatform.h"
#include "support/TestEnv.h"

using namespace Qt::StringLiterals;

using harness::waitUntil;
using servertest::request;
using Session = AccountStore::Session;
namespace fake = platform::fake;

namespace {

const std::string kSecret = "client-test-secret-client-test-secret-0123";

mode_t modeOf(const QString& path) {
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0) return 0;
    return st.st_mode & 0777;
}

// velmora-server's accounts with the local sign-in, and the app's settings pointing at it.
class Account : public ::testing::Test {
  protected:
    void SetUp() override {
        vserver::AccountOptions o;
        o.dataDir = dir_.path().toStdString() + "/server";
        o.jwtSecret = kSecret;
        o.devToken = "dev-token";
        o.localSignIn = true;
        o.newUsers = "active";
        service_ = vserver::registerAccounts(server_.server(), o);
        server_.start();
        const QByteArray base = "http://127.0.0.1:" + QByteArray::number(server_.port());
        qputenv("VQ_SUPABASE_URL", base + "/");
        qputenv("VQ_SERVER", base);
        vserver::User u;
        u.id = "user-ann";
        u.name = "ann";
        u.email = "ann@example.org";
        u.status = "active";
        u.plan = "free";
        u.wordsLimit = 100;
        u.passwordHash = vserver::hashPassword("pw");
        ASSERT_EQ(users().add(u), "");
        fake::workspace().opened.clear();
        AccountStore::shared();  // the request builder asks the shared store for its token
    }
    void TearDown() override {
        AccountStore::install(nullptr);
        qunsetenv("VQ_SUPABASE_URL");
        qunsetenv("VQ_SERVER");
        qunsetenv("VQ_SERVER_TOKEN");
    }

    vserver::UserStore& users() { return vserver::userStore(*service_); }
    QString sessionPath() const { return dir_.path() + u"/app/Velmora/session.json"_s; }

    // The browser: the page the app opened, the form filled in, the signed-in page, and the
    // callback URL it hands back to the app.
    QUrl clickThrough(const QUrl& opened, const std::string& password = "pw") {
        const std::string target =
            (opened.path() + "?" + opened.query(QUrl::FullyEncoded)).toStdString();
        const auto page = request(server_.port(), "GET", target, {}, {});
        EXPECT_EQ(page.status, 200) << page.body;
        const QUrlQuery q(opened);
        auto enc = [](const QString& s) { return QUrl::toPercentEncoding(s).toStdString(); };
        const std::string form =
            "name=ann&password=" + password +
            "&redirect_to=" + enc(q.queryItemValue(u"redirect_to"_s, QUrl::FullyDecoded)) +
            "&code_challenge=" + q.queryItemValue(u"code_challenge"_s).toStdString() +
            "&code_challenge_method=s256";
        const auto submitted = request(server_.port(), "POST", "/auth/v1/authorize", form, {});
        if (submitted.status != 303) return {};
        const QUrl next(QString::fromStdString(submitted.location));
        const auto signedIn = request(server_.port(), "GET",
                                      (next.path() + "?" + next.query()).toStdString(), {}, {});
        const QRegularExpression link(u"href=\"(velmora://[^\"]+)\""_s);
        const auto m = link.match(QString::fromStdString(signedIn.body));
        return m.hasMatch() ? QUrl(m.captured(1).replace(u"&amp;"_s, u"&"_s)) : QUrl();
    }

    // Signs `store` in through the local page; the outcome.
    std::optional<AccountStore::SignInOutcome> signIn(AccountStore& store) {
        AccountStore::install(&store);
        std::optional<AccountStore::SignInOutcome> outcome;
        store.signIn([&](AccountStore::SignInOutcome o) { outcome = o; });
        if (fake::workspace().opened.isEmpty()) return std::nullopt;
        const QUrl callback = clickThrough(fake::workspace().opened.takeLast());
        EXPECT_TRUE(store.handle(callback)) << callback.toString().toStdString();
        EXPECT_TRUE(waitUntil([&] { return outcome.has_value(); }, u"sign-in"_s));
        return outcome;
    }

    void expectPrivateFile() {
        EXPECT_EQ(modeOf(sessionPath()), 0600u);
        EXPECT_EQ(modeOf(QFileInfo(sessionPath()).path()), 0700u);
    }

    QTemporaryDir dir_;
    servertest::RunningServer server_;
    std::shared_ptr<vserver::AccountService> service_;
};

TEST(AccountPkce, VerifierAndChallengeAreUrlSafe) {
    // The example pair of RFC 7636.
    EXPECT_EQ(AccountStore::challenge(u"dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk"_s),
              u"E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM"_s);
    QSet<QString> seen;
    for (int i = 0; i < 200; ++i) {
        const QString v = AccountStore::makeVerifier(), c = AccountStore::challenge(v);
        for (const QString& s : {v, c}) {
            EXPECT_EQ(s.size(), 43);
            EXPECT_FALSE(s.contains(QLatin1Char('+')) || s.contains(QLatin1Char('/')) ||
                         s.contains(QLatin1Char('=')));
        }
        seen.insert(v);
    }
    EXPECT_EQ(seen.size(), 200);
}

TEST(AccountSession, FileRoundTripAndBadFiles) {
    Session s{u"a"_s,   u"r"_s,   QDateTime::fromMSecsSinceEpoch(978307200000 + 1500, Qt::UTC),
              u"e@x"_s, u"Ann"_s, u"https://x/p.png"_s};
    EXPECT_EQ(AccountStore::decode(AccountStore::encode(s)), s);
    s.avatarURL.reset();
    EXPECT_EQ(AccountStore::decode(AccountStore::encode(s)), s);
    for (const char* bad :
         {"", "[]", "{", R"({"accessToken":"a","refreshToken":"r","email":"","name":""})",
          R"({"accessToken":1,"refreshToken":"r","expiresAt":1,"email":"","name":""})",
          R"({"accessToken":"a","refreshToken":"r","expiresAt":"1","email":"","name":""})",
          R"({"accessToken":"a","refreshToken":"r","expiresAt":1e300,"email":"","name":""})",
          R"({"accessToken":"a","refreshToken":"r","expiresAt":1,"name":""})"})
        EXPECT_FALSE(AccountStore::decode(bad)) << bad;
}

TEST(AccountSession, AnUnreadableFileIsKeptAsideAndMeansSignedOut) {
    QTemporaryDir dir;
    const QString path = dir.path() + u"/session.json"_s;
    ASSERT_TRUE(testenv::writeFile(path, "{\"accessToken\": truncat"));
    harness::LogReader log;
    AccountStore store(path);
    EXPECT_FALSE(store.hasSession());
    EXPECT_EQ(store.cantDictate(), u"Sign in first, then try again"_s);
    EXPECT_TRUE(log.has(u"Session file: unreadable, signed out"_s));
    EXPECT_FALSE(QFile::exists(path));
    EXPECT_TRUE(QFile::exists(path + u".unreadable"_s));
}

TEST_F(Account, SignInCountsWordsAndRefusesOverTheLimit) {
    AccountStore store(sessionPath());
    QSignalSpy changed(&store, &AccountStore::changed);
    EXPECT_TRUE(store.needsSignIn());
    const auto outcome = signIn(store);
    ASSERT_EQ(outcome, AccountStore::SignInOutcome::signedIn);
    expectPrivateFile();
    const auto onDisk = AccountStore::decode(testenv::readFile(sessionPath()));
    ASSERT_TRUE(onDisk);
    EXPECT_EQ(onDisk->name, u"ann"_s);
    EXPECT_EQ(onDisk->email, u"ann@example.org"_s);
    EXPECT_GT(QDateTime::currentDateTimeUtc().secsTo(onDisk->expiresAt), 3500);
    EXPECT_EQ(store.account().name, u"ann"_s);
    EXPECT_FALSE(store.pendingVerifier());

    // The account check after sign-in.
    ASSERT_TRUE(waitUntil([&] { return store.accessState() == AccountStore::Access::active; },
                          u"access from me"_s));
    EXPECT_EQ(store.plan().wordsLimit, 100);
    EXPECT_TRUE(store.plan().monthEnds.has_value());
    EXPECT_EQ(store.cantDictate(), std::nullopt);
    EXPECT_GE(changed.count(), 2);

    // Words heard by the recogniser show in "me"; over the limit, dictation stops.
    auto checked = [&] {
        bool done = false;
        store.refreshAccess([&] { done = true; });
        return waitUntil([&] { return done; }, u"account check"_s);
    };
    vserver::countWords(*service_, "user-ann", 40);
    ASSERT_TRUE(checked());
    EXPECT_EQ(store.plan().wordsUsed, 40);
    ASSERT_TRUE(users().setPlan("ann", "free", 30, std::nullopt));
    ASSERT_TRUE(checked());
    EXPECT_EQ(store.cantDictate(), u"That's this month's words, see your plan"_s);
    ASSERT_TRUE(users().setStatus("ann", "disabled"));
    ASSERT_TRUE(checked());
    EXPECT_EQ(store.cantDictate(), u"This account is turned off"_s);
    EXPECT_EQ(store.access(), u"disabled"_s);

    // A restart keeps the session, not the access state.
    AccountStore again(sessionPath());
    EXPECT_TRUE(again.hasSession());
    EXPECT_EQ(again.accessState(), AccountStore::Access::unknown);
    EXPECT_EQ(again.cantDictate(), std::nullopt);

    qputenv("VQ_SERVER_TOKEN", "dev-token");
    EXPECT_EQ(store.cantDictate(), std::nullopt);
    EXPECT_FALSE(AccountStore(dir_.path() + u"/none.json"_s).needsSignIn());
}

TEST_F(Account, CallbacksThatAreNotASignIn) {
    AccountStore store(sessionPath());
    harness::LogReader log;
    EXPECT_FALSE(store.handle(QUrl(u"velmora://auth-callback?code=abc"_s)));
    EXPECT_TRUE(log.has(u"Sign-in callback with no sign-in under way: ignored"_s));
    std::vector<AccountStore::SignInOutcome> outcomes;
    store.signIn([&](AccountStore::SignInOutcome o) { outcomes.push_back(o); });
    for (const char* other : {"https://auth-callback/?code=abc", "velmora://auth-callbackx?code=1",
                              "velmora://other?code=1"})
        EXPECT_FALSE(store.handle(QUrl(QLatin1String(other)))) << other;
    EXPECT_TRUE(store.handle(
        QUrl(u"velmora://auth-callback?error=access_denied&error_description=Nope"_s)));
    EXPECT_TRUE(log.has(u"Sign-in failed: Nope"_s));
    ASSERT_EQ(outcomes.size(), 1u);
    EXPECT_EQ(outcomes[0], AccountStore::SignInOutcome::failed);
    // The sign-in stays open with its verifier: the next try reuses it.
    const auto verifier = store.pendingVerifier();
    ASSERT_TRUE(verifier);
    store.signIn([&](AccountStore::SignInOutcome o) { outcomes.push_back(o); });
    EXPECT_EQ(store.pendingVerifier(), verifier);

    // A code in the fragment counts; a second callback during the exchange is ignored; a code
    // the server does not know fails the sign-in.
    EXPECT_TRUE(store.handle(QUrl(u"velmora://auth-callback#code=bogus"_s)));
    EXPECT_TRUE(store.handle(QUrl(u"velmora://auth-callback?code=bogus2"_s)));
    ASSERT_TRUE(waitUntil([&] { return outcomes.size() == 2; }, u"exchange"_s));
    EXPECT_EQ(outcomes[1], AccountStore::SignInOutcome::failed);
    EXPECT_EQ(log.count(u"Sign-in failed: token exchange http 400 unknown sign-in code"_s), 1);
    EXPECT_FALSE(store.hasSession());
}

TEST_F(Account, OneRefreshInFlightAndItsEndings) {
    AccountStore store(sessionPath());
    ASSERT_EQ(signIn(store), AccountStore::SignInOutcome::signedIn);
    const Session first = *store.stored();
    std::vector<int> order;
    store.refresh([&](bool ok) { order.push_back(ok ? 1 : -1); });
    store.refresh([&](bool ok) { order.push_back(ok ? 2 : -2); });
    ASSERT_TRUE(waitUntil([&] { return order.size() == 2; }, u"refresh"_s));
    // Two requests would have shown the rotated token twice and ended the session.
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
    ASSERT_TRUE(store.hasSession());
    EXPECT_NE(store.stored()->refreshToken, first.refreshToken);
    EXPECT_EQ(store.stored()->name, u"ann"_s);
    expectPrivateFile();

    // The service is out of reach: the session stays.
    const QByteArray base = qgetenv("VQ_SUPABASE_URL");
    qputenv("VQ_SUPABASE_URL", "http://127.0.0.1:9");
    harness::LogReader log;
    bool done = false;
    store.refresh([&](bool) { done = true; });
    ASSERT_TRUE(waitUntil([&] { return done; }, u"failed refresh"_s));
    EXPECT_TRUE(store.hasSession());
    EXPECT_TRUE(log.has(u"Token refresh failed (http -1), keeping the session"_s));
    qputenv("VQ_SUPABASE_URL", base);

    // The token was used elsewhere (a copy of the file, a thief): the service ends the family
    // and the store signs out.
    const auto stolen =
        request(server_.port(), "POST", "/auth/v1/token?grant_type=refresh_token",
                R"({"refresh_token":")" + store.stored()->refreshToken.toStdString() + "\"}", {});
    ASSERT_EQ(stolen.status, 200);
    QSignalSpy changed(&store, &AccountStore::changed);
    done = false;
    store.refresh([&](bool) { done = true; });
    ASSERT_TRUE(waitUntil([&] { return done; }, u"refused refresh"_s));
    EXPECT_FALSE(store.hasSession());
    EXPECT_FALSE(QFile::exists(sessionPath()));
    EXPECT_EQ(changed.count(), 1);
    EXPECT_TRUE(log.has(u"Sign-in ended: refresh http 400"_s));
}

TEST_F(Account, FreshnessRuleAndRefreshAhead) {
    AccountStore store(sessionPath());
    ASSERT_EQ(signIn(store), AccountStore::SignInOutcome::signedIn);
    auto expireIn = [&](int seconds) {
        // The latest session on disk (refresh tokens rotate), as a restart would find it.
        Session s = *AccountStore::decode(testenv::readFile(sessionPath()));
        s.expiresAt = QDateTime::currentDateTimeUtc().addSecs(seconds);
        testenv::writeFile(sessionPath(), AccountStore::encode(s));
        return std::make_unique<AccountStore>(sessionPath());
    };
    {
        auto soon = expireIn(30);
        const QString before = soon->stored()->accessToken;
        std::optional<QString> tokenSeen;
        soon->withFreshToken([&] { tokenSeen = soon->stored()->accessToken; });
        EXPECT_FALSE(tokenSeen) << "ran before the refresh";
        ASSERT_TRUE(waitUntil([&] { return tokenSeen.has_value(); }, u"block"_s));
        EXPECT_NE(*tokenSeen, before);
    }
    {
        auto later = expireIn(300);
        const QString before = later->stored()->accessToken;
        bool ran = false;
        later->withFreshToken([&] { ran = true; });
        EXPECT_TRUE(ran) << "a token with 5 minutes left is used at once";
        ASSERT_TRUE(waitUntil([&] { return later->stored()->accessToken != before; },
                              u"refresh alongside"_s));
    }
    {
        auto waking = expireIn(300);
        harness::LogReader log;
        waking->refreshAhead(u"wake"_s);
        waking->refreshAhead(u"unlock"_s);
        ASSERT_TRUE(log.waitFor(u"Token refresh ahead of the next dictation (wake, "_s));
        EXPECT_EQ(log.count(u"Token refresh ahead"_s), 1);
        auto fresh = expireIn(3000);
        fresh->refreshAhead(u"wake"_s);
        EXPECT_EQ(log.count(u"Token refresh ahead"_s), 1);
    }
}

TEST_F(Account, SignOutEndsTheSessionHereAndAtTheService) {
    AccountStore store(sessionPath());
    ASSERT_EQ(signIn(store), AccountStore::SignInOutcome::signedIn);
    ASSERT_TRUE(waitUntil([&] { return store.accessState() == AccountStore::Access::active; },
                          u"access from me"_s));
    const std::string refreshToken = store.stored()->refreshToken.toStdString();
    harness::LogReader log;
    QSignalSpy changed(&store, &AccountStore::changed);
    store.signOut();
    EXPECT_FALSE(store.hasSession());
    EXPECT_FALSE(QFile::exists(sessionPath()));
    EXPECT_EQ(changed.count(), 1);
    EXPECT_EQ(store.accessState(), AccountStore::Access::unknown);
    EXPECT_EQ(store.plan(), Plan::unknown());
    ASSERT_TRUE(log.waitFor(u"Signed out (Supabase http 204)"_s));
    EXPECT_EQ(request(server_.port(), "POST", "/auth/v1/token?grant_type=refresh_token",
                      R"({"refresh_token":")" + refreshToken + "\"}", {})
                  .status,
              400);
    store.signOut();  // nothing to end
    EXPECT_EQ(changed.count(), 1);
}

// "me" from a server that answers whatever the test says.
TEST(AccountMe, HostileAnswersLeaveTheStateSane) {
    std::mutex m;
    std::string body;
    servertest::RunningServer fakeServer;
    fakeServer.server().route(
        vserver::http::verb::get, "me",
        [&](const vserver::Request&, const vserver::Caller&, vserver::Responder r) {
            std::lock_guard lock(m);
            r(vserver::HttpServer::json(200, body));
        });
    fakeServer.start();
    qputenv("VQ_SERVER", "http://127.0.0.1:" + QByteArray::number(fakeServer.port()));
    qputenv("VQ_SERVER_TOKEN", "test-token");
    QTemporaryDir dir;
    AccountStore store(dir.path() + u"/session.json"_s);
    auto answer = [&](const std::string& b) {
        {
            std::lock_guard lock(m);
            body = b;
        }
        bool done = false;
        store.refreshAccess([&] { done = true; });
        EXPECT_TRUE(waitUntil([&] { return done; }, u"me"_s));
    };
    answer(
        R"({"status":"active","plan":{"id":"pro","words":{"used":10,"limit":20,"end":"2026-03-01T00:00:00.000Z"},"until":"bad date"}})");
    const Plan good = store.plan();
    EXPECT_EQ(good.tier, Plan::Tier::pro);
    EXPECT_EQ(good.monthEnds, QDateTime(QDate(2026, 3, 1), QTime(0, 0), Qt::UTC));
    EXPECT_FALSE(good.until);
    struct Case {
        const char* body;
        AccountStore::Access access;
    } cases[] = {
        {R"({"status":"weird","plan":{"id":"free","words":{"used":1,"limit":2}}})",
         AccountStore::Access::active},
        {R"([1,2])", AccountStore::Access::active},
        {R"({"status":7})", AccountStore::Access::active},
        {R"({"status":"pending","plan":{"id":"gold","words":{"used":1,"limit":2}}})",
         AccountStore::Access::pending},
        {R"({"status":"active","plan":{"id":"max","words":{"used":"1","limit":2}}})",
         AccountStore::Access::active},
        {R"({"status":"active","plan":{"id":"max","words":{"used":1e300,"limit":2}}})",
         AccountStore::Access::active},
        {R"({"status":"active","plan":{"id":"max","words":{"used":1.5,"limit":2}}})",
         AccountStore::Access::active},
        {R"({"status":"active","plan":{"id":"max","words":[]}})", AccountStore::Access::active},
        {R"({"status":"active","plan":"max"})", AccountStore::Access::active},
    };
    for (const Case& c : cases) {
        answer(c.body);
        EXPECT_EQ(store.accessState(), c.access) << c.body;
        EXPECT_EQ(store.plan(), good) << c.body;  // no usable plan: the last one stays
    }
    // Negative counts would turn the limit check upside down: they read as none.
    answer(R"({"status":"active","plan":{"id":"free","words":{"used":-5,"limit":-1}}})");
    EXPECT_EQ(store.plan().wordsUsed, 0);
    EXPECT_EQ(store.plan().wordsLimit, 0);
    qunsetenv("VQ_SERVER");
    qunsetenv("VQ_SERVER_TOKEN");
}

}  // namespace
