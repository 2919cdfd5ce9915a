#include "core/Clip.h"

#include <algorithm>

#include "core/StandIn.h"

QString Clip::token() const {
    const QString kind = isLink       ? QStringLiteral("链接")
                         : fitsInline ? QStringLiteral("短语")
                                      : QStringLiteral("段落");
    return QStringLiteral("⟦") + kind + QString::number(number) + QStringLiteral("⟧");
}

QString Clip::insert(const QList<std::pair<QString, int>>& waiting, const QString& sentence) {
    // Later tokens first, so earlier offsets stay valid; offsets past the end go at the end.
    QList<std::pair<QString, int>> sorted = waiting;
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const auto& a, const auto& b) { return a.second > b.second; });
    QString out = sentence;
    for (const auto& [token, offset] : sorted)
        out.insert(std::clamp<qsizetype>(offset, 0, out.size()), token);
    return out;
}

QString Clip::display(const QList<Clip>& clips, QString text) {
    for (const Clip& c : clips)
        text.replace(c.token(), QLatin1Char(' ') + c.label + QLatin1Char(' '));
    return text;
}

void ClipboardWatch::start(std::function<void(const QString&)> onCopy) {
    StandIn::note(QStringLiteral("Clips"));
    onCopy_ = std::move(onCopy);
    running_ = true;
}

void ClipboardWatch::stop() {
    running_ = false;
    onCopy_ = nullptr;
}
