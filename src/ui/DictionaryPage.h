#pragma once
#include <QFrame>
#include <QWidget>

#include "core/MainModel.h"

class FlowLayout;
class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

// One word of the dictionary: the word, a mark for a word just learned, and a remove button
// on the user's own words. Thread: main.
class WordTag : public QFrame {
    Q_OBJECT
  public:
    WordTag(const MainText::Tag& tag, QWidget* parent);
    const MainText::Tag& tag() const { return tag_; }

  Q_SIGNALS:
    void removeRequested(const QString& word);

  protected:
    void paintEvent(QPaintEvent*) override;

  private:
    MainText::Tag tag_;
};

// The dictionary page: the words as tags, adding by hand and the learning switch; the lists and
// their operations are the dictionary model's. Thread: main.
class DictionaryPage : public QWidget {
    Q_OBJECT
  public:
    explicit DictionaryPage(MainModel& model, QWidget* parent = nullptr);
    void refresh();
    // The page was shown: the learner's new words count as seen from now on.
    void shown();

    QLineEdit* entry() const { return entry_; }
    QPushButton* addButton() const { return add_; }
    QList<WordTag*> tags() const;

  private:
    void addTyped();
    MainModel& model_;
    QLabel* title_;
    QLabel* subtitle_;
    QLabel* header_;
    QLabel* count_;
    QLabel* learned_;
    QLineEdit* entry_;
    QPushButton* add_;
    QWidget* tagBox_;
    FlowLayout* flow_;
    QLabel* none_;
    QCheckBox* learn_;
    QLabel* learnText_;
};
