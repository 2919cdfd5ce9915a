#include "e2e/E2ESupport.h"

#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QProcess>
#include <QRegularExpression>
#include <QUrlQuery>
#include <cstdio>

#include "harness/Wait.h"
#include "support/TestEnv.h"

namespace e2e {

// Runs a short tool; true when it ran and exited with 0 within `timeoutMs`.
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

// What a browser does with a page: the answer's body after redirects, or none.
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

bool installRecordingBrowser(const QString& home, const QString& opened) {
    const QString browser = home + QStringLiteral("/browser.sh");
    return testenv::writeFile(browser, ("#!/bin/sh\necho \"$1\" >> '" + opened + "'\n").toUtf8()) &&
           QFile::setPermissions(browser, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner) &&
           testenv::writeFile(home + QStringLiteral("/data/applications/test-browser.desktop"),
                              ("[Desktop Entry]\nType=Application\nName=Browser\nExec=" + browser +
                               " %u\nMimeType=x-scheme-handler/http;x-scheme-handler/https;\n")
                                  .toUtf8()) &&
           testenv::writeFile(home + QStringLiteral("/config/mimeapps.list"),
                              "[Default Applications]\n"
                              "x-scheme-handler/http=test-browser.desktop\n"
                              "x-scheme-handler/https=test-browser.desktop\n");
}

}  // namespace e2e
