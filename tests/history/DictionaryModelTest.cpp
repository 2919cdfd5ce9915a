#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QFileInfo>
#include <QSettings>
#include <QSignalSpy>

#include "core/Config.h"
#include "core/DictionaryModel.h"
#include "core/HotwordLearner.h"
#include "harness/LogReader.h"

using namespace Qt::StringLiterals;

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
    Config config{u"/nonexistent/velmora.env"_s};
};

TEST_F(DictionaryModelTest, AddingByHand) {
    qputenv("VQ_HOTWORDS", "Zed:3,Acme");
    DictionaryModel model(config);
    model.reload();
    EXPECT_EQ(model.envWords(), (QStringList{"Acme", "Zed"}));
    Config::setStringList(u"rejectedHotwords"_s, {u"KUBERNETES"_s});

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
}

// Removal is exact: duplicates of the text go, a word differing in case stays.
TEST_F(DictionaryModelTest, ExactRemoval) {
    DictionaryModel model(config);
    Config::setStringList(u"learnedHotwords"_s, {u"Ada"_s, u"ada"_s, u"Ada"_s});
    model.remove(u"Ada"_s);
    EXPECT_EQ(model.words(), QStringList{u"ada"_s});
}

TEST_F(DictionaryModelTest, LearnSwitch) {
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
}

// The lists are the user's own words: the defaults file is private and an empty list reads
// back as empty without a complaint.
TEST_F(DictionaryModelTest, DefaultsFileIsPrivate) {
    harness::LogReader log;
    Config::setStringList(u"newHotwords"_s, {});
    EXPECT_TRUE(stored("newHotwords").isEmpty());
    const QString path = Config::d()->fileName();
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(QFileInfo(path).absolutePath()).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_FALSE(log.has(u"Config:"_s));
}

}  // namespace
