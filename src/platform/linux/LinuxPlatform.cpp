#include "platform/linux/LinuxPlatform.h"

#include "platform/linux/AtspiAccessibility.h"
#include "platform/linux/LinuxPermissions.h"
#include "platform/linux/LinuxWorkspace.h"
#include "platform/linux/PulseAudioInput.h"
#include "platform/linux/PulseAudioOutput.h"
#include "platform/linux/X11Clipboard.h"
#include "platform/linux/X11KeyMonitor.h"
#include "platform/linux/XKeySynth.h"
#include "platform/sound/FfmpegAudioFiles.h"

namespace platform::x11 {

std::unique_ptr<Platform> createLinuxPlatform() {
    DisplayPtr display = openDisplay();
    if (!display) return nullptr;
    auto p = std::make_unique<Platform>();
    p->name = QStringLiteral("x11");
    p->workspace = std::make_unique<LinuxWorkspace>(std::move(display));
    p->permissions = std::make_unique<LinuxPermissions>();
    p->keyMonitor = std::make_unique<X11KeyMonitor>();
    p->audioInput = std::make_unique<PulseAudioInput>();
    p->audioOutput = std::make_unique<PulseAudioOutput>();
    p->audioFiles = sound::makeAudioFiles();
    p->accessibility = std::make_unique<AtspiAccessibility>();
    // Each X user keeps a connection of its own: typing runs on the main thread,
    // the clipboard serves requests from its own thread.
    if (DisplayPtr keys = openDisplay()) p->keys = std::make_unique<XKeySynth>(std::move(keys));
    p->pasteboard = X11Clipboard::create();
    return p;
}

}  // namespace platform::x11
