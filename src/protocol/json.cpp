#include "protocol/json.hpp"

#include "protocol/cursor.hpp"

#include <algorithm>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace vantrel::protocol {

// ---------------------------------------------------------------- documents

namespace {

// Recursive descent over text already checked to be UTF-8; the nesting limit
// bounds the recursion.
class DocumentParser {
  public:
    explicit DocumentParser(std::string_view text, JsonTape& tape)
        : begin_(text.data()), p_(text.data()), end_(text.data() + text.size()), tape_(tape) {}

    void document() {
        // A leading byte order mark is tolerated.
        if (end_ - p_ >= 3 && std::memcmp(p_, "\xEF\xBB\xBF", 3) == 0) p_ += 3;
        skip_space();
        value(0);
        skip_space();
        if (p_ != end_) fail(p_, "trailing characters after the document");
    }

  private:
    [[noreturn, gnu::cold]] void fail(const char* at, std::string_view what) const {
        std::size_t line = 1, column = 1;
        for (const char* c = begin_; c < at; ++c) {
            if (*c == '\n') {
                ++line;
                column = 1;
            } else {
                ++column;
            }
        }
        throw_invalid_data("parse error at line " + std::to_string(line) + ", column " + std::to_string(column) + ": " +
                           std::string(what));
    }

    void skip_space() {
        while (p_ != end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) ++p_;
    }

    // Appends a node; its `end` is set when the value is complete.
    JsonNode& push(JsonNode::Kind kind) {
        JsonNode& node = tape_.nodes.emplace_back();
        node.kind = kind;
        return node;
    }
    void close(std::uint32_t index) { tape_.nodes[index].end = static_cast<std::uint32_t>(tape_.nodes.size()); }

    void value(int depth) {
        if (p_ == end_) fail(p_, "unexpected end of input; expected a value");
        auto index = static_cast<std::uint32_t>(tape_.nodes.size());
        switch (*p_) {
        case '{': object(depth + 1); break;
        case '[': array(depth + 1); break;
        case '"': string_node(); break;
        case 't': literal("true", JsonNode::Kind::True); break;
        case 'f': literal("false", JsonNode::Kind::False); break;
        case 'n': literal("null", JsonNode::Kind::Null); break;
        default:
            if (*p_ == '-' || (*p_ >= '0' && *p_ <= '9')) {
                number();
                break;
            }
            fail(p_, "expected a value");
        }
        close(index);
    }

    void literal(std::string_view word, JsonNode::Kind kind) {
        if (static_cast<std::size_t>(end_ - p_) < word.size() || std::string_view(p_, word.size()) != word)
            fail(p_, "invalid literal");
        p_ += word.size();
        push(kind);
    }

    // A string without escapes points into the text; one with escapes into
    // the tape's storage, which is sized for the whole text once.
    void string_node() {
        const char* open = p_;
        const char* q = p_ + 1;
        while (q != end_ && *q != '"' && *q != '\\' && static_cast<unsigned char>(*q) >= 0x20) ++q;
        if (q != end_ && *q == '"') {
            JsonNode& node = push(JsonNode::Kind::String);
            node.text = p_ + 1;
            node.count = static_cast<std::uint32_t>(q - p_ - 1);
            p_ = q + 1;
            return;
        }
        if (!tape_.unescaped) tape_.unescaped.reset(new char[static_cast<std::size_t>(end_ - begin_)]);
        scratch_.clear();
        string(scratch_);
        char* at = tape_.unescaped.get() + unescaped_used_;
        std::memcpy(at, scratch_.data(), scratch_.size());
        unescaped_used_ += scratch_.size();
        JsonNode& node = push(JsonNode::Kind::String);
        node.text = at;
        node.count = static_cast<std::uint32_t>(scratch_.size());
        (void)open;
    }

    void enter(int depth) const {
        if (depth > json_max_depth) fail(p_, "nesting deeper than " + std::to_string(json_max_depth) + " levels");
    }

    void object(int depth) {
        enter(depth);
        ++p_;
        auto index = static_cast<std::uint32_t>(tape_.nodes.size());
        push(JsonNode::Kind::Object);
        std::uint32_t members = 0;
        skip_space();
        if (p_ != end_ && *p_ == '}') {
            ++p_;
            return;
        }
        for (;;) {
            if (p_ == end_ || *p_ != '"') fail(p_, p_ == end_ ? "unexpected end of input; expected a string key" : "expected a string key");
            auto key = static_cast<std::uint32_t>(tape_.nodes.size());
            string_node();
            close(key);
            skip_space();
            if (p_ == end_ || *p_ != ':') fail(p_, p_ == end_ ? "unexpected end of input; expected ':'" : "expected ':'");
            ++p_;
            skip_space();
            value(depth);
            ++members;
            tape_.nodes[index].count = members;
            skip_space();
            if (p_ == end_) fail(p_, "unexpected end of input; expected ',' or '}'");
            if (*p_ == ',') {
                ++p_;
                skip_space();
                continue;
            }
            if (*p_ == '}') {
                ++p_;
                return;
            }
            fail(p_, "expected ',' or '}'");
        }
    }

    void array(int depth) {
        enter(depth);
        ++p_;
        auto index = static_cast<std::uint32_t>(tape_.nodes.size());
        push(JsonNode::Kind::Array);
        skip_space();
        if (p_ != end_ && *p_ == ']') {
            ++p_;
            return;
        }
        for (;;) {
            value(depth);
            ++tape_.nodes[index].count;
            skip_space();
            if (p_ == end_) fail(p_, "unexpected end of input; expected ',' or ']'");
            if (*p_ == ',') {
                ++p_;
                skip_space();
                continue;
            }
            if (*p_ == ']') {
                ++p_;
                return;
            }
            fail(p_, "expected ',' or ']'");
        }
    }

    static int hex_digit(char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    }
    unsigned hex4(const char* at) const {
        if (end_ - at < 4) fail(at, "invalid string: '\\u' must be followed by 4 hex digits");
        unsigned v = 0;
        for (int i = 0; i < 4; ++i) {
            int d = hex_digit(at[i]);
            if (d < 0) fail(at, "invalid string: '\\u' must be followed by 4 hex digits");
            v = v << 4 | static_cast<unsigned>(d);
        }
        return v;
    }
    static void put_utf8(std::string& out, unsigned cp) {
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }

    // At the opening quote; appends the unescaped text.
    void string(std::string& out) {
        const char* open = p_++;
        for (;;) {
            const char* run = p_;
            while (p_ != end_) {
                auto c = static_cast<unsigned char>(*p_);
                if (c == '"' || c == '\\' || c < 0x20) break;
                ++p_;
            }
            out.append(run, static_cast<std::size_t>(p_ - run));
            if (p_ == end_) fail(open, "invalid string: missing closing quote");
            char c = *p_;
            if (c == '"') {
                ++p_;
                return;
            }
            if (c != '\\') fail(p_, "invalid string: control characters must be escaped");
            if (end_ - p_ < 2) fail(p_, "invalid string: missing closing quote");
            char e = p_[1];
            p_ += 2;
            switch (e) {
            case '"': out.push_back('"'); break;
            case '\\': out.push_back('\\'); break;
            case '/': out.push_back('/'); break;
            case 'b': out.push_back('\b'); break;
            case 'f': out.push_back('\f'); break;
            case 'n': out.push_back('\n'); break;
            case 'r': out.push_back('\r'); break;
            case 't': out.push_back('\t'); break;
            case 'u': {
                const char* at = p_ - 2;
                unsigned cp = hex4(p_);
                p_ += 4;
                if (cp >= 0xDC00 && cp <= 0xDFFF) fail(at, "invalid string: unpaired low surrogate");
                if (cp >= 0xD800 && cp <= 0xDBFF) {
                    if (end_ - p_ < 2 || p_[0] != '\\' || p_[1] != 'u')
                        fail(at, "invalid string: high surrogate not followed by a low surrogate");
                    unsigned low = hex4(p_ + 2);
                    if (low < 0xDC00 || low > 0xDFFF) fail(at, "invalid string: high surrogate not followed by a low surrogate");
                    p_ += 6;
                    cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                }
                put_utf8(out, cp);
                break;
            }
            default: fail(p_ - 2, "invalid string: unknown escape");
            }
        }
    }

    // -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?: integers as signed or
    // unsigned 64-bit where they fit, everything else as a double.
    void number() {
        const char* start = p_;
        bool negative = *p_ == '-';
        if (negative) ++p_;
        auto digits = [&] {
            const char* d = p_;
            while (p_ != end_ && *p_ >= '0' && *p_ <= '9') ++p_;
            return p_ - d;
        };
        if (p_ == end_ || !(*p_ >= '0' && *p_ <= '9')) fail(p_, "invalid number; expected a digit");
        if (*p_ == '0') {
            ++p_;
        } else {
            digits();
        }
        bool integral = true;
        if (p_ != end_ && *p_ == '.') {
            ++p_;
            integral = false;
            if (digits() == 0) fail(p_, "invalid number; expected a digit after '.'");
        }
        if (p_ != end_ && (*p_ == 'e' || *p_ == 'E')) {
            ++p_;
            integral = false;
            if (p_ != end_ && (*p_ == '+' || *p_ == '-')) ++p_;
            if (digits() == 0) fail(p_, "invalid number; expected a digit in the exponent");
        }
        if (integral) {
            if (negative) {
                std::int64_t v;
                auto r = std::from_chars(start, p_, v);
                if (r.ec == std::errc()) {
                    push(JsonNode::Kind::Signed).i = v;
                    return;
                }
            } else {
                std::uint64_t v;
                auto r = std::from_chars(start, p_, v);
                if (r.ec == std::errc()) {
                    push(JsonNode::Kind::Unsigned).u = v;
                    return;
                }
            }
        }
        double d = 0.0;
        auto r = std::from_chars(start, p_, d);
        if (r.ec == std::errc::result_out_of_range) {
            // Below the smallest double it rounds (to zero or the least
            // subnormal); above the largest it is refused.
            static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", locale_t(nullptr));
            std::string copy(start, p_);
            d = strtod_l(copy.c_str(), nullptr, c_locale);
            if (!std::isfinite(d)) fail(start, "number out of range");
        } else if (r.ec != std::errc()) {
            fail(start, "invalid number");
        }
        push(JsonNode::Kind::Double).d = d;
    }

    const char* begin_;
    const char* p_;
    const char* end_;
    JsonTape& tape_;
    std::string scratch_;
    std::size_t unescaped_used_ = 0;
};

}  // namespace

JsonTape parse_json_tape(std::string_view text) {
    if (!is_valid_utf8(text)) throw_invalid_data("stream did not contain valid UTF-8");
    if (text.size() >= std::numeric_limits<std::uint32_t>::max()) throw_invalid_data("JSON document too large");
    JsonTape tape;
    tape.nodes.reserve(std::min<std::size_t>(text.size() / 4 + 4, 1 << 16));
    DocumentParser(text, tape).document();
    return tape;
}

Json to_json(const JsonTape& tape, std::uint32_t i) {
    const JsonNode& node = tape[i];
    switch (node.kind) {
    case JsonNode::Kind::Null: return Json(nullptr);
    case JsonNode::Kind::False: return Json(false);
    case JsonNode::Kind::True: return Json(true);
    case JsonNode::Kind::Signed: return Json(node.i);
    case JsonNode::Kind::Unsigned: return Json(node.u);
    case JsonNode::Kind::Double: return Json(node.d);
    case JsonNode::Kind::String: return Json(std::string(node.str()));
    case JsonNode::Kind::Array: {
        Json v = Json::array();
        auto& items = v.get_ref<Json::array_t&>();
        items.reserve(node.count);
        for (std::uint32_t at = JsonTape::first(i); at < node.end; at = tape.next(at)) items.push_back(to_json(tape, at));
        return v;
    }
    case JsonNode::Kind::Object: {
        Json v = Json::object();
        auto& members = v.get_ref<Json::object_t&>();
        for (std::uint32_t at = JsonTape::first(i); at < node.end; at = tape.next(tape.next(at)))
            members.insert_or_assign(std::string(tape[at].str()), to_json(tape, tape.next(at)));  // a repeated key replaces
        return v;
    }
    }
    return Json(nullptr);
}

Json parse_json_document(std::string_view text) {
    JsonTape tape = parse_json_tape(text);
    return to_json(tape);
}

// ---------------------------------------------------------------- type names

std::string_view json_type_name(TType type) {
    switch (type) {
    case TType::Bool: return "tf";
    case TType::Byte: return "i8";
    case TType::Double: return "dbl";
    case TType::I16: return "i16";
    case TType::I32: return "i32";
    case TType::I64: return "i64";
    case TType::String: return "str";
    case TType::Struct: return "rec";
    case TType::Map: return "map";
    case TType::Set: return "set";
    case TType::List: return "lst";
    default: return "stop";
    }
}

bool json_type_from_name(const Json& name, TType& type) {
    if (!name.is_string()) return false;
    const std::string& s = name.get_ref<const Json::string_t&>();
    static constexpr struct {
        std::string_view name;
        TType type;
    } names[] = {{"tf", TType::Bool},   {"i8", TType::Byte},    {"dbl", TType::Double}, {"i16", TType::I16},
                 {"i32", TType::I32},   {"i64", TType::I64},    {"str", TType::String}, {"rec", TType::Struct},
                 {"map", TType::Map},   {"set", TType::Set},    {"lst", TType::List}};
    for (const auto& n : names) {
        if (n.name == s) {
            type = n.type;
            return true;
        }
    }
    return false;
}

// ---------------------------------------------------------------- writer

namespace {

[[noreturn]] void stack_underflow() { throw ProtocolError::from({IoKind::Other, "stack underflow"}); }

template <class Int>
void append_int(std::string& out, Int v) {
    char digits[24];
    out.append(digits, static_cast<std::size_t>(std::to_chars(digits, digits + sizeof digits, v).ptr - digits));
}

// A JSON string literal: the text must be UTF-8; quotes, backslashes and
// control characters are escaped, everything else is kept as it is.
void append_json_string(std::string& out, std::string_view s) {
    validate_utf8(s);
    out.push_back('"');
    const char* p = s.data();
    std::size_t run = 0;
    for (std::size_t i = 0; i < s.size(); ++i) {
        auto c = static_cast<unsigned char>(p[i]);
        if (c >= 0x20 && c != '"' && c != '\\') continue;
        out.append(p + run, i - run);
        run = i + 1;
        switch (c) {
        case '"': out.append("\\\""); break;
        case '\\': out.append("\\\\"); break;
        case '\b': out.append("\\b"); break;
        case '\f': out.append("\\f"); break;
        case '\n': out.append("\\n"); break;
        case '\r': out.append("\\r"); break;
        case '\t': out.append("\\t"); break;
        default: {
            static constexpr char hex[] = "0123456789abcdef";
            char u[6] = {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 15]};
            out.append(u, 6);
        }
        }
    }
    out.append(p + run, s.size() - run);
    out.push_back('"');
}

void append_type_name(std::string& out, TType type) {
    out.push_back('"');
    out.append(json_type_name(type));
    out.push_back('"');
}

}  // namespace

JsonWriter::Frame& JsonWriter::open(Frame::Kind kind) {
    std::size_t outer = begin_value();
    Frame& f = frames_.emplace_back();
    f.kind = kind;
    f.outer = outer;
    f.start = text_.size();
    f.entries = entries_.size();
    f.keys = keys_.size();
    return f;
}

void JsonWriter::member_prefix(Frame& f) {
    f.key_at = keys_.size();
    append_int(keys_, f.field_id);
    if (entries_.size() > f.entries) text_.push_back(',');
    text_.push_back('"');
    text_.append(keys_, f.key_at);
    text_.append("\":");
    text_.push_back('[');
    append_type_name(text_, f.type);
    text_.push_back(',');
}

void JsonWriter::key_prefix(Frame& f) {
    if (entries_.size() > f.entries) text_.push_back(',');
    append_json_string(text_, std::string_view(keys_).substr(f.key_at));
    text_.push_back(':');
}

// Map keys become member names: strings as themselves, numbers and
// containers as their JSON text.
void JsonWriter::hold_key(Frame& f, std::size_t b, const std::string_view* raw) {
    f.key_at = keys_.size();
    if (raw)
        keys_.append(*raw);
    else
        keys_.append(text_, b);
    text_.resize(b);
    f.pending = true;
}

void JsonWriter::add_entry(Frame& f, std::size_t key_at, std::size_t key_len, std::size_t b) {
    bool first = entries_.size() == f.entries;
    Entry e{key_at, key_len, b + (first ? 0 : 1), text_.size()};
    if (!first) {
        const Entry& prev = entries_.back();
        if (std::string_view(keys_).substr(prev.key_at, prev.key_len) >= std::string_view(keys_).substr(key_at, key_len))
            f.sorted = false;
    }
    entries_.push_back(e);
}

JsonWriter::Frame JsonWriter::close_top() {
    Frame f = frames_.back();
    frames_.pop_back();
    // Members in key order, the last of equal keys kept; null when they already are.
    auto members = [&](std::size_t& count) -> std::string {
        std::vector<std::size_t> order(entries_.size() - f.entries);
        for (std::size_t i = 0; i < order.size(); ++i) order[i] = f.entries + i;
        auto key = [&](std::size_t i) { return std::string_view(keys_).substr(entries_[i].key_at, entries_[i].key_len); };
        std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return key(a) < key(b); });
        std::string out;
        out.reserve(text_.size() - f.start);
        bool first = true;
        for (std::size_t i = 0; i < order.size(); ++i) {
            if (i + 1 < order.size() && key(order[i]) == key(order[i + 1])) continue;
            if (!first) out.push_back(',');
            first = false;
            ++count;
            const Entry& e = entries_[order[i]];
            out.append(text_, e.begin, e.end - e.begin);
        }
        return out;
    };
    switch (f.kind) {
    case Frame::Struct:
        if (f.sorted) {
            text_.push_back('}');
        } else {
            std::size_t count = 0;
            std::string body = members(count);
            text_.resize(f.start);
            text_.push_back('{');
            text_.append(body);
            text_.push_back('}');
        }
        break;
    case Frame::List:
        if (f.count != f.declared) {
            std::string digits;
            append_int(digits, f.count);
            text_.replace(f.count_at, f.count_len, digits);
        }
        text_.push_back(']');
        break;
    case Frame::Map: {
        std::size_t n = entries_.size() - f.entries;
        if (f.sorted && n == f.declared) {
            text_.append("}]");
        } else {
            std::size_t distinct = 0;
            std::string body = members(distinct);
            text_.resize(f.start);
            text_.push_back('[');
            append_type_name(text_, f.type);
            text_.push_back(',');
            append_type_name(text_, f.value_type);
            text_.push_back(',');
            append_int(text_, distinct);
            text_.append(",{");
            text_.append(body);
            text_.append("}]");
        }
        break;
    }
    case Frame::Message:
        text_.back() = ']';  // the header alone: its trailing comma closes it
        break;
    }
    entries_.resize(f.entries);
    keys_.resize(f.keys);
    return f;
}

void JsonWriter::end_container() {
    if (frames_.empty()) stack_underflow();
    Frame f = close_top();
    end_value(f.outer);
}

void JsonWriter::emit(std::size_t b) {
    out_.append(text_.data() + b, text_.size() - b);
    text_.resize(b);
}

void JsonWriter::write_message_begin(std::string_view name, std::uint8_t type, std::int32_t seqid) {
    open(Frame::Message);
    text_.append("[1,");
    append_json_string(text_, name);
    text_.push_back(',');
    append_int(text_, type);
    text_.push_back(',');
    append_int(text_, seqid);
    text_.push_back(',');  // the body follows
}

void JsonWriter::write_message_end() {
    if (frames_.size() < 2) stack_underflow();
    close_top();  // the body: its text stays after the message header
    Frame m = frames_.back();
    frames_.pop_back();
    if (m.kind != Frame::Message) {
        entries_.resize(m.entries);
        keys_.resize(m.keys);
        text_.resize(m.outer);
        return;
    }
    text_.push_back(']');
    end_value(m.outer);
}

void JsonWriter::write_i64(std::int64_t v) {
    std::size_t b = begin_value();
    char digits[24];
    std::string_view raw(digits, static_cast<std::size_t>(std::to_chars(digits, digits + sizeof digits, v).ptr - digits));
    text_.push_back('"');
    text_.append(raw);
    text_.push_back('"');
    end_value(b, &raw);
}

void JsonWriter::write_double(double v) {
    std::size_t b = begin_value();
    if (!std::isfinite(v)) {
        std::string_view raw = std::isnan(v) ? "NaN" : v > 0 ? "Infinity" : "-Infinity";
        text_.push_back('"');
        text_.append(raw);
        text_.push_back('"');
        return end_value(b, &raw);
    }
    // Shortest text that reads back as the same double, kept recognisably
    // floating point.
    char digits[32];
    std::size_t n = static_cast<std::size_t>(std::to_chars(digits, digits + sizeof digits, v).ptr - digits);
    text_.append(digits, n);
    if (std::string_view(digits, n).find_first_of(".e") == std::string_view::npos) text_.append(".0");
    end_value(b);
}

void JsonWriter::write_string(std::string_view s) {
    std::size_t b = begin_value();
    append_json_string(text_, s);
    end_value(b, &s);
}

void JsonWriter::write_binary(std::string_view bytes) {
    std::size_t b = begin_value();
    std::size_t quote = text_.size();
    text_.push_back('"');
    base64_encode_to(bytes, text_);
    text_.push_back('"');
    std::string_view raw(text_.data() + quote + 1, text_.size() - quote - 2);
    end_value(b, &raw);
}

void JsonWriter::write_list_begin(TType element, std::size_t count) {
    checked_length(count);
    Frame& f = open(Frame::List);
    f.type = element;
    f.declared = count;
    text_.push_back('[');
    append_type_name(text_, element);
    text_.push_back(',');
    f.count_at = text_.size();
    append_int(text_, count);
    f.count_len = text_.size() - f.count_at;
}

void JsonWriter::write_map_begin(TType key, TType value, std::size_t count) {
    checked_length(count);
    Frame& f = open(Frame::Map);
    f.type = key;
    f.value_type = value;
    f.declared = count;
    text_.push_back('[');
    append_type_name(text_, key);
    text_.push_back(',');
    append_type_name(text_, value);
    text_.push_back(',');
    append_int(text_, count);
    text_.append(",{");
}

// ---------------------------------------------------------------- reader

void JsonReader::parse() {
    parsed_ = true;
    root_ = parse_json_document({reinterpret_cast<const char*>(data_), size_});
}

void JsonReader::open_struct(const Json& object) {
    const auto& members = object.get_ref<const Json::object_t&>();
    Frame& f = frames_.emplace_back(Frame::Struct);
    f.it = members.begin();
    f.end = members.end();
    f.left = members.size();
}

MessageHeader JsonReader::read_message_begin() {
    if (!parsed_) parse();
    const Json* root = root_taken_ ? nullptr : &root_;
    root_taken_ = true;
    if (!root || !root->is_array()) throw_invalid_field_type();
    const auto& a = root->get_ref<const Json::array_t&>();
    if (a.size() < 5) throw_invalid_data("JSON message array too short");
    MessageHeader h;
    if (a[1].is_string()) h.name = a[1].get_ref<const Json::string_t&>();
    h.type = 1;
    if (a[2].is_number_unsigned())
        h.type = static_cast<std::uint8_t>(a[2].get_ref<const Json::number_unsigned_t&>());
    else if (a[2].is_number_integer() && a[2].get_ref<const Json::number_integer_t&>() >= 0)
        h.type = static_cast<std::uint8_t>(a[2].get_ref<const Json::number_integer_t&>());
    h.seqid = static_cast<std::int32_t>(integer(a[3]));
    if (a[4].is_object()) open_struct(a[4]);
    return h;
}

void JsonReader::read_struct_begin() {
    const Json& v = take();
    if (!v.is_object()) throw_invalid_field_type();
    open_struct(v);
}

FieldHeader JsonReader::read_field_begin() {
    if (frames_.empty()) return {TType::Stop, 0};
    Frame& f = frames_.back();
    if (f.kind != Frame::Struct || f.it == f.end) return {TType::Stop, 0};
    const auto& [name, value] = *f.it;
    ++f.it;
    --f.left;
    FieldHeader h;
    std::int64_t id = parse_i64(name);
    h.id = id >= std::numeric_limits<std::int16_t>::min() && id <= std::numeric_limits<std::int16_t>::max()
               ? static_cast<std::int16_t>(id)
               : 0;
    if (!value.is_array()) throw_invalid_field_type();
    const auto& a = value.get_ref<const Json::array_t&>();
    if (a.size() < 2 || !json_type_from_name(a[0], h.type)) throw_invalid_field_type();
    f.current = &a[1];
    return h;
}

double JsonReader::read_double() {
    const Json& v = take();
    switch (v.type()) {
    case Json::value_t::number_float: return v.get_ref<const Json::number_float_t&>();
    case Json::value_t::number_integer: return static_cast<double>(v.get_ref<const Json::number_integer_t&>());
    case Json::value_t::number_unsigned: return static_cast<double>(v.get_ref<const Json::number_unsigned_t&>());
    case Json::value_t::string: {
        std::string_view s = v.get_ref<const Json::string_t&>();
        if (s.starts_with('+')) {
            s.remove_prefix(1);
            if (s.starts_with('-')) return 0.0;
        }
        double d = 0.0;
        auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), d);
        return ec == std::errc() && end == s.data() + s.size() ? d : 0.0;
    }
    default: return 0.0;
    }
}

std::string_view JsonReader::read_binary() {
    const Json& v = take();
    bytes_.clear();
    if (!v.is_string()) return {};
    if (!base64_decode(v.get_ref<const Json::string_t&>(), bytes_, error_)) throw_invalid_data(error_);
    return bytes_;
}

ListHeader JsonReader::read_list_begin() {
    const Json& v = take();
    if (!v.is_array()) throw_invalid_field_type();
    const auto& a = v.get_ref<const Json::array_t&>();
    ListHeader h;
    if (a.size() < 2 || !json_type_from_name(a[0], h.element)) throw_invalid_field_type();
    h.count = static_cast<std::int32_t>(integer(a[1]));
    Frame& f = frames_.emplace_back(Frame::List);
    f.key_type = h.element;
    f.items = &a;
    f.index = 2;
    return h;
}

MapHeader JsonReader::read_map_begin() {
    const Json& v = take();
    if (!v.is_array()) throw_invalid_field_type();
    const auto& a = v.get_ref<const Json::array_t&>();
    MapHeader h;
    if (a.size() < 4 || !json_type_from_name(a[0], h.key) || !json_type_from_name(a[1], h.value) || !a[3].is_object())
        throw_invalid_field_type();
    h.count = static_cast<std::int32_t>(integer(a[2]));
    const auto& pairs = a[3].get_ref<const Json::object_t&>();
    Frame& f = frames_.emplace_back(Frame::Map);
    f.key_type = h.key;
    f.value_type = h.value;
    f.it = pairs.begin();
    f.end = pairs.end();
    f.left = pairs.size();
    return h;
}

const Json* JsonReader::pop_entry(Frame& f) {
    if (f.it == f.end) return nullptr;
    if (!f.key_next) {
        const Json* v = &f.it->second;
        ++f.it;
        --f.left;
        f.key_next = true;
        return v;
    }
    f.key_next = false;
    const std::string& text = f.it->first;
    switch (f.key_type) {
    case TType::Byte:
    case TType::I16:
    case TType::I32: f.key = parse_i64(text); break;
    case TType::Bool: f.key = std::int64_t(text == "1" || text == "true" ? 1 : 0); break;
    default: f.key = text; break;
    }
    return &f.key;
}

void JsonReader::skip(TType type, int depth) {
    switch (type) {
    case TType::Stop:
    case TType::Void: return;
    case TType::Struct: skip_struct(*this, depth); return;
    case TType::List:
    case TType::Set: {
        if (depth >= max_depth) throw_depth();
        ListHeader h = read_list_begin();
        for (std::int32_t i = 0; i < h.count; ++i) skip(h.element, depth + 1);
        read_list_end();
        return;
    }
    case TType::Map: {
        if (depth >= max_depth) throw_depth();
        MapHeader h = read_map_begin();
        for (std::int32_t i = 0; i < h.count; ++i) {
            skip(h.key, depth + 1);
            skip(h.value, depth + 1);
        }
        read_map_end();
        return;
    }
    default: take(); return;
    }
}

std::size_t JsonReader::remaining() const {
    if (!parsed_) return size_;
    if (frames_.empty()) return root_taken_ ? 0 : 1;
    const Frame& f = frames_.back();
    switch (f.kind) {
    case Frame::Struct: return f.left + (f.current ? 1 : 0);
    case Frame::List: return f.items->size() - f.index;
    case Frame::Map: return f.left;
    }
    return 0;
}

std::int64_t JsonReader::parse_i64(std::string_view text) {
    if (text.starts_with('+')) {
        text.remove_prefix(1);
        if (text.starts_with('-')) return 0;
    }
    std::int64_t v = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    return ec == std::errc() && end == text.data() + text.size() ? v : 0;
}

}  // namespace vantrel::protocol
