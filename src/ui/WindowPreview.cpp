#include "ui/WindowPreview.h"

#include <QApplication>
#include <QTimer>
#include <QUuid>
#include <QWindow>
#include <cstdio>

#include "core/DictionaryModel.h"
#include "core/HistoryStore.h"
#include "core/Log.h"
#include "core/MainModel.h"
#include "core/UpdateCard.h"
#include "ui/MainWindow.h"
#include "ui/Theme.h"

namespace WindowPreview {

Scene::Scene() = default;
Scene::~Scene() = default;

namespace {

QList<HistoryEntry> sampleEntries(const QDateTime& now) {
    struct Sample {
        double hoursAgo;
        const char* text;
        const char* app;
        const char* site;
        double seconds;
    };
    const Sample samples[] = {
        {0.2, "Let's move the design review to Thursday at three, and I'll bring the new mockups.",
         "Slack", "slack", 6.2},
        {1.5, "git commit -m \"Fix the retry loop when the socket closes early\"", "Terminal",
         nullptr, 4.1},
        {26, "Thanks for the notes! I've folded them into the draft and sent it to Priya.",
         "Thunderbird", "gmail", 5.4},
        {30, "下周一上午十点开会，记得带上季度报告。", "Feishu", "feishu", 3.8},
        {80, "Remember to renew the domain before the end of the month.", "Notes", nullptr, 3.0},
    };
    QList<HistoryEntry> out;
    for (const Sample& s : samples) {
        HistoryEntry e;
        e.id = QUuid::createUuid();
        e.date = double(now.addSecs(qint64(-s.hoursAgo * 3600)).toMSecsSinceEpoch()) / 1000.0;
        e.text = QString::fromUtf8(s.text);
        e.app = QString::fromUtf8(s.app);
        e.bundleID = QString::fromUtf8(s.app).toLower();
        if (s.site) e.site = QString::fromLatin1(s.site);
        e.seconds = s.seconds;
        out.append(e);
    }
    return out;
}

}  // namespace

std::unique_ptr<Scene> build(const LaunchOptions& o) {
    auto scene = std::make_unique<Scene>();
    const QDateTime now = QDateTime::currentDateTime();
    if (o.empty)
        scene->history = std::make_unique<HistoryStore>(std::nullopt);
    else
        scene->history = std::make_unique<HistoryStore>(std::nullopt, sampleEntries(now),
                                                        HistoryTotals{12480, 5130, 342}, 1860);
    scene->dictionary = std::make_unique<DictionaryModel>();
    scene->model = std::make_unique<MainModel>(*scene->dictionary, *scene->history);
    MainModel& m = *scene->model;

    AccountView view;
    if (!o.signedOut) {
        view.account.signedIn = true;
        view.account.name = QStringLiteral("Ada Lovelace");
        view.account.email = QStringLiteral("ada@example.com");
        view.access = o.pending ? AccountStore::Access::pending : AccountStore::Access::active;
        const QDate first = now.date().addMonths(1);
        view.plan.monthEnds = QDateTime(QDate(first.year(), first.month(), 1), QTime(0, 0));
        if (o.pro) {
            view.plan.tier = Plan::Tier::pro;
            view.plan.until = now.addDays(200);
            view.plan.wordsUsed = 18240;
            view.plan.wordsLimit = 100000;
        } else {
            view.plan.wordsUsed = o.empty ? 0 : 1240;
            view.plan.wordsLimit = 2000;
        }
    }
    m.checkAccount = [view] { return view; };
    m.hasDevToken = [] { return false; };
    SetupCheck::SetupState setup{true, true, true, {}};
    if (o.setup) setup = {false, false, false, SetupCheck::keyName(HotkeyChoice::fn)};
    m.checkSetup = [setup] { return setup; };
    m.teskFollowsConfig = false;
    m.applyTesk = [](bool on) {
        Log::write(QStringLiteral("Window preview: fast lane ") +
                   (on ? QStringLiteral("on") : QStringLiteral("off")));
    };
    m.onUpgrade = [] { Log::write(QStringLiteral("Window preview: upgrade")); };
    m.onSignIn = [](std::function<void(bool)> done) {
        Log::write(QStringLiteral("Window preview: sign in"));
        QTimer::singleShot(1500, qApp, [done] { done(false); });
    };
    m.onSignOut = [] { Log::write(QStringLiteral("Window preview: sign out")); };
    m.page = mainPageFromRaw(o.page).value_or(MainPage::home);

    scene->card = std::make_unique<UpdateCardModel>();
    scene->window = std::make_unique<MainWindow>(m, *scene->card);
    if (!o.updateState.isEmpty()) {
        const auto state = UpdateCardState::sample(o.updateState);
        UpdateCardModel* card = scene->card.get();
        QTimer::singleShot(600, card, [card, state] { card->setState(state); });
    }
    return scene;
}

int run(const LaunchOptions& options) {
    if (!options.updateState.isEmpty() && !UpdateCardState::sample(options.updateState)) {
        std::fprintf(stderr,
                     "velmora: no update sample \"%s\" (checking, available, downloading, "
                     "installing, upToDate, failed, updated)\n",
                     options.updateState.toUtf8().constData());
        return 2;
    }
    Theme::apply(*qApp, Theme::desktopScheme());
    const std::unique_ptr<Scene> scene = build(options);
    QApplication::setQuitOnLastWindowClosed(true);
    scene->window->present();
    qint64 number = -1;
    for (QWindow* w : QGuiApplication::topLevelWindows())
        if (w->title() == QLatin1String("Velmora") && w->isVisible()) number = qint64(w->winId());
    Log::write(QStringLiteral("Window preview: number=") + QString::number(number));
    const int rc = QApplication::exec();
    Log::flush();
    return rc;
}

}  // namespace WindowPreview
