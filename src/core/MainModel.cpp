#include "core/MainModel.h"

#include <QLocale>
#include <QPointer>
#include <QSet>
#include <algorithm>
#include <cmath>

#include "core/Config.h"
#include "core/DictionaryModel.h"
#include "core/Log.h"
#include "core/Polisher.h"

namespace {

QString t(const char* en, AppLanguage lang) {
    return Language::text(en, lang);
}

QLocale localeFor(AppLanguage lang) {
    return lang == AppLanguage::zh ? QLocale(QLocale::Chinese, QLocale::China)
                                   : QLocale(QLocale::English, QLocale::UnitedStates);
}

QString tierName(Plan::Tier tier) {
    switch (tier) {
        case Plan::Tier::pro:
            return QStringLiteral("Pro");
        case Plan::Tier::max:
            return QStringLiteral("Max");
        case Plan::Tier::free:
            break;
    }
    return QStringLiteral("Free");
}

}  // namespace

QString rawValue(MainPage page) {
    switch (page) {
        case MainPage::dictionary:
            return QStringLiteral("dictionary");
        case MainPage::settings:
            return QStringLiteral("settings");
        case MainPage::home:
            break;
    }
    return QStringLiteral("home");
}

std::optional<MainPage> mainPageFromRaw(const QString& raw) {
    for (MainPage p : {MainPage::home, MainPage::dictionary, MainPage::settings})
        if (rawValue(p) == raw) return p;
    return std::nullopt;
}

MainModel::MainModel(DictionaryModel& dictionary_, HistoryStore& history_)
    : dictionary(dictionary_), history(history_) {}

void MainModel::useAppServices() {
    checkAccount = [] {
        AccountStore& store = AccountStore::shared();
        return AccountView{store.account(), store.accessState(), store.plan()};
    };
    hasDevToken = [] { return AccountStore::shared().hasDevToken(); };
    checkSetup = [] { return SetupCheck::state(); };
    applyTesk = [](bool on) { Polisher::setTeskEnabled(on); };
    onSignIn = [](std::function<void(bool)> done) {
        AccountStore::shared().signIn([done = std::move(done)](AccountStore::SignInOutcome o) {
            if (done) done(o == AccountStore::SignInOutcome::signedIn);
        });
    };
    onSignOut = [] { AccountStore::shared().signOut(); };
    onFront = [] { AccountStore::shared().refreshAccess(); };
}

int MainModel::countUnseen() {
    const QStringList learned = Config::stringList(QStringLiteral("learnedHotwords"));
    const QSet<QString> kept(learned.cbegin(), learned.cend());
    int n = 0;
    for (const QString& w : Config::stringList(QStringLiteral("newHotwords")))
        if (kept.contains(w)) ++n;
    return n;
}

void MainModel::refresh() {
    history.rollWeek();
    if (teskFollowsConfig) tesk = Config::shared().teskEnabled();
    if (checkSetup) setup = checkSetup();
    dictionary.reload();
    unseenWords = countUnseen();
    refreshAccount();  // emits
}

void MainModel::refreshAccount() {
    if (checkAccount) {
        const AccountView v = checkAccount();
        account = v.account;
        access = v.access;
        plan = v.plan;
    }
    const bool devToken = hasDevToken && hasDevToken();
    needsSignIn = !account.signedIn && !devToken;
    // Something to move up to, and somewhere to do it.
    showsUpgrade = account.signedIn && plan.tier != Plan::Tier::max && bool(onUpgrade);
    Q_EMIT changed();
}

void MainModel::setPage(MainPage p) {
    if (page == p) return;
    page = p;
    Q_EMIT changed();
}

void MainModel::setTesk(bool on) {
    tesk = on;
    if (applyTesk) applyTesk(on);
    Q_EMIT changed();
}

void MainModel::signIn() {
    if (signingIn || !onSignIn) return;
    signingIn = true;
    signInFailed = false;
    Q_EMIT changed();
    onSignIn([self = QPointer<MainModel>(this)](bool signedIn) {
        if (!self) return;
        MainModel* const that = self.data();
        that->signingIn = false;
        that->signInFailed = !signedIn;
        that->refreshAccount();
    });
}

void MainModel::signOut() {
    signInFailed = false;
    if (onSignOut) onSignOut();
    refreshAccount();
}

namespace MainText {

QString grouped(qint64 n, AppLanguage lang) {
    QLocale l = localeFor(lang);
    l.setNumberOptions(QLocale::DefaultNumberOptions);
    return l.toString(n);
}

QString talkingTime(double seconds, AppLanguage lang) {
    const qint64 s = std::isfinite(seconds) && seconds > 0 ? std::llround(seconds) : 0;
    if (s < 60) return grouped(s, lang) + t(" sec", lang);
    if (s < 3600) return grouped(s / 60, lang) + t(" min", lang);
    const qint64 hours = s / 3600, minutes = (s % 3600) / 60;
    QString out = grouped(hours, lang) + t(" hr  ", lang);
    if (minutes > 0) return out + grouped(minutes, lang) + t(" min", lang);
    return out.trimmed();
}

QString wordsPerMinute(const HistoryTotals& totals, AppLanguage lang) {
    if (!(totals.seconds >= 20)) return QStringLiteral("—");
    return grouped(std::llround(double(totals.words) / totals.seconds * 60.0), lang);
}

QString rowTime(const QDateTime& when, const QDateTime& now, AppLanguage lang) {
    const QLocale l = localeFor(lang);
    const QDateTime local = when.toLocalTime();
    const QDate day = local.date(), today = now.toLocalTime().date();
    const QString time = l.toString(local.time(), QStringLiteral("HH:mm"));
    if (day == today) return t("Today", lang) + QLatin1Char(' ') + time;
    if (day == today.addDays(-1)) return t("Yesterday", lang) + QLatin1Char(' ') + time;
    QString date;
    if (lang == AppLanguage::zh)
        date = l.toString(day, day.year() == today.year() ? QStringLiteral("M月d日")
                                                          : QStringLiteral("yyyy年M月d日"));
    else
        date = l.toString(day, day.year() == today.year() ? QStringLiteral("MMM d")
                                                          : QStringLiteral("MMM d, yyyy"));
    return date + QLatin1Char(' ') + time;
}

QString longDate(const QDateTime& when, AppLanguage lang) {
    const QDate d = when.toLocalTime().date();
    return lang == AppLanguage::zh ? localeFor(lang).toString(d, QStringLiteral("yyyy年M月d日"))
                                   : localeFor(lang).toString(d, QStringLiteral("MMMM d, yyyy"));
}

std::optional<Pair> notice(AccountStore::Access access, AppLanguage lang) {
    if (access == AccountStore::Access::disabled)
        return Pair{t("Your Account Is Turned Off", lang),
                    t("Dictation is off for this account. Get in touch with us if that's a "
                      "mistake.",
                      lang)};
    if (access == AccountStore::Access::pending)
        return Pair{t("You're on the List", lang),
                    t("We're letting people in a few at a time. Dictation works as soon as your "
                      "account is turned on; there's nothing to do till then.",
                      lang)};
    return std::nullopt;
}

Pair emptyHistory(HistoryRetention retention, AppLanguage lang) {
    if (retention == HistoryRetention::off)
        return {t("History Is Off", lang),
                t("What you dictate isn't kept. You can change that in Settings.", lang)};
    return {t("Nothing Here Yet", lang),
            t("What you dictate shows up here, so nothing you said gets lost.", lang)};
}

Invitation invitation(bool holdMode, HotkeyChoice key, AppLanguage lang) {
    Invitation i;
    i.verb = holdMode ? t("Hold", lang) : t("Tap", lang);
    switch (key) {
        case HotkeyChoice::rightOption:
            i.key = t("Right Alt", lang);
            break;
        case HotkeyChoice::rightCommand:
            i.key = t("Right Super", lang);
            break;
        case HotkeyChoice::rightControl:
            i.key = t("Right Ctrl", lang);
            break;
        case HotkeyChoice::fn:
            i.key = QStringLiteral("fn");
            break;
    }
    i.rest = t("and start talking", lang);
    i.explanation =
        holdMode
            ? t("Let go and it's typed into whatever app you're in. Press esc to cancel.", lang)
            : t("Tap again and it's typed into whatever app you're in. Press esc to cancel.", lang);
    return i;
}

QString planLine(const Plan& plan, AppLanguage lang) {
    const QString name = tierName(plan.tier) + t(" plan", lang);
    if (!plan.until) return name;
    return t("%1 until %2", lang).arg(name, longDate(*plan.until, lang));
}

QString planTitle(const Plan& plan, AppLanguage lang) {
    return tierName(plan.tier) + t(" Plan", lang);
}

QString planUntil(const Plan& plan, AppLanguage lang) {
    if (!plan.until) return {};
    return t("Until %1", lang).arg(longDate(*plan.until, lang));
}

QString wordsMeter(const Plan& plan, AppLanguage lang) {
    if (plan.wordsLimit <= 0)
        return t("%1 words used, no limit", lang).arg(grouped(plan.wordsUsed, lang));
    return t("%1 of %2 words used", lang)
        .arg(grouped(plan.wordsUsed, lang), grouped(plan.wordsLimit, lang));
}

std::optional<double> meterFraction(const Plan& plan) {
    if (plan.wordsLimit <= 0) return std::nullopt;
    return std::clamp(double(plan.wordsUsed) / double(plan.wordsLimit), 0.0, 1.0);
}

QString monthReset(const Plan& plan, AppLanguage lang) {
    if (!plan.monthEnds) return {};
    return t("This month's words start over on %1", lang).arg(longDate(*plan.monthEnds, lang));
}

QString startsOver(const Plan& plan, AppLanguage lang) {
    if (!plan.monthEnds) return {};
    return t("Starts over on %1", lang).arg(longDate(*plan.monthEnds, lang));
}

QString initials(const AccountStore::Account& account) {
    QString out;
    const QString source = account.name.trimmed().isEmpty() ? account.email : account.name;
    for (const QString& part : source.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        out += part.at(0).toUpper();
        if (out.size() == 2) break;
    }
    return out.isEmpty() ? QStringLiteral("?") : out;
}

QString keptCount(qint64 count, AppLanguage lang) {
    if (count <= 0) return t("Nothing kept right now.", lang);
    return t("%1 dictations kept.", lang).arg(grouped(count, lang));
}

QString clearMessage(qint64 count, AppLanguage lang) {
    return t("This removes %1 dictations from this computer. Your dictionary and totals stay.",
             lang)
        .arg(grouped(count, lang));
}

QString justLearned(int count, AppLanguage lang) {
    if (count <= 0) return {};
    return t("%1 just learned", lang).arg(count);
}

QList<Tag> tags(const DictionaryModel& dictionary) {
    QList<Tag> out;
    QSet<QString> mine;
    for (const QString& w : dictionary.words()) {
        out.append({w, dictionary.newWords().contains(w) ? Tag::Kind::fresh : Tag::Kind::normal});
        mine.insert(w.toLower());
    }
    for (const QString& w : dictionary.envWords())
        if (!mine.contains(w.toLower())) out.append({w, Tag::Kind::fixed});
    return out;
}

}  // namespace MainText
