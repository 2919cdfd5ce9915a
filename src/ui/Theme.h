#pragma once
#include <QColor>
#include <QIcon>
#include <QString>

class QApplication;
class QWidget;

// The look of our windows: Qt's Fusion style with a palette of ours, light or dark as the
// desktop's colour scheme asks, in the system font. Thread: main.
namespace Theme {

enum class Scheme { light, dark };

// The desktop's preference: VELMORA_COLOR_SCHEME ("light"/"dark") first, then GTK_THEME's
// ":dark", then the GNOME setting "color-scheme" and KDE's colour scheme name; light when
// nothing says.
Scheme desktopScheme();
// What `desktopScheme` decides from the given answers (tests).
Scheme schemeFrom(const QString& override, const QString& gtkTheme, const QString& gnomeScheme,
                  const QString& kdeScheme);

// Sets the style and palette on the application. Once, before the windows are made.
void apply(QApplication& app, Scheme scheme);
Scheme current();

// Colours beyond the palette.
QColor accent();
QColor subtle();     // secondary text
QColor cardFill();   // cards and the sidebar
QColor separator();  // hairlines
QColor warning();

// An icon by its role, from the desktop's icon theme with a built-in fallback: "home",
// "dictionary", "settings", "copy", "copied", "delete", "remove", "person", "sign-out", "sparkle",
// "check", "warning", "add", "update".
QIcon icon(const QString& role);

// Marks a label as a title of the given relative size (1 = body).
void title(QWidget* label, double scale, bool bold = true);
void secondary(QWidget* label);

}  // namespace Theme
