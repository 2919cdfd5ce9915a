#include <gtest/gtest.h>

#include <QTemporaryDir>

#include "core/Config.h"
#include "support/TestEnv.h"

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
        const QString path = dir.path() + QStringLiteral("/velmora.env");
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
    EXPECT_EQ(m.at(QStringLiteral("VQ_SERVER")), QStringLiteral("https://example.test:9000"));
    EXPECT_EQ(m.count(QStringLiteral("VQ_MAX_SILENCE")), 0u);
    EXPECT_EQ(m.count(QStringLiteral("VQ_HOTWORDS")), 0u);
    EXPECT_EQ(m.at(QStringLiteral("EQ")), QStringLiteral("a=b=c"));
    EXPECT_EQ(m.at(QStringLiteral("export X")), QStringLiteral("1"));  // no special meaning
    EXPECT_EQ(m.at(QStringLiteral("Q")), QStringLiteral("\""));        // one quote is kept
    EXPECT_EQ(m.at(QStringLiteral("SINGLE")), QStringLiteral("'quoted'"));
    EXPECT_EQ(m.at(QStringLiteral("DUP")), QStringLiteral("second"));
    EXPECT_EQ(m.at(QStringLiteral("TAB")), QStringLiteral("v"));
    EXPECT_EQ(c.server(), QUrl(QStringLiteral("https://example.test:9000")));
}

TEST_F(ConfigTest, BadEnvFilesGiveAnEmptyMap) {
    EXPECT_TRUE(Config(dir.path() + QStringLiteral("/missing.env")).envFile().empty());
    EXPECT_TRUE(withEnvFile("VQ_SERVER=\xff\xfehttp://x\n").envFile().empty());  // not UTF-8
    QByteArray huge = "A=" + QByteArray(2 << 20, 'x') + "\n";
    EXPECT_TRUE(withEnvFile(huge).envFile().empty());
    // A long but sane line is fine.
    QByteArray longLine = "LONG=" + QByteArray(100000, 'y') + "\n";
    EXPECT_EQ(withEnvFile(longLine).envFile().at(QStringLiteral("LONG")).size(), 100000);
}

TEST_F(ConfigTest, EnvFileWinsButEmptyCountsAsUnset) {
    qputenv("VQ_SERVER_TOKEN", "from-process");
    EXPECT_EQ(withEnvFile("VQ_SERVER_TOKEN=\n").env(QStringLiteral("VQ_SERVER_TOKEN")),
              QStringLiteral("from-process"));
    EXPECT_EQ(withEnvFile("VQ_SERVER_TOKEN=from-file\n").env(QStringLiteral("VQ_SERVER_TOKEN")),
              QStringLiteral("from-file"));
    qputenv("VQ_SERVER_TOKEN", "");
    EXPECT_FALSE(withEnvFile("").env(QStringLiteral("VQ_SERVER_TOKEN")).has_value());
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
    EXPECT_EQ(c.serverURL(QStringLiteral("asr"), true).toString(),
              QStringLiteral("wss://api.example.test:8443/asr"));
    EXPECT_EQ(c.serverURL(QStringLiteral("polish"), false).toString(),
              QStringLiteral("https://api.example.test:8443/polish"));
    qputenv("VQ_SERVER", "http://127.0.0.1:9999/base");
    EXPECT_EQ(c.serverURL(QStringLiteral("asr"), true).toString(),
              QStringLiteral("ws://127.0.0.1:9999/base/asr"));
    qputenv("VQ_SERVER", "ftp://files.example.test");
    EXPECT_EQ(c.serverURL(QStringLiteral("asr"), true).scheme(), QStringLiteral("ws"));
}

TEST_F(ConfigTest, RequestHeaders) {
    Config c = withEnvFile("");
    QNetworkRequest r = c.serverRequest(QStringLiteral("ping"), false);
    EXPECT_FALSE(r.hasRawHeader("Authorization"));
    EXPECT_FALSE(r.rawHeader("X-App-Version").isEmpty());
    EXPECT_TRUE(r.hasRawHeader("X-OS-Version"));
    EXPECT_FALSE(r.rawHeader("X-OS-Version").contains("Version "));
    EXPECT_EQ(r.transferTimeout(), 60000);

    Config::setAccountTokenProvider([] { return std::optional<QString>(QStringLiteral("acct")); });
    EXPECT_EQ(c.serverRequest(QStringLiteral("ping"), false).rawHeader("Authorization"),
              "Bearer acct");
    qputenv("VQ_SERVER_TOKEN", "dev");
    EXPECT_EQ(c.serverRequest(QStringLiteral("ping"), false).rawHeader("Authorization"),
              "Bearer dev");
    Config::setAccountTokenProvider(nullptr);
    qunsetenv("VQ_SERVER_TOKEN");

    // A token that would break the header lines is not sent at all.
    for (const QByteArray& bad : {QByteArray("a\rb"), QByteArray("a\0b", 3), QByteArray("a b"),
                                  QByteArray("caf\xc3\xa9"), QByteArray("a\x7f")}) {
        const Config broken = withEnvFile("VQ_SERVER_TOKEN=" + bad + "\n");
        EXPECT_FALSE(
            broken.serverRequest(QStringLiteral("polish"), false).hasRawHeader("Authorization"))
            << bad.toHex().toStdString();
        EXPECT_FALSE(
            broken.serverRequest(QStringLiteral("asr"), true).hasRawHeader("Authorization"));
    }
    EXPECT_EQ(withEnvFile("VQ_SERVER_TOKEN=eyJ.a-b_c~d+e/f=\n")
                  .serverRequest(QStringLiteral("ping"), false)
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
    const Vocabulary want{{QStringLiteral("Acme"), 50}, {QStringLiteral("Zed"), 5},
                          {QStringLiteral("foo"), 50},  {QStringLiteral("4"), 50},
                          {QStringLiteral("bar"), 1},   {QStringLiteral("baz"), 50},
                          {QStringLiteral("Q"), 5}};
    EXPECT_EQ(v, want);
}

TEST_F(ConfigTest, VocabularyWeightsAndPrecedence) {
    Config c = withEnvFile("");
    QStringList learned;
    for (int i = 0; i < 60; ++i) learned << QStringLiteral("w%1").arg(i);
    Config::setStringList(QStringLiteral("learnedHotwords"), learned);
    Vocabulary v = c.vocabulary();
    ASSERT_EQ(v.size(), 60u);
    EXPECT_EQ(v[QStringLiteral("w59")], 50);
    EXPECT_EQ(v[QStringLiteral("w10")], 50);
    EXPECT_EQ(v[QStringLiteral("w9")], 5);
    EXPECT_EQ(v[QStringLiteral("w0")], 5);

    // The environment's weight wins over a learned duplicate, and its 50s count first.
    qputenv("VQ_HOTWORDS", "w59:2,Env");
    v = c.vocabulary();
    EXPECT_EQ(v[QStringLiteral("w59")], 2);
    EXPECT_EQ(v[QStringLiteral("Env")], 50);
    EXPECT_EQ(v[QStringLiteral("w58")], 50);
    // w59 now carries 2, so the fifty 50s are Env and w58..w10.
    EXPECT_EQ(v[QStringLiteral("w10")], 50);
    EXPECT_EQ(v[QStringLiteral("w9")], 5);
}

TEST_F(ConfigTest, LearnedWordsLists) {
    Config c = withEnvFile("");
    QStringList learned;
    for (int i = 0; i < 78; ++i) learned << QStringLiteral("old%1").arg(i);
    Config::setStringList(QStringLiteral("learnedHotwords"), learned);
    Config::setStringList(QStringLiteral("newHotwords"),
                          {QStringLiteral("old0"), QStringLiteral("old77")});
    const QStringList added =
        c.addLearnedHotwords({QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("A"),
                              QStringLiteral("c"), QStringLiteral("d"), QStringLiteral("e")},
                             false);
    EXPECT_EQ(added, (QStringList{"a", "b", "c", "d", "e"}));
    const QStringList now = Config::stringList(QStringLiteral("learnedHotwords"));
    ASSERT_EQ(now.size(), 80);
    EXPECT_EQ(now.first(), QStringLiteral("old3"));
    EXPECT_EQ(now.last(), QStringLiteral("e"));
    EXPECT_EQ(Config::stringList(QStringLiteral("newHotwords")),
              QStringList{QStringLiteral("old77")});

    // Rejected words are not learned again automatically, but typed by hand they are.
    Config::setStringList(QStringLiteral("learnedHotwords"), {});
    Config::setStringList(QStringLiteral("rejectedHotwords"), {QStringLiteral("acme")});
    EXPECT_TRUE(c.addLearnedHotwords({QStringLiteral("Acme")}, false).isEmpty());
    EXPECT_EQ(c.addLearnedHotwords({QStringLiteral("Acme")}, true),
              QStringList{QStringLiteral("Acme")});
    EXPECT_TRUE(Config::stringList(QStringLiteral("rejectedHotwords")).isEmpty());

    // Undo: removed from both lists and rejected, once, case-insensitively.
    Config::setStringList(QStringLiteral("newHotwords"), {QStringLiteral("Acme")});
    Config::setStringList(QStringLiteral("rejectedHotwords"),
                          {QStringLiteral("ACME"), QStringLiteral("zed")});
    c.rejectLearnedHotwords({QStringLiteral("Acme")});
    EXPECT_TRUE(Config::stringList(QStringLiteral("learnedHotwords")).isEmpty());
    EXPECT_TRUE(Config::stringList(QStringLiteral("newHotwords")).isEmpty());
    EXPECT_EQ(Config::stringList(QStringLiteral("rejectedHotwords")),
              (QStringList{QStringLiteral("zed"), QStringLiteral("Acme")}));

    QStringList many;
    for (int i = 0; i < 205; ++i) many << QStringLiteral("r%1").arg(i);
    c.rejectLearnedHotwords(many);
    const QStringList rejected = Config::stringList(QStringLiteral("rejectedHotwords"));
    ASSERT_EQ(rejected.size(), 200);
    EXPECT_EQ(rejected.last(), QStringLiteral("r204"));
}

TEST_F(ConfigTest, DefaultsOfTheWrongTypeFallBack) {
    Config c = withEnvFile("");
    EXPECT_TRUE(c.polishEnabled());
    Config::d()->setValue(QStringLiteral("polishEnabled"), false);
    EXPECT_FALSE(c.polishEnabled());
    Config::d()->setValue(QStringLiteral("polishEnabled"), QStringLiteral("banana"));
    EXPECT_TRUE(c.polishEnabled());
    Config::d()->setValue(QStringLiteral("toggleMode"), QStringLiteral("false"));
    EXPECT_FALSE(c.toggleMode());
    Config::d()->setValue(QStringLiteral("learnedHotwords"), 42);
    EXPECT_TRUE(Config::stringList(QStringLiteral("learnedHotwords")).isEmpty());
    Config::d()->setValue(QStringLiteral("stats.words"), QStringLiteral("lots"));
    EXPECT_EQ(Config::intValue(QStringLiteral("stats.words"), 0), 0);

    // learnHotwords: the stored key wins, else VQ_LEARN_HOTWORDS == "1".
    EXPECT_FALSE(c.learnHotwords());
    qputenv("VQ_LEARN_HOTWORDS", "1");
    EXPECT_TRUE(c.learnHotwords());
    Config::d()->setValue(QStringLiteral("learnHotwords"), false);
    EXPECT_FALSE(c.learnHotwords());
}

TEST_F(ConfigTest, HotkeyChoice) {
    Config c = withEnvFile("");
    EXPECT_EQ(c.hotkey(), HotkeyChoice::rightControl);  // unset: the key X can see
    Config::d()->setValue(QStringLiteral("hotkey"), QStringLiteral("RightOption"));
    EXPECT_EQ(c.hotkey(), HotkeyChoice::fn);
    Config::d()->setValue(QStringLiteral("hotkey"), QStringLiteral("rightOption"));
    EXPECT_EQ(c.hotkey(), HotkeyChoice::rightOption);
}

}  // namespace
