// The environment file (~/.velmora.env) as a user may leave it: any bytes give settings
// that are safe to use, and nothing of it reaches a request header unchecked.
#include <QFile>
#include <QNetworkRequest>
#include <cstddef>
#include <cstdint>

#include "FuzzUtil.h"
#include "core/Config.h"
#include "core/Log.h"

namespace {

QString envPath() {
    static const QString path =
        QString::fromStdString(fuzzutil::privateHome()) + QStringLiteral("/fuzz.env");
    return path;
}

void checkHeaders(const QNetworkRequest& request) {
    for (const QByteArray& name : request.rawHeaderList()) {
        const QByteArray value = request.rawHeader(name);
        if (value.contains('\r') || value.contains('\n') || value.contains('\0'))
            fuzzutil::fail("a line break or NUL in the " + name.toStdString() + " header");
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzutil::privateHome();
    Log::setMirrorToStderr(false);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    {
        QFile file(envPath());
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) fuzzutil::fail("env file");
        file.write(reinterpret_cast<const char*>(data), static_cast<qint64>(size));
    }
    const Config config(envPath());
    for (const auto& [word, weight] : config.envHotwords()) {
        if (word.isEmpty() || word != word.trimmed()) fuzzutil::fail("hotword not trimmed");
        if (weight != 50 && (weight < 1 || weight > 5)) fuzzutil::fail("hotword weight");
    }
    for (const QUrl& url : {config.server(), config.supabaseURL()})
        if (!url.isValid() || url.host().isEmpty()) fuzzutil::fail("unusable URL");
    checkHeaders(config.serverRequest(QStringLiteral("polish"), false));
    checkHeaders(config.serverRequest(QStringLiteral("asr"), true));
    config.supabaseKey();
    config.maxSentenceSilence();
    return 0;
}
