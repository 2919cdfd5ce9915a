#pragma once
#include <QString>
#include <memory>

namespace platform {

class Workspace;
class Permissions;
class KeyMonitor;
class AudioInput;
class AudioOutput;
class AudioFiles;
class Accessibility;
class KeySynth;
class Pasteboard;

// The desktop services the application uses, chosen once at start (the X11
// backend when a display opens, else the scripted fake). Owned for the whole run.
// Thread: installed and replaced on the main thread, while nothing else uses it; each
// service then says which threads may call it.
struct Platform {
    QString name;  // "x11" or "fake"
    std::unique_ptr<Workspace> workspace;
    std::unique_ptr<Permissions> permissions;
    std::unique_ptr<KeyMonitor> keyMonitor;
    std::unique_ptr<AudioInput> audioInput;    // microphone engines and their converters
    std::unique_ptr<AudioOutput> audioOutput;  // the speakers, silenced while dictating
    std::unique_ptr<AudioFiles> audioFiles;    // compressed recordings
    std::unique_ptr<Accessibility> accessibility;
    std::unique_ptr<KeySynth> keys;
    std::unique_ptr<Pasteboard> pasteboard;

    Platform();
    ~Platform();
    Platform(Platform&&) noexcept;
    Platform& operator=(Platform&&) noexcept;

    // The process-wide instance; install() must have run first.
    static Platform& current();
    static bool installed();
    static void install(std::unique_ptr<Platform> platform);
};

}  // namespace platform
