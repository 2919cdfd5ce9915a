#include "core/Language.h"

#include <QLocale>
#include <QSettings>
#include <QTranslator>

#include "core/Config.h"
#include "core/Log.h"

namespace {

constexpr auto kContext = "Velmora";

const QTranslator& chinese() {
    static QTranslator* t = [] {
        auto* translator = new QTranslator;
        if (!translator->load(QStringLiteral(":/i18n/velmora_zh.qm")))
            Log::write(QStringLiteral("Language: the Chinese texts are missing from this build"));
        return translator;
    }();
    return *t;
}

}  // namespace

QString rawValue(AppLanguage language) {
    return language == AppLanguage::zh ? QStringLiteral("zh") : QStringLiteral("en");
}

std::optional<AppLanguage> appLanguageFromRaw(const QString& raw) {
    if (raw == QLatin1String("en")) return AppLanguage::en;
    if (raw == QLatin1String("zh")) return AppLanguage::zh;
    return std::nullopt;
}

QList<AppLanguage> allAppLanguages() {
    return {AppLanguage::en, AppLanguage::zh};
}

LanguageSetting& LanguageSetting::shared() {
    static LanguageSetting* s = new LanguageSetting(QLocale::system().uiLanguages());
    return *s;
}

LanguageSetting::LanguageSetting(const QStringList& preferredLanguages) {
    const auto stored = Config::d()->value(QStringLiteral("appLanguage"));
    if (const auto chosen = appLanguageFromRaw(stored.toString()); chosen && stored.isValid()) {
        language_ = *chosen;
    } else {
        language_ = !preferredLanguages.isEmpty() &&
                            preferredLanguages.first().startsWith(QLatin1String("zh"))
                        ? AppLanguage::zh
                        : AppLanguage::en;
    }
}

void LanguageSetting::setLanguage(AppLanguage language) {
    if (language == language_) return;
    language_ = language;
    Config::d()->setValue(QStringLiteral("appLanguage"), rawValue(language));
    Log::write(QStringLiteral("Language: ") + rawValue(language));
    Q_EMIT languageChanged(language);
}

namespace Language {

QString text(const char* en, AppLanguage language) {
    if (language == AppLanguage::zh) {
        const QString zh = chinese().translate(kContext, en);
        if (!zh.isEmpty()) return zh;
    }
    return QString::fromUtf8(en);
}

QString tr(const char* en) {
    return text(en, LanguageSetting::shared().language());
}

}  // namespace Language
