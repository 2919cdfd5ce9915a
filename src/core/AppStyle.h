#pragma once
#include <QList>
#include <QString>
#include <optional>

#include "platform/Workspace.h"

// The kind of application dictated into, which decides the cleanup style.
struct AppStyle {
    QString id;              // sent to the cleanup service as "style"
    QString label;           // display label (Chinese)
    bool blankLines = true;  // handed to clip filling

    bool operator==(const AppStyle&) const = default;

    // Style of a running application: its bundle identifier's first matching
    // prefix in table order, else "generic". No app or no identifier: "generic".
    static AppStyle forApp(const std::optional<platform::RunningApp>& app);
    static AppStyle forBundleId(const QString& bundleId);
    // The application-table row whose label equals `label` exactly.
    static std::optional<AppStyle> named(const QString& label);
    // Any style by id: the application table, "generic" and the website-only styles.
    static std::optional<AppStyle> withId(const QString& id);
    static AppStyle generic();

    // The application table in match order.
    static const QList<struct AppStyleRow>& table();
};

// One row of the application table: the style and the identifier prefixes it covers.
struct AppStyleRow {
    AppStyle style;
    QList<QString> prefixes;
};
