#include "ui/HUDPreview.h"

#include <QApplication>
#include <QCursor>
#include <QTimer>
#include <QWidget>
#include <cmath>

#include "core/CommandLine.h"
#include "core/Log.h"
#include "ui/HUD.h"
#include "ui/HUDCopy.h"
#include "ui/HUDTuning.h"

namespace {

void at(double seconds, std::function<void()> fn) {
    QTimer::singleShot(static_cast<int>(std::lround(seconds * 1000)), qApp, std::move(fn));
}

int runLoop(double exitAfter) {
    at(exitAfter, [] { QCoreApplication::quit(); });
    const int rc = QApplication::exec();
    Log::flush();
    return rc;
}

}  // namespace

int HUDPreview::run(const LaunchOptions& o) {
    if (o.wave) {
        HUDTuning t = HUDTuning::load();
        t.content = PillContent::waveform;
        t.save();
    }
    HUD hud;
    hud.onUndoLearned = [](const QStringList& words) {
        Log::write(QStringLiteral("HUD preview: undo pressed for [") +
                   words.join(QStringLiteral(", ")) + QLatin1Char(']'));
    };

    if (o.learned) {
        const QList<QStringList> samples = HUDCopy::sampleLearned();
        for (int i = 0; i < samples.size() && i < 3; ++i)
            at(4.5 * i, [&hud, words = samples[i]] { hud.showLearned(words, true); });
        return runLoop(13.5);
    }

    hud.showPreview();
    const HUDTuning t = HUDTuning::load();
    const QRect frame = hud.panel()->frameGeometry();
    const QPoint mouse = QCursor::pos();
    Log::write(
        QStringLiteral("HUD preview: glass=false variant=%1 frame=(%2,%3 %4x%5) mouse=(%6,%7)")
            .arg(t.variant)
            .arg(frame.x())
            .arg(frame.y())
            .arg(frame.width())
            .arg(frame.height())
            .arg(mouse.x())
            .arg(mouse.y()));

    if (o.messages) {
        const QStringList messages = HUDCopy::messages();
        for (int i = 0; i < messages.size(); ++i) {
            at(1 + 2.0 * i, [&hud, message = messages[i]] {
                const HUD::Mode mode =
                    message == HUDCopy::didntHear() ? HUD::Mode::info : HUD::Mode::error;
                hud.show(mode, {}, {}, {}, message);
            });
        }
        return runLoop(27);
    }

    if (o.thinking) {
        at(1.5, [&hud] {
            hud.show(HUD::Mode::thinking, HUDCopy::previewWritten(), HUDCopy::previewPending(),
                     HUDCopy::previewPartial());
        });
        at(3.5, [&hud, nothing = o.nothing] {
            if (nothing) {
                hud.show(HUD::Mode::info, {}, {}, {}, HUDCopy::didntHear());
                hud.hide(HUDCopy::hideDelay(HUDCopy::didntHear()));
            } else {
                hud.hide(0);
            }
        });
    }
    return runLoop(o.seconds);
}
