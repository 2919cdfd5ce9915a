// The main window on a real X display (Xvfb): each state of the window preview in both
// languages, checked for the titles and numbers a user must see and for text that is cut off
// or drawn over other text; and the pages' operations reaching the stores. Screenshots go to
// <build>/test-artifacts/windows/ (with "@2x" under QT_SCALE_FACTOR=2).
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QWindow>

#include "core/Config.h"
#include "core/DictionaryModel.h"
#include "core/HistoryStore.h"
#include "core/MainModel.h"
#include "core/UpdateCard.h"
#include "harness/LogReader.h"
#include "harness/Wait.h"
#include "platform/Pasteboard.h"
#include "platform/Platform.h"
#include "support/TestEnv.h"
#include "ui/DictionaryPage.h"
#include "ui/HomePage.h"
#include "ui/MainSidebar.h"
#include "ui/MainWindow.h"
#include "ui/SettingsPage.h"
#include "ui/Theme.h"
#include "ui/UpdateCardView.h"
#include "ui/WelcomeView.h"
#include "ui/WindowPreview.h"

using namespace Qt::StringLiterals;

namespace {

using harness::waitUntil;

QString artifacts() {
    const QString dir = testenv::binaryDir() + u"/test-artifacts/windows"_s;
    QDir().mkpath(dir);
    return dir;
}

LaunchOptions options(const QStringList& flags) {
    return LaunchOptions::parse(QStringList{"velmora", "--preview-window"} + flags);
}

// Every text a user can read now in the window: labels and buttons that are shown.
QStringList visibleTexts(QWidget* window) {
    QStringList out;
    for (QLabel* l : window->findChildren<QLabel*>())
        if (l->isVisibleTo(window) && !l->text().isEmpty()) out << l->text();
    for (QAbstractButton* b : window->findChildren<QAbstractButton*>())
        if (b->isVisibleTo(window) && !b->text().isEmpty()) out << b->text();
    return out;
}

// Where a widget is on the window, limited to what its scroll area shows.
QRect onWindow(QWidget* w, QWidget* window) {
    QRect r(w->mapTo(window, QPoint(0, 0)), w->size());
    for (QWidget* p = w->parentWidget(); p && p != window; p = p->parentWidget())
        if (auto* area = qobject_cast<QScrollArea*>(p))
            r = r.intersected(
                QRect(area->viewport()->mapTo(window, QPoint(0, 0)), area->viewport()->size()));
    return r;
}

// Text that doesn't fit its label or button, and labels drawn over one another.
QStringList layoutFaults(QWidget* window) {
    QStringList faults;
    QList<QPair<QRect, QString>> seen;
    for (QLabel* l : window->findChildren<QLabel*>()) {
        if (!l->isVisibleTo(window) || l->text().isEmpty()) continue;
        const QSize need = l->sizeHint();
        const bool fits = l->wordWrap()
                              ? l->heightForWidth(l->width()) <= l->height() + 1
                              : need.width() <= l->width() + 1 && need.height() <= l->height() + 1;
        if (!fits)
            faults << u"clipped \"%1\" (%2x%3 in %4x%5)"_s.arg(l->text())
                          .arg(need.width())
                          .arg(need.height())
                          .arg(l->width())
                          .arg(l->height());
        const QRect r = onWindow(l, window);
        if (r.isEmpty()) continue;
        for (const auto& [other, text] : seen)
            if (other.intersects(r)) faults << u"\"%1\" overlaps \"%2\""_s.arg(l->text(), text);
        seen.append({r, l->text()});
    }
    for (QAbstractButton* b : window->findChildren<QAbstractButton*>()) {
        if (!b->isVisibleTo(window) || b->text().isEmpty()) continue;
        if (qobject_cast<QCheckBox*>(b) == nullptr && b->sizeHint().width() > b->width() + 1)
            faults << u"button \"%1\" cut off"_s.arg(b->text());
    }
    return faults;
}

// Controls a screen reader would announce without a name.
QStringList unnamedControls(QWidget* window) {
    QStringList out;
    for (QWidget* w : window->findChildren<QWidget*>()) {
        if (!w->isVisibleTo(window)) continue;
        const bool control = qobject_cast<QAbstractButton*>(w) || qobject_cast<QComboBox*>(w) ||
                             qobject_cast<QLineEdit*>(w) || qobject_cast<QProgressBar*>(w);
        const auto* b = qobject_cast<QAbstractButton*>(w);
        if (control && w->accessibleName().isEmpty() && !(b && !b->text().isEmpty()))
            out << QString::fromLatin1(w->metaObject()->className()) + " in " +
                       QString::fromLatin1(w->parentWidget()->metaObject()->className());
    }
    return out;
}

// The faults left once the layout has settled (it runs after the texts change).
QStringList settledFaults(QWidget* window) {
    (void)waitUntil([&] { return layoutFaults(window).isEmpty(); }, "a clean layout",
                    std::chrono::milliseconds(3000));
    return layoutFaults(window);
}

struct Shot {
    QString name, flags;          // the preview's flags, split at spaces
    QString en, zh;               // texts that must be shown, split at "|"
    bool onlyAtOneScale = false;  // a variant of a page the larger scale already covers
};

// One process, every state: build, show, check, save.
TEST(MainWindow, EachStateInBothLanguages) {
    Theme::apply(*qApp, Theme::Scheme::light);
    qputenv("VQ_HOTWORDS", "Halvane, pocketsphinx:3");  // the environment's words: fixed tags
    const QList<Shot> shots = {
        {"home", "",
         "Home|words dictated|12,480|1 hr  25 min|146|Free plan|1,240 of 2,000 words used|Ada "
         "Lovelace",
         "首页|听写字数|12,480|1 小时 25 分钟|每分钟字数|Free 套餐|已用 1,240 字，共 2,000 字"},
        {"home-empty", "--empty", "Nothing Here Yet|0 sec|—", "还没有内容|0 秒", true},
        {"home-setup", "--setup", "Finish Setting Up|Open Settings", "完成设置|打开设置"},
        {"dictionary", "--page dictionary",
         "Dictionary|Words|5|Kubernetes|Halvane|1 just learned|Add",
         "词典|词语|1 个，刚学会|从我的修改中学习"},
        {"settings", "--page settings",
         "Account|Sign Out|Free Plan|Words This Month|Permissions|Keep What I Dictate|5 dictations "
         "kept.",
         "账号|退出登录|本月字数|权限|保留听写记录|已保留 5 条听写。"},
        {"settings-pro", "--page settings --pro", "Pro Plan|18,240 of 100,000 words used",
         "Pro 套餐|已用 18,240 字，共 100,000 字", true},
        {"signed-out", "--signed-out", "Sign in to start dictating.|Continue with Google",
         "登录后就能开始听写。|使用 Google 继续"},
        {"pending", "--pending", "You're on the List", "你已在等候名单上", true},
        {"update", "--update available", "Update|Later", "更新"},
    };
    const QString suffix =
        QGuiApplication::primaryScreen()->devicePixelRatio() > 1 ? u"@2x"_s : QString();
    for (AppLanguage lang : {AppLanguage::en, AppLanguage::zh}) {
        LanguageSetting::shared().setLanguage(lang);
        for (const Shot& shot : shots) {
            if (shot.onlyAtOneScale && !suffix.isEmpty()) continue;
            SCOPED_TRACE((shot.name + "-" + rawValue(lang)).toStdString());
            // Opening the dictionary marks its new words seen: each shot starts afresh.
            Config::setStringLists({{"learnedHotwords", {"Kubernetes", "Priya", "Velmora"}},
                                    {"newHotwords", {"Priya"}}});
            const auto scene =
                WindowPreview::build(options(shot.flags.split(u' ', Qt::SkipEmptyParts)));
            MainWindow& w = *scene->window;
            w.present();
            ASSERT_TRUE(waitUntil([&] { return w.isVisible() && w.windowHandle()->isExposed(); },
                                  "the window is shown"));
            if (shot.flags.contains("--update")) {
                ASSERT_TRUE(waitUntil([&] { return w.updateCard()->isVisible(); },
                                      "the update card appears"));
            }
            QApplication::processEvents();
            const QStringList texts = visibleTexts(&w);
            for (const QString& must : (lang == AppLanguage::en ? shot.en : shot.zh).split(u'|'))
                EXPECT_TRUE(texts.contains(must))
                    << must.toStdString() << " not among " << texts.join(" | ").toStdString();
            const QStringList faults = settledFaults(&w);
            EXPECT_TRUE(faults.isEmpty()) << faults.join("\n").toStdString();
            EXPECT_EQ(unnamedControls(&w), QStringList());
            w.grab().save(artifacts() + "/" + shot.name + "-" + rawValue(lang) + suffix + ".png");
            // The settings page is longer than the window: the whole page too.
            if (shot.name == "settings") {
                EXPECT_TRUE(w.currentView()->grab().save(artifacts() + "/settings-page-" +
                                                         rawValue(lang) + suffix + ".png"));
            }
        }
    }
    qunsetenv("VQ_HOTWORDS");
    LanguageSetting::shared().setLanguage(AppLanguage::en);
}

struct Shown {
    std::unique_ptr<WindowPreview::Scene> scene;
    MainWindow& w;
    explicit Shown(const QStringList& flags)
        : scene(WindowPreview::build(options(flags))), w(*scene->window) {
        w.present();
        EXPECT_TRUE(waitUntil([&] { return w.isVisible(); }, "the window is shown"));
    }
};

// The pages' controls reach the stores, and what they show follows.
TEST(MainWindow, PagesReachTheirOperations) {
    Theme::apply(*qApp, Theme::Scheme::light);
    LanguageSetting::shared().setLanguage(AppLanguage::en);
    Config::setStringLists({{"learnedHotwords", {"Priya"}}, {"newHotwords", {"Priya"}}});
    Shown s({"--page", "dictionary"});
    MainModel& m = *s.scene->model;
    DictionaryPage* dict = s.w.dictionaryPage();

    // Opening the page marks the learned words seen (they stay marked while it is open).
    EXPECT_TRUE(Config::stringList("newHotwords").isEmpty());
    EXPECT_EQ(m.unseenWords, 0);
    EXPECT_EQ(dict->tags().first()->tag().kind, MainText::Tag::Kind::fresh);

    struct Add {
        QString typed;
        QStringList after;
    } adds[] = {{"  Kubernetes ", {"Priya", "Kubernetes"}},
                {"priya", {"Priya", "Kubernetes"}},
                {"   ", {"Priya", "Kubernetes"}}};
    for (const Add& a : adds) {
        dict->entry()->setText(a.typed);
        dict->addButton()->click();
        dict->entry()->setText(a.typed);
        QMetaObject::invokeMethod(dict->entry(), "returnPressed");
        EXPECT_EQ(Config::stringList("learnedHotwords"), a.after) << a.typed.toStdString();
    }
    ASSERT_TRUE(waitUntil([&] { return dict->tags().size() == 2; }, "two tags"));
    for (WordTag* tag : dict->tags())
        if (tag->tag().word == "Kubernetes") tag->findChild<QToolButton*>()->click();
    EXPECT_EQ(Config::stringList("learnedHotwords"), QStringList{"Priya"});

    // The sidebar switches pages; the home page's row buttons copy and delete.
    s.w.sidebar()->pageButton(MainPage::home)->click();
    EXPECT_EQ(s.w.currentView(), s.w.homePage());
    QList<HistoryRow*> rows = s.w.homePage()->rows();
    ASSERT_EQ(rows.size(), 5);
    const QString first = s.scene->history->entries().first().text;
    rows.first()->copyButton()->click();
    EXPECT_EQ(platform::Platform::current().pasteboard->text(), first);
    rows.first()->deleteButton()->click();
    ASSERT_TRUE(waitUntil([&] { return s.w.homePage()->rows().size() == 4; }, "a row fewer"));
    EXPECT_EQ(s.scene->history->totals().words, 12480);  // totals stay
    // From the keyboard: a focused row offers its buttons, and Delete deletes it.
    HistoryRow* row = s.w.homePage()->rows().first();
    QApplication::setActiveWindow(&s.w);
    row->setFocus();
    ASSERT_TRUE(waitUntil([&] { return row->copyButton()->isVisible(); }, "the row's buttons"));
    QTest::keyClick(row, Qt::Key_Delete);
    ASSERT_TRUE(waitUntil([&] { return s.w.homePage()->rows().size() == 3; }, "a row fewer"));

    // Settings: "Don't keep" empties the list and the home page says history is off.
    s.w.sidebar()->pageButton(MainPage::settings)->click();
    SettingsPage* settings = s.w.settingsPage();
    settings->retentionBox()->setCurrentIndex(
        int(allHistoryRetentions().indexOf(HistoryRetention::off)));
    EXPECT_TRUE(s.scene->history->entries().isEmpty());
    EXPECT_TRUE(visibleTexts(s.w.homePage()).contains("History Is Off"));
    EXPECT_FALSE(settings->clearButton()->isEnabled());

    // The fast-lane switch goes through applyTesk.
    bool tesk = false;
    m.applyTesk = [&](bool on) { tesk = on; };
    settings->teskSwitch()->click();
    EXPECT_TRUE(tesk);

    // The pill's content, the talk key and its mode are stored for their next use.
    auto box = [&](const QString& name) {
        for (QComboBox* b : settings->findChildren<QComboBox*>())
            if (b->accessibleName() == name) return b;
        ADD_FAILURE() << name.toStdString();
        return settings->languageBox();
    };
    struct Pick {
        QString box;
        int index;
        QString key, stored;
    } picks[] = {{"Pill Shows", 1, "hud.content", "waveform"},
                 {"Talk Key", 3, "hotkey", "fn"},
                 {"Talk mode", 1, "toggleMode", "false"}};
    for (const Pick& p : picks) {
        box(p.box)->setCurrentIndex(p.index);
        EXPECT_EQ(Config::d()->value(p.key).toString(), p.stored) << p.key.toStdString();
    }
    Config::d()->remove("hud.content");

    // Coming back to the dictionary marks the words learned meanwhile as seen, once.
    // A word removed since it was learned is not counted.
    Config::setStringLists(
        {{"learnedHotwords", {"Priya", "Ada"}}, {"newHotwords", {"Ada", "Gone"}}});
    m.refresh();
    EXPECT_EQ(m.unseenWords, 1);
    s.w.sidebar()->pageButton(MainPage::dictionary)->click();
    EXPECT_EQ(s.w.currentView(), static_cast<QWidget*>(dict));
    EXPECT_TRUE(Config::stringList("newHotwords").isEmpty());
    EXPECT_EQ(m.unseenWords, 0);
}

// A long history: the list is built a hundred rows at a time.
TEST(MainWindow, LongHistoryInPages) {
    QList<HistoryEntry> entries;
    for (int i = 0; i < HistoryStore::kMaxEntries; ++i)
        entries.append({QUuid::createUuid(), 1.7e9 - i * 60.0, QString("dictation %1").arg(i),
                        std::nullopt, std::nullopt, std::nullopt, 2});
    HistoryStore history(std::nullopt, entries);
    DictionaryModel dictionary;
    MainModel model(dictionary, history);
    UpdateCardModel card;
    MainWindow w(model, card);
    w.present();
    QPushButton* more = nullptr;
    for (QPushButton* b : w.homePage()->findChildren<QPushButton*>())
        if (b->text() == "Show More") more = b;
    ASSERT_NE(more, nullptr);
    for (const int rows : {100, 200}) {
        EXPECT_EQ(w.homePage()->rows().size(), rows);
        more->click();
    }
    EXPECT_EQ(w.homePage()->rows().last()->id(), entries[299].id);
}

TEST(MainWindow, ClearAsksFirst) {
    LanguageSetting::shared().setLanguage(AppLanguage::en);
    Shown s({"--page", "settings"});
    SettingsPage* settings = s.w.settingsPage();
    for (const bool confirm : {false, true}) {
        QTimer::singleShot(0, [&] {
            ASSERT_TRUE(waitUntil([] { return QApplication::activeModalWidget() != nullptr; },
                                  "the question"));
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            ASSERT_NE(box, nullptr);
            EXPECT_EQ(box->text(), "Clear all history?");
            EXPECT_EQ(box->informativeText(),
                      "This removes 5 dictations from this computer. Your dictionary and totals "
                      "stay.");
            for (QAbstractButton* b : box->buttons())
                if (b->text() == (confirm ? "Clear History" : "Cancel")) b->click();
        });
        EXPECT_EQ(settings->confirmClear(), confirm);
        EXPECT_EQ(s.scene->history->entries().size(), confirm ? 0 : 5);
    }
    EXPECT_TRUE(visibleTexts(settings).contains("Nothing kept right now."));
}

// Sign-in from the welcome view: the browser line while it runs, the failure after.
TEST(MainWindow, WelcomeViewSignsIn) {
    LanguageSetting::shared().setLanguage(AppLanguage::en);
    Shown s({"--signed-out"});
    MainModel& m = *s.scene->model;
    std::function<void(bool)> finish;
    m.onSignIn = [&](std::function<void(bool)> done) { finish = std::move(done); };
    EXPECT_EQ(s.w.currentView(), static_cast<QWidget*>(s.w.welcomeView()));
    s.w.welcomeView()->continueButton()->click();
    ASSERT_TRUE(finish);
    EXPECT_TRUE(
        visibleTexts(s.w.welcomeView()).contains("Finish signing in with Google in your browser."));
    EXPECT_FALSE(s.w.welcomeView()->continueButton()->isEnabled());
    finish(false);
    EXPECT_TRUE(
        visibleTexts(s.w.welcomeView()).contains("Couldn't sign you in. Please try again."));
    EXPECT_TRUE(s.w.welcomeView()->continueButton()->isEnabled());
    // A developer token stands in for an account: no welcome view.
    m.hasDevToken = [] { return true; };
    m.refreshAccount();
    EXPECT_EQ(s.w.currentView(), static_cast<QWidget*>(s.w.homePage()));
    s.w.sidebar()->pageButton(MainPage::settings)->click();
    EXPECT_TRUE(visibleTexts(s.w.settingsPage())
                    .contains("A developer token is standing in for an account."));
}

TEST(Theme, FollowsTheDesktopScheme) {
    using S = Theme::Scheme;
    struct Row {
        QString override, gtk, gnome, kde;
        S scheme;
    } rows[] = {
        {"", "", "", "", S::light},
        {"dark", "", "'prefer-light'", "", S::dark},
        {"light", "Adwaita:dark", "", "", S::light},
        {"", "Adwaita:dark", "", "", S::dark},
        {"", "", "'prefer-dark'", "", S::dark},
        {"", "", "'default'", "BreezeDark", S::dark},
        {"", "", "'prefer-light'", "BreezeDark", S::light},
        {"", "", "", "Breeze", S::light},
    };
    for (const Row& r : rows)
        EXPECT_EQ(Theme::schemeFrom(r.override, r.gtk, r.gnome, r.kde), r.scheme)
            << r.override.toStdString() << r.gtk.toStdString() << r.gnome.toStdString();
}

// The account's picture replaces the initials once it loads; a picture that doesn't load
// leaves them.
TEST(MainWindow, AccountPicture) {
    LanguageSetting::shared().setLanguage(AppLanguage::en);
    const QString dir = artifacts();
    QImage red(64, 64, QImage::Format_RGB32);
    red.fill(Qt::red);
    ASSERT_TRUE(red.save(dir + "/avatar-sample.png"));
    QFile junk(dir + "/avatar-junk.png");
    ASSERT_TRUE(junk.open(QIODevice::WriteOnly));
    junk.write("not a picture");
    junk.close();

    Shown s({"--page", "settings"});
    MainModel& m = *s.scene->model;
    QLabel* avatar = s.w.settingsPage()->avatar();
    EXPECT_EQ(avatar->text(), "AL");
    for (const auto& [file, loads] :
         {std::pair{"avatar-junk.png", false}, std::pair{"avatar-sample.png", true}}) {
        AccountView view;
        view.account = {true, "Ada Lovelace", "ada@example.com",
                        QUrl::fromLocalFile(dir + "/" + file)};
        m.checkAccount = [view] { return view; };
        harness::LogReader log;
        m.refreshAccount();
        if (loads) {
            ASSERT_TRUE(waitUntil([&] { return !avatar->pixmap().isNull(); }, "the picture"));
        } else {
            ASSERT_TRUE(log.waitFor("Main window: couldn't load the account's picture"));
            EXPECT_EQ(avatar->text(), "AL");
        }
    }
}

}  // namespace
