#pragma once
#include <QByteArray>
#include <QDateTime>
#include <QMap>
#include <QString>
#include <QVariant>
#include <memory>
#include <optional>

#include "core/Config.h"

namespace platform {
class AudioFileWriter;
}

// One entry of the recordings archive: the audio of a dictation as an AAC file and, when it
// is kept, one line of what became of it in "manifest.jsonl". Only with VQ_KEEP_AUDIO=1.
// Every file operation runs on one serial worker ("velmora.recording") in the order the calls
// were made; the calls only hand work over and return at once. A manifest line is written only
// after its audio file is complete on disk, so a crash never leaves a line pointing to a
// missing or torn file. The archive is capped: the oldest recordings go first.
// Thread: `append` on the audio thread, the rest on any thread (the app's main thread).
class Recording : public std::enable_shared_from_this<Recording> {
  public:
    // None unless VQ_KEEP_AUDIO is exactly "1".
    static std::shared_ptr<Recording> start(const std::optional<QString>& app,
                                            const std::optional<QString>& bundleID,
                                            const QString& style);
    // At launch, with the archive on: clears audio a crashed run left without a manifest line,
    // and logs the state of the archive.
    static void announce();

    ~Recording();
    Recording(const Recording&) = delete;
    Recording& operator=(const Recording&) = delete;

    void append(const QByteArray& pcm);
    // `more` holds the outcome's fields; a null QVariant removes the key.
    void keep(const QString& outcome, const QString& raw, const QString& final,
              const QMap<QString, QVariant>& more);
    void discard();

    const QString& id() const { return id_; }

    // The archive folder ("Recordings" in the app's data folder).
    static QString folder();
    static constexpr qint64 kCap = 5LL * 1024 * 1024 * 1024;
    // Blocks until the work handed over so far has run. For tests, benchmarks and quitting.
    static void drain();
    // For tests: another cap, and forgetting the cached size (as a new process would).
    static void setCap(qint64 bytes);
    static void forgetSize();

  private:
    Recording(const std::optional<QString>& app, const std::optional<QString>& bundleID,
              const QString& style);
    void open();
    void write(const QByteArray& pcm);
    void drop();
    void keepNow(const QString& outcome, const QString& raw, const QString& final,
                 const QMap<QString, QVariant>& more);

    // Fixed at start.
    const QString id_;
    const QDateTime at_;
    const std::optional<QString> app_, bundleID_;
    const QString style_;
    const Vocabulary hotwords_;
    // Worker only.
    std::unique_ptr<platform::AudioFileWriter> file_;
    qint64 bytes_ = 0;
    bool over_ = false;
};
