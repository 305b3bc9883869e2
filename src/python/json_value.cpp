// Reading structs from JSON documents: the protocol form that the JSON writer
// produces, and a hand-written form whose "payload" object names the fields.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

#include "protocol/json.hpp"
#include "protocol/text.hpp"
#include "python/instance.hpp"
#include "python/serialize.hpp"
#include "python/value.hpp"

namespace vantrel::py {

using ast::Kind;
using ast::ThriftType;
using ast::ThriftValue;
using protocol::JsonNode;
using protocol::JsonTape;
using schema::StructMap;
using Node = JsonNode::Kind;

namespace {

ThriftValue wrap(auto v) { return ThriftValue{ThriftValue::Storage(std::move(v))}; }

// A decimal integer of type T: optional sign, digits only, no overflow.
template <class T>
bool parse_integer(std::string_view text, T& out) {
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
        if (!text.empty() && text.front() == '-') return false;
    }
    if (text.empty()) return false;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && end == text.data() + text.size();
}

// A decimal floating-point number; also NaN and the infinities by name.
bool parse_double(std::string_view text, double& out) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty() || text.front() == '+') return false;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    if (end != text.data() + text.size()) return false;
    if (ec == std::errc::result_out_of_range) {
        // Beyond a double's range: the nearest value (an infinity or zero).
        out = std::strtod(std::string(text).c_str(), nullptr);
        return true;
    }
    return ec == std::errc();
}

// A JSON integer as a signed 64-bit value, if it is one.
bool json_integer(const JsonNode& j, std::int64_t& out) {
    if (j.kind == Node::Unsigned) {
        if (j.u > std::uint64_t(std::numeric_limits<std::int64_t>::max())) return false;
        out = std::int64_t(j.u);
        return true;
    }
    if (j.kind == Node::Signed) {
        out = j.i;
        return true;
    }
    return false;
}

std::int64_t json_i64(const JsonNode& j) {
    std::int64_t v = 0;
    if (json_integer(j, v)) return v;
    if (j.kind == Node::String && parse_integer(j.str(), v)) return v;
    raise(PyExc_ValueError, "expected JSON integer");
}

bool json_truth(const JsonNode& j) {
    switch (j.kind) {
        case Node::True: return true;
        case Node::Signed: return j.i != 0;
        case Node::Unsigned: return j.u != 0;
        default: return false;
    }
}

bool is_number(const JsonNode& j) { return j.kind == Node::Signed || j.kind == Node::Unsigned || j.kind == Node::Double; }

double number_value(const JsonNode& j) {
    if (j.kind == Node::Signed) return double(j.i);
    if (j.kind == Node::Unsigned) return double(j.u);
    return j.d;
}

// The members of an object in key order, a repeated key keeping its last
// value: f(key, value index).
template <class F>
void for_each_member(const JsonTape& t, std::uint32_t object, F&& f) {
    bool in_order = true;
    std::string_view previous;
    bool first = true;
    for (std::uint32_t at = JsonTape::first(object); at < t[object].end; at = t.next(t.next(at))) {
        std::string_view key = t[at].str();
        if (!first && !(previous < key)) {
            in_order = false;
            break;
        }
        previous = key;
        first = false;
    }
    if (in_order) {  // what the writer produces: no sorting needed
        for (std::uint32_t at = JsonTape::first(object); at < t[object].end; at = t.next(t.next(at)))
            f(t[at].str(), t.next(at));
        return;
    }
    std::vector<std::pair<std::string_view, std::uint32_t>> members;
    for (std::uint32_t at = JsonTape::first(object); at < t[object].end; at = t.next(t.next(at)))
        members.emplace_back(t[at].str(), t.next(at));
    std::stable_sort(members.begin(), members.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (std::size_t k = 0; k < members.size(); ++k) {
        if (k + 1 < members.size() && members[k + 1].first == members[k].first) continue;
        f(members[k].first, members[k].second);
    }
}

// The value of a member (the last one of that name), or 0 when absent.
std::uint32_t find_member(const JsonTape& t, std::uint32_t object, std::string_view name) {
    std::uint32_t found = 0;
    for (std::uint32_t at = JsonTape::first(object); at < t[object].end; at = t.next(t.next(at)))
        if (t[at].str() == name) found = t.next(at);
    return found;
}

// Item `k` of an array.
std::uint32_t item(const JsonTape& t, std::uint32_t array, std::uint32_t k) {
    std::uint32_t at = JsonTape::first(array);
    while (k--) at = t.next(at);
    return at;
}

template <class T>
T key_integer(std::string_view text) {
    T v = 0;
    return parse_integer(text, v) ? v : T(0);
}

ThriftValue payload_value(const ThriftType& type, const JsonTape& t, std::uint32_t i, const StructMap* structs,
                          int depth);

ThriftValue payload_key(const ThriftType& type, std::string_view text) {
    switch (type.kind) {
        case Kind::Byte: return wrap(key_integer<std::int8_t>(text));
        case Kind::I16: return wrap(key_integer<std::int16_t>(text));
        case Kind::I32: return wrap(key_integer<std::int32_t>(text));
        case Kind::I64: return wrap(key_integer<std::int64_t>(text));
        default: return wrap(std::string(text));
    }
}

// The named fields of one struct from an object: declared fields in order,
// defaults for the absent ones, other members ignored.
std::shared_ptr<ast::FieldMap> payload_fields(const schema::StructRecord& entry, const JsonTape& t, std::uint32_t object,
                                              const StructMap* structs, int depth) {
    auto fields = std::make_shared<ast::FieldMap>();
    for (const ast::ThriftField& field : entry.fields) {
        if (std::uint32_t member = find_member(t, object, field.name))
            fields->set(field.name, payload_value(field.field_type, t, member, structs, depth));
        else if (field.default_value)
            fields->set(field.name, *field.default_value);
    }
    return fields;
}

ThriftValue payload_value(const ThriftType& type, const JsonTape& t, std::uint32_t i, const StructMap* structs,
                          int depth) {
    const JsonNode& j = t[i];
    switch (type.kind) {
        case Kind::Bool: return wrap(json_truth(j));
        case Kind::Byte: return wrap(static_cast<std::int8_t>(json_i64(j)));
        case Kind::I16: return wrap(static_cast<std::int16_t>(json_i64(j)));
        case Kind::I32: return wrap(static_cast<std::int32_t>(json_i64(j)));
        case Kind::I64: return wrap(json_i64(j));
        case Kind::Double: return wrap(is_number(j) ? number_value(j) : 0.0);
        case Kind::String: return wrap(j.kind == Node::String ? std::string(j.str()) : std::string());
        case Kind::Binary: {
            if (j.kind != Node::String) return wrap(ast::BinaryValue{});
            std::string bytes, error;
            if (!protocol::base64_decode(j.str(), bytes, error)) bytes = std::string(j.str());
            return wrap(ast::BinaryValue{std::move(bytes)});
        }
        case Kind::List:
        case Kind::Set: {
            std::vector<ThriftValue> items;
            if (j.kind == Node::Array) {
                enter(depth);
                items.reserve(j.count);
                for (std::uint32_t at = JsonTape::first(i); at < j.end; at = t.next(at))
                    items.push_back(payload_value(type.element(), t, at, structs, depth));
            }
            if (type.kind == Kind::List) return wrap(ast::ListValue{std::move(items)});
            return wrap(ast::SetValue{std::move(items)});
        }
        case Kind::Map: {
            ast::MapValue map;
            if (j.kind == Node::Object) {
                enter(depth);
                for_each_member(t, i, [&](std::string_view key, std::uint32_t value) {
                    ThriftValue k = payload_key(type.key(), key);
                    map.entries.emplace_back(std::move(k), payload_value(type.value(), t, value, structs, depth));
                });
            }
            return wrap(std::move(map));
        }
        case Kind::Struct: {
            auto entry = schema::find_struct(structs, type.name);
            if (!entry || j.kind != Node::Object) return wrap(ast::StructValue{type.name, nullptr});
            enter(depth);
            return wrap(ast::StructValue{type.name, payload_fields(*entry, t, i, structs, depth)});
        }
    }
    raise(PyExc_TypeError, "unknown type kind");
}

// ---------------------------------------------------------------- protocol form

Ref json_to_py(const JsonTape& t, std::uint32_t i, const ThriftType& type,
               const std::shared_ptr<const StructMap>& structs, int depth);

Ref json_key_to_py(const ThriftType& type, std::string_view text) {
    switch (type.kind) {
        case Kind::Bool: {
            bool truth = text == "1" || (text.size() == 4 && (text[0] | 0x20) == 't' && (text[1] | 0x20) == 'r' &&
                                         (text[2] | 0x20) == 'u' && (text[3] | 0x20) == 'e');
            return boolean(truth);
        }
        case Kind::Byte: return integer(key_integer<std::int8_t>(text));
        case Kind::I16: return integer(key_integer<std::int16_t>(text));
        case Kind::I32: return integer(key_integer<std::int32_t>(text));
        case Kind::I64: return integer(key_integer<std::int64_t>(text));
        case Kind::Double: {
            double v = 0.0;
            if (!parse_double(text, v)) v = 0.0;
            return own(PyFloat_FromDouble(v));
        }
        default: return str(text);
    }
}

// A protocol-form struct object ("id": [type name, value, ...]) as an
// instance whose Python values hold the declared fields.
Ref instance_from_members(const schema::StructRecord& entry, const std::string& name, const JsonTape& t,
                          std::uint32_t object, const std::shared_ptr<const StructMap>& structs, int depth) {
    Ref obj = new_instance(name, entry.layout, nullptr, structs);
    InstanceObject& inst = value_of<InstanceObject>(obj.get());
    for_each_member(t, object, [&](std::string_view key, std::uint32_t value) {
        const JsonNode& v = t[value];
        if (v.kind != Node::Array || v.count < 2) return;
        int index = entry.index_of(key_integer<std::int16_t>(key));
        if (index < 0) return;
        Ref converted = json_to_py(t, item(t, value, 1), entry.fields[std::size_t(index)].field_type, structs, depth);
        inst.set_value(entry.layout->slot_of_field[std::size_t(index)], converted.release());
    });
    return obj;
}

Ref json_to_py(const JsonTape& t, std::uint32_t i, const ThriftType& type,
               const std::shared_ptr<const StructMap>& structs, int depth) {
    const JsonNode& j = t[i];
    switch (type.kind) {
        case Kind::Bool: return boolean(json_truth(j));
        case Kind::Byte:
        case Kind::I16:
        case Kind::I32: {
            std::int64_t v = 0;
            if (!json_integer(j, v)) v = 0;
            if (type.kind == Kind::Byte) return integer(static_cast<std::int8_t>(v));
            if (type.kind == Kind::I16) return integer(static_cast<std::int16_t>(v));
            return integer(static_cast<std::int32_t>(v));
        }
        case Kind::I64: {
            std::int64_t v = 0;
            if (json_integer(j, v)) return integer(v);
            if (j.kind == Node::String) return integer(key_integer<std::int64_t>(j.str()));
            return integer(0);
        }
        case Kind::Double: {
            double v = 0.0;
            if (is_number(j)) {
                v = number_value(j);
            } else if (j.kind == Node::String) {
                if (!parse_double(j.str(), v)) v = 0.0;
            }
            return own(PyFloat_FromDouble(v));
        }
        case Kind::String: return str(j.kind == Node::String ? j.str() : std::string_view());
        case Kind::Binary: {
            std::string bytes, error;
            if (j.kind == Node::String && !protocol::base64_decode(j.str(), bytes, error))
                raise(PyExc_ValueError, "Base64 error: " + error);
            return own(PyBytes_FromStringAndSize(bytes.data(), Py_ssize_t(bytes.size())));
        }
        case Kind::List:
        case Kind::Set: {
            if (j.kind != Node::Array) raise(PyExc_TypeError, "Expected JSON array");
            enter(depth);
            std::uint32_t n = j.count < 3 ? 0 : j.count - 2;
            Ref list = new_list(Py_ssize_t(n));
            std::uint32_t at = n ? item(t, i, 2) : 0;
            for (std::uint32_t k = 0; k < n; ++k, at = t.next(at))
                list_set(list, Py_ssize_t(k), json_to_py(t, at, type.element(), structs, depth));
            return list;
        }
        case Kind::Map: {
            if (j.kind != Node::Array) raise(PyExc_TypeError, "Expected JSON array for map");
            if (j.count < 4) raise(PyExc_TypeError, "Map array too short");
            std::uint32_t object = item(t, i, 3);
            if (t[object].kind != Node::Object) raise(PyExc_TypeError, "Expected JSON object in map");
            enter(depth);
            Ref dict = new_dict();
            for_each_member(t, object, [&](std::string_view key, std::uint32_t value) {
                Ref k = json_key_to_py(type.key(), key);
                dict_set(dict, k, json_to_py(t, value, type.value(), structs, depth));
            });
            return dict;
        }
        case Kind::Struct: {
            auto entry = schema::find_struct(structs.get(), type.name);
            if (!entry) raise(PyExc_ValueError, "Unknown struct: " + type.name);
            if (j.kind != Node::Object) raise(PyExc_TypeError, "Expected JSON object for struct");
            enter(depth);
            return instance_from_members(*entry, type.name, t, i, structs, depth);
        }
    }
    raise(PyExc_TypeError, "unknown type kind");
}

// A 4-byte big-endian length that matches the rest of the data, as the
// framed transport writes it.
std::string_view without_length_prefix(std::string_view data) {
    if (data.size() < 4) return data;
    auto b = [&](std::size_t i) { return std::uint32_t(static_cast<unsigned char>(data[i])); };
    std::uint32_t length = (b(0) << 24) | (b(1) << 16) | (b(2) << 8) | b(3);
    if (length == data.size() - 4) data.remove_prefix(4);
    return data;
}

}  // namespace

Ref deserialize_json_struct(const schema::StructRecord& record, std::string_view data) {
    const std::shared_ptr<const StructMap>& structs = record.struct_map;
    std::string_view unprefixed = without_length_prefix(data);
    // Named-field form first: {"payload": {"field": value, ...}}.
    JsonTape tape;
    bool parsed = false;
    try {
        tape = protocol::parse_json_tape(unprefixed);
        parsed = true;
    } catch (const protocol::ProtocolError&) {
    }
    if (parsed && tape[0].kind == Node::Object) {
        std::uint32_t payload = find_member(tape, 0, "payload");
        if (payload && tape[payload].kind == Node::Object) {
            auto fields = payload_fields(record, tape, payload, structs.get(), 0);
            return new_instance(record.name, record.layout, fields->empty() ? nullptr : std::move(fields), structs);
        }
    }
    // Otherwise the protocol form, read from all of the data.
    if (!parsed || unprefixed.size() != data.size()) {
        try {
            tape = protocol::parse_json_tape(data);
        } catch (const protocol::ProtocolError& e) {
            raise(PyExc_ValueError, "JSON parse error: " + e.to_io().text);
        }
    }
    if (tape[0].kind != Node::Object) raise(PyExc_TypeError, "Expected JSON object for struct");
    return instance_from_members(record, record.name, tape, 0, structs, 0);
}

}  // namespace vantrel::py
