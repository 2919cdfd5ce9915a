#include "core/DictionaryModel.h"

#include <algorithm>

#include "core/Config.h"
#include "core/HotwordLearner.h"
#include "core/Log.h"

DictionaryModel::DictionaryModel() : DictionaryModel(Config::shared()) {}

DictionaryModel::DictionaryModel(Config& config) : config_(config) {}

void DictionaryModel::reloadWords() {
    QStringList learned = Config::stringList(QStringLiteral("learnedHotwords"));
    std::reverse(learned.begin(), learned.end());
    QStringList env;
    for (const auto& entry : config_.envHotwords()) env.append(entry.first);
    std::sort(env.begin(), env.end());
    words_ = std::move(learned);
    envWords_ = std::move(env);
    learnOn_ = config_.learnHotwords();
}

void DictionaryModel::reload() {
    reloadWords();
    const QStringList fresh = Config::stringList(QStringLiteral("newHotwords"));
    newWords_ = QSet<QString>(fresh.cbegin(), fresh.cend());
    Q_EMIT changed();
}

void DictionaryModel::add(const QString& word) {
    const QString w = word.trimmed();
    if (w.isEmpty()) return;
    const bool added = !config_.addLearnedHotwords({w}, true).isEmpty();
    Log::write(QStringLiteral("Dictionary: added [") + w + QStringLiteral("]") +
               (added ? QString() : QStringLiteral(" (already there)")));
    reloadWords();
    Q_EMIT changed();
}

void DictionaryModel::remove(const QString& word) {
    config_.removeLearnedHotword(word);
    Log::write(QStringLiteral("Dictionary: removed [") + word + QStringLiteral("]"));
    reloadWords();
    Q_EMIT changed();
}

void DictionaryModel::setLearn(bool on) {
    Config::d()->setValue(QStringLiteral("learnHotwords"), on);
    Log::write(QStringLiteral("Dictionary: learn from edits ") +
               (on ? QStringLiteral("on") : QStringLiteral("off")));
    // A watch under way stops at once, unevaluated.
    if (!on) HotwordLearner::turnedOff();
    learnOn_ = on;
    Q_EMIT changed();
}

void DictionaryModel::markSeen() {
    Config::setStringList(QStringLiteral("newHotwords"), {});
}
