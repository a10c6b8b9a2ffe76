#include "Json.h"
#include "Util.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace phost {

Json& Json::set(const std::string& key, Json v) {
    for (auto& kv : items_)
        if (kv.first == key) {
            kv.second = std::move(v);
            return kv.second;
        }
    items_.emplace_back(key, std::move(v));
    return items_.back().second;
}

const Json* Json::find(std::string_view key) const {
    if (kind_ != Kind::Object) return nullptr;
    for (const auto& kv : items_)
        if (kv.first == key) return &kv.second;
    return nullptr;
}

const Json& Json::operator[](std::string_view key) const {
    static const Json null;
    const Json* j = find(key);
    return j ? *j : null;
}

namespace {

void appendEscaped(std::string& out, const std::string& s) {
    out += '"';
    for (unsigned char c : s) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    out += buf;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    out += '"';
}

void appendNumber(std::string& out, double d) {
    if (!std::isfinite(d)) {  // JSON has no NaN/Inf
        out += "null";
        return;
    }
    char buf[40];
    if (d == std::floor(d) && std::fabs(d) < 1e15)
        std::snprintf(buf, sizeof buf, "%.0f", d);
    else
        std::snprintf(buf, sizeof buf, "%.17g", d);
    out += buf;
}

void newline(std::string& out, int indent, int depth) {
    if (indent <= 0) return;
    out += '\n';
    out.append(static_cast<size_t>(indent * depth), ' ');
}

}  // namespace

void Json::dumpTo(std::string& out, int indent, int depth) const {
    switch (kind_) {
        case Kind::Null: out += "null"; break;
        case Kind::Bool: out += bool_ ? "true" : "false"; break;
        case Kind::Number: appendNumber(out, num_); break;
        case Kind::String: appendEscaped(out, str_); break;
        case Kind::Array:
        case Kind::Object: {
            const bool obj = kind_ == Kind::Object;
            out += obj ? '{' : '[';
            if (items_.empty()) {
                out += obj ? '}' : ']';
                break;
            }
            bool first = true;
            for (const auto& kv : items_) {
                if (!first) out += ',';
                first = false;
                newline(out, indent, depth + 1);
                if (obj) {
                    appendEscaped(out, kv.first);
                    out += indent > 0 ? ": " : ":";
                }
                kv.second.dumpTo(out, indent, depth + 1);
            }
            newline(out, indent, depth);
            out += obj ? '}' : ']';
            break;
        }
    }
}

std::string Json::dump(int indent) const {
    std::string out;
    dumpTo(out, indent, 0);
    return out;
}

namespace {

struct Parser {
    std::string_view s;
    size_t i = 0;
    std::string err;

    void ws() {
        while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\n' || s[i] == '\r')) ++i;
    }
    bool fail(const char* what) {
        if (err.empty()) err = std::string(what) + " at offset " + std::to_string(i);
        return false;
    }
    bool literal(std::string_view lit) {
        if (s.substr(i, lit.size()) != lit) return fail("bad literal");
        i += lit.size();
        return true;
    }
    bool hex4(uint32_t& v) {
        if (i + 4 > s.size()) return fail("short \\u escape");
        v = 0;
        for (int k = 0; k < 4; ++k) {
            char c = s[i++];
            v <<= 4;
            if (c >= '0' && c <= '9') v |= static_cast<uint32_t>(c - '0');
            else if (c >= 'a' && c <= 'f') v |= static_cast<uint32_t>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F') v |= static_cast<uint32_t>(c - 'A' + 10);
            else return fail("bad \\u escape");
        }
        return true;
    }
    bool string(std::string& out) {
        if (i >= s.size() || s[i] != '"') return fail("expected string");
        ++i;
        while (i < s.size()) {
            char c = s[i++];
            if (c == '"') return true;
            if (static_cast<unsigned char>(c) < 0x20) return fail("control character in string");
            if (c != '\\') {
                out += c;
                continue;
            }
            if (i >= s.size()) break;
            char e = s[i++];
            switch (e) {
                case '"': out += '"'; break;
                case '\\': out += '\\'; break;
                case '/': out += '/'; break;
                case 'b': out += '\b'; break;
                case 'f': out += '\f'; break;
                case 'n': out += '\n'; break;
                case 'r': out += '\r'; break;
                case 't': out += '\t'; break;
                case 'u': {
                    uint32_t cp = 0;
                    if (!hex4(cp)) return false;
                    if (cp >= 0xD800 && cp < 0xDC00 && s.substr(i, 2) == "\\u") {
                        i += 2;
                        uint32_t lo = 0;
                        if (!hex4(lo)) return false;
                        cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
                    }
                    appendUtf8(out, cp);
                    break;
                }
                default: return fail("bad escape");
            }
        }
        return fail("unterminated string");
    }
    bool value(Json& out, int depth) {
        if (depth > 64) return fail("nesting too deep");
        ws();
        if (i >= s.size()) return fail("unexpected end");
        char c = s[i];
        if (c == '{') {
            ++i;
            out = Json::object();
            ws();
            if (i < s.size() && s[i] == '}') { ++i; return true; }
            for (;;) {
                ws();
                std::string key;
                if (!string(key)) return false;
                ws();
                if (i >= s.size() || s[i] != ':') return fail("expected ':'");
                ++i;
                Json v;
                if (!value(v, depth + 1)) return false;
                out.set(key, std::move(v));
                ws();
                if (i < s.size() && s[i] == ',') { ++i; continue; }
                if (i < s.size() && s[i] == '}') { ++i; return true; }
                return fail("expected ',' or '}'");
            }
        }
        if (c == '[') {
            ++i;
            out = Json::array();
            ws();
            if (i < s.size() && s[i] == ']') { ++i; return true; }
            for (;;) {
                Json v;
                if (!value(v, depth + 1)) return false;
                out.push(std::move(v));
                ws();
                if (i < s.size() && s[i] == ',') { ++i; continue; }
                if (i < s.size() && s[i] == ']') { ++i; return true; }
                return fail("expected ',' or ']'");
            }
        }
        if (c == '"') {
            std::string str;
            if (!string(str)) return false;
            out = Json(std::move(str));
            return true;
        }
        if (c == 't') { if (!literal("true")) return false; out = Json(true); return true; }
        if (c == 'f') { if (!literal("false")) return false; out = Json(false); return true; }
        if (c == 'n') { if (!literal("null")) return false; out = Json(); return true; }
        if (c == '-' || (c >= '0' && c <= '9')) {
            size_t start = i;
            if (s[i] == '-') ++i;
            while (i < s.size() && ((s[i] >= '0' && s[i] <= '9') || s[i] == '.' || s[i] == 'e' ||
                                    s[i] == 'E' || s[i] == '+' || s[i] == '-'))
                ++i;
            std::string num(s.substr(start, i - start));
            char* end = nullptr;
            double d = std::strtod(num.c_str(), &end);
            if (end != num.c_str() + num.size()) return fail("bad number");
            out = Json(d);
            return true;
        }
        return fail("unexpected character");
    }
};

}  // namespace

bool Json::parse(std::string_view text, Json& out, std::string& error) {
    Parser p{text, 0, {}};
    Json v;
    if (!p.value(v, 0)) {
        error = p.err;
        return false;
    }
    p.ws();
    if (p.i != text.size()) {
        error = "trailing characters at offset " + std::to_string(p.i);
        return false;
    }
    out = std::move(v);
    return true;
}

}  // namespace phost
