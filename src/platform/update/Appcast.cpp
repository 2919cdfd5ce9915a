#include "platform/update/Appcast.h"

#include <sodium.h>

#include <QXmlStreamReader>

#include "platform/UpdateFramework.h"

namespace platform {

namespace {

QByteArray decodeBase64(const QString& text) {
    const auto r = QByteArray::fromBase64Encoding(text.trimmed().toLatin1(),
                                                  QByteArray::AbortOnBase64DecodingErrors);
    return r ? *r : QByteArray();
}

// An item's fields may sit on the enclosure (attributes) or in elements of their own.
void readEnclosure(QXmlStreamReader& xml, AppcastItem& item, const QUrl& base, bool& lengthBad) {
    for (const QXmlStreamAttribute& a : xml.attributes()) {
        const QStringView name = a.name();
        const QString value = a.value().toString().trimmed();
        if (name == u"url") {
            item.url = base.resolved(QUrl(value));
        } else if (name == u"length") {
            bool ok = false;
            item.length = value.toULongLong(&ok);
            if (!ok) lengthBad = true;
        } else if (name == u"edSignature") {
            item.signature = decodeBase64(value);
        } else if (name == u"version") {
            item.version = value;
        } else if (name == u"shortVersionString") {
            item.displayVersion = value;
        }
    }
}

}  // namespace

std::optional<Appcast> parseAppcast(const QByteArray& bytes, const QUrl& base, QString& error) {
    QXmlStreamReader xml(bytes);
    Appcast feed;
    bool sawRss = false;
    std::optional<AppcastItem> item;
    bool lengthBad = false;
    int depth = 0, itemDepth = -1;
    while (!xml.atEnd()) {
        const auto token = xml.readNext();
        if (token == QXmlStreamReader::DTD) {
            // Entities are a way to make a small feed expand into a huge one: never take any.
            error = QStringLiteral("the feed declares a DTD (refused)");
            return std::nullopt;
        }
        if (token == QXmlStreamReader::EntityReference) {
            error = QStringLiteral("the feed refers to an entity (refused)");
            return std::nullopt;
        }
        if (token == QXmlStreamReader::EndElement) {
            --depth;
            if (item && depth == itemDepth) {
                if (item->displayVersion.isEmpty()) item->displayVersion = item->version;
                const QString name = item->title.isEmpty() ? QStringLiteral("an item")
                                                           : QStringLiteral("item ") + item->title;
                if (!item->url.isValid() || item->url.isEmpty())
                    feed.skipped << name + QStringLiteral(": no download address");
                else if (item->version.isEmpty())
                    feed.skipped << name + QStringLiteral(": no build number");
                else if (item->signature.size() != crypto_sign_BYTES)
                    feed.skipped << name + QStringLiteral(": no valid signature");
                else if (lengthBad)
                    feed.skipped << name + QStringLiteral(": bad length");
                else
                    feed.items.push_back(std::move(*item));
                item.reset();
                itemDepth = -1;
            }
            continue;
        }
        if (token != QXmlStreamReader::StartElement) continue;
        ++depth;
        const QStringView name = xml.name();
        if (depth == 1) {
            if (name != u"rss") {
                error = QStringLiteral("the feed is not RSS (root element ") + name.toString() +
                        QStringLiteral(")");
                return std::nullopt;
            }
            sawRss = true;
            continue;
        }
        if (name == u"item" && !item) {
            item.emplace();
            lengthBad = false;
            itemDepth = depth - 1;
            continue;
        }
        if (!item) continue;
        if (name == u"enclosure") {
            readEnclosure(xml, *item, base, lengthBad);
            continue;
        }
        // Text-only elements; readElementText leaves us on their end tag.
        if (name == u"title" || name == u"version" || name == u"shortVersionString" ||
            name == u"minimumSystemVersion") {
            const QString text =
                xml.readElementText(QXmlStreamReader::IncludeChildElements).trimmed();
            --depth;
            if (xml.hasError()) break;
            if (name == u"title")
                item->title = text;
            else if (name == u"version")
                item->version = text;
            else if (name == u"shortVersionString")
                item->displayVersion = text;
            else
                item->minimumSystemVersion = text;
        }
    }
    if (xml.hasError()) {
        error = QStringLiteral("the feed is not valid XML (line %1: %2)")
                    .arg(xml.lineNumber())
                    .arg(xml.errorString());
        return std::nullopt;
    }
    if (!sawRss) {
        error = QStringLiteral("the feed is empty");
        return std::nullopt;
    }
    return feed;
}

std::optional<AppcastItem> bestItem(const Appcast& feed, const QString& build,
                                    const QString& osVersion) {
    std::optional<AppcastItem> best;
    for (const AppcastItem& i : feed.items) {
        if (!i.minimumSystemVersion.isEmpty() &&
            compareVersions(osVersion, i.minimumSystemVersion) < 0)
            continue;
        if (compareVersions(i.version, build) <= 0) continue;
        if (!best || compareVersions(i.version, best->version) > 0) best = i;
    }
    return best;
}

bool verifySignature(const QByteArray& data, const QByteArray& signature,
                     const QString& publicKeyBase64) {
    if (sodium_init() < 0) return false;
    const QByteArray key = decodeBase64(publicKeyBase64);
    if (key.size() != crypto_sign_PUBLICKEYBYTES || signature.size() != crypto_sign_BYTES)
        return false;
    return crypto_sign_verify_detached(
               reinterpret_cast<const unsigned char*>(signature.constData()),
               reinterpret_cast<const unsigned char*>(data.constData()),
               static_cast<unsigned long long>(data.size()),
               reinterpret_cast<const unsigned char*>(key.constData())) == 0;
}

}  // namespace platform
