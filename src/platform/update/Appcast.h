#pragma once
#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <cstdint>
#include <optional>
#include <vector>

namespace platform {

// One release in an update feed (an RSS item with an enclosure).
struct AppcastItem {
    QString title;
    QString version;         // the build number, compared to choose
    QString displayVersion;  // shown to the user; the build when the feed gives none
    QUrl url;                // resolved against the feed's address
    uint64_t length = 0;     // 0: not announced
    QByteArray signature;    // Ed25519, 64 bytes
    QString minimumSystemVersion;
};

struct Appcast {
    std::vector<AppcastItem> items;
    QStringList skipped;  // why an item was left out, one line each
};

// Parses an RSS update feed. A feed that is not well-formed XML, declares a DTD (no entity is
// ever expanded) or is not RSS gives nothing, with the reason in `error`. Items without a
// download address, build number or a 64-byte signature are skipped with a reason.
std::optional<Appcast> parseAppcast(const QByteArray& xml, const QUrl& base, QString& error);

// The newest item newer than `build` that runs on `osVersion`, if any.
std::optional<AppcastItem> bestItem(const Appcast& feed, const QString& build,
                                    const QString& osVersion);

// Whether `signature` is the Ed25519 signature of `data` by the key (base64 of 32 bytes).
bool verifySignature(const QByteArray& data, const QByteArray& signature,
                     const QString& publicKeyBase64);

}  // namespace platform
