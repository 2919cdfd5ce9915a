#include "core/Config.h"

#include <sys/stat.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QStringDecoder>
#include <QSysInfo>
#include <algorithm>
#include <climits>
#include <cmath>
#include <mutex>
#include <set>

#include "core/Log.h"
#include "core/Paths.h"

// The reference backend runs on this machine; a loopback service needs no TLS.
const char* const Config::kDefaultServer = "http://127.0.0.1:8443";
const char* const Config::kDefaultSupabaseURL = "https://velmora-auth.supabase.co";
const char* const Config::kDefaultSupabaseKey = "sb_publishable_velmoraLocalDevelopmentKey00000";

namespace {

constexpr qint64 kMaxEnvFileBytes = 1 << 20;
constexpr int kMaxLearned = 80;
constexpr int kMaxRejected = 200;

std::mutex gTokenMutex;
Config::TokenProvider gTokenProvider;

// Logs each distinct complaint once per run, so a bad setting read at every
// request does not flood the log.
void logOnce(const QString& line) {
    static std::mutex m;
    static std::set<QString> seen;
    {
        std::lock_guard lock(m);
        if (!seen.insert(line).second) return;
    }
    Log::write(line);
}

QString trimmed(const QString& s) {
    // Spaces and tabs only.
    qsizetype b = 0, e = s.size();
    while (b < e && (s[b] == u' ' || s[b] == u'\t')) ++b;
    while (e > b && (s[e - 1] == u' ' || s[e - 1] == u'\t')) --e;
    return s.mid(b, e - b);
}

std::map<QString, QString> readEnvFile(const QString& path) {
    QFile file(path);
    if (!file.exists()) return {};
    if (!file.open(QIODevice::ReadOnly)) {
        Log::write(QStringLiteral("Config: couldn't read %1 (%2)").arg(path, file.errorString()));
        return {};
    }
    if (file.size() > kMaxEnvFileBytes) {
        Log::write(QStringLiteral("Config: %1 is larger than 1 MiB, ignored").arg(path));
        return {};
    }
    const QByteArray bytes = file.readAll();
    QStringDecoder decoder(QStringDecoder::Utf8);
    const QString text = decoder.decode(bytes);
    if (decoder.hasError()) {
        Log::write(QStringLiteral("Config: %1 is not UTF-8, ignored").arg(path));
        return {};
    }
    return Config::parseEnvText(text);
}

// Owner-only folder, and an owner-only file from its first byte on.
void makePrivate(const QString& path) {
    const QString dir = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(dir) || ::chmod(QFile::encodeName(dir).constData(), 0700) != 0) {
        Log::write(QStringLiteral("Config: couldn't make ") + dir + QStringLiteral(" private"));
        return;
    }
    QFile f(path);
    if (!f.exists() && f.open(QIODevice::WriteOnly | QIODevice::NewOnly)) f.close();
    if (f.exists() && !f.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner))
        Log::write(QStringLiteral("Config: couldn't make ") + path + QStringLiteral(" private"));
}

}  // namespace

QString rawValue(HotkeyChoice choice) {
    switch (choice) {
        case HotkeyChoice::rightOption:
            return QStringLiteral("rightOption");
        case HotkeyChoice::rightCommand:
            return QStringLiteral("rightCommand");
        case HotkeyChoice::rightControl:
            return QStringLiteral("rightControl");
        case HotkeyChoice::fn:
            return QStringLiteral("fn");
    }
    return QStringLiteral("fn");
}

std::optional<HotkeyChoice> hotkeyChoiceFromRaw(const QString& raw) {
    for (auto c : {HotkeyChoice::rightOption, HotkeyChoice::rightCommand,
                   HotkeyChoice::rightControl, HotkeyChoice::fn}) {
        if (rawValue(c) == raw) return c;
    }
    return std::nullopt;
}

std::optional<int> parseStrictInt(const QString& text) {
    if (text.isEmpty()) return std::nullopt;
    qsizetype i = 0;
    bool negative = false;
    if (text[0] == u'+' || text[0] == u'-') {
        negative = text[0] == u'-';
        i = 1;
    }
    if (i == text.size()) return std::nullopt;
    qint64 value = 0;
    for (; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c < u'0' || c > u'9') return std::nullopt;
        value = value * 10 + (c.unicode() - u'0');
        if (value > qint64(INT_MAX) + 1) return std::nullopt;
    }
    if (negative) value = -value;
    if (value > INT_MAX || value < INT_MIN) return std::nullopt;
    return static_cast<int>(value);
}

namespace AppVersion {
QString summary() {
    static const QString s = [] {
        QString v = QStringLiteral(VELMORA_VERSION);
        const QString build = QStringLiteral(VELMORA_BUILD);
        if (!build.isEmpty()) v += QStringLiteral(" (") + build + QLatin1Char(')');
        return v;
    }();
    return s;
}
QString macOS() {
    static const QString s = [] {
        QString v = QSysInfo::prettyProductName();
        v.remove(QStringLiteral("Version "));
        v.remove(QStringLiteral("Build "));
        return v;
    }();
    return s;
}
}  // namespace AppVersion

std::map<QString, QString> Config::parseEnvText(const QString& text) {
    std::map<QString, QString> out;
    for (const QString& rawLine : text.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        QString line = rawLine;
        if (line.endsWith(QLatin1Char('\r'))) line.chop(1);  // files edited on other systems
        line = trimmed(line);
        if (line.isEmpty() || line.startsWith(QLatin1Char('#'))) continue;
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        if (eq < 0) continue;
        const QString key = trimmed(line.left(eq));
        QString value = trimmed(line.mid(eq + 1));
        if (value.size() >= 2 && value.startsWith(QLatin1Char('"')) &&
            value.endsWith(QLatin1Char('"')))
            value = value.mid(1, value.size() - 2);
        out[key] = value;
    }
    return out;
}

Config& Config::shared() {
    static Config* instance = new Config(Paths::envFile());
    return *instance;
}

Config::Config(const QString& envFilePath) : envFile_(readEnvFile(envFilePath)) {}

std::unique_ptr<QSettings> Config::d() {
    auto s = std::make_unique<QSettings>(QStringLiteral("Velmora"), QStringLiteral("Velmora"));
    // The dictionary's words are the user's own: the folder and the file are made private
    // once per run (the store keeps an existing file's mode when it rewrites it).
    static std::once_flag once;
    std::call_once(once, [path = s->fileName()] { makePrivate(path); });
    return s;
}

std::optional<QString> Config::env(const QString& key) const {
    if (auto it = envFile_.find(key); it != envFile_.end() && !it->second.isEmpty())
        return it->second;
    const QString value = qEnvironmentVariable(key.toUtf8().constData());
    if (!value.isEmpty()) return value;
    return std::nullopt;
}

std::optional<QUrl> Config::urlFromEnv(const char* key) const {
    const auto value = env(QLatin1String(key));
    if (!value) return std::nullopt;
    const QUrl url(*value, QUrl::StrictMode);
    if (!url.isValid() || url.scheme().isEmpty() || url.host().isEmpty()) {
        logOnce(QStringLiteral("Config: %1 is not a valid URL (%2), using the default")
                    .arg(QLatin1String(key), *value));
        return std::nullopt;
    }
    return url;
}

QUrl Config::server() const {
    return urlFromEnv("VQ_SERVER").value_or(QUrl(QLatin1String(kDefaultServer)));
}

QUrl Config::serverURL(const QString& path, bool websocket) const {
    QUrl url = server();
    QString base = url.path();
    if (!base.endsWith(QLatin1Char('/'))) base += QLatin1Char('/');
    url.setPath(base + path);
    if (websocket)
        url.setScheme(url.scheme() == QLatin1String("https") ? QStringLiteral("wss")
                                                             : QStringLiteral("ws"));
    return url;
}

QNetworkRequest Config::serverRequest(const QString& path, bool websocket) const {
    QNetworkRequest request(serverURL(path, websocket));
    request.setTransferTimeout(60000);
    std::optional<QString> token = env(QStringLiteral("VQ_SERVER_TOKEN"));
    if (!token) {
        std::lock_guard lock(gTokenMutex);
        if (gTokenProvider) token = gTokenProvider();
    }
    if (token && !token->isEmpty()) {
        // A token is visible ASCII; anything else (a stray control character in the env
        // file, say) would break the request's header lines.
        const bool usable = std::all_of(token->cbegin(), token->cend(),
                                        [](QChar c) { return c > u' ' && c < QChar(0x7f); });
        if (usable)
            request.setRawHeader("Authorization", "Bearer " + token->toUtf8());
        else
            logOnce(
                QStringLiteral("Config: the bearer token has characters a token cannot "
                               "have (spaces, control or non-ASCII), not sent"));
    }
    request.setRawHeader("X-App-Version", AppVersion::summary().toUtf8());
    request.setRawHeader("X-OS-Version", AppVersion::macOS().toUtf8());
    return request;
}

QUrl Config::supabaseURL() const {
    return urlFromEnv("VQ_SUPABASE_URL").value_or(QUrl(QLatin1String(kDefaultSupabaseURL)));
}

QString Config::supabaseKey() const {
    return env(QStringLiteral("VQ_SUPABASE_KEY")).value_or(QLatin1String(kDefaultSupabaseKey));
}

void Config::setAccountTokenProvider(TokenProvider provider) {
    std::lock_guard lock(gTokenMutex);
    gTokenProvider = std::move(provider);
}

HotkeyChoice Config::hotkey() const {
    const auto s = d();
    // The fn key is invisible to X on most keyboards, so an unset key means right Control here.
    if (!s->contains(QStringLiteral("hotkey"))) return HotkeyChoice::rightControl;
    return hotkeyChoiceFromRaw(s->value(QStringLiteral("hotkey")).toString())
        .value_or(HotkeyChoice::fn);
}

bool Config::toggleMode() const {
    return boolValue(QStringLiteral("toggleMode"), true);
}
bool Config::polishEnabled() const {
    return boolValue(QStringLiteral("polishEnabled"), true);
}
bool Config::muteWhileListening() const {
    return boolValue(QStringLiteral("muteWhileListening"), true);
}
bool Config::usePaste() const {
    return boolValue(QStringLiteral("usePaste"), false);
}
bool Config::teskEnabled() const {
    return boolValue(QStringLiteral("teskEnabled"), false);
}

bool Config::learnHotwords() const {
    if (auto stored = optionalBool(QStringLiteral("learnHotwords"))) return *stored;
    return env(QStringLiteral("VQ_LEARN_HOTWORDS")) == QStringLiteral("1");
}

int Config::maxSentenceSilence() const {
    const auto text = env(QStringLiteral("VQ_MAX_SILENCE"));
    if (!text) return 400;
    return parseStrictInt(*text).value_or(400);
}

Vocabulary Config::envHotwords() const {
    Vocabulary out;
    QString text = env(QStringLiteral("VQ_HOTWORDS")).value_or(QString());
    text.replace(QChar(0xFF0C), QLatin1Char(',')).replace(QLatin1Char('\n'), QLatin1Char(','));
    for (const QString& rawPiece : text.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        QString piece = rawPiece.trimmed();
        if (piece.isEmpty()) continue;
        qsizetype lead = 0;
        while (lead < piece.size() && piece[lead] == u':') ++lead;
        piece = piece.mid(lead);
        const qsizetype colon = piece.indexOf(QLatin1Char(':'));
        const QString word = (colon < 0 ? piece : piece.left(colon)).trimmed();
        const QString weightText = colon < 0 ? QString() : piece.mid(colon + 1).trimmed();
        if (word.isEmpty()) continue;
        int weight = parseStrictInt(weightText).value_or(50);
        if (weight != 50) weight = std::clamp(weight, 1, 5);
        out[word] = weight;
    }
    return out;
}

Vocabulary Config::vocabulary() const {
    std::vector<std::pair<QString, int>> candidates;
    for (const auto& [word, weight] : envHotwords()) candidates.emplace_back(word, weight);
    const QStringList learned = stringList(QStringLiteral("learnedHotwords"));
    for (auto it = learned.crbegin(); it != learned.crend(); ++it) candidates.emplace_back(*it, 50);

    Vocabulary out;
    int full = 0;
    for (const auto& [word, weight] : candidates) {
        if (out.count(word)) continue;
        int w = weight;
        if (w == 50 && ++full > 50) w = 5;
        out[word] = w;
    }
    return out;
}

QStringList Config::addLearnedHotwords(const QStringList& words, bool byHand) {
    QSet<QString> lowered;
    for (const QString& w : words) lowered.insert(w.toLower());

    // Every list goes through one handle: one sync of the defaults file, not one per list.
    std::vector<std::pair<QString, QStringList>> writes;
    QStringList rejected = stringList(QStringLiteral("rejectedHotwords"));
    if (byHand) {
        const qsizetype before = rejected.size();
        rejected.removeIf([&](const QString& r) { return lowered.contains(r.toLower()); });
        if (rejected.size() != before)
            writes.emplace_back(QStringLiteral("rejectedHotwords"), rejected);
    }

    QSet<QString> known;
    for (const auto& entry : vocabulary()) known.insert(entry.first.toLower());
    if (!byHand)
        for (const QString& r : rejected) known.insert(r.toLower());

    QStringList added;
    for (const QString& w : words) {
        // A blank hotword would only reach the recogniser as noise.
        if (w.trimmed().isEmpty()) continue;
        const QString low = w.toLower();
        if (known.contains(low)) continue;
        known.insert(low);
        added.append(w);
    }
    if (!added.isEmpty()) {
        QStringList learned = stringList(QStringLiteral("learnedHotwords"));
        learned.append(added);
        if (learned.size() > kMaxLearned) learned = learned.mid(learned.size() - kMaxLearned);
        QStringList fresh = stringList(QStringLiteral("newHotwords"));
        fresh.removeIf([&](const QString& n) { return !learned.contains(n); });
        writes.emplace_back(QStringLiteral("learnedHotwords"), learned);
        writes.emplace_back(QStringLiteral("newHotwords"), fresh);
    }
    setStringLists(writes);
    return added;
}

void Config::removeLearnedHotword(const QString& word) {
    rejectOrRemove({word}, false);
}

void Config::rejectLearnedHotwords(const QStringList& words) {
    rejectOrRemove(words, true);
}

void Config::rejectOrRemove(const QStringList& words, bool reject) {
    QStringList learned = stringList(QStringLiteral("learnedHotwords"));
    QStringList fresh = stringList(QStringLiteral("newHotwords"));
    for (const QString& w : words) {
        learned.removeAll(w);
        fresh.removeAll(w);
    }
    std::vector<std::pair<QString, QStringList>> writes{
        {QStringLiteral("learnedHotwords"), learned}, {QStringLiteral("newHotwords"), fresh}};
    if (reject) {
        QSet<QString> lowered;
        for (const QString& w : words) lowered.insert(w.toLower());
        QStringList rejected = stringList(QStringLiteral("rejectedHotwords"));
        rejected.removeIf([&](const QString& r) { return lowered.contains(r.toLower()); });
        rejected.append(words);
        if (rejected.size() > kMaxRejected) rejected = rejected.mid(rejected.size() - kMaxRejected);
        writes.emplace_back(QStringLiteral("rejectedHotwords"), rejected);
    }
    setStringLists(writes);
}

void Config::setStringLists(const std::vector<std::pair<QString, QStringList>>& lists) {
    if (lists.empty()) return;
    const auto s = d();
    for (const auto& [key, list] : lists) s->setValue(key, list);
}

// ---- typed defaults readers ----

std::optional<bool> Config::optionalBool(const QString& key) {
    const auto s = d();
    if (!s->contains(key)) return std::nullopt;
    const QVariant v = s->value(key);
    switch (v.typeId()) {
        case QMetaType::Bool:
            return v.toBool();
        case QMetaType::Int:
        case QMetaType::LongLong:
        case QMetaType::UInt:
        case QMetaType::ULongLong:
        case QMetaType::Double:
            return v.toDouble() != 0;
        case QMetaType::QString: {
            const QString t = v.toString().trimmed().toLower();
            if (t == QLatin1String("true") || t == QLatin1String("1")) return true;
            if (t == QLatin1String("false") || t == QLatin1String("0")) return false;
            break;
        }
        default:
            break;
    }
    logOnce(QStringLiteral("Config: \"%1\" is not a yes/no value, using the default").arg(key));
    return std::nullopt;
}

bool Config::boolValue(const QString& key, bool fallback) {
    return optionalBool(key).value_or(fallback);
}

QStringList Config::stringList(const QString& key) {
    const auto s = d();
    if (!s->contains(key)) return {};
    const QVariant v = s->value(key);
    // An empty list is stored as "no value".
    if (!v.isValid()) return {};
    if (v.typeId() == QMetaType::QStringList) return v.toStringList();
    // The settings file stores a one-element list as a plain string.
    if (v.typeId() == QMetaType::QString) return {v.toString()};
    if (v.typeId() == QMetaType::QVariantList) {
        QStringList out;
        for (const QVariant& item : v.toList())
            if (item.typeId() == QMetaType::QString) out.append(item.toString());
        return out;
    }
    logOnce(QStringLiteral("Config: \"%1\" is not a list of words, reading it as empty").arg(key));
    return {};
}

void Config::setStringList(const QString& key, const QStringList& list) {
    d()->setValue(key, list);
}

QString Config::stringValue(const QString& key, const QString& fallback) {
    const auto s = d();
    if (!s->contains(key)) return fallback;
    const QVariant v = s->value(key);
    if (v.typeId() == QMetaType::QString) return v.toString();
    logOnce(QStringLiteral("Config: \"%1\" is not text, using the default").arg(key));
    return fallback;
}

qint64 Config::intValue(const QString& key, qint64 fallback) {
    const auto s = d();
    if (!s->contains(key)) return fallback;
    bool ok = false;
    const qint64 value = s->value(key).toLongLong(&ok);
    if (ok) return value;
    const double real = s->value(key).toDouble(&ok);
    if (ok && std::isfinite(real)) return static_cast<qint64>(real);
    logOnce(QStringLiteral("Config: \"%1\" is not a number, using the default").arg(key));
    return fallback;
}

double Config::doubleValue(const QString& key, double fallback) {
    const auto s = d();
    if (!s->contains(key)) return fallback;
    bool ok = false;
    const double value = s->value(key).toDouble(&ok);
    if (ok && std::isfinite(value)) return value;
    logOnce(QStringLiteral("Config: \"%1\" is not a number, using the default").arg(key));
    return fallback;
}
