#pragma once
#include <QList>
#include <QStringList>
#include <memory>

#include "platform/Permissions.h"
#include "platform/Platform.h"
#include "platform/Workspace.h"
#include "platform/fake/FakeAudio.h"
#include "platform/fake/FakeAudioOutput.h"

// Scripted desktop for tests and headless runs: tests set what the desktop
// "has" and read back what the app asked of it.
namespace platform::fake {

// Thread: main.
class FakeWorkspace : public Workspace {
  public:
    QList<RunningApp> apps;
    int frontmost = -1;  // index into apps, -1 for none
    QList<qint64> activated;
    QList<QUrl> opened;
    bool activateWorks = true;

    std::optional<RunningApp> frontmostApplication() override;
    QList<RunningApp> runningApplications() override { return apps; }
    bool activate(const RunningApp& app) override;
    bool open(const QUrl& url) override;

    // Makes one application the only one running, in front.
    RunningApp putInFront(qint64 pid, const QString& bundleId, const QString& name);
};

// Thread: main.
class FakePermissions : public Permissions {
  public:
    bool microphone = true;
    bool accessibility = true;
    // Answers `microphone` as it is now, from the main loop.
    void checkMicrophone(std::function<void(bool usable)> completion) override;
    bool accessibilityAvailable() override { return accessibility; }

  private:
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

std::unique_ptr<Platform> createFakePlatform();

// Typed access to the installed fake parts (the installed platform must be fake).
FakeWorkspace& workspace();
FakePermissions& permissions();
class FakeKeyMonitor;
FakeKeyMonitor& keyMonitor();
FakeAudioInput& audio();
FakeAudioOutput& speakers();
class FakeAccessibility;
class FakeKeySynth;
class FakePasteboard;
FakeAccessibility& accessibility();
FakeKeySynth& keys();
FakePasteboard& pasteboard();

}  // namespace platform::fake
