#pragma once
#include <QByteArray>
#include <QMap>
#include <QString>
#include <QVariant>
#include <memory>
#include <optional>

// One entry of the recordings archive: the audio of a dictation and what became
// of it. `append` is called on the audio thread. Until the archive is built,
// `start` gives none (archiving off).
class Recording {
  public:
    static std::shared_ptr<Recording> start(const std::optional<QString>& app,
                                            const std::optional<QString>& bundleID,
                                            const QString& style);
    virtual ~Recording() = default;
    virtual void append(const QByteArray& pcm) = 0;
    // `more` holds the outcome's fields; a null QVariant stands for none.
    virtual void keep(const QString& outcome, const QString& raw, const QString& final,
                      const QMap<QString, QVariant>& more) = 0;
    virtual void discard() = 0;
};
