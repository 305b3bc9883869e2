// The JSON encoding: structs as objects keyed by field id, every field value
// tagged with a short type name, containers as arrays with a type header.
// Member order is the byte order of the member names, the last of equal
// names kept. The writer streams text; the reader parses the whole input once,
// on first use, and walks the tree.
#pragma once

#include <charconv>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "protocol/text.hpp"
#include "protocol/types.hpp"

namespace vantrel::protocol {

using Json = nlohmann::json;

// Nesting allowed in a document.
constexpr int json_max_depth = 128;

// One value of a parsed document. Nodes are stored in document order; a
// container is followed by its items (an object by key, value, key, value...).
struct JsonNode {
    enum class Kind : std::uint8_t { Null, False, True, Signed, Unsigned, Double, String, Array, Object };
    Kind kind = Kind::Null;
    std::uint32_t count = 0;  // String: byte length; Array: items; Object: members
    std::uint32_t end = 0;    // index just past this value and everything inside it
    union {
        std::int64_t i;
        std::uint64_t u;
        double d;
        const char* text;  // String: into the document, or into the tape's own storage
    };
    JsonNode() : i(0) {}

    std::string_view str() const { return {text, count}; }
};

// A whole document as a flat sequence of nodes: one allocation instead of a
// tree of them. String nodes may point into the parsed text, which must
// outlive the tape.
struct JsonTape {
    std::vector<JsonNode> nodes;
    std::unique_ptr<char[]> unescaped;  // text of strings that had escapes

    const JsonNode& operator[](std::uint32_t i) const { return nodes[i]; }
    // Index of the first item of a container (its key, for an object).
    static std::uint32_t first(std::uint32_t container) { return container + 1; }
    // Index of the value after the one at `i` (skipping what is inside it).
    std::uint32_t next(std::uint32_t i) const { return nodes[i].end; }
};

// Parses one UTF-8 JSON document, refusing nesting beyond json_max_depth and
// anything but whitespace after it. Failures are ProtocolError (Io,
// InvalidData) with the reader's description, line and column included.
JsonTape parse_json_tape(std::string_view text);
Json parse_json_document(std::string_view text);
// The value at node `i` as a tree.
Json to_json(const JsonTape& tape, std::uint32_t i = 0);

// "tf", "i8", ... for each type code; "stop" for STOP and VOID.
std::string_view json_type_name(TType type);
// The type code a value names; false when it is not a known name (STOP and
// VOID are never read).
bool json_type_from_name(const Json& name, TType& type);

// Streams the text: containers are written in place, and a struct or map
// whose members arrive out of key order (or repeat a key) is re-sorted when
// it closes. Nothing reaches the output until the outermost value completes.
class JsonWriter {
  public:
    // write_message_end closes the body struct: callers do not end it.
    static constexpr bool message_closes_body = true;

    explicit JsonWriter(ByteBuffer& out) : out_(out) { text_.reserve(128); }

    void write_message_begin(std::string_view name, std::uint8_t type, std::int32_t seqid);
    void write_message_end();

    void write_struct_begin() {
        open(Frame::Struct);
        text_.push_back('{');
    }
    void write_struct_end() { end_container(); }

    void write_field_begin(TType type, std::int16_t id) {
        if (frames_.empty() || frames_.back().kind != Frame::Struct) return;
        Frame& f = frames_.back();
        f.pending = true;
        f.type = type;
        f.field_id = id;
    }
    void write_field_end() {}
    void write_field_stop() {}

    void write_bool(bool v) { write_integer(v ? 1 : 0); }
    void write_byte(std::int8_t v) { write_integer(v); }
    void write_i16(std::int16_t v) { write_integer(v); }
    void write_i32(std::int32_t v) { write_integer(v); }
    // As a string of decimal digits.
    void write_i64(std::int64_t v);
    // Non-finite values as the strings "NaN", "Infinity", "-Infinity".
    void write_double(double v);
    void write_string(std::string_view s);
    // As standard Base64 text.
    void write_binary(std::string_view bytes);

    void write_list_begin(TType element, std::size_t count);
    void write_list_end() { end_container(); }
    void write_set_begin(TType element, std::size_t count) { write_list_begin(element, count); }
    void write_set_end() { end_container(); }
    void write_map_begin(TType key, TType value, std::size_t count);
    void write_map_end() { end_container(); }

  private:
    struct Frame {
        enum Kind : std::uint8_t { Message, Struct, List, Map };
        Kind kind;
        bool pending = false;            // struct: a field header is set; map: a key is held
        bool sorted = true;              // struct, map: members so far in strictly ascending key order
        TType type = TType::Stop;        // struct: the pending field's type; list: element; map: key
        TType value_type = TType::Stop;  // map
        std::int16_t field_id = 0;
        std::size_t outer = 0;    // text size before the parent prepared for this value
        std::size_t start = 0;    // where this container's own text begins
        std::size_t entries = 0;  // its first member in entries_
        std::size_t keys = 0;     // keys_ size when it opened
        std::size_t count = 0;    // list: elements so far
        std::size_t declared = 0; // list, map: the count written in the header
        std::size_t count_at = 0; // list: where the header's count digits are
        std::size_t count_len = 0;
        std::size_t key_at = 0;   // map: the held key in keys_
    };
    // A struct or map member: its key text and the member's text `"key":value`.
    struct Entry {
        std::size_t key_at, key_len, begin, end;
    };

    void write_integer(std::int64_t v) {
        std::size_t b = begin_value();
        char digits[24];
        text_.append(digits, static_cast<std::size_t>(std::to_chars(digits, digits + sizeof digits, v).ptr - digits));
        end_value(b);
    }

    // Prepares the open container for one more value; returns the text size
    // before it, which is where the value's text and its preparation begin.
    std::size_t begin_value() {
        std::size_t b = text_.size();
        if (frames_.empty()) return b;
        Frame& f = frames_.back();
        switch (f.kind) {
        case Frame::List: text_.push_back(','); break;
        case Frame::Struct:
            if (f.pending) member_prefix(f);
            break;
        case Frame::Map:
            if (f.pending) key_prefix(f);
            break;
        case Frame::Message: break;
        }
        return b;
    }
    // Hands the value written since `b` to the open container, or emits it.
    // `raw` is a string value's own text (map keys take it unescaped).
    void end_value(std::size_t b, const std::string_view* raw = nullptr) {
        if (frames_.empty()) return emit(b);
        Frame& f = frames_.back();
        switch (f.kind) {
        case Frame::List: ++f.count; return;
        case Frame::Struct:
            if (!f.pending) {
                text_.resize(b);  // no field header: dropped
                return;
            }
            f.pending = false;
            text_.push_back(']');
            add_entry(f, f.key_at, keys_.size() - f.key_at, b);
            return;
        case Frame::Map:
            if (f.pending) {
                f.pending = false;
                add_entry(f, f.key_at, keys_.size() - f.key_at, b);
            } else {
                hold_key(f, b, raw);
            }
            return;
        case Frame::Message: text_.resize(b); return;
        }
    }

    Frame& open(Frame::Kind kind);
    void member_prefix(Frame& f);
    void key_prefix(Frame& f);
    void hold_key(Frame& f, std::size_t b, const std::string_view* raw);
    void add_entry(Frame& f, std::size_t key_at, std::size_t key_len, std::size_t b);
    // Completes the text of the top frame and pops it.
    Frame close_top();
    void end_container();
    void emit(std::size_t b);

    ByteBuffer& out_;
    std::string text_;   // the outermost value being built
    std::string keys_;   // member keys of the open structs and maps
    std::vector<Frame> frames_;
    std::vector<Entry> entries_;
};

class JsonReader {
  public:
    // read_message_begin opens the body struct: callers neither begin nor end it.
    static constexpr bool message_opens_body = true;

    JsonReader(const std::uint8_t* data, std::size_t size) noexcept : data_(data), size_(size) {}

    MessageHeader read_message_begin();
    void read_message_end() {}

    void read_struct_begin();
    void read_struct_end() { end_container(); }

    FieldHeader read_field_begin();
    void read_field_end() {}

    bool read_bool() {
        const Json& v = take();
        switch (v.type()) {
        case Json::value_t::boolean: return v.get_ref<const Json::boolean_t&>();
        case Json::value_t::number_integer: return v.get_ref<const Json::number_integer_t&>() != 0;
        case Json::value_t::number_unsigned: return v.get_ref<const Json::number_unsigned_t&>() != 0;
        default: return false;
        }
    }
    std::int8_t read_byte() { return static_cast<std::int8_t>(integer(take())); }
    std::int16_t read_i16() { return static_cast<std::int16_t>(integer(take())); }
    std::int32_t read_i32() { return static_cast<std::int32_t>(integer(take())); }
    std::int64_t read_i64() {
        const Json& v = take();
        if (v.is_string()) return parse_i64(v.get_ref<const Json::string_t&>());
        return integer(v);
    }
    double read_double();
    // A view into the parsed document, valid while the reader lives.
    std::string_view read_string() {
        const Json& v = take();
        if (!v.is_string()) return {};
        return v.get_ref<const Json::string_t&>();
    }
    // A view into reader-owned storage, valid until the next read_binary.
    std::string_view read_binary();

    ListHeader read_list_begin();
    void read_list_end() { end_container(); }
    ListHeader read_set_begin() { return read_list_begin(); }
    void read_set_end() { end_container(); }
    MapHeader read_map_begin();
    void read_map_end() { end_container(); }

    void skip(TType type, int depth = 0);

    // Values left in the open container (the input size before parsing).
    std::size_t remaining() const;
    std::size_t position() const { return parsed_ ? size_ : 0; }

    // Decimal signed 64-bit integer with an optional sign; 0 when it is not one.
    static std::int64_t parse_i64(std::string_view text);

  private:
    struct Frame {
        enum Kind : std::uint8_t { Struct, List, Map };
        explicit Frame(Kind k) : kind(k) {}
        Kind kind;
        bool key_next = true;           // map
        TType key_type = TType::Stop;   // list: element
        TType value_type = TType::Stop;
        const Json* current = nullptr;  // struct: the current field's value
        Json::object_t::const_iterator it{}, end{};  // struct members, map pairs
        std::size_t left = 0;           // members or pairs not yet taken
        const Json::array_t* items = nullptr;  // list
        std::size_t index = 0;
        Json key;  // map: the current key as a value of the key type
    };

    // The next value of the open container, or the root; null when none is left.
    const Json* pop() {
        if (frames_.empty()) {
            if (!parsed_) parse();
            if (root_taken_) return nullptr;
            root_taken_ = true;
            return &root_;
        }
        Frame& f = frames_.back();
        switch (f.kind) {
        case Frame::Struct: return std::exchange(f.current, nullptr);
        case Frame::List: return f.index < f.items->size() ? &(*f.items)[f.index++] : nullptr;
        case Frame::Map: return pop_entry(f);
        }
        return nullptr;
    }
    const Json& take() {
        const Json* v = pop();
        if (!v) throw_invalid_field_type();
        return *v;
    }
    const Json* pop_entry(Frame& f);
    void end_container() {
        if (!frames_.empty()) frames_.pop_back();
    }
    void parse();
    void open_struct(const Json& object);

    // Integers as the signed 64-bit value they are; everything else 0.
    static std::int64_t integer(const Json& v) {
        switch (v.type()) {
        case Json::value_t::number_integer: return v.get_ref<const Json::number_integer_t&>();
        case Json::value_t::number_unsigned: {
            auto u = v.get_ref<const Json::number_unsigned_t&>();
            return u <= std::uint64_t(std::numeric_limits<std::int64_t>::max()) ? static_cast<std::int64_t>(u) : 0;
        }
        default: return 0;
        }
    }

    const std::uint8_t* data_;
    std::size_t size_;
    bool parsed_ = false;
    bool root_taken_ = false;
    Json root_;
    std::vector<Frame> frames_;
    std::string bytes_;  // the last decoded binary
    std::string error_;
};

}  // namespace vantrel::protocol
