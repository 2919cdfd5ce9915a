#pragma once
#include <QList>
#include <QString>
#include <QStringList>
#include <optional>

#include "core/AppStyle.h"
#include "platform/Workspace.h"

// A website with a cleanup style of its own.
struct WebSite {
    QStringList hosts;  // a page matches a host or any subdomain of it
    QString label;      // display name, also sent as the app name
    AppStyle style;
    QString icon;  // icon resource name
};

// The site in a browser's front tab, read over the accessibility bus.
namespace WebContext {

struct Match {
    WebSite site;
    QString url;  // the document URL read from the browser
};

// The known websites, in match order.
const QList<WebSite>& sites();
// Lower-cased bundle identifiers of the browsers whose tabs are looked at.
const QStringList& browsers();
bool isBrowser(const QString& bundleId);
// The first site listing `host` or a parent domain of it (case-insensitive).
std::optional<WebSite> siteForHost(const QString& host);
// Reads the front tab's URL of a browser and looks its host up; logs the outcome.
std::optional<Match> detect(const std::optional<platform::RunningApp>& app);

}  // namespace WebContext
