#include "ui/PanelModel.h"

#include "core/Config.h"
#include "core/DictionaryModel.h"
#include "core/Language.h"

PanelModel::PanelModel(DictionaryModel& dictionaryModel) : dictionary(dictionaryModel) {}

QString PanelModel::hint(bool signInNeeded, bool toggleMode, const QString& keyName) {
    if (signInNeeded) return Language::tr("Sign in to start dictating…");
    return (toggleMode ? Language::tr("Tap %1, speak, tap again")
                       : Language::tr("Hold %1 to talk, release to type"))
        .arg(keyName);
}

QString PanelModel::hint() const {
    const Config& c = Config::shared();
    return hint(needsSignIn && needsSignIn(), c.toggleMode(), SetupCheck::keyName(c.hotkey()));
}

QString PanelModel::dictionaryState(int unseen, int words, bool learnOn) {
    if (unseen > 0) return Language::tr("%1 new").arg(unseen);
    if (words == 0) return learnOn ? Language::tr("Empty") : Language::tr("Off");
    if (words == 1) return Language::tr("1 word");
    return Language::tr("%1 words").arg(words);
}

int PanelModel::unseenWords() const {
    int n = 0;
    for (const QString& w : dictionary.words())
        if (dictionary.newWords().contains(w)) ++n;
    return n;
}

QString PanelModel::dictionaryState() const {
    return dictionaryState(
        unseenWords(), static_cast<int>(dictionary.words().size() + dictionary.envWords().size()),
        dictionary.learnOn());
}

QList<PanelModel::ActionRow> PanelModel::actions(bool dev, const std::optional<QString>& waiting) {
    QList<ActionRow> rows{{Action::openWindow, Language::tr("Open Velmora")}};
    if (dev) {
        rows.append({Action::tuning, QStringLiteral("Tune the pill…")});
        rows.append({Action::log, QStringLiteral("Open Log")});
    }
    rows.append({Action::updates, waiting ? Language::tr("Update to %1").arg(*waiting)
                                          : Language::tr("Check for Updates…")});
    rows.append({Action::quit, Language::tr("Quit Velmora")});
    return rows;
}

QList<PanelModel::ActionRow> PanelModel::actions() const {
    return actions(devMode, updateWaiting ? updateWaiting() : std::nullopt);
}

void PanelModel::trigger(Action action) {
    if (onClose) onClose();
    const std::function<void()>* target = nullptr;
    switch (action) {
        case Action::openWindow:
            target = &onOpenWindow;
            break;
        case Action::tuning:
            target = &onOpenTuning;
            break;
        case Action::log:
            target = &onOpenLog;
            break;
        case Action::updates:
            target = &onCheckForUpdates;
            break;
        case Action::quit:
            target = &onQuit;
            break;
    }
    if (target && *target) (*target)();
}

void PanelModel::opened() {
    ++shownCount;
    dictionary.reload();
}
