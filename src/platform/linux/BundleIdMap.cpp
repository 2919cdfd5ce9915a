#include "platform/linux/BundleIdMap.h"

#include <QHash>

namespace platform::x11::BundleIdMap {

namespace {

// Identifiers the style rules expect, one per kind of application where Linux
// has no counterpart of its own (a mail client maps to the mail row's first id).
const char* const kChrome = "com.google.chrome";
const char* const kChromeCanary = "com.google.chrome.canary";
const char* const kFirefox = "org.mozilla.firefox";
const char* const kChromium = "org.chromium.chromium";
const char* const kBrave = "com.brave.browser";
const char* const kEdge = "com.microsoft.edgemac";
const char* const kVivaldi = "com.vivaldi.vivaldi";
const char* const kVSCode = "com.microsoft.vscode";
const char* const kCursor = "com.todesktop.230313mzl4w4u92";
const char* const kSublime = "com.sublimetext";
const char* const kZed = "dev.zed.zed";
const char* const kWindsurf = "com.exafunction.windsurf";
const char* const kSlack = "com.tinyspeck.slackmacgap";
const char* const kDiscord = "com.hnc.discord";
const char* const kTelegram = "ru.keepcoder.telegram";
const char* const kWhatsApp = "net.whatsapp.whatsapp";
const char* const kLark = "com.bytedance.lark";
const char* const kDingTalk = "com.alibaba.dingtalkmac";
const char* const kWeChat = "com.tencent.xinwechat";
const char* const kQQ = "com.tencent.qq";
const char* const kMail = "com.apple.mail";
const char* const kTerminal = "com.apple.terminal";
const char* const kGhostty = "com.mitchellh.ghostty";
const char* const kObsidian = "md.obsidian";
const char* const kTypora = "abnerworks.typora";
const char* const kEditor = "com.apple.textedit";

const QHash<QString, QString>& table() {
    static const QHash<QString, QString> map = [] {
        const std::initializer_list<std::pair<const char*, const char*>> rows{
            // Browsers
            {"firefox", kFirefox},
            {"firefox-esr", kFirefox},
            {"org.mozilla.firefox", kFirefox},
            {"navigator", kFirefox},  // Firefox's WM_CLASS instance
            {"google-chrome", kChrome},
            {"google-chrome-stable", kChrome},
            {"google-chrome-beta", kChrome},
            {"google-chrome-unstable", kChrome},
            {"com.google.chrome", kChrome},
            {"google-chrome-canary", kChromeCanary},
            {"chromium", kChromium},
            {"chromium-browser", kChromium},
            {"org.chromium.chromium", kChromium},
            {"brave-browser", kBrave},
            {"brave-browser-stable", kBrave},
            {"com.brave.browser", kBrave},
            {"microsoft-edge", kEdge},
            {"microsoft-edge-stable", kEdge},
            {"com.microsoft.edge", kEdge},
            {"vivaldi", kVivaldi},
            {"vivaldi-stable", kVivaldi},
            {"com.vivaldi.vivaldi", kVivaldi},
            // Code editors
            {"code", kVSCode},
            {"code-oss", kVSCode},
            {"com.visualstudio.code", kVSCode},
            {"com.visualstudio.code-oss", kVSCode},
            {"codium", kVSCode},
            {"com.vscodium.codium", kVSCode},
            {"cursor", kCursor},
            {"sublime_text", kSublime},
            {"sublime-text", kSublime},
            {"com.sublimetext.three", kSublime},
            {"zed", kZed},
            {"dev.zed.zed", kZed},
            {"windsurf", kWindsurf},
            // Messaging
            {"slack", kSlack},
            {"com.slack.slack", kSlack},
            {"discord", kDiscord},
            {"com.discordapp.discord", kDiscord},
            {"telegram-desktop", kTelegram},
            {"telegramdesktop", kTelegram},
            {"org.telegram.desktop", kTelegram},
            {"whatsapp-for-linux", kWhatsApp},
            {"com.github.eneshecan.whatsappforlinux", kWhatsApp},
            {"feishu", kLark},
            {"bytedance-feishu", kLark},
            {"lark", kLark},
            {"dingtalk", kDingTalk},
            {"com.alibabainc.dingtalk", kDingTalk},
            {"wechat", kWeChat},
            {"com.tencent.wechat", kWeChat},
            {"qq", kQQ},
            {"com.qq.qq", kQQ},
            // Mail
            {"thunderbird", kMail},
            {"thunderbird-esr", kMail},
            {"org.mozilla.thunderbird", kMail},
            {"net.thunderbird.thunderbird", kMail},
            {"evolution", kMail},
            {"org.gnome.evolution", kMail},
            {"geary", kMail},
            {"org.gnome.geary", kMail},
            {"kmail", kMail},
            {"org.kde.kmail2", kMail},
            // Terminals
            {"gnome-terminal-server", kTerminal},
            {"gnome-terminal", kTerminal},
            {"org.gnome.terminal", kTerminal},
            {"org.gnome.console", kTerminal},
            {"kgx", kTerminal},
            {"konsole", kTerminal},
            {"org.kde.konsole", kTerminal},
            {"xterm", kTerminal},
            {"uxterm", kTerminal},
            {"kitty", kTerminal},
            {"alacritty", kTerminal},
            {"org.alacritty.alacritty", kTerminal},
            {"wezterm", kTerminal},
            {"org.wezfurlong.wezterm", kTerminal},
            {"wezterm-gui", kTerminal},
            {"tilix", kTerminal},
            {"com.gexperts.tilix", kTerminal},
            {"xfce4-terminal", kTerminal},
            {"terminator", kTerminal},
            {"foot", kTerminal},
            {"urxvt", kTerminal},
            {"terminology", kTerminal},
            {"ghostty", kGhostty},
            {"com.mitchellh.ghostty", kGhostty},
            // Notes and plain-text editors
            {"obsidian", kObsidian},
            {"md.obsidian.obsidian", kObsidian},
            {"typora", kTypora},
            {"gedit", kEditor},
            {"org.gnome.gedit", kEditor},
            {"gnome-text-editor", kEditor},
            {"org.gnome.texteditor", kEditor},
            {"kate", kEditor},
            {"org.kde.kate", kEditor},
            {"kwrite", kEditor},
            {"org.kde.kwrite", kEditor},
            {"mousepad", kEditor},
            {"org.xfce.mousepad", kEditor},
            {"pluma", kEditor},
            {"xed", kEditor},
        };
        QHash<QString, QString> m;
        for (const auto& [from, to] : rows)
            m.insert(QString::fromUtf8(from), QString::fromUtf8(to));
        return m;
    }();
    return map;
}

}  // namespace

std::optional<QString> lookup(const QString& linuxName) {
    QString name = linuxName.trimmed().toLower();
    if (name.isEmpty()) return std::nullopt;
    if (auto it = table().constFind(name); it != table().constEnd()) return *it;
    // A desktop file's name ("org.gnome.gedit.desktop"); Telegram's id itself ends so.
    if (name.endsWith(QLatin1String(".desktop"))) {
        name.chop(8);
        if (auto it = table().constFind(name); it != table().constEnd()) return *it;
    }
    // JetBrains IDEs: "jetbrains-idea", "jetbrains-pycharm-ce"; Flatpak ids already
    // start with "com.jetbrains".
    if (name.startsWith(QLatin1String("jetbrains-")) && name.size() > 10)
        return QStringLiteral("com.jetbrains.") + name.mid(10);
    if (name.startsWith(QLatin1String("com.jetbrains."))) return name;
    return std::nullopt;
}

std::optional<QString> lookupFirst(const QStringList& candidates) {
    for (const QString& c : candidates)
        if (auto id = lookup(c)) return id;
    return std::nullopt;
}

}  // namespace platform::x11::BundleIdMap
