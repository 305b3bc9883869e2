#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "lexer.hpp"

#include <array>
#include <charconv>
#include <cstdint>
#include <optional>
#include <string>
#include <system_error>

namespace vantrel::idl {

namespace {

using ast::ParseError;
using ast::Token;
using ast::TokenKind;

constexpr std::array<std::string_view, 14> kKeywords = {
    "namespace", "include", "typedef", "const",   "enum",   "struct",   "union",
    "exception", "service", "extends", "throws",  "oneway", "required", "optional",
};

// How much of the unmatched remainder an error message shows.
constexpr std::size_t kRemainderShown = 40;

bool is_ascii_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_ascii_digit(char c) { return c >= '0' && c <= '9'; }
bool is_continuation_byte(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

std::size_t utf8_length(char lead) {
    const auto b = static_cast<unsigned char>(lead);
    return b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
}

// Decodes the code point starting at `i`; `len` receives its byte length.
char32_t decode_at(std::string_view s, std::size_t i, std::size_t& len) {
    len = utf8_length(s[i]);
    if (i + len > s.size()) len = s.size() - i;  // defensive: truncated input
    const auto b0 = static_cast<unsigned char>(s[i]);
    char32_t cp = len == 1 ? b0 : len == 2 ? (b0 & 0x1F) : len == 3 ? (b0 & 0x0F) : (b0 & 0x07);
    for (std::size_t k = 1; k < len; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    return cp;
}

bool is_unicode_whitespace(char32_t cp) {
    return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
           (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F || cp == 0x205F ||
           cp == 0x3000;
}

bool is_word_continuation(char32_t cp) {
    if (cp == U'_') return true;
    const auto ch = static_cast<Py_UCS4>(cp);
    return Py_UNICODE_ISALPHA(ch) || Py_UNICODE_ISNUMERIC(ch);
}

// Removes whitespace runs and comments from the front. An unterminated block
// comment is left in place: it is not ignorable text.
std::string_view skip_ignorable(std::string_view s) {
    for (;;) {
        if (s.empty()) return s;
        const char c = s.front();
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            s.remove_prefix(1);
        } else if (c == '#' || s.starts_with("//")) {
            const std::size_t lf = s.find('\n');
            s.remove_prefix(lf == std::string_view::npos ? s.size() : lf);
        } else if (s.starts_with("/*")) {
            const std::size_t close = s.find("*/", 2);
            if (close == std::string_view::npos) return s;
            s.remove_prefix(close + 2);
        } else {
            return s;
        }
    }
}

std::optional<TokenKind> punctuation(char c) {
    switch (c) {
        case ',': return TokenKind::Comma;
        case '(': return TokenKind::LeftParen;
        case ')': return TokenKind::RightParen;
        case ':': return TokenKind::Colon;
        case ';': return TokenKind::Semicolon;
        case '<': return TokenKind::LessThan;
        case '>': return TokenKind::GreaterThan;
        case '[': return TokenKind::LeftBracket;
        case ']': return TokenKind::RightBracket;
        case '{': return TokenKind::LeftBrace;
        case '}': return TokenKind::RightBrace;
        case '=': return TokenKind::Equal;
        case '.': return TokenKind::Dot;
        case '*': return TokenKind::Asterisk;
        default: return std::nullopt;
    }
}

// Reads one token from the front of `s` (non-empty, ignorable text already
// removed). Returns false when no token form matches.
bool read_token(std::string_view& s, std::vector<Token>& out) {
    const char c = s.front();

    if (c == '"') {
        const std::size_t close = s.find('"', 1);
        if (close == std::string_view::npos) return false;
        out.push_back(Token{TokenKind::String, std::string(s.substr(1, close - 1)), 0});
        s.remove_prefix(close + 1);
        return true;
    }

    if (is_ascii_digit(c) || (c == '-' && s.size() > 1 && is_ascii_digit(s[1]))) {
        std::size_t end = 1;
        while (end < s.size() && is_ascii_digit(s[end])) ++end;
        const std::string_view literal = s.substr(0, end);
        std::int64_t value = 0;
        const auto res = std::from_chars(literal.data(), literal.data() + literal.size(), value);
        if (res.ec != std::errc() || res.ptr != literal.data() + literal.size()) {
            throw ParseError::syntax("Number out of range: " + std::string(literal));
        }
        out.push_back(Token{TokenKind::Number, {}, value});
        s.remove_prefix(end);
        return true;
    }

    if (c == '_' || is_ascii_letter(c)) {
        std::size_t end = 1;
        while (end < s.size()) {
            std::size_t len = 0;
            const char32_t cp = decode_at(s, end, len);
            if (!is_word_continuation(cp)) break;
            end += len;
        }
        std::string word(s.substr(0, end));
        bool keyword = false;
        for (std::string_view k : kKeywords) keyword = keyword || word == k;
        out.push_back(Token{keyword ? TokenKind::Keyword : TokenKind::Identifier, std::move(word), 0});
        s.remove_prefix(end);
        return true;
    }

    if (const auto kind = punctuation(c)) {
        out.push_back(Token{*kind, {}, 0});
        s.remove_prefix(1);
        return true;
    }
    return false;
}

std::string_view strip_unicode_whitespace(std::string_view s) {
    while (!s.empty()) {
        std::size_t len = 0;
        if (!is_unicode_whitespace(decode_at(s, 0, len))) break;
        s.remove_prefix(len);
    }
    while (!s.empty()) {
        std::size_t start = s.size() - 1;
        while (start > 0 && is_continuation_byte(s[start])) --start;
        std::size_t len = 0;
        if (!is_unicode_whitespace(decode_at(s, start, len))) break;
        s.remove_suffix(s.size() - start);
    }
    return s;
}

}  // namespace

std::vector<Token> tokenize(std::string_view text) {
    std::vector<Token> tokens;
    std::string_view rest = text;
    for (;;) {
        const std::string_view step_start = rest;
        rest = skip_ignorable(rest);
        if (rest.empty()) return tokens;
        if (!read_token(rest, tokens)) {
            rest = step_start;
            break;
        }
    }

    std::string_view left = strip_unicode_whitespace(skip_ignorable(rest));
    if (left.empty()) return tokens;
    if (left.size() > kRemainderShown) {
        // Never split a character: cut before the one that straddles the limit.
        std::size_t cut = kRemainderShown;
        while (cut > 0 && is_continuation_byte(left[cut])) --cut;
        left = left.substr(0, cut);
    }
    throw ParseError::syntax("Unexpected input: " + ast::quote(left));
}

}  // namespace vantrel::idl
