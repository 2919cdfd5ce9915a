#pragma once
#include <QString>

// Where the application keeps its files on this desktop. The one place that maps
// the app's folders (logs, application data, settings) onto the XDG layout.
namespace Paths {
QString home();           // the user's home folder ($HOME)
QString logDir();         // $XDG_STATE_HOME/Velmora, default ~/.local/state/Velmora
QString logFile();        // logDir()/Velmora.log
QString appSupportDir();  // $XDG_DATA_HOME/Velmora, default ~/.local/share/Velmora
QString envFile();        // ~/.velmora.env
}  // namespace Paths
