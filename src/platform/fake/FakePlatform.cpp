#include "platform/fake/FakePlatform.h"

#include "core/Log.h"
#include "core/MainThread.h"
#include "platform/fake/FakeDelivery.h"
#include "platform/fake/FakeKeyMonitor.h"
#include "platform/sound/FfmpegAudioFiles.h"

namespace platform::fake {

std::optional<RunningApp> FakeWorkspace::frontmostApplication() {
    if (frontmost < 0 || frontmost >= apps.size()) return std::nullopt;
    return apps[frontmost];
}

RunningApp FakeWorkspace::putInFront(qint64 pid, const QString& bundleId, const QString& name) {
    RunningApp app;
    app.pid = pid;
    app.bundleId = bundleId;
    app.name = name;
    apps = {app};
    frontmost = 0;
    return app;
}

bool FakeWorkspace::activate(const RunningApp& app) {
    if (!activateWorks) return false;
    activated.append(app.pid);
    for (int i = 0; i < apps.size(); ++i)
        if (apps[i].pid == app.pid) frontmost = i;
    return true;
}

bool FakeWorkspace::open(const QUrl& url) {
    opened.append(url);
    return true;
}

void FakePermissions::checkMicrophone(std::function<void(bool usable)> completion) {
    MainThread::post([alive = std::weak_ptr<bool>(alive_), completion = std::move(completion),
                      usable = microphone] {
        if (alive.lock()) completion(usable);
    });
}

std::unique_ptr<Platform> createFakePlatform() {
    auto p = std::make_unique<Platform>();
    p->name = QStringLiteral("fake");
    p->workspace = std::make_unique<FakeWorkspace>();
    p->permissions = std::make_unique<FakePermissions>();
    p->keyMonitor = std::make_unique<FakeKeyMonitor>();
    auto audio = std::make_unique<FakeAudioInput>();
    // A headless run can be given a microphone: VQ_FAKE_MIC names a sound file to play.
    if (const QString mic = qEnvironmentVariable("VQ_FAKE_MIC"); !mic.isEmpty()) {
        if (auto error = audio->playFile(mic))
            Log::write(QStringLiteral("Fake mic: can't play ") + mic + QStringLiteral(" (") +
                       *error + QStringLiteral(")"));
    }
    p->audioInput = std::move(audio);
    p->audioOutput = std::make_unique<FakeAudioOutput>();
    p->audioFiles = sound::makeAudioFiles();
    p->accessibility = std::make_unique<FakeAccessibility>();
    p->keys = std::make_unique<FakeKeySynth>();
    p->pasteboard = std::make_unique<FakePasteboard>();
    return p;
}

FakeWorkspace& workspace() {
    return static_cast<FakeWorkspace&>(*Platform::current().workspace);
}
FakeKeyMonitor& keyMonitor() {
    return static_cast<FakeKeyMonitor&>(*Platform::current().keyMonitor);
}
FakePermissions& permissions() {
    return static_cast<FakePermissions&>(*Platform::current().permissions);
}
FakeAudioInput& audio() {
    return static_cast<FakeAudioInput&>(*Platform::current().audioInput);
}
FakeAudioOutput& speakers() {
    return static_cast<FakeAudioOutput&>(*Platform::current().audioOutput);
}
FakeAccessibility& accessibility() {
    return static_cast<FakeAccessibility&>(*Platform::current().accessibility);
}
FakeKeySynth& keys() {
    return static_cast<FakeKeySynth&>(*Platform::current().keys);
}
FakePasteboard& pasteboard() {
    return static_cast<FakePasteboard&>(*Platform::current().pasteboard);
}

}  // namespace platform::fake
