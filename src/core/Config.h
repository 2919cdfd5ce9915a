#pragma once
#include <QNetworkRequest>
#include <QSettings>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

// The talk key. Raw values are what the "hotkey" defaults key stores.
enum class HotkeyChoice { rightOption, rightCommand, rightControl, fn };
QString rawValue(HotkeyChoice choice);
std::optional<HotkeyChoice> hotkeyChoiceFromRaw(const QString& raw);

// Hotword -> weight (50 normal, 1..5 weaker), as sent to the recogniser.
using Vocabulary = std::map<QString, int>;

// Version strings sent with every backend request and written to the log.
namespace AppVersion {
QString summary();  // "0.1.0" or "0.1.0 (57)"
QString macOS();    // the operating system's version, "Version "/"Build " removed
}  // namespace AppVersion

// Parses a base-10 integer with an optional leading sign and nothing else.
std::optional<int> parseStrictInt(const QString& text);

// The application's core settings: ~/.velmora.env, the process environment and the
// defaults store. Everything but the env file is read again at each use.
// Thread: any (the learned-word list edits are main-thread only).
class Config {
  public:
    static Config& shared();
    // A private instance over a given env file, for tests.
    explicit Config(const QString& envFilePath);

    // A fresh handle on the defaults store ("Velmora"/"Velmora"). Cheap; one per call
    // keeps it safe across threads.
    static std::unique_ptr<QSettings> d();

    std::optional<QString> env(const QString& key) const;
    const std::map<QString, QString>& envFile() const { return envFile_; }

    QUrl server() const;
    QUrl serverURL(const QString& path, bool websocket) const;
    QNetworkRequest serverRequest(const QString& path, bool websocket) const;
    QUrl supabaseURL() const;
    QString supabaseKey() const;

    HotkeyChoice hotkey() const;
    bool toggleMode() const;
    bool polishEnabled() const;
    bool muteWhileListening() const;
    bool usePaste() const;
    bool teskEnabled() const;
    bool learnHotwords() const;
    int maxSentenceSilence() const;

    Vocabulary envHotwords() const;
    Vocabulary vocabulary() const;
    QStringList addLearnedHotwords(const QStringList& words, bool byHand);
    void removeLearnedHotword(const QString& word);
    void rejectLearnedHotwords(const QStringList& words);

    // Typed readers of the defaults store: a value of the wrong type gives the
    // default and a log line.
    static bool boolValue(const QString& key, bool fallback);
    static std::optional<bool> optionalBool(const QString& key);
    static QStringList stringList(const QString& key);
    static void setStringList(const QString& key, const QStringList& list);
    // Several lists through one handle: the defaults file is synced once.
    static void setStringLists(const std::vector<std::pair<QString, QStringList>>& lists);
    static QString stringValue(const QString& key, const QString& fallback = {});
    static qint64 intValue(const QString& key, qint64 fallback);
    static double doubleValue(const QString& key, double fallback);

    // The signed-in account's access token, installed by the account store.
    using TokenProvider = std::function<std::optional<QString>()>;
    static void setAccountTokenProvider(TokenProvider provider);

    // Built-in deployment values.
    static const char* const kDefaultServer;
    static const char* const kDefaultSupabaseURL;
    static const char* const kDefaultSupabaseKey;

    static std::map<QString, QString> parseEnvText(const QString& text);

  private:
    std::optional<QUrl> urlFromEnv(const char* key) const;
    void rejectOrRemove(const QStringList& words, bool reject);
    std::map<QString, QString> envFile_;
};
