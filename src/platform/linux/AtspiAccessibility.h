#pragma once
#include <QHash>

#include "platform/Accessibility.h"

typedef struct _AtspiAccessible AtspiAccessible;

namespace platform::x11 {

// Other applications' accessibility trees over the AT-SPI2 bus (libatspi).
// Roles are AT-SPI role names. Thread: main (libatspi is single-threaded).
class AtspiAccessibility : public Accessibility {
  public:
    AtspiAccessibility();
    ~AtspiAccessibility() override;

    void setCallTimeout(int ms) override;
    AxResult<ElementRef> focusedElement(qint64 pid) override;
    AxResult<QString> role(const ElementRef& element) override;
    AxResult<QString> value(const ElementRef& element) override;
    AxResult<TextRange> selectedRange(const ElementRef& element) override;
    AxResult<QMap<QString, QString>> attributes(const ElementRef& element) override;
    bool sameElement(const ElementRef& a, const ElementRef& b) override;
    AxResult<QString> documentUrl(qint64 pid) override;

    // Bounds on walking a tree without the Collection interface.
    static constexpr int kMaxNodes = 600;
    static constexpr int kMaxDepth = 40;

  private:
    bool ready();
    // The application's root accessible for a process; the caller owns the reference.
    AtspiAccessible* application(qint64 pid, int* error);
    AtspiAccessible* activeWindow(AtspiAccessible* app, int* error);

    int initState_ = -1;                    // -1 not tried, 0 working, >0 failed
    QHash<qint64, AtspiAccessible*> apps_;  // by pid, owned references
    QHash<QString, qint64> pids_;           // by bus name
};

}  // namespace platform::x11
