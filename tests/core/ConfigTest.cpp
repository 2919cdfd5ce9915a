#include <gtest/gtest.h>

#include <QTemporaryDir>

#include "core/Config.h"
#include "support/TestEnv.h"

using namespace Qt::StringLiterals;

namespace {

// Every test starts with empty defaults and a private env file.
class ConfigTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Config::d()->clear();
        for (const char* v :
             {"VQ_SERVER", "VQ_SERVER_TOKEN", "VQ_HOTWORDS", "VQ_MAX_SILENCE", "VQ_LEARN_HOTWORDS"})
            qunsetenv(v);
    }
    Config withEnvFile(const QByteArray& text) {
        const QString path = dir.path() + u"/velmora.env"_s;
        testenv::writeFile(path, text);
        return Config(path);
    }
    QTemporaryDir dir;
};

TEST_F(ConfigTest, EnvFileParsingRules) {
    Config c = withEnvFile(
        "# comment\n"
        "  VQ_SERVER  =  \"https://example.test:9000\"  \n"
        "#VQ_MAX_SILENCE=900\n"
        "VQ_HOTWORDS\n"
        "\n"
        "EQ=a=b=c\n"
        "export X=1\n"
        "Q=\"\n"
        "SINGLE='quoted'\n"
        "DUP=first\n"
        "DUP=second\r\n"
        "\t TAB=\tv\t\n");
    const auto& m = c.envFile();
    EXPECT_EQ(m.at(u"VQ_SERVER"_s), u"https://example.test:9000"_s);
    EXPECT_EQ(m.count(u"VQ_MAX_SILENCE"_s), 0u);
    EXPECT_EQ(m.count(u"VQ_HOTWORDS"_s), 0u);
    EXPECT_EQ(m.at(u"EQ"_s), u"a=b=c"_s);
    EXPECT_EQ(m.at(u"export X"_s), u"1"_s);  // no special meaning
    EXPECT_EQ(m.at(u"Q"_s), u"\""_s);        // one quote is kept
    EXPECT_EQ(m.at(u"SINGLE"_s), u"'quoted'"_s);
    EXPECT_EQ(m.at(u"DUP"_s), u"second"_s);
    EXPECT_EQ(m.at(u"TAB"_s), u"v"_s);
    EXPECT_EQ(c.server(), QUrl(u"https://example.test:9000"_s));
}

TEST_F(ConfigTest, BadEnvFilesGiveAnEmptyMap) {
    EXPECT_TRUE(Config(dir.path() + u"/missing.env"_s).envFile().empty());
    EXPECT_TRUE(withEnvFile("VQ_SERVER=\xff\xfehttp://x\n").envFile().empty());  // not UTF-8
    QByteArray huge = "A=" + QByteArray(2 << 20, 'x') + "\n";
    EXPECT_TRUE(withEnvFile(huge).envFile().empty());
    // A long but sane line is fine.
    QByteArray longLine = "LONG=" + QByteArray(100000, 'y') + "\n";
    EXPECT_EQ(withEnvFile(longLine).envFile().at(u"LONG"_s).size(), 100000);
}

TEST_F(ConfigTest, EnvFileWinsButEmptyCountsAsUnset) {
    qputenv("VQ_SERVER_TOKEN", "from-process");
    EXPECT_EQ(withEnvFile("VQ_SERVER_TOKEN=\n").env(u"VQ_SERVER_TOKEN"_s), u"from-process"_s);
    EXPECT_EQ(withEnvFile("VQ_SERVER_TOKEN=from-file\n").env(u"VQ_SERVER_TOKEN"_s), u"from-file"_s);
    qputenv("VQ_SERVER_TOKEN", "");
    EXPECT_FALSE(withEnvFile("").env(u"VQ_SERVER_TOKEN"_s).has_value());
}

TEST_F(ConfigTest, ServerUrlFallbackAndWebSocketScheme) {
    Config c = withEnvFile("");
    const QUrl def{QLatin1String(Config::kDefaultServer)};
    EXPECT_EQ(c.server(), def);
    for (const char* bad : {"not a url", "http://", "://nohost", "host-only"}) {
        qputenv("VQ_SERVER", bad);
        EXPECT_EQ(c.server(), def) << bad;
    }
    qputenv("VQ_SERVER", "https://api.example.test:8443");
    EXPECT_EQ(c.serverURL(u"asr"_s, true).toString(), u"wss://api.example.test:8443/asr"_s);
    EXPECT_EQ(c.serverURL(u"polish"_s, false).toString(),
              u"https://api.example.test:8443/polish"_s);
    qputenv("VQ_SERVER", "http://127.0.0.1:9999/base");
    EXPECT_EQ(c.serverURL(u"asr"_s, true).toString(), u"ws://127.0.0.1:9999/base/asr"_s);
    qputenv("VQ_SERVER", "ftp://files.example.test");
    EXPECT_EQ(c.serverURL(u"asr"_s, true).scheme(), u"ws"_s);
}

TEST_F(ConfigTest, RequestHeaders) {
    Config c = withEnvFile("");
    QNetworkRequest r = c.serverRequest(u"ping"_s, false);
    EXPECT_FALSE(r.hasRawHeader("Authorization"));
    EXPECT_FALSE(r.rawHeader("X-App-Version").isEmpty());
    EXPECT_TRUE(r.hasRawHeader("X-OS-Version"));
    EXPECT_FALSE(r.rawHeader("X-OS-Version").contains("Version "));
    EXPECT_EQ(r.transferTimeout(), 60000);

    Config::setAccountTokenProvider([] { return std::optional<QString>(u"acct"_s); });
    EXPECT_EQ(c.serverRequest(u"ping"_s, false).rawHeader("Authorization"), "Bearer acct");
    qputenv("VQ_SERVER_TOKEN", "dev");
    EXPECT_EQ(c.serverRequest(u"ping"_s, false).rawHeader("Authorization"), "Bearer dev");
    Config::setAccountTokenProvider(nullptr);
    qunsetenv("VQ_SERVER_TOKEN");

    // A token that would break the header lines is not sent at all.
    for (const QByteArray& bad : {QByteArray("a\rb"), QByteArray("a\0b", 3), QByteArray("a b"),
                                  QByteArray("caf\xc3\xa9"), QByteArray("a\x7f")}) {
        const Config broken = withEnvFile("VQ_SERVER_TOKEN=" + bad + "\n");
        EXPECT_FALSE(broken.serverRequest(u"polish"_s, false).hasRawHeader("Authorization"))
            << bad.toHex().toStdString();
        EXPECT_FALSE(broken.serverRequest(u"asr"_s, true).hasRawHeader("Authorization"));
    }
    EXPECT_EQ(withEnvFile("VQ_SERVER_TOKEN=eyJ.a-b_c~d+e/f=\n")
                  .serverRequest(u"ping"_s, false)
                  .rawHeader("Authorization"),
              "Bearer eyJ.a-b_c~d+e/f=");
}

TEST_F(ConfigTest, MaxSentenceSilence) {
    Config c = withEnvFile("");
    EXPECT_EQ(c.maxSentenceSilence(), 400);
    const std::pair<const char*, int> cases[] = {{"+700", 700},       {"-5", -5},    {"7s", 400},
                                                 {"", 400},           {" 700", 400}, {"+", 400},
                                                 {"99999999999", 400}};
    for (const auto& [text, want] : cases) {
        qputenv("VQ_MAX_SILENCE", text);
        EXPECT_EQ(c.maxSentenceSilence(), want) << text;
    }
}

TEST_F(ConfigTest, EnvHotwordsParsing) {
    Config c = withEnvFile("");
    qputenv("VQ_HOTWORDS",
            QString::fromUtf8("Acme:3\xef\xbc\x8cZed:9\nfoo:x,:4, ,::,bar:-2,baz:50,Q: 7 ,Acme")
                .toUtf8());
    const Vocabulary v = c.envHotwords();
    const Vocabulary want{{u"Acme"_s, 50}, {u"Zed"_s, 5},  {u"foo"_s, 50}, {u"4"_s, 50},
                          {u"bar"_s, 1},   {u"baz"_s, 50}, {u"Q"_s, 5}};
    EXPECT_EQ(v, want);
}

TEST_F(ConfigTest, VocabularyWeightsAndPrecedence) {
    Config c = withEnvFile("");
    QStringList learned;
    for (int i = 0; i < 60; ++i) learned << u"w%1"_s.arg(i);
    Config::setStringList(u"learnedHotwords"_s, learned);
    Vocabulary v = c.vocabulary();
    ASSERT_EQ(v.size(), 60u);
    EXPECT_EQ(v[u"w59"_s], 50);
    EXPECT_EQ(v[u"w10"_s], 50);
    EXPECT_EQ(v[u"w9"_s], 5);
    EXPECT_EQ(v[u"w0"_s], 5);

    // The environment's weight wins over a learned duplicate, and its 50s count first.
    qputenv("VQ_HOTWORDS", "w59:2,Env");
    v = c.vocabulary();
    EXPECT_EQ(v[u"w59"_s], 2);
    EXPECT_EQ(v[u"Env"_s], 50);
    EXPECT_EQ(v[u"w58"_s], 50);
    // w59 now carries 2, so the fifty 50s are Env and w58..w10.
    EXPECT_EQ(v[u"w10"_s], 50);
    EXPECT_EQ(v[u"w9"_s], 5);
}

TEST_F(ConfigTest, LearnedWordsLists) {
    Config c = withEnvFile("");
    QStringList learned;
    for (int i = 0; i < 78; ++i) learned << u"old%1"_s.arg(i);
    Config::setStringList(u"learnedHotwords"_s, learned);
    Config::setStringList(u"newHotwords"_s, {u"old0"_s, u"old77"_s});
    const QStringList added =
        c.addLearnedHotwords({u"a"_s, u"b"_s, u"A"_s, u"c"_s, u"d"_s, u"e"_s}, false);
    EXPECT_EQ(added, (QStringList{"a", "b", "c", "d", "e"}));
    const QStringList now = Config::stringList(u"learnedHotwords"_s);
    ASSERT_EQ(now.size(), 80);
    EXPECT_EQ(now.first(), u"old3"_s);
    EXPECT_EQ(now.last(), u"e"_s);
    EXPECT_EQ(Config::stringList(u"newHotwords"_s), QStringList{u"old77"_s});

    // Rejected words are not learned again automatically, but typed by hand they are.
    Config::setStringList(u"learnedHotwords"_s, {});
    Config::setStringList(u"rejectedHotwords"_s, {u"acme"_s});
    EXPECT_TRUE(c.addLearnedHotwords({u"Acme"_s}, false).isEmpty());
    EXPECT_EQ(c.addLearnedHotwords({u"Acme"_s}, true), QStringList{u"Acme"_s});
    EXPECT_TRUE(Config::stringList(u"rejectedHotwords"_s).isEmpty());

    // Undo: removed from both lists and rejected, once, case-insensitively.
    Config::setStringList(u"newHotwords"_s, {u"Acme"_s});
    Config::setStringList(u"rejectedHotwords"_s, {u"ACME"_s, u"zed"_s});
    c.rejectLearnedHotwords({u"Acme"_s});
    EXPECT_TRUE(Config::stringList(u"learnedHotwords"_s).isEmpty());
    EXPECT_TRUE(Config::stringList(u"newHotwords"_s).isEmpty());
    EXPECT_EQ(Config::stringList(u"rejectedHotwords"_s), (QStringList{u"zed"_s, u"Acme"_s}));

    QStringList many;
    for (int i = 0; i < 205; ++i) many << u"r%1"_s.arg(i);
    c.rejectLearnedHotwords(many);
    const QStringList rejected = Config::stringList(u"rejectedHotwords"_s);
    ASSERT_EQ(rejected.size(), 200);
    EXPECT_EQ(rejected.last(), u"r204"_s);
}

TEST_F(ConfigTest, DefaultsOfTheWrongTypeFallBack) {
    Config c = withEnvFile("");
    EXPECT_TRUE(c.polishEnabled());
    Config::d()->setValue(u"polishEnabled"_s, false);
    EXPECT_FALSE(c.polishEnabled());
    Config::d()->setValue(u"polishEnabled"_s, u"banana"_s);
    EXPECT_TRUE(c.polishEnabled());
    Config::d()->setValue(u"toggleMode"_s, u"false"_s);
    EXPECT_FALSE(c.toggleMode());
    Config::d()->setValue(u"learnedHotwords"_s, 42);
    EXPECT_TRUE(Config::stringList(u"learnedHotwords"_s).isEmpty());
    Config::d()->setValue(u"stats.words"_s, u"lots"_s);
    EXPECT_EQ(Config::intValue(u"stats.words"_s, 0), 0);

    // learnHotwords: the stored key wins, else VQ_LEARN_HOTWORDS == "1".
    EXPECT_FALSE(c.learnHotwords());
    qputenv("VQ_LEARN_HOTWORDS", "1");
    EXPECT_TRUE(c.learnHotwords());
    Config::d()->setValue(u"learnHotwords"_s, false);
    EXPECT_FALSE(c.learnHotwords());
}

}  // namespace
