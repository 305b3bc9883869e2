#include "python/instance.hpp"

#include "python/value.hpp"

namespace vantrel::py {

using schema::FieldLayout;
using schema::StructMap;

InstanceObject::InstanceObject(std::string name, std::shared_ptr<const FieldLayout> layout_,
                               std::shared_ptr<const ast::FieldMap> stored_,
                               std::shared_ptr<const StructMap> structs)
    : struct_name(std::move(name)),
      layout(std::move(layout_)),
      stored(std::move(stored_)),
      slots(layout->slots()),
      struct_map(std::move(structs)) {}

InstanceObject::~InstanceObject() {
    for (Slot& slot : slots) Py_XDECREF(slot.value);
    Py_XDECREF(source);
}

const ast::FieldMap& InstanceObject::stored_values() const {
    static const ast::FieldMap empty;
    return stored ? *stored : empty;
}

ast::FieldMap& InstanceObject::stored_for_change() {
    if (!owned || stored.use_count() > 1) {
        auto fresh = std::make_shared<ast::FieldMap>(stored_values());
        owned = fresh.get();
        stored = std::move(fresh);
    }
    return *owned;
}

void InstanceObject::set_value(std::size_t slot, PyObject* obj) {
    PyObject* old = slots[slot].value;
    slots[slot].value = obj;
    Py_XDECREF(old);  // last: releasing may run code that looks at this instance
}

const ast::ThriftValue* InstanceObject::stored_value(int slot, std::string_view name, ast::ThriftValue& scratch) const {
    if (slot >= 0 && slots[std::size_t(slot)].is_raw()) {
        scratch = raw_field_to_tree(*this, std::size_t(slot));
        return &scratch;
    }
    return stored_values().find(name, slot >= 0 ? std::size_t(slot) : 0);
}

ast::FieldMap InstanceObject::all_stored_values() const {
    ast::FieldMap all = stored_values();
    for (std::size_t slot = 0; slot < slots.size(); ++slot)
        if (slots[slot].is_raw()) all.set(layout->slot_names[slot], raw_field_to_tree(*this, slot));
    return all;
}

Ref new_instance(std::string name, std::shared_ptr<const FieldLayout> layout, std::shared_ptr<const ast::FieldMap> stored,
                 std::shared_ptr<const StructMap> structs) {
    return make<InstanceObject>(std::move(name), std::move(layout), std::move(stored), std::move(structs));
}

Ref new_instance_of(const schema::StructRecord& record, std::shared_ptr<const StructMap> structs) {
    return new_instance(record.name, record.layout, record.defaults->empty() ? nullptr : record.defaults,
                        std::move(structs));
}

namespace {

InstanceObject& instance_of(PyObject* o) { return value_of<InstanceObject>(o); }

// Converts an assigned value for the stored values: typed when the field is
// declared, untyped otherwise.
ast::ThriftValue convert_for_slot(const InstanceObject& self, std::size_t slot, PyObject* obj) {
    if (self.layout->is_typed())
        return py_to_thrift_value_typed(obj, self.layout->slot_field[slot].field_type, self.struct_map.get());
    return py_any_to_thrift_value(obj);
}

// Reads one field: the Python value, else the stored value converted and
// cached, else None (cached too).
Ref read_field(InstanceObject& self, std::size_t slot) {
    if (PyObject* v = self.slots[slot].value) return Ref::borrow(v);
    Ref result;
    try {
        if (self.slots[slot].is_raw()) {
            result = raw_field_to_py(self, slot);
        } else if (const ast::ThriftValue* stored = self.stored_values().find(self.layout->slot_names[slot], slot)) {
            result = thrift_value_to_py(*stored, self.struct_map);
        }
    } catch (const Error&) {
        PyErr_Clear();
    }
    if (!result) result = none();
    self.set_value(slot, Ref(result).release());
    return result;
}

[[noreturn]] void no_attribute(const InstanceObject& self, PyObject* name) {
    PyErr_Format(PyExc_AttributeError, "'%s' object has no attribute '%U'", self.struct_name.c_str(), name);
    throw Error{};
}

PyObject* instance_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    return boundary<PyObject*>(nullptr, [&] {
        // `struct_name` by position or keyword; every other keyword is a field.
        static constexpr Params<1> params{"ThriftStructInstance()", {"struct_name"}};
        auto [struct_name, fields] = bind_leading(params, args, kwargs);
        std::vector<std::string> names;
        std::vector<PyObject*> objects;
        if (fields) {
            PyObject *key, *value;
            Py_ssize_t pos = 0;
            while (PyDict_Next(fields.get(), &pos, &key, &value)) {
                names.emplace_back(utf8(key));
                objects.push_back(value);
            }
        }
        std::string name(struct_name.str());
        Ref obj = new_instance(std::move(name), FieldLayout::untyped(std::move(names)), nullptr, nullptr);
        InstanceObject& self = instance_of(obj.get());
        for (std::size_t slot = 0; slot < objects.size(); ++slot) self.set_value(slot, Ref::borrow(objects[slot]).release());
        return obj.release();
    });
}

PyObject* instance_getattro(PyObject* o, PyObject* name) {
    // Class attributes win over fields; asking the type first avoids raising
    // and catching an AttributeError on every field read.
    if (!PyUnicode_Check(name) || _PyType_Lookup(Py_TYPE(o), name)) return PyObject_GenericGetAttr(o, name);
    return boundary<PyObject*>(nullptr, [&] {
        auto guard = use<InstanceObject>(o, Use::Exclusive);
        InstanceObject& self = instance_of(o);
        int slot = self.layout->slot_of(name);
        if (slot < 0) no_attribute(self, name);
        return read_field(self, std::size_t(slot)).release();
    });
}

int instance_setattro(PyObject* o, PyObject* name, PyObject* value) {
    return boundary<int>(-1, [&] {
        if (!value) raise(PyExc_AttributeError, "can't delete attribute");
        auto guard = use<InstanceObject>(o, Use::Exclusive);
        InstanceObject& self = instance_of(o);
        int slot = self.layout->slot_of(name);
        if (slot < 0) no_attribute(self, name);
        std::size_t s = std::size_t(slot);
        self.set_value(s, Ref::borrow(value).release());
        self.slots[s].raw_field = -1;  // the stored value is replaced or removed below
        const std::string& field = self.layout->slot_names[s];
        try {
            ast::ThriftValue converted = convert_for_slot(self, s, value);
            self.stored_for_change().set(field, std::move(converted));
        } catch (const Error&) {
            PyErr_Clear();
            if (self.stored_values().find(field, s)) self.stored_for_change().erase(field);
        }
        return 0;
    });
}

Ref to_dict(InstanceObject& self) {
    Ref dict = new_dict();
    const FieldLayout& layout = *self.layout;
    for (std::size_t i = 0; i < layout.field_names.size(); ++i) {
        std::size_t slot = layout.slot_of_field[i];
        Ref key = Ref::borrow(layout.py_names[slot].get());
        dict_set(dict, key, read_field(self, slot));
    }
    return dict;
}

Ref instance_repr(InstanceObject& self) {
    Ref parts = new_list();
    const FieldLayout& layout = *self.layout;
    for (std::size_t i = 0; i < layout.field_names.size(); ++i) {
        std::size_t slot = layout.slot_of_field[i];
        Ref value = read_field(self, slot);
        Ref text = own(PyUnicode_FromFormat("%U=%R", layout.py_names[slot].get(), value.get()));
        check(PyList_Append(parts.get(), text.get()));
    }
    Ref sep = str(", ");
    Ref joined = own(PyUnicode_Join(sep.get(), parts.get()));
    Ref name = str(self.struct_name);
    return own(PyUnicode_FromFormat("%U(%U)", name.get(), joined.get()));
}

Ref field_names(InstanceObject& self) {
    const auto& names = self.layout->field_names;
    Ref list = new_list(Py_ssize_t(names.size()));
    for (std::size_t i = 0; i < names.size(); ++i)
        list_set(list, Py_ssize_t(i), Ref::borrow(self.layout->py_names[self.layout->slot_of_field[i]].get()));
    return list;
}

Ref struct_name(InstanceObject& self) { return str(self.struct_name); }

int instance_traverse(PyObject* o, visitproc visit, void* arg) {
    if (!box<InstanceObject>(o)->alive) return 0;
    for (const Slot& slot : instance_of(o).slots) Py_VISIT(slot.value);
    Py_VISIT(instance_of(o).source);
    Py_VISIT(Py_TYPE(o));
    return 0;
}

int instance_clear(PyObject* o) {
    if (!box<InstanceObject>(o)->alive) return 0;
    for (Slot& slot : instance_of(o).slots) Py_CLEAR(slot.value);
    return 0;
}

PyMethodDef instance_methods[] = {
    {"field_names", cfunc(&method_noargs<&field_names>), METH_NOARGS, "field_names($self)\n--\n\n"},
    {"to_dict", cfunc(&method_noargs<&to_dict, Use::Exclusive>), METH_NOARGS, "to_dict($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef instance_getset[] = {
    {"struct_name", getter<&struct_name>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

ast::ThriftValue instance_to_struct_value(PyObject* obj, const schema::StructRecord* declared, int depth) {
    enter(depth);
    auto guard = use<InstanceObject>(obj, Use::Shared);
    InstanceObject& self = instance_of(obj);
    auto fields = std::make_shared<ast::FieldMap>(self.all_stored_values());
    const FieldLayout& layout = *self.layout;
    for (std::size_t i = 0; i < layout.field_names.size(); ++i) {
        std::size_t slot = layout.slot_of_field[i];
        PyObject* value = self.slots[slot].value;
        if (!value) continue;
        const std::string& name = layout.field_names[i];
        try {
            const ast::ThriftField* field = nullptr;
            const StructMap* structs = nullptr;
            if (declared) {
                for (const ast::ThriftField& f : declared->fields) {
                    if (f.name == name) {
                        field = &f;
                        break;
                    }
                }
                structs = self.struct_map.get();
            }
            if (!field && layout.is_typed()) {
                field = &layout.slot_field[slot];
                structs = self.struct_map.get();
            }
            Ref keep = Ref::borrow(value);  // conversion may run code that replaces it
            fields->set(name, field ? py_to_thrift_value_typed(value, field->field_type, structs, depth)
                                    : py_any_to_thrift_value(value, depth));
        } catch (const Error&) {
            PyErr_Clear();
        }
    }
    return ast::ThriftValue{ast::StructValue{self.struct_name, std::move(fields)}};
}

Ref struct_new_instance(const schema::StructRecord& record) { return new_instance_of(record, record.struct_map); }

Ref struct_new_instance_from_dict(const schema::StructRecord& record, PyObject* items) {
    Ref obj = new_instance_of(record, record.struct_map);
    InstanceObject& self = instance_of(obj.get());
    // A snapshot: conversions may run code that changes the dict.
    Ref entries = own(PyDict_Items(items));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries.get()); ++i) {
        PyObject* pair = PyList_GET_ITEM(entries.get(), i);
        PyObject* key = PyTuple_GET_ITEM(pair, 0);
        PyObject* value = PyTuple_GET_ITEM(pair, 1);
        if (!PyUnicode_Check(key)) continue;
        int slot = self.layout->slot_of(key);
        if (slot < 0) continue;
        std::size_t s = std::size_t(slot);
        self.set_value(s, Ref::borrow(value).release());
        try {
            ast::ThriftValue converted = convert_for_slot(self, s, value);
            self.stored_for_change().set(self.layout->slot_names[s], std::move(converted));
        } catch (const Error&) {
            PyErr_Clear();
        }
    }
    return obj;
}

PyTypeObject* instance_class() {
    return define_type<InstanceObject>({
        "ThriftStructInstance",
        "ThriftStructInstance(struct_name, **kwargs)\n--\n\n"
        "A live instance of a Thrift struct.\n"
        "\n"
        "Fields are accessible as Python attributes (``instance.field_name``).\n"
        "Unknown attribute names raise ``AttributeError``.",
        {{Py_tp_new, reinterpret_cast<void*>(&instance_new)},
         {Py_tp_getattro, reinterpret_cast<void*>(&instance_getattro)},
         {Py_tp_setattro, reinterpret_cast<void*>(&instance_setattro)},
         {Py_tp_repr, reinterpret_cast<void*>(&unary<&instance_repr, Use::Exclusive>)},
         {Py_tp_traverse, reinterpret_cast<void*>(&instance_traverse)},
         {Py_tp_clear, reinterpret_cast<void*>(&instance_clear)},
         {Py_tp_methods, instance_methods},
         {Py_tp_getset, instance_getset}},
        Py_TPFLAGS_HAVE_GC,
    });
}

}  // namespace vantrel::py
