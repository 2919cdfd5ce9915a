// What the main window's pages show, computed from the models without a display: the
// figures and times at their edges, the words meter, and which account view shows.
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

// The words meter: no limit draws no bar, over the limit a full one.
TEST(MainText, PlanMeter) {
    Plan free;
    free.wordsUsed = 1240;
    free.wordsLimit = 2000;
    EXPECT_EQ(MainText::meterFraction(free), 0.62);
    free.wordsUsed = 2600;
    EXPECT_EQ(MainText::meterFraction(free), 1.0);
    Plan pro;
    pro.tier = Plan::Tier::pro;
    pro.wordsUsed = 18240;
    EXPECT_EQ(MainText::meterFraction(pro), std::nullopt);
    EXPECT_EQ(MainText::wordsMeter(pro, AL::en), "18,240 words used, no limit");
    EXPECT_EQ(MainText::planLine(Plan::unknown(), AL::en), "Free plan");
    EXPECT_EQ(MainText::wordsMeter(Plan::unknown(), AL::en), "0 words used, no limit");
}

TEST(MainModel, AccountStates) {
    HistoryStore history{std::nullopt};
    DictionaryModel dictionary;
    MainModel model{dictionary, history};
    AccountView view;
    bool devToken = false;
    model.checkAccount = [&] { return view; };
    model.hasDevToken = [&] { return devToken; };
    model.checkSetup = [] { return SetupCheck::SetupState{true, false, true, {}}; };
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

}  // namespace
