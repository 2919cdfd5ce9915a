#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QFileInfo>
#include <QSettings>
#include <QSignalSpy>

#include "core/Config.h"
#include "core/DictionaryModel.h"
#include "core/HotwordLearner.h"
#include "harness/LogReader.h"

namespace {

QStringList stored(const char* key) {
    return Config::stringList(QLatin1String(key));
}

class DictionaryModelTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Config::d()->clear();
        qunsetenv("VQ_HOTWORDS");
        qunsetenv("VQ_LEARN_HOTWORDS");
    }
    Config config{QStringLiteral("/nonexistent/velmora.env")};
};

TEST_F(DictionaryModelTest, AddingByHand) {
    qputenv("VQ_HOTWORDS", "Zed:3,Acme");
    DictionaryModel model(config);
    model.reload();
    EXPECT_EQ(model.envWords(), (QStringList{"Acme", "Zed"}));
    Config::setStringList(QStringLiteral("rejectedHotwords"), {QStringLiteral("KUBERNETES")});

    const struct {
        const char* typed;
        bool added;
    } steps[] = {
        {"  Velmora \n", true},
        {"VELMORA", false},
        {"acme", false},       // an environment word
        {"kubernetes", true},  // rejected before: typed wins
    };
    for (const auto& s : steps) {
        const qsizetype before = model.words().size();
        model.add(QString::fromUtf8(s.typed));
        EXPECT_EQ(model.words().size(), before + (s.added ? 1 : 0)) << s.typed;
    }
    EXPECT_EQ(model.words(), (QStringList{"kubernetes", "Velmora"}));  // newest first
    EXPECT_TRUE(stored("rejectedHotwords").isEmpty());
    EXPECT_TRUE(stored("newHotwords").isEmpty());  // typed words are never marked new

    // Blank input does nothing.
    model.add(QStringLiteral(" \t\n"));
    EXPECT_EQ(model.words().size(), 2);
}

TEST_F(DictionaryModelTest, LimitsAndTheRejectedList) {
    DictionaryModel model(config);
    QStringList eighty;
    for (int i = 1; i <= 80; ++i) eighty << QStringLiteral("word%1").arg(i);
    Config::setStringList(QStringLiteral("learnedHotwords"), eighty);
    model.add(QStringLiteral("word81"));
    ASSERT_EQ(model.words().size(), 80);
    EXPECT_EQ(model.words().first(), QStringLiteral("word81"));
    EXPECT_EQ(model.words().last(), QStringLiteral("word2"));

    // A blank word is never learned.
    EXPECT_TRUE(
        config.addLearnedHotwords({QStringLiteral(""), QStringLiteral("  ")}, false).isEmpty());
    // Rejecting removes the word from the list and the new marks.
    EXPECT_EQ(config.addLearnedHotwords({QStringLiteral("Mira")}, false),
              QStringList{QStringLiteral("Mira")});
    Config::setStringList(QStringLiteral("newHotwords"), {QStringLiteral("Mira")});
    model.reload();
    EXPECT_TRUE(model.newWords().contains(QStringLiteral("Mira")));
    config.rejectLearnedHotwords({QStringLiteral("Mira")});
    model.reload();
    EXPECT_FALSE(model.words().contains(QStringLiteral("Mira")));
    EXPECT_TRUE(model.newWords().isEmpty());

    // Removal is exact: duplicates of the text go, a word differing in case stays.
    Config::setStringList(QStringLiteral("learnedHotwords"),
                          {QStringLiteral("Ada"), QStringLiteral("ada"), QStringLiteral("Ada")});
    model.remove(QStringLiteral("Ada"));
    EXPECT_EQ(model.words(), QStringList{QStringLiteral("ada")});
}

TEST_F(DictionaryModelTest, LearnSwitchAndNewMarks) {
    DictionaryModel model(config);
    QSignalSpy changed(&model, &DictionaryModel::changed);
    qputenv("VQ_LEARN_HOTWORDS", "1");
    model.reload();
    EXPECT_TRUE(model.learnOn());

    model.setLearn(false);
    EXPECT_FALSE(HotwordLearner::watching());
    EXPECT_FALSE(model.learnOn());
    EXPECT_FALSE(config.learnHotwords());  // the stored choice beats the environment
    model.setLearn(true);
    EXPECT_TRUE(config.learnHotwords());
    EXPECT_GE(changed.count(), 3);

    Config::setStringList(QStringLiteral("learnedHotwords"), {QStringLiteral("Mira")});
    Config::setStringList(QStringLiteral("newHotwords"), {QStringLiteral("Mira")});
    model.reload();
    EXPECT_EQ(model.newWords(), QSet<QString>{QStringLiteral("Mira")});
    model.markSeen();
    EXPECT_TRUE(stored("newHotwords").isEmpty());
    model.reload();
    EXPECT_TRUE(model.newWords().isEmpty());
}

// The lists are the user's own words: the defaults file is private and an empty list reads
// back as empty without a complaint.
TEST_F(DictionaryModelTest, DefaultsFileIsPrivate) {
    harness::LogReader log;
    Config::setStringList(QStringLiteral("newHotwords"), {});
    EXPECT_TRUE(stored("newHotwords").isEmpty());
    const QString path = Config::d()->fileName();
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(QFileInfo(path).absolutePath()).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_FALSE(log.has(QStringLiteral("Config:")));
}

}  // namespace
