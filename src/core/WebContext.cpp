#include "core/WebContext.h"

#include <QElapsedTimer>
#include <QSet>
#include <QUrl>

#include "core/Log.h"
#include "platform/Accessibility.h"
#include "platform/Platform.h"

namespace WebContext {

namespace {

WebSite site(const char* label, const char* styleId, const char* icon,
             std::initializer_list<const char*> hosts) {
    WebSite s;
    for (const char* h : hosts) s.hosts << QString::fromUtf8(h);
    s.label = QString::fromUtf8(label);
    s.style = AppStyle::withId(QString::fromUtf8(styleId)).value_or(AppStyle::generic());
    s.icon = QString::fromUtf8(icon);
    return s;
}

bool hostMatches(const QString& host, const QString& listed) {
    return host == listed || (host.endsWith(listed) && host.size() > listed.size() &&
                              host.at(host.size() - listed.size() - 1) == QLatin1Char('.'));
}

}  // namespace

const QList<WebSite>& sites() {
    static const QList<WebSite> table{
        site("Gmail", "mail", "gmail", {"mail.google.com"}),
        site("Outlook", "mail", "outlook",
             {"outlook.live.com", "outlook.office.com", "outlook.office365.com"}),
        site("Slack", "im", "slack", {"slack.com"}),
        site("Telegram", "im", "telegram", {"web.telegram.org"}),
        site("Discord", "im", "discord", {"discord.com"}),
        site("WhatsApp", "im", "whatsapp", {"web.whatsapp.com"}),
        site("Claude", "ai", "claude", {"claude.ai"}),
        site("ChatGPT", "ai", "chatgpt", {"chatgpt.com", "chat.openai.com"}),
        site("Gemini", "ai", "gemini", {"gemini.google.com"}),
        site("Perplexity", "ai", "perplexity", {"perplexity.ai"}),
        site("DeepSeek", "ai", "deepseek", {"chat.deepseek.com"}),
        site("Kimi", "ai", "kimi", {"kimi.moonshot.cn", "kimi.com"}),
        site("豆包", "ai", "doubao", {"doubao.com"}),
        site("Notion", "web-notes", "notion", {"notion.so", "notion.site"}),
        site("Google Docs", "web-notes", "gdocs", {"docs.google.com"}),
        site("飞书", "web-notes", "feishu", {"feishu.cn", "larksuite.com"}),
        site("语雀", "web-notes", "yuque", {"yuque.com"}),
        site("GitHub", "web-code", "github", {"github.com"}),
        site("GitLab", "web-code", "gitlab", {"gitlab.com"}),
        site("Linear", "web-notes", "linear", {"linear.app"}),
        site("Jira", "web-notes", "jira", {"atlassian.net"}),
        site("X", "social", "x", {"x.com", "twitter.com"}),
        site("微博", "social", "weibo", {"weibo.com"}),
        site("小红书", "social", "xiaohongshu", {"xiaohongshu.com"}),
    };
    return table;
}

const QStringList& browsers() {
    static const QStringList list{
        QStringLiteral("com.google.chrome"),   QStringLiteral("com.google.chrome.canary"),
        QStringLiteral("com.apple.safari"),    QStringLiteral("company.thebrowser.browser"),
        QStringLiteral("org.mozilla.firefox"), QStringLiteral("com.microsoft.edgemac"),
        QStringLiteral("com.brave.browser"),   QStringLiteral("org.chromium.chromium"),
        QStringLiteral("com.vivaldi.vivaldi"), QStringLiteral("company.thebrowser.dia"),
        QStringLiteral("com.openai.atlas"),
    };
    return list;
}

bool isBrowser(const QString& bundleId) {
    static const QSet<QString> set(browsers().begin(), browsers().end());
    return !bundleId.isEmpty() && set.contains(bundleId.toLower());
}

std::optional<WebSite> siteForHost(const QString& host) {
    const QString h = host.toLower();
    if (h.isEmpty()) return std::nullopt;
    for (const WebSite& s : sites())
        for (const QString& listed : s.hosts)
            if (hostMatches(h, listed)) return s;
    return std::nullopt;
}

std::optional<Match> detect(const std::optional<platform::RunningApp>& app) {
    if (!app || app->bundleId.isEmpty() || !isBrowser(app->bundleId)) return std::nullopt;
    auto& platform = platform::Platform::current();
    QElapsedTimer clock;
    clock.start();
    QString url;
    if (platform.accessibility && app->pid > 0) {
        // A document URL counts only for web pages; a local file gives no match.
        auto read = platform.accessibility->documentUrl(app->pid);
        if (read.value && read.value->startsWith(QLatin1String("http"))) url = *read.value;
    }
    const qint64 ms = clock.elapsed();
    const QUrl parsed(url, QUrl::StrictMode);
    const QString host = parsed.host().toLower();
    if (url.isEmpty() || !parsed.isValid() || host.isEmpty()) {
        Log::write(QStringLiteral("Web URL: none (%1ms)").arg(ms));
        return std::nullopt;
    }
    const auto found = siteForHost(host);
    Log::write(QStringLiteral("Web URL via AX in %1ms: %2 → %3")
                   .arg(ms)
                   .arg(host, found ? found->label : QStringLiteral("未知站点")));
    if (!found) return std::nullopt;
    return Match{*found, url};
}

}  // namespace WebContext
