#pragma once
#include <gtest/gtest.h>

#include <QRegularExpression>
#include <QString>
#include <QStringList>

#include "harness/Wait.h"

namespace harness {

// Reads a log from a mark on: by default this process's own log (flushed before every
// read), or another program's log file. Lines written before the reader was made (or
// before the last mark()) are not seen, so tests sharing a log never see each other.
class LogReader {
  public:
    LogReader();
    explicit LogReader(const QString& path);

    // Moves the mark to the end of what is written now.
    void mark();
    QString text() const;
    QStringList lines() const;
    bool has(const QString& needle) const { return text().contains(needle); }
    bool has(const QRegularExpression& pattern) const { return pattern.match(text()).hasMatch(); }
    int count(const QString& needle) const { return static_cast<int>(text().count(needle)); }
    // Waits until `needle` has been written `times` times since the mark.
    [[nodiscard]] ::testing::AssertionResult waitFor(const QString& needle, int times = 1,
                                                     milliseconds deadline = kDeadline) const;

  private:
    QByteArray read() const;
    QString path_;
    bool own_;
    qint64 from_ = 0;
};

}  // namespace harness
