#pragma once
#include <QList>
#include <QObject>
#include <QString>
#include <functional>
#include <optional>

#include "core/SetupCheck.h"

class DictionaryModel;

// What the panel under the status item shows, and where its actions go. The panel reads it
// each time it opens; the texts are worked out here so that they can be checked without a
// display. Thread: main.
class PanelModel : public QObject {
    Q_OBJECT
  public:
    explicit PanelModel(DictionaryModel& dictionary);

    int shownCount = 0;    // times the panel was opened
    bool devMode = false;  // opened with Alt held: the developer's rows too

    // Set by the application delegate; each is called after the panel has closed.
    std::function<void()> onOpenTuning;
    std::function<void()> onOpenLog;
    std::function<void()> onOpenWindow;
    std::function<void()> onCheckForUpdates;
    std::function<void()> onQuit;
    std::function<void()> onClose;  // the panel closes (before any action runs)
    std::function<void(bool)> applyTesk;
    std::function<void(SetupCheck::Pane)> onOpenSetup;

    // What the rows depend on, asked each time the panel opens.
    std::function<bool()> needsSignIn;
    std::function<QList<SetupCheck::Row>()> setupRows;
    std::function<std::optional<QString>()> updateWaiting;  // the version of a waiting update
    std::function<bool()> teskEnabled;

    DictionaryModel& dictionary;

    // The first row: how to talk, or that a sign-in comes first.
    static QString hint(bool needsSignIn, bool toggleMode, const QString& keyName);
    QString hint() const;
    // The state beside "Dictionary": new learned words, else how many words there are.
    static QString dictionaryState(int unseen, int words, bool learnOn);
    QString dictionaryState() const;
    // Learned words the user has not seen yet.
    int unseenWords() const;

    // The action rows, in order.
    enum class Action { openWindow, tuning, log, updates, quit };
    struct ActionRow {
        Action action;
        QString text;
    };
    static QList<ActionRow> actions(bool devMode, const std::optional<QString>& waiting);
    QList<ActionRow> actions() const;
    // Closes the panel, then does what the row says.
    void trigger(Action action);

    // The panel is opening: counts it and re-reads the dictionary.
    void opened();
};
