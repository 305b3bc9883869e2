// Vocabulary shared by the three codecs: wire type codes, message types,
// header records, I/O and protocol errors, and the growable output buffer.
#pragma once

#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "parser/ast.hpp"

namespace vantrel::protocol {

// Wire type codes.
enum class TType : std::uint8_t {
    Stop = 0, Void = 1, Bool = 2, Byte = 3, Double = 4, I16 = 6, I32 = 8, I64 = 10,
    String = 11, Struct = 12, Map = 13, Set = 14, List = 15,
};

// Any code of the table, STOP and VOID included.
constexpr bool is_known_type(std::uint8_t code) { return code < 16 && ((0xFD5Fu >> code) & 1u); }
// A known code other than STOP.
constexpr bool is_field_type(std::uint8_t code) { return code != 0 && is_known_type(code); }

// The wire type of a value or declared type kind (shared order of ast::Kind).
constexpr TType type_code(ast::Kind kind) {
    constexpr TType table[] = {TType::Bool, TType::Byte,   TType::I16,  TType::I32, TType::I64, TType::Double,
                               TType::String, TType::String, TType::List, TType::Set, TType::Map, TType::Struct};
    return table[static_cast<std::size_t>(kind)];
}

enum class MessageType : std::uint8_t { Call = 1, Reply = 2, Exception = 3, Oneway = 4 };

struct MessageHeader {
    std::string name;
    std::uint8_t type = 0;  // passed through unvalidated
    std::int32_t seqid = 0;
};

struct FieldHeader {
    TType type = TType::Stop;  // Stop ends the struct (id 0)
    std::int16_t id = 0;
};

struct ListHeader {  // lists and sets
    TType element = TType::Stop;
    std::int32_t count = 0;
};

struct MapHeader {
    TType key = TType::Stop;
    TType value = TType::Stop;
    std::int32_t count = 0;
};

// Nested structs and containers deeper than this are refused by every
// recursive read, skip, write and conversion.
constexpr int max_depth = 64;
constexpr std::string_view depth_error = "maximum nesting depth of 64 exceeded";

// ---------------------------------------------------------------- errors

enum class IoKind : std::uint8_t { UnexpectedEof, InvalidData, InvalidInput, ConnectionReset, BrokenPipe, WouldBlock, Other };

// Every socket, transport and codec failure.
struct IoError {
    IoKind kind = IoKind::Other;
    std::string text;

    static IoError eof() { return {IoKind::UnexpectedEof, "failed to fill whole buffer"}; }
    static IoError invalid_data(std::string text) { return {IoKind::InvalidData, std::move(text)}; }
};

// The error of every codec operation; thrown.
struct ProtocolError {
    enum class Kind : std::uint8_t { Io, InvalidType, InvalidFieldType };
    Kind kind = Kind::Io;
    IoError io;             // Io
    std::uint8_t byte = 0;  // InvalidType

    static ProtocolError from(IoError io) { return {Kind::Io, std::move(io), 0}; }
    static ProtocolError eof() { return from(IoError::eof()); }
    static ProtocolError invalid_data(std::string text) { return from(IoError::invalid_data(std::move(text))); }
    static ProtocolError invalid_type(std::uint8_t byte) { return {Kind::InvalidType, {}, byte}; }
    static ProtocolError invalid_field_type() { return {Kind::InvalidFieldType, {}, 0}; }

    // "IO error: {}", "Invalid type: {}", "Invalid field type".
    std::string display() const;
    // Io yields its inner error; the others an InvalidData error with the display text.
    IoError to_io() const;
};

// Out-of-line throws, so that the inline codec paths stay small.
[[noreturn, gnu::cold]] void throw_eof();
[[noreturn, gnu::cold]] void throw_invalid_type(std::uint8_t byte);
[[noreturn, gnu::cold]] void throw_invalid_field_type();
[[noreturn, gnu::cold]] void throw_invalid_data(std::string text);
[[noreturn, gnu::cold]] void throw_depth();
// A negative string or binary length.
[[noreturn, gnu::cold]] void throw_negative_length(std::int64_t length);

// ---------------------------------------------------------------- buffer

// A growable byte buffer that writers append to.
class ByteBuffer {
  public:
    ByteBuffer() = default;
    explicit ByteBuffer(std::size_t capacity) { reserve(capacity); }
    ByteBuffer(const ByteBuffer&) = delete;
    ByteBuffer& operator=(const ByteBuffer&) = delete;
    ByteBuffer(ByteBuffer&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)),
          capacity_(std::exchange(other.capacity_, 0)) {}
    ~ByteBuffer() { std::free(data_); }

    const std::uint8_t* data() const { return data_; }
    std::size_t size() const { return size_; }
    std::string_view view() const { return {reinterpret_cast<const char*>(data_), size_}; }
    void clear() { size_ = 0; }

    void reserve(std::size_t capacity) {
        if (capacity <= capacity_) return;
        auto* grown = static_cast<std::uint8_t*>(std::realloc(data_, capacity));
        if (!grown) throw std::bad_alloc();
        data_ = grown;
        capacity_ = capacity;
    }
    // Room for `n` more bytes; returns where they go and counts them as written.
    std::uint8_t* extend(std::size_t n) {
        if (capacity_ - size_ < n) grow(n);
        std::uint8_t* at = data_ + size_;
        size_ += n;
        return at;
    }
    void push(std::uint8_t byte) { *extend(1) = byte; }
    void append(const void* bytes, std::size_t n) {
        if (n) std::memcpy(extend(n), bytes, n);
    }
    void append(std::string_view s) { append(s.data(), s.size()); }

  private:
    void grow(std::size_t n) {
        std::size_t wanted = size_ + n;
        std::size_t doubled = capacity_ * 2;
        reserve(doubled > wanted ? doubled : wanted);
    }

    std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

// Lengths and counts are signed 32-bit on the wire; larger ones are refused.
inline std::int32_t checked_length(std::size_t n) {
    if (n > std::size_t(std::numeric_limits<std::int32_t>::max()))
        throw ProtocolError::from({IoKind::InvalidInput, "length " + std::to_string(n) + " exceeds the 2147483647 limit of the wire format"});
    return static_cast<std::int32_t>(n);
}

// ---------------------------------------------------------------- byte order

// Big-endian loads and stores of the wire's fixed-width integers.
static_assert(std::endian::native == std::endian::little, "the byte swaps assume a little-endian host");
inline std::uint16_t load_be16(const std::uint8_t* p) {
    std::uint16_t v;
    std::memcpy(&v, p, 2);
    return __builtin_bswap16(v);
}
inline std::uint32_t load_be32(const std::uint8_t* p) {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return __builtin_bswap32(v);
}
inline std::uint64_t load_be64(const std::uint8_t* p) {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return __builtin_bswap64(v);
}
inline void store_be16(std::uint8_t* p, std::uint16_t v) {
    v = __builtin_bswap16(v);
    std::memcpy(p, &v, 2);
}
inline void store_be32(std::uint8_t* p, std::uint32_t v) {
    v = __builtin_bswap32(v);
    std::memcpy(p, &v, 4);
}
inline void store_be64(std::uint8_t* p, std::uint64_t v) {
    v = __builtin_bswap64(v);
    std::memcpy(p, &v, 8);
}

}  // namespace vantrel::protocol
