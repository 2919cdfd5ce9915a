#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vserver::json {

// A parsed JSON value. Strict RFC 8259 input only: valid UTF-8, no trailing
// commas, no comments, bounded nesting; request bodies are hostile by default.
class Value {
  public:
    enum class Kind { null, boolean, number, string, array, object };
    using Member = std::pair<std::string, Value>;

    Value() = default;
    static Value makeBool(bool b);
    static Value makeNumber(double d, bool integral, int64_t i);
    static Value makeString(std::string s);
    static Value makeArray(std::vector<Value> items);
    static Value makeObject(std::vector<Member> members);

    Kind kind() const { return kind_; }
    bool isNull() const { return kind_ == Kind::null; }
    bool isBool() const { return kind_ == Kind::boolean; }
    bool isNumber() const { return kind_ == Kind::number; }
    bool isString() const { return kind_ == Kind::string; }
    bool isArray() const { return kind_ == Kind::array; }
    bool isObject() const { return kind_ == Kind::object; }
    // A number with no fraction that fits a signed 64-bit integer.
    bool isInteger() const { return kind_ == Kind::number && integral_; }

    bool asBool() const { return bool_; }
    double asDouble() const { return number_; }
    int64_t asInt() const { return int_; }
    const std::string& asString() const { return string_; }
    const std::vector<Value>& items() const { return items_; }
    const std::vector<Member>& members() const { return members_; }

    // The member's value (the last one when a key repeats), or null when absent.
    const Value* find(std::string_view key) const;

  private:
    Kind kind_ = Kind::null;
    bool bool_ = false;
    bool integral_ = false;
    double number_ = 0;
    int64_t int_ = 0;
    std::string string_;
    std::vector<Value> items_;
    std::vector<Member> members_;
};

struct ParseResult {
    std::optional<Value> value;
    std::string error;  // what was wrong and where, when value is empty
};

ParseResult parse(std::string_view text, int maxDepth = 32);

// A JSON string literal, quotes included. Invalid UTF-8 becomes U+FFFD.
std::string quote(std::string_view text);

// Builds a compact JSON object in insertion order.
class ObjectWriter {
  public:
    ObjectWriter& add(std::string_view key, std::string_view value);
    ObjectWriter& add(std::string_view key, const char* value) {
        return add(key, std::string_view(value));
    }
    ObjectWriter& add(std::string_view key, int64_t value);
    ObjectWriter& add(std::string_view key, bool value);
    ObjectWriter& addRaw(std::string_view key, std::string_view json);
    std::string str() const { return out_ + "}"; }

  private:
    void key(std::string_view k);
    std::string out_ = "{";
};

std::string stringArray(const std::vector<std::string>& items);

// True when the bytes are well-formed UTF-8 (no overlongs, no surrogates).
bool validUtf8(std::string_view text);

}  // namespace vserver::json
