#include "python/value.hpp"

#include "python/instance.hpp"

namespace vantrel::py {

using ast::Kind;
using ast::ThriftType;
using ast::ThriftValue;

void not_instance(PyObject* obj, const char* required) {
    PyErr_Format(PyExc_TypeError, "'%.200s' object is not an instance of '%s'", Py_TYPE(obj)->tp_name, required);
    throw Error{};
}

void too_deep() { raise(PyExc_ValueError, protocol::depth_error); }

void integer_out_of_range() { raise(PyExc_OverflowError, "out of range integral type conversion attempted"); }

std::string_view extract_bytes(PyObject* obj, std::string& storage) {
    if (PyBytes_Check(obj)) return {PyBytes_AS_STRING(obj), std::size_t(PyBytes_GET_SIZE(obj))};
    if (PyByteArray_Check(obj)) {
        // Copied: Python code run later could resize the array under a view.
        storage.assign(PyByteArray_AS_STRING(obj), std::size_t(PyByteArray_GET_SIZE(obj)));
        return storage;
    }
    if (PyUnicode_Check(obj)) raise(PyExc_TypeError, "'str' object cannot be taken as a byte sequence");
    if (!PySequence_Check(obj)) not_instance(obj, "Sequence");
    Ref items = own(PySequence_Fast(obj, "expected a sequence"));
    Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
    storage.clear();
    storage.reserve(std::size_t(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(items.get(), i);
        storage.push_back(char(extract_int<std::uint8_t>(item)));
    }
    return storage;
}

namespace {

ThriftValue wrap(auto v) { return ThriftValue{ThriftValue::Storage(std::move(v))}; }

ThriftValue binary_value(std::string_view bytes) { return wrap(ast::BinaryValue{std::string(bytes)}); }

// Items of a list, by index, while both the original length and the
// current length allow: a list changed meanwhile is cut, never overrun.
template <class F>
void for_each_item(PyObject* list, F&& f) {
    Py_ssize_t n = PyList_GET_SIZE(list);
    for (Py_ssize_t i = 0; i < n && i < PyList_GET_SIZE(list); ++i) {
        Ref item = Ref::borrow(PyList_GET_ITEM(list, i));
        f(item.get());
    }
}

// Entries of a dict taken as a snapshot, so that code run by a conversion
// cannot change what is being walked.
template <class F>
void for_each_entry(PyObject* dict, F&& f) {
    Ref items = own(PyDict_Items(dict));
    Py_ssize_t n = PyList_GET_SIZE(items.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* pair = PyList_GET_ITEM(items.get(), i);
        f(PyTuple_GET_ITEM(pair, 0), PyTuple_GET_ITEM(pair, 1));
    }
}

// Untyped byte-sequence step: only when every item is an int 0..255.
bool try_byte_sequence(PyObject* obj, std::string& out) {
    if (PyUnicode_Check(obj) || !PySequence_Check(obj)) return false;
    if (PyBytes_Check(obj) || PyByteArray_Check(obj)) {
        std::string storage;
        std::string_view bytes = extract_bytes(obj, storage);
        out.assign(bytes.data(), bytes.size());
        return true;
    }
    try {
        extract_bytes(obj, out);
        return true;
    } catch (const Error&) {
        PyErr_Clear();
        return false;
    }
}

}  // namespace

ThriftValue py_any_to_thrift_value(PyObject* obj, int depth) {
    if (obj == Py_None) raise(PyExc_TypeError, "None has no ThriftValue representation");
    if (PyBool_Check(obj)) return wrap(obj == Py_True);
    {
        long long v = PyLong_AsLongLong(obj);
        if (!(v == -1 && PyErr_Occurred())) return wrap(std::int64_t(v));
        PyErr_Clear();
    }
    if (PyFloat_CheckExact(obj)) return wrap(PyFloat_AS_DOUBLE(obj));
    {
        double v = PyFloat_AsDouble(obj);
        if (!(v == -1.0 && PyErr_Occurred())) return wrap(v);
        PyErr_Clear();
    }
    if (PyUnicode_Check(obj)) return wrap(std::string(utf8(obj)));
    {
        std::string bytes;
        if (try_byte_sequence(obj, bytes)) return wrap(ast::BinaryValue{std::move(bytes)});
    }
    if (PyList_Check(obj)) {
        enter(depth);
        ast::ListValue list;
        for_each_item(obj, [&](PyObject* item) { list.items.push_back(py_any_to_thrift_value(item, depth)); });
        return wrap(std::move(list));
    }
    if (PyDict_Check(obj)) {
        enter(depth);
        ast::MapValue map;
        for_each_entry(obj, [&](PyObject* k, PyObject* v) {
            ThriftValue key = py_any_to_thrift_value(k, depth);
            map.entries.emplace_back(std::move(key), py_any_to_thrift_value(v, depth));
        });
        return wrap(std::move(map));
    }
    if (is_instance<InstanceObject>(obj)) return instance_to_struct_value(obj, nullptr, depth);

    Ref qualname = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
    std::string name = "<unknown>";
    if (qualname && PyUnicode_Check(qualname.get())) {
        Py_ssize_t size = 0;
        if (const char* text = PyUnicode_AsUTF8AndSize(qualname.get(), &size)) name.assign(text, std::size_t(size));
    }
    PyErr_Clear();
    raise(PyExc_TypeError, "Cannot convert Python value of type '" + name + "' to ThriftValue");
}

namespace {

// A dict given for a struct-typed value.
ThriftValue dict_to_struct_value(PyObject* dict, const ThriftType& type, const StructMap* structs, int depth) {
    auto entry = schema::find_struct(structs, type.name);
    auto fields = std::make_shared<ast::FieldMap>();
    for_each_entry(dict, [&](PyObject* key, PyObject* value) {
        std::string_view name = extract_str(key);
        if (!entry) {
            fields->set(name, py_any_to_thrift_value(value, depth));
            return;
        }
        const ast::ThriftField* declared = nullptr;
        int slot = entry->layout->slot_of(name);
        if (slot >= 0) declared = &entry->layout->slot_field[std::size_t(slot)];
        try {
            if (declared) {
                try {
                    fields->set(name, py_to_thrift_value_typed(value, declared->field_type, structs, depth));
                    return;
                } catch (const Error&) {
                    PyErr_Clear();
                }
            }
            fields->set(name, py_any_to_thrift_value(value, depth));
        } catch (const Error&) {
            PyErr_Clear();
            fields->set(name, wrap(std::string()));
        }
    });
    return wrap(ast::StructValue{type.name, std::move(fields)});
}

}  // namespace

ThriftValue py_to_thrift_value_typed(PyObject* obj, const ThriftType& type, const StructMap* structs, int depth) {
    if (obj == Py_None) raise(PyExc_TypeError, "None has no ThriftValue representation");
    switch (type.kind) {
        case Kind::Bool: return wrap(extract_bool(obj));
        case Kind::Byte: return wrap(extract_int<std::int8_t>(obj));
        case Kind::I16: return wrap(extract_int<std::int16_t>(obj));
        case Kind::I32: return wrap(extract_int<std::int32_t>(obj));
        case Kind::I64: return wrap(extract_int<std::int64_t>(obj));
        case Kind::Double: return wrap(extract_double(obj));
        case Kind::String: return wrap(std::string(extract_str(obj)));
        case Kind::Binary: {
            std::string storage;
            return binary_value(extract_bytes(obj, storage));
        }
        case Kind::List:
        case Kind::Set: {
            if (!PyList_Check(obj)) not_instance(obj, "list");
            enter(depth);
            std::vector<ThriftValue> items;
            items.reserve(std::size_t(PyList_GET_SIZE(obj)));
            for_each_item(obj, [&](PyObject* item) {
                items.push_back(py_to_thrift_value_typed(item, type.element(), structs, depth));
            });
            if (type.kind == Kind::List) return wrap(ast::ListValue{std::move(items)});
            return wrap(ast::SetValue{std::move(items)});
        }
        case Kind::Map: {
            if (!PyDict_Check(obj)) not_instance(obj, "dict");
            enter(depth);
            ast::MapValue map;
            map.entries.reserve(std::size_t(PyDict_GET_SIZE(obj)));
            for_each_entry(obj, [&](PyObject* k, PyObject* v) {
                ThriftValue key = py_to_thrift_value_typed(k, type.key(), structs, depth);
                map.entries.emplace_back(std::move(key), py_to_thrift_value_typed(v, type.value(), structs, depth));
            });
            return wrap(std::move(map));
        }
        case Kind::Struct: {
            if (is_instance<InstanceObject>(obj)) {
                auto entry = schema::find_struct(structs, type.name);
                return instance_to_struct_value(obj, entry.get(), depth);
            }
            if (PyDict_Check(obj)) {
                enter(depth);
                return dict_to_struct_value(obj, type, structs, depth);
            }
            return py_any_to_thrift_value(obj, depth);
        }
    }
    raise(PyExc_TypeError, "unknown type kind");
}

Ref thrift_value_to_py(const ThriftValue& value, const std::shared_ptr<const StructMap>& structs, int depth) {
    switch (value.kind()) {
        case Kind::Bool: return boolean(std::get<bool>(value.v));
        case Kind::Byte: return integer(std::get<std::int8_t>(value.v));
        case Kind::I16: return integer(std::get<std::int16_t>(value.v));
        case Kind::I32: return integer(std::get<std::int32_t>(value.v));
        case Kind::I64: return integer(std::get<std::int64_t>(value.v));
        case Kind::Double: return own(PyFloat_FromDouble(std::get<double>(value.v)));
        case Kind::String: return str(std::get<std::string>(value.v));
        case Kind::Binary: {
            const std::string& bytes = std::get<ast::BinaryValue>(value.v).bytes;
            return own(PyBytes_FromStringAndSize(bytes.data(), Py_ssize_t(bytes.size())));
        }
        case Kind::List:
        case Kind::Set: {
            const auto& items = value.kind() == Kind::List ? std::get<ast::ListValue>(value.v).items
                                                           : std::get<ast::SetValue>(value.v).items;
            enter(depth);
            Ref list = new_list(Py_ssize_t(items.size()));
            for (std::size_t i = 0; i < items.size(); ++i)
                list_set(list, Py_ssize_t(i), thrift_value_to_py(items[i], structs, depth));
            return list;
        }
        case Kind::Map: {
            enter(depth);
            Ref dict = new_dict();
            for (const auto& [k, v] : std::get<ast::MapValue>(value.v).entries) {
                Ref key = thrift_value_to_py(k, structs, depth);
                dict_set(dict, key, thrift_value_to_py(v, structs, depth));
            }
            return dict;
        }
        case Kind::Struct: {
            const auto& s = std::get<ast::StructValue>(value.v);
            std::string name = s.name.value_or(std::string());
            std::shared_ptr<const schema::FieldLayout> layout;
            if (auto entry = schema::find_struct(structs.get(), name)) {
                layout = entry->layout;
            } else {
                std::vector<std::string> names;
                for (const auto& entry_pair : s.field_map()) names.push_back(entry_pair.first);
                layout = schema::FieldLayout::untyped(std::move(names));
            }
            return new_instance(std::move(name), std::move(layout), s.fields, structs);
        }
    }
    raise(PyExc_TypeError, "unknown value kind");
}

}  // namespace vantrel::py
