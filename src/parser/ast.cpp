#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "ast.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string>
#include <system_error>

namespace vantrel::ast {

std::string_view kind_name(Kind kind) {
    switch (kind) {
        case Kind::Bool: return "Bool";
        case Kind::Byte: return "Byte";
        case Kind::I16: return "I16";
        case Kind::I32: return "I32";
        case Kind::I64: return "I64";
        case Kind::Double: return "Double";
        case Kind::String: return "String";
        case Kind::Binary: return "Binary";
        case Kind::List: return "List";
        case Kind::Set: return "Set";
        case Kind::Map: return "Map";
        case Kind::Struct: return "Struct";
    }
    return "Unknown";
}

ThriftType ThriftType::map(ThriftType key, ThriftType value) {
    ThriftType t{Kind::Map, {}, {}};
    t.params.reserve(2);
    t.params.push_back(std::move(key));
    t.params.push_back(std::move(value));
    return t;
}

ThriftType ThriftType::container(Kind kind, ThriftType element) {
    ThriftType t{kind, {}, {}};
    t.params.push_back(std::move(element));
    return t;
}

// Out of line because ThriftValue is incomplete where these are declared.
bool ListValue::operator==(const ListValue& other) const { return items == other.items; }
bool SetValue::operator==(const SetValue& other) const { return items == other.items; }
bool MapValue::operator==(const MapValue& other) const { return entries == other.entries; }
bool StructValue::operator==(const StructValue& other) const {
    return name == other.name && field_map() == other.field_map();
}

bool FieldMap::operator==(const FieldMap& other) const {
    if (size() != other.size()) return false;
    for (const auto& [name, value] : entries_) {
        const ThriftValue* theirs = other.find(name);
        if (!theirs || !(*theirs == value)) return false;
    }
    return true;
}

std::string ParseError::display() const {
    switch (error_case) {
        case Case::Syntax: return "Syntax error: " + message;
        case Case::UnexpectedToken: return "Unexpected token: " + render(token);
        case Case::EndOfInput: break;
    }
    return "End of input";
}

namespace {

// Decodes one code point of valid UTF-8 at `i` and advances `i` past it.
char32_t next_code_point(std::string_view s, std::size_t& i) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    std::size_t len = b0 < 0x80 ? 1 : b0 < 0xE0 ? 2 : b0 < 0xF0 ? 3 : 4;
    if (i + len > s.size()) len = s.size() - i;  // defensive: truncated input
    char32_t cp = len == 1 ? b0 : len == 2 ? (b0 & 0x1F) : len == 3 ? (b0 & 0x0F) : (b0 & 0x07);
    for (std::size_t k = 1; k < len; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    i += len;
    return cp;
}

const char* token_kind_name(TokenKind kind) {
    switch (kind) {
        case TokenKind::Keyword: return "Keyword";
        case TokenKind::Identifier: return "Identifier";
        case TokenKind::Number: return "Number";
        case TokenKind::String: return "String";
        case TokenKind::Comma: return "Comma";
        case TokenKind::Semicolon: return "Semicolon";
        case TokenKind::LeftParen: return "LeftParen";
        case TokenKind::RightParen: return "RightParen";
        case TokenKind::LeftBrace: return "LeftBrace";
        case TokenKind::RightBrace: return "RightBrace";
        case TokenKind::LeftBracket: return "LeftBracket";
        case TokenKind::RightBracket: return "RightBracket";
        case TokenKind::LessThan: return "LessThan";
        case TokenKind::GreaterThan: return "GreaterThan";
        case TokenKind::Colon: return "Colon";
        case TokenKind::Equal: return "Equal";
        case TokenKind::Dot: return "Dot";
        case TokenKind::Asterisk: return "Asterisk";
    }
    return "Unknown";
}

void render_value(std::string& out, const ThriftValue& value);

template <typename Seq>
void render_items(std::string& out, const Seq& items) {
    out += '[';
    bool first = true;
    for (const auto& item : items) {
        if (!first) out += ", ";
        first = false;
        render_value(out, item);
    }
    out += ']';
}

void render_value(std::string& out, const ThriftValue& value) {
    out += kind_name(value.kind());
    switch (value.kind()) {
        case Kind::Bool: out += std::get<bool>(value.v) ? "(true)" : "(false)"; return;
        case Kind::Byte: out += "(" + std::to_string(std::get<std::int8_t>(value.v)) + ")"; return;
        case Kind::I16: out += "(" + std::to_string(std::get<std::int16_t>(value.v)) + ")"; return;
        case Kind::I32: out += "(" + std::to_string(std::get<std::int32_t>(value.v)) + ")"; return;
        case Kind::I64: out += "(" + std::to_string(std::get<std::int64_t>(value.v)) + ")"; return;
        case Kind::Double: out += "(" + format_double(std::get<double>(value.v)) + ")"; return;
        case Kind::String: out += "(" + quote(std::get<std::string>(value.v)) + ")"; return;
        case Kind::Binary: {
            out += "([";
            bool first = true;
            for (char c : std::get<BinaryValue>(value.v).bytes) {
                if (!first) out += ", ";
                first = false;
                out += std::to_string(static_cast<unsigned char>(c));
            }
            out += "])";
            return;
        }
        case Kind::List:
            out += '(';
            render_items(out, std::get<ListValue>(value.v).items);
            out += ')';
            return;
        case Kind::Set:
            out += '(';
            render_items(out, std::get<SetValue>(value.v).items);
            out += ')';
            return;
        case Kind::Map: {
            out += "([";
            bool first = true;
            for (const auto& [k, v] : std::get<MapValue>(value.v).entries) {
                if (!first) out += ", ";
                first = false;
                out += '(';
                render_value(out, k);
                out += ", ";
                render_value(out, v);
                out += ')';
            }
            out += "])";
            return;
        }
        case Kind::Struct: {
            const auto& s = std::get<StructValue>(value.v);
            out += " { name: ";
            out += s.name ? "Some(" + quote(*s.name) + ")" : std::string("None");
            out += ", fields: {";
            bool first = true;
            for (const auto& [name, field] : s.field_map()) {
                if (!first) out += ", ";
                first = false;
                out += quote(name);
                out += ": ";
                render_value(out, field);
            }
            out += "} }";
            return;
        }
    }
}

void render_type(std::string& out, const ThriftType& type) {
    out += kind_name(type.kind);
    switch (type.kind) {
        case Kind::List:
        case Kind::Set:
            out += '(';
            render_type(out, type.element());
            out += ')';
            return;
        case Kind::Map:
            out += '(';
            render_type(out, type.key());
            out += ", ";
            render_type(out, type.value());
            out += ')';
            return;
        case Kind::Struct:
            out += '(';
            out += quote(type.name);
            out += ')';
            return;
        default:
            return;
    }
}

}  // namespace

std::string quote(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    std::size_t i = 0;
    while (i < text.size()) {
        const std::size_t start = i;
        const char32_t cp = next_code_point(text, i);
        switch (cp) {
            case U'"': out += "\\\""; continue;
            case U'\\': out += "\\\\"; continue;
            case U'\t': out += "\\t"; continue;
            case U'\r': out += "\\r"; continue;
            case U'\n': out += "\\n"; continue;
            case U'\0': out += "\\0"; continue;
            default: break;
        }
        if (Py_UNICODE_ISPRINTABLE(static_cast<Py_UCS4>(cp))) {
            out.append(text.substr(start, i - start));
        } else {
            char hex[16];
            auto res = std::to_chars(hex, hex + sizeof hex, static_cast<std::uint32_t>(cp), 16);
            out += "\\u{";
            out.append(hex, res.ptr);
            out += '}';
        }
    }
    out += '"';
    return out;
}

std::string format_double(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    if (value == 0) return std::signbit(value) ? "-0.0" : "0.0";

    // Shortest round-trip digits in scientific form, e.g. "-2.5e-05".
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
    std::string_view sci(buf, static_cast<std::size_t>(res.ptr - buf));

    std::string out;
    if (sci.front() == '-') {
        out += '-';
        sci.remove_prefix(1);
    }
    const std::size_t e_pos = sci.find('e');
    std::string digits;
    for (char c : sci.substr(0, e_pos)) {
        if (c != '.') digits += c;
    }
    int exponent = 0;
    std::string_view exp_text = sci.substr(e_pos + 1);
    if (!exp_text.empty() && exp_text.front() == '+') exp_text.remove_prefix(1);
    std::from_chars(exp_text.data(), exp_text.data() + exp_text.size(), exponent);

    const double magnitude = std::fabs(value);
    if (magnitude >= 1e16 || magnitude < 1e-4) {
        out += digits[0];
        if (digits.size() > 1) {
            out += '.';
            out.append(digits, 1);
        }
        out += 'e';
        out += std::to_string(exponent);
        return out;
    }

    const int n = static_cast<int>(digits.size());
    if (exponent < 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-exponent - 1), '0');
        out += digits;
    } else if (exponent + 1 >= n) {
        out += digits;
        out.append(static_cast<std::size_t>(exponent + 1 - n), '0');
        out += ".0";
    } else {
        out.append(digits, 0, static_cast<std::size_t>(exponent + 1));
        out += '.';
        out.append(digits, static_cast<std::size_t>(exponent + 1));
    }
    return out;
}

std::string render(const ThriftType& type) {
    std::string out;
    render_type(out, type);
    return out;
}

std::string render(const ThriftValue& value) {
    std::string out;
    render_value(out, value);
    return out;
}

std::string render(const ThriftField& field) {
    std::string out = "ThriftField { id: ";
    out += std::to_string(field.id);
    out += ", name: ";
    out += quote(field.name);
    out += ", field_type: ";
    render_type(out, field.field_type);
    out += ", required: ";
    out += field.required ? "true" : "false";
    out += ", default_value: ";
    if (field.default_value) {
        out += "Some(";
        render_value(out, *field.default_value);
        out += ')';
    } else {
        out += "None";
    }
    out += " }";
    return out;
}

std::string render(const Token& token) {
    std::string out = token_kind_name(token.kind);
    switch (token.kind) {
        case TokenKind::Keyword:
        case TokenKind::Identifier:
        case TokenKind::String:
            out += '(';
            out += quote(token.text);
            out += ')';
            break;
        case TokenKind::Number:
            out += '(';
            out += std::to_string(token.number);
            out += ')';
            break;
        default:
            break;
    }
    return out;
}

}  // namespace vantrel::ast
