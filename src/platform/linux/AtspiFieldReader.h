#pragma once
#include <QByteArray>
#include <functional>
#include <memory>

#include "core/SerialWorker.h"
#include "platform/Accessibility.h"

typedef struct _GDBusConnection GDBusConnection;

namespace platform::x11 {

// Reads a text field (its text, selection and whether it has the focus) over the
// accessibility bus on a thread of its own, with a bus connection of its own: libatspi
// belongs to the main thread, and the learner reads fields twice a second while the user
// edits, so a slow application must not hold the main thread up.
// Thread: any; `done` runs on the main thread.
class AtspiFieldReader {
  public:
    // Where the element lives on the accessibility bus.
    struct Target {
        QByteArray bus;
        QByteArray path;
    };
    using Done = std::function<void(AxResult<FieldText> field, std::optional<bool> focused)>;

    AtspiFieldReader();
    ~AtspiFieldReader();
    AtspiFieldReader(const AtspiFieldReader&) = delete;
    AtspiFieldReader& operator=(const AtspiFieldReader&) = delete;

    void read(Target target, int timeoutMs, Done done);

  private:
    struct Connection;
    // Each call bounded by `timeoutMs`; runs on the worker.
    static std::pair<AxResult<FieldText>, std::optional<bool>> readHere(GDBusConnection* bus,
                                                                        const Target& target,
                                                                        int timeoutMs);

    std::shared_ptr<bool> alive_;
    std::unique_ptr<Connection> connection_;  // the worker's
    // Last: it finishes what was queued before the connection goes.
    SerialWorker worker_{QStringLiteral("velmora.field-reader")};
};

}  // namespace platform::x11
