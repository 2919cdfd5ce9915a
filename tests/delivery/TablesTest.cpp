// The identity and style tables, by their rules: how a Linux name becomes an identifier,
// how an identifier finds its style, and that no row of a table hides another.
#include <gtest/gtest.h>

#include "QtPrint.h"
#include "core/AppStyle.h"
#include "core/WebContext.h"
#include "platform/linux/BundleIdMap.h"

namespace {

using platform::x11::BundleIdMap::lookup;
using platform::x11::BundleIdMap::lookupFirst;

TEST(DeliveryTables, EveryKindOfLinuxNameFindsItsIdentifier) {
    const std::pair<const char*, const char*> rows[] = {
        {"com.slack.Slack", "com.tinyspeck.slackmacgap"},   // Flatpak id, any case
        {"Navigator", "org.mozilla.firefox"},               // WM_CLASS instance
        {"Alacritty", "com.apple.terminal"},                // WM_CLASS class
        {" konsole\t", "com.apple.terminal"},               // stray blanks
        {"org.gnome.gedit.desktop", "com.apple.textedit"},  // a desktop file's name
        {"org.telegram.desktop", "ru.keepcoder.telegram"},  // an id that ends so itself
        // JetBrains IDEs: whatever product follows the prefix.
        {"jetbrains-pycharm-ce", "com.jetbrains.pycharm-ce"},
        {"com.jetbrains.IntelliJ-IDEA-Community", "com.jetbrains.intellij-idea-community"},
        {"jetbrains-", ""},
        {"gimp", ""},
        {"", ""},
    };
    for (const auto& [name, id] : rows)
        EXPECT_EQ(lookup(QString::fromUtf8(name)).value_or(QString()), QString::fromUtf8(id))
            << name;
    // The most specific name wins; unknown names fall through to the next.
    EXPECT_EQ(lookupFirst({QString(), QStringLiteral("Gnome-terminal"), QStringLiteral("firefox")}),
              QStringLiteral("com.apple.terminal"));
    EXPECT_EQ(lookupFirst({QStringLiteral("gimp"), QStringLiteral("code")}),
              QStringLiteral("com.microsoft.vscode"));
    EXPECT_FALSE(lookupFirst({QStringLiteral("gimp"), QString()}));
}

TEST(DeliveryTables, IdentifiersFindTheirStyleByPrefixInAnyCase) {
    const std::pair<const char*, const char*> rows[] = {
        {"com.tinyspeck.slackmacgap", "im"},   // a mapped Linux application
        {"com.jetbrains.goland", "code"},      // any product of a prefix
        {"COM.GOOGLE.CHROME.CANARY", "web"},   // case
        {"com.google.chromebeta", "web"},      // a prefix, not a whole name
        {"org.chromium.chromium", "generic"},  // a browser the table does not list
        {"org.example.unknown", "generic"},   {"", "generic"},
    };
    for (const auto& [id, style] : rows)
        EXPECT_EQ(AppStyle::forBundleId(QString::fromUtf8(id)).id, QString::fromUtf8(style)) << id;
    EXPECT_EQ(AppStyle::forApp(std::nullopt), AppStyle::generic());
    platform::RunningApp noId;
    noId.pid = 42;
    EXPECT_EQ(AppStyle::forApp(noId), AppStyle::generic());

    // Browsers are whole identifiers, in any case.
    EXPECT_TRUE(WebContext::isBrowser(QStringLiteral("COM.GOOGLE.CHROME.CANARY")));
    EXPECT_TRUE(WebContext::isBrowser(QStringLiteral("org.chromium.chromium")));
    EXPECT_FALSE(WebContext::isBrowser(QStringLiteral("com.google.chromebeta")));
    EXPECT_FALSE(WebContext::isBrowser(QString()));
}

TEST(DeliveryTables, NoRowHidesAnother) {
    // Every prefix leads to its own row (an earlier, shorter prefix would take it), and every
    // row is found by its id and label.
    for (const AppStyleRow& row : AppStyle::table()) {
        SCOPED_TRACE(row.style.id.toStdString());
        for (const QString& prefix : row.prefixes) {
            EXPECT_EQ(prefix, prefix.toLower()) << "identifiers are compared lower-cased";
            EXPECT_EQ(AppStyle::forBundleId(prefix), row.style) << prefix.toStdString();
        }
        EXPECT_EQ(AppStyle::withId(row.style.id), row.style);
        EXPECT_EQ(AppStyle::named(row.style.label), row.style);
    }
    for (const QString& browser : WebContext::browsers()) {
        EXPECT_EQ(browser, browser.toLower());
        EXPECT_TRUE(WebContext::isBrowser(browser.toUpper())) << browser.toStdString();
    }
    // Every host leads to its own site, whose style is a known one.
    for (const WebSite& site : WebContext::sites()) {
        SCOPED_TRACE(site.label.toStdString());
        EXPECT_EQ(AppStyle::withId(site.style.id), site.style);
        EXPECT_FALSE(site.icon.isEmpty());
        for (const QString& host : site.hosts) {
            EXPECT_EQ(host, host.toLower());
            const auto found = WebContext::siteForHost(host.toUpper());
            ASSERT_TRUE(found) << host.toStdString();
            EXPECT_EQ(found->label, site.label) << host.toStdString();
        }
    }
}

TEST(DeliveryTables, LabelsAndHostsMatchWholly) {
    const auto mail = AppStyle::named(QStringLiteral("邮件"));
    ASSERT_TRUE(mail);
    EXPECT_EQ(mail->id, QStringLiteral("mail"));
    EXPECT_TRUE(mail->blankLines);
    EXPECT_FALSE(AppStyle::named(QStringLiteral("聊天"))->blankLines);
    // Labels are exact, and only the application rows have them.
    for (const char* other : {"mail", "邮件 ", "AI对话", "通用", "文档", "社交", ""})
        EXPECT_FALSE(AppStyle::named(QString::fromUtf8(other))) << other;
    EXPECT_EQ(AppStyle::withId(QStringLiteral("web-notes"))->label, QStringLiteral("文档"));
    EXPECT_FALSE(AppStyle::withId(QStringLiteral("nope")));

    // A host matches a listed one or its subdomains, never the same letters elsewhere.
    const std::pair<const char*, const char*> hosts[] = {
        {"someone.notion.site", "Notion"},
        {"gist.github.com", "GitHub"},
        {"notgithub.com", ""},
        {"github.com.evil.net", ""},
        {"google.com", ""},  // only some of Google's hosts are listed
        {"", ""},
    };
    for (const auto& [host, label] : hosts) {
        const auto site = WebContext::siteForHost(QString::fromUtf8(host));
        EXPECT_EQ(site ? site->label : QString(), QString::fromUtf8(label)) << host;
    }
}

}  // namespace
