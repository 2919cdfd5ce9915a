// The recogniser client's reading of the service's messages: any text gives either
// "not an event" or an event whose fields the client can use as they are.
#include <QString>
#include <cstddef>
#include <cstdint>

#include "FuzzUtil.h"
#include "core/QwenASR.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QString message =
        QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const std::optional<QwenASR::Event> e = QwenASR::parseEvent(message);
    if (!e) return 0;
    using Kind = QwenASR::Event::Kind;
    if (e->endMs && (*e->endMs < 0 || *e->endMs > 1'000'000'000'000))
        fuzzutil::fail("end time out of range");
    if (e->text != e->text.trimmed()) fuzzutil::fail("sentence not trimmed");
    if (e->kind != Kind::result && (!e->text.isEmpty() || e->endMs || e->sentenceEnd))
        fuzzutil::fail("sentence fields on another event");
    if ((e->kind == Kind::failed) != !e->failure.isEmpty())
        fuzzutil::fail("failure text on the wrong event");
    return 0;
}
