// A small ordered JSON value with a writer and a strict parser: enough for the host's
// --json output and for tests that read it back.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace phost {

class Json {
public:
    enum class Kind { Null, Bool, Number, String, Array, Object };

    Json() = default;
    Json(bool b) : kind_(Kind::Bool), bool_(b) {}
    Json(double d) : kind_(Kind::Number), num_(d) {}
    Json(int v) : kind_(Kind::Number), num_(v) {}
    Json(int64_t v) : kind_(Kind::Number), num_(static_cast<double>(v)) {}
    Json(uint32_t v) : kind_(Kind::Number), num_(v) {}
    Json(uint64_t v) : kind_(Kind::Number), num_(static_cast<double>(v)) {}
    Json(const char* s) : kind_(Kind::String), str_(s ? s : "") {}
    Json(std::string s) : kind_(Kind::String), str_(std::move(s)) {}
    Json(std::string_view s) : kind_(Kind::String), str_(s) {}

    static Json array() { Json j; j.kind_ = Kind::Array; return j; }
    static Json object() { Json j; j.kind_ = Kind::Object; return j; }

    Kind kind() const { return kind_; }
    bool isNull() const { return kind_ == Kind::Null; }
    bool isObject() const { return kind_ == Kind::Object; }
    bool isArray() const { return kind_ == Kind::Array; }
    bool isString() const { return kind_ == Kind::String; }
    bool isNumber() const { return kind_ == Kind::Number; }
    bool isBool() const { return kind_ == Kind::Bool; }

    bool asBool() const { return bool_; }
    double asNumber() const { return num_; }
    const std::string& asString() const { return str_; }

    // Arrays
    Json& push(Json v) { items_.emplace_back(std::string(), std::move(v)); return items_.back().second; }
    size_t size() const { return items_.size(); }
    const Json& operator[](size_t i) const { return items_.at(i).second; }

    // Objects (insertion order is kept; setting an existing key replaces its value)
    Json& set(const std::string& key, Json v);
    const Json* find(std::string_view key) const;
    // Missing keys read as null.
    const Json& operator[](std::string_view key) const;
    const std::vector<std::pair<std::string, Json>>& items() const { return items_; }

    std::string dump(int indent = 2) const;
    static bool parse(std::string_view text, Json& out, std::string& error);

private:
    void dumpTo(std::string& out, int indent, int depth) const;

    Kind kind_ = Kind::Null;
    bool bool_ = false;
    double num_ = 0.0;
    std::string str_;
    std::vector<std::pair<std::string, Json>> items_;
};

}  // namespace phost
