#include <gtest/gtest.h>
#include <sodium.h>

#include <QProcess>
#include <QTemporaryDir>

#include "platform/UpdateFramework.h"
#include "platform/update/Appcast.h"
#include "support/TestEnv.h"

using namespace Qt::StringLiterals;

using platform::Appcast;
using platform::AppcastItem;

namespace {

const QUrl kBase(u"https://updates.example.org/velmora/appcast.xml"_s);
const QString kSig = QString::fromLatin1(QByteArray(64, 'x').toBase64());

QByteArray feed(const QString& items, const QString& prolog = {}) {
    return (u"<?xml version=\"1.0\" encoding=\"utf-8\"?>"_s + prolog +
            QStringLiteral("<rss version=\"2.0\" xmlns:v=\"https://velmora.app/xml/appcast\">"
                           "<channel><title>Velmora</title>") +
            items + u"</channel></rss>"_s)
        .toUtf8();
}

QString item(const QString& build, const QString& display, const QString& extra = {},
             const QString& enclosureExtra = {}) {
    return QStringLiteral(
               "<item><title>%2</title><v:version>%1</v:version>"
               "<v:shortVersionString>%2</v:shortVersionString>%3"
               "<enclosure url=\"velmora_%2_amd64.deb\" length=\"1234\" "
               "type=\"application/vnd.debian.binary-package\" v:edSignature=\"%4\" %5/>"
               "</item>")
        .arg(build, display, extra, kSig, enclosureExtra);
}

}  // namespace

TEST(UpdateFeed, ParsesItemsAndSkipsIncompleteOnes) {
    const QString missingSig = QStringLiteral(
        "<item><title>broken</title><v:version>9</v:version>"
        "<enclosure url=\"x.deb\" length=\"1\"/></item>");
    const QString missingUrl = QStringLiteral(
                                   "<item><title>nourl</title><v:version>8</v:version>"
                                   "<enclosure length=\"1\" v:edSignature=\"%1\"/></item>")
                                   .arg(kSig);
    const QString onEnclosure =
        QStringLiteral(
            "<item><enclosure url=\"https://cdn.example.org/v7.deb\" length=\"77\" "
            "v:version=\"7\" v:shortVersionString=\"0.7\" v:edSignature=\"%1\"/>"
            "</item>")
            .arg(kSig);
    const QString badLength =
        item(u"6"_s, u"0.6"_s, {}, {}).replace(u"length=\"1234\""_s, u"length=\"lots\""_s);
    QString error;
    const auto parsed = platform::parseAppcast(
        feed(item(u"3"_s, u"0.3"_s) +
             item(u"4"_s, u"0.4"_s, u"<v:minimumSystemVersion>13</v:minimumSystemVersion>"_s) +
             missingSig + missingUrl + onEnclosure + badLength),
        kBase, error);
    ASSERT_TRUE(parsed) << error.toStdString();
    ASSERT_EQ(parsed->items.size(), 3u);
    const AppcastItem& first = parsed->items[0];
    EXPECT_EQ(first.version, u"3"_s);
    EXPECT_EQ(first.displayVersion, u"0.3"_s);
    EXPECT_EQ(first.url.toString(), u"https://updates.example.org/velmora/velmora_0.3_amd64.deb"_s);
    EXPECT_EQ(first.length, 1234u);
    EXPECT_EQ(first.signature.size(), 64);
    EXPECT_EQ(parsed->items[1].minimumSystemVersion, u"13"_s);
    EXPECT_EQ(parsed->items[2].displayVersion, u"0.7"_s);
    EXPECT_EQ(parsed->items[2].url.toString(), u"https://cdn.example.org/v7.deb"_s);
    EXPECT_EQ(parsed->skipped.size(), 3) << parsed->skipped.join(u'\n').toStdString();
}

TEST(UpdateFeed, ChoosesNewestThatRunsHere) {
    QString error;
    const auto parsed = platform::parseAppcast(
        feed(item(u"9"_s, u"0.9"_s) + item(u"10"_s, u"0.10"_s) +
             item(u"11"_s, u"0.11"_s, u"<v:minimumSystemVersion>13</v:minimumSystemVersion>"_s)),
        kBase, error);
    ASSERT_TRUE(parsed);
    struct Case {
        const char* build;
        const char* os;
        const char* want;  // empty: nothing newer
    } cases[] = {
        {"8", "12", "10"},    // 11 needs a newer system
        {"8", "13", "11"},    // … which this one is
        {"10", "12", ""},     // already on the newest that runs here
        {"12", "13", ""},     // ahead of the feed
        {"8", "12.5", "10"},  // 12.5 is older than 13
    };
    for (const Case& c : cases) {
        const auto best =
            platform::bestItem(*parsed, QString::fromLatin1(c.build), QString::fromLatin1(c.os));
        EXPECT_EQ(best ? best->version : QString(), QString::fromLatin1(c.want))
            << c.build << " on " << c.os;
    }
}

TEST(UpdateFeed, RefusesWhatIsNotAFeed) {
    const QByteArray billionLaughs =
        "<?xml version=\"1.0\"?><!DOCTYPE rss [<!ENTITY a \"aaaaaaaaaa\">"
        "<!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\"><!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;\">]>"
        "<rss><channel><item><title>&c;</title></item></channel></rss>";
    const QByteArray external =
        "<?xml version=\"1.0\"?><!DOCTYPE rss [<!ENTITY x SYSTEM \"file:///etc/passwd\">]>"
        "<rss><channel><item><title>&x;</title></item></channel></rss>";
    const QByteArray undeclared = "<rss><channel><item><title>&x;</title></item></channel></rss>";
    struct Case {
        const char* name;
        QByteArray xml;
        const char* says;
    } cases[] = {
        {"entity expansion", billionLaughs, "DTD"},
        {"external entity", external, "DTD"},
        {"undeclared entity", undeclared, "not valid XML"},
        {"truncated", feed(item(u"3"_s, u"0.3"_s)).chopped(20), "not valid XML"},
        {"html", "<html><body>Not found</body></html>", "not RSS"},
        {"empty", "", "not valid XML"},
    };
    for (const Case& c : cases) {
        QString error;
        EXPECT_FALSE(platform::parseAppcast(c.xml, kBase, error)) << c.name;
        EXPECT_TRUE(error.contains(QLatin1String(c.says))) << c.name << ": " << error.toStdString();
    }
}

TEST(UpdateFeed, ComparesVersions) {
    struct Case {
        const char* a;
        const char* b;
        int sign;
    } cases[] = {
        {"0.10", "0.9", 1},
        {"0.9", "0.10", -1},
        {"1.0", "1.0.0", 0},
        {"1.0.1", "1.0", 1},
        {"1.0b2", "1.0", -1},
        {"1.0b2", "1.0b10", -1},
        {"57", "58", -1},
        {"100", "99", 1},
        {"2", "2", 0},
        {"0.3.2", "0.3.10", -1},
        {"1.0", "1.0-1", -1},
        {"007", "7", 0},
        {"123456789012345678901234567890", "123456789012345678901234567891", -1},
    };
    auto sign = [](int v) { return (v > 0) - (v < 0); };
    for (const Case& c : cases)
        EXPECT_EQ(
            sign(platform::compareVersions(QString::fromLatin1(c.a), QString::fromLatin1(c.b))),
            c.sign)
            << c.a << " vs " << c.b;
}

TEST(UpdateFeed, VerifiesSignatures) {
    ASSERT_GE(sodium_init(), 0);
    unsigned char pk[crypto_sign_PUBLICKEYBYTES], sk[crypto_sign_SECRETKEYBYTES];
    crypto_sign_keypair(pk, sk);
    unsigned char otherPk[crypto_sign_PUBLICKEYBYTES], otherSk[crypto_sign_SECRETKEYBYTES];
    crypto_sign_keypair(otherPk, otherSk);
    const QByteArray data = QByteArray("!<arch>\n") + QByteArray(5000, 'p');
    QByteArray sig(crypto_sign_BYTES, 0);
    crypto_sign_detached(reinterpret_cast<unsigned char*>(sig.data()), nullptr,
                         reinterpret_cast<const unsigned char*>(data.constData()),
                         static_cast<unsigned long long>(data.size()), sk);
    const QString key =
        QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(pk), sizeof pk).toBase64());
    const QString other = QString::fromLatin1(
        QByteArray(reinterpret_cast<const char*>(otherPk), sizeof otherPk).toBase64());
    QByteArray flippedData = data;
    flippedData[2500] = char(flippedData[2500] ^ 1);
    QByteArray flippedSig = sig;
    flippedSig[10] = char(flippedSig[10] ^ 0x80);
    struct Case {
        const char* name;
        QByteArray data, sig;
        QString key;
        bool ok;
    } cases[] = {
        {"signed", data, sig, key, true},
        {"one byte of the file flipped", flippedData, sig, key, false},
        {"one bit of the signature flipped", data, flippedSig, key, false},
        {"another key", data, sig, other, false},
        {"short file", data.left(4000), sig, key, false},
        {"no key", data, sig, QString(), false},
        {"key not base64", data, sig, u"%%%"_s, false},
        {"truncated signature", data, sig.left(63), key, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(platform::verifySignature(c.data, c.sig, c.key), c.ok) << c.name;
}

TEST(UpdateFeed, ReleaseScriptSignsWhatTheUpdaterAccepts) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString script = testenv::sourceDir() + u"/scripts/sign-release.sh"_s;
    auto run = [&](const QStringList& args) {
        QProcess p;
        p.setWorkingDirectory(dir.path());
        p.start(script, args);
        EXPECT_TRUE(p.waitForFinished(30000));
        EXPECT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
        return QString::fromUtf8(p.readAllStandardOutput());
    };
    const QString keyLine = run({u"keygen"_s, u"key.pem"_s});
    const QString publicKey = keyLine.section(u": "_s, 1).trimmed();
    const QByteArray package = QByteArray("!<arch>\n") + QByteArray(70000, 'q');
    ASSERT_TRUE(testenv::writeFile(dir.filePath(u"velmora_0.2.0_amd64.deb"_s), package));
    run({u"publish"_s, u"key.pem"_s, u"feed"_s, u"velmora_0.2.0_amd64.deb"_s, u"0.2.0"_s, u"2"_s});
    QString error;
    const auto parsed = platform::parseAppcast(
        testenv::readFile(dir.filePath(u"feed/appcast.xml"_s)), kBase, error);
    ASSERT_TRUE(parsed) << error.toStdString();
    ASSERT_EQ(parsed->items.size(), 1u);
    const AppcastItem& i = parsed->items[0];
    EXPECT_EQ(i.version, u"2"_s);
    EXPECT_EQ(i.displayVersion, u"0.2.0"_s);
    EXPECT_EQ(i.length, quint64(package.size()));
    EXPECT_TRUE(platform::verifySignature(package, i.signature, publicKey));
    QByteArray flipped = package;
    flipped[100] = 'r';
    EXPECT_FALSE(platform::verifySignature(flipped, i.signature, publicKey));
}
