#pragma once
#include <QDateTime>
#include <QObject>
#include <QString>
#include <QUrl>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

class QNetworkAccessManager;
class QNetworkReply;
class QNetworkRequest;
class QJsonObject;

// The plan an account is on, as the backend's "me" reports it.
struct Plan {
    enum class Tier { free, pro, max };
    Tier tier = Tier::free;
    std::optional<QDateTime> until;  // when the plan runs out
    qint64 wordsUsed = 0;
    qint64 wordsLimit = 0;               // 0: no limit
    std::optional<QDateTime> monthEnds;  // when the month's count starts again
    bool operator==(const Plan&) const = default;
    static Plan unknown() { return {}; }
};
QString rawValue(Plan::Tier tier);

// The signed-in account: the browser sign-in (PKCE code flow), the session kept in
// "session.json", a fresh access token, and the access state and plan from "me".
// Thread: main, but for `stored()` and `accessToken()`, which any thread may call (the
// request builder reads the token from the network threads); completions run on the main
// thread.
class AccountStore : public QObject {
    Q_OBJECT
  public:
    enum class Access { unknown, active, pending, disabled };
    enum class SignInOutcome { signedIn, failed };

    // The content of "session.json".
    struct Session {
        QString accessToken, refreshToken;
        QDateTime expiresAt;
        QString email, name;
        std::optional<QString> avatarURL;
        bool operator==(const Session&) const = default;
    };
    // What the windows show.
    struct Account {
        bool signedIn = false;
        QString name, email;
        std::optional<QUrl> avatar;
    };

    // The store of the running app: made on first use from "session.json" in the
    // application's data folder; it gives the request builder its token and the cleanup
    // client its freshness gate.
    static AccountStore& shared();
    // Replaces the shared store (tests); null puts the app's own back.
    static void install(AccountStore* store);

    // A store over a session file of its own (tests); the app's is shared().
    explicit AccountStore(const QString& sessionPath);
    ~AccountStore() override;

    // The reason dictation may not start, else none.
    virtual std::optional<QString> cantDictate();
    virtual bool hasSession() const;
    // The access state's raw value: "unknown", "active", "pending" or "disabled".
    virtual QString access() const;
    Access accessState() const { return access_; }
    Plan plan() const { return plan_; }
    Account account() const;
    bool hasDevToken() const;
    bool needsSignIn() const { return !account().signedIn && !hasDevToken(); }

    // Checks "me" under the freshness rule; `then` runs once it is over.
    virtual void refreshAccess(std::function<void()> then = {});
    // Renews the access token; `then(renewed)` always runs, once, when that is over.
    virtual void refresh(std::function<void(bool renewed)> then);
    // Runs `block` on the main thread with a token good for at least a minute.
    virtual void withFreshToken(std::function<void()> block);

    // Opens the sign-in page in the browser; `completion` runs once it ends.
    void signIn(std::function<void(SignInOutcome)> completion);
    // True when the URL was a sign-in callback (consumed).
    bool handle(const QUrl& url);
    void signOut();
    // Wake and unlock: refresh ahead of the next dictation when the token is close to its end.
    void refreshAhead(const QString& reason);

    // Any thread.
    std::optional<Session> stored() const;
    std::optional<QString> accessToken() const;

    // PKCE: 32 random bytes, and the SHA-256 challenge, both URL-safe Base64 (43 characters).
    static QString makeVerifier();
    static QString challenge(const QString& verifier);
    // "session.json": compact JSON, "expiresAt" in seconds since 2001-01-01 UTC.
    static QByteArray encode(const Session& session);
    static std::optional<Session> decode(const QByteArray& bytes);

    // Test hooks: where the sign-in's browser step went.
    std::optional<QString> pendingVerifier() const { return verifier_; }
    QString sessionPath() const { return path_; }

  signals:
    // The session, the access state or the plan changed.
    void changed();

  protected:
    // For stores a test scripts: no session file at all.
    AccountStore();

  private:
    QNetworkAccessManager& net();
    QUrl authURL(const QString& pathAndQuery) const;
    QNetworkRequest authRequest(const QString& pathAndQuery, int timeoutMs) const;
    void exchange(const QString& code);
    // Reads a token answer into a session; none unless it has both tokens.
    static std::optional<Session> sessionFrom(const QJsonObject& answer);
    void save(const std::optional<Session>& session);
    void finishSignIn(SignInOutcome outcome);
    void load();

    QString path_;
    mutable std::mutex lock_;  // guards stored_ only
    std::optional<Session> stored_;
    Access access_ = Access::unknown;
    Plan plan_;
    std::optional<QString> verifier_;
    std::function<void(SignInOutcome)> signInDone_;
    bool trading_ = false;
    std::optional<std::vector<std::function<void(bool)>>> refreshWaiters_;
    QDateTime lastRefreshAhead_;
    std::unique_ptr<QNetworkAccessManager> net_;
};
