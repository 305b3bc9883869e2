// Schema-driven reading from any protocol reader: into native value trees
// (no Python objects while reading), or straight into Python objects.
#pragma once

#include <algorithm>
#include <array>
#include <memory>
#include <string>
#include <vector>

#include "parser/ast.hpp"
#include "protocol/types.hpp"
#include "python/instance.hpp"
#include "python/schema.hpp"
#include "python/value.hpp"

namespace vantrel::py {

using protocol::ProtocolError;
using protocol::TType;

namespace detail {

inline void enter_native(int& depth) {
    if (++depth > protocol::max_depth) throw ProtocolError::invalid_data(std::string(protocol::depth_error));
}

// A count from a collection header; negative counts are refused.
inline std::size_t checked_count(std::int32_t count) {
    if (count < 0) throw ProtocolError::invalid_data("negative collection size: " + std::to_string(count));
    return std::size_t(count);
}

// Never reserve more than the input can still hold.
template <class R>
std::size_t reservation(const R& r, std::size_t count) {
    return std::min(count, r.remaining());
}

// A field the declaration does not have; its failures read as invalid data.
template <class R>
void skip_unknown_field(R& r, TType type, int depth) {
    try {
        r.skip(type, depth);
    } catch (const ProtocolError& e) {
        throw ProtocolError::invalid_data(e.to_io().text);
    }
}

// Lists and sets differ only in which begin and end operations frame them.
template <class R>
protocol::ListHeader read_sequence_begin(R& r, bool is_list) {
    return is_list ? r.read_list_begin() : r.read_set_begin();
}
template <class R>
void read_sequence_end(R& r, bool is_list) {
    if (is_list)
        r.read_list_end();
    else
        r.read_set_end();
}

inline ast::ThriftValue wrap(auto v) { return ast::ThriftValue{ast::ThriftValue::Storage(std::move(v))}; }

}  // namespace detail

template <class R>
ast::ThriftValue read_decoded_value(R& r, const ast::ThriftType& type, const schema::StructMap* structs, int depth);

// One struct body (field headers, values, STOP) into field name -> value.
// The caller brackets it with the reader's struct begin and end.
template <class R>
ast::FieldMap deserialize_decoded_struct(R& r, const schema::StructRecord& record, const schema::StructMap* structs,
                                         int depth) {
    const schema::FieldLayout& layout = *record.layout;
    ast::FieldMap fields;
    fields.reserve(std::min(record.fields.size(), r.remaining()));
    // Where each slot's value sits in `fields`, so a repeated field replaces.
    constexpr std::size_t inline_slots = 64;
    std::array<int, inline_slots> inline_pos;
    std::vector<int> heap_pos;
    int* pos_of_slot = inline_pos.data();
    if (layout.slots() > inline_slots) {
        heap_pos.assign(layout.slots(), -1);
        pos_of_slot = heap_pos.data();
    } else {
        std::fill_n(pos_of_slot, layout.slots(), -1);
    }
    for (;;) {
        protocol::FieldHeader header = r.read_field_begin();
        if (header.type == TType::Stop) break;
        int index = record.index_of(header.id);
        if (index >= 0) {
            const ast::ThriftField& field = record.fields[std::size_t(index)];
            std::size_t slot = layout.slot_of_field[std::size_t(index)];
            ast::ThriftValue value = read_decoded_value(r, field.field_type, structs, depth);
            if (pos_of_slot[slot] >= 0) {
                fields.value_at(std::size_t(pos_of_slot[slot])) = std::move(value);
            } else {
                pos_of_slot[slot] = int(fields.size());
                fields.append(layout.slot_names[slot], std::move(value));
            }
        } else {
            detail::skip_unknown_field(r, header.type, depth);
        }
        r.read_field_end();
    }
    return fields;
}

template <class R>
ast::ThriftValue read_decoded_value(R& r, const ast::ThriftType& type, const schema::StructMap* structs, int depth) {
    using ast::Kind;
    using detail::wrap;
    switch (type.kind) {
        case Kind::Bool: return wrap(r.read_bool());
        case Kind::Byte: return wrap(r.read_byte());
        case Kind::I16: return wrap(r.read_i16());
        case Kind::I32: return wrap(r.read_i32());
        case Kind::I64: return wrap(r.read_i64());
        case Kind::Double: return wrap(r.read_double());
        case Kind::String: return wrap(std::string(r.read_string()));
        case Kind::Binary: return wrap(ast::BinaryValue{std::string(r.read_binary())});
        case Kind::List:
        case Kind::Set: {
            detail::enter_native(depth);
            bool is_list = type.kind == Kind::List;
            protocol::ListHeader header = detail::read_sequence_begin(r, is_list);
            std::size_t count = detail::checked_count(header.count);
            std::vector<ast::ThriftValue> items;
            items.reserve(detail::reservation(r, count));
            for (std::size_t i = 0; i < count; ++i) items.push_back(read_decoded_value(r, type.element(), structs, depth));
            detail::read_sequence_end(r, is_list);
            if (is_list) return wrap(ast::ListValue{std::move(items)});
            return wrap(ast::SetValue{std::move(items)});
        }
        case Kind::Map: {
            detail::enter_native(depth);
            protocol::MapHeader header = r.read_map_begin();
            std::size_t count = detail::checked_count(header.count);
            ast::MapValue map;
            map.entries.reserve(detail::reservation(r, count));
            for (std::size_t i = 0; i < count; ++i) {
                ast::ThriftValue key = read_decoded_value(r, type.key(), structs, depth);
                map.entries.emplace_back(std::move(key), read_decoded_value(r, type.value(), structs, depth));
            }
            r.read_map_end();
            return wrap(std::move(map));
        }
        case Kind::Struct: {
            auto entry = schema::find_struct(structs, type.name);
            if (!entry) throw ProtocolError::invalid_data("Unknown struct type: " + type.name);
            detail::enter_native(depth);
            r.read_struct_begin();
            auto fields = std::make_shared<ast::FieldMap>(deserialize_decoded_struct(r, *entry, structs, depth));
            r.read_struct_end();
            return wrap(ast::StructValue{type.name, std::move(fields)});
        }
    }
    throw ProtocolError::invalid_data("unknown type kind");
}

template <class R>
void scan_struct_fields(R& r, const schema::StructRecord& record, const schema::StructMap* structs, int depth,
                        Slot* slots, std::size_t origin, std::shared_ptr<ast::FieldMap>* eager = nullptr);

// Checks one value of a declared type exactly as read_decoded_value reads
// it, without building anything.
template <class R>
void scan_value(R& r, const ast::ThriftType& type, const schema::StructMap* structs, int depth) {
    using ast::Kind;
    switch (type.kind) {
        case Kind::Bool: r.read_bool(); return;
        case Kind::Byte: r.read_byte(); return;
        case Kind::I16: r.read_i16(); return;
        case Kind::I32: r.read_i32(); return;
        case Kind::I64: r.read_i64(); return;
        case Kind::Double: r.read_double(); return;
        case Kind::String: r.read_string(); return;
        case Kind::Binary: r.read_binary(); return;
        case Kind::List:
        case Kind::Set: {
            detail::enter_native(depth);
            bool is_list = type.kind == Kind::List;
            protocol::ListHeader header = detail::read_sequence_begin(r, is_list);
            std::size_t count = detail::checked_count(header.count);
            for (std::size_t i = 0; i < count; ++i) scan_value(r, type.element(), structs, depth);
            detail::read_sequence_end(r, is_list);
            return;
        }
        case Kind::Map: {
            detail::enter_native(depth);
            protocol::MapHeader header = r.read_map_begin();
            std::size_t count = detail::checked_count(header.count);
            for (std::size_t i = 0; i < count; ++i) {
                scan_value(r, type.key(), structs, depth);
                scan_value(r, type.value(), structs, depth);
            }
            r.read_map_end();
            return;
        }
        case Kind::Struct: {
            auto entry = schema::find_struct(structs, type.name);
            if (!entry) throw ProtocolError::invalid_data("Unknown struct type: " + type.name);
            detail::enter_native(depth);
            r.read_struct_begin();
            scan_struct_fields(r, *entry, structs, depth, nullptr, 0);
            r.read_struct_end();
            return;
        }
    }
}

// Checks one struct body as deserialize_decoded_struct reads it. With
// `slots`, records where each declared field's value starts (`origin` is the
// reader's start in the message); the last occurrence of a field wins. The
// few fields that must be decoded at once go into `*eager`, made on demand.
template <class R>
void scan_struct_fields(R& r, const schema::StructRecord& record, const schema::StructMap* structs, int depth,
                        Slot* slots, std::size_t origin, std::shared_ptr<ast::FieldMap>* eager) {
    for (;;) {
        protocol::FieldHeader header = r.read_field_begin();
        if (header.type == TType::Stop) break;
        int index = record.index_of(header.id);
        if (index >= 0) {
            const ast::ThriftField& field = record.fields[std::size_t(index)];
            if (slots) {
                Slot& slot = slots[record.layout->slot_of_field[std::size_t(index)]];
                slot.raw_field = index;
                slot.raw_offset = origin + r.position();
                slot.raw_bool = -1;
                if (field.field_type.kind == ast::Kind::Bool) {
                    // Compact carries a bool field in its header: take it now.
                    slot.raw_bool = r.read_bool() ? 1 : 0;
                    r.read_field_end();
                    continue;
                }
                if (header.type == TType::Bool) {
                    // A bool header over another declared type leaves reader state
                    // that a later decode at this position would not see: decode now.
                    slot.raw_field = -1;
                    if (!*eager) *eager = std::make_shared<ast::FieldMap>();  // rare: made on demand
                    (*eager)->set(field.name, read_decoded_value(r, field.field_type, structs, depth));
                    r.read_field_end();
                    continue;
                }
            }
            scan_value(r, field.field_type, structs, depth);
        } else {
            detail::skip_unknown_field(r, header.type, depth);
        }
        r.read_field_end();
    }
}

// A new instance of `entry` read from the reader; nested struct names resolve
// through the entry's own struct map. Failures: OSError "Read error: {}".
template <class R>
Ref deserialize_struct_fields_as_instance(R& r, const schema::StructRecord& entry, int depth = 0) {
    std::shared_ptr<const ast::FieldMap> fields;
    try {
        detail::enter_native(depth);
        r.read_struct_begin();
        fields = std::make_shared<ast::FieldMap>(deserialize_decoded_struct(r, entry, entry.struct_map.get(), depth));
        r.read_struct_end();
    } catch (const ProtocolError& e) {
        raise(PyExc_OSError, "Read error: " + e.to_io().text);
    }
    return new_instance(entry.name, entry.layout, fields->empty() ? nullptr : std::move(fields), entry.struct_map);
}

namespace detail {

// `make_struct(r, type, depth)` reads a struct value into a Python object.
template <class R, class MakeStruct>
Ref read_python(R& r, const ast::ThriftType& type, MakeStruct& make_struct, int depth) {
    using ast::Kind;
    switch (type.kind) {
        case Kind::Bool: return boolean(r.read_bool());
        case Kind::Byte: return integer(r.read_byte());
        case Kind::I16: return integer(r.read_i16());
        case Kind::I32: return integer(r.read_i32());
        case Kind::I64: return integer(r.read_i64());
        case Kind::Double: return own(PyFloat_FromDouble(r.read_double()));
        case Kind::String: return str(r.read_string());
        case Kind::Binary: {
            std::string_view bytes = r.read_binary();
            return own(PyBytes_FromStringAndSize(bytes.data(), Py_ssize_t(bytes.size())));
        }
        case Kind::List:
        case Kind::Set: {
            enter_native(depth);
            bool is_list = type.kind == Kind::List;
            protocol::ListHeader header = detail::read_sequence_begin(r, is_list);
            std::size_t count = checked_count(header.count);
            std::size_t room = reservation(r, count);
            Ref list = new_list(Py_ssize_t(room));
            for (std::size_t i = 0; i < count; ++i) {
                Ref item = read_python(r, type.element(), make_struct, depth);
                if (i < room)
                    list_set(list, Py_ssize_t(i), std::move(item));
                else
                    check(PyList_Append(list.get(), item.get()));
            }
            detail::read_sequence_end(r, is_list);
            return list;
        }
        case Kind::Map: {
            enter_native(depth);
            protocol::MapHeader header = r.read_map_begin();
            std::size_t count = checked_count(header.count);
            Ref dict = new_dict();
            for (std::size_t i = 0; i < count; ++i) {
                Ref key = read_python(r, type.key(), make_struct, depth);
                dict_set(dict, key, read_python(r, type.value(), make_struct, depth));
            }
            r.read_map_end();
            return dict;
        }
        case Kind::Struct: return make_struct(r, type, depth);
    }
    throw ProtocolError::invalid_data("unknown type kind");
}

}  // namespace detail

// One value of a declared type straight into a Python object. Protocol
// failures: OSError with the protocol error's display text.
template <class R>
Ref read_value_with_structs(R& r, const ast::ThriftType& type, const std::shared_ptr<const schema::StructMap>& structs,
                            int depth = 0) {
    auto make_struct = [&](R& reader, const ast::ThriftType& t, int d) {
        auto entry = schema::find_struct(structs.get(), t.name);
        if (!entry) raise(PyExc_ValueError, "Unknown struct type: " + t.name);
        return deserialize_struct_fields_as_instance(reader, *entry, d);
    };
    try {
        return detail::read_python(r, type, make_struct, depth);
    } catch (const ProtocolError& e) {
        raise(PyExc_OSError, e.display());
    }
}

}  // namespace vantrel::py
