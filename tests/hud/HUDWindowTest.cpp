// The pill on a real X display (Xvfb): what a user sees in each mode, where it
// sits, that it grows with its text and goes away after its delay, that the
// window being dictated into keeps the keyboard focus (with and without a window
// manager), that clicks pass through except on the learned notice, and that an
// idle pill runs no timer. Screenshots of every mode go to
// <build>/test-artifacts/hud/.
#include <gtest/gtest.h>

#include <QAbstractAnimation>
#include <QApplication>
#include <QDir>
#include <QPainter>
#include <QProcess>
#include <QScreen>
#include <QTimer>
#include <QWidget>
#include <QWindow>
#include <cmath>

#include "core/Config.h"
#include "core/Log.h"
#include "harness/Wait.h"
#include "platform/Platform.h"
#include "platform/select/PlatformSelect.h"
#include "support/TestEnv.h"
#include "ui/HUD.h"
#include "ui/HUDTuning.h"
#include "ui/LearnedNoticeView.h"
#include "ui/PillContentView.h"
#include "ui/WaveformView.h"

using namespace Qt::StringLiterals;

namespace {

using harness::waitUntil;

const QColor kBackdrop(0xd8, 0xde, 0xe8);

// Stands in for the application being dictated into: a plain light window that
// counts the clicks it gets.
class Target : public QWidget {
  public:
    int presses = 0;

  protected:
    void paintEvent(QPaintEvent*) override { QPainter(this).fillRect(rect(), kBackdrop); }
    void mousePressEvent(QMouseEvent*) override { ++presses; }
};

QString run(const QString& program, const QStringList& args, int timeoutMs = 5000) {
    QProcess p;
    p.start(program, args);
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished(1000);
        return {};
    }
    return QString::fromUtf8(p.readAllStandardOutput()).trimmed();
}

// Where `program` is installed, or empty.
QString installed(const char* program) {
    return run("sh", {"-c", u"command -v "_s + QLatin1String(program)});
}

bool haveXdotool() {
    static const bool have = !installed("xdotool").isEmpty();
    return have;
}

QString xdotool(const QStringList& args) {
    return run(u"xdotool"_s, args);
}

// The window holding the X keyboard focus, as the X server tells it.
quint64 focusedWindow() {
    return xdotool({u"getwindowfocus"_s}).toULongLong();
}

// A click at `at` (device pixels), as the user's mouse makes it.
void clickAt(const QPoint& at) {
    xdotool({u"mousemove"_s, QString::number(at.x()), QString::number(at.y()), u"click"_s, u"1"_s});
}

// The pointer off the pill, so nothing holds it up.
void pointerAway() {
    xdotool({u"mousemove"_s, u"5"_s, u"5"_s});
}

double dpr() {
    return QGuiApplication::primaryScreen()->devicePixelRatio();
}

QImage grabScreen() {
    QApplication::processEvents();
    return QGuiApplication::primaryScreen()->grabWindow(0).toImage().convertToFormat(
        QImage::Format_RGB32);
}

bool differs(QRgb c, const QColor& ref, int tolerance) {
    return std::abs(qRed(c) - ref.red()) > tolerance ||
           std::abs(qGreen(c) - ref.green()) > tolerance ||
           std::abs(qBlue(c) - ref.blue()) > tolerance;
}

// The pill as seen on screen: every pixel in the lowest two fifths that is not the backdrop
// (a window manager's desktop pop-up sits in the middle).
QRect pillBounds(const QImage& img, int tolerance = 40) {
    int left = img.width(), right = -1, top = img.height(), bottom = -1;
    for (int y = img.height() * 3 / 5; y < img.height(); ++y) {
        const auto* row = reinterpret_cast<const QRgb*>(img.constScanLine(y));
        for (int x = 0; x < img.width(); ++x) {
            if (!differs(row[x], kBackdrop, tolerance)) continue;
            left = std::min(left, x);
            right = std::max(right, x);
            top = std::min(top, y);
            bottom = std::max(bottom, y);
        }
    }
    return right < 0 ? QRect() : QRect(QPoint(left, top), QPoint(right, bottom));
}

// Light pixels inside the pill: its text, icon and bars.
int lightPixels(const QImage& img, const QRect& r) {
    int n = 0;
    for (int y = r.top(); y <= r.bottom(); ++y)
        for (int x = r.left(); x <= r.right(); ++x)
            if (qGray(img.pixel(x, y)) > 170) ++n;
    return n;
}

QString artifacts() {
    const QString dir = testenv::binaryDir() + u"/test-artifacts/hud"_s;
    QDir().mkpath(dir);
    return dir;
}

// Saves the pill with some of its surroundings, and the whole screen when asked.
void saveShot(const QImage& img, const QRect& pill, const QString& name, bool whole = false) {
    const QString suffix = dpr() > 1 ? u"@2x"_s : QString();
    const QRect around = (pill.isValid() ? pill : QRect(0, img.height() - 200, img.width(), 200))
                             .adjusted(-60, -60, 60, 60)
                             .intersected(img.rect());
    img.copy(around).save(artifacts() + QLatin1Char('/') + name + suffix + u".png"_s);
    if (whole) img.save(artifacts() + QLatin1Char('/') + name + suffix + u"-screen.png"_s);
}

struct Desk {
    Target target;
    Desk() {
        target.setWindowTitle(u"Dictation target"_s);
        target.setGeometry(QGuiApplication::primaryScreen()->availableGeometry());
        target.show();
        target.activateWindow();
        EXPECT_TRUE(waitUntil(
            [&] {
                if (!target.windowHandle() || !target.windowHandle()->isExposed()) return false;
                const QImage img = grabScreen();
                return !differs(img.pixel(img.width() / 2, img.height() * 3 / 4), kBackdrop, 8);
            },
            "the target window on screen"));
    }
    void focus() {
        target.raise();
        target.activateWindow();
        if (haveXdotool()) {
            const QString id = QString::number(target.winId());
            // Asked of a window manager when there is one, else given straight away (a manager
            // that has just quit may leave its claims behind).
            xdotool({u"windowactivate"_s, id});
            if (focusedWindow() != target.winId()) xdotool({u"windowfocus"_s, id});
        }
        EXPECT_TRUE(waitUntil([&] { return !haveXdotool() || focusedWindow() == target.winId(); },
                              "the target focused"));
    }
};

Desk& desk() {
    static Desk* d = [] {
        // The real desktop services: the compositing check and window frames.
        platform::Platform::install(platform::createPlatform());
        return new Desk;
    }();
    return *d;
}

// The pill's own animations (fade, cross-fade, width) are running.
bool animating(HUD& hud) {
    for (auto* a : hud.findChildren<QAbstractAnimation*>(Qt::FindDirectChildrenOnly))
        if (a->state() == QAbstractAnimation::Running) return true;
    for (QTimer* t : hud.findChildren<QTimer*>(Qt::FindDirectChildrenOnly))
        if (t->isActive() && !t->isSingleShot()) return true;
    return false;
}

// Waits until the pill is up and still, then until two looks in a row see it in the same
// place (the X server and a compositor draw on their own time), and gives the last look.
QImage look(HUD& hud) {
    EXPECT_TRUE(waitUntil(
        [&] {
            return hud.panel()->isVisible() && hud.panel()->windowHandle()->isExposed() &&
                   !animating(hud);
        },
        "the pill shown and still"));
    QImage img = grabScreen();
    EXPECT_TRUE(waitUntil(
        [&] {
            QImage next = grabScreen();
            const bool same = pillBounds(next) == pillBounds(img);
            img = std::move(next);
            return same;
        },
        "the same picture twice"));
    return img;
}

::testing::AssertionResult hidden(HUD& hud) {
    return waitUntil([&] { return !hud.panel()->isVisible(); }, "the pill hidden");
}

void expectAtRestingPlace(const QRect& pill, double width, double height) {
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    const double s = dpr();
    const HUDTuning t = HUDTuning::load();
    EXPECT_NEAR(pill.width(), width * s, 2 * s);
    EXPECT_NEAR(pill.height(), height * s, 2 * s);
    EXPECT_NEAR(pill.center().x(), (area.x() + area.width() / 2.0) * s, 2 * s);
    EXPECT_NEAR(pill.bottom() + 1, (area.y() + area.height() - t.bottomOffset) * s, 2 * s);
}

// Every timer and animation that belongs to the pill.
int runningTimers(HUD& hud) {
    int n = 0;
    for (QObject* root : {static_cast<QObject*>(&hud), static_cast<QObject*>(hud.panel())}) {
        for (QTimer* t : root->findChildren<QTimer*>())
            if (t->isActive()) ++n;
        for (QAbstractAnimation* a : root->findChildren<QAbstractAnimation*>())
            if (a->state() == QAbstractAnimation::Running) ++n;
    }
    return n;
}

// A desktop helper (window manager, compositor) for one test, stopped by its process id.
struct Helper {
    QProcess p;
    explicit Helper(const QString& program, const QStringList& args = {}) {
        p.start(program, args);
    }
    ~Helper() {
        if (p.state() == QProcess::NotRunning) return;
        p.terminate();
        if (!p.waitForFinished(3000)) {
            p.kill();
            p.waitForFinished(2000);
        }
    }
    bool running() const { return p.state() == QProcess::Running; }
};

class HUDWindow : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const QString& n : HUDTuning::names()) Config::d()->remove(u"hud."_s + n);
        desk().focus();
        before_ = haveXdotool() ? focusedWindow() : 0;
    }
    void expectFocusKept() {
        if (!haveXdotool()) return;
        // A window manager that has just started may pass the focus round once more; a pill
        // that took the focus would keep it.
        EXPECT_TRUE(waitUntil([&] { return focusedWindow() == desk().target.winId(); },
                              "the focus on the target"))
            << "focus on " << focusedWindow() << ": "
            << run(u"xprop"_s, {u"-id"_s, QString::number(focusedWindow()), u"WM_CLASS"_s,
                                u"WM_NAME"_s, u"_NET_WM_WINDOW_TYPE"_s})
                   .toStdString();
        EXPECT_EQ(before_, desk().target.winId());
        EXPECT_EQ(QGuiApplication::focusWindow(), desk().target.windowHandle());
    }
    quint64 before_ = 0;
};

}  // namespace

TEST_F(HUDWindow, EachModeLooksRightAndLeavesTheFocusAlone) {
    HUD hud;
    hud.setContext(std::nullopt, u"generic"_s, QIcon());

    hud.show(HUD::Mode::listening);
    QImage img = look(hud);
    QRect pill = pillBounds(img);
    ASSERT_TRUE(pill.isValid()) << "no pill on screen";
    expectAtRestingPlace(pill, 240, 46);
    EXPECT_GT(lightPixels(img, pill), 40);  // "Listening" and the cursor symbol
    saveShot(img, pill, u"listening-nothing-heard"_s, true);
    expectFocusKept();
    // Panels and pagers leave it out.
    const QString states =
        run(u"xprop"_s, {u"-id"_s, QString::number(hud.panel()->winId()), u"_NET_WM_STATE"_s});
    EXPECT_TRUE(states.contains(u"_NET_WM_STATE_SKIP_TASKBAR"_s)) << states.toStdString();
    EXPECT_TRUE(states.contains(u"_NET_WM_STATE_SKIP_PAGER"_s)) << states.toStdString();

    hud.show(HUD::Mode::listening, u"Hello"_s);
    img = look(hud);
    const QRect shortPill = pillBounds(img);
    expectAtRestingPlace(shortPill, 240, 46);
    saveShot(img, shortPill, u"listening-transcript-short"_s);

    hud.show(HUD::Mode::listening, u"Hello there, "_s, u"this sentence "_s, u"keeps going"_s);
    img = look(hud);
    const QRect longer = pillBounds(img);
    EXPECT_GT(longer.width(), shortPill.width() + 20 * dpr());  // the text region grew
    EXPECT_LE(longer.width(), 420 * dpr() + 2);
    EXPECT_NEAR(longer.bottom(), shortPill.bottom(), 1);
    EXPECT_NEAR(longer.center().x(), shortPill.center().x(), 2);
    saveShot(img, longer, u"listening-transcript"_s);

    QString many = u"We should ship the build on Friday\nonce the tests pass"_s;
    for (int i = 0; i < 6; ++i) many += u" and then some more words"_s;
    many += u" until the very end"_s;
    hud.show(HUD::Mode::listening, many);
    img = look(hud);
    const QRect capped = pillBounds(img);
    EXPECT_NEAR(capped.width(), 420 * dpr(), 2 * dpr());
    auto* line = hud.panel()->findChild<TextLineView*>();
    ASSERT_TRUE(line);
    EXPECT_TRUE(line->visibleText().startsWith(u"…"_s));
    EXPECT_TRUE(line->visibleText().endsWith(u"until the very end"_s));
    EXPECT_FALSE(line->visibleText().contains(QLatin1Char('\n')));
    saveShot(img, capped, u"listening-transcript-long"_s);

    hud.show(HUD::Mode::thinking, many);
    img = look(hud);
    pill = pillBounds(img);
    expectAtRestingPlace(pill, 240, 46);  // shrinks back to the resting width
    EXPECT_GT(lightPixels(img, pill), 40);
    saveShot(img, pill, u"thinking"_s);

    hud.show(HUD::Mode::error, {}, {}, {}, u"Can't reach the mic, try relaunching me"_s);
    img = look(hud);
    pill = pillBounds(img);
    EXPECT_GT(pill.width(), 240 * dpr());
    EXPECT_GT(lightPixels(img, pill), 80);
    saveShot(img, pill, u"error"_s);

    expectFocusKept();

    // Hidden after its delay, and then nothing of the pill keeps running. Without a
    // compositor it goes at once, never through a half-opaque (black) window.
    hud.hide(0.3);
    EXPECT_TRUE(hud.panel()->isVisible());
    double lowest = 1.0;
    ASSERT_TRUE(waitUntil(
        [&] {
            lowest = std::min(lowest, hud.panel()->windowOpacity());
            return !hud.panel()->isVisible();
        },
        "the pill hidden"));
    EXPECT_EQ(lowest, 1.0);
    ASSERT_TRUE(hidden(hud));
    EXPECT_TRUE(waitUntil([] { return !pillBounds(grabScreen()).isValid(); }, "no pill on screen"));
    EXPECT_EQ(runningTimers(hud), 0);
    expectFocusKept();
}

TEST_F(HUDWindow, WaveformBarsMoveWithTheLevelAndStopWhenHidden) {
    HUD hud;
    // Written straight into the settings (as a settings page might): read at the next showing.
    Config::d()->setValue(u"hud.content"_s, u"waveform"_s);
    hud.show(HUD::Mode::listening);
    // Levels as the microphone sends them: every 20 ms, speech-like.
    QTimer mic;
    double t = 0;
    QObject::connect(&mic, &QTimer::timeout, [&] {
        t += 0.02;
        hud.setLevel(0.002 + 0.08 * std::abs(std::sin(7.3 * t) + 0.8 * std::sin(3.1 * t + 1)));
    });
    mic.start(20);
    QImage img = look(hud);
    QRect pill = pillBounds(img);
    expectAtRestingPlace(pill, 116, 46);
    auto* wave = hud.panel()->findChild<WaveformView*>();
    ASSERT_TRUE(wave);
    EXPECT_TRUE(wave->refreshing());
    const qint64 frames = wave->framesDrawn();
    EXPECT_TRUE(waitUntil([&] { return wave->framesDrawn() - frames > 10; }, "frames drawn"));
    // The bars reach well above a resting dot.
    EXPECT_TRUE(waitUntil(
        [&] {
            double tallest = 0;
            for (double h : wave->model.heights) tallest = std::max(tallest, h);
            return tallest > 0.2;
        },
        "a tall bar"));
    img = grabScreen();
    saveShot(img, pillBounds(img), u"listening-waveform"_s, true);
    mic.stop();
    expectFocusKept();

    hud.hide(0);
    ASSERT_TRUE(hidden(hud));
    EXPECT_FALSE(wave->refreshing());
    EXPECT_EQ(runningTimers(hud), 0);
    HUDTuning::set(u"content"_s, u"transcript"_s);
}

TEST_F(HUDWindow, LearnedNoticeUndoTakesTheClickButNotTheFocus) {
    HUD hud;
    QList<QStringList> undone;
    hud.onUndoLearned = [&](const QStringList& w) { undone << w; };
    const QStringList words = {u"Velmora"_s, u"Kubernetes"_s, u"Siobhan"_s};
    hud.showLearned(words, true);
    QImage img = look(hud);
    QRect pill = pillBounds(img);
    ASSERT_TRUE(pill.isValid());
    EXPECT_GT(pill.height(), 46 * dpr() + 10);  // words and caption on their own lines
    saveShot(img, pill, u"learned"_s);
    expectFocusKept();

    auto* button = hud.panel()->findChild<UndoRingButton*>();
    ASSERT_TRUE(button);
    ASSERT_TRUE(button->isVisible());
    if (!haveXdotool()) GTEST_SKIP() << "xdotool is needed to click";

    // A click on the notice's words (not the button) stays with the notice.
    const int pressesBefore = desk().target.presses;
    const QPoint words0 =
        hud.panel()->findChild<LearnedNoticeView*>()->mapToGlobal(QPoint(30, 20)) * dpr();
    clickAt(words0);
    // The pointer is over the notice: the countdown waits.
    EXPECT_TRUE(waitUntil([&] { return !button->counting(); }, "the countdown held"));

    const QPoint centre = button->mapToGlobal(button->rect().center()) * dpr();
    clickAt(centre);
    ASSERT_TRUE(waitUntil([&] { return !undone.isEmpty(); }, "the undo"));
    EXPECT_EQ(undone.first(), words);
    // The first click came before this one: had it gone through, the target would have it.
    EXPECT_EQ(desk().target.presses, pressesBefore);
    img = look(hud);
    saveShot(img, pillBounds(img), u"learned-undone"_s);
    expectFocusKept();
    // A second press does nothing; once the pointer leaves, it goes away by itself.
    xdotool({u"click"_s, u"1"_s});
    pointerAway();
    ASSERT_TRUE(hidden(hud));
    EXPECT_EQ(undone.size(), 1);
    EXPECT_EQ(runningTimers(hud), 0);
    expectFocusKept();
}

TEST_F(HUDWindow, ClicksGoThroughThePillToTheAppUnderIt) {
    if (!haveXdotool()) GTEST_SKIP() << "xdotool is needed to click";
    HUD hud;
    hud.show(HUD::Mode::listening, u"Clicks pass through me"_s);
    const QRect pill = pillBounds(look(hud));
    ASSERT_TRUE(pill.isValid());
    const int before = desk().target.presses;
    clickAt(pill.center());
    EXPECT_TRUE(waitUntil([&] { return desk().target.presses == before + 1; }, "the click"));
    pointerAway();
    hud.hide(0);
    EXPECT_TRUE(hidden(hud));
}

TEST_F(HUDWindow, UnderAWindowManagerTheFocusStaysToo) {
    if (!haveXdotool()) GTEST_SKIP() << "xdotool is needed to read the focus";
    const QString wm = installed("openbox");
    if (wm.isEmpty()) GTEST_SKIP() << "openbox is not installed";
    Helper openbox(wm, {u"--sm-disable"_s});
    ASSERT_TRUE(openbox.p.waitForStarted(5000));
    // Ready when the root names a live check window that says it is Openbox.
    const QString probe = QStringLiteral(
        "id=$(xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | awk '{print $5}'); "
        "[ -n \"$id\" ] && xprop -id \"$id\" _NET_WM_NAME 2>/dev/null | grep -q Openbox && echo "
        "yes");
    const bool managed = waitUntil(
        [&] {
            return !openbox.running() || !run(u"sh"_s, {u"-c"_s, probe}).isEmpty();
        },
        "openbox managing the screen");
    if (!managed || !openbox.running()) GTEST_SKIP() << "another window manager is running";
    // Focus given behind the manager's back is taken away again once it has settled: wait
    // until the manager itself names the target active.
    auto activeWindow = [] {
        const QString out = run(u"xprop"_s, {u"-root"_s, u"_NET_ACTIVE_WINDOW"_s});
        return out.section(QLatin1Char(' '), -1).trimmed().toULongLong(nullptr, 16);
    };
    ASSERT_TRUE(waitUntil(
        [&] {
            const quint64 target = desk().target.winId();
            if (focusedWindow() != target || activeWindow() != target) desk().focus();
            return focusedWindow() == target && activeWindow() == target;
        },
        "the target active under openbox"));
    before_ = desk().target.winId();

    HUD hud;
    hud.show(HUD::Mode::listening);
    QImage img = look(hud);
    QRect pill = pillBounds(img);
    ASSERT_TRUE(pill.isValid());
    expectAtRestingPlace(pill, 240, 46);
    saveShot(img, pill, u"wm-listening"_s, true);
    {
        SCOPED_TRACE("focus check 1");
        expectFocusKept();
    }

    // Switching to another desktop while it is up: the pill comes along, the app stays.
    auto viewable = [](quint64 w) {
        return run(u"xwininfo"_s, {u"-id"_s, QString::number(w)}).contains(u"IsViewable"_s);
    };
    if (xdotool({u"get_num_desktops"_s}).toInt() >= 2) {
        xdotool({u"set_desktop"_s, u"1"_s});
        EXPECT_TRUE(waitUntil([&] { return !viewable(desk().target.winId()); }, "the app away"));
        EXPECT_TRUE(waitUntil([&] { return viewable(hud.panel()->winId()); }, "the pill along"));
        xdotool({u"set_desktop"_s, u"0"_s});
        EXPECT_TRUE(waitUntil([&] { return viewable(desk().target.winId()); }, "the app back"));
        desk().focus();
    }
    hud.show(HUD::Mode::thinking, u"words"_s);
    look(hud);
    {
        SCOPED_TRACE("focus check 2");
        expectFocusKept();
    }

    QStringList got;
    hud.onUndoLearned = [&](const QStringList& w) { got = w; };
    hud.showLearned({u"Okonkwo"_s}, true);
    img = look(hud);
    saveShot(img, pillBounds(img), u"wm-learned"_s);
    auto* button = hud.panel()->findChild<UndoRingButton*>();
    ASSERT_TRUE(button);
    const QPoint centre = button->mapToGlobal(button->rect().center()) * dpr();
    clickAt(centre);
    EXPECT_TRUE(waitUntil([&] { return got == QStringList{u"Okonkwo"_s}; }, "the undo"));
    {
        SCOPED_TRACE("focus check 3");
        expectFocusKept();
    }
    pointerAway();
    hud.hide(0);
    EXPECT_TRUE(hidden(hud));
}

TEST_F(HUDWindow, UnderACompositorThePillIsTranslucentWithASoftShadow) {
    const QString program = installed("xcompmgr");
    if (program.isEmpty()) GTEST_SKIP() << "xcompmgr is not installed";
    Helper compositor(program);
    ASSERT_TRUE(compositor.p.waitForStarted(5000));
    platform::Workspace& ws = *platform::Platform::current().workspace;
    if (!waitUntil([&] { return ws.compositing() || !compositor.running(); }, "compositing") ||
        !compositor.running())
        GTEST_SKIP() << "no compositing on this display";
    desk().focus();
    before_ = haveXdotool() ? focusedWindow() : 0;

    HUD hud;
    hud.show(HUD::Mode::listening, u"Seen through glass"_s);
    QImage img = look(hud);
    const QRect pill = pillBounds(img, 110);  // the body, without its shadow
    ASSERT_TRUE(pill.isValid());
    expectAtRestingPlace(pill, 240, 46);
    // A soft shadow just under the pill, fading out further down.
    const int x = pill.center().x();
    const int near = qGray(img.pixel(x, pill.bottom() + 4 * dpr()));
    const int far = qGray(
        img.pixel(x, std::min(img.height() - 1, pill.bottom() + static_cast<int>(26 * dpr()))));
    EXPECT_LT(near, qGray(kBackdrop.rgb()) - 6);
    EXPECT_GT(far, near);
    // The glass lets the backdrop through a little: lighter than its own colour.
    const int glass = qGray(img.pixel(pill.right() - 8 * dpr(), pill.center().y()));
    EXPECT_GT(glass, 35);
    EXPECT_LT(glass, 120);
    saveShot(img, pill, u"composited-listening"_s);
    expectFocusKept();

    if (haveXdotool()) {
        // Without a cut-out window, clicks still go through: the window takes no input.
        const int before = desk().target.presses;
        clickAt(pill.center());
        EXPECT_TRUE(waitUntil([&] { return desk().target.presses == before + 1; }, "the click"));
        pointerAway();
    }

    hud.showLearned({u"Anya Taylor"_s, u"Qwen"_s}, true);
    img = look(hud);
    saveShot(img, pillBounds(img, 110), u"composited-learned"_s);
    expectFocusKept();
    hud.hide(0);
    ASSERT_TRUE(hidden(hud));
    EXPECT_EQ(runningTimers(hud), 0);
}
