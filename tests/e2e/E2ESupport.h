#pragma once
#include <gtest/gtest.h>

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <functional>
#include <memory>
#include <optional>

#include "core/HistoryStore.h"
#include "harness/DesktopSession.h"
#include "harness/FifoFeeder.h"
#include "harness/LogReader.h"
#include "harness/PrivatePulse.h"

// What the end-to-end tests share: the built programs brought up for one test, speech files,
// and a browser's requests.
namespace e2e {

// Runs a short tool; true when it ran and exited with 0 within `timeoutMs`.
bool tool(const QString& program, const QStringList& args, int timeoutMs = 15000);

// 16-bit PCM WAV data, as flite writes it.
struct Wav {
    int rate = 0, channels = 0;
    QByteArray pcm;
};
std::optional<Wav> readWav(const QString& path);

// What a browser does with a page: the answer's body after redirects, or none. A form is
// posted when given.
std::optional<QByteArray> browse(const QUrl& url, const QByteArray& form = {},
                                 const QByteArray& bearer = {});

// Signs `name` in on velmora-server's own sign-in page, opened at `authorize` as the app asked
// the browser to: the "velmora:" link the page then offers, or none.
std::optional<QString> signInOnPage(const QUrl& authorize, const QString& name,
                                    const QString& password);

// The built programs on this machine's X server, for one test and a fresh user: a private
// PulseAudio whose default source is a pipe fed in real time, private buses, velmora-server
// on loopback, our target windows and `velmora`. Every program is a child of the session,
// killed by its watchdog if the test hangs, and stopped at the end.
class Stack : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    QString logPath() const { return home_ + QStringLiteral("/state/Velmora/Velmora.log"); }
    // What flite says for `words`.
    std::optional<Wav> speak(const QString& words);
    // The "microphone", playing `speech`'s format, silent speakers, and the buses.
    void bringUpDesktop(const Wav& speech, int watchdogSeconds);
    // velmora-server on a free loopback port (its token is kToken); its port, or 0.
    int startServer(const QStringList& extraArgs = {}, const QStringList& env = {});
    // The operators' "users" command on the server's data.
    bool users(const QStringList& args, const QByteArray& input = {});
    // The environment velmora runs in: this test's home, our server, and a browser that writes
    // each link it is asked to open to `opened`. With `signIn`, the server signs users in.
    QStringList velmoraEnv(int port, bool signIn = false);
    // Starts velmora with the talk key (right Control) held rather than tapped, and waits for
    // the key monitor.
    void launchVelmora(const QStringList& env, const QStringList& args = {});
    // The next link the browser was asked to open.
    QString nextOpened();
    // One more of our target windows, as a separate application; its window id in `window`.
    std::unique_ptr<JsonChild> launchTarget(unsigned long* window);
    [[nodiscard]] bool key(const QString& action, const QString& name);
    // Holds the talk key while the speech plays and for half a second of room after it, then
    // lets go and waits for the dictation to be done. `meanwhile` runs while it listens.
    void dictate(const Wav& speech, harness::LogReader& log,
                 const std::function<void()>& meanwhile = {});
    // The dictations history.json holds, once there is one.
    QList<HistoryEntry> history();

    static inline const QString kToken = QStringLiteral("e2e-token");
    // A connection of our own (Xlib stays out of this header, so the closer is a function).
    std::unique_ptr<Display, void (*)(Display*)> display_{nullptr, nullptr};
    QString home_, opened_;
    bool keyDown_ = false;
    std::unique_ptr<PrivatePulse> pulse_;
    std::unique_ptr<FifoFeeder> feeder_;
    std::unique_ptr<DesktopSession> session_;
    QProcess* server_ = nullptr;
    QProcess* velmora_ = nullptr;
};

}  // namespace e2e
