// Strict Thrift Binary: big-endian fixed widths, i32 lengths and counts.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "protocol/cursor.hpp"
#include "protocol/text.hpp"
#include "protocol/types.hpp"

namespace vantrel::protocol {

class BinaryReader : public ByteCursor {
  public:
    // The message body is an ordinary struct: callers bracket it themselves.
    static constexpr bool message_opens_body = false;

    using ByteCursor::ByteCursor;

    MessageHeader read_message_begin() {
        std::uint32_t word = load_be32(take(4));
        if ((word >> 16) != 0x8001u) bad_version(word);
        MessageHeader h;
        h.type = static_cast<std::uint8_t>(word);  // the third byte is ignored
        h.name = std::string(read_string());
        h.seqid = read_i32();
        return h;
    }
    void read_message_end() {}
    void read_struct_begin() {}
    void read_struct_end() {}

    FieldHeader read_field_begin() {
        std::uint8_t t = *take(1);
        if (t == 0) return {TType::Stop, 0};
        if (!is_field_type(t)) throw_invalid_type(t);
        return {static_cast<TType>(t), static_cast<std::int16_t>(load_be16(take(2)))};
    }
    void read_field_end() {}

    bool read_bool() { return *take(1) != 0; }
    std::int8_t read_byte() { return static_cast<std::int8_t>(*take(1)); }
    std::int16_t read_i16() { return static_cast<std::int16_t>(load_be16(take(2))); }
    std::int32_t read_i32() { return static_cast<std::int32_t>(load_be32(take(4))); }
    std::int64_t read_i64() { return static_cast<std::int64_t>(load_be64(take(8))); }
    double read_double() { return std::bit_cast<double>(load_be64(take(8))); }

    // Views into the input buffer.
    std::string_view read_string() { return validated_utf8(read_binary()); }
    std::string_view read_binary() { return take_bytes(read_i32()); }

    ListHeader read_list_begin() {
        std::uint8_t t = *take(1);
        if (!is_known_type(t)) throw_invalid_field_type();
        return {static_cast<TType>(t), read_i32()};
    }
    void read_list_end() {}
    ListHeader read_set_begin() { return read_list_begin(); }
    void read_set_end() {}

    MapHeader read_map_begin() {
        std::uint8_t k = *take(1);
        if (!is_known_type(k)) throw_invalid_field_type();
        std::uint8_t v = *take(1);
        if (!is_known_type(v)) throw_invalid_field_type();
        return {static_cast<TType>(k), static_cast<TType>(v), read_i32()};
    }
    void read_map_end() {}

    // Consumes one value of the wire type; `depth` counts the structs and
    // containers already open around it.
    void skip(TType type, int depth = 0) {
        switch (type) {
        case TType::String: read_string(); return;
        case TType::Struct: skip_struct(*this, depth); return;
        case TType::List:
        case TType::Set: {
            if (depth >= max_depth) throw_depth();
            ListHeader h = read_list_begin();
            if (h.count <= 0) return;
            if (std::size_t w = width(h.element)) {
                take(w * static_cast<std::size_t>(h.count));
            } else if (h.element != TType::Stop && h.element != TType::Void) {
                for (std::int32_t i = 0; i < h.count; ++i) skip(h.element, depth + 1);
            }
            return;
        }
        case TType::Map: {
            if (depth >= max_depth) throw_depth();
            MapHeader h = read_map_begin();
            if (h.count <= 0) return;
            std::size_t wk = width(h.key), wv = width(h.value);
            bool empty_k = h.key == TType::Stop || h.key == TType::Void;
            bool empty_v = h.value == TType::Stop || h.value == TType::Void;
            if ((wk || empty_k) && (wv || empty_v)) {
                take((wk + wv) * static_cast<std::size_t>(h.count));
            } else {
                for (std::int32_t i = 0; i < h.count; ++i) {
                    skip(h.key, depth + 1);
                    skip(h.value, depth + 1);
                }
            }
            return;
        }
        default:
            if (std::size_t w = width(type)) take(w);
            return;
        }
    }

  private:
    // Fixed encoded width of a scalar type; 0 for the rest.
    static std::size_t width(TType t) {
        switch (t) {
        case TType::Bool:
        case TType::Byte: return 1;
        case TType::I16: return 2;
        case TType::I32: return 4;
        case TType::I64:
        case TType::Double: return 8;
        default: return 0;
        }
    }

    [[noreturn, gnu::cold, gnu::noinline]] static void bad_version(std::uint32_t word) {
        char text[32];
        std::snprintf(text, sizeof text, "Bad version: 0x%08x", word);
        throw_invalid_data(text);
    }
};

class BinaryWriter {
  public:
    static constexpr bool message_closes_body = false;

    explicit BinaryWriter(ByteBuffer& out) noexcept : out_(out) {}

    void write_message_begin(std::string_view name, std::uint8_t type, std::int32_t seqid) {
        std::int32_t n = checked_length(name.size());
        std::uint8_t* p = out_.extend(12 + name.size());
        store_be32(p, 0x80010000u | type);
        store_be32(p + 4, static_cast<std::uint32_t>(n));
        if (n) std::memcpy(p + 8, name.data(), name.size());
        store_be32(p + 8 + name.size(), static_cast<std::uint32_t>(seqid));
    }
    void write_message_end() {}
    void write_struct_begin() {}
    void write_struct_end() {}

    void write_field_begin(TType type, std::int16_t id) {
        std::uint8_t* p = out_.extend(3);
        p[0] = static_cast<std::uint8_t>(type);
        store_be16(p + 1, static_cast<std::uint16_t>(id));
    }
    void write_field_end() {}
    void write_field_stop() { out_.push(0); }

    void write_bool(bool v) { out_.push(v ? 1 : 0); }
    void write_byte(std::int8_t v) { out_.push(static_cast<std::uint8_t>(v)); }
    void write_i16(std::int16_t v) { store_be16(out_.extend(2), static_cast<std::uint16_t>(v)); }
    void write_i32(std::int32_t v) { store_be32(out_.extend(4), static_cast<std::uint32_t>(v)); }
    void write_i64(std::int64_t v) { store_be64(out_.extend(8), static_cast<std::uint64_t>(v)); }
    void write_double(double v) { store_be64(out_.extend(8), std::bit_cast<std::uint64_t>(v)); }

    void write_string(std::string_view s) { write_binary(s); }
    void write_binary(std::string_view s) {
        std::int32_t n = checked_length(s.size());
        std::uint8_t* p = out_.extend(4 + s.size());
        store_be32(p, static_cast<std::uint32_t>(n));
        if (n) std::memcpy(p + 4, s.data(), s.size());
    }

    void write_list_begin(TType element, std::size_t count) {
        std::int32_t n = checked_length(count);
        std::uint8_t* p = out_.extend(5);
        p[0] = static_cast<std::uint8_t>(element);
        store_be32(p + 1, static_cast<std::uint32_t>(n));
    }
    void write_list_end() {}
    void write_set_begin(TType element, std::size_t count) { write_list_begin(element, count); }
    void write_set_end() {}

    void write_map_begin(TType key, TType value, std::size_t count) {
        std::int32_t n = checked_length(count);
        std::uint8_t* p = out_.extend(6);
        p[0] = static_cast<std::uint8_t>(key);
        p[1] = static_cast<std::uint8_t>(value);
        store_be32(p + 2, static_cast<std::uint32_t>(n));
    }
    void write_map_end() {}

  private:
    ByteBuffer& out_;
};

}  // namespace vantrel::protocol
