#pragma once
#include <QMap>
#include <QString>
#include <functional>
#include <memory>
#include <optional>

namespace platform {

// An element of another application's accessibility tree. Opaque to the core:
// only the backend that made it can look inside.
class AccessibleElement {
  public:
    virtual ~AccessibleElement() = default;
};
using ElementRef = std::shared_ptr<AccessibleElement>;

// What one accessibility call gave: a value, or none with the backend's error
// code (0 when the call itself worked but gave nothing usable).
template <typename T>
struct AxResult {
    std::optional<T> value;
    int error = 0;

    static AxResult of(T v) { return AxResult{std::move(v), 0}; }
    static AxResult failed(int code) { return AxResult{std::nullopt, code}; }
    explicit operator bool() const { return value.has_value(); }
};

// A range of text in UTF-16 code units.
struct TextRange {
    qint64 location = 0;
    qint64 length = 0;
};

// What the focus probe needs to know of an element.
struct ElementKind {
    QString role;
    // Takes typed text whatever its role: a web page's contenteditable region reads as
    // "section" or "paragraph" with the editable state.
    bool editable = false;
};

// A text element's whole text and its selection (the caret as an empty range), read
// together so the two agree; `selection` is none when the element reports no caret.
struct FieldText {
    QString text;
    std::optional<TextRange> selection;
};

// Reads other applications' focused elements and browser documents. Roles are
// the accessibility bus's role names ("entry", "push button", "frame"...).
// Thread: main.
class Accessibility {
  public:
    virtual ~Accessibility() = default;
    // Bounds each following call, so a hung application cannot stall the caller long.
    virtual void setCallTimeout(int ms) = 0;
    virtual AxResult<ElementRef> focusedElement(qint64 pid) = 0;
    virtual AxResult<QString> role(const ElementRef& element) = 0;
    // The role and the editable state, in one bounded call where the bus allows it.
    virtual AxResult<ElementKind> kind(const ElementRef& element) = 0;
    // The element's whole text.
    virtual AxResult<QString> value(const ElementRef& element) = 0;
    // The selection, or the caret as an empty range.
    virtual AxResult<TextRange> selectedRange(const ElementRef& element) = 0;
    // The text and the caret in as few calls as the bus allows: the learner reads them
    // twice a second while the user edits.
    virtual AxResult<FieldText> fieldText(const ElementRef& element) {
        auto text = value(element);
        if (!text.value) return AxResult<FieldText>::failed(text.error);
        const auto range = selectedRange(element);
        return AxResult<FieldText>::of(FieldText{std::move(*text.value), range.value});
    }
    // The field's text and selection, and whether it still has the focus (none when that is
    // not known), read without holding up the caller where the backend can: `done` runs on
    // the main thread, later, or at once here.
    using FieldRead = std::function<void(AxResult<FieldText> field, std::optional<bool> focused)>;
    virtual void readField(const ElementRef& element, int timeoutMs, FieldRead done) {
        setCallTimeout(timeoutMs);
        done(fieldText(element), std::nullopt);
    }
    virtual AxResult<QMap<QString, QString>> attributes(const ElementRef& element) = 0;
    virtual bool sameElement(const ElementRef& a, const ElementRef& b) = 0;
    // The URL of the document shown in the process's focused window.
    virtual AxResult<QString> documentUrl(qint64 pid) = 0;
};

}  // namespace platform
