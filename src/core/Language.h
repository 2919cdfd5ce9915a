#pragma once
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <optional>

// The two user-interface languages, in the order the settings picker offers them. Raw values
// are what the "appLanguage" defaults key stores.
enum class AppLanguage { en, zh };
QString rawValue(AppLanguage language);
std::optional<AppLanguage> appLanguageFromRaw(const QString& raw);
QList<AppLanguage> allAppLanguages();

// The chosen UI language, shared by every window. Made on first use from the stored choice,
// else from the system's first preferred language. Thread: main.
class LanguageSetting : public QObject {
    Q_OBJECT
  public:
    static LanguageSetting& shared();
    // A private instance over given preferred languages (tests); reads the stored choice.
    explicit LanguageSetting(const QStringList& preferredLanguages);

    AppLanguage language() const { return language_; }
    // Stores and logs a new choice; the same one again does nothing.
    void setLanguage(AppLanguage language);

  Q_SIGNALS:
    void languageChanged(AppLanguage language);

  private:
    AppLanguage language_ = AppLanguage::en;
};

namespace Language {
// The text of a pair in the current language: the English `en` itself, or its Chinese form
// from the translations compiled into the app (context "Velmora"). Computed parts go in as
// %1, %2… and are filled by the caller after. Not Qt's QObject::tr: the language is ours.
QString tr(const char* en);
// The same for a given language.
QString text(const char* en, AppLanguage language);
}  // namespace Language
