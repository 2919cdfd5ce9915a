#include <QStringList>
#include <vector>

#include "platform/UpdateFramework.h"

namespace platform {

namespace {

// A version string as runs of digits, runs of letters and separators.
struct Part {
    enum Kind { text = 0, separator = 1, number = 2 } kind;
    QString value;
};

std::vector<Part> split(const QString& v) {
    std::vector<Part> parts;
    for (const QChar c : v) {
        const Part::Kind kind =
            c.isDigit() ? Part::number : (c.isLetter() ? Part::text : Part::separator);
        if (kind != Part::separator && !parts.empty() && parts.back().kind == kind)
            parts.back().value += c;
        else
            parts.push_back({kind, QString(c)});
    }
    return parts;
}

// Digit runs of any length, without converting (and overflowing).
int compareNumbers(QString a, QString b) {
    while (a.size() > 1 && a.front() == QLatin1Char('0')) a.remove(0, 1);
    while (b.size() > 1 && b.front() == QLatin1Char('0')) b.remove(0, 1);
    if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
    return a.compare(b);
}

// What the longer version's remaining parts mean: letters first make it a pre-release
// ("1.0b2" before "1.0"); only zeros make it the same ("1.0.0" is "1.0").
int tailWeight(const std::vector<Part>& parts, size_t from) {
    for (size_t i = from; i < parts.size(); ++i) {
        if (parts[i].kind == Part::text) return -1;
        if (parts[i].kind == Part::number && compareNumbers(parts[i].value, QStringLiteral("0")))
            return 1;
    }
    return 0;
}

}  // namespace

int compareVersions(const QString& a, const QString& b) {
    const std::vector<Part> pa = split(a.trimmed()), pb = split(b.trimmed());
    const size_t n = std::min(pa.size(), pb.size());
    for (size_t i = 0; i < n; ++i) {
        if (pa[i].kind != pb[i].kind) return pa[i].kind < pb[i].kind ? -1 : 1;
        int c = 0;
        if (pa[i].kind == Part::number)
            c = compareNumbers(pa[i].value, pb[i].value);
        else if (pa[i].kind == Part::text)
            c = pa[i].value.compare(pb[i].value, Qt::CaseInsensitive);
        if (c) return c < 0 ? -1 : 1;
    }
    if (pa.size() > n) return tailWeight(pa, n);
    if (pb.size() > n) return -tailWeight(pb, n);
    return 0;
}

}  // namespace platform
