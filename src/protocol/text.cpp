#include "protocol/text.hpp"

#include <array>

namespace vantrel::protocol {

namespace {

// Width of the sequence a lead byte starts; 0 for bytes that start none.
constexpr std::array<std::uint8_t, 256> utf8_width = [] {
    std::array<std::uint8_t, 256> t{};
    for (int b = 0; b < 0x80; ++b) t[b] = 1;
    for (int b = 0xC2; b < 0xE0; ++b) t[b] = 2;
    for (int b = 0xE0; b < 0xF0; ++b) t[b] = 3;
    for (int b = 0xF0; b < 0xF5; ++b) t[b] = 4;
    return t;
}();

inline bool continuation(unsigned char b) { return (b & 0xC0) == 0x80; }

}  // namespace

bool utf8_scan(std::string_view s, std::size_t from, Utf8Fault& fault) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const std::size_t n = s.size();
    std::size_t i = from;
    auto fail = [&](std::uint8_t len) {
        fault = {i, len};
        return false;
    };
    while (i < n) {
        unsigned char b = p[i];
        if (b < 0x80) {
            i += ascii_prefix(s.data() + i, n - i);
            continue;
        }
        switch (utf8_width[b]) {
        case 2:
            if (i + 1 >= n) return fail(0);
            if (!continuation(p[i + 1])) return fail(1);
            i += 2;
            break;
        case 3: {
            if (i + 1 >= n) return fail(0);
            unsigned char c = p[i + 1];
            bool ok = b == 0xE0 ? (c >= 0xA0 && c <= 0xBF) : b == 0xED ? (c >= 0x80 && c <= 0x9F) : continuation(c);
            if (!ok) return fail(1);
            if (i + 2 >= n) return fail(0);
            if (!continuation(p[i + 2])) return fail(2);
            i += 3;
            break;
        }
        case 4: {
            if (i + 1 >= n) return fail(0);
            unsigned char c = p[i + 1];
            bool ok = b == 0xF0 ? (c >= 0x90 && c <= 0xBF) : b == 0xF4 ? (c >= 0x80 && c <= 0x8F) : continuation(c);
            if (!ok) return fail(1);
            if (i + 2 >= n) return fail(0);
            if (!continuation(p[i + 2])) return fail(2);
            if (i + 3 >= n) return fail(0);
            if (!continuation(p[i + 3])) return fail(3);
            i += 4;
            break;
        }
        default: return fail(1);
        }
    }
    return true;
}

std::string utf8_message(const Utf8Fault& fault) {
    if (fault.error_len == 0) return "incomplete utf-8 byte sequence from index " + std::to_string(fault.valid_up_to);
    return "invalid utf-8 sequence of " + std::to_string(fault.error_len) + " bytes from index " +
           std::to_string(fault.valid_up_to);
}

void throw_utf8(const Utf8Fault& fault) { throw_invalid_data(utf8_message(fault)); }

// ---------------------------------------------------------------- base64

namespace {

constexpr char b64_alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::uint8_t b64_invalid = 0xFF;
constexpr std::array<std::uint8_t, 256> b64_values = [] {
    std::array<std::uint8_t, 256> t{};
    for (auto& v : t) v = b64_invalid;
    for (int i = 0; i < 64; ++i) t[static_cast<unsigned char>(b64_alphabet[i])] = static_cast<std::uint8_t>(i);
    return t;
}();

std::string invalid_symbol(const char* what, unsigned char symbol, std::size_t offset) {
    return std::string(what) + " " + std::to_string(symbol) + ", offset " + std::to_string(offset) + ".";
}

}  // namespace

void base64_encode_to(std::string_view bytes, std::string& out) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t n = bytes.size();
    std::size_t at = out.size();
    out.resize(at + (n + 2) / 3 * 4);
    char* o = out.data() + at;
    std::size_t i = 0;
    for (; i + 3 <= n; i += 3) {
        std::uint32_t w = std::uint32_t(p[i]) << 16 | std::uint32_t(p[i + 1]) << 8 | p[i + 2];
        *o++ = b64_alphabet[w >> 18];
        *o++ = b64_alphabet[(w >> 12) & 63];
        *o++ = b64_alphabet[(w >> 6) & 63];
        *o++ = b64_alphabet[w & 63];
    }
    if (n - i == 1) {
        std::uint32_t w = std::uint32_t(p[i]) << 16;
        *o++ = b64_alphabet[w >> 18];
        *o++ = b64_alphabet[(w >> 12) & 63];
        *o++ = '=';
        *o++ = '=';
    } else if (n - i == 2) {
        std::uint32_t w = std::uint32_t(p[i]) << 16 | std::uint32_t(p[i + 1]) << 8;
        *o++ = b64_alphabet[w >> 18];
        *o++ = b64_alphabet[(w >> 12) & 63];
        *o++ = b64_alphabet[(w >> 6) & 63];
        *o++ = '=';
    }
}

std::string base64_encode(std::string_view bytes) {
    std::string out;
    base64_encode_to(bytes, out);
    return out;
}

bool base64_decode(std::string_view text, std::string& out, std::string& error) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    out.clear();
    if (n % 4 != 0) {
        error = "Invalid input length";
        return false;
    }
    if (n == 0) return true;
    std::size_t pad = p[n - 1] == '=' ? (p[n - 2] == '=' ? 2 : 1) : 0;
    std::size_t body = n - pad;  // symbols that carry data
    out.resize(n / 4 * 3 - pad);
    char* o = out.data();
    std::size_t i = 0;
    auto bad = [&](std::size_t at) {
        if (p[at] == '=')
            error = "Invalid padding";
        else
            error = invalid_symbol("Invalid symbol", p[at], at);
        out.clear();
        return false;
    };
    for (; i + 4 <= body; i += 4) {
        std::uint8_t a = b64_values[p[i]], b = b64_values[p[i + 1]], c = b64_values[p[i + 2]], d = b64_values[p[i + 3]];
        if ((a | b | c | d) & 0xC0) {  // only the invalid marker has these bits
            for (std::size_t k = i;; ++k)
                if (b64_values[p[k]] == b64_invalid) return bad(k);
        }
        std::uint32_t w = std::uint32_t(a) << 18 | std::uint32_t(b) << 12 | std::uint32_t(c) << 6 | d;
        *o++ = static_cast<char>(w >> 16);
        *o++ = static_cast<char>(w >> 8);
        *o++ = static_cast<char>(w);
    }
    if (pad == 0) return true;
    // The final group: 4 - pad symbols, then the padding.
    std::uint32_t w = 0;
    for (std::size_t k = 0; k < 4 - pad; ++k) {
        std::uint8_t v = b64_values[p[i + k]];
        if (v == b64_invalid) return bad(i + k);
        w |= std::uint32_t(v) << (18 - 6 * k);
    }
    // A canonical encoding leaves the bits below the last full byte zero.
    std::uint32_t spare = pad == 2 ? (w & 0xFFFF) : (w & 0xFF);
    if (spare) {
        std::size_t last = i + 3 - pad;
        error = invalid_symbol("Invalid last symbol", p[last], last);
        out.clear();
        return false;
    }
    *o++ = static_cast<char>(w >> 16);
    if (pad == 1) *o++ = static_cast<char>(w >> 8);
    return true;
}

}  // namespace vantrel::protocol
