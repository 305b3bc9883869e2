// UTF-8 validation with the wire's exact messages, and standard Base64.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "protocol/types.hpp"

namespace vantrel::protocol {

// Where validation stopped: `valid_up_to` bytes are valid UTF-8; `error_len`
// is the length of the invalid sequence there, 0 when the input ends inside
// a sequence.
struct Utf8Fault {
    std::size_t valid_up_to = 0;
    std::uint8_t error_len = 0;
};

// Scans from `from` (a sequence boundary); true when the rest is valid.
bool utf8_scan(std::string_view s, std::size_t from, Utf8Fault& fault);
// "invalid utf-8 sequence of {} bytes from index {}" or
// "incomplete utf-8 byte sequence from index {}".
std::string utf8_message(const Utf8Fault& fault);
[[noreturn, gnu::cold]] void throw_utf8(const Utf8Fault& fault);

// Length of the leading run of ASCII, checked eight bytes at a time.
inline std::size_t ascii_prefix(const char* p, std::size_t n) {
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t w;
        std::memcpy(&w, p + i, 8);
        if (w & 0x8080808080808080ull) break;
    }
    while (i < n && static_cast<unsigned char>(p[i]) < 0x80) ++i;
    return i;
}

inline bool is_valid_utf8(std::string_view s) {
    std::size_t i = ascii_prefix(s.data(), s.size());
    if (i == s.size()) return true;
    Utf8Fault fault;
    return utf8_scan(s, i, fault);
}

// Throws ProtocolError (Io, InvalidData) carrying the validation message.
inline void validate_utf8(std::string_view s) {
    std::size_t i = ascii_prefix(s.data(), s.size());
    if (i == s.size()) return;
    Utf8Fault fault;
    if (!utf8_scan(s, i, fault)) throw_utf8(fault);
}

inline std::string_view validated_utf8(std::string_view s) {
    validate_utf8(s);
    return s;
}

// Standard alphabet with "=" padding.
std::string base64_encode(std::string_view bytes);
void base64_encode_to(std::string_view bytes, std::string& out);
// Canonical decoding: padding required, no stray symbols, zero trailing bits.
// On failure returns false with a short description in `error`.
bool base64_decode(std::string_view text, std::string& out, std::string& error);

}  // namespace vantrel::protocol
