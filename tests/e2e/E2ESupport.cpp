#include "e2e/E2ESupport.h"

#include <signal.h>

#include <QDir>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QUrlQuery>
#include <cstdio>

#include "harness/Wait.h"
#include "platform/linux/X11Util.h"
#include "support/TestEnv.h"

namespace e2e {

bool tool(const QString& program, const QStringList& args, int timeoutMs) {
    QProcess p;
    p.setProcessChannelMode(QProcess::ForwardedChannels);
    p.start(program, args);
    if (!p.waitForStarted(5000)) return false;
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished(2000);
        return false;
    }
    return p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

std::optional<Wav> readWav(const QString& path) {
    const QByteArray b = testenv::readFile(path);
    if (b.size() < 12 || !b.startsWith("RIFF") || b.mid(8, 4) != "WAVE") return std::nullopt;
    auto u16 = [&](qsizetype at) { return quint16(quint8(b[at]) | quint8(b[at + 1]) << 8); };
    auto u32 = [&](qsizetype at) { return quint32(u16(at)) | quint32(u16(at + 2)) << 16; };
    Wav w;
    int bits = 0;
    for (qsizetype at = 12; at + 8 <= b.size();) {
        const QByteArray id = b.mid(at, 4);
        const qsizetype size = u32(at + 4);
        if (id == "fmt " && size >= 16 && at + 8 + 16 <= b.size()) {
            w.channels = u16(at + 10);
            w.rate = static_cast<int>(u32(at + 12));
            bits = u16(at + 22);
        } else if (id == "data") {
            w.pcm = b.mid(at + 8, size);
            break;
        }
        at += 8 + size + (size & 1);
    }
    if (bits != 16 || w.rate <= 0 || w.channels <= 0 || w.pcm.isEmpty()) return std::nullopt;
    return w;
}

std::optional<QByteArray> browse(const QUrl& url, const QByteArray& form,
                                 const QByteArray& bearer) {
    QNetworkAccessManager net;
    QNetworkRequest r(url);
    if (!bearer.isEmpty()) r.setRawHeader("Authorization", "Bearer " + bearer);
    QNetworkReply* reply;
    if (form.isNull()) {
        reply = net.get(r);
    } else {
        r.setHeader(QNetworkRequest::ContentTypeHeader,
                    QStringLiteral("application/x-www-form-urlencoded"));
        reply = net.post(r, form);
    }
    const bool done = harness::waitUntil([&] { return reply->isFinished(); }, url.path());
    const QByteArray body = reply->readAll();
    const bool ok = done && reply->error() == QNetworkReply::NoError;
    if (!ok)
        std::fprintf(stderr, "browse %s: %s\n", qPrintable(url.toString()),
                     qPrintable(reply->errorString()));
    delete reply;
    return ok ? std::optional(body) : std::nullopt;
}

std::optional<QString> signInOnPage(const QUrl& authorize, const QString& name,
                                    const QString& password) {
    const auto page = browse(authorize);
    if (!page || !page->contains("Sign in to Velmora")) return std::nullopt;
    const QUrlQuery q(authorize);
    QUrlQuery form;
    form.addQueryItem(QStringLiteral("name"), name);
    form.addQueryItem(QStringLiteral("password"), password);
    for (const char* key : {"redirect_to", "code_challenge", "code_challenge_method"})
        form.addQueryItem(QLatin1String(key), q.queryItemValue(QLatin1String(key)));
    QUrl post = authorize;
    post.setQuery(QString());
    const auto signedIn = browse(post, form.query(QUrl::FullyEncoded).toUtf8());
    if (!signedIn) return std::nullopt;
    const auto link = QRegularExpression(QStringLiteral("href=\"(velmora://[^\"]+)\""))
                          .match(QString::fromUtf8(*signedIn));
    if (!link.hasMatch()) {
        std::fprintf(stderr, "no link on the page: %s\n", signedIn->constData());
        return std::nullopt;
    }
    return link.captured(1).replace(QStringLiteral("&amp;"), QStringLiteral("&"));
}

void Stack::SetUp() {
    for (const char* program : {"xdotool", "flite", "pulseaudio", "dbus-daemon"})
        if (QStandardPaths::findExecutable(QString::fromLatin1(program)).isEmpty())
            GTEST_SKIP() << program << " is not installed";
    if (!QFile::exists(QStringLiteral("/usr/libexec/at-spi-bus-launcher")))
        GTEST_SKIP() << "at-spi-bus-launcher is not installed";
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        GTEST_SKIP() << "needs an X display (run under xvfb-run)";
    ASSERT_TRUE(holdXServer()) << "the X server does not accept connections";
    display_ = {platform::x11::openDisplay().release(), [](Display* d) { XCloseDisplay(d); }};
    ASSERT_NE(display_, nullptr);

    // A fresh user per test: an old server log would name an old server's port.
    home_ = testenv::home() + QStringLiteral("/velmora-user");
    QDir(home_).removeRecursively();
    for (const char* sub : {"/config/Velmora", "/state", "/data", "/cache", "/server", "/run"})
        QDir().mkpath(home_ + QLatin1String(sub));
    QFile::setPermissions(home_ + QStringLiteral("/run"),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    // The user's browser: whatever opens a web link writes it down for the test to follow.
    opened_ = home_ + QStringLiteral("/opened.txt");
    const QString browser = home_ + QStringLiteral("/browser.sh");
    ASSERT_TRUE(
        testenv::writeFile(browser, ("#!/bin/sh\necho \"$1\" >> '" + opened_ + "'\n").toUtf8()));
    QFile::setPermissions(browser, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    ASSERT_TRUE(
        testenv::writeFile(home_ + QStringLiteral("/data/applications/test-browser.desktop"),
                           ("[Desktop Entry]\nType=Application\nName=Browser\nExec=" + browser +
                            " %u\nMimeType=x-scheme-handler/http;x-scheme-handler/https;\n")
                               .toUtf8()));
    ASSERT_TRUE(testenv::writeFile(home_ + QStringLiteral("/config/mimeapps.list"),
                                   "[Default Applications]\n"
                                   "x-scheme-handler/http=test-browser.desktop\n"
                                   "x-scheme-handler/https=test-browser.desktop\n"));
}

void Stack::TearDown() {
    // A key left down would stay down for every later test on this display.
    if (keyDown_) (void)key(QStringLiteral("keyup"), QStringLiteral("Control_R"));
    // Velmora first, so it leaves the buses and the sound server it is using.
    if (velmora_ && velmora_->state() != QProcess::NotRunning) {
        ::kill(static_cast<pid_t>(velmora_->processId()), SIGTERM);
        if (!velmora_->waitForFinished(5000)) std::fprintf(stderr, "velmora ignored SIGTERM\n");
    }
    if (session_) session_->stop();
    feeder_.reset();
    pulse_.reset();
    display_.reset();
}

std::optional<Wav> Stack::speak(const QString& words) {
    const QString wavPath = home_ + QStringLiteral("/spoken.wav");
    if (!tool(QStringLiteral("flite"),
              {QStringLiteral("-voice"), QStringLiteral("slt"), QStringLiteral("-t"), words,
               QStringLiteral("-o"), wavPath}))
        return std::nullopt;
    return readWav(wavPath);
}

void Stack::bringUpDesktop(const Wav& speech, int watchdogSeconds) {
    const QString fifo = home_ + QStringLiteral("/mic.fifo");
    pulse_ = std::make_unique<PrivatePulse>(
        QStringList{pipeSource(QStringLiteral("mic"), fifo, "s16le", speech.rate, speech.channels),
                    QStringLiteral("set-default-source mic"),
                    QStringLiteral("load-module module-null-sink sink_name=speakers"),
                    QStringLiteral("set-default-sink speakers")},
        watchdogSeconds);
    ASSERT_TRUE(pulse_->ok()) << pulse_->error().toStdString();
    feeder_ = std::make_unique<FifoFeeder>(fifo, speech.rate, 2 * speech.channels);
    ASSERT_TRUE(feeder_->ok()) << "cannot write to the pipe source";
    session_ = std::make_unique<DesktopSession>();
    ASSERT_TRUE(session_->start(watchdogSeconds)) << session_->error.toStdString();
}

int Stack::startServer(const QStringList& extraArgs, const QStringList& env) {
    const QString serverLog = home_ + QStringLiteral("/server/server.log");
    server_ =
        session_->launch(testenv::binaryDir() + QStringLiteral("/server/velmora-server"),
                         QStringList{"--listen", "127.0.0.1:0", "--token", kToken, "--workers", "1",
                                     "--asr-decoders", "1", "--log", serverLog, "--data-dir",
                                     home_ + QStringLiteral("/server")} +
                             extraArgs,
                         env);
    if (!server_) return 0;
    static const QRegularExpression listening(R"(listening on http://127\.0\.0\.1:(\d+))");
    int port = 0;
    const bool up = harness::waitUntil(
        [&] {
            const auto m = listening.match(QString::fromUtf8(testenv::readFile(serverLog)));
            if (m.hasMatch()) port = m.captured(1).toInt();
            return port > 0 || server_->state() == QProcess::NotRunning;
        },
        QStringLiteral("velmora-server listening"), std::chrono::seconds(30));
    if (!up || port == 0)
        ADD_FAILURE() << "velmora-server did not come up:\n"
                      << testenv::readFile(serverLog).toStdString();
    return up ? port : 0;
}

bool Stack::users(const QStringList& args, const QByteArray& input) {
    QProcess p;
    p.start(testenv::binaryDir() + QStringLiteral("/server/velmora-server"),
            QStringList{QStringLiteral("users"), QStringLiteral("--data-dir"),
                        home_ + QStringLiteral("/server")} +
                args);
    p.write(input);
    p.closeWriteChannel();
    return p.waitForFinished(30000) && p.exitCode() == 0;
}

QStringList Stack::velmoraEnv(int port, bool signIn) {
    QStringList env{QStringLiteral("QT_QPA_PLATFORM=xcb"),
                    QStringLiteral("HOME=") + home_,
                    QStringLiteral("XDG_CONFIG_HOME=") + home_ + QStringLiteral("/config"),
                    QStringLiteral("XDG_STATE_HOME=") + home_ + QStringLiteral("/state"),
                    QStringLiteral("XDG_DATA_HOME=") + home_ + QStringLiteral("/data"),
                    QStringLiteral("XDG_CACHE_HOME=") + home_ + QStringLiteral("/cache"),
                    QStringLiteral("XDG_RUNTIME_DIR=") + home_ + QStringLiteral("/run"),
                    QStringLiteral("BROWSER=") + home_ + QStringLiteral("/browser.sh"),
                    QStringLiteral("VQ_SERVER=http://127.0.0.1:%1").arg(port)};
    if (signIn)
        env << QStringLiteral("VQ_SUPABASE_URL=http://127.0.0.1:%1").arg(port);
    else
        env << QStringLiteral("VQ_SERVER_TOKEN=") + kToken;
    return env;
}

void Stack::launchVelmora(const QStringList& env, const QStringList& args) {
    ASSERT_TRUE(testenv::writeFile(home_ + QStringLiteral("/config/Velmora/Velmora.conf"),
                                   "[General]\nhotkey=rightControl\ntoggleMode=false\n"));
    velmora_ =
        session_->launch(testenv::binaryDir() + QStringLiteral("/src/app/velmora"), args, env);
    ASSERT_NE(velmora_, nullptr) << "velmora did not start";
    // The key monitor is armed once the line is written.
    ASSERT_TRUE(
        harness::LogReader(logPath()).waitFor(QStringLiteral("Talk key: rightControl, hold mode")));
}

QString Stack::nextOpened() {
    QString link;
    const bool seen = harness::waitUntil(
        [&] {
            // A whole line: the browser may still be writing it.
            const QString all = QString::fromUtf8(testenv::readFile(opened_));
            link = all.trimmed();
            return all.endsWith(QLatin1Char('\n'));
        },
        QStringLiteral("the browser to open"));
    EXPECT_TRUE(seen);
    return link;
}

std::unique_ptr<JsonChild> Stack::launchTarget(unsigned long* window) {
    QProcess* process = session_->launch(
        testenv::binaryDir() + QStringLiteral("/tests/delivery/velmora_delivery_target"), {},
        {QStringLiteral("QT_QPA_PLATFORM=xcb")});
    if (!process) return nullptr;
    auto child = std::make_unique<JsonChild>(process);
    *window = child->waitFor(QStringLiteral("ready"))
                  .value(QStringLiteral("window"))
                  .toString()
                  .toULong();
    if (*window == 0) return nullptr;
    return child;
}

bool Stack::key(const QString& action, const QString& name) {
    if (name == QLatin1String("Control_R")) keyDown_ = action == QLatin1String("keydown");
    return tool(QStringLiteral("xdotool"), {action, name});
}

void Stack::dictate(const Wav& speech, harness::LogReader& log,
                    const std::function<void()>& meanwhile) {
    ASSERT_TRUE(key(QStringLiteral("keydown"), QStringLiteral("Control_R")));
    ASSERT_TRUE(log.waitFor(QStringLiteral("Listening → ")));
    feeder_->queue(speech.pcm + QByteArray(speech.rate * speech.channels, '\0'));
    if (meanwhile) meanwhile();
    const bool drained = harness::waitUntil([&] { return feeder_->drained(); }, "the speech played",
                                            std::chrono::seconds(60));
    ASSERT_TRUE(key(QStringLiteral("keyup"), QStringLiteral("Control_R")));
    ASSERT_TRUE(drained);
    ASSERT_TRUE(log.waitFor(QStringLiteral("Done "), 1, std::chrono::seconds(60)));
}

QList<HistoryEntry> Stack::history() {
    const QString path = home_ + QStringLiteral("/data/Velmora/history.json");
    QList<HistoryEntry> kept;
    EXPECT_TRUE(harness::waitUntil(
        [&] {
            kept = HistoryStore::decode(testenv::readFile(path), nullptr)
                       .value_or(QList<HistoryEntry>{});
            return !kept.isEmpty();
        },
        "the dictation in history.json"));
    return kept;
}

}  // namespace e2e
