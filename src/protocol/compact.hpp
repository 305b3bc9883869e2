// The compact encoding: type nibbles, field-id deltas, folded booleans,
// zigzag varints for every integer, lengths and counts, big-endian doubles.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "protocol/cursor.hpp"
#include "protocol/text.hpp"
#include "protocol/types.hpp"

namespace vantrel::protocol {

namespace compact {

constexpr std::uint8_t protocol_id = 0x82;
constexpr std::uint8_t version = 1;

// One entry for the initial 0, one for the top-level struct's own, and one
// per nested struct within the depth limit.
constexpr int id_stack_size = max_depth + 2;

// Type code of each nibble; 13 to 15 are refused before the lookup.
constexpr TType nibble_type[16] = {TType::Stop,  TType::Bool,   TType::Bool, TType::Byte, TType::I16, TType::I32,
                                   TType::I64,   TType::Double, TType::String, TType::List, TType::Set, TType::Map,
                                   TType::Struct, TType::Stop,  TType::Stop, TType::Stop};
// Nibble of each type code (BOOL as 1, as collection headers want it).
constexpr std::uint8_t type_nibble[16] = {0, 0, 1, 3, 7, 0, 4, 0, 5, 0, 6, 8, 12, 11, 10, 9};

inline std::uint8_t nibble(TType t) { return type_nibble[static_cast<std::uint8_t>(t) & 15]; }

inline std::uint32_t zigzag32(std::int32_t v) {
    return (static_cast<std::uint32_t>(v) << 1) ^ static_cast<std::uint32_t>(v >> 31);
}
inline std::uint64_t zigzag64(std::int64_t v) {
    return (static_cast<std::uint64_t>(v) << 1) ^ static_cast<std::uint64_t>(v >> 63);
}
inline std::int32_t unzigzag32(std::uint32_t u) { return static_cast<std::int32_t>((u >> 1) ^ (0u - (u & 1))); }
inline std::int64_t unzigzag64(std::uint64_t u) { return static_cast<std::int64_t>((u >> 1) ^ (0ull - (u & 1))); }

inline std::size_t varint_size(std::uint64_t v) { return (70 - static_cast<std::size_t>(__builtin_clzll(v | 1))) / 7; }
// Writes exactly varint_size(v) bytes.
inline void put_varint(std::uint8_t* p, std::uint64_t v) {
    while (v >= 0x80) {
        *p++ = static_cast<std::uint8_t>(v) | 0x80;
        v >>= 7;
    }
    *p = static_cast<std::uint8_t>(v);
}

}  // namespace compact

class CompactReader : public ByteCursor {
  public:
    static constexpr bool message_opens_body = false;

    CompactReader(const std::uint8_t* data, std::size_t size) noexcept : ByteCursor(data, size) { ids_[0] = 0; }

    MessageHeader read_message_begin() {
        if (*take(1) != compact::protocol_id) throw_invalid_data("Bad protocol id");
        std::uint8_t b = *take(1);
        if ((b & 0x1F) != compact::version) throw_invalid_data("Bad protocol version");
        MessageHeader h;
        h.type = static_cast<std::uint8_t>(b >> 5);
        h.seqid = compact::unzigzag32(static_cast<std::uint32_t>(read_varint()));
        h.name = std::string(read_string());
        return h;
    }
    void read_message_end() {}

    void read_struct_begin() {
        if (top_ + 1 >= compact::id_stack_size) throw_depth();
        ids_[++top_] = 0;
    }
    void read_struct_end() {
        if (top_ > 0) --top_;
    }

    FieldHeader read_field_begin() {
        std::uint8_t b = *take(1);
        std::uint8_t nib = b & 0x0F;
        if (nib == 0) return {TType::Stop, 0};
        if (nib >= 13) throw_invalid_field_type();
        std::int16_t id;
        if ((b >> 4) == 0)
            id = static_cast<std::int16_t>(load_be16(take(2)));
        else
            id = static_cast<std::int16_t>(static_cast<std::uint16_t>(ids_[top_]) + (b >> 4));
        ids_[top_] = id;
        if (nib <= 2) pending_ = nib == 1 ? 1 : 0;
        return {compact::nibble_type[nib], id};
    }
    void read_field_end() {}

    bool read_bool() {
        if (pending_ >= 0) {
            bool v = pending_ == 1;
            pending_ = -1;
            return v;
        }
        return *take(1) == 1;
    }
    std::int8_t read_byte() { return static_cast<std::int8_t>(*take(1)); }
    std::int16_t read_i16() { return static_cast<std::int16_t>(read_i32()); }
    std::int32_t read_i32() { return compact::unzigzag32(static_cast<std::uint32_t>(read_varint())); }
    std::int64_t read_i64() { return compact::unzigzag64(read_varint()); }
    double read_double() { return std::bit_cast<double>(load_be64(take(8))); }

    // Views into the input buffer.
    std::string_view read_string() { return validated_utf8(read_binary()); }
    std::string_view read_binary() { return take_bytes(read_i32()); }

    ListHeader read_list_begin() {
        std::uint8_t h = *take(1);
        std::int32_t count = (h >> 4) == 15 ? read_i32() : (h >> 4);
        std::uint8_t nib = h & 0x0F;
        if (nib >= 13) throw_invalid_field_type();
        return {compact::nibble_type[nib], count};
    }
    void read_list_end() {}
    ListHeader read_set_begin() { return read_list_begin(); }
    void read_set_end() {}

    MapHeader read_map_begin() {
        std::int32_t count = read_i32();
        if (count == 0) return {TType::Stop, TType::Stop, 0};
        std::uint8_t b = *take(1);
        if ((b >> 4) >= 13 || (b & 0x0F) >= 13) throw_invalid_field_type();
        return {compact::nibble_type[b >> 4], compact::nibble_type[b & 0x0F], count};
    }
    void read_map_end() {}

    // Consumes one value of the wire type; `depth` counts the structs and
    // containers already open around it.
    void skip(TType type, int depth = 0) {
        switch (type) {
        case TType::Bool: read_bool(); return;
        case TType::Byte: take(1); return;
        case TType::I16:
        case TType::I32:
        case TType::I64: read_varint(); return;
        case TType::Double: take(8); return;
        case TType::String: read_string(); return;
        case TType::Struct: skip_struct(*this, depth); return;
        case TType::List:
        case TType::Set: {
            if (depth >= max_depth) throw_depth();
            ListHeader h = read_list_begin();
            skip_elements(h.element, h.count, depth + 1);
            return;
        }
        case TType::Map: {
            if (depth >= max_depth) throw_depth();
            MapHeader h = read_map_begin();
            if (h.count <= 0 || (empty(h.key) && empty(h.value))) return;
            for (std::int32_t i = 0; i < h.count; ++i) {
                skip(h.key, depth + 1);
                skip(h.value, depth + 1);
            }
            return;
        }
        default: return;
        }
    }

  private:
    static bool empty(TType t) { return t == TType::Stop || t == TType::Void; }

    void skip_elements(TType element, std::int32_t count, int depth) {
        if (count <= 0 || empty(element)) return;
        auto n = static_cast<std::size_t>(count);
        switch (element) {
        case TType::Byte: take(n); return;
        case TType::Double: take(8 * n); return;
        case TType::Bool:
            if (pending_ < 0) {
                take(n);
                return;
            }
            break;
        default: break;
        }
        for (std::int32_t i = 0; i < count; ++i) skip(element, depth);
    }

    std::uint64_t read_varint() {
        const std::uint8_t* p = cur_;
        if (static_cast<std::size_t>(end_ - p) >= 10) [[likely]] {
            // Room for the longest varint: no bounds check per byte.
            std::uint64_t v = 0;
            for (int i = 0; i < 10; ++i) {
                std::uint64_t b = p[i];
                v |= (b & 0x7F) << (7 * i);
                if (b < 0x80) {
                    cur_ = p + i + 1;
                    return v;
                }
            }
            too_long();
        }
        return read_varint_near_end();
    }
    // At most 10 bytes, the most a 64-bit value needs; bits past 64 are dropped.
    [[gnu::noinline]] std::uint64_t read_varint_near_end() {
        std::uint64_t v = 0;
        for (int shift = 0; shift < 70; shift += 7) {
            if (cur_ == end_) short_input();
            std::uint8_t b = *cur_++;
            v |= static_cast<std::uint64_t>(b & 0x7F) << shift;
            if (!(b & 0x80)) return v;
        }
        too_long();
    }
    [[noreturn, gnu::cold, gnu::noinline]] static void too_long() { throw_invalid_data("varint longer than 10 bytes"); }

    int top_ = 0;
    std::int8_t pending_ = -1;  // folded bool of the last field header: -1 none, 0, 1
    std::int16_t ids_[compact::id_stack_size];
};

class CompactWriter {
  public:
    static constexpr bool message_closes_body = false;

    explicit CompactWriter(ByteBuffer& out) noexcept : out_(out) { ids_[0] = 0; }

    void write_message_begin(std::string_view name, std::uint8_t type, std::int32_t seqid) {
        std::int32_t n = checked_length(name.size());
        std::uint32_t zseq = compact::zigzag32(seqid), zlen = compact::zigzag32(n);
        std::size_t sseq = compact::varint_size(zseq), slen = compact::varint_size(zlen);
        std::uint8_t* p = out_.extend(2 + sseq + slen + name.size());
        p[0] = compact::protocol_id;
        p[1] = static_cast<std::uint8_t>(type << 5) | compact::version;
        compact::put_varint(p + 2, zseq);
        compact::put_varint(p + 2 + sseq, zlen);
        if (n) std::memcpy(p + 2 + sseq + slen, name.data(), name.size());
    }
    void write_message_end() {}

    void write_struct_begin() {
        if (top_ + 1 >= compact::id_stack_size) throw_depth();
        ids_[++top_] = 0;
    }
    void write_struct_end() {
        if (top_ > 0) --top_;
    }

    void write_field_begin(TType type, std::int16_t id) {
        if (type == TType::Bool) {
            bool_pending_ = true;
            bool_id_ = id;
            return;
        }
        field_header(compact::nibble(type), id);
    }
    void write_field_end() {}
    void write_field_stop() { out_.push(0); }

    void write_bool(bool v) {
        if (bool_pending_) {
            bool_pending_ = false;
            field_header(v ? 1 : 2, bool_id_);
        } else {
            out_.push(v ? 1 : 2);
        }
    }
    void write_byte(std::int8_t v) { out_.push(static_cast<std::uint8_t>(v)); }
    void write_i16(std::int16_t v) { varint(compact::zigzag32(v)); }
    void write_i32(std::int32_t v) { varint(compact::zigzag32(v)); }
    void write_i64(std::int64_t v) { varint(compact::zigzag64(v)); }
    void write_double(double v) { store_be64(out_.extend(8), std::bit_cast<std::uint64_t>(v)); }

    void write_string(std::string_view s) { write_binary(s); }
    void write_binary(std::string_view s) {
        std::uint32_t z = compact::zigzag32(checked_length(s.size()));
        std::size_t sz = compact::varint_size(z);
        std::uint8_t* p = out_.extend(sz + s.size());
        compact::put_varint(p, z);
        if (!s.empty()) std::memcpy(p + sz, s.data(), s.size());
    }

    void write_list_begin(TType element, std::size_t count) {
        std::int32_t n = checked_length(count);
        std::uint8_t nib = compact::nibble(element);
        if (n <= 14) {
            out_.push(static_cast<std::uint8_t>(n << 4) | nib);
        } else {
            std::uint32_t z = compact::zigzag32(n);
            std::size_t sz = compact::varint_size(z);
            std::uint8_t* p = out_.extend(1 + sz);
            p[0] = 0xF0 | nib;
            compact::put_varint(p + 1, z);
        }
    }
    void write_list_end() {}
    void write_set_begin(TType element, std::size_t count) { write_list_begin(element, count); }
    void write_set_end() {}

    void write_map_begin(TType key, TType value, std::size_t count) {
        std::int32_t n = checked_length(count);
        if (n == 0) {
            out_.push(0);
            return;
        }
        std::uint32_t z = compact::zigzag32(n);
        std::size_t sz = compact::varint_size(z);
        std::uint8_t* p = out_.extend(sz + 1);
        compact::put_varint(p, z);
        p[sz] = static_cast<std::uint8_t>(compact::nibble(key) << 4) | compact::nibble(value);
    }
    void write_map_end() {}

  private:
    void varint(std::uint64_t v) {
        if (v < 0x80) {
            out_.push(static_cast<std::uint8_t>(v));
            return;
        }
        std::size_t n = compact::varint_size(v);
        compact::put_varint(out_.extend(n), v);
    }

    void field_header(std::uint8_t nib, std::int16_t id) {
        int delta = int(id) - int(ids_[top_]);
        if (delta >= 1 && delta <= 15) {
            out_.push(static_cast<std::uint8_t>(delta << 4) | nib);
        } else {
            std::uint8_t* p = out_.extend(3);
            p[0] = nib;
            store_be16(p + 1, static_cast<std::uint16_t>(id));
        }
        ids_[top_] = id;
    }

    ByteBuffer& out_;
    int top_ = 0;
    bool bool_pending_ = false;
    std::int16_t bool_id_ = 0;
    std::int16_t ids_[compact::id_stack_size];
};

}  // namespace vantrel::protocol
