#include <gtest/gtest.h>
#include <sodium.h>
#include <unistd.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <cstdio>

#include "Endpoints.h"
#include "ServerTestUtil.h"
#include "core/Config.h"
#include "core/UpdateCard.h"
#include "core/Updater.h"
#include "harness/LogReader.h"
#include "harness/Wait.h"
#include "platform/UpdateFramework.h"
#include "support/TestEnv.h"

using namespace Qt::StringLiterals;

using Kind = UpdateCardState::Kind;
using namespace std::chrono_literals;

namespace {

// A signing key, the served folder with its feeds and packages, and a user-local install of
// build 1 under a temporary root.
class UpdateFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_GE(sodium_init(), 0);
        crypto_sign_keypair(pk_, sk_);
        publicKey_ = QString::fromLatin1(
            QByteArray(reinterpret_cast<const char*>(pk_), sizeof pk_).toBase64());
        ASSERT_TRUE(tmp_.isValid());
        served_ = tmp_.filePath(u"served"_s);
        root_ = tmp_.filePath(u"root"_s);
        ASSERT_TRUE(QDir().mkpath(served_));
        writeScript(root_ + u"/velmora-1/usr/bin/velmora"_s, u"1"_s);
        ASSERT_EQ(::symlink("velmora-1", QFile::encodeName(root_ + u"/current"_s).constData()), 0);
        vserver::registerUpdates(server_.server(), served_.toStdString());
        vserver::registerPing(server_.server());
        server_.start();
        Config::d()->remove(u"lastRunBuild"_s);
        // Only the checks a test asks for.
        QSettings().setValue(u"updates.automaticChecks"_s, false);
    }

    static void writeScript(const QString& path, const QString& build) {
        ASSERT_TRUE(testenv::writeFile(path, "#!/bin/sh\necho velmora " + build.toUtf8() + "\n"));
        QFile::setPermissions(path, QFile::permissions(path) | QFileDevice::ExeOwner);
    }

    // A Debian package of build `build` with `padding` bytes of payload.
    QByteArray makeDeb(const QString& build, const QString& display, qsizetype padding) {
        const QString stage = tmp_.filePath(u"stage-"_s + build);
        EXPECT_TRUE(
            testenv::writeFile(stage + u"/DEBIAN/control"_s,
                               "Package: velmora\nVersion: " + display.toUtf8() +
                                   "\nArchitecture: all\nMaintainer: Velmora <dev@velmora.app>\n"
                                   "Description: test package\n"));
        writeScript(stage + u"/usr/bin/velmora"_s, build);
        QByteArray pad(padding, 0);
        randombytes_buf(pad.data(), size_t(pad.size()));
        EXPECT_TRUE(testenv::writeFile(stage + u"/usr/share/velmora/payload"_s, pad));
        const QString out = tmp_.filePath(u"velmora-"_s + build + u".deb"_s);
        QProcess dpkg;
        dpkg.start(u"dpkg-deb"_s, {u"--root-owner-group"_s, u"-Znone"_s, u"-b"_s, stage, out});
        EXPECT_TRUE(dpkg.waitForFinished(60000));
        EXPECT_EQ(dpkg.exitCode(), 0) << dpkg.readAllStandardError().toStdString();
        return testenv::readFile(out);
    }

    QByteArray sign(const QByteArray& data) const {
        QByteArray sig(crypto_sign_BYTES, 0);
        crypto_sign_detached(reinterpret_cast<unsigned char*>(sig.data()), nullptr,
                             reinterpret_cast<const unsigned char*>(data.constData()),
                             static_cast<unsigned long long>(data.size()), sk_);
        return sig;
    }

    // Serves `file` under `name` and a feed `feedName` offering it as build 2, "0.2.0".
    void publish(const QString& feedName, const QString& url, const QByteArray& signature,
                 quint64 length) {
        const QString xml = QStringLiteral(
                                "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
                                "<rss version=\"2.0\" xmlns:v=\"https://velmora.app/xml/appcast\">"
                                "<channel><title>Velmora</title><item><title>0.2.0</title>"
                                "<v:version>2</v:version><v:shortVersionString>0.2.0"
                                "</v:shortVersionString><enclosure url=\"%1\" length=\"%2\" "
                                "type=\"application/vnd.debian.binary-package\" "
                                "v:edSignature=\"%3\"/></item></channel></rss>\n")
                                .arg(url)
                                .arg(length)
                                .arg(QString::fromLatin1(signature.toBase64()));
        serve(feedName, xml.toUtf8());
    }

    void serve(const QString& name, const QByteArray& bytes) {
        ASSERT_TRUE(testenv::writeFile(served_ + QLatin1Char('/') + name, bytes));
    }

    QUrl feedUrl(const QString& name) const {
        return QUrl(u"http://127.0.0.1:%1/updates/"_s.arg(server_.port()) + name);
    }

    // An updater of the running build over the real framework.
    std::unique_ptr<Updater> makeUpdater(UpdateCard& card, const QString& display,
                                         const QString& build, const QString& feed) {
        return std::make_unique<Updater>(
            card, Updater::Bundle{display, build},
            [this, display, build, feed](platform::UpdateUserDriver& driver) {
                platform::UpdateSettings s;
                s.feed = feedUrl(feed);
                s.publicKey = publicKey_;
                s.displayVersion = display;
                s.build = build;
                s.osVersion = u"12"_s;
                s.userRoot = root_;
                s.relaunch = [this](const QString& exe) { relaunched_ = exe; };
                return platform::makeUpdateFramework(driver, s);
            });
    }

    QStringList rootEntries() const {
        return QDir(root_).entryList(
            QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot | QDir::System, QDir::Name);
    }

    unsigned char pk_[crypto_sign_PUBLICKEYBYTES];
    unsigned char sk_[crypto_sign_SECRETKEYBYTES];
    QString publicKey_;
    QTemporaryDir tmp_;
    QString served_, root_;
    servertest::RunningServer server_;
    QString relaunched_;
};

// Everything the card showed, in order.
struct CardRecorder {
    explicit CardRecorder(UpdateCard& card) {
        QObject::connect(&card.model, &UpdateCardModel::changed, &card.model, [this, &card] {
            if (card.model.state()) states.push_back(*card.model.state());
        });
    }
    bool showing(Kind kind) const { return !states.empty() && states.back().kind == kind; }
    std::vector<UpdateCardState> states;
};

}  // namespace

TEST_F(UpdateFixture, UpdatesOverLoopbackAndSaysSoAfterTheRelaunch) {
    // VQ_TEST_UPDATE_MB makes the package bigger, to measure the download.
    const int mb = std::max(1, qEnvironmentVariableIntValue("VQ_TEST_UPDATE_MB"));
    const QByteArray deb =
        makeDeb(u"2"_s, u"0.2.0"_s,
                qsizetype(qEnvironmentVariableIsSet("VQ_TEST_UPDATE_MB") ? mb : 3) << 20);
    serve(u"velmora_0.2.0_all.deb"_s, deb);
    publish(u"appcast.xml"_s, u"velmora_0.2.0_all.deb"_s, sign(deb), quint64(deb.size()));
    harness::LogReader log;

    // The app finds its user-local installation from where it runs.
    EXPECT_EQ(platform::userInstallRoot(root_ + u"/velmora-1/usr/bin/velmora"_s), root_);
    EXPECT_EQ(platform::userInstallRoot(u"/usr/bin/velmora"_s), QString());

    UpdateCard card;
    CardRecorder seen(card);
    auto updater = makeUpdater(card, u"0.1.0"_s, u"1"_s, u"appcast.xml"_s);
    int changes = 0, windows = 0;
    QObject::connect(updater.get(), &Updater::changed, [&] { ++changes; });
    updater->showWindow = [&] { ++windows; };
    // What a run that died while unpacking left behind goes at the next start.
    ASSERT_TRUE(QDir().mkpath(root_ + u"/.partial-died/usr/bin"_s));
    updater->start();
    EXPECT_FALSE(QFileInfo::exists(root_ + u"/.partial-died"_s));
    EXPECT_EQ(Config::stringValue(u"lastRunBuild"_s), u"1"_s);

    updater->checkForUpdates();
    ASSERT_TRUE(harness::waitUntil([&] { return seen.showing(Kind::available); }, "available"));
    EXPECT_EQ(seen.states.front().kind, Kind::checking);
    EXPECT_EQ(seen.states.back(), UpdateCardState::available(u"0.2.0"_s, u"0.1.0"_s));
    EXPECT_EQ(updater->waiting, u"0.2.0"_s);
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(windows, 1);

    QElapsedTimer clock;
    clock.start();
    card.model.primary();  // "Update"
    ASSERT_TRUE(harness::waitUntil([&] { return !relaunched_.isEmpty(); }, "relaunch", 60s));
    const qint64 toRelaunchMs = clock.elapsed();

    std::vector<double> fractions;
    bool indeterminateFirst = false, installing = false;
    for (const UpdateCardState& s : seen.states) {
        if (s.kind == Kind::downloading && s.progress) fractions.push_back(*s.progress);
        if (s.kind == Kind::downloading && !s.progress && fractions.empty())
            indeterminateFirst = true;
        installing |= s.kind == Kind::installing;
    }
    EXPECT_TRUE(indeterminateFirst);
    ASSERT_GE(fractions.size(), 2u) << "progress along the way";
    EXPECT_TRUE(std::is_sorted(fractions.begin(), fractions.end()));
    EXPECT_DOUBLE_EQ(fractions.back(), 1.0);
    EXPECT_TRUE(installing);
    EXPECT_FALSE(updater->waiting);
    EXPECT_EQ(changes, 2);

    // The new package runs from "current"; the one still running stays beside it.
    EXPECT_EQ(relaunched_, root_ + u"/current/usr/bin/velmora"_s);
    EXPECT_EQ(QFileInfo(root_ + u"/current"_s).symLinkTarget(), root_ + u"/velmora-2"_s);
    EXPECT_EQ(rootEntries(), (QStringList{u"current"_s, u"velmora-1"_s, u"velmora-2"_s}));
    QProcess run;
    run.start(relaunched_, {});
    ASSERT_TRUE(run.waitForFinished(10000));
    EXPECT_EQ(run.readAllStandardOutput(), "velmora 2\n");
    for (const QString& line : log.lines())
        if (line.contains(QLatin1String("Updates: downloaded")))
            std::printf("[ figures ] %s\n", line.toUtf8().constData());
    std::printf("[ figures ] %lld bytes in %lld ms from Update to relaunch\n",
                static_cast<long long>(deb.size()), static_cast<long long>(toRelaunchMs));

    // The next launch, of build 2, says it was updated.
    updater.reset();
    UpdateCard nextCard;
    nextCard.autoHideMs = 60000;
    auto next = makeUpdater(nextCard, u"0.2.0"_s, u"2"_s, u"appcast.xml"_s);
    next->announceDelayMs = 0;
    int nextWindows = 0;
    next->showWindow = [&] { ++nextWindows; };
    next->start();
    ASSERT_TRUE(harness::waitUntil([&] { return nextCard.model.state().has_value(); }, "updated"));
    EXPECT_EQ(*nextCard.model.state(), UpdateCardState::updated(u"0.2.0"_s));
    EXPECT_EQ(nextWindows, 1);
    EXPECT_EQ(Config::stringValue(u"lastRunBuild"_s), u"2"_s);
}

TEST_F(UpdateFixture, AFailedUpdateLeavesTheInstalledAppAlone) {
    const QByteArray deb = makeDeb(u"2"_s, u"0.2.0"_s, 256 << 10);
    QByteArray tampered = deb;
    tampered[tampered.size() / 2] = char(tampered[tampered.size() / 2] ^ 1);
    serve(u"good.deb"_s, deb);
    serve(u"tampered.deb"_s, tampered);
    serve(u"short.deb"_s, deb.left(deb.size() - 1000));
    publish(u"tampered.xml"_s, u"tampered.deb"_s, sign(deb), quint64(deb.size()));
    publish(u"short.xml"_s, u"short.deb"_s, sign(deb), quint64(deb.size()));
    publish(u"missing.xml"_s, u"gone.deb"_s, sign(deb), quint64(deb.size()));
    serve(u"garbled.xml"_s, "<rss><channel><item><title>0.2.0</ti");

    // A server that announces the whole package and hangs up halfway.
    QTcpServer cutter;
    ASSERT_TRUE(cutter.listen(QHostAddress::LocalHost));
    QObject::connect(&cutter, &QTcpServer::newConnection, [&] {
        QTcpSocket* s = cutter.nextPendingConnection();
        QObject::connect(s, &QTcpSocket::readyRead, s, [s, &deb] {
            s->readAll();
            s->write(
                "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n"
                "Content-Length: " +
                QByteArray::number(deb.size()) + "\r\n\r\n");
            s->write(deb.left(deb.size() / 2));
            s->disconnectFromHost();
        });
        QObject::connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
    });
    publish(u"cut.xml"_s, u"http://127.0.0.1:%1/cut.deb"_s.arg(cutter.serverPort()), sign(deb),
            quint64(deb.size()));

    struct Case {
        const char* feed;
        bool offered;  // the card got as far as "available"
        const char* says;
    } cases[] = {
        {"tampered.xml", true, "not signed"},
        {"short.xml", true, "shorter than announced"},
        {"missing.xml", true, "error occurred while downloading"},
        {"cut.xml", true, "error occurred while downloading"},
        {"garbled.xml", false, "could not be read"},
        {"nothing-here.xml", false, "could not be loaded"},
    };
    const QStringList before = rootEntries();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.feed);
        UpdateCard card;
        CardRecorder seen(card);
        auto updater = makeUpdater(card, u"0.1.0"_s, u"1"_s, QString::fromLatin1(c.feed));
        updater->start();
        updater->checkForUpdates();
        if (c.offered) {
            ASSERT_TRUE(
                harness::waitUntil([&] { return seen.showing(Kind::available); }, "available"));
            card.model.primary();
        }
        ASSERT_TRUE(harness::waitUntil([&] { return seen.showing(Kind::failed); }, "failed", 30s));
        EXPECT_TRUE(seen.states.back().message.contains(QLatin1String(c.says)))
            << seen.states.back().message.toStdString();
        EXPECT_EQ(seen.states.back().title(AppLanguage::en), u"Couldn't update"_s);
        card.model.primary();  // "OK"
        EXPECT_FALSE(card.model.state());
        EXPECT_TRUE(relaunched_.isEmpty());
        EXPECT_EQ(rootEntries(), before);
        EXPECT_EQ(QFileInfo(root_ + u"/current"_s).symLinkTarget(), root_ + u"/velmora-1"_s);
    }
}

TEST_F(UpdateFixture, ServesOnlyTheFilesOfItsFolder) {
    serve(u"appcast.xml"_s, "<rss/>");
    serve(u".hidden"_s, "secret");
    ASSERT_TRUE(QDir().mkpath(served_ + u"/sub"_s));
    serve(u"sub/x.deb"_s, "x");
    struct Case {
        const char* target;
        int status;
    } cases[] = {
        {"/updates/appcast.xml", 200},
        {"/updates/appcast.xml?x=1", 200},
        {"/updates/.hidden", 404},
        {"/updates/sub/x.deb", 404},
        {"/updates/../served/appcast.xml", 404},
        {"/updates/%2e%2e%2fetc%2fpasswd", 404},
        {"/updates/sub", 404},
        {"/updates/", 404},
        {"/ping", 401},  // everything else still wants the token
    };
    for (const Case& c : cases)
        EXPECT_EQ(servertest::request(server_.port(), "GET", c.target, {}, {}).status, c.status)
            << c.target;
}

TEST(UpdateCard, ShowsHidesAndAnswersOnce) {
    UpdateCard card;
    card.autoHideMs = 50;
    int acks = 0, later = 0, updates = 0;

    // Up to date: hides itself a moment later and acknowledges once.
    card.show(UpdateCardState::upToDate(u"0.3.2"_s), [&] { ++acks; });
    ASSERT_TRUE(harness::waitUntil([&] { return !card.model.state(); }, "auto-hide"));
    harness::passTimersDue(100ms);
    EXPECT_EQ(acks, 1);

    // Closed early: hidden, acknowledged once, the pending hide cancelled.
    card.show(UpdateCardState::updated(u"0.3.2"_s), [&] { ++acks; });
    card.model.secondary();
    card.model.secondary();
    EXPECT_FALSE(card.model.state());
    harness::passTimersDue(100ms);
    EXPECT_EQ(acks, 2);

    // Available: "Update" keeps the card for the next state and answers once.
    card.show(
        UpdateCardState::available(u"0.3.2"_s, u"0.3.1"_s), [&] { ++updates; }, [&] { ++later; });
    card.model.primary();
    card.model.primary();
    EXPECT_TRUE(card.model.state());
    EXPECT_EQ(updates, 1);
    card.model.secondary();
    EXPECT_EQ(later, 0);

    // "Later" hides and dismisses.
    card.show(
        UpdateCardState::available(u"0.3.2"_s, u"0.3.1"_s), [&] { ++updates; }, [&] { ++later; });
    card.model.secondary();
    EXPECT_FALSE(card.model.state());
    EXPECT_EQ(later, 1);

    // Failed: "OK" hides before acknowledging; nothing hides it on its own.
    bool shownWhenAcknowledged = true;
    card.show(UpdateCardState::failed(u"no"_s),
              [&] { shownWhenAcknowledged = card.model.state().has_value(); });
    harness::passTimersDue(100ms);
    ASSERT_TRUE(card.model.state());
    card.model.primary();
    EXPECT_FALSE(shownWhenAcknowledged);
}

TEST(UpdateCard, DriverProgressAndWaitingVersion) {
    UpdateCard card;
    Updater updater(card, {u"0.3.1"_s, u"31"_s}, [](platform::UpdateUserDriver& driver) {
        return platform::makeUpdateFramework(driver, {});
    });
    updater.start();  // no feed: logged, nothing shown
    EXPECT_FALSE(card.model.state());
    CardDriver& d = updater.driver;
    d.showDownloadInitiated();
    EXPECT_EQ(*card.model.state(), UpdateCardState::downloading());
    d.showDownloadDidReceiveData(500);  // no length announced: stays indeterminate
    EXPECT_EQ(*card.model.state(), UpdateCardState::downloading());
    d.showDownloadInitiated();
    d.showDownloadDidReceiveExpectedContentLength(100);
    d.showDownloadDidReceiveData(60);
    EXPECT_EQ(*card.model.state(), UpdateCardState::downloading(0.6));
    d.showDownloadDidReceiveData(60);  // more than announced
    EXPECT_EQ(*card.model.state(), UpdateCardState::downloading(1.0));

    int changes = 0;
    QObject::connect(&updater, &Updater::changed, [&] { ++changes; });
    int replies = 0;
    for (int i = 0; i < 2; ++i)
        d.showUpdateFound({u"0.3.2"_s, u"32"_s}, false, [&](platform::UpdateChoice) { ++replies; });
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(updater.waiting, u"0.3.2"_s);
    d.showUpdateNotFound({}, [] {});
    EXPECT_EQ(changes, 2);
    EXPECT_FALSE(updater.waiting);
    EXPECT_EQ(*card.model.state(), UpdateCardState::upToDate(u"0.3.1"_s));
}

TEST(UpdateCard, AnnouncesOnlyAnUpgrade) {
    struct Case {
        const char* stored;  // "" : first launch
        const char* build;
        bool announced;
        const char* name;
    } cases[] = {
        {"", "5", false, "first launch"},
        {"5", "5", false, "same build"},
        {"9", "5", false, "downgrade"},
        {"9", "10", true, "upgrade past a digit"},
    };
    for (const Case& c : cases) {
        if (*c.stored)
            Config::d()->setValue(u"lastRunBuild"_s, QString::fromLatin1(c.stored));
        else
            Config::d()->remove(u"lastRunBuild"_s);
        UpdateCard card;
        Updater updater(card, {u"1.0"_s, QString::fromLatin1(c.build)},
                        [](platform::UpdateUserDriver& driver) {
                            return platform::makeUpdateFramework(driver, {});
                        });
        updater.announceDelayMs = 0;
        updater.announceIfUpdated();
        harness::passTimersDue(10ms);
        EXPECT_EQ(card.model.state().has_value(), c.announced) << c.name;
        EXPECT_EQ(Config::stringValue(u"lastRunBuild"_s), QString::fromLatin1(c.build)) << c.name;
    }
}
