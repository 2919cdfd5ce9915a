// The identity and style tables, row by row.
#include <gtest/gtest.h>

#include "QtPrint.h"
#include "core/AppStyle.h"
#include "core/WebContext.h"
#include "platform/linux/BundleIdMap.h"

namespace {

using platform::x11::BundleIdMap::lookup;
using platform::x11::BundleIdMap::lookupFirst;

struct AppRow {
    const char* linuxName;  // desktop id, Flatpak id or WM_CLASS; "" to use `id` as is
    const char* id;         // the identifier the style rules see ("" for unknown)
    const char* style;
    bool browser;
};

// Linux names -> identifiers -> styles, and identifiers the style table matches by prefix.
const AppRow kApps[] = {
    {"firefox", "org.mozilla.firefox", "web", true},
    {"org.mozilla.firefox", "org.mozilla.firefox", "web", true},
    {"Navigator", "org.mozilla.firefox", "web", true},
    {"google-chrome", "com.google.chrome", "web", true},
    {"com.google.Chrome", "com.google.chrome", "web", true},
    {"google-chrome-canary", "com.google.chrome.canary", "web", true},
    {"chromium", "org.chromium.chromium", "generic",
     true},  // a browser the style table does not list
    {"brave-browser", "com.brave.browser", "web", true},
    {"vivaldi-stable", "com.vivaldi.vivaldi", "generic", true},
    {"microsoft-edge", "com.microsoft.edgemac", "web", true},
    {"code", "com.microsoft.vscode", "code", false},
    {"com.visualstudio.code", "com.microsoft.vscode", "code", false},
    {"jetbrains-idea", "com.jetbrains.idea", "code", false},
    {"jetbrains-pycharm-ce", "com.jetbrains.pycharm-ce", "code", false},
    {"com.jetbrains.IntelliJ-IDEA-Community", "com.jetbrains.intellij-idea-community", "code",
     false},
    {"sublime_text", "com.sublimetext", "code", false},
    {"slack", "com.tinyspeck.slackmacgap", "im", false},
    {"com.slack.Slack", "com.tinyspeck.slackmacgap", "im", false},
    {"discord", "com.hnc.discord", "im", false},
    {"telegram-desktop", "ru.keepcoder.telegram", "im", false},
    {"org.telegram.desktop", "ru.keepcoder.telegram", "im", false},
    {"wechat", "com.tencent.xinwechat", "chat", false},
    {"thunderbird", "com.apple.mail", "mail", false},
    {"obsidian", "md.obsidian", "notes", false},
    {"md.obsidian.Obsidian", "md.obsidian", "notes", false},
    {"gnome-terminal-server", "com.apple.terminal", "terminal", false},
    {"konsole", "com.apple.terminal", "terminal", false},
    {"xterm", "com.apple.terminal", "terminal", false},
    {"kitty", "com.apple.terminal", "terminal", false},
    {"Alacritty", "com.apple.terminal", "terminal", false},
    {"org.wezfurlong.wezterm", "com.apple.terminal", "terminal", false},
    {"tilix", "com.apple.terminal", "terminal", false},
    {"ghostty", "com.mitchellh.ghostty", "terminal", false},
    {"gedit", "com.apple.textedit", "notes", false},
    {"org.gnome.gedit.desktop", "com.apple.textedit", "notes", false},
    {"kate", "com.apple.textedit", "notes", false},
    {"mousepad", "com.apple.textedit", "notes", false},
    {"jetbrains-", "", "generic", false},  // no product after the prefix
    {"gimp", "", "generic", false},
    // Identifiers straight into the style table.
    {"", "com.jetbrains.goland", "code", false},
    {"", "COM.GOOGLE.CHROME.CANARY", "web", true},
    {"", "com.google.chromebeta", "web", false},  // a prefix match is no browser
    {"", "com.tencent.xinWeChat", "chat", false},
    {"", "ai.perplexity.mac", "ai", false},
    {"", "com.apple.mailx", "mail", false},
    {"", "", "generic", false},
    {"", "org.example.unknown", "generic", false},
};

TEST(DeliveryTables, LinuxNamesMapOntoStylesAndBrowsers) {
    for (const AppRow& row : kApps) {
        const QString linuxName = QString::fromUtf8(row.linuxName);
        const QString expected = QString::fromUtf8(row.id);
        SCOPED_TRACE(std::string(row.linuxName) + " / " + row.id);
        QString id = expected;
        if (!linuxName.isEmpty()) {
            const auto mapped = lookup(linuxName);
            EXPECT_EQ(mapped.value_or(QString()), expected);
            id = mapped.value_or(QString());
        }
        EXPECT_EQ(AppStyle::forBundleId(id).id, QString::fromUtf8(row.style));
        EXPECT_EQ(WebContext::isBrowser(id), row.browser);
    }
    // The most specific name wins; unknown names fall through to the next.
    EXPECT_EQ(lookupFirst({QString(), QStringLiteral("Gnome-terminal"),
                           QStringLiteral("gnome-terminal-server")}),
              QStringLiteral("com.apple.terminal"));
    EXPECT_EQ(lookupFirst({QStringLiteral("org.gnome.gedit"), QStringLiteral("firefox")}),
              QStringLiteral("com.apple.textedit"));
    EXPECT_FALSE(lookupFirst({QStringLiteral("gimp"), QString()}));

    // No app at all.
    EXPECT_EQ(AppStyle::forApp(std::nullopt), AppStyle::generic());
    platform::RunningApp noId;
    noId.pid = 42;
    EXPECT_EQ(AppStyle::forApp(noId), AppStyle::generic());

    // Labels name the application rows only, exactly.
    struct Named {
        const char* label;
        const char* id;
        bool blankLines;
    };
    const Named named[] = {{"聊天", "chat", false}, {"即时消息", "im", false},
                           {"邮件", "mail", true},  {"终端", "terminal", false},
                           {"代码", "code", true},  {"AI 对话", "ai", true},
                           {"笔记", "notes", true}, {"网页", "web", true}};
    for (const Named& n : named) {
        const auto style = AppStyle::named(QString::fromUtf8(n.label));
        ASSERT_TRUE(style) << n.label;
        EXPECT_EQ(style->id, QString::fromUtf8(n.id));
        EXPECT_EQ(style->label, QString::fromUtf8(n.label));
        EXPECT_EQ(style->blankLines, n.blankLines);
    }
    for (const char* other : {"mail", "通用", "文档", "社交", "邮件 ", "AI对话", ""})
        EXPECT_FALSE(AppStyle::named(QString::fromUtf8(other))) << other;
}

TEST(DeliveryTables, HostsFindTheirSites) {
    struct HostRow {
        const char* host;
        const char* label;  // "" for no site
        const char* style;
        const char* icon;
    };
    const HostRow rows[] = {
        {"mail.google.com", "Gmail", "mail", "gmail"},
        {"outlook.office365.com", "Outlook", "mail", "outlook"},
        {"outlook.live.com", "Outlook", "mail", "outlook"},
        {"app.slack.com", "Slack", "im", "slack"},
        {"web.telegram.org", "Telegram", "im", "telegram"},
        {"discord.com", "Discord", "im", "discord"},
        {"web.whatsapp.com", "WhatsApp", "im", "whatsapp"},
        {"claude.ai", "Claude", "ai", "claude"},
        {"chat.openai.com", "ChatGPT", "ai", "chatgpt"},
        {"chatgpt.com", "ChatGPT", "ai", "chatgpt"},
        {"gemini.google.com", "Gemini", "ai", "gemini"},
        {"www.perplexity.ai", "Perplexity", "ai", "perplexity"},
        {"chat.deepseek.com", "DeepSeek", "ai", "deepseek"},
        {"kimi.moonshot.cn", "Kimi", "ai", "kimi"},
        {"www.kimi.com", "Kimi", "ai", "kimi"},
        {"www.doubao.com", "豆包", "ai", "doubao"},
        {"www.notion.so", "Notion", "web-notes", "notion"},
        {"someone.notion.site", "Notion", "web-notes", "notion"},
        {"docs.google.com", "Google Docs", "web-notes", "gdocs"},
        {"abc.feishu.cn", "飞书", "web-notes", "feishu"},
        {"x.larksuite.com", "飞书", "web-notes", "feishu"},
        {"www.yuque.com", "语雀", "web-notes", "yuque"},
        {"GITHUB.COM", "GitHub", "web-code", "github"},
        {"gist.github.com", "GitHub", "web-code", "github"},
        {"gitlab.com", "GitLab", "web-code", "gitlab"},
        {"linear.app", "Linear", "web-notes", "linear"},
        {"team.atlassian.net", "Jira", "web-notes", "jira"},
        {"x.com", "X", "social", "x"},
        {"mobile.twitter.com", "X", "social", "x"},
        {"weibo.com", "微博", "social", "weibo"},
        {"www.xiaohongshu.com", "小红书", "social", "xiaohongshu"},
        // Same letters without the dot are another domain.
        {"notgithub.com", "", "", ""},
        {"github.com.evil.net", "", "", ""},
        {"google.com", "", "", ""},
        {"", "", "", ""},
    };
    for (const HostRow& row : rows) {
        SCOPED_TRACE(row.host);
        const auto site = WebContext::siteForHost(QString::fromUtf8(row.host));
        if (!*row.label) {
            EXPECT_FALSE(site);
            continue;
        }
        ASSERT_TRUE(site);
        EXPECT_EQ(site->label, QString::fromUtf8(row.label));
        EXPECT_EQ(site->style.id, QString::fromUtf8(row.style));
        EXPECT_EQ(site->icon, QString::fromUtf8(row.icon));
        EXPECT_EQ(site->style, *AppStyle::withId(site->style.id));
    }
    EXPECT_EQ(WebContext::sites().size(), 24);
    EXPECT_EQ(WebContext::browsers().size(), 11);
    // Website-only styles and their flags.
    EXPECT_EQ(AppStyle::withId(QStringLiteral("social"))->blankLines, false);
    EXPECT_EQ(AppStyle::withId(QStringLiteral("web-notes"))->label, QStringLiteral("文档"));
    EXPECT_EQ(AppStyle::withId(QStringLiteral("web-code"))->label, QStringLiteral("代码"));
    EXPECT_FALSE(AppStyle::withId(QStringLiteral("nope")));
}

}  // namespace
