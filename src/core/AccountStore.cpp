#include "core/AccountStore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRandomGenerator>
#include <QSaveFile>
#include <QUrlQuery>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>

#include "core/Config.h"
#include "core/Log.h"
#include "core/MainThread.h"
#include "core/Paths.h"
#include "core/Polisher.h"
#include "platform/Platform.h"
#include "platform/Workspace.h"

namespace {

std::atomic<AccountStore*> installed{nullptr};

// The reference date "expiresAt" counts from: 2001-01-01 00:00:00 UTC.
constexpr qint64 kReferenceUnix = 978307200;

QString base64url(const QByteArray& bytes) {
    return QString::fromLatin1(
        bytes.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

int statusOf(QNetworkReply* reply) {
    const QVariant v = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    return v.isValid() ? v.toInt() : -1;
}

QJsonObject objectOf(const QByteArray& body) {
    const QJsonDocument doc = QJsonDocument::fromJson(body);
    return doc.isObject() ? doc.object() : QJsonObject();
}

// ISO 8601 with fractional seconds; none when it does not parse.
std::optional<QDateTime> isoDate(const QJsonValue& v) {
    if (!v.isString()) return std::nullopt;
    const QDateTime t = QDateTime::fromString(v.toString(), Qt::ISODateWithMs);
    if (!t.isValid()) return std::nullopt;
    return t.toUTC();
}

// A whole number that fits 64 bits, from a JSON number; none for anything else.
std::optional<qint64> wholeNumber(const QJsonValue& v) {
    if (!v.isDouble()) return std::nullopt;
    const double d = v.toDouble();
    // Beyond 2^53 a double no longer holds whole numbers exactly; no plan counts that far.
    if (!std::isfinite(d) || d != std::floor(d) || std::fabs(d) > 9007199254740992.0)
        return std::nullopt;
    return static_cast<qint64>(d);
}

std::optional<Plan::Tier> tierFrom(const QString& raw) {
    if (raw == QLatin1String("free")) return Plan::Tier::free;
    if (raw == QLatin1String("pro")) return Plan::Tier::pro;
    if (raw == QLatin1String("max")) return Plan::Tier::max;
    return std::nullopt;
}

std::optional<AccountStore::Access> accessFrom(const QString& raw) {
    using A = AccountStore::Access;
    if (raw == QLatin1String("unknown")) return A::unknown;
    if (raw == QLatin1String("active")) return A::active;
    if (raw == QLatin1String("pending")) return A::pending;
    if (raw == QLatin1String("disabled")) return A::disabled;
    return std::nullopt;
}

QString accessRaw(AccountStore::Access a) {
    switch (a) {
        case AccountStore::Access::active:
            return QStringLiteral("active");
        case AccountStore::Access::pending:
            return QStringLiteral("pending");
        case AccountStore::Access::disabled:
            return QStringLiteral("disabled");
        case AccountStore::Access::unknown:
            break;
    }
    return QStringLiteral("unknown");
}

// "me"'s plan; none when it lacks a field or names an unknown tier.
std::optional<Plan> planFrom(const QJsonValue& v) {
    if (!v.isObject()) return std::nullopt;
    const QJsonObject o = v.toObject();
    const auto tier = tierFrom(o.value(QLatin1String("id")).toString());
    const QJsonValue words = o.value(QLatin1String("words"));
    if (!tier || !words.isObject()) return std::nullopt;
    const auto used = wholeNumber(words[QLatin1String("used")]);
    const auto limit = wholeNumber(words[QLatin1String("limit")]);
    if (!used || !limit) return std::nullopt;
    Plan p;
    p.tier = *tier;
    // Negative counts mean nothing; they would turn the limit check upside down.
    p.wordsUsed = std::max<qint64>(0, *used);
    p.wordsLimit = std::max<qint64>(0, *limit);
    p.monthEnds = isoDate(words[QLatin1String("end")]);
    p.until = isoDate(o.value(QLatin1String("until")));
    return p;
}

// Writes the file through a private temporary beside it: the old file stays whole until
// the new one is complete, and no other user can read the new one at any moment.
bool writePrivateFile(const QString& path, const QByteArray& bytes, QString& why) {
    const QFileInfo info(path);
    const QByteArray dir = QFile::encodeName(info.absolutePath());
    if (!QDir().mkpath(info.absolutePath()) || ::chmod(dir.constData(), 0700) != 0) {
        why = QStringLiteral("couldn't make the folder private");
        return false;
    }
    // The temporary file is owner-only from its creation; commit() syncs and renames it.
    QSaveFile f(path);
    if (!f.open(QIODevice::WriteOnly) ||
        !f.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner) ||
        f.write(bytes) != bytes.size() || !f.commit()) {
        why = f.errorString();
        return false;
    }
    return true;
}

}  // namespace

QString rawValue(Plan::Tier tier) {
    switch (tier) {
        case Plan::Tier::pro:
            return QStringLiteral("pro");
        case Plan::Tier::max:
            return QStringLiteral("max");
        case Plan::Tier::free:
            break;
    }
    return QStringLiteral("free");
}

AccountStore& AccountStore::shared() {
    static AccountStore* own = [] {
        auto* store = new AccountStore(Paths::appSupportDir() + QStringLiteral("/session.json"));
        // The request builder and the cleanup client ask whoever is the shared store now.
        Config::setAccountTokenProvider([] { return AccountStore::shared().accessToken(); });
        Polisher::setTokenGate([](std::function<void()> proceed) {
            AccountStore::shared().withFreshToken(std::move(proceed));
        });
        return store;
    }();
    AccountStore* replaced = installed.load();
    return replaced ? *replaced : *own;
}

void AccountStore::install(AccountStore* store) {
    installed = store;
}

AccountStore::AccountStore() : lastRefreshAhead_(QDateTime::fromSecsSinceEpoch(0)) {}

AccountStore::AccountStore(const QString& sessionPath)
    : path_(sessionPath), lastRefreshAhead_(QDateTime::fromSecsSinceEpoch(0)) {
    load();
}

AccountStore::~AccountStore() {
    // Calls still running end without telling a store that is going away.
    if (net_)
        for (QNetworkReply* reply : net_->findChildren<QNetworkReply*>()) reply->disconnect(this);
}

void AccountStore::load() {
    QFile f(path_);
    if (!f.exists()) return;
    if (!f.open(QIODevice::ReadOnly)) {
        Log::write(QStringLiteral("Session file: couldn't read (") + f.errorString() +
                   QStringLiteral("), signed out"));
        return;
    }
    const QByteArray bytes = f.read(1 << 20);
    f.close();
    if (auto s = decode(bytes)) {
        std::lock_guard guard(lock_);
        stored_ = std::move(s);
        return;
    }
    // Kept aside for a person to look at; the next sign-in writes a new one.
    const QString aside = path_ + QStringLiteral(".unreadable");
    QFile::remove(aside);
    const bool moved = QFile::rename(path_, aside);
    Log::write(
        QStringLiteral("Session file: unreadable, signed out") +
        (moved ? QStringLiteral(" (kept as ") + QFileInfo(aside).fileName() + QStringLiteral(")")
               : QString()));
}

QByteArray AccountStore::encode(const Session& s) {
    QJsonObject o{{QStringLiteral("accessToken"), s.accessToken},
                  {QStringLiteral("refreshToken"), s.refreshToken},
                  {QStringLiteral("expiresAt"),
                   double(s.expiresAt.toMSecsSinceEpoch() - kReferenceUnix * 1000) / 1000.0},
                  {QStringLiteral("email"), s.email},
                  {QStringLiteral("name"), s.name}};
    if (s.avatarURL) o.insert(QStringLiteral("avatarURL"), *s.avatarURL);
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

std::optional<AccountStore::Session> AccountStore::decode(const QByteArray& bytes) {
    const QJsonDocument doc = QJsonDocument::fromJson(bytes);
    if (!doc.isObject()) return std::nullopt;
    const QJsonObject o = doc.object();
    for (const char* key : {"accessToken", "refreshToken", "email", "name"})
        if (!o.value(QLatin1String(key)).isString()) return std::nullopt;
    const QJsonValue at = o.value(QLatin1String("expiresAt"));
    const double seconds = at.toDouble();
    // Within a few thousand years of the reference date, so the time stays representable.
    if (!at.isDouble() || !std::isfinite(seconds) || std::fabs(seconds) > 1e11) return std::nullopt;
    Session s;
    s.accessToken = o.value(QLatin1String("accessToken")).toString();
    s.refreshToken = o.value(QLatin1String("refreshToken")).toString();
    s.email = o.value(QLatin1String("email")).toString();
    s.name = o.value(QLatin1String("name")).toString();
    s.expiresAt = QDateTime::fromMSecsSinceEpoch(
        kReferenceUnix * 1000 + static_cast<qint64>(std::llround(seconds * 1000)), Qt::UTC);
    if (o.value(QLatin1String("avatarURL")).isString())
        s.avatarURL = o.value(QLatin1String("avatarURL")).toString();
    return s;
}

std::optional<AccountStore::Session> AccountStore::stored() const {
    std::lock_guard guard(lock_);
    return stored_;
}

std::optional<QString> AccountStore::accessToken() const {
    std::lock_guard guard(lock_);
    if (!stored_) return std::nullopt;
    return stored_->accessToken;
}

bool AccountStore::hasSession() const {
    std::lock_guard guard(lock_);
    return stored_.has_value();
}

QString AccountStore::access() const {
    return accessRaw(access_);
}

bool AccountStore::hasDevToken() const {
    return Config::shared().env(QStringLiteral("VQ_SERVER_TOKEN")).has_value();
}

AccountStore::Account AccountStore::account() const {
    const std::optional<Session> s = stored();
    if (!s) return {};
    Account a{true, s->name, s->email, std::nullopt};
    if (s->avatarURL) {
        const QUrl url(*s->avatarURL);
        if (url.isValid()) a.avatar = url;
    }
    return a;
}

std::optional<QString> AccountStore::cantDictate() {
    if (hasDevToken()) return std::nullopt;
    if (!hasSession()) return QStringLiteral("Sign in first, then try again");
    if (access_ == Access::pending)
        return QStringLiteral("You're on the list, we'll let you in soon");
    if (access_ == Access::disabled) return QStringLiteral("This account is turned off");
    if (plan_.wordsLimit != 0 && plan_.wordsUsed >= plan_.wordsLimit)
        return QStringLiteral("That's this month's words, see your plan");
    return std::nullopt;
}

QNetworkAccessManager& AccountStore::net() {
    if (!net_) net_ = std::make_unique<QNetworkAccessManager>();
    return *net_;
}

QUrl AccountStore::authURL(const QString& pathAndQuery) const {
    QString base = Config::shared().supabaseURL().toString();
    while (base.endsWith(QLatin1Char('/'))) base.chop(1);
    return QUrl(base + QStringLiteral("/auth/v1/") + pathAndQuery);
}

QNetworkRequest AccountStore::authRequest(const QString& pathAndQuery, int timeoutMs) const {
    QNetworkRequest r(authURL(pathAndQuery));
    r.setTransferTimeout(timeoutMs);
    r.setRawHeader("apikey", Config::shared().supabaseKey().toUtf8());
    return r;
}

QString AccountStore::makeVerifier() {
    QByteArray bytes(32, Qt::Uninitialized);
    // The operating system's secure source (getrandom), never a seeded generator.
    QRandomGenerator::system()->generate(reinterpret_cast<quint32*>(bytes.data()),
                                         reinterpret_cast<quint32*>(bytes.data() + bytes.size()));
    return base64url(bytes);
}

QString AccountStore::challenge(const QString& verifier) {
    return base64url(QCryptographicHash::hash(verifier.toUtf8(), QCryptographicHash::Sha256));
}

void AccountStore::signIn(std::function<void(SignInOutcome)> completion) {
    if (!verifier_) verifier_ = makeVerifier();
    signInDone_ = std::move(completion);
    const bool chinese = Config::stringValue(QStringLiteral("appLanguage")) == QLatin1String("zh");
    const QUrl redirect = Config::shared().serverURL(
        chinese ? QStringLiteral("zh/signed-in") : QStringLiteral("signed-in"), false);
    // Each value encoded once, by us: the query keeps its %XX as they are.
    const QString query =
        QStringLiteral("provider=google&redirect_to=") +
        QString::fromLatin1(QUrl::toPercentEncoding(redirect.toString(QUrl::FullyEncoded))) +
        QStringLiteral("&code_challenge=") + challenge(*verifier_) +
        QStringLiteral("&code_challenge_method=s256");
    QUrl url = authURL(QStringLiteral("authorize"));
    url.setQuery(query);
    const bool opened = platform::Platform::installed() &&
                        platform::Platform::current().workspace &&
                        platform::Platform::current().workspace->open(url);
    if (!opened) {
        Log::write(QStringLiteral("Sign-in failed: couldn't open the browser"));
        finishSignIn(SignInOutcome::failed);
    }
}

void AccountStore::finishSignIn(SignInOutcome outcome) {
    auto done = std::move(signInDone_);
    signInDone_ = nullptr;
    if (done) done(outcome);
}

bool AccountStore::handle(const QUrl& url) {
    if (url.scheme() != QLatin1String("velmora") || url.host() != QLatin1String("auth-callback"))
        return false;
    if (!verifier_) {
        Log::write(QStringLiteral("Sign-in callback with no sign-in under way: ignored"));
        return false;
    }
    // The query's parameters, then the fragment's; the first of a name wins.
    std::map<QString, QString> params;
    for (const QString& part : {url.query(QUrl::FullyEncoded), url.fragment(QUrl::FullyEncoded)})
        for (const auto& [k, v] : QUrlQuery(part).queryItems(QUrl::FullyDecoded))
            params.emplace(k, v);
    if (const auto code = params.find(QStringLiteral("code"));
        code != params.end() && !code->second.isEmpty()) {
        exchange(code->second);
        return true;
    }
    QString why = QStringLiteral("no code");
    for (const char* key : {"error_description", "error"})
        if (const auto it = params.find(QLatin1String(key)); it != params.end()) {
            why = it->second;
            break;
        }
    Log::write(QStringLiteral("Sign-in failed: ") + why.left(200));
    finishSignIn(SignInOutcome::failed);
    return true;
}

std::optional<AccountStore::Session> AccountStore::sessionFrom(const QJsonObject& a) {
    const QJsonValue access = a.value(QLatin1String("access_token"));
    const QJsonValue refresh = a.value(QLatin1String("refresh_token"));
    if (!access.isString() || !refresh.isString() || access.toString().isEmpty() ||
        refresh.toString().isEmpty())
        return std::nullopt;
    Session s;
    s.accessToken = access.toString();
    s.refreshToken = refresh.toString();
    double expiresIn = 3600;
    if (const QJsonValue e = a.value(QLatin1String("expires_in")); e.isDouble())
        expiresIn = std::clamp(e.toDouble(), 0.0, 365.0 * 86400);
    s.expiresAt = QDateTime::currentDateTimeUtc().addMSecs(qint64(expiresIn * 1000));
    const QJsonObject user = a.value(QLatin1String("user")).toObject();
    s.email = user.value(QLatin1String("email")).toString();
    const QJsonObject meta = user.value(QLatin1String("user_metadata")).toObject();
    s.name = meta.value(QLatin1String("full_name")).toString();
    if (s.name.isEmpty()) s.name = meta.value(QLatin1String("name")).toString();
    for (const char* key : {"avatar_url", "picture"})
        if (const QJsonValue v = meta.value(QLatin1String(key)); v.isString()) {
            s.avatarURL = v.toString();
            break;
        }
    return s;
}

void AccountStore::exchange(const QString& code) {
    if (trading_) return;  // the same callback twice
    trading_ = true;
    QNetworkRequest r = authRequest(QStringLiteral("token?grant_type=pkce"), 15000);
    r.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    const QJsonObject body{{QStringLiteral("auth_code"), code},
                           {QStringLiteral("code_verifier"), verifier_.value_or(QString())}};
    QNetworkReply* reply = net().post(r, QJsonDocument(body).toJson(QJsonDocument::Compact));
    connect(reply, &QNetworkReply::finished, this, [this, reply] {
        reply->deleteLater();
        trading_ = false;
        const int status = statusOf(reply);
        const QJsonObject answer = objectOf(reply->readAll());
        const std::optional<Session> s = status == 200 ? sessionFrom(answer) : std::nullopt;
        if (!s) {
            Log::write(QStringLiteral("Sign-in failed: token exchange http ") +
                       QString::number(status) + QStringLiteral(" ") +
                       answer.value(QLatin1String("msg")).toString().left(200));
            // The code is spent either way; the next sign-in starts afresh.
            verifier_.reset();
            finishSignIn(SignInOutcome::failed);
            return;
        }
        Log::write(QStringLiteral("Signed in"));
        verifier_.reset();
        access_ = Access::unknown;
        save(s);
        refreshAccess();
        finishSignIn(SignInOutcome::signedIn);
    });
}

void AccountStore::save(const std::optional<Session>& session) {
    {
        std::lock_guard guard(lock_);
        stored_ = session;
    }
    if (session) {
        QString why;
        if (!writePrivateFile(path_, encode(*session), why))
            Log::write(QStringLiteral("Session file: couldn't write (") + why +
                       QStringLiteral(")"));
    } else if (!QFile::remove(path_) && QFile::exists(path_)) {
        Log::write(QStringLiteral("Session file: couldn't delete"));
    }
    emit changed();
}

void AccountStore::withFreshToken(std::function<void()> block) {
    if (!MainThread::isCurrent())
        return MainThread::post(
            [this, block = std::move(block)]() mutable { withFreshToken(std::move(block)); });
    const std::optional<Session> s = stored();
    if (!s) {
        if (block) block();
        return;
    }
    const qint64 left = QDateTime::currentDateTimeUtc().secsTo(s->expiresAt);
    if (left < 60) {
        refresh([block = std::move(block)](bool) {
            if (block) block();
        });
        return;
    }
    if (block) block();
    if (left < 600) refresh({});
}

void AccountStore::refresh(std::function<void(bool)> then) {
    if (refreshWaiters_) {
        refreshWaiters_->push_back(std::move(then));
        return;
    }
    const std::optional<Session> s = stored();
    if (!s) {
        if (then) then(false);
        return;
    }
    refreshWaiters_.emplace();
    refreshWaiters_->push_back(std::move(then));
    QNetworkRequest r = authRequest(QStringLiteral("token?grant_type=refresh_token"), 15000);
    r.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    const QJsonObject body{{QStringLiteral("refresh_token"), s->refreshToken}};
    QNetworkReply* reply = net().post(r, QJsonDocument(body).toJson(QJsonDocument::Compact));
    connect(reply, &QNetworkReply::finished, this, [this, reply] {
        reply->deleteLater();
        const int status = statusOf(reply);
        const QJsonObject answer = objectOf(reply->readAll());
        std::optional<Session> renewed = status == 200 ? sessionFrom(answer) : std::nullopt;
        if (renewed) {
            // The refresh answer may leave out who the user is: keep what we knew.
            const std::optional<Session> old = stored();
            if (old && renewed->email.isEmpty()) renewed->email = old->email;
            if (old && renewed->name.isEmpty()) renewed->name = old->name;
            if (old && !renewed->avatarURL) renewed->avatarURL = old->avatarURL;
            save(renewed);
        } else if (status == 400 || status == 401 || status == 403) {
            Log::write(QStringLiteral("Sign-in ended: refresh http ") + QString::number(status) +
                       QStringLiteral(" ") +
                       answer.value(QLatin1String("msg")).toString().left(200));
            access_ = Access::unknown;
            save(std::nullopt);
        } else {
            Log::write(QStringLiteral("Token refresh failed (http ") + QString::number(status) +
                       QStringLiteral("), keeping the session"));
        }
        auto waiters = std::move(*refreshWaiters_);
        refreshWaiters_.reset();
        for (auto& w : waiters)
            if (w) w(renewed.has_value());
    });
}

void AccountStore::refreshAhead(const QString& reason) {
    const std::optional<Session> s = stored();
    if (!s) return;
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const qint64 left = now.secsTo(s->expiresAt);
    if (lastRefreshAhead_.secsTo(now) <= 300 || left >= 600) return;
    lastRefreshAhead_ = now;
    Log::write(QStringLiteral("Token refresh ahead of the next dictation (") + reason +
               QStringLiteral(", ") + QString::number(left) + QStringLiteral("s left)"));
    refresh({});
}

void AccountStore::refreshAccess(std::function<void()> then) {
    withFreshToken([this, then = std::move(then)] {
        QNetworkRequest r = Config::shared().serverRequest(QStringLiteral("me"), false);
        r.setTransferTimeout(10000);
        QNetworkReply* reply = net().get(r);
        connect(reply, &QNetworkReply::finished, this, [this, reply, then] {
            reply->deleteLater();
            const int status = statusOf(reply);
            const QJsonObject me = objectOf(reply->read(1 << 20));
            const std::optional<Access> state =
                status == 200 ? accessFrom(me.value(QLatin1String("status")).toString())
                              : std::nullopt;
            if (!state) {
                Log::write(QStringLiteral("Account check failed: http ") + QString::number(status));
                if (then) then();
                return;
            }
            // Signed out while the check was under way: its answer is about nobody now.
            if (!hasSession() && !hasDevToken()) {
                if (then) then();
                return;
            }
            const Plan next = planFrom(me.value(QLatin1String("plan"))).value_or(plan_);
            if (*state != access_)
                Log::write(QStringLiteral("Account access: ") + accessRaw(*state));
            if (next.tier != plan_.tier) Log::write(QStringLiteral("Plan: ") + rawValue(next.tier));
            if (next.wordsUsed != plan_.wordsUsed || next.wordsLimit != plan_.wordsLimit)
                Log::write(QStringLiteral("Words this month: ") + QString::number(next.wordsUsed) +
                           QStringLiteral(" of ") +
                           (next.wordsLimit ? QString::number(next.wordsLimit)
                                            : QStringLiteral("no limit")));
            if (*state != access_ || !(next == plan_)) {
                access_ = *state;
                plan_ = next;
                emit changed();
            }
            if (then) then();
        });
    });
}

void AccountStore::signOut() {
    const std::optional<Session> s = stored();
    if (!s) return;
    access_ = Access::unknown;
    plan_ = Plan::unknown();
    save(std::nullopt);
    QNetworkRequest r = authRequest(QStringLiteral("logout?scope=local"), 10000);
    r.setRawHeader("Authorization", "Bearer " + s->accessToken.toUtf8());
    QNetworkReply* reply = net().post(r, QByteArray());
    connect(reply, &QNetworkReply::finished, this, [reply] {
        reply->deleteLater();
        Log::write(QStringLiteral("Signed out (Supabase http ") + QString::number(statusOf(reply)) +
                   QStringLiteral(")"));
    });
}
