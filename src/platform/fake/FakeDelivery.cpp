#include "platform/fake/FakeDelivery.h"

#include <chrono>

namespace platform::fake {

namespace {
FakeElement* cast(const ElementRef& e) {
    return dynamic_cast<FakeElement*>(e.get());
}
}  // namespace

std::shared_ptr<FakeElement> FakeAccessibility::element(const QString& role, const QString& value) {
    auto e = std::make_shared<FakeElement>();
    e->role = role;
    e->value = value;
    return e;
}

AxResult<ElementRef> FakeAccessibility::focusedElement(qint64 pid) {
    ++calls;
    if (focusError.contains(pid)) return AxResult<ElementRef>::failed(focusError.value(pid));
    if (!focused.contains(pid)) return AxResult<ElementRef>::failed(0);
    return AxResult<ElementRef>::of(focused.value(pid));
}

AxResult<QString> FakeAccessibility::role(const ElementRef& element) {
    ++calls;
    auto* e = cast(element);
    if (!e || e->role.isEmpty()) return AxResult<QString>::failed(0);
    return AxResult<QString>::of(e->role);
}

AxResult<ElementKind> FakeAccessibility::kind(const ElementRef& element) {
    ++calls;
    auto* e = cast(element);
    if (!e || e->role.isEmpty()) return AxResult<ElementKind>::failed(0);
    return AxResult<ElementKind>::of(ElementKind{e->role, e->editable});
}

AxResult<QString> FakeAccessibility::value(const ElementRef& element) {
    ++calls;
    auto* e = cast(element);
    if (!e || !e->readable) return AxResult<QString>::failed(0);
    return AxResult<QString>::of(e->value);
}

AxResult<TextRange> FakeAccessibility::selectedRange(const ElementRef& element) {
    ++calls;
    auto* e = cast(element);
    if (!e || !e->readable || !e->caretReadable) return AxResult<TextRange>::failed(0);
    return AxResult<TextRange>::of(e->selection);
}

AxResult<QMap<QString, QString>> FakeAccessibility::attributes(const ElementRef& element) {
    ++calls;
    auto* e = cast(element);
    if (!e) return AxResult<QMap<QString, QString>>::failed(0);
    return AxResult<QMap<QString, QString>>::of(e->attributes);
}

AxResult<QString> FakeAccessibility::documentUrl(qint64 pid) {
    ++calls;
    if (!documentUrls.contains(pid)) return AxResult<QString>::failed(0);
    return AxResult<QString>::of(documentUrls.value(pid));
}

bool FakeKeySynth::typeRun(const QString& units) {
    if (!works) return false;
    runs << units;
    return true;
}

bool FakeKeySynth::sendPaste(bool terminal) {
    if (!works) return false;
    pastes << terminal;
    if (onPaste) onPaste();
    return true;
}

quint64 FakePasteboard::changeCount() {
    std::lock_guard lock(mutex_);
    return count_;
}

QStringList FakePasteboard::types() {
    std::lock_guard lock(mutex_);
    QStringList out;
    for (const auto& f : contents_) out << f.type;
    return out;
}

std::optional<QString> FakePasteboard::text() {
    std::lock_guard lock(mutex_);
    for (const auto& f : contents_)
        if (f.type == QLatin1String("text/plain;charset=utf-8")) return QString::fromUtf8(f.data);
    return std::nullopt;
}

PasteboardContents FakePasteboard::readAll() {
    std::lock_guard lock(mutex_);
    return contents_;
}

bool FakePasteboard::writeAll(const PasteboardContents& contents) {
    std::lock_guard lock(mutex_);
    if (writesFail_) return false;
    contents_ = contents;
    ++count_;
    ours_ = true;
    changed_.notify_all();
    return true;
}

bool FakePasteboard::ownedByUs() {
    std::lock_guard lock(mutex_);
    return ours_;
}

bool FakePasteboard::writeText(const QString& text) {
    return writeAll({{QStringLiteral("text/plain;charset=utf-8"), text.toUtf8()}});
}

void FakePasteboard::clear() {
    std::lock_guard lock(mutex_);
    if (contents_.isEmpty()) return;
    contents_.clear();
    ++count_;
    changed_.notify_all();
}

bool FakePasteboard::waitUntilRead(quint64 count, int timeoutMs) {
    std::unique_lock lock(mutex_);
    ++waiters_;
    changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                      [&] { return readAt_ == count || count_ != count; });
    --waiters_;
    return readAt_ == count && count_ == count;
}

int FakePasteboard::readWaiters() {
    std::lock_guard lock(mutex_);
    return waiters_;
}

void FakePasteboard::readByTarget() {
    std::lock_guard lock(mutex_);
    readAt_ = count_;
    changed_.notify_all();
}

void FakePasteboard::copyFromOtherApp(const PasteboardContents& contents) {
    std::lock_guard lock(mutex_);
    contents_ = contents;
    ours_ = false;
    ++count_;
    changed_.notify_all();
}

PasteboardContents FakePasteboard::contents() {
    std::lock_guard lock(mutex_);
    return contents_;
}

void FakePasteboard::setWritesFail(bool fail) {
    std::lock_guard lock(mutex_);
    writesFail_ = fail;
}

std::optional<bool> FakeAssistiveSwitch::get(const QString& property) {
    calls << QStringLiteral("get ") + property;
    if (!values.contains(property)) return std::nullopt;
    return values.value(property);
}

int FakeAssistiveSwitch::set(const QString& property, bool on) {
    calls << QStringLiteral("set %1 %2").arg(property).arg(on ? 1 : 0);
    if (setFails.contains(property)) return setFails.value(property);
    values[property] = on;
    return 0;
}

}  // namespace platform::fake
