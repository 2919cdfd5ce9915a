#include "core/AppStyle.h"

namespace {

AppStyle make(const char* id, const char* label, bool blankLines) {
    return AppStyle{QString::fromUtf8(id), QString::fromUtf8(label), blankLines};
}

QList<QString> list(std::initializer_list<const char*> items) {
    QList<QString> out;
    for (const char* s : items) out << QString::fromUtf8(s);
    return out;
}

// Styles only website rows use.
const QList<AppStyle>& websiteOnlyStyles() {
    static const QList<AppStyle> styles{make("web-notes", "文档", true),
                                        make("web-code", "代码", true),
                                        make("social", "社交", false)};
    return styles;
}

}  // namespace

const QList<AppStyleRow>& AppStyle::table() {
    static const QList<AppStyleRow> rows{
        {make("chat", "聊天", false),
         list({"com.tencent.xinwechat", "com.tencent.qq", "com.tencent.wework"})},
        {make("im", "即时消息", false),
         list({"com.tinyspeck.slackmacgap", "com.electron.lark", "com.bytedance.lark",
               "com.alibaba.dingtalkmac", "ru.keepcoder.telegram", "com.hnc.discord",
               "net.whatsapp.whatsapp", "com.apple.messages"})},
        {make("mail", "邮件", true),
         list({"com.apple.mail", "com.microsoft.outlook", "com.readdle.smartemail",
               "com.superhuman", "com.google.gmail"})},
        {make("terminal", "终端", false), list({"com.apple.terminal", "com.googlecode.iterm2",
                                                "com.mitchellh.ghostty", "dev.warp.warp"})},
        {make("code", "代码", true),
         list({"com.todesktop.230313mzl4w4u92", "com.microsoft.vscode", "com.apple.dt.xcode",
               "com.jetbrains", "com.sublimetext", "dev.zed.zed", "com.exafunction.windsurf"})},
        {make("ai", "AI 对话", true), list({"com.anthropic.claudefordesktop", "com.openai.chat",
                                            "com.google.gemini", "ai.perplexity"})},
        {make("notes", "笔记", true),
         list({"com.apple.notes", "md.obsidian", "notion.id", "com.lukilabs.lukiapp",
               "com.apple.textedit", "com.flexibits", "abnerworks.typora", "com.bear-writer"})},
        {make("web", "网页", true),
         list({"com.google.chrome", "com.apple.safari", "company.thebrowser", "org.mozilla.firefox",
               "com.microsoft.edgemac", "com.brave.browser"})},
    };
    return rows;
}

AppStyle AppStyle::generic() {
    return make("generic", "通用", true);
}

AppStyle AppStyle::forBundleId(const QString& bundleId) {
    if (bundleId.isEmpty()) return generic();
    const QString id = bundleId.toLower();
    for (const AppStyleRow& row : table())
        for (const QString& prefix : row.prefixes)
            if (id.startsWith(prefix)) return row.style;
    return generic();
}

AppStyle AppStyle::forApp(const std::optional<platform::RunningApp>& app) {
    if (!app) return generic();
    return forBundleId(app->bundleId);
}

std::optional<AppStyle> AppStyle::named(const QString& label) {
    for (const AppStyleRow& row : table())
        if (row.style.label == label) return row.style;
    return std::nullopt;
}

std::optional<AppStyle> AppStyle::withId(const QString& id) {
    for (const AppStyleRow& row : table())
        if (row.style.id == id) return row.style;
    for (const AppStyle& s : websiteOnlyStyles())
        if (s.id == id) return s;
    if (id == generic().id) return generic();
    return std::nullopt;
}
