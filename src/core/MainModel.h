#pragma once
#include <QDateTime>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

#include "core/AccountStore.h"
#include "core/HistoryStore.h"
#include "core/Language.h"
#include "core/SetupCheck.h"

class DictionaryModel;

// The pages of the main window. Raw values are the names "--page" takes.
enum class MainPage { home, dictionary, settings };
QString rawValue(MainPage page);
std::optional<MainPage> mainPageFromRaw(const QString& raw);

// What the account store says, as the window shows it.
struct AccountView {
    AccountStore::Account account;
    AccountStore::Access access = AccountStore::Access::unknown;
    Plan plan;
};

// The main window's observable state: the page, the setup checks, the fast-lane switch, the
// learned words not yet seen, the account and the sign-in under way. It reads the stores
// through the callbacks its owner sets and holds no dictation logic. Thread: main.
class MainModel : public QObject {
    Q_OBJECT
  public:
    MainModel(DictionaryModel& dictionary, HistoryStore& history);

    MainPage page = MainPage::home;
    SetupCheck::SetupState setup;
    bool tesk = false;
    int unseenWords = 0;
    AccountStore::Account account;
    AccountStore::Access access = AccountStore::Access::unknown;
    Plan plan;
    bool needsSignIn = false;
    bool signingIn = false;
    bool signInFailed = false;
    bool showsUpgrade = false;

    std::function<void()> onUpgrade;
    // Starts the sign-in; the argument runs once with whether it succeeded.
    std::function<void(std::function<void(bool signedIn)>)> onSignIn;
    std::function<void()> onSignOut;
    std::function<void()> onFront;
    std::function<bool()> hasDevToken;
    std::function<AccountView()> checkAccount;
    std::function<void(bool)> applyTesk;
    std::function<SetupCheck::SetupState()> checkSetup;
    bool teskFollowsConfig = true;

    DictionaryModel& dictionary;
    HistoryStore& history;

    // The callbacks over the application's own stores (the account store, the setup checks,
    // the fast-lane setting); the delegate may replace any of them after.
    void useAppServices();

    // When the window is shown: the week's count, the switch, the setup, the account, the
    // learned words.
    void refresh();
    void refreshAccount();
    void setPage(MainPage p);
    void setTesk(bool on);
    void signIn();
    void signOut();
    // The fields were changed from outside: views redraw.
    void notify() { Q_EMIT changed(); }

    // The words of "newHotwords" still in "learnedHotwords".
    static int countUnseen();

  Q_SIGNALS:
    void changed();
};

// The texts and figures the windows show, computed from the models, in a given language.
namespace MainText {

struct Pair {
    QString title, text;
};

// 12345 -> "12,345".
QString grouped(qint64 n, AppLanguage lang);
// The talking time in the largest units that fit: "45 sec", "12 min", "2 hr  5 min".
QString talkingTime(double seconds, AppLanguage lang);
// "—" below 20 s of talking, else words per minute rounded to a whole number.
QString wordsPerMinute(const HistoryTotals& totals, AppLanguage lang);
// A history row's time: "Today 14:05", "Yesterday 09:12", else the date and the time.
QString rowTime(const QDateTime& when, const QDateTime& now, AppLanguage lang);
// A long day: "March 1, 2026" / "2026年3月1日".
QString longDate(const QDateTime& when, AppLanguage lang);

// The notice card for an account that is waiting or turned off; none for the others.
std::optional<Pair> notice(AccountStore::Access access, AppLanguage lang);
// The home page's list when it has no entries.
Pair emptyHistory(HistoryRetention retention, AppLanguage lang);
// The home page's invitation: "Tap" "fn" "and start talking" and the mode's explanation.
struct Invitation {
    QString verb, key, rest, explanation;
};
Invitation invitation(bool holdMode, HotkeyChoice key, AppLanguage lang);

// The plan card: "Pro plan until March 1, 2026".
QString planLine(const Plan& plan, AppLanguage lang);
// The settings page's plan title: "Pro Plan".
QString planTitle(const Plan& plan, AppLanguage lang);
QString planUntil(const Plan& plan, AppLanguage lang);  // empty without an end date
// "1,200 of 2,000 words used"; without a limit, the words used alone.
QString wordsMeter(const Plan& plan, AppLanguage lang);
// The meter's fill from 0 to 1; none without a limit.
std::optional<double> meterFraction(const Plan& plan);
// "This month's words start over on …"; empty without a month end.
QString monthReset(const Plan& plan, AppLanguage lang);
// The settings page's shorter form: "Starts over on …".
QString startsOver(const Plan& plan, AppLanguage lang);
// Initials for an avatar without a picture.
QString initials(const AccountStore::Account& account);

// The settings page's history lines.
QString keptCount(qint64 count, AppLanguage lang);
QString clearMessage(qint64 count, AppLanguage lang);

// The dictionary page's header: the word count and the words just learned.
QString justLearned(int count, AppLanguage lang);

// One word of the dictionary as a tag.
struct Tag {
    enum class Kind { normal, fresh, fixed };
    QString word;
    Kind kind = Kind::normal;
    bool operator==(const Tag&) const = default;
};
// The user's words (fresh when the learner added them and they weren't seen), then the
// environment's words that aren't also the user's.
QList<Tag> tags(const DictionaryModel& dictionary);

}  // namespace MainText
