#include "JsonFields.h"

#include <cmath>
#include <cstdint>

namespace vserver::jsonfields {

json parse(std::string_view text, std::string* why) {
    bool tooDeep = false;
    // The callback sees each container open at the depth of its parent; refusing it
    // keeps the parser from building anything below.
    const json::parser_callback_t limit = [&tooDeep](int depth, json::parse_event_t event, json&) {
        if ((event == json::parse_event_t::object_start ||
             event == json::parse_event_t::array_start) &&
            depth >= kMaxDepth) {
            tooDeep = true;
            return false;
        }
        return true;
    };
    json j = json::parse(text, limit, false);
    if (!j.is_discarded() && !tooDeep) return j;
    if (why) {
        if (tooDeep)
            *why = "nested deeper than " + std::to_string(kMaxDepth) + " levels";
        else if (!validUtf8(text))
            *why = "invalid UTF-8";
        else
            *why = "malformed";
    }
    return json(json::value_t::discarded);
}

std::string dump(const json& j) {
    return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

bool validUtf8(std::string_view text) {
    // The writer's two lenient modes differ exactly where a byte is not UTF-8:
    // one drops it, the other writes U+FFFD.
    const json s = std::string(text);
    return s.dump(-1, ' ', false, json::error_handler_t::ignore) ==
           s.dump(-1, ' ', false, json::error_handler_t::replace);
}

const json* member(const json& object, const char* key) {
    if (!object.is_object()) return nullptr;
    const auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

const json* objectMember(const json& object, const char* key) {
    const json* m = member(object, key);
    return m && m->is_object() ? m : nullptr;
}

std::optional<std::string> stringMember(const json& object, const char* key) {
    const json* m = member(object, key);
    if (!m || !m->is_string()) return std::nullopt;
    return m->get<std::string>();
}

std::optional<int64_t> intMember(const json& object, const char* key) {
    const json* m = member(object, key);
    if (!m) return std::nullopt;
    if (m->is_number_integer()) {
        if (m->is_number_unsigned() && m->get<uint64_t>() > uint64_t(INT64_MAX))
            return std::nullopt;
        return m->get<int64_t>();
    }
    if (m->is_number_float()) {
        const double d = m->get<double>();
        if (std::isfinite(d) && d == std::floor(d) && std::fabs(d) < 9e15)
            return static_cast<int64_t>(d);
    }
    return std::nullopt;
}

std::optional<bool> boolMember(const json& object, const char* key) {
    const json* m = member(object, key);
    if (!m || !m->is_boolean()) return std::nullopt;
    return m->get<bool>();
}

std::string render(const json* value) {
    if (!value) return {};
    if (value->is_string()) return value->get<std::string>();
    return dump(*value);
}

}  // namespace vserver::jsonfields
