#pragma once
#include <vector>

#include "platform/Accessibility.h"
#include "platform/linux/AtspiFieldReader.h"
#include "platform/linux/GLibUtil.h"

typedef struct _AtspiAccessible AtspiAccessible;
typedef struct _AtspiEvent AtspiEvent;
typedef struct _AtspiEventListener AtspiEventListener;

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
    AxResult<ElementKind> kind(const ElementRef& element) override;
    AxResult<QString> value(const ElementRef& element) override;
    AxResult<TextRange> selectedRange(const ElementRef& element) override;
    AxResult<FieldText> fieldText(const ElementRef& element) override;
    // On the field reader's thread.
    void readField(const ElementRef& element, int timeoutMs, FieldRead done) override;
    AxResult<QMap<QString, QString>> attributes(const ElementRef& element) override;
    bool sameElement(const ElementRef& a, const ElementRef& b) override;
    AxResult<QString> documentUrl(qint64 pid) override;

    // Bounds on walking a tree without the Collection interface, when no focus event told
    // where the focus is: small, as it runs on the main thread. A walk spends at most
    // kWalkMs (plus one call's time-out) and kMaxNodes nodes.
    static constexpr int kMaxNodes = 60;
    static constexpr int kMaxDepth = 40;
    static constexpr int kWalkMs = 40;

  private:
    using Accessible = GObjectPtr<AtspiAccessible>;
    // An application's root on the bus and its process. libatspi hands out one object per
    // remote object, and the reference held keeps it so.
    struct KnownApp {
        Accessible root;
        qint64 pid = 0;
    };

    bool ready();
    void followFocus();
    void quietStates();
    static void onFocusEvent(AtspiEvent* event, void* self);
    void rememberFocus(GObjectPtr<AtspiAccessible> app, GObjectPtr<AtspiAccessible> element);
    // The element each application last reported focused.
    struct FocusSeen {
        Accessible app;
        Accessible element;
    };
    // The application's root accessible for a process.
    Accessible application(qint64 pid, int* error);
    Accessible activeWindow(AtspiAccessible* app, int* error);

    int initState_ = -1;          // -1 not tried, 0 working, >0 failed
    std::vector<KnownApp> apps_;  // as of the last look at the desktop
    std::vector<FocusSeen> lastFocus_;
    GObjectPtr<AtspiEventListener> focusListener_;
    std::unique_ptr<AtspiFieldReader> reader_;  // made at the first read
};

}  // namespace platform::x11
