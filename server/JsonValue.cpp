#include "JsonValue.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace vserver::json {

Value Value::makeBool(bool b) {
    Value v;
    v.kind_ = Kind::boolean;
    v.bool_ = b;
    return v;
}

Value Value::makeNumber(double d, bool integral, int64_t i) {
    Value v;
    v.kind_ = Kind::number;
    v.number_ = d;
    v.integral_ = integral;
    v.int_ = i;
    return v;
}

Value Value::makeString(std::string s) {
    Value v;
    v.kind_ = Kind::string;
    v.string_ = std::move(s);
    return v;
}

Value Value::makeArray(std::vector<Value> items) {
    Value v;
    v.kind_ = Kind::array;
    v.items_ = std::move(items);
    return v;
}

Value Value::makeObject(std::vector<Member> members) {
    Value v;
    v.kind_ = Kind::object;
    v.members_ = std::move(members);
    return v;
}

const Value* Value::find(std::string_view key) const {
    const Value* found = nullptr;
    for (const auto& [k, v] : members_)
        if (k == key) found = &v;
    return found;
}

namespace {

// Length of the UTF-8 sequence at p (0 when malformed).
size_t utf8Length(std::string_view s, size_t p) {
    const auto b = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char c = b(p);
    if (c < 0x80) return 1;
    size_t n;
    uint32_t cp;
    if ((c & 0xE0) == 0xC0)
        n = 2, cp = c & 0x1F;
    else if ((c & 0xF0) == 0xE0)
        n = 3, cp = c & 0x0F;
    else if ((c & 0xF8) == 0xF0)
        n = 4, cp = c & 0x07;
    else
        return 0;
    if (p + n > s.size()) return 0;
    for (size_t i = 1; i < n; ++i) {
        if ((b(p + i) & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (b(p + i) & 0x3F);
    }
    if ((n == 2 && cp < 0x80) || (n == 3 && cp < 0x800) || (n == 4 && cp < 0x10000)) return 0;
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return n;
}

void appendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

class Parser {
  public:
    Parser(std::string_view text, int maxDepth) : s_(text), maxDepth_(maxDepth) {}

    ParseResult run() {
        ParseResult r;
        skipSpace();
        std::optional<Value> v = value(0);
        if (v) {
            skipSpace();
            if (p_ != s_.size()) fail("unexpected text after the value");
        }
        if (!error_.empty()) {
            r.error = error_ + " at byte " + std::to_string(errorAt_);
            return r;
        }
        r.value = std::move(v);
        return r;
    }

  private:
    std::optional<Value> fail(const std::string& what) {
        if (error_.empty()) {
            error_ = what;
            errorAt_ = p_;
        }
        return std::nullopt;
    }

    void skipSpace() {
        while (p_ < s_.size() &&
               (s_[p_] == ' ' || s_[p_] == '\t' || s_[p_] == '\n' || s_[p_] == '\r'))
            ++p_;
    }

    bool literal(std::string_view word) {
        if (s_.substr(p_, word.size()) != word) return false;
        p_ += word.size();
        return true;
    }

    std::optional<Value> value(int depth) {
        if (p_ >= s_.size()) return fail("unexpected end of input");
        switch (s_[p_]) {
            case '{':
                return object(depth + 1);
            case '[':
                return array(depth + 1);
            case '"': {
                auto str = string();
                if (!str) return std::nullopt;
                return Value::makeString(std::move(*str));
            }
            case 't':
                if (literal("true")) return Value::makeBool(true);
                break;
            case 'f':
                if (literal("false")) return Value::makeBool(false);
                break;
            case 'n':
                if (literal("null")) return Value();
                break;
            default:
                if (s_[p_] == '-' || (s_[p_] >= '0' && s_[p_] <= '9')) return number();
        }
        return fail("unexpected character");
    }

    std::optional<Value> object(int depth) {
        if (depth > maxDepth_) return fail("nesting too deep");
        ++p_;
        std::vector<Value::Member> members;
        skipSpace();
        if (p_ < s_.size() && s_[p_] == '}') {
            ++p_;
            return Value::makeObject(std::move(members));
        }
        for (;;) {
            skipSpace();
            if (p_ >= s_.size() || s_[p_] != '"') return fail("expected a member name");
            auto key = string();
            if (!key) return std::nullopt;
            skipSpace();
            if (p_ >= s_.size() || s_[p_] != ':') return fail("expected ':'");
            ++p_;
            skipSpace();
            auto v = value(depth);
            if (!v) return std::nullopt;
            members.emplace_back(std::move(*key), std::move(*v));
            skipSpace();
            if (p_ < s_.size() && s_[p_] == ',') {
                ++p_;
                continue;
            }
            if (p_ < s_.size() && s_[p_] == '}') {
                ++p_;
                return Value::makeObject(std::move(members));
            }
            return fail("expected ',' or '}'");
        }
    }

    std::optional<Value> array(int depth) {
        if (depth > maxDepth_) return fail("nesting too deep");
        ++p_;
        std::vector<Value> items;
        skipSpace();
        if (p_ < s_.size() && s_[p_] == ']') {
            ++p_;
            return Value::makeArray(std::move(items));
        }
        for (;;) {
            skipSpace();
            auto v = value(depth);
            if (!v) return std::nullopt;
            items.push_back(std::move(*v));
            skipSpace();
            if (p_ < s_.size() && s_[p_] == ',') {
                ++p_;
                continue;
            }
            if (p_ < s_.size() && s_[p_] == ']') {
                ++p_;
                return Value::makeArray(std::move(items));
            }
            return fail("expected ',' or ']'");
        }
    }

    std::optional<uint32_t> hex4() {
        if (p_ + 4 > s_.size()) return std::nullopt;
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) {
            const char c = s_[p_++];
            v <<= 4;
            if (c >= '0' && c <= '9')
                v |= static_cast<uint32_t>(c - '0');
            else if (c >= 'a' && c <= 'f')
                v |= static_cast<uint32_t>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F')
                v |= static_cast<uint32_t>(c - 'A' + 10);
            else
                return std::nullopt;
        }
        return v;
    }

    std::optional<std::string> string() {
        ++p_;  // opening quote
        std::string out;
        for (;;) {
            if (p_ >= s_.size()) {
                fail("unterminated string");
                return std::nullopt;
            }
            const unsigned char c = static_cast<unsigned char>(s_[p_]);
            if (c == '"') {
                ++p_;
                return out;
            }
            if (c < 0x20) {
                fail("control character in a string");
                return std::nullopt;
            }
            if (c == '\\') {
                if (++p_ >= s_.size()) {
                    fail("unterminated escape");
                    return std::nullopt;
                }
                const char e = s_[p_++];
                switch (e) {
                    case '"':
                        out.push_back('"');
                        break;
                    case '\\':
                        out.push_back('\\');
                        break;
                    case '/':
                        out.push_back('/');
                        break;
                    case 'b':
                        out.push_back('\b');
                        break;
                    case 'f':
                        out.push_back('\f');
                        break;
                    case 'n':
                        out.push_back('\n');
                        break;
                    case 'r':
                        out.push_back('\r');
                        break;
                    case 't':
                        out.push_back('\t');
                        break;
                    case 'u': {
                        auto hi = hex4();
                        if (!hi) {
                            fail("bad \\u escape");
                            return std::nullopt;
                        }
                        uint32_t cp = *hi;
                        if (cp >= 0xD800 && cp <= 0xDBFF) {
                            if (p_ + 2 > s_.size() || s_[p_] != '\\' || s_[p_ + 1] != 'u') {
                                fail("lone surrogate");
                                return std::nullopt;
                            }
                            p_ += 2;
                            auto lo = hex4();
                            if (!lo || *lo < 0xDC00 || *lo > 0xDFFF) {
                                fail("lone surrogate");
                                return std::nullopt;
                            }
                            cp = 0x10000 + ((cp - 0xD800) << 10) + (*lo - 0xDC00);
                        } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
                            fail("lone surrogate");
                            return std::nullopt;
                        }
                        appendUtf8(out, cp);
                        break;
                    }
                    default:
                        fail("bad escape");
                        return std::nullopt;
                }
                continue;
            }
            const size_t n = utf8Length(s_, p_);
            if (n == 0) {
                fail("invalid UTF-8");
                return std::nullopt;
            }
            out.append(s_.substr(p_, n));
            p_ += n;
        }
    }

    std::optional<Value> number() {
        const size_t begin = p_;
        bool integral = true;
        if (s_[p_] == '-') ++p_;
        auto digits = [&] {
            const size_t d = p_;
            while (p_ < s_.size() && s_[p_] >= '0' && s_[p_] <= '9') ++p_;
            return p_ - d;
        };
        if (p_ < s_.size() && s_[p_] == '0') {
            ++p_;
        } else if (digits() == 0) {
            return fail("bad number");
        }
        if (p_ < s_.size() && s_[p_] == '.') {
            ++p_;
            integral = false;
            if (digits() == 0) return fail("bad number");
        }
        if (p_ < s_.size() && (s_[p_] == 'e' || s_[p_] == 'E')) {
            ++p_;
            integral = false;
            if (p_ < s_.size() && (s_[p_] == '+' || s_[p_] == '-')) ++p_;
            if (digits() == 0) return fail("bad number");
        }
        const std::string text(s_.substr(begin, p_ - begin));
        const double d = std::strtod(text.c_str(), nullptr);
        if (!std::isfinite(d)) return fail("number out of range");
        int64_t i = 0;
        if (integral) {
            errno = 0;
            i = std::strtoll(text.c_str(), nullptr, 10);
            if (errno == ERANGE) integral = false;
        } else if (d == std::floor(d) && std::fabs(d) < 9.0e15) {
            // 12.0 and 1e3 are whole numbers too.
            integral = true;
            i = static_cast<int64_t>(d);
        }
        return Value::makeNumber(d, integral, i);
    }

    std::string_view s_;
    size_t p_ = 0;
    int maxDepth_;
    std::string error_;
    size_t errorAt_ = 0;
};

}  // namespace

ParseResult parse(std::string_view text, int maxDepth) {
    return Parser(text, maxDepth).run();
}

bool validUtf8(std::string_view text) {
    for (size_t p = 0; p < text.size();) {
        const size_t n = utf8Length(text, p);
        if (n == 0) return false;
        p += n;
    }
    return true;
}

std::string quote(std::string_view text) {
    static const char* hex = "0123456789abcdef";
    std::string out;
    out.reserve(text.size() + 2);
    out.push_back('"');
    for (size_t p = 0; p < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[p]);
        if (c >= 0x80) {
            const size_t n = utf8Length(text, p);
            if (n == 0) {
                out += "\xEF\xBF\xBD";
                ++p;
            } else {
                out.append(text.substr(p, n));
                p += n;
            }
            continue;
        }
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            default:
                if (c < 0x20) {
                    out += "\\u00";
                    out.push_back(hex[c >> 4]);
                    out.push_back(hex[c & 15]);
                } else {
                    out.push_back(static_cast<char>(c));
                }
        }
        ++p;
    }
    out.push_back('"');
    return out;
}

void ObjectWriter::key(std::string_view k) {
    if (out_.size() > 1) out_.push_back(',');
    out_ += quote(k);
    out_.push_back(':');
}

ObjectWriter& ObjectWriter::add(std::string_view k, std::string_view value) {
    key(k);
    out_ += quote(value);
    return *this;
}

ObjectWriter& ObjectWriter::add(std::string_view k, int64_t value) {
    key(k);
    out_ += std::to_string(value);
    return *this;
}

ObjectWriter& ObjectWriter::add(std::string_view k, bool value) {
    key(k);
    out_ += value ? "true" : "false";
    return *this;
}

ObjectWriter& ObjectWriter::addRaw(std::string_view k, std::string_view json) {
    key(k);
    out_ += json;
    return *this;
}

std::string stringArray(const std::vector<std::string>& items) {
    std::string out = "[";
    for (size_t i = 0; i < items.size(); ++i) {
        if (i) out.push_back(',');
        out += quote(items[i]);
    }
    out.push_back(']');
    return out;
}

}  // namespace vserver::json
