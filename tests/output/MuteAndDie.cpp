// Mutes the speakers of the PulseAudio daemon in PULSE_SERVER the way a dictation does, then
// dies at once, as a crash while listening would.
#include <signal.h>

#include <QCoreApplication>

#include "core/Log.h"
#include "core/SystemAudio.h"
#include "platform/Platform.h"
#include "platform/fake/FakePlatform.h"
#include "platform/linux/PulseAudioOutput.h"

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    auto p = platform::fake::createFakePlatform();
    p->audioOutput = std::make_unique<platform::x11::PulseAudioOutput>();
    platform::Platform::install(std::move(p));
    SystemAudio::muteIfPlaying();
    Log::flush();
    raise(SIGKILL);
    return 0;
}
