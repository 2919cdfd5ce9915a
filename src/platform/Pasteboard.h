#pragma once
#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <optional>

namespace platform {

// One representation of the clipboard's contents: a type name (a MIME type or
// the desktop's own target name) and its bytes.
struct PasteboardFormat {
    QString type;
    QByteArray data;
    bool operator==(const PasteboardFormat&) const = default;
};
using PasteboardContents = QList<PasteboardFormat>;

// The desktop's general clipboard. Thread: any.
class Pasteboard {
  public:
    virtual ~Pasteboard() = default;
    // Goes up by at least one whenever the contents change hands (ours included).
    virtual quint64 changeCount() = 0;
    // Whether the contents now on offer are this process's own (a paste, a restore).
    virtual bool ownedByUs() = 0;
    virtual QStringList types() = 0;
    virtual std::optional<QString> text() = 0;
    // Every format on offer; types whose data cannot be read are left out.
    virtual PasteboardContents readAll() = 0;
    // Replaces the contents; an empty list leaves the clipboard empty.
    virtual bool writeAll(const PasteboardContents& contents) = 0;
    virtual bool writeText(const QString& text) = 0;
    virtual void clear() = 0;
    // Blocks until another application has read the contents put up at change
    // `count` (true), or until the time runs out or the contents change hands (false).
    virtual bool waitUntilRead(quint64 count, int timeoutMs) = 0;
};

}  // namespace platform
