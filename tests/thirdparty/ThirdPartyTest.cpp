// Delivery into programs people use, from Debian, on the X server the tests run under,
// with private session and accessibility buses: a GTK editor (Mousepad), a Qt editor that
// is not ours (FeatherPad) and Chromium showing a page with a field, a text area and a
// contenteditable editor. Each is driven as a user would: focus, probe, type, read back.
#include <gtest/gtest.h>

#include <QDir>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>

#include "core/AssistiveMode.h"
#include "core/TextInjector.h"
#include "core/WebContext.h"
#include "harness/DesktopSession.h"
#include "harness/Wait.h"
#include "platform/Accessibility.h"
#include "platform/AssistiveSwitch.h"
#include "platform/fake/FakePlatform.h"
#include "platform/linux/LinuxPlatform.h"
#include "platform/linux/X11Util.h"
#include "support/TestEnv.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>

namespace {

using harness::waitUntil;
using TextInjector::Focus;

const QString kDictation = QString::fromUtf8("naïve café — 你好 👍 x²");

// One page for every request, as a web app's server would send it.
class PageServer {
  public:
    explicit PageServer(QByteArray page) : page_(std::move(page)) {
        QObject::connect(&server_, &QTcpServer::newConnection, [this] {
            while (QTcpSocket* s = server_.nextPendingConnection()) {
                QObject::connect(s, &QTcpSocket::readyRead, s, [this, s] {
                    if (!s->readAll().contains("\r\n\r\n")) return;
                    s->write(
                        "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\n"
                        "Connection: close\r\nContent-Length: " +
                        QByteArray::number(page_.size()) + "\r\n\r\n" + page_);
                    s->disconnectFromHost();
                });
                QObject::connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
            }
        });
        server_.listen(QHostAddress::LocalHost);
    }
    quint16 port() const { return server_.serverPort(); }

  private:
    QByteArray page_;
    QTcpServer server_;
};

class ThirdParty : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (qEnvironmentVariableIsEmpty("DISPLAY")) {
            skip = "no X display (run under xvfb-run)";
            return;
        }
        if (!holdXServer()) {
            skip = "the X server does not accept connections";
            return;
        }
        session = new DesktopSession;
        if (!session->start(280)) {
            skip = session->error.toStdString();
            return;
        }
        platform::Platform::install(platform::x11::createLinuxPlatform());
    }
    static void TearDownTestSuite() {
        AssistiveMode::restore();
        platform::Platform::install(platform::fake::createFakePlatform());
        if (session) session->stop();
        delete session;
        session = nullptr;
    }
    void SetUp() override {
        if (!skip.empty()) GTEST_SKIP() << skip;
    }

    // Starts a program, finds its window and gives it the X input focus, as a click would.
    static QProcess* start(const QString& program, const QStringList& args,
                           platform::RunningApp* app, const QString& bundleId,
                           const QStringList& env = {}) {
        if (QStandardPaths::findExecutable(program).isEmpty()) return nullptr;
        QProcess* p = session->launch(program, args, env);
        if (!p) return nullptr;
        // Chromium's window belongs to its first process; the others draw into it.
        const QString window = windowOf(p->processId());
        if (window.isEmpty()) return nullptr;
        xdotool({"windowfocus", "--sync", window});
        app->pid = p->processId();
        app->bundleId = bundleId;
        app->name = program;
        app->window = window.toULongLong();
        return p;
    }

    // What the focused element holds, read over the accessibility bus.
    static QString focusedText(const platform::RunningApp& app) {
        auto* ax = platform::Platform::current().accessibility.get();
        const auto e = ax->focusedElement(app.pid);
        if (!e.value) return QStringLiteral("<no focus>");
        return ax->value(*e.value).value.value_or(QStringLiteral("<no text>"));
    }

    static ::testing::AssertionResult probeSaysText(const platform::RunningApp& app) {
        Focus last;
        auto r = waitUntil([&] { return (last = TextInjector::focus(app)) == Focus::text(); },
                           QStringLiteral("the probe to say text"));
        if (!r) r << "; it says " << int(last.kind) << " " << last.detail.toStdString();
        return r;
    }

    static ::testing::AssertionResult arrives(const platform::RunningApp& app,
                                              const QString& text) {
        QString last;
        auto r = waitUntil([&] { return (last = focusedText(app)) == text; },
                           QStringLiteral("\"%1\" in the field").arg(text));
        if (!r) r << "; it holds \"" << last.toStdString() << "\"";
        return r;
    }

    static inline std::string skip;
    static inline DesktopSession* session = nullptr;
};

TEST_F(ThirdParty, GtkEditorGetsTheDictationExactly) {
    platform::RunningApp app;
    QProcess* p = start(QStringLiteral("mousepad"), {QStringLiteral("--disable-server")}, &app,
                        QStringLiteral("org.xfce.mousepad"));
    if (!p) GTEST_SKIP() << "mousepad is not installed or showed no window";
    ASSERT_TRUE(probeSaysText(app));
    // The user still holds the talk key (right Control) as the text goes out: Ctrl+A, Ctrl+W
    // or Ctrl+Q would select, close or quit.
    // More distinct characters than there are spare keycodes, sent faster than the editor
    // takes them: keycodes are given new characters while it is still behind.
    QString text = kDictation + QStringLiteral(" a quick word ");
    for (char32_t c = U'\u4e00'; c < U'\u4e00' + 3 * 40; c += 3) text += QString::fromUcs4(&c, 1);
    text += QStringLiteral(" and the end.");
    xdotool({"keydown", "Control_R"});
    EXPECT_TRUE(TextInjector::type(text));
    const bool ok = arrives(app, text);
    xdotool({"keyup", "Control_R"});
    EXPECT_TRUE(ok);
    session->end(p);
}

// The address at-spi-bus-launcher publishes on the X root window of an X11 desktop, for as
// long as it lives. The harness keeps its bus off the root window, which every test on this
// X server shares; a test publishes it only while its program starts.
class PublishedBus {
  public:
    explicit PublishedBus(const QString& address) : display_(platform::x11::openDisplay()) {
        Display* d = display_.get();
        if (!d) return;
        const QByteArray a = address.toUtf8();
        XChangeProperty(d, DefaultRootWindow(d), XInternAtom(d, "AT_SPI_BUS", False), XA_STRING, 8,
                        PropModeReplace, reinterpret_cast<const unsigned char*>(a.constData()),
                        static_cast<int>(a.size()));
        XSync(d, False);
    }
    ~PublishedBus() {
        if (Display* d = display_.get())
            XDeleteProperty(d, DefaultRootWindow(d), XInternAtom(d, "AT_SPI_BUS", False));
    }
    PublishedBus(const PublishedBus&) = delete;
    PublishedBus& operator=(const PublishedBus&) = delete;

  private:
    platform::x11::DisplayPtr display_;
};

// Qt 5 looks for the accessibility bus once, as it starts, on the X root window (where an
// X11 desktop's bus launcher says where the bus is); it never follows the announcement
// while it runs. Started that way, without any accessibility variable, FeatherPad's text
// field is found by the probe and the dictation is typed, not pasted.
TEST_F(ThirdParty, QtEditorGetsTheDictationTyped) {
    platform::RunningApp app;
    QProcess* p = nullptr;
    {
        const PublishedBus bus(session->a11yBus);
        p = start(QStringLiteral("featherpad"), {}, &app, QStringLiteral("featherpad"), {});
        if (!p) GTEST_SKIP() << "featherpad is not installed or showed no window";
        ASSERT_TRUE(waitUntil(
            [&] { return TextInjector::focus(app) != Focus::unsure(QStringLiteral("error 0")); },
            "featherpad on the accessibility bus"));
    }
    AssistiveMode::enable(app);
    xdotool({"mousemove", "--window", QString::number(app.window), "200", "200", "click", "1"});
    ASSERT_TRUE(probeSaysText(app));
    EXPECT_TRUE(TextInjector::type(kDictation));
    EXPECT_TRUE(arrives(app, kDictation));
    session->end(p);
    AssistiveMode::restore();
}

// Chromium in a real window, on a page served from this machine under a host the site table
// knows: the probe says text in an <input>, a <textarea> and a contenteditable editor, the
// text arrives in each, the front tab's address gives the web context (and the desktop
// diagnostics' line), and none is read once another window is in front.
TEST_F(ThirdParty, ChromiumFieldsTextAreaAndContentEditable) {
    PageServer server(QByteArrayLiteral(
        "<!doctype html><html><head><title>Chat</title></head><body>"
        "<input id=a autofocus aria-label=field>"
        "<textarea id=b aria-label=area></textarea>"
        "<div id=c contenteditable=true aria-label=editor style='min-height:40px'></div>"
        // Once a dictation is in, the page moves on to the next editor, as a chat box
        // that sends does.
        "<script>for (const [a, b] of [['a', 'b'], ['b', 'c']])"
        " document.getElementById(a).addEventListener('input', e => {"
        " if (e.target.value.endsWith('x\u00b2')) document.getElementById(b).focus(); });"
        "</script></body></html>"));
    ASSERT_NE(server.port(), 0);
    // Chromium reads the announcement when it starts (switched on by an earlier dictation
    // here), not while it runs.
    auto* sw = platform::Platform::current().assistive.get();
    ASSERT_TRUE(sw);
    ASSERT_EQ(sw->set(AssistiveMode::kEnabled, true), 0);
    const QString profile = testenv::home() + QStringLiteral("/chromium");
    QDir().mkpath(profile);
    platform::RunningApp app;
    QProcess* p =
        start(QStringLiteral("chromium"),
              {QStringLiteral("--no-sandbox"), QStringLiteral("--user-data-dir=") + profile,
               QStringLiteral("--no-first-run"), QStringLiteral("--no-default-browser-check"),
               QStringLiteral("--disable-gpu"), QStringLiteral("--password-store=basic"),
               QStringLiteral("--window-size=900,600"),
               QStringLiteral("--host-resolver-rules=MAP kimi.moonshot.cn 127.0.0.1:%1")
                   .arg(server.port()),
               QStringLiteral("--disable-features=HttpsUpgrades"),
               QStringLiteral("http://kimi.moonshot.cn/chat/1")},
              &app, QStringLiteral("org.chromium.chromium"));
    if (!p) GTEST_SKIP() << "chromium is not installed or showed no window";
    AssistiveMode::enable(app);

    std::optional<WebContext::Match> m;
    EXPECT_TRUE(waitUntil([&] { return (m = WebContext::detect(app)).has_value(); },
                          "the front tab's site"));
    // The page loaded before the window had the focus: a click into the first field.
    xdotool({"mousemove", "--window", QString::number(app.window), "60", "110", "click", "1"});
    if (m) {
        EXPECT_EQ(m->site.label, QStringLiteral("Kimi"));
    }

    const QString words[] = {QStringLiteral("field ") + kDictation,
                             QStringLiteral("area ") + kDictation,
                             QStringLiteral("editor ") + kDictation};
    for (const QString& w : words) {
        ASSERT_TRUE(probeSaysText(app)) << w.toStdString();
        auto* ax = platform::Platform::current().accessibility.get();
        const auto field = ax->focusedElement(app.pid);
        ASSERT_TRUE(field.value);
        EXPECT_TRUE(TextInjector::type(w));
        QString last;
        EXPECT_TRUE(waitUntil(
            [&] { return (last = ax->value(*field.value).value.value_or(QString())) == w; },
            QStringLiteral("\"%1\" in the field").arg(w)))
            << "it holds " << last.toStdString();
    }

    // The desktop's diagnostics list the browser with its front tab, once a window manager
    // (played here) lists its window as a client.
    {
        const platform::x11::DisplayPtr d = platform::x11::openDisplay();
        ASSERT_TRUE(d);
        const Window root = DefaultRootWindow(d.get());
        const Atom clients = XInternAtom(d.get(), "_NET_CLIENT_LIST", False);
        const long list[] = {static_cast<long>(app.window)};
        XChangeProperty(d.get(), root, clients, XA_WINDOW, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(list), 1);
        XSync(d.get(), False);
        QProcess probe;
        probe.start(testenv::binaryDir() + QStringLiteral("/src/app/velmora"), {"--probe-url"});
        // Our own windows answer its questions too: the event loop runs while it asks.
        EXPECT_TRUE(waitUntil([&] { return probe.state() == QProcess::NotRunning; }, "the probe"));
        XDeleteProperty(d.get(), root, clients);
        XSync(d.get(), False);
        EXPECT_EQ(probe.exitCode(), 0);
        EXPECT_EQ(QString::fromUtf8(probe.readAllStandardOutput()).toStdString(),
                  "Chromium [org.chromium.chromium]: Kimi → http://kimi.moonshot.cn/chat/1\n");
    }
    // Another window in front: the browser's tab is no longer what the user looks at.
    EscWindow other;
    ASSERT_TRUE(other.open());
    EXPECT_TRUE(waitUntil([&] { return !WebContext::detect(app); }, "no site behind a window"));
    session->end(p);
    sw->set(AssistiveMode::kEnabled, false);
}

}  // namespace
