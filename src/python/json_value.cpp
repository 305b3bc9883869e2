// Reading structs from JSON documents: the protocol form that the JSON writer
// produces, and a hand-written form whose "payload" object names the fields.
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
using json = nlohmann::json;
using schema::StructMap;

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
bool json_integer(const json& j, std::int64_t& out) {
    if (j.is_number_unsigned()) {
        auto v = j.get<std::uint64_t>();
        if (v > std::uint64_t(std::numeric_limits<std::int64_t>::max())) return false;
        out = std::int64_t(v);
        return true;
    }
    if (j.is_number_integer()) {
        out = j.get<std::int64_t>();
        return true;
    }
    return false;
}

std::int64_t json_i64(const json& j) {
    std::int64_t v = 0;
    if (json_integer(j, v)) return v;
    if (j.is_string() && parse_integer(std::string_view(j.get_ref<const std::string&>()), v)) return v;
    raise(PyExc_ValueError, "expected JSON integer");
}

bool json_truth(const json& j) {
    if (j.is_boolean()) return j.get<bool>();
    std::int64_t v = 0;
    if (json_integer(j, v)) return v != 0;
    if (j.is_number_unsigned()) return true;  // above the signed range, so non-zero
    return false;
}

const std::string* json_text(const json& j) { return j.is_string() ? &j.get_ref<const std::string&>() : nullptr; }

template <class T>
T key_integer(std::string_view text) {
    T v = 0;
    return parse_integer(text, v) ? v : T(0);
}

ThriftValue payload_value(const ThriftType& type, const json& j, const StructMap* structs, int depth);

ThriftValue payload_key(const ThriftType& type, const std::string& text) {
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
std::shared_ptr<ast::FieldMap> payload_fields(const schema::StructRecord& entry, const json& object,
                                              const StructMap* structs, int depth) {
    auto fields = std::make_shared<ast::FieldMap>();
    for (const ast::ThriftField& field : entry.fields) {
        auto member = object.find(field.name);
        if (member != object.end())
            fields->set(field.name, payload_value(field.field_type, *member, structs, depth));
        else if (field.default_value)
            fields->set(field.name, *field.default_value);
    }
    return fields;
}

ThriftValue payload_value(const ThriftType& type, const json& j, const StructMap* structs, int depth) {
    switch (type.kind) {
        case Kind::Bool: return wrap(json_truth(j));
        case Kind::Byte: return wrap(static_cast<std::int8_t>(json_i64(j)));
        case Kind::I16: return wrap(static_cast<std::int16_t>(json_i64(j)));
        case Kind::I32: return wrap(static_cast<std::int32_t>(json_i64(j)));
        case Kind::I64: return wrap(json_i64(j));
        case Kind::Double: return wrap(j.is_number() ? j.get<double>() : 0.0);
        case Kind::String: {
            const std::string* text = json_text(j);
            return wrap(text ? *text : std::string());
        }
        case Kind::Binary: {
            const std::string* text = json_text(j);
            if (!text) return wrap(ast::BinaryValue{});
            std::string bytes, error;
            if (!protocol::base64_decode(*text, bytes, error)) bytes = *text;
            return wrap(ast::BinaryValue{std::move(bytes)});
        }
        case Kind::List:
        case Kind::Set: {
            std::vector<ThriftValue> items;
            if (j.is_array()) {
                enter(depth);
                items.reserve(j.size());
                for (const json& item : j) items.push_back(payload_value(type.element(), item, structs, depth));
            }
            if (type.kind == Kind::List) return wrap(ast::ListValue{std::move(items)});
            return wrap(ast::SetValue{std::move(items)});
        }
        case Kind::Map: {
            ast::MapValue map;
            if (j.is_object()) {
                enter(depth);
                for (const auto& [key, value] : j.items()) {
                    ThriftValue k = payload_key(type.key(), key);
                    map.entries.emplace_back(std::move(k), payload_value(type.value(), value, structs, depth));
                }
            }
            return wrap(std::move(map));
        }
        case Kind::Struct: {
            auto entry = schema::find_struct(structs, type.name);
            if (!entry || !j.is_object()) return wrap(ast::StructValue{type.name, nullptr});
            enter(depth);
            return wrap(ast::StructValue{type.name, payload_fields(*entry, j, structs, depth)});
        }
    }
    raise(PyExc_TypeError, "unknown type kind");
}

// ---------------------------------------------------------------- protocol form

Ref json_to_py(const json& j, const ThriftType& type, const std::shared_ptr<const StructMap>& structs, int depth);

Ref json_key_to_py(const ThriftType& type, const std::string& text) {
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

// The members of a protocol-form struct object: "id": [type name, value].
template <class F>
void for_each_field_member(const json& object, const schema::StructRecord& entry, F&& f) {
    for (const auto& [key, value] : object.items()) {
        std::int16_t id = key_integer<std::int16_t>(key);
        if (!value.is_array() || value.size() < 2) continue;
        int index = entry.index_of(id);
        if (index < 0) continue;
        f(entry.fields[std::size_t(index)], value[1]);
    }
}

Ref instance_from_members(const schema::StructRecord& entry, const std::string& name, const json& object,
                          const std::shared_ptr<const StructMap>& structs, int depth) {
    Ref obj = new_instance(name, entry.layout, nullptr, structs);
    InstanceObject& inst = value_of<InstanceObject>(obj.get());
    for_each_field_member(object, entry, [&](const ast::ThriftField& field, const json& value) {
        Ref converted = json_to_py(value, field.field_type, structs, depth);
        inst.set_value(std::size_t(entry.layout->slot_of(field.name)), converted.release());
    });
    return obj;
}

Ref json_to_py(const json& j, const ThriftType& type, const std::shared_ptr<const StructMap>& structs, int depth) {
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
            if (const std::string* text = json_text(j)) return integer(key_integer<std::int64_t>(*text));
            return integer(0);
        }
        case Kind::Double: {
            double v = 0.0;
            if (j.is_number()) {
                v = j.get<double>();
            } else if (const std::string* text = json_text(j)) {
                if (!parse_double(*text, v)) v = 0.0;
            }
            return own(PyFloat_FromDouble(v));
        }
        case Kind::String: {
            const std::string* text = json_text(j);
            return str(text ? std::string_view(*text) : std::string_view());
        }
        case Kind::Binary: {
            const std::string* text = json_text(j);
            std::string bytes, error;
            if (text && !protocol::base64_decode(*text, bytes, error)) raise(PyExc_ValueError, "Base64 error: " + error);
            return own(PyBytes_FromStringAndSize(bytes.data(), Py_ssize_t(bytes.size())));
        }
        case Kind::List:
        case Kind::Set: {
            if (!j.is_array()) raise(PyExc_TypeError, "Expected JSON array");
            enter(depth);
            std::size_t n = j.size() < 3 ? 0 : j.size() - 2;
            Ref list = new_list(Py_ssize_t(n));
            for (std::size_t i = 0; i < n; ++i)
                list_set(list, Py_ssize_t(i), json_to_py(j[i + 2], type.element(), structs, depth));
            return list;
        }
        case Kind::Map: {
            if (!j.is_array()) raise(PyExc_TypeError, "Expected JSON array for map");
            if (j.size() < 4) raise(PyExc_TypeError, "Map array too short");
            const json& object = j[3];
            if (!object.is_object()) raise(PyExc_TypeError, "Expected JSON object in map");
            enter(depth);
            Ref dict = new_dict();
            for (const auto& [key, value] : object.items()) {
                Ref k = json_key_to_py(type.key(), key);
                dict_set(dict, k, json_to_py(value, type.value(), structs, depth));
            }
            return dict;
        }
        case Kind::Struct: {
            auto entry = schema::find_struct(structs.get(), type.name);
            if (!entry) raise(PyExc_ValueError, "Unknown struct: " + type.name);
            if (!j.is_object()) raise(PyExc_TypeError, "Expected JSON object for struct");
            enter(depth);
            return instance_from_members(*entry, type.name, j, structs, depth);
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
    // Named-field form first: {"payload": {"field": value, ...}}.
    try {
        json root = protocol::parse_json_document(without_length_prefix(data));
        if (root.is_object()) {
            auto payload = root.find("payload");
            if (payload != root.end() && payload->is_object()) {
                auto fields = payload_fields(record, *payload, structs.get(), 0);
                return new_instance(record.name, record.layout, fields->empty() ? nullptr : std::move(fields), structs);
            }
        }
    } catch (const protocol::ProtocolError&) {
    }
    json root;
    try {
        root = protocol::parse_json_document(data);
    } catch (const protocol::ProtocolError& e) {
        raise(PyExc_ValueError, "JSON parse error: " + e.to_io().text);
    }
    if (!root.is_object()) raise(PyExc_TypeError, "Expected JSON object for struct");
    return instance_from_members(record, record.name, root, structs, 0);
}

}  // namespace vantrel::py
