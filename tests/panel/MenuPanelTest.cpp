#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <map>
#include <set>

#include "core/Config.h"
#include "core/DictionaryModel.h"
#include "core/Language.h"
#include "harness/Wait.h"
#include "support/TestEnv.h"
#include "ui/HUDTuning.h"
#include "ui/MenuPanel.h"
#include "ui/PanelModel.h"

using namespace Qt::StringLiterals;

namespace {

using Action = PanelModel::Action;

struct InLanguage {
    explicit InLanguage(AppLanguage l) { LanguageSetting::shared().setLanguage(l); }
    ~InLanguage() { LanguageSetting::shared().setLanguage(AppLanguage::en); }
};

TEST(PanelTexts, HintAndDictionaryStateInBothLanguages) {
    struct Hint {
        bool signIn, tap;
        const char *en, *zh;
    };
    for (const Hint& c : {
             Hint{true, false, "Sign in to start dictating…", "登录后开始听写…"},
             Hint{true, true, "Sign in to start dictating…", "登录后开始听写…"},
             Hint{false, false, "Hold KEY to talk, release to type", "按住 KEY 说话，松开就打字"},
             Hint{false, true, "Tap KEY, speak, tap again", "按一下 KEY 说话，说完再按一下"},
         }) {
        EXPECT_EQ(PanelModel::hint(c.signIn, c.tap, u"KEY"_s), QString::fromUtf8(c.en));
        InLanguage zh(AppLanguage::zh);
        EXPECT_EQ(PanelModel::hint(c.signIn, c.tap, u"KEY"_s), QString::fromUtf8(c.zh));
    }
    struct State {
        int unseen, words;
        bool learn;
        const char *en, *zh;
    };
    for (const State& c : {
             State{0, 0, true, "Empty", "空"}, State{0, 0, false, "Off", "已关闭"},
             State{0, 1, false, "1 word", "1 个词"}, State{0, 2, true, "2 words", "2 个词"},
             State{3, 7, false, "3 new", "3 个新词"},  // new words win over the count
         }) {
        EXPECT_EQ(PanelModel::dictionaryState(c.unseen, c.words, c.learn), QString::fromUtf8(c.en));
        InLanguage zh(AppLanguage::zh);
        EXPECT_EQ(PanelModel::dictionaryState(c.unseen, c.words, c.learn), QString::fromUtf8(c.zh));
    }
}

// One panel over the shared dictionary, with every callback counted.
class Panel : public ::testing::Test {
  protected:
    void SetUp() override {
        qputenv("VQ_HOTWORDS", "Zephyr");
        Config::setStringList(u"learnedHotwords"_s, {});
        Config::setStringList(u"newHotwords"_s, {});
        model = std::make_unique<PanelModel>(dictionary);
        auto count = [this](const char* name) { return [this, name] { ++calls[name]; }; };
        model->onOpenWindow = count("window");
        model->onOpenTuning = count("tuning");
        model->onOpenLog = count("log");
        model->onCheckForUpdates = count("updates");
        model->onQuit = count("quit");
        model->onClose = [this] {
            ++calls["close"];
            panel->hide();
        };
        model->applyTesk = [this](bool on) { calls[on ? "tesk on" : "tesk off"]++; };
        model->onOpenSetup = [this](SetupCheck::Pane p) {
            ++calls[p == SetupCheck::Pane::microphone ? "mic pane" : "other pane"];
        };
        model->needsSignIn = [] { return false; };
        model->setupRows = [] {
            return QList<SetupCheck::Row>{{u"Mic missing"_s, SetupCheck::Pane::microphone}};
        };
        model->updateWaiting = [this] { return waiting; };
        model->teskEnabled = [] { return false; };
        panel = std::make_unique<MenuPanel>(*model);
    }
    void TearDown() override { qunsetenv("VQ_HOTWORDS"); }

    void open() {
        panel->open(QRect(600, 0, 24, 24));
        ASSERT_TRUE(harness::waitUntil([&] { return panel->isVisible(); }, "the panel shown"));
    }
    template <class W = QWidget>
    W* child(const QString& name) {
        for (W* w : panel->findChildren<W*>(name))
            if (w->isVisible()) return w;
        return nullptr;
    }

    DictionaryModel dictionary;
    std::unique_ptr<PanelModel> model;
    std::unique_ptr<MenuPanel> panel;
    std::map<std::string, int> calls;
    std::optional<QString> waiting;
};

TEST_F(Panel, EachRowClosesThePanelAndCallsItsOperation) {
    struct Case {
        bool dev;
        std::optional<QString> waiting;
        QString row;
        std::string call;
        QString text;
    };
    const auto id = [](Action a) { return u"action%1"_s.arg(static_cast<int>(a)); };
    for (const Case& c : {
             Case{false, {}, id(Action::openWindow), "window", "Open Velmora"},
             Case{false, {}, id(Action::updates), "updates", "Check for Updates…"},
             Case{false, u"3.0"_s, id(Action::updates), "updates", "Update to 3.0"},
             Case{false, {}, id(Action::quit), "quit", "Quit Velmora"},
             Case{true, {}, id(Action::tuning), "tuning", "Tune the pill…"},
             Case{true, {}, id(Action::log), "log", "Open Log"},
             Case{false,
                  {},
                  u"setup%1"_s.arg(int(SetupCheck::Pane::microphone)),
                  "mic pane",
                  "Mic missing"},
         }) {
        SCOPED_TRACE(c.row.toStdString() + " dev=" + std::to_string(c.dev));
        calls.clear();
        model->devMode = c.dev;
        waiting = c.waiting;
        open();
        auto* button = child<QPushButton>(c.row);
        ASSERT_NE(button, nullptr);
        EXPECT_EQ(button->text(), c.text);
        QTest::mouseClick(button, Qt::LeftButton);
        EXPECT_FALSE(panel->isVisible());
        EXPECT_EQ(calls, (std::map<std::string, int>{{"close", 1}, {c.call, 1}}));
    }
    // Without Alt the developer's rows are not there at all.
    model->devMode = false;
    open();
    EXPECT_EQ(child(u"action%1"_s.arg(int(Action::tuning))), nullptr);
    EXPECT_EQ(child(u"action%1"_s.arg(int(Action::log))), nullptr);
    // Esc closes it without calling anything.
    calls.clear();
    QTest::keyClick(panel.get(), Qt::Key_Escape);
    EXPECT_FALSE(panel->isVisible());
    EXPECT_TRUE(calls.empty());
}

TEST_F(Panel, DictionaryWordsSwitchesAndPillChoice) {
    Config::setStringList(u"learnedHotwords"_s, {u"Anneliese"_s});
    Config::setStringList(u"newHotwords"_s, {u"Anneliese"_s});
    open();
    EXPECT_EQ(child<QLabel>(u"dictionaryState"_s)->text(), "1 new");
    QTest::mouseClick(child<QPushButton>(u"dictionary"_s), Qt::LeftButton);
    ASSERT_TRUE(harness::waitUntil([&] { return child(u"addWord"_s); }, "the dictionary expanded"));
    // The fresh word has its mark and a remove button; the configured word has neither.
    QStringList chips;
    for (QLabel* l : panel->findChildren<QLabel*>())
        if (l->isVisible() && l->parentWidget()->objectName() == QLatin1String("chip"))
            chips << l->text();
    EXPECT_EQ(chips, QStringList({QString::fromUtf8("✦ Anneliese"), u"Zephyr"_s}));
    // Seen once shown, when the panel closes: the next opening counts words again.
    panel->hide();
    EXPECT_TRUE(Config::stringList(u"newHotwords"_s).isEmpty());
    open();
    EXPECT_EQ(child<QLabel>(u"dictionaryState"_s)->text(), "2 words");

    // A word typed and entered is added; its remove button takes it away again.
    auto* entry = child<QLineEdit>(u"addWord"_s);
    QTest::keyClicks(entry, u"  Kubernetes "_s);
    QTest::keyClick(entry, Qt::Key_Return);
    ASSERT_TRUE(harness::waitUntil([&] { return dictionary.words().contains("Kubernetes"); },
                                   "the word added"));
    ASSERT_TRUE(harness::waitUntil(
        [&] {
            auto* l = child<QLabel>(u"dictionaryState"_s);
            return l && l->text() == QLatin1String("3 words");
        },
        "the state recounted"));
    QAbstractButton* remove = nullptr;
    for (auto* b : panel->findChildren<QAbstractButton*>())
        if (b->isVisible() && b->accessibleName() == QLatin1String("Remove Kubernetes")) remove = b;
    ASSERT_NE(remove, nullptr);
    QTest::mouseClick(remove, Qt::LeftButton);
    ASSERT_TRUE(harness::waitUntil([&] { return !dictionary.words().contains("Kubernetes"); },
                                   "the word removed"));
    EXPECT_TRUE(panel->isVisible()) << "editing the words keeps the panel open";

    // The learning switch and the fast lane reach their settings.
    const bool learnWas = dictionary.learnOn();
    QTest::mouseClick(child<QCheckBox>(u"learn"_s), Qt::LeftButton);
    ASSERT_TRUE(
        harness::waitUntil([&] { return dictionary.learnOn() != learnWas; }, "learning switched"));
    EXPECT_EQ(Config::shared().learnHotwords(), !learnWas);
    ASSERT_TRUE(harness::waitUntil([&] { return child(u"tesk"_s); }, "rebuilt"));
    QTest::mouseClick(child<QCheckBox>(u"tesk"_s), Qt::LeftButton);
    EXPECT_EQ(calls["tesk on"], 1);
    auto* pill = child<QComboBox>(u"pillShows"_s);
    pill->setFocus();
    QTest::keyClick(pill, Qt::Key_Down);
    EXPECT_EQ(HUDTuning::load().content, PillContent::waveform);
}

// Every control is named for a screen reader and reached with Tab alone.
TEST_F(Panel, EveryControlIsNamedAndOnTheTabChain) {
    Config::setStringList(u"learnedHotwords"_s, {u"Anneliese"_s});
    model->devMode = true;
    for (AppLanguage language : {AppLanguage::en, AppLanguage::zh}) {
        InLanguage in(language);
        open();
        panel->setDictionaryExpanded(true);
        std::set<QWidget*> controls;
        for (QWidget* w : panel->findChildren<QWidget*>()) {
            if (!w->isVisible() || w->focusPolicy() == Qt::NoFocus) continue;
            if (!qobject_cast<QAbstractButton*>(w) && !qobject_cast<QLineEdit*>(w) &&
                !qobject_cast<QComboBox*>(w))
                continue;
            controls.insert(w);
            QAccessibleInterface* a = QAccessible::queryAccessibleInterface(w);
            ASSERT_NE(a, nullptr);
            EXPECT_FALSE(a->text(QAccessible::Name).trimmed().isEmpty())
                << w->metaObject()->className() << " " << w->objectName().toStdString();
        }
        EXPECT_GE(controls.size(), 10u);
        std::set<QWidget*> reached;
        QWidget* start = QApplication::focusWidget();
        ASSERT_NE(start, nullptr) << "the panel opens with the keyboard in it";
        for (int i = 0; i < 60; ++i) {
            reached.insert(QApplication::focusWidget());
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        }
        for (QWidget* w : controls)
            EXPECT_TRUE(reached.count(w))
                << "not on the tab chain: " << w->objectName().toStdString() << " "
                << w->accessibleName().toStdString();
        // For a look by eye: the panel as drawn, kept beside the test.
        panel->grab().save(testenv::binaryDir() + u"/tests/panel/menu-panel-"_s +
                           rawValue(language) + u".png"_s);
        panel->hide();
    }
}

}  // namespace
