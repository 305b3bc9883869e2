// Schema-driven writing of struct and field values to any protocol writer:
// Python objects by their declared types, or value trees by their own kinds.
#pragma once

#include <memory>
#include <string>

#include "parser/ast.hpp"
#include "protocol/types.hpp"
#include "python/instance.hpp"
#include "python/schema.hpp"
#include "python/value.hpp"

namespace vantrel::py {

using protocol::ProtocolError;
using protocol::TType;
using protocol::type_code;

template <class W>
void write_thrift_value(W& w, const ast::ThriftValue& value, const schema::StructMap* structs, int depth = 0);

namespace detail {

// Lists and sets differ only in which begin and end operations frame them.
template <class W>
void write_sequence_begin(W& w, bool is_list, TType element, std::size_t count) {
    if (is_list)
        w.write_list_begin(element, count);
    else
        w.write_set_begin(element, count);
}
template <class W>
void write_sequence_end(W& w, bool is_list) {
    if (is_list)
        w.write_list_end();
    else
        w.write_set_end();
}

template <class W>
void write_tree(W& w, const ast::ThriftValue& value, const schema::StructMap* structs, int depth) {
    using ast::Kind;
    switch (value.kind()) {
        case Kind::Bool: w.write_bool(std::get<bool>(value.v)); return;
        case Kind::Byte: w.write_byte(std::get<std::int8_t>(value.v)); return;
        case Kind::I16: w.write_i16(std::get<std::int16_t>(value.v)); return;
        case Kind::I32: w.write_i32(std::get<std::int32_t>(value.v)); return;
        case Kind::I64: w.write_i64(std::get<std::int64_t>(value.v)); return;
        case Kind::Double: w.write_double(std::get<double>(value.v)); return;
        case Kind::String: w.write_string(std::get<std::string>(value.v)); return;
        case Kind::Binary: w.write_binary(std::get<ast::BinaryValue>(value.v).bytes); return;
        case Kind::List:
        case Kind::Set: {
            enter(depth);
            bool is_list = value.kind() == Kind::List;
            const auto& items = is_list ? std::get<ast::ListValue>(value.v).items : std::get<ast::SetValue>(value.v).items;
            TType element = items.empty() ? TType::String : type_code(items.front().kind());
            write_sequence_begin(w, is_list, element, items.size());
            for (const auto& item : items) write_tree(w, item, structs, depth);
            write_sequence_end(w, is_list);
            return;
        }
        case Kind::Map: {
            enter(depth);
            const auto& entries = std::get<ast::MapValue>(value.v).entries;
            TType key = entries.empty() ? TType::String : type_code(entries.front().first.kind());
            TType val = entries.empty() ? TType::String : type_code(entries.front().second.kind());
            w.write_map_begin(key, val, entries.size());
            for (const auto& [k, v] : entries) {
                write_tree(w, k, structs, depth);
                write_tree(w, v, structs, depth);
            }
            w.write_map_end();
            return;
        }
        case Kind::Struct: {
            enter(depth);
            const auto& s = std::get<ast::StructValue>(value.v);
            const ast::FieldMap& fields = s.field_map();
            w.write_struct_begin();
            auto entry = s.name ? schema::find_struct(structs, *s.name) : nullptr;
            if (entry) {
                // Declared fields only, in declaration order, with the id of the
                // first declaration of each name and the value's own kind.
                const schema::FieldLayout& layout = *entry->layout;
                for (std::size_t i = 0; i < entry->fields.size(); ++i) {
                    std::size_t slot = layout.slot_of_field[i];
                    const ast::ThriftValue* v = fields.find(layout.slot_names[slot], slot);
                    if (!v) continue;
                    w.write_field_begin(type_code(v->kind()), layout.slot_first_id[slot]);
                    write_tree(w, *v, structs, depth);
                    w.write_field_end();
                }
            } else {
                for (const auto& [name, v] : fields) {
                    w.write_field_begin(type_code(v.kind()), 0);
                    write_tree(w, v, structs, depth);
                    w.write_field_end();
                }
            }
            w.write_field_stop();
            w.write_struct_end();
            return;
        }
    }
}

[[noreturn]] void raise_write_error(const ProtocolError& error);
[[noreturn]] void raise_protocol_error(const ProtocolError& error);
[[noreturn]] void container_changed(const char* what);
[[noreturn]] void unknown_struct_in_schema(const std::string& name);
[[noreturn]] void required_is_none(const std::string& name);

}  // namespace detail

// A value tree, written by its own kinds. Writer failures: OSError "Write error: {}".
template <class W>
void write_thrift_value(W& w, const ast::ThriftValue& value, const schema::StructMap* structs, int depth) {
    try {
        detail::write_tree(w, value, structs, depth);
    } catch (const ProtocolError& e) {
        detail::raise_write_error(e);
    }
}

template <class W>
void serialize_struct_any(W& w, const schema::StructRecord& record, PyObject* value, const schema::StructMap* structs,
                          int depth);

// One Python value of a declared type, nested structs included.
template <class W>
void write_value_with_structs(W& w, const ast::ThriftType& type, PyObject* obj, const schema::StructMap* structs,
                              int depth = 0) {
    using ast::Kind;
    switch (type.kind) {
        case Kind::Bool: w.write_bool(extract_bool(obj)); return;
        case Kind::Byte: w.write_byte(extract_int<std::int8_t>(obj)); return;
        case Kind::I16: w.write_i16(extract_int<std::int16_t>(obj)); return;
        case Kind::I32: w.write_i32(extract_int<std::int32_t>(obj)); return;
        case Kind::I64: w.write_i64(extract_int<std::int64_t>(obj)); return;
        case Kind::Double: w.write_double(extract_double(obj)); return;
        case Kind::String: w.write_string(extract_str(obj)); return;
        case Kind::Binary: {
            std::string storage;
            w.write_binary(extract_bytes(obj, storage));
            return;
        }
        case Kind::List:
        case Kind::Set: {
            if (!PyList_Check(obj)) not_instance(obj, "list");
            enter(depth);
            Py_ssize_t n = PyList_GET_SIZE(obj);
            TType element = type_code(type.element().kind);
            bool is_list = type.kind == Kind::List;
            detail::write_sequence_begin(w, is_list, element, std::size_t(n));
            for (Py_ssize_t i = 0; i < n; ++i) {
                Ref item = Ref::borrow(PyList_GET_ITEM(obj, i));
                write_value_with_structs(w, type.element(), item.get(), structs, depth);
                // Code run by a conversion may have changed the list under us.
                if (PyList_GET_SIZE(obj) != n) detail::container_changed("list");
            }
            detail::write_sequence_end(w, is_list);
            return;
        }
        case Kind::Map: {
            if (!PyDict_Check(obj)) not_instance(obj, "dict");
            enter(depth);
            Py_ssize_t n = PyDict_GET_SIZE(obj);
            w.write_map_begin(type_code(type.key().kind), type_code(type.value().kind), std::size_t(n));
            PyObject *k, *v;
            Py_ssize_t pos = 0, written = 0;
            while (PyDict_Next(obj, &pos, &k, &v)) {
                Ref key = Ref::borrow(k), val = Ref::borrow(v);
                write_value_with_structs(w, type.key(), key.get(), structs, depth);
                write_value_with_structs(w, type.value(), val.get(), structs, depth);
                ++written;
                if (PyDict_GET_SIZE(obj) != n || written > n) detail::container_changed("dict");
            }
            if (written != n) detail::container_changed("dict");
            w.write_map_end();
            return;
        }
        case Kind::Struct: {
            auto entry = schema::find_struct(structs, type.name);
            if (!entry) detail::unknown_struct_in_schema(type.name);
            w.write_struct_begin();
            serialize_struct_any(w, *entry, obj, structs, depth);
            w.write_field_stop();
            w.write_struct_end();
            return;
        }
    }
}

// The fields of one struct from an instance or a dict, without the struct's
// begin, STOP and end.
template <class W>
void serialize_struct_any(W& w, const schema::StructRecord& record, PyObject* value, const schema::StructMap* structs,
                          int depth) {
    enter(depth);
    const auto& fields = record.fields;
    const schema::FieldLayout& declared = *record.layout;
    if (is_instance<InstanceObject>(value)) {
        auto guard = use<InstanceObject>(value, Use::Shared);
        const InstanceObject& inst = value_of<InstanceObject>(value);
        bool same_layout = inst.layout.get() == &declared;
        for (std::size_t i = 0; i < fields.size(); ++i) {
            const ast::ThriftField& field = fields[i];
            int slot = same_layout ? int(declared.slot_of_field[i]) : inst.layout->slot_of(field.name);
            if (slot >= 0) {
                if (PyObject* v = inst.value(std::size_t(slot))) {
                    if (v == Py_None) continue;
                    Ref keep = Ref::borrow(v);
                    w.write_field_begin(type_code(field.field_type.kind), field.id);
                    write_value_with_structs(w, field.field_type, v, structs, depth);
                    w.write_field_end();
                    continue;
                }
            }
            ast::ThriftValue scratch;
            if (const ast::ThriftValue* tree = inst.stored_value(slot, field.name, scratch)) {
                w.write_field_begin(type_code(field.field_type.kind), field.id);
                write_thrift_value(w, *tree, structs, depth);
                w.write_field_end();
            }
        }
        return;
    }
    if (!PyDict_Check(value)) not_instance(value, "dict");
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const ast::ThriftField& field = fields[i];
        PyObject* name = declared.py_names[declared.slot_of_field[i]].get();
        PyObject* found = PyDict_GetItemWithError(value, name);
        if (found) {
            if (found == Py_None) {
                if (field.required) detail::required_is_none(field.name);
                continue;
            }
            Ref keep = Ref::borrow(found);
            w.write_field_begin(type_code(field.field_type.kind), field.id);
            write_value_with_structs(w, field.field_type, found, structs, depth);
            w.write_field_end();
        } else {
            if (PyErr_Occurred()) throw Error{};
            if (!field.default_value) continue;
            w.write_field_begin(type_code(field.field_type.kind), field.id);
            write_thrift_value(w, *field.default_value, structs, depth);
            w.write_field_end();
        }
    }
}

}  // namespace vantrel::py
