#pragma once
#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <optional>

// What the end-to-end tests share: short tools, speech files, and a browser's requests.
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

// Makes the desktop under `home` (XDG data and config folders "data" and "config") open web
// links with a "browser" (`home`/browser.sh) that appends each link to the file `opened`.
bool installRecordingBrowser(const QString& home, const QString& opened);

}  // namespace e2e
