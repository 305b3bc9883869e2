#include "parser.hpp"

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "lexer.hpp"

namespace vantrel::idl {

namespace {

using ast::Kind;
using ast::ParseError;
using ast::ThriftType;
using ast::ThriftValue;
using ast::Token;
using ast::TokenKind;

// Deepest container nesting accepted in a type (typedef expansion included)
// and in a default value; keeps recursion well inside the C stack.
constexpr int kMaxNesting = 64;

ParseError nesting_too_deep() { return ParseError::syntax("Nesting too deep"); }

// A typedef target together with its container depth, so that aliases of
// aliases cannot build types deeper than kMaxNesting.
struct Alias {
    ThriftType type;
    int depth = 0;
};

struct Parser {
    const std::vector<Token>& tokens;
    std::size_t pos = 0;
    std::map<std::string, Alias> typedefs;
    std::map<std::string, std::map<std::string, std::int32_t>> enum_values;
    // The document under construction. Its struct and service maps always
    // hold exactly the declarations parsed so far, so they double as the
    // parents visible to `extends` instead of keeping a second copy.
    ast::ThriftDocument doc;
    std::map<std::string, ast::ThriftStruct>& parsed_structs = doc.structs;
    std::map<std::string, ast::ThriftService>& parsed_services = doc.services;

    explicit Parser(const std::vector<Token>& toks) : tokens(toks) {}

    // ------------------------------------------------------------ primitives

    const Token* peek() const { return pos < tokens.size() ? &tokens[pos] : nullptr; }

    bool next_is(TokenKind kind) const {
        const Token* t = peek();
        return t && t->kind == kind;
    }

    bool next_is_keyword(std::string_view word) const {
        const Token* t = peek();
        return t && t->kind == TokenKind::Keyword && t->text == word;
    }

    const Token& consume_token() {
        if (pos >= tokens.size()) throw ParseError::end_of_input();
        return tokens[pos++];
    }

    const Token& expect_token(TokenKind kind) {
        const Token& t = consume_token();
        if (t.kind != kind) throw ParseError::unexpected(t);
        return t;
    }

    void optional_token(TokenKind kind) {
        if (next_is(kind)) ++pos;
    }

    void optional_separator() {
        if (next_is(TokenKind::Comma) || next_is(TokenKind::Semicolon)) ++pos;
    }

    std::string expect_name() { return expect_token(TokenKind::Identifier).text; }

    std::vector<std::string> finish_identifier_path_parts(std::string first) {
        std::vector<std::string> parts;
        parts.push_back(std::move(first));
        while (next_is(TokenKind::Dot)) {
            ++pos;
            const Token& t = consume_token();
            if (t.kind != TokenKind::Keyword && t.kind != TokenKind::Identifier) throw ParseError::unexpected(t);
            parts.push_back(t.text);
        }
        return parts;
    }

    std::string finish_qualified_identifier(std::string first) {
        auto parts = finish_identifier_path_parts(std::move(first));
        std::string joined = std::move(parts[0]);
        for (std::size_t i = 1; i < parts.size(); ++i) {
            joined += '.';
            joined += parts[i];
        }
        return joined;
    }

    std::string finish_identifier_path(std::string first) {
        return std::move(finish_identifier_path_parts(std::move(first)).back());
    }

    void skip_annotations() {
        while (next_is(TokenKind::LeftParen)) {
            ++pos;
            int depth = 1;
            while (depth > 0) {
                const Token& t = consume_token();
                if (t.kind == TokenKind::LeftParen) ++depth;
                if (t.kind == TokenKind::RightParen) --depth;
            }
        }
    }

    // ----------------------------------------------------------------- types

    // `level` counts the containers around this type; `depth` receives the
    // container depth of the result.
    ThriftType parse_type(int level, int& depth) {
        const Token& t = consume_token();
        if (t.kind != TokenKind::Identifier) throw ParseError::unexpected(t);
        const std::string& word = t.text;

        static const std::map<std::string_view, Kind> base_types = {
            {"bool", Kind::Bool},     {"byte", Kind::Byte},     {"i16", Kind::I16},
            {"i32", Kind::I32},       {"i64", Kind::I64},       {"double", Kind::Double},
            {"string", Kind::String}, {"binary", Kind::Binary},
        };
        if (auto it = base_types.find(word); it != base_types.end()) {
            depth = 0;
            return ThriftType::base(it->second);
        }

        if (word == "list" || word == "set" || word == "map") {
            if (level >= kMaxNesting) throw nesting_too_deep();
            const bool is_map = word == "map";
            const bool is_list = word == "list";
            expect_token(TokenKind::LessThan);
            int inner = 0;
            ThriftType first = parse_type(level + 1, inner);
            ThriftType result;
            if (is_map) {
                expect_token(TokenKind::Comma);
                int value_depth = 0;
                ThriftType value = parse_type(level + 1, value_depth);
                inner = std::max(inner, value_depth);
                result = ThriftType::map(std::move(first), std::move(value));
            } else {
                result = is_list ? ThriftType::list(std::move(first)) : ThriftType::set(std::move(first));
            }
            expect_token(TokenKind::GreaterThan);
            depth = inner + 1;
            if (depth > kMaxNesting) throw nesting_too_deep();
            return result;
        }

        std::string name = finish_qualified_identifier(word);
        auto hit = typedefs.find(name);
        if (hit == typedefs.end()) {
            const std::size_t dot = name.rfind('.');
            if (dot != std::string::npos) hit = typedefs.find(name.substr(dot + 1));
        }
        if (hit != typedefs.end()) {
            depth = hit->second.depth;
            return hit->second.type;
        }
        depth = 0;
        return ThriftType::named(std::move(name));
    }

    ThriftType parse_type() {
        int depth = 0;
        return parse_type(0, depth);
    }

    // -------------------------------------------------------- default values

    std::int64_t parse_i64_default() {
        const Token& t = consume_token();
        if (t.kind == TokenKind::Number) return t.number;
        if (t.kind != TokenKind::Keyword && t.kind != TokenKind::Identifier) throw ParseError::unexpected(t);
        const auto parts = finish_identifier_path_parts(t.text);
        if (parts.size() == 2) {
            if (auto e = enum_values.find(parts[0]); e != enum_values.end()) {
                if (auto m = e->second.find(parts[1]); m != e->second.end()) return m->second;
            }
        }
        std::string path = parts[0];
        for (std::size_t i = 1; i < parts.size(); ++i) path += "." + parts[i];
        throw ParseError::syntax("Unresolved integer default: " + path);
    }

    // Parses one element, key or value of a container default. One that takes
    // no token (a struct-typed element at a closing token) fails the default;
    // otherwise the enclosing loop would never advance.
    ThriftValue parse_nested_default(const ThriftType& type, int level) {
        const std::size_t before = pos;
        ThriftValue v = parse_default_value(type, level + 1);
        if (pos == before) throw ParseError::syntax("Empty element in default value");
        return v;
    }

    std::vector<ThriftValue> parse_default_sequence(const ThriftType& element, int level) {
        expect_token(TokenKind::LeftBracket);
        std::vector<ThriftValue> items;
        while (peek() && !next_is(TokenKind::RightBracket)) {
            items.push_back(parse_nested_default(element, level));
            optional_separator();
        }
        expect_token(TokenKind::RightBracket);
        return items;
    }

    ThriftValue parse_default_value(const ThriftType& type, int level = 0) {
        if (level > kMaxNesting) throw nesting_too_deep();
        switch (type.kind) {
            case Kind::Bool: {
                const Token& t = consume_token();
                if (t.kind == TokenKind::Number) return ThriftValue{t.number != 0};
                if ((t.kind == TokenKind::Keyword || t.kind == TokenKind::Identifier) &&
                    (t.text == "true" || t.text == "false")) {
                    return ThriftValue{t.text == "true"};
                }
                throw ParseError::unexpected(t);
            }
            // Narrowing keeps the low bits, without a range check.
            case Kind::Byte:
                return ThriftValue{static_cast<std::int8_t>(static_cast<std::uint8_t>(parse_i64_default()))};
            case Kind::I16:
                return ThriftValue{static_cast<std::int16_t>(static_cast<std::uint16_t>(parse_i64_default()))};
            case Kind::I32:
                return ThriftValue{static_cast<std::int32_t>(static_cast<std::uint32_t>(parse_i64_default()))};
            case Kind::I64: return ThriftValue{parse_i64_default()};
            case Kind::Double: return ThriftValue{static_cast<double>(parse_i64_default())};
            case Kind::String: {
                const Token& t = consume_token();
                if (t.kind != TokenKind::String && t.kind != TokenKind::Identifier && t.kind != TokenKind::Keyword) {
                    throw ParseError::unexpected(t);
                }
                return ThriftValue{t.text};
            }
            case Kind::Binary: {
                const Token& t = consume_token();
                if (t.kind != TokenKind::String) throw ParseError::unexpected(t);
                return ThriftValue{ast::BinaryValue{t.text}};
            }
            case Kind::List: return ThriftValue{ast::ListValue{parse_default_sequence(type.element(), level)}};
            case Kind::Set: return ThriftValue{ast::SetValue{parse_default_sequence(type.element(), level)}};
            case Kind::Map: {
                expect_token(TokenKind::LeftBrace);
                ast::MapValue map;
                while (peek() && !next_is(TokenKind::RightBrace)) {
                    ThriftValue key = parse_nested_default(type.key(), level);
                    expect_token(TokenKind::Colon);
                    ThriftValue value = parse_nested_default(type.value(), level);
                    map.entries.emplace_back(std::move(key), std::move(value));
                    optional_separator();
                }
                expect_token(TokenKind::RightBrace);
                return ThriftValue{std::move(map)};
            }
            case Kind::Struct:
                // Struct literals are not modelled: only the type name is kept.
                skip_default_value();
                return ThriftValue{ast::StructValue{type.name, {}}};
        }
        throw ParseError::syntax("Unsupported default value");
    }

    // Reads a default after `=`; a value that cannot be represented is
    // dropped together with the rest of its tokens.
    std::optional<ThriftValue> parse_default_or_skip(const ThriftType& type) {
        try {
            return parse_default_value(type);
        } catch (const ParseError&) {
            skip_default_value();
            return std::nullopt;
        }
    }

    void skip_default_value() {
        const Token* t = peek();
        if (!t) return;
        if (t->kind == TokenKind::Comma || t->kind == TokenKind::Semicolon || t->kind == TokenKind::RightParen ||
            t->kind == TokenKind::RightBrace) {
            return;
        }
        int parens = 0, braces = 0, brackets = 0;
        auto open = [&](TokenKind kind, bool nested) {
            int* counter = kind == TokenKind::LeftParen ? &parens
                         : kind == TokenKind::LeftBrace ? &braces
                         : kind == TokenKind::LeftBracket ? &brackets
                                                          : nullptr;
            if (counter) *counter = nested ? *counter + 1 : 1;
        };
        open(consume_token().kind, false);
        while ((t = peek())) {
            const TokenKind kind = t->kind;
            if (parens > 0 || braces > 0 || brackets > 0) {
                open(kind, true);
                if (kind == TokenKind::RightParen && parens > 0) --parens;
                if (kind == TokenKind::RightBrace && braces > 0) --braces;
                if (kind == TokenKind::RightBracket && brackets > 0) --brackets;
            } else {
                if (kind == TokenKind::Keyword || kind == TokenKind::Number || kind == TokenKind::Comma ||
                    kind == TokenKind::Semicolon || kind == TokenKind::RightParen || kind == TokenKind::RightBrace) {
                    return;
                }
                open(kind, false);
            }
            ++pos;
        }
    }

    // ----------------------------------------------------------- inheritance

    std::optional<std::string> consume_optional_extends() {
        if (!next_is_keyword("extends")) return std::nullopt;
        ++pos;
        const Token& t = consume_token();
        if (t.kind != TokenKind::Keyword && t.kind != TokenKind::Identifier) throw ParseError::unexpected(t);
        return finish_identifier_path(t.text);
    }

    std::vector<ast::ThriftField> merge_parent_fields(const std::optional<std::string>& parent,
                                                      std::vector<ast::ThriftField> own) {
        if (!parent) return own;
        auto it = parsed_structs.find(*parent);
        if (it == parsed_structs.end()) throw ParseError::syntax("Unknown parent struct: " + *parent);
        std::vector<ast::ThriftField> result = it->second.fields;
        std::set<std::int16_t> ids;
        std::set<std::string> names;
        for (const auto& f : result) {
            ids.insert(f.id);
            names.insert(f.name);
        }
        for (auto& f : own) {
            if (ids.contains(f.id) || names.contains(f.name)) {
                throw ParseError::syntax("Duplicate inherited field '" + f.name + "' in extends " + *parent);
            }
            ids.insert(f.id);
            names.insert(f.name);
            result.push_back(std::move(f));
        }
        return result;
    }

    std::vector<ast::ThriftMethod> merge_parent_methods(const std::optional<std::string>& parent,
                                                        std::vector<ast::ThriftMethod> own) {
        if (!parent) return own;
        auto it = parsed_services.find(*parent);
        if (it == parsed_services.end()) throw ParseError::syntax("Unknown parent service: " + *parent);
        std::vector<ast::ThriftMethod> result = it->second.methods;
        std::set<std::string> names;
        for (const auto& m : result) names.insert(m.name);
        for (auto& m : own) {
            if (names.contains(m.name)) {
                throw ParseError::syntax("Duplicate inherited method '" + m.name + "' in extends " + *parent);
            }
            names.insert(m.name);
            result.push_back(std::move(m));
        }
        return result;
    }

    // ---------------------------------------------------------- declarations

    ast::ThriftField parse_field() {
        ast::ThriftField field;
        field.id = static_cast<std::int16_t>(static_cast<std::uint16_t>(expect_token(TokenKind::Number).number));
        expect_token(TokenKind::Colon);
        if (!peek()) throw ParseError::end_of_input();
        if (next_is_keyword("required")) {
            ++pos;
            field.required = true;
        } else if (next_is_keyword("optional")) {
            ++pos;
        }
        field.field_type = parse_type();
        skip_annotations();
        field.name = expect_name();
        if (next_is(TokenKind::Equal)) {
            ++pos;
            field.default_value = parse_default_or_skip(field.field_type);
        }
        skip_annotations();
        optional_separator();
        return field;
    }

    ast::ThriftStruct parse_struct() {
        ++pos;  // struct / union / exception
        ast::ThriftStruct s;
        s.name = expect_name();
        const auto parent = consume_optional_extends();
        skip_annotations();
        expect_token(TokenKind::LeftBrace);
        std::vector<ast::ThriftField> fields;
        while (peek() && !next_is(TokenKind::RightBrace)) fields.push_back(parse_field());
        expect_token(TokenKind::RightBrace);
        skip_annotations();
        s.fields = merge_parent_fields(parent, std::move(fields));
        return s;
    }

    std::vector<ast::ThriftField> parse_field_list() {
        expect_token(TokenKind::LeftParen);
        std::vector<ast::ThriftField> fields;
        while (peek() && !next_is(TokenKind::RightParen)) {
            fields.push_back(parse_field());
            optional_token(TokenKind::Comma);
        }
        expect_token(TokenKind::RightParen);
        return fields;
    }

    ast::ThriftService parse_service() {
        ++pos;  // service
        ast::ThriftService service;
        service.name = expect_name();
        const auto parent = consume_optional_extends();
        skip_annotations();
        expect_token(TokenKind::LeftBrace);
        std::vector<ast::ThriftMethod> methods;
        while (peek() && !next_is(TokenKind::RightBrace)) {
            ast::ThriftMethod method;
            if (next_is_keyword("oneway")) {
                ++pos;
                method.oneway = true;
            }
            method.return_type = parse_type();
            method.name = expect_name();
            method.arguments = parse_field_list();
            if (next_is_keyword("throws")) {
                ++pos;
                method.exceptions = parse_field_list();
            }
            skip_annotations();
            optional_separator();
            methods.push_back(std::move(method));
        }
        expect_token(TokenKind::RightBrace);
        skip_annotations();
        service.methods = merge_parent_methods(parent, std::move(methods));
        return service;
    }

    void parse_namespace() {
        ++pos;  // namespace
        const Token& scope_token = consume_token();
        std::string scope;
        if (scope_token.kind == TokenKind::Keyword || scope_token.kind == TokenKind::Identifier) {
            scope = scope_token.text;
        } else if (scope_token.kind == TokenKind::Asterisk) {
            scope = "*";
        } else {
            throw ParseError::unexpected(scope_token);
        }
        const Token& first = consume_token();
        if (first.kind != TokenKind::Keyword && first.kind != TokenKind::Identifier &&
            first.kind != TokenKind::String) {
            throw ParseError::unexpected(first);
        }
        std::string name = finish_qualified_identifier(first.text);
        optional_token(TokenKind::Semicolon);
        doc.namespaces[std::move(scope)] = std::move(name);
    }

    void parse_include() {
        ++pos;  // include
        std::string path = expect_token(TokenKind::String).text;
        optional_token(TokenKind::Semicolon);
        doc.includes.push_back(std::move(path));
    }

    void parse_typedef() {
        ++pos;  // typedef
        int depth = 0;
        ThriftType type = parse_type(0, depth);
        std::string alias = expect_name();
        optional_token(TokenKind::Semicolon);
        typedefs[std::move(alias)] = Alias{std::move(type), depth};
    }

    void parse_const() {
        ++pos;  // const
        const ThriftType type = parse_type();
        expect_name();
        if (next_is(TokenKind::Equal)) {
            ++pos;
            parse_default_or_skip(type);  // constants are not kept
        }
        optional_token(TokenKind::Semicolon);
    }

    void parse_enum() {
        ++pos;  // enum
        ast::ThriftEnum e;
        e.name = expect_name();
        expect_token(TokenKind::LeftBrace);
        // Unsigned so that counting past the top wraps instead of overflowing.
        std::uint32_t next_value = 0;
        while (peek() && !next_is(TokenKind::RightBrace)) {
            const Token& t = consume_token();
            if (t.kind == TokenKind::Comma || t.kind == TokenKind::Semicolon) continue;
            if (t.kind != TokenKind::Identifier) throw ParseError::unexpected(t);
            if (next_is(TokenKind::Equal)) {
                ++pos;
                next_value = static_cast<std::uint32_t>(expect_token(TokenKind::Number).number);
            }
            e.values[t.text] = static_cast<std::int32_t>(next_value);
            optional_separator();
            ++next_value;
        }
        expect_token(TokenKind::RightBrace);
        skip_annotations();
        optional_token(TokenKind::Semicolon);

        typedefs[e.name] = Alias{ThriftType::base(Kind::I32), 0};
        enum_values[e.name] = e.values;
        std::string name = e.name;
        doc.enums[std::move(name)] = std::move(e);
    }

    ast::ThriftDocument parse_document() {
        while (const Token* t = peek()) {
            if (t->kind != TokenKind::Keyword) {
                ++pos;
                continue;
            }
            const std::string& word = t->text;
            if (word == "namespace") {
                parse_namespace();
            } else if (word == "include") {
                parse_include();
            } else if (word == "typedef") {
                parse_typedef();
            } else if (word == "const") {
                parse_const();
            } else if (word == "enum") {
                parse_enum();
            } else if (word == "struct" || word == "union" || word == "exception") {
                ast::ThriftStruct s = parse_struct();
                std::string name = s.name;
                parsed_structs[std::move(name)] = std::move(s);
            } else if (word == "service") {
                ast::ThriftService s = parse_service();
                std::string name = s.name;
                parsed_services[std::move(name)] = std::move(s);
            } else {
                ++pos;  // extends, throws, oneway, required, optional
            }
        }
        return std::move(doc);
    }
};

}  // namespace

ast::ThriftDocument parse_document(std::string_view text) {
    const std::vector<Token> tokens = tokenize(text);
    Parser parser(tokens);
    return parser.parse_document();
}

}  // namespace vantrel::idl
