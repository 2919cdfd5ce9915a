#pragma once
#include <QRegularExpression>
#include <QSet>
#include <QString>

namespace harness {

// The share of the spoken sentence's distinct words (case-insensitive) found in what
// was heard: how recognisers are judged on synthetic speech, where exact text is luck.
inline double wordShare(const QString& spoken, const QString& heard) {
    auto words = [](const QString& s) {
        QSet<QString> out;
        static const QRegularExpression split(QStringLiteral("[^a-z']+"));
        for (const QString& w : s.toLower().split(split, Qt::SkipEmptyParts)) out.insert(w);
        return out;
    };
    const QSet<QString> want = words(spoken), got = words(heard);
    qsizetype found = 0;
    for (const QString& w : want) found += got.contains(w);
    return want.isEmpty() ? 0 : double(found) / double(want.size());
}

}  // namespace harness
