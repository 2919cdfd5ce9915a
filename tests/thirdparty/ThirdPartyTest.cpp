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
#include "support/TestEnv.h"

namespace {

using harness::waitUntil;
using TextInjector::Focus;

const QString kDictation = QString::fromUtf8("naïve café — 你好 👍 x²");

QString run(const QStringList& args) {
    QProcess p;
    p.start(QStringLiteral("xdotool"), args);
    if (!p.waitForFinished(15000) || p.exitCode() != 0) return {};
    return QString::fromUtf8(p.readAllStandardOutput()).trimmed();
}

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
        QString window;
        // Chromium's window belongs to its first process; the others draw into it.
        const bool found = waitUntil(
            [&] {
                window = run({QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                              QStringLiteral("--pid"), QString::number(p->processId())})
                             .section(QLatin1Char('\n'), 0, 0);
                return !window.isEmpty();
            },
            program + QStringLiteral("'s window"));
        if (!found) return nullptr;
        run({QStringLiteral("windowfocus"), QStringLiteral("--sync"), window});
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
        return waitUntil([&] { return (last = TextInjector::focus(app)) == Focus::text(); },
                         QStringLiteral("the probe to say text"));
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
    EXPECT_TRUE(TextInjector::type(kDictation));
    EXPECT_TRUE(arrives(app, kDictation));
    session->end(p);
}

}  // namespace
