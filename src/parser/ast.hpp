// IDL document model: the records the front end builds, the shared type and
// value trees, tokens, parse errors and their fixed text rendering.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace vantrel::ast {

// The twelve kinds shared by ThriftType and ThriftValue; the order indexes the
// wire type-code tables.
enum class Kind : std::uint8_t { Bool, Byte, I16, I32, I64, Double, String, Binary, List, Set, Map, Struct };

std::string_view kind_name(Kind kind);

struct ThriftType {
    Kind kind = Kind::Bool;
    std::vector<ThriftType> params;  // List/Set: {element}; Map: {key, value}
    std::string name;                // Struct only: the name as written, dotted prefix kept

    static ThriftType base(Kind kind) { return ThriftType{kind, {}, {}}; }
    static ThriftType list(ThriftType element) { return container(Kind::List, std::move(element)); }
    static ThriftType set(ThriftType element) { return container(Kind::Set, std::move(element)); }
    static ThriftType map(ThriftType key, ThriftType value);
    static ThriftType named(std::string name) { return ThriftType{Kind::Struct, {}, std::move(name)}; }

    const ThriftType& element() const { return params[0]; }
    const ThriftType& key() const { return params[0]; }
    const ThriftType& value() const { return params[1]; }

    bool operator==(const ThriftType&) const = default;

  private:
    static ThriftType container(Kind kind, ThriftType element);
};

struct ThriftValue;

struct BinaryValue {
    std::string bytes;
    bool operator==(const BinaryValue&) const = default;
};
struct ListValue {
    std::vector<ThriftValue> items;
    bool operator==(const ListValue&) const;
};
struct SetValue {
    std::vector<ThriftValue> items;  // order kept, duplicates kept
    bool operator==(const SetValue&) const;
};
struct MapValue {
    std::vector<std::pair<ThriftValue, ThriftValue>> entries;  // order kept, duplicate keys kept
    bool operator==(const MapValue&) const;
};
class FieldMap;

// A struct value. Its fields are shared and never changed once built, so
// copies of a decoded tree cost a reference count, not a deep copy.
struct StructValue {
    std::optional<std::string> name;
    std::shared_ptr<const FieldMap> fields;  // null when there are none

    const FieldMap& field_map() const;
    bool operator==(const StructValue&) const;
};

// A typed value tree. The variant index equals the Kind.
struct ThriftValue {
    using Storage = std::variant<bool, std::int8_t, std::int16_t, std::int32_t, std::int64_t, double, std::string,
                                 BinaryValue, ListValue, SetValue, MapValue, StructValue>;
    Storage v;

    Kind kind() const { return static_cast<Kind>(v.index()); }
    bool operator==(const ThriftValue&) const = default;
};

// Field name -> value: insertion order kept, each name once (setting an
// existing name replaces its value). Small, so lookups scan.
class FieldMap {
  public:
    using Entry = std::pair<std::string, ThriftValue>;

    std::size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }
    auto begin() const { return entries_.begin(); }
    auto end() const { return entries_.end(); }
    void reserve(std::size_t n) { entries_.reserve(n); }

    // `hint` is where the name is expected (e.g. its declaration position).
    const ThriftValue* find(std::string_view name, std::size_t hint = 0) const {
        if (hint < entries_.size() && entries_[hint].first == name) return &entries_[hint].second;
        for (const Entry& e : entries_)
            if (e.first == name) return &e.second;
        return nullptr;
    }
    void set(std::string_view name, ThriftValue value) {
        for (Entry& e : entries_) {
            if (e.first == name) {
                e.second = std::move(value);
                return;
            }
        }
        entries_.emplace_back(std::string(name), std::move(value));
    }
    ThriftValue& value_at(std::size_t index) { return entries_[index].second; }
    // Appends without looking for the name; the caller knows it is new.
    void append(std::string name, ThriftValue value) { entries_.emplace_back(std::move(name), std::move(value)); }
    bool erase(std::string_view name) {
        for (auto it = entries_.begin(); it != entries_.end(); ++it) {
            if (it->first == name) {
                entries_.erase(it);
                return true;
            }
        }
        return false;
    }
    // Same names with equal values, in any order.
    bool operator==(const FieldMap& other) const;

  private:
    std::vector<Entry> entries_;
};

inline const FieldMap& StructValue::field_map() const {
    static const FieldMap empty;
    return fields ? *fields : empty;
}

struct ThriftField {
    std::int16_t id = 0;
    std::string name;
    ThriftType field_type;
    bool required = false;
    std::optional<ThriftValue> default_value;

    bool operator==(const ThriftField&) const = default;
};

struct ThriftStruct {
    std::string name;
    std::vector<ThriftField> fields;
};

struct ThriftEnum {
    std::string name;
    std::map<std::string, std::int32_t> values;
};

struct ThriftMethod {
    std::string name;
    ThriftType return_type;  // `void` is Struct("void")
    std::vector<ThriftField> arguments;
    std::vector<ThriftField> exceptions;
    bool oneway = false;
};

struct ThriftService {
    std::string name;
    std::vector<ThriftMethod> methods;
};

struct ThriftDocument {
    std::vector<std::string> includes;
    std::map<std::string, ThriftStruct> structs;
    std::map<std::string, ThriftService> services;
    std::map<std::string, ThriftEnum> enums;
    std::map<std::string, std::string> namespaces;
};

enum class TokenKind : std::uint8_t {
    Keyword, Identifier, Number, String,
    Comma, Semicolon, LeftParen, RightParen, LeftBrace, RightBrace,
    LeftBracket, RightBracket, LessThan, GreaterThan, Colon, Equal, Dot, Asterisk,
};

struct Token {
    TokenKind kind = TokenKind::Comma;
    std::string text;         // Keyword, Identifier, String
    std::int64_t number = 0;  // Number

    bool operator==(const Token&) const = default;
};

// The one error of the front end; thrown by the lexer and parser and turned
// into a Python exception at the boundary.
struct ParseError {
    enum class Case : std::uint8_t { Syntax, UnexpectedToken, EndOfInput };
    Case error_case = Case::EndOfInput;
    std::string message;  // Syntax
    Token token;          // UnexpectedToken

    static ParseError syntax(std::string message) { return {Case::Syntax, std::move(message), {}}; }
    static ParseError unexpected(Token token) { return {Case::UnexpectedToken, {}, std::move(token)}; }
    static ParseError end_of_input() { return {}; }

    std::string display() const;
};

// Text rendering shown in reprs and parse messages.
std::string quote(std::string_view text);  // double-quoted with escapes
std::string format_double(double value);   // shortest round-trip, `1.0`, `1e16`, `2.5e-5`
std::string render(const ThriftType& type);
std::string render(const ThriftValue& value);
std::string render(const ThriftField& field);
std::string render(const Token& token);

}  // namespace vantrel::ast
