#include "ui/Theme.h"

#include <QApplication>
#include <QFile>
#include <QPainter>
#include <QPalette>
#include <QProcess>
#include <QSettings>
#include <QStandardPaths>
#include <QStyle>
#include <QStyleFactory>
#include <QWidget>

namespace {

Theme::Scheme gScheme = Theme::Scheme::light;

// One short question to a desktop tool; empty when it isn't there or doesn't answer.
QString ask(const QString& program, const QStringList& args) {
    if (QStandardPaths::findExecutable(program).isEmpty()) return {};
    QProcess p;
    p.start(program, args);
    if (!p.waitForFinished(800)) {
        p.kill();
        p.waitForFinished(200);
        return {};
    }
    return QString::fromUtf8(p.readAllStandardOutput()).trimmed();
}

QString kdeColorScheme() {
    const QString file =
        QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + "/kdeglobals";
    if (!QFile::exists(file)) return {};
    return QSettings(file, QSettings::IniFormat)
        .value(QStringLiteral("General/ColorScheme"))
        .toString();
}

QPalette paletteFor(Theme::Scheme scheme) {
    QPalette p;
    const bool dark = scheme == Theme::Scheme::dark;
    const QColor window = dark ? QColor(0x24, 0x25, 0x28) : QColor(0xf6, 0xf6, 0xf8);
    const QColor base = dark ? QColor(0x2d, 0x2e, 0x32) : QColor(0xff, 0xff, 0xff);
    const QColor text = dark ? QColor(0xec, 0xec, 0xee) : QColor(0x1d, 0x1d, 0x1f);
    const QColor button = dark ? QColor(0x3a, 0x3b, 0x40) : QColor(0xfb, 0xfb, 0xfc);
    const QColor accent = dark ? QColor(0x4c, 0x8d, 0xff) : QColor(0x25, 0x63, 0xeb);
    const QColor disabled = dark ? QColor(0x80, 0x80, 0x86) : QColor(0xa0, 0xa0, 0xa6);
    p.setColor(QPalette::Window, window);
    p.setColor(QPalette::WindowText, text);
    p.setColor(QPalette::Base, base);
    p.setColor(QPalette::AlternateBase, dark ? QColor(0x33, 0x34, 0x39) : QColor(0xf1, 0xf2, 0xf5));
    p.setColor(QPalette::ToolTipBase, base);
    p.setColor(QPalette::ToolTipText, text);
    p.setColor(QPalette::PlaceholderText, disabled);
    p.setColor(QPalette::Text, text);
    p.setColor(QPalette::Button, button);
    p.setColor(QPalette::ButtonText, text);
    p.setColor(QPalette::BrightText, Qt::white);
    p.setColor(QPalette::Highlight, accent);
    p.setColor(QPalette::HighlightedText, Qt::white);
    p.setColor(QPalette::Link, accent);
    p.setColor(QPalette::Light, dark ? QColor(0x4a, 0x4b, 0x50) : Qt::white);
    p.setColor(QPalette::Midlight, dark ? QColor(0x40, 0x41, 0x46) : QColor(0xe4, 0xe4, 0xe8));
    p.setColor(QPalette::Mid, dark ? QColor(0x33, 0x34, 0x38) : QColor(0xc8, 0xc8, 0xcc));
    p.setColor(QPalette::Dark, dark ? QColor(0x1a, 0x1a, 0x1c) : QColor(0xa8, 0xa8, 0xae));
    p.setColor(QPalette::Shadow, Qt::black);
    for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        p.setColor(QPalette::Disabled, role, disabled);
    return p;
}

// Freedesktop icon names for each role, tried in order.
QStringList themeNames(const QString& role) {
    static const QHash<QString, QStringList> names = {
        {"home", {"go-home-symbolic", "go-home", "user-home"}},
        {"dictionary",
         {"accessories-dictionary-symbolic", "accessories-dictionary", "x-office-address-book"}},
        {"settings", {"emblem-system-symbolic", "preferences-system", "applications-system"}},
        {"copy", {"edit-copy-symbolic", "edit-copy"}},
        {"copied", {"object-select-symbolic", "emblem-ok-symbolic", "dialog-ok"}},
        {"delete", {"user-trash-symbolic", "edit-delete"}},
        {"remove", {"window-close-symbolic", "edit-delete-symbolic", "list-remove"}},
        {"person", {"avatar-default-symbolic", "system-users", "user-info"}},
        {"sign-out", {"system-log-out-symbolic", "system-log-out", "application-exit"}},
        {"sparkle", {"starred-symbolic", "starred", "emblem-new"}},
        {"check", {"emblem-ok-symbolic", "object-select-symbolic", "dialog-ok"}},
        {"warning", {"dialog-warning-symbolic", "dialog-warning"}},
        {"add", {"list-add-symbolic", "list-add"}},
        {"app", {"applications-accessories-symbolic", "accessories-text-editor", "text-x-generic"}},
        {"update", {"software-update-available-symbolic", "system-software-update"}},
    };
    return names.value(role);
}

QStyle::StandardPixmap fallbackFor(const QString& role) {
    if (role == QLatin1String("home")) return QStyle::SP_DirHomeIcon;
    if (role == QLatin1String("dictionary")) return QStyle::SP_FileDialogDetailedView;
    if (role == QLatin1String("settings")) return QStyle::SP_FileDialogInfoView;
    if (role == QLatin1String("copy")) return QStyle::SP_FileDialogNewFolder;
    if (role == QLatin1String("copied") || role == QLatin1String("check"))
        return QStyle::SP_DialogApplyButton;
    if (role == QLatin1String("delete")) return QStyle::SP_TrashIcon;
    if (role == QLatin1String("remove")) return QStyle::SP_TitleBarCloseButton;
    if (role == QLatin1String("sign-out")) return QStyle::SP_DialogCloseButton;
    if (role == QLatin1String("warning")) return QStyle::SP_MessageBoxWarning;
    if (role == QLatin1String("update")) return QStyle::SP_ArrowDown;
    return QStyle::SP_FileIcon;
}

}  // namespace

namespace Theme {

Scheme schemeFrom(const QString& override, const QString& gtkTheme, const QString& gnomeScheme,
                  const QString& kdeScheme) {
    if (override == QLatin1String("dark")) return Scheme::dark;
    if (override == QLatin1String("light")) return Scheme::light;
    if (gtkTheme.endsWith(QLatin1String(":dark"), Qt::CaseInsensitive)) return Scheme::dark;
    if (gnomeScheme.contains(QLatin1String("prefer-dark"))) return Scheme::dark;
    if (gnomeScheme.contains(QLatin1String("prefer-light"))) return Scheme::light;
    if (kdeScheme.contains(QLatin1String("dark"), Qt::CaseInsensitive)) return Scheme::dark;
    return Scheme::light;
}

Scheme desktopScheme() {
    const QString override = qEnvironmentVariable("VELMORA_COLOR_SCHEME");
    const QString gtk = qEnvironmentVariable("GTK_THEME");
    if (!override.isEmpty() || gtk.endsWith(QLatin1String(":dark"), Qt::CaseInsensitive))
        return schemeFrom(override, gtk, {}, {});
    const QString gnome = ask(QStringLiteral("gsettings"),
                              {QStringLiteral("get"), QStringLiteral("org.gnome.desktop.interface"),
                               QStringLiteral("color-scheme")});
    return schemeFrom({}, gtk, gnome, gnome.isEmpty() ? kdeColorScheme() : QString());
}

void apply(QApplication& app, Scheme scheme) {
    gScheme = scheme;
    app.setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    app.setPalette(paletteFor(scheme));
    // Freedesktop icons from the desktop's theme; Adwaita where the desktop names none.
    if (QIcon::themeName().isEmpty() || QIcon::themeName() == QLatin1String("hicolor"))
        QIcon::setThemeName(QStringLiteral("Adwaita"));
}

Scheme current() {
    return gScheme;
}

QColor accent() {
    return QApplication::palette().color(QPalette::Highlight);
}

QColor subtle() {
    return gScheme == Scheme::dark ? QColor(0xa4, 0xa4, 0xab) : QColor(0x6b, 0x6b, 0x73);
}

QColor cardFill() {
    return gScheme == Scheme::dark ? QColor(0x2d, 0x2e, 0x32) : QColor(0xff, 0xff, 0xff);
}

QColor separator() {
    return gScheme == Scheme::dark ? QColor(0x3c, 0x3d, 0x42) : QColor(0xe2, 0xe2, 0xe7);
}

QColor warning() {
    return gScheme == Scheme::dark ? QColor(0xf5, 0xb0, 0x41) : QColor(0xb4, 0x5d, 0x09);
}

QIcon icon(const QString& role) {
    for (const QString& name : themeNames(role))
        if (QIcon::hasThemeIcon(name)) return QIcon::fromTheme(name);
    return QApplication::style()->standardIcon(fallbackFor(role));
}

void title(QWidget* label, double scale, bool bold) {
    QFont f = label->font();
    if (f.pointSizeF() > 0) f.setPointSizeF(QApplication::font().pointSizeF() * scale);
    f.setBold(bold);
    label->setFont(f);
}

void secondary(QWidget* label) {
    QPalette p = label->palette();
    p.setColor(QPalette::WindowText, subtle());
    p.setColor(QPalette::Text, subtle());
    label->setPalette(p);
}

}  // namespace Theme
