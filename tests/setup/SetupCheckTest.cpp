// The setup warnings and what opens their fix, over the scripted desktop; the UI language's
// first choice; and every English/Chinese pair of the translations file.
#include <gtest/gtest.h>

#include <QFile>
#include <QXmlStreamReader>

#include "core/Config.h"
#include "core/Language.h"
#include "core/SetupCheck.h"
#include "platform/fake/FakeKeyMonitor.h"
#include "platform/fake/FakePlatform.h"
#include "support/TestEnv.h"

using namespace Qt::StringLiterals;

namespace {

using platform::Key;

QStringList titles() {
    QStringList out;
    for (const SetupCheck::Row& r : SetupCheck::missing()) out << r.title;
    return out;
}

TEST(SetupCheck, WarningRows) {
    struct Case {
        const char* name;
        bool accessibility;
        std::optional<bool> microphone;  // none: the check has not answered yet
        const char* hotkey;              // nullptr: not set, which means fn
        std::optional<Key> missingKey;
        AppLanguage language;
        bool fn;           // the talk key is seen
        const char* rows;  // the titles, joined by "|"
    } cases[] = {
        {"nothing set, microphone never asked", false, std::nullopt, "rightControl",
         Key::rightControl, AppLanguage::en, false,
         "⚠ Grant Accessibility, then relaunch…|⚠ Grant Microphone access…|⚠ The talk key “Right "
         "Ctrl” doesn't reach the desktop — choose another…"},
        {"all set", true, true, "rightOption", std::nullopt, AppLanguage::en, true, ""},
        {"microphone unusable", true, false, "rightOption", std::nullopt, AppLanguage::en, true,
         "⚠ Grant Microphone access…"},
        {"fn missing but not the talk key", true, true, "rightOption", Key::fn, AppLanguage::en,
         true, ""},
        {"unknown talk key means fn", true, true, "RightOption", Key::fn, AppLanguage::en, false,
         "⚠ The talk key “fn” doesn't reach the desktop — choose another…"},
        {"unset talk key is right Ctrl here", true, true, nullptr, Key::fn, AppLanguage::en, true,
         ""},
        {"in Chinese", false, false, "fn", Key::fn, AppLanguage::zh, false,
         "⚠ 允许辅助功能，然后重新打开…|⚠ 允许使用麦克风…|⚠ 桌面收不到说话键“fn 键”，请换一个…"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        platform::fake::permissions().accessibility = c.accessibility;
        if (c.microphone) SetupCheck::noteMicrophone(*c.microphone);
        if (c.hotkey)
            Config::d()->setValue(u"hotkey"_s, QString::fromLatin1(c.hotkey));
        else
            Config::d()->remove(u"hotkey"_s);
        platform::fake::keyMonitor().missingKeys.clear();
        if (c.missingKey) platform::fake::keyMonitor().missingKeys = {*c.missingKey};
        LanguageSetting::shared().setLanguage(c.language);
        EXPECT_EQ(titles().join(u'|'), QString::fromUtf8(c.rows));
        const SetupCheck::SetupState s = SetupCheck::state();
        EXPECT_EQ(s.accessibility, c.accessibility);
        EXPECT_EQ(s.microphone, c.microphone.value_or(false));
        EXPECT_EQ(s.fn, c.fn);
    }
    LanguageSetting::shared().setLanguage(AppLanguage::en);
    const QList<SetupCheck::Row> rows = SetupCheck::missing();
    ASSERT_EQ(rows.size(), 3);
    EXPECT_EQ(rows[0].pane, SetupCheck::Pane::accessibility);
    EXPECT_EQ(rows[1].pane, SetupCheck::Pane::microphone);
    EXPECT_EQ(rows[2].pane, SetupCheck::Pane::keyboard);
}

TEST(SetupCheck, FixesOpenTheDesktopsOwnSettingsElseOurHelp) {
    using SetupCheck::Pane;
    const QString help = u"https://velmora.app/help/linux-setup#"_s;
    struct Case {
        QString desktop, installed;  // programs installed, split at spaces
        Pane pane;
        QString program, arg, help;  // the help page's anchor
    } cases[] = {
        {"GNOME", "gnome-control-center", Pane::microphone, "gnome-control-center", "sound", ""},
        {"ubuntu:GNOME", "gnome-control-center", Pane::accessibility, "gnome-control-center",
         "universal-access", ""},
        {"KDE", "systemsettings5", Pane::microphone, "systemsettings5", "kcm_pulseaudio", ""},
        {"KDE", "systemsettings systemsettings5", Pane::keyboard, "systemsettings", "kcm_keyboard",
         ""},
        {"GNOME", "", Pane::microphone, "", "", "microphone"},
        {"XFCE", "gnome-control-center", Pane::keyboard, "", "", "talk-key"},
        {"", "", Pane::accessibility, "", "", "accessibility"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.desktop.toStdString());
        const auto o = SetupCheck::openerFor(c.pane, c.desktop, [&](const QString& program) {
            return c.installed.split(u' ').contains(program);
        });
        EXPECT_EQ(o.program, c.program);
        EXPECT_EQ(o.args, c.arg.isEmpty() ? QStringList() : QStringList{c.arg});
        EXPECT_EQ(o.help.toString(), c.help.isEmpty() ? QString() : help + c.help);
    }
    // With no settings program, the help page opens through the desktop.
    qputenv("XDG_CURRENT_DESKTOP", "Nowhere");
    platform::fake::workspace().opened.clear();
    EXPECT_TRUE(SetupCheck::open(SetupCheck::Pane::microphone));
    EXPECT_EQ(platform::fake::workspace().opened,
              QList<QUrl>{QUrl("https://velmora.app/help/linux-setup#microphone")});
}

TEST(Language, FirstChoice) {
    struct Case {
        std::optional<QString> stored;
        QStringList preferred;
        AppLanguage expected;
    };
    const Case cases[] = {
        {std::nullopt, {"zh-Hant-HK", "en-US"}, AppLanguage::zh},
        {std::nullopt, {"zh-Hans"}, AppLanguage::zh},
        {std::nullopt, {"en-GB", "zh-CN"}, AppLanguage::en},
        {std::nullopt, {}, AppLanguage::en},
        {"en", {"zh-CN"}, AppLanguage::en},
        {"zh", {"en-US"}, AppLanguage::zh},
        {"klingon", {"zh-TW"}, AppLanguage::zh},
        {"ZH", {"en-US"}, AppLanguage::en},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stored.value_or("(none)").toStdString() + " " +
                     c.preferred.join(',').toStdString());
        if (c.stored)
            Config::d()->setValue(u"appLanguage"_s, *c.stored);
        else
            Config::d()->remove(u"appLanguage"_s);
        EXPECT_EQ(LanguageSetting(c.preferred).language(), c.expected);
    }
    Config::d()->remove(u"appLanguage"_s);
}

// Every pair in the translations file is whole, and the compiled copy in the app gives it.
TEST(Language, EveryPairIsInBothLanguages) {
    QFile ts(testenv::sourceDir() + u"/src/translations/velmora_zh.ts"_s);
    ASSERT_TRUE(ts.open(QIODevice::ReadOnly));
    QXmlStreamReader xml(&ts);
    int pairs = 0;
    QString source;
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement) continue;
        if (xml.name() == QLatin1String("source")) {
            source = xml.readElementText();
        } else if (xml.name() == QLatin1String("translation")) {
            const bool unfinished = xml.attributes().hasAttribute(QLatin1String("type"));
            const QString zh = xml.readElementText();
            SCOPED_TRACE(source.toStdString());
            EXPECT_FALSE(unfinished);
            EXPECT_FALSE(zh.isEmpty());
            EXPECT_NE(zh, source);
            EXPECT_EQ(source.count(u"%1"_s), zh.count(u"%1"_s));
            const QByteArray en = source.toUtf8();
            EXPECT_EQ(Language::text(en.constData(), AppLanguage::zh), zh);
            EXPECT_EQ(Language::text(en.constData(), AppLanguage::en), source);
            ++pairs;
        }
    }
    EXPECT_FALSE(xml.hasError()) << xml.errorString().toStdString();
    EXPECT_GE(pairs, 7);
    // A text with no pair stays English.
    EXPECT_EQ(Language::text("Not translated", AppLanguage::zh), u"Not translated"_s);
}

}  // namespace
