#pragma once
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>

class Config;

// What the dictionary page shows: the user's words (newest first), the words configured in the
// environment (sorted), the learner's words the user hasn't seen yet, and the learning switch.
// The lists themselves live in the defaults store and are edited through Config.
// Thread: main.
class DictionaryModel : public QObject {
    Q_OBJECT
  public:
    // Over the shared Config, or a given one (tests).
    DictionaryModel();
    explicit DictionaryModel(Config& config);

    const QStringList& words() const { return words_; }
    const QStringList& envWords() const { return envWords_; }
    const QSet<QString>& newWords() const { return newWords_; }
    bool learnOn() const { return learnOn_; }

    // Re-reads everything from the stored lists (the page calls it each time it is shown).
    void reload();
    // A word typed by the user: trimmed, added unless it is already there (in any case), and
    // never blocked by an earlier undo.
    void add(const QString& word);
    // Removes the exact word (not a word differing only in case).
    void remove(const QString& word);
    void setLearn(bool on);
    // The page has shown the learner's new words.
    void markSeen();

  Q_SIGNALS:
    void changed();

  private:
    void reloadWords();
    Config& config_;
    QStringList words_;
    QStringList envWords_;
    QSet<QString> newWords_;
    bool learnOn_ = false;
};
