// Delivery into real windows: a private session and accessibility bus and our Qt target
// window on the X server the tests run under.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QThread>

#include "QtPrint.h"
#include "core/Log.h"
#include "core/TextInjector.h"
#include "harness/DesktopSession.h"
#include "harness/Wait.h"
#include "platform/Accessibility.h"
#include "platform/KeySynth.h"
#include "platform/Pasteboard.h"
#include "platform/Permissions.h"
#include "platform/fake/FakePlatform.h"
#include "platform/linux/LinuxPlatform.h"
#include "platform/linux/X11KeyMonitor.h"
#include "platform/linux/X11Util.h"
#include "support/TestEnv.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>

namespace {

using harness::waitUntil;
using TextInjector::Focus;

QString toolPath(const char* name) {
    return testenv::binaryDir() + QStringLiteral("/tests/delivery/") + QString::fromUtf8(name);
}

bool run(const QString& program, const QStringList& args) {
    QProcess p;
    p.start(program, args);
    return p.waitForFinished(10000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

// The server's whole keymap in xkbcomp's text form.
QByteArray keymapText() {
    QProcess p;
    p.start(QStringLiteral("xkbcomp"),
            {QStringLiteral("-xkb"), qEnvironmentVariable("DISPLAY"), QStringLiteral("-")});
    return p.waitForFinished(10000) ? p.readAllStandardOutput() : QByteArray();
}

class Desktop : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (qEnvironmentVariableIsEmpty("DISPLAY")) {
            skipReason = "no X display (run under xvfb-run)";
            return;
        }
        if (!holdXServer()) {
            skipReason = "the X server does not accept connections";
            return;
        }
        session = new DesktopSession;
        if (!session->start(150)) {
            skipReason = session->error.toStdString();
            return;
        }
        QProcess* p = session->launch(toolPath("velmora_delivery_target"), {});
        if (!p) {
            skipReason = "the target window did not start";
            return;
        }
        target = new JsonChild(p);
        const QJsonObject ready = target->waitFor(QStringLiteral("ready"));
        targetWindow = ready.value(QStringLiteral("window")).toString().toULong();
        platform::Platform::install(platform::x11::createLinuxPlatform());
        display = platform::x11::openDisplay();
    }

    static void TearDownTestSuite() {
        TextInjector::finishPendingRestores();
        display.reset();
        platform::Platform::install(platform::fake::createFakePlatform());
        if (session) session->stop();
        delete target;
        delete session;
        target = nullptr;
        session = nullptr;
    }

    void SetUp() override {
        if (!skipReason.empty()) GTEST_SKIP() << skipReason;
        ASSERT_TRUE(focusTarget(QStringLiteral("entry")));
        target->ask({{QStringLiteral("cmd"), QStringLiteral("clear")}});
    }

    // Gives the target window the X input focus and one of its widgets the keyboard focus.
    static bool focusTarget(const QString& widget) {
        QJsonObject last;
        if (::focusTarget(display.get(), targetWindow, *target, widget, &last)) return true;
        ADD_FAILURE() << "target state: "
                      << QJsonDocument(last).toJson(QJsonDocument::Compact).toStdString();
        return false;
    }

    static platform::RunningApp targetApp() {
        platform::RunningApp a;
        a.pid = target->process()->processId();
        a.bundleId = QStringLiteral("org.example.velmora-target");
        a.name = QStringLiteral("velmora-target");
        a.window = targetWindow;
        return a;
    }

    static QString entryText() {
        return target->ask({{QStringLiteral("cmd"), QStringLiteral("text")}})
            .value(QStringLiteral("text"))
            .toString();
    }

    // Each look asks the target, which paces the looks.
    static bool entryBecomes(const QString& expected) {
        QString last;
        const auto r = waitUntil([&] { return (last = entryText()) == expected; },
                                 QStringLiteral("the entry to hold \"%1\"").arg(expected));
        if (!r) ADD_FAILURE() << r.message() << "; it holds \"" << last.toStdString() << "\"";
        return static_cast<bool>(r);
    }

    static QJsonObject targetClipboard() {
        return target->ask({{QStringLiteral("cmd"), QStringLiteral("clip")}});
    }

    static void setLayout(const char* layout) {
        ASSERT_TRUE(run(QStringLiteral("setxkbmap"),
                        {QStringLiteral("-layout"), QString::fromUtf8(layout)}));
    }

    // Whether the server has every one of these keys down.
    static bool keysHeld(const QStringList& names) {
        char down[32] = {};
        XQueryKeymap(display.get(), down);
        return std::all_of(names.begin(), names.end(), [&](const QString& n) {
            const KeyCode c =
                XKeysymToKeycode(display.get(), XStringToKeysym(n.toLatin1().constData()));
            return c != 0 && (down[c / 8] & (1 << (c % 8)));
        });
    }

    static bool capsLocked() {
        XkbStateRec s{};
        XkbGetState(display.get(), XkbUseCoreKbd, &s);
        return s.locked_mods & LockMask;
    }

    static inline std::string skipReason;
    static inline DesktopSession* session = nullptr;
    static inline JsonChild* target = nullptr;
    static inline unsigned long targetWindow = 0;
    static inline platform::x11::DisplayPtr display;
};

TEST_F(Desktop, ProbeTellsAnEntryFromAButton) {
    EXPECT_TRUE(platform::Platform::current().permissions->accessibilityAvailable());
    // The target joins the accessibility bus on its own time.
    Focus f;
    EXPECT_TRUE(waitUntil([&] { return (f = TextInjector::focus(targetApp())) == Focus::text(); },
                          "the entry seen as text"))
        << f.detail.toStdString();

    // The entry read back on the reader's thread: its text, the caret, and whether it
    // still has the focus.
    auto* ax = platform::Platform::current().accessibility.get();
    ASSERT_TRUE(TextInjector::type(QStringLiteral("read me")));
    ASSERT_TRUE(entryBecomes(QStringLiteral("read me")));
    const auto entry = ax->focusedElement(targetApp().pid);
    ASSERT_TRUE(entry.value);
    auto read = [&](std::optional<bool>* focused) {
        std::optional<platform::AxResult<platform::FieldText>> out;
        ax->readField(*entry.value, 300,
                      [&](platform::AxResult<platform::FieldText> field, std::optional<bool> foc) {
                          out = std::move(field);
                          *focused = foc;
                      });
        EXPECT_TRUE(waitUntil([&] { return out.has_value(); }, "the field read back"));
        return out.value_or(platform::AxResult<platform::FieldText>::failed(-1));
    };
    std::optional<bool> focused;
    auto field = read(&focused);
    ASSERT_TRUE(field.value);
    EXPECT_EQ(field.value->text, QStringLiteral("read me"));
    ASSERT_TRUE(field.value->selection);
    EXPECT_EQ(field.value->selection->location, 7);
    EXPECT_EQ(focused, std::optional<bool>(true));

    ASSERT_TRUE(focusTarget(QStringLiteral("button")));
    EXPECT_TRUE(waitUntil(
        [&] { return (f = TextInjector::focus(targetApp())).kind == Focus::Kind::notText; },
        "the button seen"));
    EXPECT_EQ(f, Focus::notText(QStringLiteral("push button")));
    field = read(&focused);
    EXPECT_TRUE(field.value);
    EXPECT_EQ(focused, std::optional<bool>(false));

    // A process that is not on the bus.
    platform::RunningApp ghost = targetApp();
    ghost.pid = 999999;
    EXPECT_EQ(TextInjector::focus(ghost), Focus::unsure(QStringLiteral("error 0")));
}

// Typing runs beside the main thread: dictations handed over back to back arrive whole and
// in order, and each one's end is told on the main thread. An emoji sits right on the
// 20-unit cut, with capitals and shifted symbols.
TEST_F(Desktop, BackgroundTypingKeepsTheOrder) {
    const QString first = QString::fromUtf8("first: naïve café 你好 — ");
    const QString second =
        QString::fromUtf8("ABCDEFGHIJKLMNOPQRS😀TUV ~!@#$%^&*()_+{}|:\"<>? ÀÉÎÕÜ x²");
    QStringList done;
    for (const QString& text : {first, second})
        TextInjector::typeAsync(text, [&done, text](bool ok) {
            EXPECT_TRUE(ok);
            EXPECT_EQ(QThread::currentThread(), QCoreApplication::instance()->thread());
            done << text;
        });
    EXPECT_TRUE(waitUntil([&] { return done.size() == 2; }, "both dictations typed"));
    EXPECT_EQ(done, (QStringList{first, second}));
    entryBecomes(first + second);
}

TEST_F(Desktop, NonUsLayoutsAndAKeymapReload) {
    // Typing leaves its keycodes mapped for a moment; a new keymap loaded then
    // must neither be written over nor leave stale keycodes behind.
    EXPECT_TRUE(TextInjector::type(QStringLiteral("yz")));
    entryBecomes(QStringLiteral("yz"));
    setLayout("de");
    const QByteArray german0 = keymapText();
    ASSERT_FALSE(german0.isEmpty());
    const QString german = QString::fromUtf8("yz YZ Grüße ÄÖÜ ß € @ {} | <> ½ ♥ ∞ 😀 ");
    EXPECT_TRUE(TextInjector::type(german));
    EXPECT_EQ(platform::Platform::current().keys->inputSource(), QStringLiteral("xkb:de"));
    // The keycodes lent to the typing go back empty, and every key around them keeps its
    // levels and groups.
    EXPECT_TRUE(waitUntil([&] { return keymapText() == german0; }, "the keymap as it was"));
    setLayout("fr");
    const QString french = QString::fromUtf8("azerty qwerty AQWZ àéèçù œ « » 1234");
    EXPECT_TRUE(TextInjector::type(french));
    // A layout with no Latin V: Ctrl+V goes out on a lent keycode.
    setLayout("ru");
    ASSERT_FALSE(QString::fromLatin1(keymapText()).contains(QRegularExpression(R"(\[\s*v,)")));
    EXPECT_TRUE(TextInjector::paste(QStringLiteral(" pasted"), 100, true));
    entryBecomes(QStringLiteral("yz") + german + french + QStringLiteral(" pasted"));
    TextInjector::finishPendingRestores();
    setLayout("us");
}

TEST_F(Desktop, CapsLockDoesNotTurnTheCase) {
    ASSERT_TRUE(
        run(QStringLiteral("xdotool"), {QStringLiteral("key"), QStringLiteral("Caps_Lock")}));
    ASSERT_TRUE(capsLocked());
    const QString text = QStringLiteral("lower UPPER Mixed");
    EXPECT_TRUE(TextInjector::type(text));
    const bool ok = entryBecomes(text);
    EXPECT_TRUE(capsLocked());  // the user's lock is back
    ASSERT_TRUE(
        run(QStringLiteral("xdotool"), {QStringLiteral("key"), QStringLiteral("Caps_Lock")}));
    EXPECT_FALSE(capsLocked());
    EXPECT_TRUE(ok);
}

// The user still holds the talk key (right Control), Shift and AltGr when the text goes
// out: letters must not become shortcuts or capitals, and the keys are held again after.
TEST_F(Desktop, HeldModifiersDoNotLeakIntoTyping) {
    platform::x11::X11KeyMonitor monitor;
    std::vector<platform::KeyEvent> seen;
    ASSERT_TRUE(monitor.start([&](const platform::KeyEvent& e) { seen.push_back(e); }));
    const QStringList held{"Control_R", "Shift_L", "ISO_Level3_Shift"};
    ASSERT_TRUE(run(QStringLiteral("xdotool"), QStringList{"keydown"} + held));
    ASSERT_TRUE(waitUntil([&] { return keysHeld(held) && seen.size() >= 3; }, "keys held"));
    const QString text = QStringLiteral("select all, quit: aqwxz 123");
    EXPECT_TRUE(TextInjector::type(text));
    const bool ok = entryBecomes(text);
    EXPECT_TRUE(keysHeld(held));  // the user's chord is as it was
    // The talk key's monitor never saw our lifting and restoring: no release came.
    ASSERT_TRUE(run(QStringLiteral("xdotool"), {QStringLiteral("key"), QStringLiteral("b")}));
    ASSERT_TRUE(waitUntil([&] { return seen.back().key == platform::Key::other; }, "the b"));
    const auto releases = std::count_if(seen.begin(), seen.end(),
                                        [](const platform::KeyEvent& e) { return !e.pressed; });
    EXPECT_EQ(releases, 1);  // only the b's
    ASSERT_TRUE(run(QStringLiteral("xdotool"), QStringList{"keyup"} + held));
    EXPECT_TRUE(ok);
}

TEST_F(Desktop, PasteArrivesAndTheClipboardComesBack) {
    // The user's clipboard: text and a large image, which crosses X in pieces.
    QByteArray png("\x89PNG\r\n\x1a\n", 8);
    png.resize(1536 * 1024);
    for (qsizetype i = 8; i < png.size(); ++i)
        png[i] = static_cast<char>(QRandomGenerator::global()->bounded(256));
    target->ask({{QStringLiteral("cmd"), QStringLiteral("setclip")},
                 {QStringLiteral("text"), QStringLiteral("the user's own words")},
                 {QStringLiteral("png"), QString::fromLatin1(png.toBase64())}});
    auto* pb = platform::Platform::current().pasteboard.get();
    ASSERT_TRUE(waitUntil([&] { return pb->types().contains(QStringLiteral("image/png")); },
                          "the user's image on the clipboard"));

    const QString text = QString::fromUtf8("pasted — 你好 👍");
    QElapsedTimer clock;
    clock.start();
    ASSERT_TRUE(TextInjector::paste(text, 350, false));
    entryBecomes(text);
    const quint64 pasted = pb->changeCount();
    ASSERT_TRUE(waitUntil([&] { return pb->changeCount() != pasted; }, "the restore"));
    EXPECT_GE(clock.elapsed(), 340);

    // Another application sees the user's clipboard again, every byte of it.
    QJsonObject clip;
    EXPECT_TRUE(waitUntil(
        [&] {
            // The target learns of the change on its own time.
            clip = targetClipboard();
            return clip.value(QStringLiteral("text")).toString() != text &&
                   !clip.value(QStringLiteral("png")).toString().isEmpty();
        },
        "the target to see the user's clipboard"));
    EXPECT_EQ(clip.value(QStringLiteral("text")).toString(),
              QStringLiteral("the user's own words"));
    const QByteArray back =
        QByteArray::fromBase64(clip.value(QStringLiteral("png")).toString().toLatin1());
    EXPECT_EQ(back.size(), png.size());
    EXPECT_TRUE(back == png);
}

TEST_F(Desktop, KeepLeavesTheTextOnTheClipboard) {
    target->ask({{QStringLiteral("cmd"), QStringLiteral("setclip")},
                 {QStringLiteral("text"), QStringLiteral("older")},
                 {QStringLiteral("png"), QString()}});
    const QString text = QStringLiteral("kept for later");
    ASSERT_TRUE(TextInjector::paste(text, 100, true));
    entryBecomes(text);
    TextInjector::finishPendingRestores();  // runs any restore there is at once
    EXPECT_EQ(targetClipboard().value(QStringLiteral("text")).toString(), text);
    EXPECT_EQ(platform::Platform::current().pasteboard->text(), text);
}

}  // namespace
