// What the byte-oriented readers share: a read position over a borrowed
// buffer, and the skipping of a struct's fields.
#pragma once

#include <cstdint>
#include <string_view>

#include "protocol/types.hpp"

namespace vantrel::protocol {

class ByteCursor {
  public:
    ByteCursor(const std::uint8_t* data, std::size_t size) noexcept : begin_(data), cur_(data), end_(data + size) {}

    std::size_t remaining() const { return static_cast<std::size_t>(end_ - cur_); }
    std::size_t position() const { return static_cast<std::size_t>(cur_ - begin_); }

  protected:
    // `n` bytes, or the end-of-input error with the position at the end.
    const std::uint8_t* take(std::size_t n) {
        if (static_cast<std::size_t>(end_ - cur_) < n) [[unlikely]]
            short_input();
        const std::uint8_t* at = cur_;
        cur_ += n;
        return at;
    }
    [[noreturn, gnu::cold, gnu::noinline]] void short_input() {
        cur_ = end_;
        throw_eof();
    }
    // The bytes of a string or binary whose length was just read; a view into the input.
    std::string_view take_bytes(std::int32_t n) {
        if (n < 0) throw_negative_length(n);
        return {reinterpret_cast<const char*>(take(static_cast<std::size_t>(n))), static_cast<std::size_t>(n)};
    }

    const std::uint8_t* begin_;
    const std::uint8_t* cur_;
    const std::uint8_t* end_;
};

// Skips the fields of a struct through its STOP; `depth` counts what is
// already open around the struct.
template <class R>
void skip_struct(R& r, int depth) {
    if (depth >= max_depth) throw_depth();
    r.read_struct_begin();
    for (;;) {
        FieldHeader f = r.read_field_begin();
        if (f.type == TType::Stop) break;
        r.skip(f.type, depth + 1);
        r.read_field_end();
    }
    r.read_struct_end();
}

}  // namespace vantrel::protocol
