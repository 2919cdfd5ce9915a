// What the main window's pages show, computed from the models without a display: the
// figures, the words of each state in both languages, and the model's account and sign-in
// bookkeeping.
#include <gtest/gtest.h>

#include "core/Config.h"
#include "core/DictionaryModel.h"
#include "core/HistoryStore.h"
#include "core/MainModel.h"

namespace {

using AL = AppLanguage;

TEST(MainText, Figures) {
    struct Row {
        qint64 words;
        double seconds;
        AL lang;
        QString wpm, time, total;
    } rows[] = {
        {0, 0, AL::en, "—", "0 sec", "0"},
        {10, 19, AL::en, "—", "19 sec", "10"},
        {10, 20, AL::en, "30", "20 sec", "10"},
        {10, 19.999, AL::zh, "—", "20 秒", "10"},
        {1234567, 59.6, AL::en, "1,242,853", "1 min", "1,234,567"},
        {500, 3599, AL::zh, "8", "59 分钟", "500"},
        {7200, 3600, AL::en, "120", "1 hr", "7,200"},
        {12480, 5130, AL::en, "146", "1 hr  25 min", "12,480"},
        {12480, 5130, AL::zh, "146", "1 小时 25 分钟", "12,480"},
        {3, -5, AL::en, "—", "0 sec", "3"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.time.toStdString());
        EXPECT_EQ(MainText::wordsPerMinute({r.words, r.seconds, 1}, r.lang), r.wpm);
        EXPECT_EQ(MainText::talkingTime(r.seconds, r.lang), r.time);
        EXPECT_EQ(MainText::grouped(r.words, r.lang), r.total);
    }
}

TEST(MainText, RowTimes) {
    const QDateTime now(QDate(2026, 3, 10), QTime(15, 0));
    struct Row {
        QDateTime when;
        AL lang;
        QString shown;
    } rows[] = {
        {QDateTime(QDate(2026, 3, 10), QTime(0, 5)), AL::en, "Today 00:05"},
        {QDateTime(QDate(2026, 3, 9), QTime(23, 59)), AL::zh, "昨天 23:59"},
        {QDateTime(QDate(2026, 3, 8), QTime(9, 1)), AL::en, "Mar 8 09:01"},
        {QDateTime(QDate(2025, 12, 31), QTime(9, 1)), AL::en, "Dec 31, 2025 09:01"},
        {QDateTime(QDate(2026, 3, 8), QTime(9, 1)), AL::zh, "3月8日 09:01"},
    };
    for (const Row& r : rows) EXPECT_EQ(MainText::rowTime(r.when, now, r.lang), r.shown);
}

TEST(MainText, StatesInBothLanguages) {
    using Access = AccountStore::Access;
    EXPECT_FALSE(MainText::notice(Access::active, AL::en));
    EXPECT_FALSE(MainText::notice(Access::unknown, AL::zh));
    EXPECT_EQ(MainText::notice(Access::pending, AL::en)->title, "You're on the List");
    EXPECT_EQ(MainText::notice(Access::pending, AL::zh)->title, "你已在等候名单上");
    EXPECT_EQ(MainText::notice(Access::disabled, AL::zh)->text,
              "这个账号用不了听写。如果是弄错了，请联系我们。");

    EXPECT_EQ(MainText::emptyHistory(HistoryRetention::off, AL::en).title, "History Is Off");
    EXPECT_EQ(MainText::emptyHistory(HistoryRetention::week, AL::zh).title, "还没有内容");
    EXPECT_EQ(MainText::keptCount(0, AL::zh), "目前没有保留任何记录。");
    EXPECT_EQ(MainText::keptCount(1500, AL::en), "1,500 dictations kept.");
    EXPECT_EQ(MainText::clearMessage(3, AL::zh),
              "这会从这台电脑上删掉 3 条听写，词典和累计数据会保留。");

    const auto hold = MainText::invitation(true, HotkeyChoice::rightControl, AL::zh);
    EXPECT_EQ(hold.verb + hold.key + hold.rest, "按住右 Ctrl开始说话");
    const auto tap = MainText::invitation(false, HotkeyChoice::fn, AL::en);
    EXPECT_EQ(tap.verb + " " + tap.key + " " + tap.rest, "Tap fn and start talking");
    EXPECT_TRUE(tap.explanation.startsWith("Tap again"));
}

TEST(MainText, Plans) {
    Plan free;
    free.wordsUsed = 1240;
    free.wordsLimit = 2000;
    free.monthEnds = QDateTime(QDate(2026, 4, 1), QTime(12, 0));
    Plan pro;
    pro.tier = Plan::Tier::pro;
    pro.until = QDateTime(QDate(2026, 12, 31), QTime(12, 0));
    pro.wordsUsed = 18240;  // no limit
    struct Row {
        Plan plan;
        AL lang;
        QString line, meter, reset;
        std::optional<double> fill;
    } rows[] = {
        {free, AL::en, "Free plan", "1,240 of 2,000 words used",
         "This month's words start over on April 1, 2026", 0.62},
        {free, AL::zh, "Free 套餐", "已用 1,240 字，共 2,000 字", "本月字数将在2026年4月1日重置",
         0.62},
        {pro, AL::en, "Pro plan until December 31, 2026", "18,240 words used, no limit", "", {}},
        {pro, AL::zh, "Pro 套餐 2026年12月31日到期", "已用 18,240 字，不限字数", "", {}},
        {Plan::unknown(), AL::en, "Free plan", "0 words used, no limit", "", {}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.line.toStdString());
        EXPECT_EQ(MainText::planLine(r.plan, r.lang), r.line);
        EXPECT_EQ(MainText::wordsMeter(r.plan, r.lang), r.meter);
        EXPECT_EQ(MainText::monthReset(r.plan, r.lang), r.reset);
        EXPECT_EQ(MainText::meterFraction(r.plan), r.fill);
    }
    Plan over = free;
    over.wordsUsed = 2600;
    EXPECT_EQ(MainText::meterFraction(over), 1.0);
    EXPECT_EQ(MainText::planTitle(pro, AL::en), "Pro Plan");
    EXPECT_EQ(MainText::planUntil(pro, AL::zh), "2026年12月31日到期");
}

struct ModelFixture : ::testing::Test {
    HistoryStore history{std::nullopt};
    DictionaryModel dictionary;
    MainModel model{dictionary, history};
    AccountView view;
    bool devToken = false;
    void SetUp() override {
        Config::setStringLists({{"learnedHotwords", {}}, {"newHotwords", {}}});
        model.checkAccount = [this] { return view; };
        model.hasDevToken = [this] { return devToken; };
        model.checkSetup = [] { return SetupCheck::SetupState{true, false, true, {}}; };
    }
};

TEST_F(ModelFixture, AccountStates) {
    struct Row {
        bool signedIn, devToken;
        Plan::Tier tier;
        bool upgradeHandler;
        bool needsSignIn, showsUpgrade;
    } rows[] = {
        {false, false, Plan::Tier::free, true, true, false},
        // A developer token stands in: no welcome view.
        {false, true, Plan::Tier::free, true, false, false},
        {true, false, Plan::Tier::free, true, false, true},
        {true, false, Plan::Tier::max, true, false, false},
        {true, false, Plan::Tier::pro, false, false, false},
    };
    for (const Row& r : rows) {
        view.account.signedIn = r.signedIn;
        view.plan.tier = r.tier;
        devToken = r.devToken;
        model.onUpgrade = r.upgradeHandler ? std::function<void()>([] {}) : nullptr;
        model.refresh();
        EXPECT_EQ(model.needsSignIn, r.needsSignIn);
        EXPECT_EQ(model.showsUpgrade, r.showsUpgrade);
        EXPECT_FALSE(model.setup.microphone);
    }
}

TEST_F(ModelFixture, SignInOutcomes) {
    std::function<void(bool)> finish;
    int started = 0;
    model.onSignIn = [&](std::function<void(bool)> done) {
        ++started;
        finish = std::move(done);
    };
    model.signIn();
    model.signIn();  // one at a time
    EXPECT_EQ(started, 1);
    EXPECT_TRUE(model.signingIn);
    finish(false);
    EXPECT_FALSE(model.signingIn);
    EXPECT_TRUE(model.signInFailed);
    model.signIn();
    view.account.signedIn = true;
    finish(true);
    EXPECT_FALSE(model.signInFailed);
    EXPECT_FALSE(model.needsSignIn);
}

TEST_F(ModelFixture, UnseenWordsAndFastLane) {
    Config::setStringLists({{"learnedHotwords", {"Ada", "Priya", "Kubernetes"}},
                            {"newHotwords", {"Priya", "Gone", "Kubernetes"}}});
    Config::d()->setValue("teskEnabled", true);
    model.refresh();
    EXPECT_EQ(model.unseenWords, 2);  // "Gone" was removed since
    EXPECT_TRUE(model.tesk);
    const QList<MainText::Tag> tags = MainText::tags(dictionary);
    ASSERT_EQ(tags.size(), 3);
    EXPECT_EQ(tags[0], (MainText::Tag{"Kubernetes", MainText::Tag::Kind::fresh}));
    EXPECT_EQ(tags[2], (MainText::Tag{"Ada", MainText::Tag::Kind::normal}));

    bool applied = false;
    model.applyTesk = [&](bool on) { applied = on; };
    model.setTesk(true);
    EXPECT_TRUE(applied);
    model.teskFollowsConfig = false;
    Config::d()->setValue("teskEnabled", false);
    model.refresh();
    EXPECT_TRUE(model.tesk);
}

}  // namespace
